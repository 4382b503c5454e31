// Win32ConsoleView: the console logic's view over the real dialog controls.
//
// Calls on the window's thread act at once. Calls from other threads (a
// worker's serial-number step reloads the settings into the panel) are handed
// to the window's thread in the order made: a setter is queued and returns
// (it must not wait: the window's thread may itself be waiting for the setup
// lock that this worker holds, during a start or a panel toggle while a run
// lasts); a getter waits for its answer. Getters on the window's thread first
// apply what is queued, so they see every earlier change. After Detach() the
// view drops calls from other threads.
//
// Every change of a slot row's text or image can be traced to a file, one
// line per changed row: "HH:MM:SS.mmm ROW IMAGE TEXT" (time since the view
// was made), the same lines as the terminal station's trace.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/console_view.h"
#include "app/station_report.h"

namespace kx20 {

// Posted to the dialog to run the calls queued by other threads.
inline constexpr UINT kRunQueuedViewCalls = WM_APP + 0x40;

class Win32ConsoleView final : public ConsoleView {
 public:
  Win32ConsoleView();

  // Window's thread, during the dialog's initialisation.
  void Attach(HWND dialog);
  // Window's thread, when the dialog ends: later calls from other threads
  // are dropped (getters answer empty), and waiting callers are released.
  void Detach();
  // Runs the calls other threads queued. Window's thread (kRunQueuedViewCalls).
  void RunQueued();
  // Appends row changes to `path`; false when it cannot be opened.
  bool OpenRowTrace(const std::string& path);
  // Writes the rows that differ from the last traced state. The message loop
  // calls it after each message, so a row rebuilt with its old content (every
  // idle scan) leaves no line. Window's thread.
  void FlushRowTrace();

  HWND Dialog() const { return dialog_; }
  // The window's height when collapsed / expanded, in pixels (after Attach).
  int CollapsedHeight();
  int ExpandedHeight();

  void SetControlText(int id, const std::string& text) override;
  std::string GetControlText(int id) override;
  void SetCheck(int id, bool checked) override;
  bool GetCheck(int id) override;
  void SetEnabled(int id, bool enabled) override;
  bool IsEnabled(int id) override;
  void SetVisible(int id, bool visible) override;
  bool IsVisible(int id) override;
  void SetFocus(int id) override;
  void AddComboEntry(int id, const std::string& entry) override;
  void SetTextLimit(int id, int maxChars) override;

  void ClearRows() override;
  void InsertRow(int row, const std::string& text, int image) override;
  void SetRowText(int row, const std::string& text) override;
  std::string GetRowText(int row) override;
  void SetRowImage(int row, int image) override;
  int GetRowImage(int row) override;
  int RowCount() override;
  void SetSelectionMark(int row) override;

  void ShowMessageBox(const std::string& text, const std::string& caption) override;
  void SetPanelExpanded(bool expanded) override;
  bool IsPanelExpanded() override;

 private:
  struct Call {
    std::function<void()> body;
    bool done = false;
  };

  bool OnWindowThread() const;
  // Runs `body` on the window's thread: at once, queued, or queued and waited for.
  void Post(std::function<void()> body);
  void Ask(const std::function<void()>& body);
  HWND Item(int id) const;
  HWND List() const;
  void TraceRow(int row);
  void MoveToCentreTopmost();

  HWND dialog_ = nullptr;
  DWORD threadId_ = 0;
  bool expanded_ = false;

  std::mutex mutex_;
  std::condition_variable answered_;
  std::deque<std::shared_ptr<Call>> queue_;
  bool detached_ = false;

  std::chrono::steady_clock::time_point start_;
  std::ofstream trace_;
  RowChangeTracker tracker_;
  bool rowsChanged_ = false;
};

}  // namespace kx20
