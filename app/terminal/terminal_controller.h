// TerminalController: the terminal console without the terminal. It feeds the
// operator's keys and mouse clicks, the one-second tick and the workers'
// messages into the Station, keeps the console's own state (focus, menu, log
// viewer, drop-down lists, message boxes) and draws the station's model
// (Station::Model(): rows, controls, panel, counts) into a Canvas; the
// screen has no copy of the model.
// The ncurses layer (terminal_console.cpp) only turns key codes into
// KeyEvents, waits, and copies the Canvas to the screen. Console thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/shell.h"
#include "app/station.h"
#include "common/clock.h"
#include "app/terminal/terminal_screen.h"
#include "app/terminal/terminal_view.h"

namespace kx20::terminal {

// Keys beyond the printable characters (32-126 stand for themselves).
enum Key : int {
  kKeyNone = 0,
  kKeyEnter = 0x1000,
  kKeyEscape,
  kKeyTab,
  kKeyBackTab,
  kKeyUp,
  kKeyDown,
  kKeyLeft,
  kKeyRight,
  kKeyHome,
  kKeyEnd,
  kKeyPageUp,
  kKeyPageDown,
  kKeyBackspace,
  kKeyDelete,
  kKeyF1,
  kKeyF2,
  kKeyF3,
  kKeyF4,
  kKeyF10,
  kKeyMouse,
};

enum class MouseAction { kNone, kPress, kRelease, kClick, kDoubleClick };

struct KeyEvent {
  int key = kKeyNone;
  MouseAction mouse = MouseAction::kNone;  // key == kKeyMouse
  int y = 0;
  int x = 0;
};

// The Shell of the terminal: "open" on the production log hands the file to
// the console's own viewer. A file that does not exist is refused.
class TerminalShell final : public Shell {
 public:
  bool Perform(const std::string& verb, const std::string& file) override;
  // The file asked for since the last call, if any.
  std::optional<std::string> TakeRequest();

 private:
  std::optional<std::string> request_;
};

class TerminalController {
 public:
  TerminalController(Station& station, TerminalView& view, TerminalShell& shell, Clock& clock);

  // Window initialisation (Station::Initialise) and the message-box hook.
  void Start();
  // Runs a message box until it has been dismissed; the console installs its
  // nested key loop here (tests answer the box themselves).
  void SetModalLoop(std::function<void()> loop);

  // --- Events -----------------------------------------------------------------
  void HandleKey(const KeyEvent& event);
  // The one-second timer.
  void Tick();
  // One worker message (taken from the queue by the console loop).
  void ApplyMessage(const WorkerStatus& message);
  // The bell at the end of a run: true once after a tick that detected the
  // end of a run (never with SetQuiet(true)).
  bool TakeBell() { return std::exchange(bell_, false); }
  void SetQuiet(bool quiet) { quiet_ = quiet; }
  // Every queued worker message.
  int DrainStatus();
  // Signals: the terminal went away or the program was told to stop: the
  // console quits at once, without asking.
  void RequestQuit() { quit_ = true; }
  bool QuitRequested() const { return quit_; }
  // The operator closes the console (Escape, the menu's "Close"): at once
  // when no disk is being produced; otherwise the question "N disks are being
  // produced. Quit anyway?" comes up first, and only "Quit" quits (Y, or
  // Enter on it); "Go on" (N, Escape, or Enter on it: the default) keeps
  // the console running.
  void RequestClose();

  // --- Drawing ----------------------------------------------------------------
  void SetScreenSize(int width, int height);
  void Render(Canvas& canvas);
  // Where the terminal's cursor goes (the focused edit), if anywhere.
  std::optional<std::pair<int, int>> Cursor() const { return cursor_; }
  // The clock's reading the last Render() drew the times with.
  std::uint64_t DrawnAt() const { return drawnAt_; }

  // --- Inspection ---------------------------------------------------------------
  int Focus() const { return focus_; }
  bool MenuOpen() const { return menuOpen_; }
  bool ViewerOpen() const { return viewerOpen_; }
  bool BoxOpen() const { return !boxes_.empty(); }
  // The quit question is up.
  bool QuitQuestionOpen() const { return askingQuit_; }
  const std::vector<std::string>& ViewerLines() const { return viewerLines_; }
  int ViewerTop() const { return viewerTop_; }

