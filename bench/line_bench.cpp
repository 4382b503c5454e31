// The serial-number step's added time per disk in line mode, through each
// of the line's database links side by side: one number per disk (one
// transaction each) and a lease of 100 (one transaction and two journal
// writes per hundred numbers, one journal write per number). Needs a
// PostgreSQL server: bench/line_serial.sh starts one and gives its libpq and
// ODBC connection strings in KX20_BENCH_LINE_PQ and KX20_BENCH_LINE_ODBC;
// without it each case says so and measures nothing. LinkRoundTrip is the
// links' own share: one statement with a parameter, nothing written.
#include <benchmark/benchmark.h>

#if KX20_BENCH_LINE

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "line/line_link.h"
#include "line/line_station.h"

namespace kx20 {
namespace {

std::string Conninfo(bool odbc) {
  const char* conninfo = std::getenv(odbc ? "KX20_BENCH_LINE_ODBC" : "KX20_BENCH_LINE_PQ");
  return conninfo != nullptr ? conninfo : "";
}

void SerialStep(benchmark::State& state) {
  const bool odbc = state.range(0) != 0;
  const std::string conninfo = Conninfo(odbc);
  if (conninfo.empty()) {
    state.SkipWithError("no server: run bench/line_serial.sh");
    return;
  }
  const auto dir = std::filesystem::temp_directory_path() /
                   ("kx20-bench-line-" + std::to_string(state.range(0)) + "-" +
                    std::to_string(state.range(1)));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  LineOptions options;
  options.conninfo = conninfo;
  options.station = odbc ? "bench-odbc" : "bench-libpq";
  options.workDir = dir.string();
  options.lease = static_cast<std::uint32_t>(state.range(1));
  std::string error;
  std::unique_ptr<LineStation> line = LineStation::Open(options, error);
  if (!line) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::uint32_t number = 0;
  std::string reason;
  // Connected before the clock runs: a station keeps its connection.
  if (!line->TakeSerial({'E', 1}, number, reason)) {
    state.SkipWithError(reason.c_str());
    return;
  }
  for (auto _ : state) {
    if (!line->TakeSerial({'E', 1}, number, reason)) {
      state.SkipWithError(reason.c_str());
      break;
    }
    benchmark::DoNotOptimize(number);
  }
  line.reset();
  std::filesystem::remove_all(dir);
}
BENCHMARK(SerialStep)
    ->ArgNames({"odbc", "lease"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 100})
    ->Args({1, 100})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

void LinkRoundTrip(benchmark::State& state) {
  const std::string conninfo = Conninfo(state.range(0) != 0);
  if (conninfo.empty()) {
    state.SkipWithError("no server: run bench/line_serial.sh");
    return;
  }
  const std::unique_ptr<LineLink> link = OpenLineLink(conninfo, 3, 5000);
  std::string error;
  PgResult result;
  if (!link->Exec("SELECT 1", {}, nullptr, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  for (auto _ : state) {
    if (!link->Exec("SELECT $1::integer + 1", {"41"}, &result, error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(LinkRoundTrip)->ArgNames({"odbc"})->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace kx20

#endif  // KX20_BENCH_LINE
