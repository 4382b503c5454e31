#include "line/verdict_outbox.h"

#include <charconv>
#include <cstdio>
#include <random>
#include <sstream>
#include <unordered_set>

#include "line/record_text.h"

namespace kx20 {
namespace {

constexpr const char* kHeader = "kx20 verdict outbox 3";
constexpr const char* kHeader2 = "kx20 verdict outbox 2";
constexpr const char* kHeader1 = "kx20 verdict outbox 1";
constexpr const char* kEnd = "end";

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

}  // namespace

std::string NewRecordKey(const std::string& station) {
  std::random_device random;
  char hex[33];
  for (int i = 0; i < 4; ++i) {
    std::snprintf(hex + i * 8, 9, "%08x", static_cast<unsigned>(random()));
  }
  return station + "-" + hex;
}

std::string HandOutKey(const std::string& station, const std::string& instanceId,
                       std::uint64_t takeId, std::uint32_t serial) {
  return station + "-" + instanceId + "-" + std::to_string(takeId) + "-" + std::to_string(serial);
}

const std::string& RecordKeyOf(const OutboxRecord& record) {
  return std::visit([](const auto& r) -> const std::string& { return r.recordKey; }, record);
}

namespace {

std::string OptionalNumber(const std::optional<std::uint32_t>& n) {
  return n ? std::to_string(*n) : "-";
}

// A rate: the shortest text that reads back as the same number; empty for
// none.
std::string OptionalRate(const std::optional<double>& rate) {
  if (!rate) return "";
  char text[64];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, *rate);
  return ec == std::errc() ? std::string(text, end) : std::string();
}

bool ParseOptionalRate(const std::string& text, std::optional<double>& rate) {
  if (text.empty()) {
    rate.reset();
    return true;
  }
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  rate = value;
  return true;
}

std::string FormatVerdict(const VerdictRow& r) {
  // Fields added in format 3 are empty when not known ("-" is a value).
  std::ostringstream line;
  line << "verdict\t" << EscapeRecordField(r.recordKey) << '\t' << EscapeRecordField(r.station) << '\t' << r.slot
       << '\t' << r.driveLetter << '\t' << OptionalNumber(r.serial) << '\t' << r.capacity
       << '\t' << EscapeRecordField(r.result) << '\t' << (r.errorCode.empty() ? "-" : EscapeRecordField(r.errorCode))
       << '\t' << EscapeRecordField(r.startedAt) << '\t' << EscapeRecordField(r.finishedAt) << '\t'
       << OptionalNumber(r.issuedSerial) << '\t' << (r.cutOff ? 1 : 0) << '\t'
       << (r.instanceId.empty() ? "-" : EscapeRecordField(r.instanceId)) << '\t' << EscapeRecordField(r.lot) << '\t'
       << EscapeRecordField(r.operatorName) << '\t' << EscapeRecordField(r.softwareVersion) << '\t'
       << EscapeRecordField(r.recipeId) << '\t'
       << (r.previousSerial ? std::to_string(*r.previousSerial) : std::string()) << '\t'
       << EscapeRecordField(r.failedStep) << '\t' << EscapeRecordField(r.steps) << '\t' << OptionalRate(r.rwWriteMBps)
       << '\t' << OptionalRate(r.rwReadMBps) << '\t' << OptionalRate(r.imageWriteMBps) << '\t'
       << EscapeRecordField(r.host) << '\n';
  return line.str();
}

std::string FormatHandOut(const HandOutRow& r) {
  std::ostringstream line;
  line << "handout\t" << EscapeRecordField(r.recordKey) << '\t' << EscapeRecordField(r.station) << '\t'
       << EscapeRecordField(r.instanceId) << '\t' << r.takeId << '\t' << r.serial << '\t' << r.slot << '\t'
       << r.driveLetter << '\t' << EscapeRecordField(r.at) << '\n';
  return line.str();
}

bool ParseOptionalNumber(const std::string& text, std::optional<std::uint32_t>& value) {
  if (text == "-") {
    value.reset();
    return true;
  }
  std::uint32_t n = 0;
  if (!ParseRecordNumber(text, n)) return false;
  value = n;
  return true;
}

// The ten fields a verdict had in format 1 (f[0] is the record key).
bool ParseVerdictFields(const std::vector<std::string>& f, std::size_t at, VerdictRow& r) {
  if (f.size() < at + 10) return false;
  std::string serial;
  bool ok = UnescapeRecordField(f[at], r.recordKey) && UnescapeRecordField(f[at + 1], r.station) &&
            ParseRecordNumber(f[at + 2], r.slot) && f[at + 3].size() == 1 &&
            ParseOptionalNumber(f[at + 4], r.serial) && ParseRecordNumber(f[at + 5], r.capacity) &&
            UnescapeRecordField(f[at + 6], r.result) && UnescapeRecordField(f[at + 8], r.startedAt) &&
            UnescapeRecordField(f[at + 9], r.finishedAt) && !r.recordKey.empty();
  if (!ok) return false;
  r.driveLetter = f[at + 3][0];
  if (f[at + 7] != "-" && !UnescapeRecordField(f[at + 7], r.errorCode)) return false;
  return true;
}

// A line of format 2 (14 fields for a verdict) or 3 (25).
bool ParseLine(const std::vector<std::string>& f, int format, OutboxRecord& out) {
  if (f.empty()) return false;
  if (f[0] == "verdict") {
    VerdictRow r;
    if (f.size() != (format == 3 ? 25u : 14u) || !ParseVerdictFields(f, 1, r) ||
        !ParseOptionalNumber(f[11], r.issuedSerial) || (f[12] != "0" && f[12] != "1")) {
      return false;
    }
    r.cutOff = f[12] == "1";
    if (f[13] != "-" && !UnescapeRecordField(f[13], r.instanceId)) return false;
    if (format == 3) {
      if (!UnescapeRecordField(f[14], r.lot) || !UnescapeRecordField(f[15], r.operatorName) ||
          !UnescapeRecordField(f[16], r.softwareVersion) || !UnescapeRecordField(f[17], r.recipeId) ||
          (!f[18].empty() && !ParseOptionalNumber(f[18], r.previousSerial)) ||
          !UnescapeRecordField(f[19], r.failedStep) || !UnescapeRecordField(f[20], r.steps) ||
          !ParseOptionalRate(f[21], r.rwWriteMBps) || !ParseOptionalRate(f[22], r.rwReadMBps) ||
          !ParseOptionalRate(f[23], r.imageWriteMBps) || !UnescapeRecordField(f[24], r.host)) {
        return false;
      }
    }
    out = r;
    return true;
  }
  if (f[0] == "handout") {
    HandOutRow r;
    if (f.size() != 9 || !UnescapeRecordField(f[1], r.recordKey) || !UnescapeRecordField(f[2], r.station) ||
        !UnescapeRecordField(f[3], r.instanceId) || !ParseRecordNumber(f[4], r.takeId) ||
        !ParseRecordNumber(f[5], r.serial) || !ParseRecordNumber(f[6], r.slot) || f[7].size() != 1 ||
        !UnescapeRecordField(f[8], r.at) || r.recordKey.empty()) {
      return false;
    }
    r.driveLetter = f[7][0];
    out = r;
    return true;
  }
  return false;
}

}  // namespace

