// kx20-station: the production station without a window. Runs the console
// logic over an in-memory view, on the host's disks, the built-in simulated
// farm or a farm file, and prints the slot rows as they change.
//
//   kx20-station [--sim | --sim=FARM | --drive L=DEV ...] [--workdir DIR]
//                [--batch [--code-flash]] [--trace-rows FILE]
//                [--line CONNINFO --station NAME [--lease N]]
//
// --batch waits for the first scan, starts one run (as the Space key would,
// or as the "empty" button with --code-flash), prints every row change, and
// when the run has ended the ten final rows and "N passed, M failed".
// Exit status: 0 every started disk passed, 1 some failed, 2 nothing could be
// started (or bad arguments).
// Without --batch: on a Linux terminal the full-screen console
// (terminal_console.h); elsewhere, or when input or output is not a terminal,
// a line-mode console: an empty line (or a line of spaces) starts a run, "e" a
// code-flash run, "q" quits.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/device_options.h"
#include "app/memory_console_view.h"
#include "app/shell.h"
#include "app/station.h"
#include "app/station_report.h"
#include "common/clock.h"
#include "common/version.h"
#if KX20_LINE_MODE
#include "line/line_station.h"
#endif
#if KX20_TERMINAL_CONSOLE
#include <unistd.h>

#include "app/terminal/terminal_console.h"
#endif

namespace kx20 {
namespace {

constexpr int kExitPassed = 0;
constexpr int kExitFailed = 1;
constexpr int kExitNothingStarted = 2;
constexpr int kExitUsage = 2;

struct ProgramOptions {
  DeviceOptions devices;
  std::string workDir = ".";
  std::string traceFile;
  bool batch = false;
  bool codeFlash = false;
  // Line mode: the line's database (empty: none), this station's name, and
  // how many serial numbers to lease at a time (0: one per disk).
  std::string line;
  std::string station;
  std::uint32_t lease = 0;
};

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: kx20-station %s [--workdir DIR] [--batch [--code-flash]] "
               "[--trace-rows FILE]\n"
               "  --sim           the built-in simulated farm (ten disks on E: to N:)\n"
               "  --sim=FARM      the simulated farm described by the file FARM\n"
               "  --drive L=DEV   real disks: drive letter L is the device DEV (repeatable)\n"
               "  --workdir DIR   where config.txt, produce.log and Pelorin.img are (default .)\n"
               "  --batch         run one production run and exit: 0 all passed, 1 some\n"
               "                  failed, 2 nothing could be started\n"
               "  --code-flash    with --batch: a code-flash run instead of production\n"
               "  --trace-rows F  append every row change to the file F\n",
               kDeviceOptionsUsage);
#if KX20_LINE_MODE
  std::fprintf(out,
               "line mode (several stations share one serial sequence and record):\n"
               "  --line CONNINFO the line's PostgreSQL database (a libpq connection string\n"
               "                  or URI): serial numbers come from it, verdicts go to it\n"
               "  --station NAME  this station's name in the line (needed with --line)\n"
               "  --lease N       take N serial numbers at a time into a local journal, so a\n"
               "                  short database outage does not stop the station\n");
#else
  std::fprintf(out, "this build has no line mode (--line): it was built without libpq\n");
#endif
}

bool ParseArguments(int argc, char** argv, ProgramOptions& options, std::string& error) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!ParseDeviceOptions(args, options.devices, error)) return false;
  if (!ParseStationFileOptions(args, options.workDir, options.traceFile, error)) return false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--batch") {
      options.batch = true;
    } else if (a == "--code-flash") {
      options.codeFlash = true;
    } else if ((a == "--line" || a == "--station" || a == "--lease") && i + 1 < args.size()) {
      const std::string& value = args[++i];
      if (a == "--line") {
        options.line = value;
      } else if (a == "--station") {
        options.station = value;
      } else {
        char* end = nullptr;
        const unsigned long n = std::strtoul(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || value[0] == '-' || n < 1 || n > 100000) {
          error = "--lease takes 1 to 100000 numbers, not '" + value + "'";
          return false;
        }
        options.lease = static_cast<std::uint32_t>(n);
      }
    } else {
      error = "unknown argument '" + a + "'";
      return false;
    }
  }
  if (options.codeFlash && !options.batch) {
    error = "--code-flash needs --batch (in the console, \"e\" starts a code-flash run)";
    return false;
  }
  if (options.workDir.empty()) options.workDir = ".";
