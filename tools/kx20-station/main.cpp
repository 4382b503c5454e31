// kx20-station: the production station without a window. Runs the console
// logic over an in-memory view, on the host's disks, the built-in simulated
// farm or a farm file, and prints the slot rows as they change.
//
//   kx20-station [--sim | --sim=FARM | --drive L=DEV ...] [--workdir DIR]
//                [--batch [--code-flash]] [--trace-rows FILE]
//                [--events FILE|-] [--quiet]
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
// --events writes the event stream (JSON Lines, app/event_stream_view.h) to
// FILE, or with "-" to standard output (batch and line modes; the row lines
// and the summary then go to standard error). --quiet: no bell at the end of
// a run in the full-screen console.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/console_loops.h"
#include "app/device_options.h"
#include "app/event_stream_view.h"
#include "app/memory_console_view.h"
#include "app/shell.h"
#include "app/station.h"
#include "app/work_directory.h"
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

constexpr int kExitUsage = 2;

struct ProgramOptions {
  DeviceOptions devices;
  StationOutputOptions output;
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
               "[--trace-rows FILE] [--events FILE|-] [--quiet]\n"
               "  --sim           the built-in simulated farm (ten disks on E: to N:)\n"
               "  --sim=FARM      the simulated farm described by the file FARM\n"
               "  --drive L=DEV   real disks: drive letter L is the device DEV (repeatable)\n"
               "  --workdir DIR   where config.txt, produce.log and Pelorin.img are (default .)\n"
               "  --batch         run one production run and exit: 0 all passed, 1 some\n"
               "                  failed, 2 nothing could be started\n"
               "  --code-flash    with --batch: a code-flash run instead of production\n"
               "  --trace-rows F  append every row change to the file F\n"
               "  --events F      the event stream (one JSON object per line: every row\n"
               "                  change and every verdict) appended to the file F; \"-\":\n"
               "                  standard output (batch and line modes; the row lines\n"
               "                  then go to standard error)\n"
               "  --quiet         no bell at the end of a run\n",
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
  if (!ParseStationOutputOptions(args, options.output, error)) return false;
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

// SIGINT or SIGTERM received (batch and line modes): the console loop ends
// as closing the window does. Set by the handler, read by the console thread.
volatile std::sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int signal) { g_stopSignal = signal; }

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
  std::error_code ignored;
  if (!std::filesystem::is_directory(options.workDir, ignored)) {
    std::fprintf(stderr, "kx20-station: work directory %s does not exist\n",
                 options.workDir.c_str());
    return kExitUsage;
  }

  // Everything below lives until the process ends: workers may still use the
  // port and the clock when the console quits.
  const bool eventsOnStdout = options.output.eventsFile == "-";
  bool fullScreen = false;
#if KX20_TERMINAL_CONSOLE
  fullScreen = !options.batch && options.traceFile.empty() && !eventsOnStdout &&
               isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
#endif
  // One station per work directory, and the directory fit for the mode:
  // before anything in it is read or written. Kept until the process ends.
  std::string holder = std::string("kx20-station, ") +
                       (options.batch ? "batch" : fullScreen ? "terminal console" : "line-by-line console");
  if (!options.line.empty()) holder += ", line station " + options.station;
  if (OpenWorkDirectory(options.workDir, !options.line.empty(), holder, error).release() ==
      nullptr) {
    std::fprintf(stderr, "kx20-station: %s\n", error.c_str());
    return kExitUsage;
  }
  std::unique_ptr<Clock> clock = MakeSystemClock();
  std::unique_ptr<PassThroughPort> port = OpenDevicePort(options.devices, *clock, error);
  if (port == nullptr) {
    std::fprintf(stderr, "kx20-station: %s\n", error.c_str());
    return kExitUsage;
  }
  // A reader of the event stream or the row lines that goes away (a closed
  // pipe) must not end the station in the middle of a run: writes then fail
  // instead, and production goes on.
  std::signal(SIGPIPE, SIG_IGN);
  // The event stream, told every change of the model like the screen. On
  // standard output it takes that from the operator's lines (and from the
  // full-screen console).
  EventStreamView* events = nullptr;  // never destroyed: the program ends with _Exit
  if (!options.output.eventsFile.empty()) {
    events = EventStreamView::Open(options.output.eventsFile, *clock, error).release();
    if (events == nullptr) {
      std::fprintf(stderr, "kx20-station: %s\n", error.c_str());
      return kExitUsage;
    }
  }
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
    // (returns what RecordVerdict returns: whether the line's outbox took it)
    lineHooks.verdictSink = [line](const VerdictEvent& event) { return line->RecordVerdict(event); };
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
    terminal::TerminalConsoleOptions console;
    console.quiet = options.output.quiet;
    console.moreView = events;
    const int status = terminal::RunTerminalStation(*port, *clock, terminalOptions, console);
    flushLine();
    if (events != nullptr && !events->Healthy()) {
      std::fprintf(stderr, "kx20-station: the event stream lost lines: %s could not be written\n",
                   options.output.eventsFile.c_str());
    }
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
  if (events != nullptr) station->AddView(*events);
  std::FILE* lines = eventsOnStdout ? stderr : stdout;
  auto* reporter = new RowReporter(*view, *clock, options.traceFile, lines);
  if (!options.traceFile.empty() && !reporter->TraceOpen()) {
    std::fprintf(stderr, "kx20-station: cannot open %s for the row trace\n",
                 options.traceFile.c_str());
    return kExitUsage;
  }

  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  std::signal(SIGHUP, OnStopSignal);  // the terminal went away
  station->Initialise();
  const ConsoleLoopContext loop{*station, *view, *clock, *reporter, g_stopSignal, lines};
  int status = options.batch ? RunBatchConsole(loop, options.codeFlash) : RunLineConsole(loop);
  if (g_stopSignal != 0) {
    std::fprintf(stderr, "kx20-station: stopped by signal %d\n", static_cast<int>(g_stopSignal));
    status = 128 + static_cast<int>(g_stopSignal);
  }
  // Workers may still run (a signal, or the operator quit during a run): cut
  // them off the console, wait until none is inside a serial-number step or
  // a log record, record every disk cut off without its verdict, and end
  // without joining them.
  if (station->RunningWorkerCount() > 0) {
    std::fprintf(stderr,
                 "kx20-station: closing during a run: recording the disks cut off (one second "
                 "each)...\n");
    std::fflush(stderr);
  }
  const int cutOff = station->Shutdown();
  for (const std::string& notice : station->TakeNotices()) {
    std::fprintf(stderr, "kx20-station: %s\n", notice.c_str());
  }
  if (cutOff > 0) {
    std::fprintf(stderr, "kx20-station: %d disk(s) cut off during the run, recorded as FAIL\n",
                 cutOff);
  }
  flushLine();
  if (events != nullptr && !events->Healthy()) {
    std::fprintf(stderr, "kx20-station: the event stream lost lines: %s could not be written\n",
                 options.output.eventsFile.c_str());
  }
  std::fflush(stdout);
  std::fflush(stderr);
  static_cast<void>(port.release());  // never destroyed: a worker may still hold it
  static_cast<void>(clock.release());
  std::_Exit(status);
}
