// Win32ConsoleView: the console logic's view over the real dialog controls.
//
// Window's thread only, like the station that calls it (workers never reach a
// view). After Detach() every call is dropped. The station never reads a
// control back: the dialog hands the operator's edits to the station as events
// (main_window.cpp); the getters below serve the view's own tests.
//
// Every change of a slot row's text or image can be traced to a file, one
// line per changed row: "HH:MM:SS.mmm ROW IMAGE TEXT" (time since the view
// was made), the same lines as the terminal station's trace.
#pragma once

#include <windows.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/console_view.h"
#include "app/station_report.h"

namespace kx20 {

class Win32ConsoleView final : public ConsoleView {
 public:
  Win32ConsoleView();

  // Window's thread, during the dialog's initialisation.
  void Attach(HWND dialog);
  // Window's thread, when the dialog ends: later calls are dropped.
  void Detach();
  // Appends row changes to `path`; false when it cannot be opened.
  bool OpenRowTrace(const std::string& path);
  // Writes the rows that differ from the last traced state. The message loop
  // calls it after each message, so a row rebuilt with its old content (every
  // idle scan) leaves no line. Window's thread.
  void FlushRowTrace();

  // Told when a control shows other text than it was given and the window
  // sends no notification for it (a drop-down list without that entry shows
  // none): the front end hands it to the station as the control's contents.
  void SetShownDifferently(std::function<void(int, const std::string&)> report);

  HWND Dialog() const { return dialog_; }
  // The window's height when collapsed / expanded, in pixels (after Attach).
  int CollapsedHeight();
  int ExpandedHeight();

  void SetControlText(int id, const std::string& text) override;
  std::string GetControlText(int id);
  void SetCheck(int id, bool checked) override;
  bool GetCheck(int id);
  void SetEnabled(int id, bool enabled) override;
  bool IsEnabled(int id);
  void SetVisible(int id, bool visible) override;
  bool IsVisible(int id);
  void SetFocus(int id) override;
  void AddComboEntry(int id, const std::string& entry) override;
  void SetTextLimit(int id, int maxChars) override;

  void ClearRows() override;
  void InsertRow(int row, const std::string& text, int image) override;
  void SetRowText(int row, const std::string& text) override;
  std::string GetRowText(int row);
  void SetRowImage(int row, int image) override;
  int GetRowImage(int row);
  int RowCount();
  void SetSelectionMark(int row) override;

  void ShowMessageBox(const std::string& text, const std::string& caption) override;
  void SetPanelExpanded(bool expanded) override;
  bool IsPanelExpanded();

 private:
  // Run `body` unless the view is detached (a setter, a getter).
  void Post(const std::function<void()>& body);
  void Ask(const std::function<void()>& body);
  HWND Item(int id) const;
  HWND List() const;
  void TraceRow(int row);
  void MoveToCentreTopmost();

  HWND dialog_ = nullptr;
  bool expanded_ = false;

  bool detached_ = false;
  std::function<void(int, const std::string&)> shownDifferently_;

  std::chrono::steady_clock::time_point start_;
  std::ofstream trace_;
  RowChangeTracker tracker_;
  bool rowsChanged_ = false;
};

}  // namespace kx20
