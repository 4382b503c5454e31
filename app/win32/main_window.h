// MainWindow: the station's dialog window (template 102) on Windows, run
// modally by its own message loop. Every message of the window's thread goes
// through the pre-filter first: the start command (Space key, held "Update"
// button), then the workers' status messages, then the dialog's own keyboard
// handling. The behaviour behind each event is the Station's; this class
// only wires the window's events, the timer, the system menu, the About box,
// the icons, the tooltips and the status bridge to it.
//
// Beyond the dialog's own: when the timer sees the end of a run the window
// plays the system's default sound (MessageBeep), and while a disk's rate is
// measured its slot's tooltip in the list says the rate and the time left
// (the rows themselves stay exactly as they are).
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <atomic>
#include <functional>
#include <string>

#include "app/shell.h"
#include "app/station.h"
#include "app/win32/win32_console_view.h"
#include "app/win32/window_status_poster.h"

namespace kx20 {

// System menu commands.
inline constexpr UINT kCommandAbout = 0x10;
inline constexpr UINT kCommandConfigure = 0x11;
// The window timer.
inline constexpr UINT_PTR kScanTimer = 100;
inline constexpr UINT kScanPeriodMs = 1000;

struct MainWindowOptions {
  bool autoClick = true;  // start the auto-clicker thread
  // The station's poster: aimed at the window while it exists.
  WindowStatusPoster* statusPoster = nullptr;
  // No sound at the end of a run.
  bool quiet = false;
  // The station's clock, for the time left in a slot's tooltip (null: no
  // slot tooltips).
  Clock* clock = nullptr;
  // Text after the caption, asked for once a second (line mode: the
  // station's name and whether the line's database answers). Empty: none.
  std::function<std::string()> captionNote;
};

// "open" through the Windows shell, shown normally.
class ShellExecuteShell final : public Shell {
 public:
  bool Perform(const std::string& verb, const std::string& file) override;
};

class MainWindow {
 public:
  MainWindow(HINSTANCE instance, Station& station, Win32ConsoleView& view,
             MainWindowOptions options);
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Creates the window and runs it until it is closed (Escape, the close
  // box). Returns false when the window could not be created.
  bool RunModal();

 private:
  static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  static INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
  // True when the message was consumed.
  bool PreTranslate(MSG& message);
  void Initialise();
  void AppendSystemMenu();
  void CreateTooltips();
  void PaintMinimised();
  // The slot list asks for a slot's tooltip text.
  void ShowSlotTip(NMLVGETINFOTIPA& tip);
  void ShowAbout();
  void ShowCaptionNote();
  void End();
  // Closing while disks are being produced asks first; true: close.
  bool ConfirmClose();

  HINSTANCE instance_;
  Station& station_;
  Win32ConsoleView& view_;
  MainWindowOptions options_;
  HWND window_ = nullptr;
  HWND toolTip_ = nullptr;
  bool ended_ = false;
  std::string caption_;      // the dialog's own caption
  std::string captionNote_;  // the note shown after it
  HICON appIcon_ = nullptr;
  HICON appIconSmall_ = nullptr;
};

}  // namespace kx20
