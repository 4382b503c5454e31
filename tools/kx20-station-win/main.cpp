// kx20-station.exe: the production station's window on Windows.
//
//   kx20-station [--sim | --sim=FARM | --drive L=DEV ...] [--workdir DIR]
//                [--trace-rows FILE] [--events FILE] [--quiet] [--no-autoclick]
//                [--lot TEXT] [--operator TEXT]
//                [--line CONNSTR --station NAME [--lease N]]
//
// Without a device option the station works on the host's drive letters.
// --workdir: where config.txt, produce.log and Pelorin.img are (default: the
// current directory). --trace-rows: every change of a slot row's text or
// image is appended to FILE with a time stamp. --events: the event stream
// (one JSON object per row change and per verdict) appended to FILE.
// --quiet: no sound at the end of a run. --no-autoclick: do not start the
// auto-clicker (it sends clicks to other programs' windows too). --lot and
// --operator: the work order / lot and the operator every verdict's record
// names (produce.jsonl); the caption shows them.
// --line: line mode through ODBC (tools/kx20-station/line_mode.h); the
// caption then says so, under which name, and whether the database answers.
// Runs without a window (batch runs) are kx20-console.exe's.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/device_options.h"
#include "app/event_stream_view.h"
#include "app/station.h"
#include "app/work_directory.h"
#include "common/clock.h"
#include "common/version.h"
#include "app/win32/main_window.h"
#include "app/win32/win32_console_view.h"
#include "tools/kx20-station/line_mode.h"

namespace {

struct ProgramOptions {
  kx20::DeviceOptions devices;
  kx20::StationOutputOptions output;
  kx20::RecordOptions record;
  std::string workDir = ".";
  std::string traceFile;
  bool autoClick = true;
  kx20::LineModeOptions line;
};

// How often the window asks an idle line's database whether it answers.
constexpr int kLineLookMs = 5000;

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: kx20-station %s [--workdir DIR] [--trace-rows FILE] [--events FILE]\n"
               "                    [--quiet] [--no-autoclick] [--lot TEXT] [--operator TEXT]\n"
               "  --sim           the built-in simulated farm (ten disks on E: to N:)\n"
               "  --sim=FARM      the simulated farm described by the file FARM\n"
               "  --drive L=DEV   drive letter L is the device DEV (repeatable)\n"
               "  --workdir DIR   where config.txt, produce.log and Pelorin.img are\n"
               "  --trace-rows F  append every slot row change to the file F\n"
               "  --events F      append the event stream (one JSON object per row change\n"
               "                  and per verdict) to the file F\n"
               "  --quiet         no sound at the end of a run\n"
               "  --no-autoclick  do not start the auto-clicker\n"
               "  --lot TEXT      the work order / lot every disk's record names\n"
               "  --operator TEXT the operator every disk's record names (each at most 64\n"
               "                  characters, no control characters)\n"
               "%s"
               "Runs without a window (one batch for automation): kx20-console.exe --batch.\n",
               kx20::kDeviceOptionsUsage, kx20::kLineModeUsage);
}

bool ParseArguments(int argc, char** argv, ProgramOptions& options, std::string& error) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!kx20::ParseDeviceOptions(args, options.devices, error)) return false;
  if (!kx20::ParseStationFileOptions(args, options.workDir, options.traceFile, error)) return false;
  if (!kx20::ParseStationOutputOptions(args, options.output, error)) return false;
  if (!kx20::ParseRecordOptions(args, options.record, error)) return false;
  if (options.output.eventsFile == "-") {
    error = "--events needs a file here (the window has no standard output)";
    return false;
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--no-autoclick") {
      options.autoClick = false;
    } else if (kx20::TakeLineOption(args, i, options.line, error)) {
      if (!error.empty()) return false;
    } else {
      error = "unknown argument '" + a + "'";
      return false;
    }
  }
  if (options.workDir.empty()) options.workDir = std::string(1, '.');  // (not = ".": GCC 12 -Wrestrict false alarm)
  return kx20::CheckLineOptions(options.line, error);
}

// The caption's note in line mode.
std::string LineNote(const kx20::LineStation& line, const std::string& station) {
  const kx20::LineStation::DatabaseState state = line.State();
  std::string note = "- line mode, station " + station + ": ";
  if (!state.asked) {
    note += "asking the database";
  } else if (state.answering) {
    note += "the database answers";
  } else {
    note += "the database does not answer";
  }
  if (state.waiting > 0) note += ", " + std::to_string(state.waiting) + " verdict(s) wait";
  return note;
}

