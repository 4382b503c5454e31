// Clock seam: every pause and every time stamp the station takes goes through
// this interface, so tests can run a whole production batch on virtual time.
#pragma once

#include <cstdint>
#include <memory>

namespace kx20 {

// A calendar time as the station shows and stores it (no time zone attached).
struct CalendarTime {
  int year = 0;         // e.g. 2026
  int month = 0;        // 1-12
  int day = 0;          // 1-31
  int dayOfWeek = 0;    // 0 = Sunday
  int hour = 0;         // 0-23
  int minute = 0;       // 0-59
  int second = 0;       // 0-59
  int millisecond = 0;  // 0-999
  bool operator==(const CalendarTime&) const = default;
};

class Clock {
 public:
  virtual ~Clock() = default;

  // Blocks the calling thread for `ms` milliseconds. Any thread may call it.
  virtual void SleepMs(std::uint32_t ms) = 0;

  // Current time in UTC. Any thread.
  virtual CalendarTime UtcNow() = 0;

  // Current local time. Any thread.
  virtual CalendarTime LocalNow() = 0;

  // Milliseconds since an arbitrary fixed origin, never going backwards.
  // Used for elapsed times and time stamps in traces. Any thread.
  virtual std::uint64_t MonotonicMs() = 0;

  // The same origin in microseconds, for timing short transfers. A clock
  // that has nothing finer counts whole milliseconds. Any thread.
  virtual std::uint64_t MonotonicUs() { return MonotonicMs() * 1000; }
};

// The real clock of the host.
std::unique_ptr<Clock> MakeSystemClock();

// Days since 1970-01-01 of a proleptic Gregorian date, and back (Howard
// Hinnant's civil-date algorithms).
std::int64_t DaysFromCivil(int year, int month, int day);
void CivilFromDays(std::int64_t days, int& year, int& month, int& day);

}  // namespace kx20
