// Times for the report: instants as seconds since 1970 UTC (a double, so a
// database's microseconds and a record's milliseconds both fit), the
// window's bounds as the user writes them, and the local calendar time the
// tables group by.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/clock.h"

namespace kx20 {

// DaysFromCivil and CivilFromDays (common/clock.h) count the days.

// "YYYY-MM-DDTHH:MM:SS.mmmZ" (the record's form; the fraction may have 1 to
// 9 digits or be left out) as seconds since 1970 UTC. Nothing when it is not
// one, or a field is out of range.
std::optional<double> ParseRecordTimestamp(std::string_view text);

// A bound of the report's window, in UTC: "YYYY-MM-DD", "YYYY-MM-DDTHH:MM"
// or "YYYY-MM-DDTHH:MM:SS" (a space for the T and a trailing Z allowed).
std::optional<double> ParseWindowTime(std::string_view text);

// "24h", "90m", "7d" (a whole number and a unit) as seconds.
std::optional<double> ParseDuration(std::string_view text);

// "2026-12-08 06:00:00 UTC".
std::string FormatUtc(double epochSeconds);

// The local calendar time of an instant on this computer, and the instant
// of a local calendar time (as this computer's zone has it).
struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
LocalTime ToLocalTime(double epochSeconds);
double FromLocalTime(const LocalTime& local);

}  // namespace kx20
