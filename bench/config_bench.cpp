// Cost of writing one production-log record into an empty log and into a log
// of 100,000 records: the append must not depend on the log's size.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "common/clock.h"
#include "storage/profile_file.h"
#include "production/production_log.h"

namespace kx20 {
namespace {

// A clock whose pause does not pause: only the file work is measured.
class NoPauseClock final : public Clock {
 public:
  void SleepMs(std::uint32_t) override {}
  CalendarTime UtcNow() override { return Now(); }
  CalendarTime LocalNow() override { return Now(); }
  std::uint64_t MonotonicMs() override { return ++ticks_; }

 private:
  CalendarTime Now() {
    CalendarTime t;
    t.year = 2026;
    t.month = 12;
    t.day = 8;
    const std::uint64_t s = ticks_++;
    t.hour = static_cast<int>(s / 3600 % 24);
    t.minute = static_cast<int>(s / 60 % 60);
    t.second = static_cast<int>(s % 60);
    return t;
  }
  std::uint64_t ticks_ = 0;
};

std::string PrepareLog(std::size_t records) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("kx20-bench-" + std::to_string(records) + ".log");
  std::filesystem::remove(path);
  std::string text;
  for (std::size_t i = 0; i < records; ++i) {
    CalendarTime t;
    t.year = 2025;
    t.month = 1 + static_cast<int>(i / 86400 % 12);
    t.day = 1;
    t.hour = static_cast<int>(i / 3600 % 24);
    t.minute = static_cast<int>(i / 60 % 60);
    t.second = static_cast<int>(i % 60);
    text += FormatLogRecord(t, MakePassRecord(static_cast<std::uint32_t>(i), 262143));
  }
  AppendToFile(path.string(), text, Durability::kRelaxed);
  return path.string();
}

void WriteOneRecord(benchmark::State& state) {
  const std::size_t records = static_cast<std::size_t>(state.range(0));
  const Durability durability = state.range(1) ? Durability::kDurable : Durability::kRelaxed;
  const std::string path = PrepareLog(records);
  NoPauseClock clock;
  ProductionLogWriter log(clock, path, durability);
  for (auto _ : state) {
    log.WriteRecord(MakePassRecord(12345678, 262143));
  }
  state.counters["log_bytes"] = static_cast<double>(std::filesystem::file_size(path));
  std::filesystem::remove(path);
}
BENCHMARK(WriteOneRecord)
    ->ArgNames({"records", "durable"})
    ->Args({0, 0})
    ->Args({100000, 0})
    ->Args({0, 1})
    ->Args({100000, 1})
    ->Unit(benchmark::kMicrosecond);

// For contrast: one settings write rewrites the whole (small) file.
void WriteSettingsValue(benchmark::State& state) {
  const auto path = (std::filesystem::temp_directory_path() / "kx20-bench-config.txt").string();
  std::filesystem::remove(path);
  unsigned n = 0;
  for (auto _ : state) {
    WriteProfileValue(path, "CID", "Product_SN", std::to_string(++n),
                      state.range(0) ? Durability::kDurable : Durability::kRelaxed);
  }
  std::filesystem::remove(path);
}
BENCHMARK(WriteSettingsValue)->ArgName("durable")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kx20
