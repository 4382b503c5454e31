// A clock for tests and simulations: sleeping advances time at once.
#pragma once

#include <mutex>

#include "common/clock.h"

namespace kx20 {

class VirtualClock final : public Clock {
 public:
  // Starts at the given UTC time; local time is UTC plus `localOffsetMinutes`.
  explicit VirtualClock(const CalendarTime& utcStart = DefaultStart(), int localOffsetMinutes = 0);

  void SleepMs(std::uint32_t ms) override;
  CalendarTime UtcNow() override;
  CalendarTime LocalNow() override;
  std::uint64_t MonotonicMs() override;

  // Moves time forward without a sleeper.
  void Advance(std::uint64_t ms);
  // Total milliseconds slept or advanced since construction.
  std::uint64_t Elapsed();

  static CalendarTime DefaultStart();

 private:
  std::mutex mutex_;
  std::int64_t startMs_;  // milliseconds since 1970-01-01 UTC
  std::uint64_t elapsedMs_ = 0;
  int localOffsetMinutes_;
};

// Calendar conversion helpers (proleptic Gregorian, UTC), shared by the clocks.
std::int64_t CalendarToEpochMs(const CalendarTime& t);
CalendarTime EpochMsToCalendar(std::int64_t ms);

}  // namespace kx20
