// AutoClicker: a background thread that, ten times a second, looks through
// the desktop's top-level windows for the first one whose fifth child is a
// list view, and when that list's first child is a column header, asks the
// window's fourth child to click itself (BM_CLICK, queued without waiting).
// In the station's own window the fourth child is the "Update" button.
//
// It keeps no state and takes no lock; windows that vanish mid-pass simply
// fail the tests. Started once by the main window; it ends with the process.
#pragma once

#include <windows.h>

#include <atomic>

namespace kx20 {

// One pass over the top-level windows. Returns the button that was sent a
// click request, or null when no window matched.
HWND AutoClickPass();

// The clicker's loop: a pass every 100 ms, until `stop` (if given) is set.
void RunAutoClicker(const std::atomic<bool>* stop);

// Starts the clicker thread (detached; it runs until the process ends).
void StartAutoClicker();

}  // namespace kx20