#if KX20_LINE_MODE
  if (!options.line.empty() && options.station.empty()) {
    error = "--line needs --station NAME (who takes the serial numbers)";
    return false;
  }
  if (options.line.empty() && (!options.station.empty() || options.lease != 0)) {
    error = "--station and --lease need --line CONNINFO";
    return false;
  }
#else
  if (!options.line.empty() || !options.station.empty() || options.lease != 0) {
    error = "this build has no line mode (built without libpq)";
    return false;
  }
#endif
  return true;
}

// Prints the rows that changed since the last call (and appends them to the
// trace file), and any new message box.
class Reporter {
 public:
  Reporter(MemoryConsoleView& view, Clock& clock, const std::string& traceFile)
      : view_(view), clock_(clock), start_(clock.MonotonicMs()) {
    if (!traceFile.empty()) trace_.open(traceFile, std::ios::app);
  }

  bool TraceOpen() const { return trace_.is_open(); }

  void Report() {
    const std::uint64_t elapsed = clock_.MonotonicMs() - start_;
    for (const RowChangeTracker::Change& c : tracker_.Update(view_.Rows())) {
      const std::string line = FormatRowLine(elapsed, c.row, c.image, c.text);
      std::printf("%s\n", line.c_str());
      if (trace_.is_open()) trace_ << line << '\n' << std::flush;
    }
    const std::vector<std::string> boxes = view_.MessageBoxes();
    for (; shownBoxes_ < boxes.size(); ++shownBoxes_) {
      std::printf("message: %s\n", boxes[shownBoxes_].c_str());
    }
    std::fflush(stdout);
  }

  std::size_t MessageBoxCount() const { return shownBoxes_; }

 private:
  MemoryConsoleView& view_;
  Clock& clock_;
  std::uint64_t start_;
  RowChangeTracker tracker_;
  std::ofstream trace_;
  std::size_t shownBoxes_ = 0;
};

// SIGINT or SIGTERM received (batch and line modes): the console loop ends
// as closing the window does. Set by the handler, read by the console thread.
volatile std::sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int signal) { g_stopSignal = signal; }

// The longest the console loop waits before it looks at g_stopSignal again.
constexpr unsigned kSignalPollMs = 100;

// The console loop: ticks once a second, applies worker messages as they
// arrive. `step` runs after each tick with its result; returning false ends
// the loop. A stop signal ends it too.
template <typename TickStep, typename Idle>
void RunConsoleLoop(Station& station, Clock& clock, Reporter& reporter, TickStep step, Idle idle) {
  std::uint64_t nextTick = clock.MonotonicMs() + 1000;
  for (;;) {
    if (g_stopSignal != 0) return;
    const std::uint64_t now = clock.MonotonicMs();
    if (now >= nextTick) {
      // Every queued message first, each shown as its own row change.
      while (auto message = station.Queue().TryTake()) {
        station.ApplyStatus(*message);
        reporter.Report();
      }
      const bool ended = station.Tick();
      for (const std::string& notice : station.TakeNotices()) {
        std::fprintf(stderr, "kx20-station: %s\n", notice.c_str());
      }
      std::fflush(stderr);
      nextTick += 1000;
      if (nextTick <= now) nextTick = now + 1000;  // the loop fell behind
      reporter.Report();
      if (!step(ended)) return;
      continue;
    }
    const unsigned wait = static_cast<unsigned>(std::min<std::uint64_t>(nextTick - now, kSignalPollMs));
    if (auto message = station.Queue().WaitTake(wait)) {
      station.ApplyStatus(*message);
      reporter.Report();
    }
    if (!idle()) return;
  }
}

void PrintFinalRows(const Station& station) {
  const std::vector<RowModel>& rows = station.Model().rows;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::printf("%2d %d %s\n", static_cast<int>(i), rows[i].image, rows[i].text.c_str());
  }
}

