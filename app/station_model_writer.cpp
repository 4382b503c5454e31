#include "app/station_model_writer.h"

#include <algorithm>
#include <cstddef>

namespace kx20 {

// The model changes first: a front end that reports its own control's change
// back as an edit while being told (a Win32 edit's EN_CHANGE) finds the model
// already holding that text.

void StationModelWriter::SetControlText(int id, const std::string& text) {
  model_.controls[id].text = text;
  view_.SetControlText(id, text);
}

void StationModelWriter::SetCheck(int id, bool checked) {
  model_.controls[id].checked = checked;
  view_.SetCheck(id, checked);
}

void StationModelWriter::SetEnabled(int id, bool enabled) {
  model_.controls[id].enabled = enabled;
  view_.SetEnabled(id, enabled);
}

void StationModelWriter::SetVisible(int id, bool visible) {
  model_.controls[id].visible = visible;
  view_.SetVisible(id, visible);
}

void StationModelWriter::SetFocus(int id) {
  model_.focus = id;
  view_.SetFocus(id);
}

void StationModelWriter::AddComboEntry(int id, const std::string& entry) {
  model_.controls[id].comboEntries.push_back(entry);
  view_.AddComboEntry(id, entry);
}

void StationModelWriter::SetTextLimit(int id, int maxChars) {
  model_.controls[id].textLimit = maxChars;
  view_.SetTextLimit(id, maxChars);
}

RowModel* StationModelWriter::Row(int row) {
  if (row < 0 || row >= model_.RowCount()) return nullptr;
  return &model_.rows[static_cast<std::size_t>(row)];
}

void StationModelWriter::ClearRows() {
  model_.rows.clear();
  model_.selectionMark = -1;
  view_.ClearRows();
}

void StationModelWriter::InsertRow(int row, const std::string& text, int image) {
  if (row < 0) return;
  RowModel r;
  r.text = text;
  r.image = image;
  const auto at = static_cast<std::size_t>(std::min(row, model_.RowCount()));
  model_.rows.insert(model_.rows.begin() + static_cast<std::ptrdiff_t>(at), std::move(r));
  view_.InsertRow(row, text, image);
}

void StationModelWriter::SetRowText(int row, const std::string& text) {
  if (RowModel* r = Row(row)) r->text = text;
  view_.SetRowText(row, text);
}

void StationModelWriter::SetRowImage(int row, int image) {
  if (RowModel* r = Row(row)) r->image = image;
  view_.SetRowImage(row, image);
}

void StationModelWriter::SetSelectionMark(int row) {
  model_.selectionMark = row;
  view_.SetSelectionMark(row);
}

void StationModelWriter::ShowMessageBox(const std::string& text, const std::string& caption) {
  const std::size_t at = model_.pendingBoxes.size();
  model_.pendingBoxes.push_back({text, caption});
  view_.ShowMessageBox(text, caption);
  // Dismissed (a box opened meanwhile by the front end's nested loop has
  // been dismissed before this one returns).
  if (at < model_.pendingBoxes.size()) {
    model_.pendingBoxes.erase(model_.pendingBoxes.begin() + static_cast<std::ptrdiff_t>(at));
  }
}

void StationModelWriter::SetPanelExpanded(bool expanded) {
  model_.panelExpanded = expanded;
  view_.SetPanelExpanded(expanded);
}

}  // namespace kx20
