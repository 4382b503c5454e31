// TerminalView: the ConsoleView of the terminal console. It keeps what it was
// shown of every control and row, which the controller draws; the station
// changes it on the console thread, which alone draws (workers never reach a
// view). The operator's edits made here go back to the station through the
// edit handler; the station never reads a control back.
//
// Message boxes: ShowMessageBox runs the modal handler the console installs
// (a nested key loop) and returns when the operator has dismissed the box.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/console_view.h"

namespace kx20::terminal {

class TerminalView final : public ConsoleView {
 public:
  struct Control {
    std::string text;
    bool checked = false;
    bool enabled = true;
    bool visible = true;
    int textLimit = 0;
    std::vector<std::string> entries;
  };
  struct Row {
    std::string text;
    int image = 0;
  };
  struct MessageBox {
    std::string text;
    std::string caption;
  };
  using ModalHandler = std::function<void(const MessageBox&)>;
  // The operator's edit of a control (its contents after the edit).
  using EditHandler = std::function<void(int, const Control&)>;

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

  // --- The console's side -------------------------------------------------
  // Called after every change, outside the lock, on the changing thread.
  void SetWakeCallback(std::function<void()> wake);
  // Runs a message box on the console thread (see above).
  void SetModalHandler(ModalHandler handler);
  // True once since the last call when anything changed.
  bool TakeDirty();
  Control GetControl(int id);
  std::vector<Row> Rows();
  int SelectionMark();
  // The control the console logic last moved the focus to (0: none since the
  // last call); the console decides whether it can take it.
  int TakeFocusRequest();
  // How often the rows have been cleared (a scan rebuilt the list).
  std::uint64_t ClearCount();

  // The operator typing one character into an edit or drop-down: refused
  // (false) at the control's typing limit; letters become upper case in the
  // upper-case edits.
  bool TypeChar(int id, char ch);
  // Backspace.
  void EraseLastChar(int id);
  // Sets a control's text as the operator's choice (drop-down entry, select
  // all and type over).
  void ReplaceText(int id, const std::string& text);
  // The operator checks or unchecks a check box.
  void ToggleCheck(int id);
  // Told after each of the operator's edits above (outside the lock): the
  // console hands them to the station.
  void SetEditHandler(EditHandler handler);


 private:
  void Changed();
  void Edited(int id);
  static bool UpperCaseEdit(int id);

  std::mutex mutex_;
  std::map<int, Control> controls_;
  std::vector<Row> rows_;
  int selectionMark_ = -1;
  int focusRequest_ = 0;
  bool panelExpanded_ = false;
  bool dirty_ = true;
  std::uint64_t clearCount_ = 0;
  std::function<void()> wake_;
  ModalHandler modal_;
  EditHandler edit_;
};

}  // namespace kx20::terminal
