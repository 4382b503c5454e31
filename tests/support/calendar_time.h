// Calendar times for tests, written as they read: At(2026, 12, 8, 17, 41, 0).
#pragma once

#include "common/clock.h"

namespace kx20::testing {

inline CalendarTime At(int year, int month, int day, int hour, int minute, int second) {
  CalendarTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  return t;
}

}  // namespace kx20::testing
