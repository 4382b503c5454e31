#include "common/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

#include "common/virtual_clock.h"

namespace kx20 {
namespace {

class SystemClock final : public Clock {
 public:
  void SleepMs(std::uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

  CalendarTime UtcNow() override {
    const auto now = std::chrono::system_clock::now();
    return EpochMsToCalendar(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count());
  }

  CalendarTime LocalNow() override {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &secs);
#else
    localtime_r(&secs, &tm);
#endif
    CalendarTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.dayOfWeek = tm.tm_wday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec;
    t.millisecond = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    return t;
  }

  std::uint64_t MonotonicMs() override {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
  }

  std::uint64_t MonotonicUs() override {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
  }
};

}  // namespace

std::unique_ptr<Clock> MakeSystemClock() { return std::make_unique<SystemClock>(); }

std::int64_t DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<unsigned>(d) - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2));
}

std::int64_t CalendarToEpochMs(const CalendarTime& t) {
  const std::int64_t days =
      DaysFromCivil(t.year, t.month, t.day);
  return ((days * 24 + t.hour) * 60 + t.minute) * 60000 + t.second * 1000LL + t.millisecond;
}

CalendarTime EpochMsToCalendar(std::int64_t ms) {
  std::int64_t days = ms >= 0 ? ms / 86400000 : -((-ms + 86399999) / 86400000);
  std::int64_t rem = ms - days * 86400000;
  CalendarTime t;
  t.millisecond = static_cast<int>(rem % 1000);
  rem /= 1000;
  t.second = static_cast<int>(rem % 60);
  rem /= 60;
  t.minute = static_cast<int>(rem % 60);
  t.hour = static_cast<int>(rem / 60);
  t.dayOfWeek = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  CivilFromDays(days, t.year, t.month, t.day);
  return t;
}

VirtualClock::VirtualClock(const CalendarTime& utcStart, int localOffsetMinutes)
    : startMs_(CalendarToEpochMs(utcStart)), localOffsetMinutes_(localOffsetMinutes) {}

CalendarTime VirtualClock::DefaultStart() {
  CalendarTime t;
  t.year = 2026;
  t.month = 12;
  t.day = 8;
  t.hour = 8;
  return t;
}

void VirtualClock::SleepMs(std::uint32_t ms) { Advance(ms); }

void VirtualClock::Advance(std::uint64_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  elapsedMs_ += ms;
}

std::uint64_t VirtualClock::Elapsed() {
  std::lock_guard<std::mutex> lock(mutex_);
  return elapsedMs_;
}

CalendarTime VirtualClock::UtcNow() {
  std::lock_guard<std::mutex> lock(mutex_);
  return EpochMsToCalendar(startMs_ + static_cast<std::int64_t>(elapsedMs_));
}

CalendarTime VirtualClock::LocalNow() {
  std::lock_guard<std::mutex> lock(mutex_);
  return EpochMsToCalendar(startMs_ + static_cast<std::int64_t>(elapsedMs_) +
                           localOffsetMinutes_ * 60000LL);
}

std::uint64_t VirtualClock::MonotonicMs() { return Elapsed(); }

}  // namespace kx20
