#include "app/station_model_writer.h"

#include <algorithm>
#include <cstddef>

namespace kx20 {

// The model changes first: a front end that reports its own control's change
// back as an edit while being told (a Win32 edit's EN_CHANGE) finds the model
// already holding that text.

void StationModelWriter::SetControlText(int id, const std::string& text) {
  model_.controls[id].text = text;
  TellViews([&](ConsoleView& v) { v.SetControlText(id, text); });
}

void StationModelWriter::SetCheck(int id, bool checked) {
  model_.controls[id].checked = checked;
  TellViews([&](ConsoleView& v) { v.SetCheck(id, checked); });
}

void StationModelWriter::SetEnabled(int id, bool enabled) {
  model_.controls[id].enabled = enabled;
  TellViews([&](ConsoleView& v) { v.SetEnabled(id, enabled); });
}

void StationModelWriter::SetVisible(int id, bool visible) {
  model_.controls[id].visible = visible;
  TellViews([&](ConsoleView& v) { v.SetVisible(id, visible); });
}

void StationModelWriter::SetFocus(int id) {
  model_.focus = id;
  TellViews([&](ConsoleView& v) { v.SetFocus(id); });
}

void StationModelWriter::AddComboEntry(int id, const std::string& entry) {
  model_.controls[id].comboEntries.push_back(entry);
  TellViews([&](ConsoleView& v) { v.AddComboEntry(id, entry); });
}

void StationModelWriter::SetTextLimit(int id, int maxChars) {
  model_.controls[id].textLimit = maxChars;
  TellViews([&](ConsoleView& v) { v.SetTextLimit(id, maxChars); });
}

RowModel* StationModelWriter::Row(int row) {
  if (row < 0 || row >= model_.RowCount()) return nullptr;
  return &model_.rows[static_cast<std::size_t>(row)];
}

void StationModelWriter::ClearRows() {
  model_.rows.clear();
  model_.selectionMark = -1;
  TellViews([&](ConsoleView& v) { v.ClearRows(); });
}

void StationModelWriter::InsertRow(int row, const std::string& text, int image) {
  if (row < 0) return;
  RowModel r;
  r.text = text;
  r.image = image;
  const auto at = static_cast<std::size_t>(std::min(row, model_.RowCount()));
  model_.rows.insert(model_.rows.begin() + static_cast<std::ptrdiff_t>(at), std::move(r));
  TellViews([&](ConsoleView& v) { v.InsertRow(row, text, image); });
}

void StationModelWriter::SetRowText(int row, const std::string& text) {
  if (RowModel* r = Row(row)) r->text = text;
  TellViews([&](ConsoleView& v) { v.SetRowText(row, text); });
}

void StationModelWriter::SetRowImage(int row, int image) {
  if (RowModel* r = Row(row)) r->image = image;
  TellViews([&](ConsoleView& v) { v.SetRowImage(row, image); });
}

void StationModelWriter::SetSelectionMark(int row) {
  model_.selectionMark = row;
  TellViews([&](ConsoleView& v) { v.SetSelectionMark(row); });
}

void StationModelWriter::SetRowDisk(int row, char letter, const std::string& slotLabel) {
  RowModel* r = Row(row);
  if (r == nullptr) return;
  r->letter = letter;
  r->slotLabel = slotLabel;
  TellViews([&](ConsoleView& v) { v.ShowRow(row, *r); });
}

void StationModelWriter::SetRowRun(int row, const RowModel& run) {
  RowModel* r = Row(row);
  if (r == nullptr) return;
  r->letter = run.letter;
  r->verdict = run.verdict;
  r->inRun = run.inRun;
  r->phase = run.phase;
  r->progress = run.progress;
  r->startMs = run.startMs;
  r->endMs = run.endMs;
  r->rate = run.rate;
  r->estimatedEndMs = run.estimatedEndMs;
  TellViews([&](ConsoleView& v) { v.ShowRow(row, *r); });
}

void StationModelWriter::ReportVerdict(int row) {
  const RowModel* r = Row(row);
  if (r == nullptr) return;
  TellViews([&](ConsoleView& v) { v.ShowVerdict(row, *r); });
}

void StationModelWriter::ShowMessageBox(const std::string& text, const std::string& caption) {
  const std::size_t at = model_.pendingBoxes.size();
  model_.pendingBoxes.push_back({text, caption});
  TellViews([&](ConsoleView& v) { v.ShowMessageBox(text, caption); });
  // Dismissed (a box opened meanwhile by the front end's nested loop has
  // been dismissed before this one returns).
  if (at < model_.pendingBoxes.size()) {
    model_.pendingBoxes.erase(model_.pendingBoxes.begin() + static_cast<std::ptrdiff_t>(at));
  }
}

void StationModelWriter::SetPanelExpanded(bool expanded) {
  model_.panelExpanded = expanded;
  TellViews([&](ConsoleView& v) { v.SetPanelExpanded(expanded); });
}

}  // namespace kx20
