#include <gtest/gtest.h>

#include "common/virtual_clock.h"

namespace kx20 {
namespace {

struct CalendarCase {
  std::int64_t epochMs;
  int year, month, day, dayOfWeek, hour, minute, second, ms;
};

TEST(CalendarConversion, KnownDatesRoundTrip) {
  const CalendarCase cases[] = {
      {0, 1970, 1, 1, 4, 0, 0, 0, 0},
      {951782400000, 2000, 2, 29, 2, 0, 0, 0, 0},       // leap day
      {1798761599999, 2026, 12, 31, 4, 23, 59, 59, 999},
      {-1, 1969, 12, 31, 3, 23, 59, 59, 999},
      {4107542400000, 2100, 3, 1, 1, 0, 0, 0, 0},      // 2100 is no leap year
  };
  for (const auto& c : cases) {
    const CalendarTime t = EpochMsToCalendar(c.epochMs);
    EXPECT_EQ(t.year, c.year) << c.epochMs;
    EXPECT_EQ(t.month, c.month) << c.epochMs;
    EXPECT_EQ(t.day, c.day) << c.epochMs;
    EXPECT_EQ(t.dayOfWeek, c.dayOfWeek) << c.epochMs;
    EXPECT_EQ(t.hour, c.hour) << c.epochMs;
    EXPECT_EQ(t.minute, c.minute) << c.epochMs;
    EXPECT_EQ(t.second, c.second) << c.epochMs;
    EXPECT_EQ(t.millisecond, c.ms) << c.epochMs;
    EXPECT_EQ(CalendarToEpochMs(t), c.epochMs);
  }
}

TEST(VirtualClock, SleepAdvancesAtOnceAndLocalTimeIsOffset) {
  CalendarTime start;
  start.year = 2026;
  start.month = 12;
  start.day = 31;
  start.hour = 23;
  start.minute = 59;
  start.second = 59;
  VirtualClock clock(start, 60);
  clock.SleepMs(1500);
  EXPECT_EQ(clock.Elapsed(), 1500u);
  const CalendarTime utc = clock.UtcNow();
  EXPECT_EQ(utc.year, 2027);
  EXPECT_EQ(utc.second, 0);
  EXPECT_EQ(utc.millisecond, 500);
  const CalendarTime local = clock.LocalNow();
  EXPECT_EQ(local.hour, 1);
  EXPECT_EQ(local.day, 1);
}

}  // namespace
}  // namespace kx20
