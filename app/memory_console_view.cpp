#include "app/memory_console_view.h"

namespace kx20 {

void MemoryConsoleView::SetControlObserver(std::function<void(int)> observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  controlObserver_ = std::move(observer);
}

void MemoryConsoleView::ObserveControl(int id) {
  std::function<void(int)> observer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    observer = controlObserver_;
  }
  if (observer) observer(id);
}

void MemoryConsoleView::SetControlText(int id, const std::string& text) {
  ObserveControl(id);
  // Like an edit control: the typing limit does not apply to text set by the
  // program (the settings loader relies on that).
  std::lock_guard<std::mutex> lock(mutex_);
  controls_[id].text = text;
}

void MemoryConsoleView::TypeText(int id, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  Control& c = controls_[id];
  c.text = (c.textLimit > 0 && static_cast<int>(text.size()) > c.textLimit)
               ? text.substr(0, static_cast<std::size_t>(c.textLimit))
               : text;
}

std::string MemoryConsoleView::GetControlText(int id) {
  std::string text;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    text = controls_[id].text;
  }
  ObserveControl(id);
  return text;
}

void MemoryConsoleView::SetCheck(int id, bool checked) {
  ObserveControl(id);
  std::lock_guard<std::mutex> lock(mutex_);
  controls_[id].checked = checked;
}

bool MemoryConsoleView::GetCheck(int id) {
  bool checked = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    checked = controls_[id].checked;
  }
  ObserveControl(id);
  return checked;
}

void MemoryConsoleView::SetEnabled(int id, bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  controls_[id].enabled = enabled;
}

bool MemoryConsoleView::IsEnabled(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return controls_[id].enabled;
}

void MemoryConsoleView::SetVisible(int id, bool visible) {
  std::lock_guard<std::mutex> lock(mutex_);
  controls_[id].visible = visible;
}

bool MemoryConsoleView::IsVisible(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return controls_[id].visible;
}

void MemoryConsoleView::SetFocus(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  focus_ = id;
}

void MemoryConsoleView::AddComboEntry(int id, const std::string& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  controls_[id].comboEntries.push_back(entry);
}

void MemoryConsoleView::SetTextLimit(int id, int maxChars) {
  std::lock_guard<std::mutex> lock(mutex_);
  controls_[id].textLimit = maxChars;
}

void MemoryConsoleView::ClearRows() {
  std::lock_guard<std::mutex> lock(mutex_);
  rows_.clear();
}

void MemoryConsoleView::InsertRow(int row, const std::string& text, int image) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (row < 0) return;
    const auto at = static_cast<std::size_t>(row) > rows_.size() ? rows_.size()
                                                                 : static_cast<std::size_t>(row);
    rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(at), Row{text, image});
  }
  NotifyRow(row);
}

void MemoryConsoleView::SetRowText(int row, const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) return;
    if (rows_[static_cast<std::size_t>(row)].text == text) return;
    rows_[static_cast<std::size_t>(row)].text = text;
  }
  NotifyRow(row);
}

std::string MemoryConsoleView::GetRowText(int row) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) return std::string();
  return rows_[static_cast<std::size_t>(row)].text;
}

void MemoryConsoleView::SetRowImage(int row, int image) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) return;
    if (rows_[static_cast<std::size_t>(row)].image == image) return;
    rows_[static_cast<std::size_t>(row)].image = image;
  }
  NotifyRow(row);
}

int MemoryConsoleView::GetRowImage(int row) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) return -1;
  return rows_[static_cast<std::size_t>(row)].image;
}

int MemoryConsoleView::RowCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(rows_.size());
}

void MemoryConsoleView::SetSelectionMark(int row) {
  std::lock_guard<std::mutex> lock(mutex_);
  selectionMark_ = row;
}

void MemoryConsoleView::ShowMessageBox(const std::string& text, const std::string& caption) {
  std::lock_guard<std::mutex> lock(mutex_);
  messageBoxes_.push_back(caption.empty() ? text : caption + ": " + text);
}

void MemoryConsoleView::SetPanelExpanded(bool expanded) {
  std::lock_guard<std::mutex> lock(mutex_);
  panelExpanded_ = expanded;
}

bool MemoryConsoleView::IsPanelExpanded() {
  std::lock_guard<std::mutex> lock(mutex_);
  return panelExpanded_;
}

MemoryConsoleView::Control MemoryConsoleView::GetControl(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return controls_[id];
}

std::vector<MemoryConsoleView::Row> MemoryConsoleView::Rows() {
  std::lock_guard<std::mutex> lock(mutex_);
  return rows_;
}

int MemoryConsoleView::FocusedControl() {
  std::lock_guard<std::mutex> lock(mutex_);
  return focus_;
}

std::vector<std::string> MemoryConsoleView::MessageBoxes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return messageBoxes_;
}

int MemoryConsoleView::SelectionMark() {
  std::lock_guard<std::mutex> lock(mutex_);
  return selectionMark_;
}

void MemoryConsoleView::SetRowObserver(std::function<void(int, const std::string&, int)> observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  rowObserver_ = std::move(observer);
}

void MemoryConsoleView::NotifyRow(int row) {
  std::function<void(int, const std::string&, int)> observer;
  Row copy;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!rowObserver_ || row < 0 || static_cast<std::size_t>(row) >= rows_.size()) return;
    observer = rowObserver_;
    copy = rows_[static_cast<std::size_t>(row)];
  }
  observer(row, copy.text, copy.image);
}

}  // namespace kx20
