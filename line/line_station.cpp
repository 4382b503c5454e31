#include "line/line_station.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>

namespace kx20 {
namespace {

std::string InDir(const std::string& dir, const char* name) {
  if (dir.empty() || dir == ".") return name;
  return (std::filesystem::path(dir) / name).string();
}

std::string FormatUtc(const CalendarTime& t) {
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d+00", t.year, t.month,
                t.day, t.hour, t.minute, t.second, t.millisecond);
  return text;
}

constexpr std::size_t kSendBatch = 200;

std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool IsValidStationName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.';
    if (!ok) return false;
  }
  return true;
}

LineStation::LineStation(LineOptions options)
    : options_(std::move(options)),
      serialLinkHeld_(OpenLineLink(options_.conninfo, options_.connectTimeoutSeconds,
                                   options_.queryTimeoutMs)),
      serialLink_(*serialLinkHeld_),
      journal_(SystemFileSystem(), InDir(options_.workDir, kLeaseJournalFileName),
               options_.station, options_.durability),
      outbox_(SystemFileSystem(), InDir(options_.workDir, kVerdictOutboxFileName),
              options_.durability),
      sendLinkHeld_(OpenLineLink(options_.conninfo, options_.connectTimeoutSeconds,
                                 options_.queryTimeoutMs)),
      sendLink_(*sendLinkHeld_) {}

std::unique_ptr<LineStation> LineStation::Open(LineOptions options, std::string& error) {
  if (!IsValidStationName(options.station)) {
    error = "the station name \"" + options.station +
            "\" is not 1 to 64 letters, digits, '-', '_' or '.'";
    return nullptr;
  }
  std::unique_ptr<LineStation> line(new LineStation(std::move(options)));
  RemoveLeftoverTemporaries(line->journal_.Path());
  if (!line->journal_.Load(error)) return nullptr;
  if (!line->outbox_.Load(error)) return nullptr;
  // A station that watches its database looks at once.
  line->wakePending_ = line->options_.lookIntervalMs > 0;
  line->sender_ = std::thread([raw = line.get()] { raw->SenderLoop(); });
  return line;
}

LineStation::~LineStation() {
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (sender_.joinable()) sender_.join();
}

bool LineStation::TakeFromLine(const SerialRequest& request, std::uint32_t count,
                               std::uint32_t& first, std::string& reason) {
  PgResult result;
  std::string error;
  const bool lease = count > 1;
  const std::optional<std::string> slot =
      lease ? std::nullopt : std::optional<std::string>(std::to_string(request.slot));
  const std::optional<std::string> letter =
      lease ? std::nullopt : std::optional<std::string>(std::string(1, request.driveLetter));
  const bool taken = serialLink_.Exec("SELECT kx20.take_serials($1, $2, $3, $4)",
                                      {options_.station, slot, letter, std::to_string(count)},
                                      &result, error);
  Heard(taken || serialLink_.Connected());
  if (!taken) {
    reason = (serialLink_.Connected() ? "the line's database refused the serial number: "
                                      : "the line's database cannot be reached: ") +
             error;
    return false;
  }
  unsigned long value = 0;
  if (result.rows.size() != 1 || !result.rows[0][0] ||
      std::sscanf(result.rows[0][0]->c_str(), "%lu", &value) != 1 || value < 1 ||
      value > 99999999) {
    reason = "the line's database gave no valid serial number";
    return false;
  }
  first = static_cast<std::uint32_t>(value);
  return true;
}

bool LineStation::JournalLease(std::uint32_t first, std::string& reason) {
  std::string error;
  if (journal_.AddLease(first, options_.lease, error)) return true;
  // The lease is taken in the database but not recorded here: its numbers
  // stay unused for good (gaps), never handed out twice.
  reason = error + ": the lease of " + std::to_string(options_.lease) + " numbers from " +
           std::to_string(first) + " is given up";
  Notify(reason);
  return false;
}

bool LineStation::TakeSerial(const SerialRequest& request, std::uint32_t& number,
                             std::string& reason) {
  std::lock_guard<std::mutex> lock(serialMutex_);
  if (options_.lease == 0) return TakeFromLine(request, 1, number, reason);

  if (journal_.Remaining() == 0) {
    std::uint32_t first = 0;
    if (!TakeFromLine(request, options_.lease, first, reason)) {
      reason += " (the station's lease is used up)";
      return false;
    }
    if (!JournalLease(first, reason)) return false;
  } else if (journal_.Remaining() <= options_.lease / 2 &&
             std::chrono::steady_clock::now() >= nextRefill_) {
    // The next lease ahead of time, so that an outage starting now finds
    // numbers in hand. A failure here costs nothing yet: the step goes on
    // with the current lease and the next try waits a while, so an outage
    // does not slow every step by a connection attempt.
    std::uint32_t first = 0;
    std::string why;
    if (TakeFromLine(request, options_.lease, first, why)) {
      JournalLease(first, why);
    } else {
      nextRefill_ = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      Notify(why + "; the lease has " + std::to_string(journal_.Remaining()) +
             " number(s) left");
    }
  }
  std::string error;
  if (!journal_.Take(number, error)) {
    reason = error;
    return false;
  }
  return true;
}