int Fail(const std::string& text) {
  std::fprintf(stderr, "kx20-station: %s\n", text.c_str());
  std::fflush(stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kx20;
  ProgramOptions options;
  std::string error;
  if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    PrintUsage(stdout);
    return 0;
  }
  if (argc > 1 && std::string(argv[1]) == "--version") {
    // A window program has no console of its own: borrow the caller's when
    // the output is not already redirected.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if ((out == nullptr || out == INVALID_HANDLE_VALUE) && AttachConsole(ATTACH_PARENT_PROCESS)) {
      std::FILE* ignored = std::freopen("CONOUT$", "w", stdout);
      (void)ignored;
    }
    std::printf("kx20-station %s\n", kVersion);
    std::fflush(stdout);
    return 0;
  }
  if (!ParseArguments(argc, argv, options, error)) {
    PrintUsage(stderr);
    return Fail(error);
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(options.workDir, ec)) {
    return Fail("work directory " + options.workDir + " does not exist");
  }

  // One station per work directory (a second double-click on the icon comes
  // here): refused with a message box naming the station that has it.
  // Kept until the process ends.
  if (OpenWorkDirectory(options.workDir, /*lineMode=*/false, "kx20-station.exe", error)
          .release() == nullptr) {
    MessageBoxA(nullptr, error.c_str(), kQuitCaption, MB_OK | MB_ICONSTOP);
    return Fail(error);
  }

  // Everything below lives until the process ends: workers may still use the
  // port, the clock and the station's shared state when the window closes.
  Clock* clock = MakeSystemClock().release();
  PassThroughPort* port = OpenDevicePort(options.devices, *clock, error).release();
  if (port == nullptr) return Fail(error);

  auto* view = new Win32ConsoleView();
  if (!options.traceFile.empty() && !view->OpenRowTrace(options.traceFile)) {
    return Fail("cannot open " + options.traceFile + " for the row trace");
  }
  auto* shell = new ShellExecuteShell();
  // Workers post straight to the window (no thread in between).
  auto* poster = new WindowStatusPoster();
  StationOptions stationOptions;
  stationOptions.workDir = options.workDir;
  stationOptions.poster = poster;
  stationOptions.lot = options.record.lot;
  stationOptions.operatorName = options.record.operatorName;
  // Line mode: a refused disk's reason is shown after its run, as any
  // notice; the outbox's state is in the caption (and on stderr).
  LineStation* line = nullptr;  // never destroyed: a worker may still use it
  if (options.line.on) {
    const auto notify = [](const std::string& text) {
      std::fprintf(stderr, "kx20-station: line: %s\n", text.c_str());
      std::fflush(stderr);
    };
    line = OpenLineMode(options.line, options.workDir, notify, kLineLookMs, stationOptions, error);
    if (line == nullptr) return Fail(error);
  }
  auto* station = new Station(*port, *clock, *view, *shell, stationOptions);
  if (!options.output.eventsFile.empty()) {
    EventStreamView* events = EventStreamView::Open(options.output.eventsFile, *clock, error).release();
    if (events == nullptr) return Fail(error);
    station->AddView(*events);  // never destroyed: the program ends with _Exit
  }
  MainWindowOptions windowOptions;
  windowOptions.autoClick = options.autoClick;
  windowOptions.statusPoster = poster;
  windowOptions.quiet = options.output.quiet;
  windowOptions.clock = clock;
  // The caption names the lot and the operator, and in line mode the line's state.
  const std::string identity = station->Model().RecordIdentityText();
  if (line != nullptr || !identity.empty()) {
    windowOptions.captionNote = [line, name = options.line.station, identity] {
      std::string note = identity.empty() ? std::string() : " - " + identity;
      if (line != nullptr) note += " " + LineNote(*line, name);
      return note;
    };
  }
  auto* window = new MainWindow(GetModuleHandleA(nullptr), *station, *view, windowOptions);

  const bool shown = window->RunModal();
  // The window has ended: cut the workers off the console, wait until none
  // is inside a serial-number step or a log record, and end the process
  // without waiting for them.
  station->Shutdown();
  FlushLineMode(line);
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(shown ? 0 : Fail("the main window could not be created"));
}
