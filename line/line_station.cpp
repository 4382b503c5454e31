#include "line/line_station.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "common/virtual_clock.h"
#include "line/line_database.h"
#include "storage/file_lock.h"

namespace kx20 {
namespace {

std::string InDir(const std::string& dir, const char* name) {
  if (dir.empty() || dir == ".") return name;
  return (std::filesystem::path(dir) / name).string();
}

std::string FormatUtc(const CalendarTime& t) {
  char text[96];  // room for any int the compiler may assume
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d+00", t.year, t.month,
                t.day, t.hour, t.minute, t.second, t.millisecond);
  return text;
}

std::string UtcNowText() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return FormatUtc(
      EpochMsToCalendar(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()));
}

// A step's start as the record keeps it: "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string IsoUtc(const CalendarTime& t) {
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
  return text;
}

// The steps a pass ran, as the JSON array the line keeps; empty for none.
std::string StepsJson(const std::vector<StepTiming>& steps) {
  if (steps.empty()) return "";
  nlohmann::json array = nlohmann::json::array();
  for (const StepTiming& s : steps) {
    array.push_back({{"step", s.step}, {"start", IsoUtc(s.startedUtc)}, {"ms", s.durationMs}});
  }
  // Replaced, never thrown: a step name is ours, but a record must not fail.
  return array.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
// After a failed contact with the line, no lease is taken ahead of time and
// no lease is checked before this long has passed.
constexpr std::chrono::seconds kContactPause{10};

}  // namespace

JournalHome HomeOf(const std::string& workDir) {
  JournalHome home;
  home.host = ThisHostName();
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::absolute(workDir.empty() ? "." : workDir, ec);
  if (ec) dir = workDir;
  const std::filesystem::path canonical = std::filesystem::weakly_canonical(dir, ec);
  home.directory = (ec ? dir : canonical).lexically_normal().string();
  while (home.directory.size() > 1 && home.directory.back() == '/') home.directory.pop_back();
  return home;
}

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
      markerPath_(InDir(options_.workDir, kLineMarkerFileName)),
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
  const JournalHome here = HomeOf(options.workDir);
  if (options.home.host.empty()) options.home.host = here.host;
  if (options.home.directory.empty()) options.home.directory = here.directory;
  std::unique_ptr<LineStation> line(new LineStation(std::move(options)));
  LeaseJournal& journal = line->journal_;
  const JournalHome& home = line->options_.home;

  RemoveLeftoverTemporaries(journal.Path());
  if (!journal.Load(error)) return nullptr;
  if (!journal.Exists()) {
    if (!journal.Create(home, error)) {
      error += ": line mode needs its journal";
      return nullptr;
    }
  } else if (journal.State().format == 1) {
    // An old journal becomes an instance of its own here, before the line is
    // asked anything; its leases are matched to their takes by the check.
    LeaseState converted = journal.State();
    converted.instanceId = NewRandomId();
    converted.home = home;
    converted.startToken = NewRandomId();
    converted.previousToken.clear();
    if (!journal.Update(converted, error)) return nullptr;
  } else {
    const CheckOutcome copied = CheckJournalHome(journal.State(), home);
    if (!copied.Passed()) {
      error = copied.message;
      return nullptr;
    }
  }
  line->instanceId_ = journal.State().instanceId;

  if (!line->outbox_.Load(error)) return nullptr;
  // Hand-outs the journal recorded whose outbox record may not have been
  // written before the station ended: added now (their keys make a second
  // copy harmless).
  for (const HandOut& h : std::vector<HandOut>(journal.State().handOuts)) {
    const std::string key = HandOutKey(line->options_.station, line->instanceId_, h.takeId, h.serial);
    std::string ignored;
    if (line->outbox_.Contains(key) ||
        line->outbox_.Add(HandOutRow{key, line->options_.station, line->instanceId_, h.takeId,
                                     h.serial, h.slot, h.driveLetter, h.at},
                          ignored)) {
      journal.ForgetHandOut(h.serial, h.takeId);
    }
  }
  if (!line->WriteMarker(error)) return nullptr;

  {
    std::lock_guard<std::mutex> lock(line->serialMutex_);
    std::string message;
    const Reach reach = line->StartCheck(message);
    if (reach == Reach::kRefused) {
      error = message;
      return nullptr;
    }
    if (reach == Reach::kUnreachable) {
      line->Notify(message +
                   "; the station's journal is checked against the line before the first serial "
                   "number is handed out");
    }
  }
  // A station that watches its database looks at once.
  if (line->options_.lookIntervalMs > 0) line->wakePending_ = true;
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