void LineStation::RecordVerdict(const VerdictEvent& event) {
  VerdictRow row;
  row.recordKey = NewRecordKey(options_.station);
  row.station = options_.station;
  row.slot = event.slot;
  row.driveLetter = event.driveLetter;
  if (event.passed) row.serial = event.serialNumber;
  row.capacity = event.capacitySectors;
  row.result = event.passed ? "Pass" : "FAIL";
  row.errorCode = event.errorCode;
  row.startedAt = FormatUtc(event.startedUtc);
  row.finishedAt = FormatUtc(event.finishedUtc);
  std::string error;
  if (!outbox_.Add(row, error)) {
    Notify(error + ": the verdict of drive " + std::string(1, event.driveLetter) +
           " is kept in memory until the outbox can be written");
  }
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    wakePending_ = true;
  }
  wake_.notify_all();
}

void LineStation::Heard(bool answered) {
  answering_ = answered ? 1 : 0;
  lastAskedMs_ = SteadyMs();
}

LineStation::DatabaseState LineStation::State() const {
  DatabaseState state;
  const int answering = answering_;
  state.asked = answering >= 0;
  state.answering = answering == 1;
  state.waiting = outbox_.Size();
  return state;
}

bool LineStation::SendOnce(std::string& error) {
  const std::vector<VerdictRow> rows = outbox_.Peek(kSendBatch);
  if (rows.empty()) return true;
  const auto fail = [&] {
    Heard(sendLink_.Connected());
    std::string ignored;
    if (sendLink_.Connected()) sendLink_.Exec("ROLLBACK", {}, nullptr, ignored);
    return false;
  };
  if (!sendLink_.Exec("BEGIN", {}, nullptr, error)) return fail();
  std::vector<std::string> keys;
  for (const VerdictRow& r : rows) {
    const std::optional<std::string> serial =
        r.serial ? std::optional<std::string>(std::to_string(*r.serial)) : std::nullopt;
    const std::optional<std::string> errorCode =
        r.errorCode.empty() ? std::nullopt : std::optional<std::string>(r.errorCode);
    if (!sendLink_.Exec(
            "INSERT INTO kx20.verdicts (record_key, station, slot, drive_letter, serial, "
            "capacity, result, error_code, started_at, finished_at) VALUES ($1, $2, $3, $4, $5, "
            "$6, $7, $8, $9, $10) ON CONFLICT (record_key) DO NOTHING",
            {r.recordKey, r.station, std::to_string(r.slot), std::string(1, r.driveLetter),
             serial, std::to_string(r.capacity), r.result, errorCode, r.startedAt, r.finishedAt},
            nullptr, error)) {
      return fail();
    }
    keys.push_back(r.recordKey);
  }
  if (!sendLink_.Exec("COMMIT", {}, nullptr, error)) return fail();
  Heard(true);
  // The database has them; a crash before the removal sends them again,
  // which the record keys make harmless.
  if (!outbox_.Remove(keys, error)) return false;
  return true;
}

std::size_t LineStation::Flush(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(sendMutex_);
      std::string error;
      while (outbox_.Size() > 0 && SendOnce(error)) {
      }
    }
    const std::size_t left = outbox_.Size();
    if (left == 0 || std::chrono::steady_clock::now() >= deadline) return left;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

void LineStation::SenderLoop() {
  const int interval = options_.lookIntervalMs > 0
                           ? std::min(options_.sendIntervalMs, options_.lookIntervalMs)
                           : options_.sendIntervalMs;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(wakeMutex_);
      wake_.wait_for(lock, std::chrono::milliseconds(interval),
                     [this] { return stop_ || wakePending_; });
      if (stop_) return;
      wakePending_ = false;
    }
    std::lock_guard<std::mutex> lock(sendMutex_);
    std::string error;
    bool ok = true;
    while (outbox_.Size() > 0 && (ok = SendOnce(error))) {
    }
    if (!ok && !sendFailing_) {
      sendFailing_ = true;
      Notify(std::to_string(outbox_.Size()) +
             " verdict(s) wait in the outbox for the line's database: " + error);
    } else if (ok && sendFailing_) {
      sendFailing_ = false;
      Notify("the line's database has all verdicts again (outbox empty)");
    }
    if (options_.lookIntervalMs > 0 && outbox_.Size() == 0 &&
        (answering_ < 0 || SteadyMs() - lastAskedMs_ >= options_.lookIntervalMs)) {
      std::string ignored;
      Heard(sendLink_.Exec("SELECT 1", {}, nullptr, ignored) || sendLink_.Connected());
    }
  }
}

}  // namespace kx20
