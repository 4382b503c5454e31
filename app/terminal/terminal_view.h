// TerminalView: the ConsoleView of the terminal console. The screen draws
// the station's model (Station::Model()) and nothing else, so the view keeps
// no copy of controls or rows. It keeps only what the model cannot hold:
//   - the station's last request to move the focus (the terminal decides
//     whether the control it names can take it), and
//   - the message-box hook: ShowMessageBox runs the modal handler the
//     console installs (a nested key loop) and returns when the operator has
//     dismissed the box.
// The operator's edits are made on the model's text by the rules below and
// handed to the station as events (Station::OnTextEdited, OnCheckEdited).
// Console thread only, like the station that calls it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/console_view.h"
#include "app/station_model.h"

namespace kx20::terminal {

class TerminalView final : public ConsoleView {
 public:
  struct MessageBox {
    std::string text;
    std::string caption;
  };
  using ModalHandler = std::function<void(const MessageBox&)>;

  // The model holds these; the screen draws it.
  void SetControlText(int, const std::string&) override {}
  void SetCheck(int, bool) override {}
  void SetEnabled(int, bool) override {}
  void SetVisible(int, bool) override {}
  void AddComboEntry(int, const std::string&) override {}
  void SetTextLimit(int, int) override {}
  void ClearRows() override {}
  void InsertRow(int, const std::string&, int) override {}
  void SetRowText(int, const std::string&) override {}
  void SetRowImage(int, int) override {}
  void SetSelectionMark(int) override {}
  void SetPanelExpanded(bool) override {}

  void SetFocus(int id) override { focusRequest_ = id; }
  void ShowMessageBox(const std::string& text, const std::string& caption) override;

  // Runs a message box on the console thread (see above).
  void SetModalHandler(ModalHandler handler) { modal_ = std::move(handler); }
  // The control the console logic last moved the focus to (0: none since the
  // last call).
  int TakeFocusRequest();

 private:
  int focusRequest_ = 0;
  ModalHandler modal_;
};

// --- The operator's edits, by the terminal's rules -------------------------------
// Each takes the control's contents from the model and gives its text after
// the edit.

// Typing one character: refused (nullopt) at the control's typing limit;
// letters become upper case in the upper-case edits.
std::optional<std::string> TypedText(int id, const ControlModel& control, char ch);
// Backspace.
std::string ErasedText(const ControlModel& control);
// The operator's choice replacing the whole text (a drop-down entry, select
// all and type over): cut at the typing limit, upper case where the edit is.
std::string ReplacedText(int id, const ControlModel& control, const std::string& text);
// A drop-down's entries as the list shows them: the sorted drop-downs in
// order, the others as added.
std::vector<std::string> ShownEntries(int id, const ControlModel& control);

}  // namespace kx20::terminal