bool LineStation::Checked() const {
  std::lock_guard<std::mutex> lock(lineMutex_);
  return !checkedLineId_.empty();
}

bool LineStation::WriteMarker(std::string& error) {
  const LeaseState& j = journal_.State();
  const std::string text = "kx20 line work directory\nstation " + j.station + "\nline " +
                           (j.lineId.empty() ? std::string("-") : j.lineId) + "\ninstance " +
                           j.instanceId + "\n";
  std::string failure;
  if (!ReplaceFileAtomically(SystemFileSystem(), markerPath_, text, options_.durability,
                             &failure)) {
    error = "the line marker " + markerPath_ + " could not be written (" + failure + ")";
    return false;
  }
  return true;
}

std::string LineStation::DatabaseReason(const std::string& error) const {
  return (serialLink_.Connected() ? "the line's database refused the serial number: "
                                  : "the line's database cannot be reached: ") +
         error;
}

LineStation::Reach LineStation::StartCheck(std::string& message) {
  const LeaseState journal = journal_.State();
  LineFacts facts;
  std::string error;
  const bool read = ReadLineFacts(serialLink_, journal, facts, error);
  Heard(serialLink_.Connected());
  if (!read) {
    if (!serialLink_.Connected()) {
      message = "the line's database cannot be reached: " + error;
      return Reach::kUnreachable;
    }
    message = "the station's journal could not be checked against the line: " + error;
    return Reach::kRefused;
  }
  const CheckOutcome outcome = CheckJournalAgainstLine(journal, facts, CheckWhen::kStart);
  if (!outcome.Passed()) {
    message = outcome.message;
    return Reach::kRefused;
  }
  // A start renews the start token: first here (a crash after this write
  // still finds the line's token as the previous one), then on the line.
  std::string fromToken;
  if (!outcome.registerInstance) {
    fromToken = facts.ours->startToken;
    LeaseState renewed = journal;
    renewed.previousToken = fromToken;
    renewed.startToken = NewRandomId();
    if (!journal_.Update(renewed, error)) {
      message = error + ": no serial number is handed out";
      return Reach::kRefused;
    }
  }
  if (!ClaimInstance(serialLink_, journal_.State(), outcome, fromToken, error)) {
    if (!serialLink_.Connected()) {
      message = "the line's database cannot be reached: " + error;
      return Reach::kUnreachable;
    }
    message = "check of the station's instance failed: " + error;
    return Reach::kRefused;
  }
  LeaseState bound = journal_.State();
  bound.lineId = facts.lineId;
  for (const auto& [index, takeId] : outcome.adopt) bound.leases.at(index).takeId = takeId;
  if (!journal_.Update(bound, error)) {
    message = error + ": no serial number is handed out";
    return Reach::kRefused;
  }
  checked_ = true;
  {
    std::lock_guard<std::mutex> lock(lineMutex_);
    checkedLineId_ = facts.lineId;
  }
  std::string markerError;
  if (!WriteMarker(markerError)) Notify(markerError);
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    wakePending_ = true;
  }
  wake_.notify_all();
  return Reach::kPassed;
}

