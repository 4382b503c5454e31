#include "report/verdict_jsonl_reader.h"

#include <nlohmann/json.hpp>

#include "report/report_time.h"

namespace kx20 {
namespace {

using nlohmann::json;

const json* Member(const json& object, const char* key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// An optional text member: false when present but not a string.
bool TextMember(const json& o, const char* key, std::string& out) {
  const json* v = Member(o, key);
  if (v == nullptr) return true;
  if (!v->is_string()) return false;
  out = v->get<std::string>();
  return true;
}

// An optional serial number (0..99999999): false when present and not one.
bool SerialMember(const json& o, const char* key, std::optional<std::uint32_t>& out) {
  const json* v = Member(o, key);
  if (v == nullptr) return true;
  if (!v->is_number_integer()) return false;
  const std::int64_t n = v->get<std::int64_t>();
  if (n < 0 || n > 99999999) return false;
  out = static_cast<std::uint32_t>(n);
  return true;
}

// Why the object is no record; "" when it is one (then `r` is filled).
std::string ToRecord(const json& o, VerdictRecord& r, std::string& logSection) {
  if (!o.is_object()) return "not a JSON object";
  const json* schema = Member(o, "schema");
  if (schema == nullptr || !schema->is_number_integer()) return "no schema version";
  if (schema->get<std::int64_t>() != 1) {
    return "schema version " + schema->dump() + " is not known to this report";
  }
  std::string result;
  if (!TextMember(o, "result", result)) return "the result is not a text";
  if (result == "Pass") {
    r.passed = true;
  } else if (result != "FAIL") {
    return "the result '" + result + "' is neither Pass nor FAIL";
  }
  std::string finished, started;
  if (!TextMember(o, "finished", finished) || !TextMember(o, "started", started)) {
    return "a time is not a text";
  }
  const std::optional<double> fin = ParseRecordTimestamp(finished);
  if (!fin) return "no finish time (\"finished\")";
  r.finishedAt = *fin;
  if (!started.empty()) {
    const std::optional<double> st = ParseRecordTimestamp(started);
    if (!st) return "the start time is not a time";
    r.startedAt = *st;
  }
  if (const json* slot = Member(o, "slot")) {
    if (!slot->is_number_integer() || slot->get<std::int64_t>() < 1 ||
        slot->get<std::int64_t>() > 1000) {
      return "the slot is not a slot number";
    }
    r.slot = static_cast<int>(slot->get<std::int64_t>());
  }
  std::optional<std::uint32_t> serial;
  if (!SerialMember(o, "serial", serial) || !SerialMember(o, "previous_serial", r.previousSerial)) {
    return "a serial number is not a number from 0 to 99999999";
  }
  r.serial = serial.value_or(0);
  if (!TextMember(o, "error", r.errorCode) || !TextMember(o, "lot", r.lot) ||
      !TextMember(o, "operator", r.operatorName) || !TextMember(o, "log_section", logSection)) {
    return "a text field is not a text";
  }
  if (r.passed && !r.errorCode.empty()) return "a pass with the error code '" + r.errorCode + "'";
  if (r.passed) r.errorCode.clear();
  const LocalTime local = ToLocalTime(r.finishedAt);
  r.year = local.year;
  r.month = local.month;
  r.day = local.day;
  r.hour = local.hour;
  r.minute = local.minute;
  r.second = local.second;
  return {};
}

}  // namespace

std::uint64_t ReadVerdictJsonlText(std::string_view bytes, const std::string& station,
                                   const std::string& source, YieldReportBuilder& builder,
                                   std::multiset<std::string>* logSections) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  builder.SetReadJsonl();
  std::uint64_t records = 0;
  std::size_t lineNumber = 0;
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    std::string_view line = bytes.substr(0, end);
    bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    const std::string where = "line " + std::to_string(lineNumber);
    const json object = json::parse(line.begin(), line.end(), nullptr, false);
    if (object.is_discarded()) {
      builder.AddDamagedLine(MalformedRecord{source, where, "damaged line: not JSON (skipped)"});
      continue;
    }
    VerdictRecord r;
    std::string logSection;
    const std::string why = ToRecord(object, r, logSection);
    if (!why.empty()) {
      builder.AddMalformed(MalformedRecord{source, where, why});
      continue;
    }
    r.station = station;
    r.where = source + ":" + std::to_string(lineNumber) +
              (logSection.empty() ? std::string() : " [" + logSection + "]");
    if (logSections != nullptr && !logSection.empty()) logSections->insert(logSection);
    builder.Add(r);
    ++records;
  }
  return records;
}

}  // namespace kx20
