// A production batch of ten healthy simulated disks on the real clock,
// against the floor that the sequence's own pauses set: workers start 100 ms
// apart, each pauses 2000 ms after the post-configuration commands and
// 4 x 1000 ms in the image verify, and the log records (1000 ms each) are
// written one at a time.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "app/memory_console_view.h"
#include "config/card_registers.h"
#include "config/settings.h"
#include "production/production_worker.h"
#include "sim/farm.h"
#include "sim/farm_file.h"

namespace kx20 {
namespace {

namespace fs = std::filesystem;

constexpr double kFloorMs = 9 * 100      // the tenth worker starts 900 ms after the first
                            + 2000       // post-configuration pause
                            + 4 * 1000   // image verify pauses
                            + 1000;      // its own log record
// Records are serialised: the first worker's record starts at 6000 ms, and
// ten records take 10 x 1000 ms, so the batch cannot end before 16,000 ms.
constexpr double kSerialisedLogFloorMs = 2000 + 4 * 1000 + 10 * 1000;

void BM_TenDiskBatchRealClock(benchmark::State& state) {
  const fs::path dir = fs::temp_directory_path() / "kx20-bench-batch";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string config = (dir / "config.txt").string();
  fs::copy_file(fs::path(KX20_SOURCE_DIR) / "examples" / "config.txt", config);

  auto clock = MakeSystemClock();
  for (auto _ : state) {
    std::string error;
    auto farm = SimFarm::Create(DefaultFarmLayout(), *clock, &error);
    MemoryConsoleView view;
    ConfigTable table{};
    ResetConfigTableHeader(table);
    SettingsStore store;
    LoadSettings(config, view, table, store);
    DiskImageStore images(*clock);
    ProductionLogWriter log(*clock, (dir / "produce.log").string());
    StatusQueue queue;
    std::atomic<int> rescan{1};
    ProductionEnvironment env;
    env.port = farm.get();
    env.clock = clock.get();
    env.poster = &queue;
    env.settings = &store;
    env.images = &images;
    env.log = &log;
    env.rescanPending = &rescan;
    env.advanceSerialNumber = [&](const SerialRequest&) {
      SerialStepContext c;
      c.changeSerialNumber = 1;
      c.configPath = config;
      c.view = &view;
      c.table = &table;
      c.store = &store;
      return AdvanceSerialNumber(c);
    };
    RunLocks locks;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int row = 0; row < 10; ++row) {
      workers.emplace_back(
          [&, row] { RunProductionWorker(env, locks, MakeStartValue(static_cast<char>('E' + row), row)); });
      clock->SleepMs(100);
    }
    for (auto& w : workers) w.join();
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const double floor = std::max(kFloorMs, kSerialisedLogFloorMs);
    state.counters["wall_ms"] = ms;
    state.counters["floor_ms"] = floor;
    state.counters["over_floor_pct"] = 100.0 * (ms - floor) / floor;
  }
  fs::remove_all(dir);
}
BENCHMARK(BM_TenDiskBatchRealClock)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kx20
