// What the event stream and the live rates cost a production batch: ten
// healthy simulated disks through a whole Station, driven the way the batch
// console drives it (statuses applied as they arrive, the timer ticking),
// once with neither and once with both (the event stream to a file, every
// disk's rate and time left measured), alternately, many times. The
// figures: each way's median time and the difference in percent.
//
// On the virtual clock the batch is bound by the processor (the sequence's
// own pauses take no time), so the difference is the whole console-side
// cost; on the real clock (one pair) the pauses of the sequence dominate.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "app/event_stream_view.h"
#include "app/memory_console_view.h"
#include "app/shell.h"
#include "app/station.h"
#include "common/virtual_clock.h"
#include "sim/farm.h"
#include "sim/farm_file.h"

namespace kx20 {
namespace {

namespace fs = std::filesystem;

struct BatchResult {
  double ms = 0;
  int passed = 0;
  long events = 0;
};

BatchResult RunBatch(Clock& clock, bool eventsAndRates, const fs::path& dir) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  fs::copy_file(fs::path(KX20_SOURCE_DIR) / "examples" / "config.txt", dir / "config.txt");
  std::string error;
  auto farm = SimFarm::Create(DefaultFarmLayout(), clock, &error);
  MemoryConsoleView view;
  RecordingShell shell;
  StationOptions options;
  options.workDir = dir.string();
  options.noticesOnScreen = false;
  options.liveRates = eventsAndRates;
  std::unique_ptr<EventStreamView> events;
  const fs::path eventsFile = dir / "events.jsonl";
  BatchResult result;
  const auto start = std::chrono::steady_clock::now();
  {
    Station station(*farm, clock, view, shell, options);
    if (eventsAndRates) {
      events = EventStreamView::Open(eventsFile.string(), clock, error);
      station.AddView(*events);
    }
    station.Initialise();
    station.Tick();  // the first scan
    station.OnSpaceKeyDown(false);
    for (bool ended = false; !ended;) {
      if (auto message = station.Queue().WaitTake(1)) station.ApplyStatus(*message);
      station.DrainStatus();
      ended = station.Tick();
    }
    result.passed = station.Model().run.passed;
  }
  result.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  events.reset();
  if (eventsAndRates) {
    std::ifstream in(eventsFile);
    result.events = std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n');
  }
  return result;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void Compare(benchmark::State& state, Clock& clock, int pairs) {
  const fs::path dir = fs::temp_directory_path() / "kx20-bench-events";
  for (auto _ : state) {
    std::vector<double> plain;
    std::vector<double> with;
    long events = 0;
    int passed = 0;
    for (int i = 0; i < pairs; ++i) {
      // Alternating, so drift in the machine's load touches both alike.
      const BatchResult a = RunBatch(clock, i % 2 == 0 ? false : true, dir);
      const BatchResult b = RunBatch(clock, i % 2 == 0 ? true : false, dir);
      const BatchResult& off = i % 2 == 0 ? a : b;
      const BatchResult& on = i % 2 == 0 ? b : a;
      plain.push_back(off.ms);
      with.push_back(on.ms);
      events = on.events;
      passed = std::min(off.passed, on.passed);
    }
    const double p = Median(plain);
    const double w = Median(with);
    state.counters["plain_ms"] = p;
    state.counters["events_rates_ms"] = w;
    state.counters["overhead_pct"] = 100.0 * (w - p) / p;
    state.counters["events_per_batch"] = static_cast<double>(events);
    state.counters["passed"] = passed;
  }
  fs::remove_all(dir);
}

void BM_EventsAndRatesVirtualClock(benchmark::State& state) {
  VirtualClock clock;
  Compare(state, clock, 15);
}
BENCHMARK(BM_EventsAndRatesVirtualClock)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EventsAndRatesRealClock(benchmark::State& state) {
  auto clock = MakeSystemClock();
  Compare(state, *clock, 1);
}
BENCHMARK(BM_EventsAndRatesRealClock)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kx20