LineStation::Reach LineStation::LeaseCheck(std::string& message) {
  if (std::chrono::steady_clock::now() < nextContact_) return Reach::kUnreachable;
  LineFacts facts;
  std::string error;
  const bool read = ReadLineFacts(serialLink_, journal_.State(), facts, error);
  Heard(serialLink_.Connected());
  if (!read) {
    if (!serialLink_.Connected()) {
      nextContact_ = std::chrono::steady_clock::now() + kContactPause;
      return Reach::kUnreachable;
    }
    message = "the lease could not be checked against the line: " + error;
    return Reach::kRefused;
  }
  const CheckOutcome outcome = CheckJournalAgainstLine(journal_.State(), facts, CheckWhen::kLease);
  if (!outcome.Passed()) {
    message = outcome.message;
    return Reach::kRefused;
  }
  return Reach::kPassed;
}

bool LineStation::TakeLease(std::string& reason) {
  TakenSerials taken;
  std::string error;
  const bool took = TakeSerials(serialLink_, journal_.State(), std::nullopt, std::nullopt,
                                options_.lease, taken, error);
  Heard(serialLink_.Connected());
  if (!took) {
    reason = DatabaseReason(error);
    return false;
  }
  const std::uint32_t seen = journal_.State().seen;
  if (seen != 0 && !SerialIsBeyond(taken.first, seen)) {
    reason = "check of the counter failed: the line leased numbers from " +
             std::to_string(taken.first) + ", which is not beyond " + std::to_string(seen) +
             ", the last number this station was given: the database was restored or its "
             "counter moved back; the lease is not used (restart the station to see what to do)";
    return false;
  }
  if (journal_.AddLease(taken.first, options_.lease, taken.takeId, error)) return true;
  // The lease is taken in the database but not recorded here: its numbers
  // stay unused for good (gaps), never handed out twice.
  reason = error + ": the lease of " + std::to_string(options_.lease) + " numbers from " +
           std::to_string(taken.first) + " is given up";
  Notify(reason);
  return false;
}

void LineStation::RememberIssued(const SerialRequest& request, std::uint32_t number) {
  std::lock_guard<std::mutex> lock(issuedMutex_);
  issued_[{request.driveLetter, request.slot}] = number;
}

bool LineStation::TakeSerial(const SerialRequest& request, std::uint32_t& number,
                             std::string& reason) {
  std::lock_guard<std::mutex> lock(serialMutex_);
  if (!checked_) {
    std::string message;
    const Reach reach = StartCheck(message);
    if (reach == Reach::kUnreachable) {
      reason = message +
               "; the station's journal has not been checked against the line yet, so no number "
               "is handed out";
      return false;
    }
    if (reach == Reach::kRefused) {
      reason = message;
      return false;
    }
  }
  std::string error;
  if (options_.lease == 0) {
    TakenSerials taken;
    const bool took = TakeSerials(serialLink_, journal_.State(), request.slot,
                                  request.driveLetter, 1, taken, error);
    Heard(serialLink_.Connected());
    if (!took) {
      reason = DatabaseReason(error);
      return false;
    }
    // The take names this disk: its verdict names the number too, whatever
    // happens to it below.
    RememberIssued(request, taken.first);
    const std::uint32_t seen = journal_.State().seen;
    if (seen != 0 && !SerialIsBeyond(taken.first, seen)) {
      reason = "check of the counter failed: the line handed out " + std::to_string(taken.first) +
               ", which is not beyond " + std::to_string(seen) +
               ", the last number this station was given: the database was restored or its "
               "counter moved back; the number is not used (restart the station to see what to do)";
      return false;
    }
    if (!journal_.RecordSeen(taken.first, error)) {
      reason = error + ": the number " + std::to_string(taken.first) + " is not handed out";
      return false;
    }
    number = taken.first;
    return true;
  }

  const auto now = std::chrono::steady_clock::now();
  if (journal_.Remaining() == 0) {
    if (!TakeLease(reason)) {
      reason += " (the station's lease is used up)";
      return false;
    }
  } else if (journal_.Remaining() <= options_.lease / 2 && now >= nextContact_) {
    // The next lease ahead of time, so that an outage starting now finds
    // numbers in hand. A failure here costs nothing yet: the step goes on
    // with the current lease and the next try waits a while, so an outage
    // does not slow every step by a connection attempt.
    std::string why;
    if (!TakeLease(why)) {
      nextContact_ = now + kContactPause;
      Notify(why + "; the lease has " + std::to_string(journal_.Remaining()) +
             " number(s) left");
    }
  }
  // Before the first number of a lease: the line must still know it as this
  // station's. When the line does not answer, the lease was checked when
  // this process took it or started.
  if (const std::optional<Lease> next = journal_.NextLease(); next && next->used == 0) {
    std::string message;
    if (LeaseCheck(message) == Reach::kRefused) {
      reason = message;
      return false;
    }
  }
  HandOut handOut;
  handOut.slot = request.slot;
  handOut.driveLetter = request.driveLetter;
  handOut.at = UtcNowText();
  if (!journal_.Take(handOut, error)) {
    reason = error;
    return false;
  }
  const HandOutRow row{HandOutKey(options_.station, instanceId_, handOut.takeId, handOut.serial),
                       options_.station, instanceId_, handOut.takeId, handOut.serial,
                       handOut.slot, handOut.driveLetter, handOut.at};
  if (outbox_.Add(row, error)) {
    journal_.ForgetHandOut(handOut.serial, handOut.takeId);
  } else {
    Notify(error + ": the hand-out of " + std::to_string(handOut.serial) +
           " stays in the journal until the outbox can be written");
  }
  number = handOut.serial;
  RememberIssued(request, number);
  return true;
}

