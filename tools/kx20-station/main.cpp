// kx20-station: the production station without a window. Runs the console
// logic over an in-memory view, on the host's disks, the built-in simulated
// farm or a farm file, and prints the slot rows as they change. On Windows
// it is kx20-console.exe, the console companion of the window program.
//
//   kx20-station [--sim | --sim=FARM | --drive L=DEV ...] [--workdir DIR]
//                [--batch [--code-flash]] [--trace-rows FILE]
//                [--events FILE|-] [--quiet] [--lot TEXT] [--operator TEXT]
//                [--line CONNINFO --station NAME [--lease N]]
//
// --batch waits for the first scan, starts one run (as the Space key would,
// or as the "empty" button with --code-flash), prints every row change, and
// when the run has ended the ten final rows and "N passed, M failed".
// Exit status: 0 every started disk passed, 1 some failed, 2 nothing could be
// started (or bad arguments), 128 + the signal when stopped by one (on
// Windows: Ctrl+C 130, Ctrl+Break 149, the console closed or the session
// ending 129, as a Linux terminal hangs up).
// Without --batch: on a Linux terminal the full-screen console
// (terminal_console.h); elsewhere, or when input or output is not a terminal,
// a line-mode console: an empty line (or a line of spaces) starts a run, "e" a
// code-flash run, "q" quits.
// --events writes the event stream (JSON Lines, app/event_stream_view.h) to
// FILE, or with "-" to standard output (batch and line modes; the row lines
// and the summary then go to standard error). --quiet: no bell at the end of
// a run in the full-screen console. --lot and --operator: the work order /
// lot and the operator every verdict's record names (produce.jsonl), shown
// in the caption of the full-screen console and at the start otherwise.
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
#include "tools/kx20-station/line_mode.h"
#endif
#ifdef _WIN32
#include <windows.h>
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
  RecordOptions record;
  std::string workDir = ".";
  std::string traceFile;
  bool batch = false;
  bool codeFlash = false;
#if KX20_LINE_MODE
  LineModeOptions line;
#endif
};

#ifdef _WIN32
constexpr const char* kProgram = "kx20-console";
#else
constexpr const char* kProgram = "kx20-station";
#endif

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: %s %s [--workdir DIR] [--batch [--code-flash]] "
               "[--trace-rows FILE] [--events FILE|-] [--quiet]\n"
               "       [--lot TEXT] [--operator TEXT]\n"
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
               "  --quiet         no bell at the end of a run\n"
               "  --lot TEXT      the work order / lot every disk's record names\n"
               "  --operator TEXT the operator every disk's record names (each at most 64\n"
               "                  characters, no control characters)\n",
               kProgram, kDeviceOptionsUsage);
#if KX20_LINE_MODE
  std::fputs(kLineModeUsage, out);
#else
  std::fprintf(out, "this build has no line mode (--line): it was built without libpq\n");
#endif
}

bool ParseArguments(int argc, char** argv, ProgramOptions& options, std::string& error) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!ParseDeviceOptions(args, options.devices, error)) return false;
  if (!ParseStationFileOptions(args, options.workDir, options.traceFile, error)) return false;
  if (!ParseStationOutputOptions(args, options.output, error)) return false;
  if (!ParseRecordOptions(args, options.record, error)) return false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--batch") {
      options.batch = true;
    } else if (a == "--code-flash") {
      options.codeFlash = true;
#if KX20_LINE_MODE
    } else if (TakeLineOption(args, i, options.line, error)) {
      if (!error.empty()) return false;
#else
    } else if (a == "--line" || a == "--station" || a == "--lease") {
      error = "this build has no line mode (built without a database client library)";
      return false;
#endif
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
  if (!CheckLineOptions(options.line, error)) return false;
#endif
  return true;
}

// SIGINT or SIGTERM received (batch and line modes): the console loop ends
// as closing the window does. Set by the handler, read by the console thread.
volatile std::sig_atomic_t g_stopSignal = 0;

#ifdef _WIN32
// Windows has no signals for these: Ctrl+C is SIGINT, Ctrl+Break SIGBREAK,
// and a closed console, a logoff or a shutdown count as a hang-up (1). The
// system ends the process once the handler returns from a close, so the
// handler waits there while the console thread ends the program itself.
BOOL WINAPI OnConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
      g_stopSignal = SIGINT;
      return TRUE;
    case CTRL_BREAK_EVENT:
      g_stopSignal = SIGBREAK;
      return TRUE;
    default:
      g_stopSignal = 1;
      Sleep(INFINITE);
      return TRUE;
  }
}
#else
void OnStopSignal(int signal) { g_stopSignal = signal; }
#endif

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
    std::printf("%s %s\n", kProgram, kVersion);
    return 0;
  }
  if (!ParseArguments(argc, argv, options, error)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
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
  bool lineMode = false;
#if KX20_LINE_MODE
  lineMode = options.line.on;
  if (lineMode) holder += ", line station " + options.line.station;
#endif
  if (OpenWorkDirectory(options.workDir, lineMode, holder, error).release() ==
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
#ifndef _WIN32
  std::signal(SIGPIPE, SIG_IGN);
#endif
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
  lineHooks.lot = options.record.lot;
  lineHooks.operatorName = options.record.operatorName;
#if KX20_LINE_MODE
  LineStation* line = nullptr;  // never destroyed: a worker may still use it
  if (options.line.on) {
    std::function<void(const std::string&)> notify;
    if (!fullScreen) {
      // The full-screen console owns the terminal; there the refused disks'
      // notices say what the operator needs.
      notify = [](const std::string& text) {
        std::fprintf(stderr, "kx20-station: line: %s\n", text.c_str());
        std::fflush(stderr);
      };
    }
    line = OpenLineMode(options.line, options.workDir, std::move(notify), 0, lineHooks, error);
    if (line == nullptr) {
      std::fprintf(stderr, "kx20-station: %s\n", error.c_str());
      return kExitUsage;
    }
  }
  // A stop by the console closing leaves the system a few seconds only.
  const auto flushLine = [&line] { FlushLineMode(line, g_stopSignal == 1 ? 1000 : 5000); };
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

#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  std::signal(SIGHUP, OnStopSignal);  // the terminal went away
#endif
  if (!options.record.lot.empty() || !options.record.operatorName.empty()) {
    std::fprintf(lines, "%s\n", station->Model().RecordIdentityText().c_str());
    std::fflush(lines);
  }
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
