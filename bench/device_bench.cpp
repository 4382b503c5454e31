// Device-path costs on the simulated farm: one discovery pass; 64 KB READ(10)/WRITE(10) through a
// DeviceSession, a command without data, and a 64 KB memcpy as the yardstick
// for the data copy the simulated disk itself makes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "app/memory_console_view.h"
#include "app/slot_table.h"
#include "common/virtual_clock.h"
#include "device/device_session.h"
#include "sim/farm.h"

namespace kx20 {
namespace {

struct Rig {
  VirtualClock clock;
  std::unique_ptr<SimFarm> farm = SimFarm::Create(DefaultFarmLayout(), clock, nullptr);
  DeviceSession session{*farm};
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(65536, 0x5A);
  Rig() {
    session.Open('E');
    session.WriteSectors(buffer.data(), 0, 128, nullptr);  // chunk 0 is stored: reads copy real data
  }
};

// One full discovery pass over the default farm: C: to N:, an INQUIRY per
// letter, a probe per target disk, the table and the ten rows rebuilt.
void BM_ScanDefaultFarm(benchmark::State& state) {
  VirtualClock clock;
  auto farm = SimFarm::Create(DefaultFarmLayout(), clock, nullptr);
  SlotTable table;
  DiscoveryFlags flags;
  MemoryConsoleView view;
  SlotDiscovery discovery(*farm, table, flags, view);
  for (auto _ : state) {
    benchmark::DoNotOptimize(discovery.ScanDevices());
  }
}
BENCHMARK(BM_ScanDefaultFarm);

void BM_Read64K(benchmark::State& state) {
  Rig rig;
  for (auto _ : state) {
    const DeviceStatus s = rig.session.ReadSectors(rig.buffer.data(), 0, 128, nullptr);
    benchmark::DoNotOptimize(s);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 65536);
}
BENCHMARK(BM_Read64K);

void BM_Write64K(benchmark::State& state) {
  Rig rig;
  for (auto _ : state) {
    const DeviceStatus s = rig.session.WriteSectors(rig.buffer.data(), 0, 128, nullptr);
    benchmark::DoNotOptimize(s);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 65536);
}
BENCHMARK(BM_Write64K);

// A vendor command without data: request building, port, controller, result rule.
void BM_NoDataCommand(benchmark::State& state) {
  Rig rig;
  for (auto _ : state) {
    const DeviceStatus s = rig.session.ProbeControllerStatus();
    benchmark::DoNotOptimize(s);
  }
}
BENCHMARK(BM_NoDataCommand);

void BM_Memcpy64K(benchmark::State& state) {
  std::vector<std::uint8_t> from(65536, 0x5A), to(65536);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), 65536);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 65536);
}
BENCHMARK(BM_Memcpy64K);

}  // namespace
}  // namespace kx20
