// The console loops of the station programs that have no window: the batch
// run (one production or code-flash run, then a verdict count and an exit
// status) and the line-by-line console (an empty line starts a run). Both
// drive the Station on the calling thread, which is the console thread, over
// an in-memory view whose row changes they print as they happen.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "app/memory_console_view.h"
#include "app/station.h"
#include "app/station_report.h"
#include "common/clock.h"

namespace kx20 {

// Exit statuses of a batch run.
inline constexpr int kExitPassed = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitNothingStarted = 2;

// Prints the rows that changed since the last call (and appends them to the
// trace file), and any new message box, on `out` (standard output, or
// standard error while the event stream has standard output).
class RowReporter {
 public:
  RowReporter(MemoryConsoleView& view, Clock& clock, const std::string& traceFile,
              std::FILE* out = stdout);

  bool TraceOpen() const { return trace_.is_open(); }
  void Report();

 private:
  MemoryConsoleView& view_;
  Clock& clock_;
  std::uint64_t start_;
  RowChangeTracker tracker_;
  std::ofstream trace_;
  std::size_t shownBoxes_ = 0;
  std::FILE* out_;
};

// What a console loop needs besides the station. `stopSignal` is read on the
// console thread at least every 100 ms; non-zero (a signal number) ends the
// loop as closing the window does. `out` takes what the loop prints for the
// operator.
struct ConsoleLoopContext {
  Station& station;
  MemoryConsoleView& view;
  Clock& clock;
  RowReporter& reporter;
  const volatile std::sig_atomic_t& stopSignal;
  std::FILE* out = stdout;
};

// Waits for the first scan, starts one run (as the Space key would, or as the
// "empty" button with `codeFlash`), prints every row change, and when the run
// has ended the ten final rows, "N passed, M failed" and the line naming the
// slots to pull and those that failed (RunEndLine). Returns
// kExitPassed, kExitFailed or kExitNothingStarted (also when there is no
// settings file to produce with). A stop signal ends it early with
// kExitNothingStarted; the caller turns the signal into its own status.
int RunBatchConsole(const ConsoleLoopContext& context, bool codeFlash);

// The line-by-line console on standard input: an empty line (or a line of
// spaces) starts a run, "e" a code-flash run, "q" quits. While disks are
// being produced, "q" asks first ("N disks are being produced. Quit
// anyway?") and only a second "q" on the next line quits (the disks not
// finished are then recorded as cut off when the program closes the
// station); any other line goes on. The end of input quits once no disk is
// being produced. At the end of a run it says so and names the slots to pull
// and those that failed. Returns 0.
int RunLineConsole(const ConsoleLoopContext& context);

}  // namespace kx20
