#include "report/production_log_reader.h"

#include <cctype>
#include <filesystem>
#include <system_error>

#include "common/text_compare.h"
#include "report/report_time.h"
#include "report/verdict_jsonl_reader.h"

#include "storage/durable_file.h"
#include "storage/profile_file.h"

namespace kx20 {
namespace {

// Reads 1 to 4 digits at `pos` (advanced) into `value`.
bool TakeNumber(std::string_view s, std::size_t& pos, int& value) {
  const std::size_t start = pos;
  value = 0;
  while (pos < s.size() && pos - start < 4 && std::isdigit(static_cast<unsigned char>(s[pos]))) {
    value = value * 10 + (s[pos] - '0');
    ++pos;
  }
  return pos > start && (pos == s.size() || !std::isdigit(static_cast<unsigned char>(s[pos])));
}

bool TakeChar(std::string_view s, std::size_t& pos, char c) {
  if (pos >= s.size() || s[pos] != c) return false;
  ++pos;
  return true;
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// The "Serial Number" of a pass: up to eight decimal digits, nothing else
// (the log writes them zero-padded). 0 when it is not such a number.
std::uint32_t SerialValue(const std::string& text) {
  if (text.empty() || text.size() > 8) return 0;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return value;
}

}  // namespace

bool ParseLogSectionTime(std::string_view s, VerdictRecord& r) {
  std::size_t pos = 0;
  int y, mo, d, h, mi, se;
  if (!TakeNumber(s, pos, y) || !TakeChar(s, pos, '/') || !TakeNumber(s, pos, mo) ||
      !TakeChar(s, pos, '/') || !TakeNumber(s, pos, d)) {
    return false;
  }
  const std::size_t gap = pos;
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
  if (pos == gap) return false;
  if (!TakeNumber(s, pos, h) || !TakeChar(s, pos, ':') || !TakeNumber(s, pos, mi) ||
      !TakeChar(s, pos, ':') || !TakeNumber(s, pos, se) || pos != s.size()) {
    return false;
  }
  if (y < 1970 || mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo) || h > 23 || mi > 59 ||
      se > 60) {
    return false;
  }
  r.year = y;
  r.month = mo;
  r.day = d;
  r.hour = h;
  r.minute = mi;
  r.second = se;
  return true;
}

std::uint64_t ReadProductionLogText(std::string_view bytes, const std::string& station,
                                    const std::string& source, YieldReportBuilder& builder,
                                    std::multiset<std::string>* covered) {
  const ProfileDocument doc = ProfileDocument::Parse(bytes);
  std::uint64_t records = 0;
  for (std::size_t i = 0; i < doc.SectionCount(); ++i) {
    const std::string& name = doc.SectionName(i);
    const auto malformed = [&](std::string reason) {
      builder.AddMalformed(MalformedRecord{source, name, std::move(reason)});
    };
    if (i == 0 && name.empty()) {
      malformed("text before the first section");
      continue;
    }
    VerdictRecord r;
    r.station = station;
    if (!ParseLogSectionTime(name, r)) {
      malformed("the section name is not a date and time");
      continue;
    }
    if (covered != nullptr) {
      const auto found = covered->find(name);
      if (found != covered->end()) {
        covered->erase(found);
        continue;
      }
    }
    r.finishedAt = FromLocalTime(LocalTime{r.year, r.month, r.day, r.hour, r.minute, r.second});
    const std::optional<std::string> result = doc.FindAt(i, "Result");
    if (!result) {
      malformed("no Result");
      continue;
    }
    const std::string resultText = ProfileReadValue(*result, 256);
    const std::string errorCode = ProfileReadValue(doc.FindAt(i, "Error Code").value_or(""), 256);
    if (EqualsIgnoringCase(resultText, "Pass")) {
      if (!errorCode.empty()) {
        malformed("a pass with the error code '" + errorCode + "'");
        continue;
      }
      r.passed = true;
      r.serial = SerialValue(ProfileReadValue(doc.FindAt(i, "Serial Number").value_or(""), 256));
      r.where = source + " [" + name + "]";
    } else if (EqualsIgnoringCase(resultText, "FAIL")) {
      r.passed = false;
      r.errorCode = errorCode;
    } else {
      malformed("the Result '" + resultText + "' is neither Pass nor FAIL");
      continue;
    }
    builder.Add(r);
    ++records;
  }
  return records;
}

bool ReadProductionLogFile(const std::string& path, const std::string& station,
                           YieldReportBuilder& builder, std::string& error) {
  std::set<std::string> read{"-"};
  return ReadRecordFile(path, station, builder, read, error);
}

namespace {

bool EndsWith(const std::string& s, const char* suffix) {
  const std::string_view x(suffix);
  return s.size() >= x.size() && s.compare(s.size() - x.size(), x.size(), x) == 0;
}

// The file's identity for "read already": its canonical path where it has one.
std::string Identity(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path canonical = std::filesystem::weakly_canonical(path, ec);
  return ec ? path : canonical.string();
}

}  // namespace

bool ReadRecordFile(const std::string& path, const std::string& station,
                    YieldReportBuilder& builder, std::set<std::string>& read, std::string& error) {
  const bool pairing = read.count("-") == 0;  // ReadProductionLogFile reads the log alone
  std::string bytes;
  if (EndsWith(path, ".jsonl")) {
    if (!read.insert(Identity(path)).second) return true;
    if (!ReadWholeFile(path, bytes)) {
      error = "cannot read '" + path + "'";
      return false;
    }
    builder.AddSource(path);
    ReadVerdictJsonlText(bytes, station, path, builder);
    return true;
  }
  if (!ReadWholeFile(path, bytes)) {
    error = "cannot read '" + path + "'";
    return false;
  }
  read.insert(Identity(path));
  std::filesystem::path beside(path);
  beside.replace_extension(".jsonl");
  const std::string jsonl = beside.string();
  std::string records;
  std::multiset<std::string> covered;
  if (pairing && EndsWith(path, ".log") && FileIsReadable(jsonl) &&
      read.count(Identity(jsonl)) == 0 && ReadWholeFile(jsonl, records)) {
    read.insert(Identity(jsonl));
    builder.AddSource(path + " with " + jsonl);
    ReadVerdictJsonlText(records, station, jsonl, builder, &covered);
    ReadProductionLogText(bytes, station, path, builder, &covered);
    return true;
  }
  builder.AddSource(path);
  ReadProductionLogText(bytes, station, path, builder);
  return true;
}

}  // namespace kx20