bool LineStation::RecordVerdict(const VerdictEvent& event) {
  VerdictRow row;
  row.recordKey = NewRecordKey(options_.station);
  row.station = options_.station;
  row.slot = event.slot;
  row.driveLetter = event.driveLetter;
  if (event.serialNumber != 0) row.serial = event.serialNumber;
  row.capacity = event.capacitySectors;
  row.result = event.passed ? "Pass" : "FAIL";
  row.errorCode = event.errorCode;
  row.startedAt = FormatUtc(event.startedUtc);
  row.finishedAt = FormatUtc(event.finishedUtc);
  row.cutOff = event.cutOff;
  row.instanceId = instanceId_;
  row.lot = event.lot;
  row.operatorName = event.operatorName;
  row.softwareVersion = event.softwareVersion;
  row.recipeId = event.recipeId;
  row.previousSerial = event.previousSerial;
  row.failedStep = event.failedStep;
  row.steps = StepsJson(event.steps);
  row.rwWriteMBps = event.rwWriteMBps;
  row.rwReadMBps = event.rwReadMBps;
  row.imageWriteMBps = event.imageWriteMBps;
  row.host = options_.home.host;
  {
    // One worker drives a letter's disk at a time: the number handed out for
    // it since its last verdict is this disk's.
    std::lock_guard<std::mutex> lock(issuedMutex_);
    if (const auto it = issued_.find({event.driveLetter, event.slot}); it != issued_.end()) {
      row.issuedSerial = it->second;
      issued_.erase(it);
    }
  }
  std::string error;
  const bool kept = outbox_.Add(row, error);
  if (!kept) {
    Notify(error + ": the verdict of drive " + std::string(1, event.driveLetter) +
           " is kept in memory until the outbox can be written");
  }
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    wakePending_ = true;
  }
  wake_.notify_all();
  return kept;
}

