#include "line/verdict_outbox.h"

#include <charconv>
#include <cstdio>
#include <random>
#include <sstream>
#include <unordered_set>

namespace kx20 {
namespace {

constexpr const char* kHeader = "kx20 verdict outbox 2";
constexpr const char* kHeader1 = "kx20 verdict outbox 1";
constexpr const char* kEnd = "end";

// Fields are separated by tabs; a field never holds a tab or a line break
// (station names and error codes are checked words, times are formatted by
// us), but escape them anyway so a record can never split.
std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\') out += "\\\\";
    else if (c == '\t') out += "\\t";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

bool Unescape(const std::string& s, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    if (++i == s.size()) return false;
    switch (s[i]) {
      case '\\': out += '\\'; break;
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      default: return false;
    }
  }
  return true;
}

template <typename T>
bool ParseUnsigned(const std::string& text, T& value) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

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

std::string FormatVerdict(const VerdictRow& r) {
  std::ostringstream line;
  line << "verdict\t" << Escape(r.recordKey) << '\t' << Escape(r.station) << '\t' << r.slot
       << '\t' << r.driveLetter << '\t' << OptionalNumber(r.serial) << '\t' << r.capacity
       << '\t' << Escape(r.result) << '\t' << (r.errorCode.empty() ? "-" : Escape(r.errorCode))
       << '\t' << Escape(r.startedAt) << '\t' << Escape(r.finishedAt) << '\t'
       << OptionalNumber(r.issuedSerial) << '\t' << (r.cutOff ? 1 : 0) << '\t'
       << (r.instanceId.empty() ? "-" : Escape(r.instanceId)) << '\n';
  return line.str();
}

std::string FormatHandOut(const HandOutRow& r) {
  std::ostringstream line;
  line << "handout\t" << Escape(r.recordKey) << '\t' << Escape(r.station) << '\t'
       << Escape(r.instanceId) << '\t' << r.takeId << '\t' << r.serial << '\t' << r.slot << '\t'
       << r.driveLetter << '\t' << Escape(r.at) << '\n';
  return line.str();
}

bool ParseOptionalNumber(const std::string& text, std::optional<std::uint32_t>& value) {
  if (text == "-") {
    value.reset();
    return true;
  }
  std::uint32_t n = 0;
  if (!ParseUnsigned(text, n)) return false;
  value = n;
  return true;
}

// The ten fields a verdict had in format 1 (f[0] is the record key).
bool ParseVerdictFields(const std::vector<std::string>& f, std::size_t at, VerdictRow& r) {
  if (f.size() < at + 10) return false;
  std::string serial;
  bool ok = Unescape(f[at], r.recordKey) && Unescape(f[at + 1], r.station) &&
            ParseUnsigned(f[at + 2], r.slot) && f[at + 3].size() == 1 &&
            ParseOptionalNumber(f[at + 4], r.serial) && ParseUnsigned(f[at + 5], r.capacity) &&
            Unescape(f[at + 6], r.result) && Unescape(f[at + 8], r.startedAt) &&
            Unescape(f[at + 9], r.finishedAt) && !r.recordKey.empty();
  if (!ok) return false;
  r.driveLetter = f[at + 3][0];
  if (f[at + 7] != "-" && !Unescape(f[at + 7], r.errorCode)) return false;
  return true;
}

bool ParseLine2(const std::vector<std::string>& f, OutboxRecord& out) {
  if (f.empty()) return false;
  if (f[0] == "verdict") {
    VerdictRow r;
    if (f.size() != 14 || !ParseVerdictFields(f, 1, r) || !ParseOptionalNumber(f[11], r.issuedSerial) ||
        (f[12] != "0" && f[12] != "1")) {
      return false;
    }
    r.cutOff = f[12] == "1";
    if (f[13] != "-" && !Unescape(f[13], r.instanceId)) return false;
    out = r;
    return true;
  }
  if (f[0] == "handout") {
    HandOutRow r;
    if (f.size() != 9 || !Unescape(f[1], r.recordKey) || !Unescape(f[2], r.station) ||
        !Unescape(f[3], r.instanceId) || !ParseUnsigned(f[4], r.takeId) ||
        !ParseUnsigned(f[5], r.serial) || !ParseUnsigned(f[6], r.slot) || f[7].size() != 1 ||
        !Unescape(f[8], r.at) || r.recordKey.empty()) {
      return false;
    }
    r.driveLetter = f[7][0];
    out = r;
    return true;
  }
  return false;
}

}  // namespace

std::string FormatOutbox(const std::vector<OutboxRecord>& records) {
  std::string text = std::string(kHeader) + "\n";
  for (const OutboxRecord& record : records) {
    if (const auto* v = std::get_if<VerdictRow>(&record)) {
      text += FormatVerdict(*v);
    } else {
      text += FormatHandOut(std::get<HandOutRow>(record));
    }
  }
  text += kEnd;
  text += '\n';
  return text;
}

std::optional<std::vector<OutboxRecord>> ParseOutbox(const std::string& text, std::string& error) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || (line != kHeader && line != kHeader1)) {
    error = line.rfind("kx20 verdict outbox ", 0) == 0
                ? "a verdict outbox of another format (\"" + line +
                      "\"; this station reads formats 1 and 2): made by a newer station?"
                : "not a verdict outbox";
    return std::nullopt;
  }
  const bool format1 = line == kHeader1;
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
    if (format1) {
      VerdictRow r;
      ok = f.size() == 10 && ParseVerdictFields(f, 0, r);
      record = r;
    } else {
      ok = ParseLine2(f, record);
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
  if (!files_.ReadFile(path_, text)) {
    rows_.clear();
    return true;
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

std::size_t VerdictOutbox::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rows_.size();
}

}  // namespace kx20
