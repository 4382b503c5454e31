// StationModelWriter: the station's one way to change its model. Each call
// changes the StationModel and then tells every view the same change, so a
// view sees the changes in exactly the order the station makes them. It is a
// ConsoleView itself, so the parts that fill the window (slot discovery, the
// settings loader, the serial step's panel contents) write through it.
//
// The views: the front end's own (given at construction) and any added
// (AddView: the event stream), told in the order they were given.
//
// Console thread only, like the views behind it.
#pragma once

#include <string>
#include <vector>

#include "app/console_view.h"
#include "app/station_model.h"

namespace kx20 {

class StationModelWriter final : public ConsoleView {
 public:
  StationModelWriter(StationModel& model, ConsoleView& view) : model_(model), views_{&view} {}

  // One more view, told every change from now on (before the first change).
  void AddView(ConsoleView& view) { views_.push_back(&view); }

  void SetControlText(int id, const std::string& text) override;
  void SetCheck(int id, bool checked) override;
  void SetEnabled(int id, bool enabled) override;
  void SetVisible(int id, bool visible) override;
  void SetFocus(int id) override;
  void AddComboEntry(int id, const std::string& entry) override;
  void SetTextLimit(int id, int maxChars) override;

  void ClearRows() override;
  void InsertRow(int row, const std::string& text, int image) override;
  void SetRowText(int row, const std::string& text) override;
  void SetRowImage(int row, int image) override;
  void SetSelectionMark(int row) override;

  // The disk a row stands for (a scan): views are told the whole row.
  void SetRowDisk(int row, char letter, const std::string& slotLabel);
  // A row's run: `run`'s letter, verdict, inRun and run fields (phase,
  // progress, times, rate, estimate) go to the model; views are told the
  // whole row.
  void SetRowRun(int row, const RowModel& run);
  // A disk of the run reached its verdict on `row` (once per disk).
  void ReportVerdict(int row);

  // Kept as pending in the model while the view shows it (modal).
  void ShowMessageBox(const std::string& text, const std::string& caption) override;
  void SetPanelExpanded(bool expanded) override;

 private:
  RowModel* Row(int row);
  template <typename Tell>
  void TellViews(Tell tell) {
    for (ConsoleView* view : views_) tell(*view);
  }

  StationModel& model_;
  std::vector<ConsoleView*> views_;
};

}  // namespace kx20