int RunBatch(const ProgramOptions& options, Station& station, MemoryConsoleView& view,
             Clock& clock, Reporter& reporter) {
  if (!options.codeFlash && !std::filesystem::exists(station.ConfigPath())) {
    std::fprintf(stderr, "kx20-station: no settings file %s: nothing to produce\n",
                 station.ConfigPath().c_str());
    return kExitNothingStarted;
  }
  enum class Phase { kWaitScan, kRunning, kDone };
  Phase phase = Phase::kWaitScan;
  int exitStatus = kExitNothingStarted;

  RunConsoleLoop(
      station, clock, reporter,
      [&](bool ended) {
        if (phase == Phase::kWaitScan) {
          if (station.Model().RowCount() == 0) return true;  // no scan yet
          const std::size_t boxesBefore = view.MessageBoxes().size();
          if (options.codeFlash) {
            station.OnEmptyButton();
          } else {
            station.OnSpaceKeyDown(false);
          }
          reporter.Report();
          if (station.RunStarts().empty()) {
            if (view.MessageBoxes().size() > boxesBefore) {
              std::fprintf(stderr, "kx20-station: %s: nothing started\n",
                           view.MessageBoxes().back().c_str());
            } else {
              std::fprintf(stderr,
                           "kx20-station: no target disk answered the controller probe: "
                           "nothing started\n");
            }
            return false;
          }
          phase = Phase::kRunning;
          return true;
        }
        if (phase == Phase::kRunning && ended) {
          std::printf("final rows:\n");
          PrintFinalRows(station);
          const RunSummary summary =
              SummariseRun(station.RunStarts(), station.RowStatuses(), options.codeFlash);
          std::printf("%d passed, %d failed\n", summary.passed, summary.failed);
          std::fflush(stdout);
          exitStatus = summary.failed == 0 ? kExitPassed : kExitFailed;
          phase = Phase::kDone;
          return false;
        }
        return true;
      },
      [] { return true; });
  return exitStatus;
}

// Lines typed by the operator, read on a thread of their own.
class LineInput {
 public:
  explicit LineInput(StatusQueue& wake) : wake_(wake) {
    std::thread([this] {
      std::string line;
      while (std::getline(std::cin, line)) Push(line, false);
      Push("", true);
    }).detach();
  }

  // Takes the next line; `eof` is set once input has ended.
  bool Take(std::string& line, bool& eof) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lines_.empty()) return false;
    line = lines_.front().first;
    eof = lines_.front().second;
    lines_.pop_front();
    return true;
  }

 private:
  void Push(const std::string& line, bool eof) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.emplace_back(line, eof);
    }
    wake_.Wake();
  }

  StatusQueue& wake_;
  std::mutex mutex_;
  std::deque<std::pair<std::string, bool>> lines_;
};

int RunInteractive(Station& station, Clock& clock, Reporter& reporter) {
  std::printf("KX20 station. Enter (or Space, Enter) starts a run, e a code-flash run, "
              "q quits.\n");
  std::fflush(stdout);
  // The reader thread is never joined: the program ends with std::_Exit.
  auto* input = new LineInput(station.Queue());
  RunConsoleLoop(
      station, clock, reporter,
      [&](bool ended) {
        if (ended) {
          std::printf("run ended; unplug the disks to rescan\n");
          std::fflush(stdout);
        }
        return true;
      },
      [&] {
        std::string line;
        bool eof = false;
        while (input->Take(line, eof)) {
          if (eof || line == "q" || line == "Q") return false;
          if (line.find_first_not_of(" \t\r") == std::string::npos) {
            station.OnSpaceKeyDown(false);
          } else if (line == "e" || line == "E") {
            station.OnEmptyButton();
          } else {
            std::printf("commands: Enter starts a run, e a code-flash run, q quits\n");
          }
          reporter.Report();
        }
        return true;
      });
  return 0;
}

}  // namespace
}  // namespace kx20

