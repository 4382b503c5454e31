// ConsoleView: the write-only seam between the station and a window. The
// station keeps its state in a StationModel and tells the view each change,
// in the order it makes them; a view never answers with state of its own
// (there are no getters). Controls are named by their dialog IDs; the slot
// list is a list of rows with a text and a state image each.
//
// The way back is events: a front end hands the operator's keys, clicks and
// edits to the Station (OnSpaceKeyDown, OnTextEdited, OnCheckEdited, ...),
// which records them in the model.
//
// Implementations: the Win32 dialog, the terminal console, and the in-memory
// view that records what it was shown (tests and the headless station).
//
// Threads: the station calls a view on the console thread only, and a view
// never waits on another thread. Workers never reach a view: the
// serial-number step publishes what it loaded, and the station shows it on
// the console thread.
#pragma once

#include <string>

#include "app/panel_controls.h"
#include "app/station_model.h"
#include "config/settings.h"

namespace kx20 {

class ConsoleView : public PanelControlSink {
 public:

  // --- Controls (dialog IDs 1000 to 1050) ---------------------------------
  // Text of an edit, a drop-down's edit part, a button caption or a label.
  virtual void SetControlText(int id, const std::string& text) = 0;
  // Check boxes: true when checked.
  virtual void SetCheck(int id, bool checked) = 0;
  virtual void SetEnabled(int id, bool enabled) = 0;
  virtual void SetVisible(int id, bool visible) = 0;
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
  virtual void SetRowImage(int row, int image) = 0;
  virtual void SetSelectionMark(int row) = 0;

  // --- Rows as a whole -----------------------------------------------------
  // For views that show more of a row than its text and image (the
  // terminal's progress line, the event stream). Default: nothing.
  // The row changed as a whole: its disk (after a scan), or its run's step,
  // progress, times, rate or estimate (after a worker's status, told after
  // that status's text and image).
  virtual void ShowRow(int row, const RowModel& state) {
    static_cast<void>(row);
    static_cast<void>(state);
  }
  // A disk of the run reached its verdict on `row` (once per disk), right
  // after the row showed it.
  virtual void ShowVerdict(int row, const RowModel& state) {
    static_cast<void>(row);
    static_cast<void>(state);
  }

  // --- Window -------------------------------------------------------------
  // Shows a modal message box with an OK button; returns when dismissed.
  virtual void ShowMessageBox(const std::string& text, const std::string& caption) = 0;
  // Shows or hides the settings panel by resizing the window.
  virtual void SetPanelExpanded(bool expanded) = 0;

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
