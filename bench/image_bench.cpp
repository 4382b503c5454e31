// How long the FAT formatter and a whole image build take.
#include <benchmark/benchmark.h>

#include <memory>

#include "common/virtual_clock.h"
#include "image/disk_image.h"
#include "image/fat_formatter.h"

namespace kx20 {
namespace {

// Clearing the RamDisk and formatting it, as each image build does.
void BM_FormatRamDisk(benchmark::State& state) {
  VirtualClock clock;
  auto context = std::make_unique<FormatContext>();
  const auto lastLba = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    context->ramDisk.Clear();
    context->lastLba = lastLba;
    auto root = FormatRamDisk(*context, kImageSectorsPerTrack, clock);
    benchmark::DoNotOptimize(root);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FormatRamDisk)->Arg(8'191)->Arg(65'535)->Arg(4'194'303)->Unit(benchmark::kMicrosecond);

// A full build: format, copy into a new snapshot and publish it.
void BM_BuildDiskImage(benchmark::State& state) {
  VirtualClock clock;
  DiskImageStore store(clock);
  std::uint32_t lastLba = 65'535;
  for (auto _ : state) {
    lastLba = lastLba == 65'535 ? 4'194'303 : 65'535;  // a new capacity every time
    benchmark::DoNotOptimize(store.BuildDiskImage(lastLba));
  }
}
BENCHMARK(BM_BuildDiskImage)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kx20
