#include "report/report_time.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace kx20 {
namespace {

bool Digits(std::string_view s, std::size_t pos, std::size_t count, int& value) {
  if (pos + count > s.size()) return false;
  value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + (s[i] - '0');
  }
  return true;
}

int DaysIn(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

bool ValidDateTime(int y, int mo, int d, int h, int mi, int s) {
  return y >= 1970 && y <= 9999 && mo >= 1 && mo <= 12 && d >= 1 && d <= DaysIn(y, mo) &&
         h >= 0 && h <= 23 && mi >= 0 && mi <= 59 && s >= 0 && s <= 60;
}

double Epoch(int y, int mo, int d, int h, int mi, int s) {
  return static_cast<double>(DaysFromCivil(y, mo, d)) * 86400.0 + h * 3600.0 + mi * 60.0 + s;
}

// "YYYY-MM-DD" at the start of `s`.
bool TakeDate(std::string_view s, int& y, int& mo, int& d) {
  return s.size() >= 10 && Digits(s, 0, 4, y) && s[4] == '-' && Digits(s, 5, 2, mo) &&
         s[7] == '-' && Digits(s, 8, 2, d);
}

}  // namespace

std::optional<double> ParseRecordTimestamp(std::string_view s) {
  int y, mo, d, h, mi, se;
  if (!TakeDate(s, y, mo, d) || s.size() < 20 || s[10] != 'T' || !Digits(s, 11, 2, h) ||
      s[13] != ':' || !Digits(s, 14, 2, mi) || s[16] != ':' || !Digits(s, 17, 2, se)) {
    return std::nullopt;
  }
  std::size_t pos = 19;
  double fraction = 0;
  if (s[pos] == '.') {
    ++pos;
    double scale = 0.1;
    const std::size_t start = pos;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9' && pos - start < 9) {
      fraction += (s[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == start) return std::nullopt;
  }
  if (pos + 1 != s.size() || s[pos] != 'Z' || !ValidDateTime(y, mo, d, h, mi, se)) {
    return std::nullopt;
  }
  return Epoch(y, mo, d, h, mi, se) + fraction;
}

std::optional<double> ParseWindowTime(std::string_view s) {
  if (!s.empty() && (s.back() == 'Z' || s.back() == 'z')) s.remove_suffix(1);
  int y, mo, d, h = 0, mi = 0, se = 0;
  if (!TakeDate(s, y, mo, d)) return std::nullopt;
  if (s.size() != 10) {
    if ((s[10] != 'T' && s[10] != ' ' && s[10] != 't') || !Digits(s, 11, 2, h) ||
        s.size() < 16 || s[13] != ':' || !Digits(s, 14, 2, mi)) {
      return std::nullopt;
    }
    if (s.size() != 16 && (s.size() != 19 || s[16] != ':' || !Digits(s, 17, 2, se))) {
      return std::nullopt;
    }
  }
  if (!ValidDateTime(y, mo, d, h, mi, se) || se == 60) return std::nullopt;
  return Epoch(y, mo, d, h, mi, se);
}

std::optional<double> ParseDuration(std::string_view s) {
  if (s.size() < 2 || s.size() > 8) return std::nullopt;
  double unit = 0;
  switch (s.back()) {
    case 'm': unit = 60; break;
    case 'h': unit = 3600; break;
    case 'd': unit = 86400; break;
    default: return std::nullopt;
  }
  double n = 0;
  for (std::size_t i = 0; i + 1 < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return std::nullopt;
    n = n * 10 + (s[i] - '0');
  }
  if (n <= 0) return std::nullopt;
  return n * unit;
}

std::string FormatUtc(double t) {
  const double whole = std::floor(t);
  std::int64_t days = static_cast<std::int64_t>(std::floor(whole / 86400.0));
  const std::int64_t secs = static_cast<std::int64_t>(whole) - days * 86400;
  int y, mo, d;
  CivilFromDays(days, y, mo, d);
  char out[48];
  std::snprintf(out, sizeof out, "%04d-%02d-%02d %02d:%02d:%02d UTC", y, mo, d,
                static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                static_cast<int>(secs % 60));
  return out;
}

LocalTime ToLocalTime(double epochSeconds) {
  const std::time_t secs = static_cast<std::time_t>(std::floor(epochSeconds));
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &secs);
#else
  localtime_r(&secs, &tm);
#endif
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

double FromLocalTime(const LocalTime& l) {
  std::tm tm{};
  tm.tm_year = l.year - 1900;
  tm.tm_mon = l.month - 1;
  tm.tm_mday = l.day;
  tm.tm_hour = l.hour;
  tm.tm_min = l.minute;
  tm.tm_sec = l.second;
  tm.tm_isdst = -1;  // as the zone has it on that day
  return static_cast<double>(std::mktime(&tm));
}

}  // namespace kx20