int main(int argc, char** argv) {
  using namespace kx20;
  ProgramOptions options;
  std::string error;
  if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    PrintUsage(stdout);
    return 0;
  }
  if (argc > 1 && std::string(argv[1]) == "--version") {
    std::printf("kx20-station %s\n", kVersion);
    return 0;
  }
  if (!ParseArguments(argc, argv, options, error)) {
    std::fprintf(stderr, "kx20-station: %s\n", error.c_str());
    PrintUsage(stderr);
    return kExitUsage;
  }
  if (!std::filesystem::is_directory(options.workDir)) {
    std::fprintf(stderr, "kx20-station: work directory %s does not exist\n",
                 options.workDir.c_str());
    return kExitUsage;
  }

  // Everything below lives until the process ends: workers may still use the
  // port and the clock when the console quits.
  std::unique_ptr<Clock> clock = MakeSystemClock();
  std::unique_ptr<PassThroughPort> port = OpenDevicePort(options.devices, *clock, error);
  if (port == nullptr) {
    std::fprintf(stderr, "kx20-station: %s\n", error.c_str());
    return kExitUsage;
  }
  bool fullScreen = false;
#if KX20_TERMINAL_CONSOLE
  fullScreen =
      !options.batch && options.traceFile.empty() && isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
#endif
  StationOptions lineHooks;
#if KX20_LINE_MODE
  LineStation* line = nullptr;  // never destroyed: a worker may still use it
  if (!options.line.empty()) {
    LineOptions lineOptions;
    lineOptions.conninfo = options.line;
    lineOptions.station = options.station;
    lineOptions.workDir = options.workDir;
    lineOptions.lease = options.lease;
    if (!fullScreen) {
      // The full-screen console owns the terminal; there the refused disks'
      // notices say what the operator needs.
      lineOptions.notify = [](const std::string& text) {
        std::fprintf(stderr, "kx20-station: line: %s\n", text.c_str());
        std::fflush(stderr);
      };
    }
    line = LineStation::Open(std::move(lineOptions), error).release();
    if (line == nullptr) {
      std::fprintf(stderr, "kx20-station: %s\n", error.c_str());
      return kExitUsage;
    }
    lineHooks.serialSource = [line](const SerialRequest& request, std::uint32_t& number,
                                    std::string& reason) {
      return line->TakeSerial(request, number, reason);
    };
    lineHooks.verdictSink = [line](const VerdictEvent& event) { line->RecordVerdict(event); };
  }
  // Before the program ends: what waits in the outbox is sent if it can be
  // (bounded); what cannot stays in the outbox for the next start.
  const auto flushLine = [&line] {
    if (line == nullptr) return;
    if (const std::size_t left = line->Flush(5000); left > 0) {
      std::fprintf(stderr,
                   "kx20-station: line: %zu verdict(s) stay in the outbox; they are sent at "
                   "the next start\n",
                   left);
    }
  };
#else
  const auto flushLine = [] {};
#endif
#if KX20_TERMINAL_CONSOLE
  if (fullScreen) {
    StationOptions terminalOptions = lineHooks;
    terminalOptions.workDir = options.workDir;
    const int status = terminal::RunTerminalStation(*port, *clock, terminalOptions);
    flushLine();
    static_cast<void>(port.release());  // never destroyed: a worker may still hold it
    static_cast<void>(clock.release());
    std::_Exit(status);
  }
#endif
  auto* view = new MemoryConsoleView();
  auto* shell = new RecordingShell();
  StationOptions stationOptions = lineHooks;
  stationOptions.workDir = options.workDir;
  stationOptions.noticesOnScreen = false;  // on stderr instead, as they come
  auto* station = new Station(*port, *clock, *view, *shell, stationOptions);
  auto* reporter = new Reporter(*view, *clock, options.traceFile);
  if (!options.traceFile.empty() && !reporter->TraceOpen()) {
    std::fprintf(stderr, "kx20-station: cannot open %s for the row trace\n",
                 options.traceFile.c_str());
    return kExitUsage;
  }

  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  station->Initialise();
  int status = options.batch ? RunBatch(options, *station, *view, *clock, *reporter)
                             : RunInteractive(*station, *clock, *reporter);
  if (g_stopSignal != 0) {
    std::fprintf(stderr, "kx20-station: stopped by signal %d\n", static_cast<int>(g_stopSignal));
    status = 128 + static_cast<int>(g_stopSignal);
  }
  // Workers may still run (the operator quit during a run): cut them off the
  // console, wait until none is inside a serial-number step or a log record,
  // and end without joining them.
  station->Shutdown();
  flushLine();
  std::fflush(stdout);
  std::fflush(stderr);
  static_cast<void>(port.release());  // never destroyed: a worker may still hold it
  static_cast<void>(clock.release());
  std::_Exit(status);
}
