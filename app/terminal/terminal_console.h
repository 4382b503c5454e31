// The full-screen terminal console of kx20-station (ncurses): the station's
// main window on a Linux terminal.
#pragma once

#include "app/station.h"
#include "common/clock.h"
#include "device/pass_through_port.h"

namespace kx20::terminal {

struct TerminalConsoleOptions {
  // No bell at the end of a run.
  bool quiet = false;
  // A view told every change besides the screen (the event stream); null:
  // none. It must outlive the process.
  ConsoleView* moreView = nullptr;
};

// Runs the console on the controlling terminal until the operator quits
// (Escape, the menu's "Close", or the terminal going away). `port` and
// `clock` must outlive the process: workers still running when the console
// quits keep using them; the caller ends the process with std::_Exit after
// this returns. Returns the exit status (2 when stdin/stdout is not a
// terminal). The terminal's bell rings when the end of a run is detected.
int RunTerminalStation(PassThroughPort& port, Clock& clock, const StationOptions& options,
                       const TerminalConsoleOptions& console = {});

}  // namespace kx20::terminal