 private:
  struct Box {
    TerminalView::MessageBox box;
  };
  enum class MenuItem { kClose, kConfigure, kAbout };

  bool TooSmall() const { return width_ < kMinWidth || height_ < kMinHeight; }
  const StationModel& Model() const { return station_.Model(); }
  bool Compact() const { return Model().panelExpanded; }
  // The operator's edits, handed to the station (the model holds the text).
  void EditText(int id, const std::string& text);
  void TypeChar(int id, char ch);
  void ToggleCheck(int id);
  void SelectRow(int row);
  std::vector<int> FocusOrder() const;
  bool Focusable(int id) const;
  void SetFocusTo(int id, bool selectAll);
  void MoveFocus(int step);
  void TakeFocusRequest();

  void StartCommand(const std::function<void()>& start);
  void PressUpdate();
  void OpenLog();
  void ToggleConfigure();
  void RunBox(const TerminalView::MessageBox& box);

  void HandleMainKey(const KeyEvent& event);
  void HandleFieldKey(const PanelField& field, const KeyEvent& event);
  void HandleMenuKey(const KeyEvent& event);
  void HandleViewerKey(const KeyEvent& event);
  void HandleDropKey(const KeyEvent& event);
  void HandleBoxKey(const KeyEvent& event);
  void HandleQuitKey(const KeyEvent& event);
  void HandleQuitMouse(const KeyEvent& event);
  void RenderQuitQuestion(Canvas& canvas);
  void HandleMouse(const KeyEvent& event);
  void RunMenuItem(MenuItem item);
  void StepCombo(int id, int step);
  void OpenDropList(int id);
  void ViewerSearch(bool fromNext);
  int ViewerPage() const { return height_ - 2; }
  void ViewerScroll(int delta);
  // Appends the whole lines added to the viewed file since the last read
  // (reads it afresh when it shrank); true when lines were added.
  bool ViewerReadNewLines();
  // Once a tick while the viewer is open: takes the new lines, and keeps
  // the newest in sight when the end was shown.
  void ViewerFollow();

  void RenderMain(Canvas& canvas);
  void RenderPanel(Canvas& canvas);
  void RenderMenu(Canvas& canvas);
  void RenderDropList(Canvas& canvas);
  void RenderViewer(Canvas& canvas);
  void RenderBox(Canvas& canvas);
  // The OK button of the open box: line, first column, width.
  struct Rect {
    int y = 0, x = 0, h = 0, w = 0;
    bool Contains(int py, int px) const { return py >= y && py < y + h && px >= x && px < x + w; }
  };
  Rect BoxRect() const;
  Rect BoxOkRect() const;
  Rect UpdateRect() const;
  Rect MenuRect() const;
  Rect DropRect() const;
  // The quit question's box and its two buttons (0: "Quit", 1: "Go on").
  Rect QuitRect() const;
  Rect QuitButtonRect(int button) const;

  Station& station_;
  TerminalView& view_;
  TerminalShell& shell_;
  Clock& clock_;
  std::function<void()> modalLoop_;
  bool bell_ = false;
  bool quiet_ = false;

  int width_ = kMinWidth;
  int height_ = kMinHeight;
  int focus_ = station_control::kSlotList;
  bool selectAll_ = false;
  bool quit_ = false;
  std::optional<std::pair<int, int>> cursor_;
  std::uint64_t drawnAt_ = 0;

  bool menuOpen_ = false;
  int menuIndex_ = 0;

  int dropId_ = 0;  // the drop-down whose list is open (0: none)
  int dropIndex_ = 0;

  bool viewerOpen_ = false;
  std::string viewerPath_;
  std::vector<std::string> viewerLines_;
  std::uint64_t viewerBytes_ = 0;  // bytes of the file taken into viewerLines_
  int viewerTop_ = 0;
  bool viewerPrompt_ = false;
  std::string viewerQuery_;
  std::string viewerInput_;
  std::string viewerNote_;
  int viewerHit_ = -1;

  std::vector<Box> boxes_;

  bool askingQuit_ = false;
  std::string quitText_;
  int quitChoice_ = 1;  // the button with the focus: "Go on" first
};

}  // namespace kx20::terminal