std::string FormatOutboxRecord(const OutboxRecord& record) {
  if (const auto* v = std::get_if<VerdictRow>(&record)) return FormatVerdict(*v);
  return FormatHandOut(std::get<HandOutRow>(record));
}

std::string FormatOutbox(const std::vector<OutboxRecord>& records) {
  std::string text = std::string(kHeader) + "\n";
  for (const OutboxRecord& record : records) text += FormatOutboxRecord(record);
  text += kEnd;
  text += '\n';
  return text;
}

std::optional<std::vector<OutboxRecord>> ParseOutbox(const std::string& text, std::string& error) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || (line != kHeader && line != kHeader2 && line != kHeader1)) {
    error = line.rfind("kx20 verdict outbox ", 0) == 0
                ? "a verdict outbox of another format (\"" + line +
                      "\"; this station reads formats 1 to 3): made by a newer station?"
                : "not a verdict outbox";
    return std::nullopt;
  }
  const int format = line == kHeader ? 3 : line == kHeader2 ? 2 : 1;
  std::vector<OutboxRecord> rows;
  bool ended = false;
  int lineNumber = 1;
  while (std::getline(in, line)) {
    ++lineNumber;
    if (ended) {
      error = "text after the end line";
      return std::nullopt;
    }
    if (line == kEnd) {
      ended = true;
      continue;
    }
    const std::vector<std::string> f = SplitTabs(line);
    OutboxRecord record;
    bool ok = false;
    if (format == 1) {
      VerdictRow r;
      ok = f.size() == 10 && ParseVerdictFields(f, 0, r);
      record = r;
    } else {
      ok = ParseLine(f, format, record);
    }
    if (!ok) {
      error = "line " + std::to_string(lineNumber) + " is damaged";
      return std::nullopt;
    }
    rows.push_back(std::move(record));
  }
  if (!ended) {
    error = "the end line is missing";
    return std::nullopt;
  }
  return rows;
}

