// ConsoleView: what the console logic needs of a window. Controls are named by
// their dialog IDs; the slot list is a list of rows with a text and a state
// image each. Implementations: the Win32 dialog, the terminal console, and the
// in-memory control table used by tests and the headless station.
//
// Threads: the station calls a view on the console thread only. Workers never
// reach a view: the serial-number step publishes what it loaded, and the
// station shows it on the console thread.
#pragma once

#include <string>

#include "app/panel_controls.h"
#include "config/settings.h"

namespace kx20 {

class ConsoleView : public PanelControlSink {
 public:

  // --- Controls (dialog IDs 1000 to 1050) ---------------------------------
  // Text of an edit, a drop-down's edit part, a button caption or a label.
  virtual void SetControlText(int id, const std::string& text) = 0;
  virtual std::string GetControlText(int id) = 0;
  // Check boxes: true when checked.
  virtual void SetCheck(int id, bool checked) = 0;
  virtual bool GetCheck(int id) = 0;
  virtual void SetEnabled(int id, bool enabled) = 0;
  virtual bool IsEnabled(int id) = 0;
  virtual void SetVisible(int id, bool visible) = 0;
  virtual bool IsVisible(int id) = 0;
  virtual void SetFocus(int id) = 0;
  // Appends a fixed entry to a drop-down's list.
  virtual void AddComboEntry(int id, const std::string& entry) = 0;
  // Sets the longest text an edit accepts (0: no limit).
  virtual void SetTextLimit(int id, int maxChars) = 0;

  // --- Slot list ----------------------------------------------------------
  virtual void ClearRows() = 0;
  // Inserts a row at `row` (0-based) with its text and state image index.
  virtual void InsertRow(int row, const std::string& text, int image) = 0;
  virtual void SetRowText(int row, const std::string& text) = 0;
  virtual std::string GetRowText(int row) = 0;
  virtual void SetRowImage(int row, int image) = 0;
  virtual int GetRowImage(int row) = 0;
  virtual int RowCount() = 0;
  virtual void SetSelectionMark(int row) = 0;

  // --- Window -------------------------------------------------------------
  // Shows a modal message box with an OK button; returns when dismissed.
  virtual void ShowMessageBox(const std::string& text, const std::string& caption) = 0;
  // Shows or hides the settings panel by resizing the window.
  virtual void SetPanelExpanded(bool expanded) = 0;
  virtual bool IsPanelExpanded() = 0;

  // --- Settings loads -------------------------------------------------------
  // A loaded settings field goes to its control.
  void ShowFieldText(PanelField field, const std::string& text) final {
    SetControlText(settings_control::ControlId(field), text);
  }
  void ShowFieldCheck(PanelField field, bool checked) final {
    SetCheck(settings_control::ControlId(field), checked);
  }
};

}  // namespace kx20
