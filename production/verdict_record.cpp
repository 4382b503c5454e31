#include "production/verdict_record.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace kx20 {
namespace {

using Json = nlohmann::ordered_json;

bool Known(const CalendarTime& t) { return t.year != 0; }

// MB/s to two decimals: finer figures are noise.
double Rounded(double mbps) { return std::round(mbps * 100.0) / 100.0; }

void PutRate(Json& j, const char* key, const std::optional<double>& mbps) {
  if (mbps && std::isfinite(*mbps) && *mbps > 0) j[key] = Rounded(*mbps);
}

}  // namespace

std::string UtcTimestampText(const CalendarTime& t) {
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
  return text;
}

std::string FormatVerdictRecord(const VerdictEvent& event, const RecordPlace& place,
                                const std::string& logSection) {
  Json j;
  j["schema"] = kVerdictRecordSchema;
  j["station"] = place.station;
  j["host"] = place.host;
  j["slot"] = event.slot;
  j["letter"] = std::string(1, event.driveLetter);
  if (!event.lot.empty()) j["lot"] = event.lot;
  if (!event.operatorName.empty()) j["operator"] = event.operatorName;
  if (!event.softwareVersion.empty()) j["version"] = event.softwareVersion;
  if (!event.recipeId.empty()) j["recipe"] = event.recipeId;
  if (event.serialNumber != 0) j["serial"] = event.serialNumber;
  if (event.previousSerial) j["previous_serial"] = *event.previousSerial;
  if (event.capacitySectors != 0) j["capacity_sectors"] = event.capacitySectors;
  j["result"] = event.passed ? "Pass" : "FAIL";
  if (!event.passed) {
    if (!event.errorCode.empty()) j["error"] = event.errorCode;
    if (!event.failedStep.empty()) j["failed_step"] = event.failedStep;
  }
  if (event.cutOff) j["cut_off"] = true;
  Json steps = Json::array();
  for (const StepTiming& s : event.steps) {
    Json step;
    step["step"] = s.step;
    step["start"] = UtcTimestampText(s.startedUtc);
    step["ms"] = s.durationMs;
    steps.push_back(std::move(step));
  }
  j["steps"] = std::move(steps);
  PutRate(j, "rw_write_mbps", event.rwWriteMBps);
  PutRate(j, "rw_read_mbps", event.rwReadMBps);
  PutRate(j, "image_write_mbps", event.imageWriteMBps);
  if (Known(event.startedUtc)) j["started"] = UtcTimestampText(event.startedUtc);
  if (Known(event.finishedUtc)) j["finished"] = UtcTimestampText(event.finishedUtc);
  j["log_section"] = logSection;
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace kx20
