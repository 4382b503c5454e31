#include "line/verdict_outbox.h"

#include <charconv>
#include <cstdio>
#include <random>
#include <sstream>
#include <unordered_set>

namespace kx20 {
namespace {

constexpr const char* kHeader = "kx20 verdict outbox 1";
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

std::string FormatOutbox(const std::vector<VerdictRow>& rows) {
  std::string text = std::string(kHeader) + "\n";
  for (const VerdictRow& r : rows) {
    std::ostringstream line;
    line << Escape(r.recordKey) << '\t' << Escape(r.station) << '\t' << r.slot << '\t'
         << r.driveLetter << '\t' << (r.serial ? std::to_string(*r.serial) : "-") << '\t'
         << r.capacity << '\t' << Escape(r.result) << '\t'
         << (r.errorCode.empty() ? "-" : Escape(r.errorCode)) << '\t' << Escape(r.startedAt)
         << '\t' << Escape(r.finishedAt) << '\n';
    text += line.str();
  }
  text += kEnd;
  text += '\n';
  return text;
}

std::optional<std::vector<VerdictRow>> ParseOutbox(const std::string& text, std::string& error) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kHeader) {
    error = "not a verdict outbox of this version";
    return std::nullopt;
  }
  std::vector<VerdictRow> rows;
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
    VerdictRow r;
    std::string serial, error_code;
    bool ok = f.size() == 10 && Unescape(f[0], r.recordKey) && Unescape(f[1], r.station) &&
              ParseUnsigned(f[2], r.slot) && f[3].size() == 1 && ParseUnsigned(f[5], r.capacity) &&
              Unescape(f[6], r.result) && Unescape(f[8], r.startedAt) &&
              Unescape(f[9], r.finishedAt) && !r.recordKey.empty();
    if (ok) {
      r.driveLetter = f[3][0];
      if (f[4] != "-") {
        std::uint32_t s = 0;
        ok = ParseUnsigned(f[4], s);
        r.serial = s;
      }
      if (f[7] != "-") ok = ok && Unescape(f[7], r.errorCode);
    }
    if (!ok) {
      error = "line " + std::to_string(lineNumber) + " is damaged";
      return std::nullopt;
    }
    rows.push_back(std::move(r));
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

bool VerdictOutbox::WriteLocked(const std::vector<VerdictRow>& rows, std::string& error) {
  std::string failure;
  if (!ReplaceFileAtomically(files_, path_, FormatOutbox(rows), durability_, &failure)) {
    error = "the verdict outbox could not be written (" + failure + ")";
    return false;
  }
  return true;
}

bool VerdictOutbox::Add(const VerdictRow& row, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  rows_.push_back(row);
  return WriteLocked(rows_, error);
}

std::vector<VerdictRow> VerdictOutbox::Peek(std::size_t limit) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t n = std::min(limit, rows_.size());
  return {rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(n)};
}

bool VerdictOutbox::Remove(const std::vector<std::string>& keys, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::unordered_set<std::string> gone(keys.begin(), keys.end());
  std::vector<VerdictRow> kept;
  for (const VerdictRow& r : rows_) {
    if (gone.count(r.recordKey) == 0) kept.push_back(r);
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