bool LineStation::SendOnce(std::string& error) {
  std::string lineId;
  {
    std::lock_guard<std::mutex> lock(lineMutex_);
    lineId = checkedLineId_;
  }
  const std::vector<OutboxRecord> records = outbox_.Peek(options_.sendBatch);
  if (records.empty()) return true;
  if (lineId.empty()) {
    error = "the station's journal has not been checked against the line yet";
    return false;
  }
  std::optional<std::size_t> refused;
  const bool sent = SendRecords(sendLink_, lineId, records, error, &refused);
  Heard(sendLink_.Connected());
  if (!sent) {
    if (!refused) return false;
    // The database refused this record for its data: sending it again would
    // be refused again and hold up every record behind it. It is set aside
    // with the reason; the rest goes on.
    const OutboxRecord& record = records.at(*refused);
    std::string what;
    if (const auto* v = std::get_if<VerdictRow>(&record)) {
      what = "the verdict of drive " + std::string(1, v->driveLetter) + " (slot " +
             std::to_string(v->slot) + ")";
    } else {
      what = "the hand-out of " + std::to_string(std::get<HandOutRow>(record).serial);
    }
    const std::string reason = error;
    std::string setAside;
    if (!outbox_.SetAside(RecordKeyOf(record),
                          UtcNowText() + " refused by the line's database: " + reason, setAside)) {
      error = reason + "; " + setAside;
      return false;
    }
    refusedCount_.fetch_add(1);
    Notify("the line's database refused " + what + ", record " + RecordKeyOf(record) + ": " +
           reason + "; it is set aside in " + outbox_.RefusedPath() +
           " and the other records go on");
    return true;
  }
  std::vector<std::string> keys;
  for (const OutboxRecord& r : records) keys.push_back(RecordKeyOf(r));
  // The database has them; a crash before the removal sends them again,
  // which the record keys make harmless.
  return outbox_.Remove(keys, error);
}

std::size_t LineStation::Flush(int timeoutMs) {
  // The deadline is checked before each batch: a long backlog is sent for
  // as long as there is time, never all of it regardless. A batch the sender
  // thread has under way is waited for (one batch at most).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  flushing_.fetch_add(1);
  struct Done {
    std::atomic<int>& flushing;
    ~Done() { flushing.fetch_sub(1); }
  } done{flushing_};
  bool first = true;
  for (;;) {
    bool failedNow = false;
    while (outbox_.Size() > 0 && (first || std::chrono::steady_clock::now() < deadline)) {
      first = false;
      std::lock_guard<std::mutex> lock(sendMutex_);
      std::string error;
      if (!SendOnce(error)) {
        failedNow = true;
        break;
      }
    }
    const std::size_t left = outbox_.Size();
    if (left == 0 || std::chrono::steady_clock::now() >= deadline) return left;
    if (failedNow) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

void LineStation::Heard(bool answered) {
  answering_ = answered ? 1 : 0;
  lastAskedMs_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now().time_since_epoch())
                     .count();
}

LineStation::DatabaseState LineStation::State() const {
  DatabaseState state;
  const int answering = answering_;
  state.asked = answering >= 0;
  state.answering = answering == 1;
  state.waiting = outbox_.Size();
  return state;
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
    // One batch at a time under the lock, so that a flush at the end (or
    // the destructor) waits for one batch at most, not the whole backlog.
    std::string error;
    bool ok = true;
    bool yielded = false;
    while (outbox_.Size() > 0) {
      {
        std::lock_guard<std::mutex> stopLock(wakeMutex_);
        if (stop_) return;
      }
      if (flushing_.load() > 0) {
        yielded = true;
        break;
      }
      std::lock_guard<std::mutex> lock(sendMutex_);
      if (!(ok = SendOnce(error))) break;
    }
    // A flush took over: what it sends and what it leaves is its to report.
    if (yielded) continue;
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (!ok && !sendFailing_) {
      sendFailing_ = true;
      Notify(std::to_string(outbox_.Size()) +
             " verdict(s) wait in the outbox for the line's database: " + error);
    } else if (ok && sendFailing_) {
      sendFailing_ = false;
      Notify("the line's database has all verdicts again (outbox empty)");
    }
    const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    if (options_.lookIntervalMs > 0 && outbox_.Size() == 0 &&
        (answering_ < 0 || now - lastAskedMs_ >= options_.lookIntervalMs)) {
      std::string ignored;
      Heard(sendLink_.Exec("SELECT 1", {}, nullptr, ignored) || sendLink_.Connected());
    }
  }
}

}  // namespace kx20
