// StationModelWriter: the station's one way to change its model. Each call
// changes the StationModel and then tells the view the same change, so a
// view sees the changes in exactly the order the station makes them. It is a
// ConsoleView itself, so the parts that fill the window (slot discovery, the
// settings loader, the serial step's panel contents) write through it.
//
// Console thread only, like the view behind it.
#pragma once

#include <string>

#include "app/console_view.h"
#include "app/station_model.h"

namespace kx20 {

class StationModelWriter final : public ConsoleView {
 public:
  StationModelWriter(StationModel& model, ConsoleView& view) : model_(model), view_(view) {}

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

  // Kept as pending in the model while the view shows it (modal).
  void ShowMessageBox(const std::string& text, const std::string& caption) override;
  void SetPanelExpanded(bool expanded) override;

 private:
  RowModel* Row(int row);

  StationModel& model_;
  ConsoleView& view_;
};

}  // namespace kx20
