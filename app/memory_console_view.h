// An in-memory ConsoleView: records what the station showed it (a locked
// table of controls and rows, every message box). Used by the tests and by
// the headless station. The getters below are for inspection only: the
// station never reads a view; an operator's edit in a test is handed to the
// station as an event (Station::OnTextEdited / OnCheckEdited).
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/console_view.h"

namespace kx20 {

class MemoryConsoleView : public ConsoleView {
 public:
  struct Control {
    std::string text;
    bool checked = false;
    bool enabled = true;
    bool visible = true;
    int textLimit = 0;
    std::vector<std::string> comboEntries;
  };
  struct Row {
    std::string text;
    int image = 0;
  };

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

  // --- Inspection for tests and front ends --------------------------------
  // The operator typing `text` into a control: cut at the control's limit.
  void TypeText(int id, const std::string& text);
  Control GetControl(int id);
  std::vector<Row> Rows();
  int FocusedControl();
  std::vector<std::string> MessageBoxes();
  int SelectionMark();

  // Called (outside the lock) after every row change: row index, text, image.
  void SetRowObserver(std::function<void(int, const std::string&, int)> observer);
  // Called (outside the lock, on the calling thread) with the control's ID
  // before a control text or check box is set and after one is read.
  void SetControlObserver(std::function<void(int)> observer);

 private:
  void NotifyRow(int row);
  void ObserveControl(int id);

  std::mutex mutex_;
  std::map<int, Control> controls_;
  std::vector<Row> rows_;
  int focus_ = 0;
  int selectionMark_ = -1;
  bool panelExpanded_ = false;
  std::vector<std::string> messageBoxes_;
  std::function<void(int, const std::string&, int)> rowObserver_;
  std::function<void(int)> controlObserver_;
};

}  // namespace kx20