bool VerdictOutbox::Load(std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  RemoveLeftoverTemporaries(files_, path_);
  std::string text;
  std::string failure;
  switch (files_.ReadContents(path_, text, &failure)) {
    case ReadOutcome::kRead:
      break;
    case ReadOutcome::kMissing:
      rows_.clear();
      return true;
    case ReadOutcome::kFailed:
      // Never taken for an empty outbox: the next write would drop the
      // verdicts that wait in it.
      error = "the verdict outbox " + path_ + " cannot be read: " + failure;
      return false;
  }
  std::string why;
  auto rows = ParseOutbox(text, why);
  if (!rows) {
    error = "the verdict outbox " + path_ + " is damaged (" + why + ")";
    return false;
  }
  rows_ = std::move(*rows);
  return true;
}

bool VerdictOutbox::WriteLocked(const std::vector<OutboxRecord>& rows, std::string& error) {
  std::string failure;
  if (!ReplaceFileAtomically(files_, path_, FormatOutbox(rows), durability_, &failure)) {
    error = "the verdict outbox could not be written (" + failure + ")";
    return false;
  }
  return true;
}

bool VerdictOutbox::Add(const OutboxRecord& record, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  rows_.push_back(record);
  return WriteLocked(rows_, error);
}

bool VerdictOutbox::Contains(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const OutboxRecord& r : rows_) {
    if (RecordKeyOf(r) == key) return true;
  }
  return false;
}

std::vector<OutboxRecord> VerdictOutbox::Peek(std::size_t limit) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t n = std::min(limit, rows_.size());
  return {rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(n)};
}

bool VerdictOutbox::Remove(const std::vector<std::string>& keys, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::unordered_set<std::string> gone(keys.begin(), keys.end());
  std::vector<OutboxRecord> kept;
  for (const OutboxRecord& r : rows_) {
    if (gone.count(RecordKeyOf(r)) == 0) kept.push_back(r);
  }
  // Memory follows the file: a record the file still holds is sent again
  // (harmless); one dropped from memory while still in the file would be too.
  if (!WriteLocked(kept, error)) return false;
  rows_ = std::move(kept);
  return true;
}

std::string VerdictOutbox::RefusedPath() const {
  const std::size_t slash = path_.find_last_of("/\\");
  return (slash == std::string::npos ? std::string() : path_.substr(0, slash + 1)) +
         kRefusedVerdictsFileName;
}

bool VerdictOutbox::SetAside(const std::string& key, const std::string& note,
                             std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<OutboxRecord> kept;
  std::string entry;
  for (const OutboxRecord& r : rows_) {
    if (RecordKeyOf(r) == key && entry.empty()) {
      std::string oneLine = note;
      for (char& c : oneLine) {
        if (c == '\n' || c == '\r') c = ' ';
      }
      entry = "# " + oneLine + "\n" + FormatOutboxRecord(r);
    } else {
      kept.push_back(r);
    }
  }
  if (entry.empty()) return true;  // not here (any more)
  const std::string refused = RefusedPath();
  std::string text;
  std::string failure;
  switch (files_.ReadContents(refused, text, &failure)) {
    case ReadOutcome::kRead:
      break;
    case ReadOutcome::kMissing:
      text = "kx20 refused verdicts 1\n";
      break;
    case ReadOutcome::kFailed:
      error = "the file of refused verdicts " + refused + " cannot be read: " + failure;
      return false;
  }
  if (!text.empty() && text.back() != '\n') text += '\n';
  text += entry;
  if (!ReplaceFileAtomically(files_, refused, text, durability_, &failure)) {
    error = "the file of refused verdicts " + refused + " could not be written (" + failure + ")";
    return false;
  }
  if (!WriteLocked(kept, error)) return false;
  rows_ = std::move(kept);
  return true;
}

std::size_t VerdictOutbox::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rows_.size();
}

}  // namespace kx20
