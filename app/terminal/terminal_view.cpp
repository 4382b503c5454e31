#include "app/terminal/terminal_view.h"

#include <algorithm>
#include <cctype>

#include "config/settings.h"

namespace kx20::terminal {


bool TerminalView::UpperCaseEdit(int id) {
  namespace sc = settings_control;
  return id == sc::kManufacturerId || id == sc::kOemApplicationId ||
         id == sc::kProductRevision || id == sc::kProductSerial || id == sc::kCardSpecificData;
}

void TerminalView::Changed() {
  std::function<void()> wake;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dirty_ = true;
    wake = wake_;
  }
  if (wake) wake();
}

void TerminalView::SetControlText(int id, const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    controls_[id].text = text;  // program-set text is not cut at the typing limit
  }
  Changed();
}

std::string TerminalView::GetControlText(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return controls_[id].text;
}

void TerminalView::SetCheck(int id, bool checked) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    controls_[id].checked = checked;
  }
  Changed();
}

bool TerminalView::GetCheck(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return controls_[id].checked;
}

void TerminalView::SetEnabled(int id, bool enabled) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Control& c = controls_[id];
    if (c.enabled == enabled) return;
    c.enabled = enabled;
  }
  Changed();
}

bool TerminalView::IsEnabled(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return controls_[id].enabled;
}

void TerminalView::SetVisible(int id, bool visible) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    controls_[id].visible = visible;
  }
  Changed();
}

bool TerminalView::IsVisible(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return controls_[id].visible;
}

void TerminalView::SetFocus(int id) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    focusRequest_ = id;
  }
  Changed();
}

void TerminalView::AddComboEntry(int id, const std::string& entry) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string>& entries = controls_[id].entries;
    namespace sc = settings_control;
    if (id == sc::kManufacturingYear || id == sc::kEcc) {
      // The sorted drop-downs keep their list in order.
      entries.insert(std::upper_bound(entries.begin(), entries.end(), entry), entry);
    } else {
      entries.push_back(entry);
    }
  }
  Changed();
}

void TerminalView::SetTextLimit(int id, int maxChars) {
  std::lock_guard<std::mutex> lock(mutex_);
  controls_[id].textLimit = std::max(maxChars, 0);
}

void TerminalView::ClearRows() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rows_.clear();
    selectionMark_ = -1;
    ++clearCount_;
  }
  Changed();
}

void TerminalView::InsertRow(int row, const std::string& text, int image) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t at = std::min(static_cast<std::size_t>(std::max(row, 0)), rows_.size());
    rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(at), Row{text, image});
  }
  Changed();
}

void TerminalView::SetRowText(int row, const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (row < 0 || row >= static_cast<int>(rows_.size())) return;
    rows_[static_cast<std::size_t>(row)].text = text;
  }
  Changed();
}

std::string TerminalView::GetRowText(int row) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (row < 0 || row >= static_cast<int>(rows_.size())) return "";
  return rows_[static_cast<std::size_t>(row)].text;
}

void TerminalView::SetRowImage(int row, int image) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (row < 0 || row >= static_cast<int>(rows_.size())) return;
    rows_[static_cast<std::size_t>(row)].image = image;
  }
  Changed();
}

int TerminalView::GetRowImage(int row) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (row < 0 || row >= static_cast<int>(rows_.size())) return -1;
  return rows_[static_cast<std::size_t>(row)].image;
}

int TerminalView::RowCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(rows_.size());
}

void TerminalView::SetSelectionMark(int row) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    selectionMark_ = row;
  }
  Changed();
}

void TerminalView::ShowMessageBox(const std::string& text, const std::string& caption) {
  const MessageBox box{text, caption};
  ModalHandler modal;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    modal = modal_;
  }
  if (modal) modal(box);
  Changed();
}

void TerminalView::SetPanelExpanded(bool expanded) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    panelExpanded_ = expanded;
  }
  Changed();
}

bool TerminalView::IsPanelExpanded() {
  std::lock_guard<std::mutex> lock(mutex_);
  return panelExpanded_;
}

void TerminalView::SetWakeCallback(std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(mutex_);
  wake_ = std::move(wake);
}

void TerminalView::SetModalHandler(ModalHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  modal_ = std::move(handler);
}

bool TerminalView::TakeDirty() {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool was = dirty_;
  dirty_ = false;
  return was;
}

TerminalView::Control TerminalView::GetControl(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return controls_[id];
}

std::vector<TerminalView::Row> TerminalView::Rows() {
  std::lock_guard<std::mutex> lock(mutex_);
  return rows_;
}

int TerminalView::SelectionMark() {
  std::lock_guard<std::mutex> lock(mutex_);
  return selectionMark_;
}

int TerminalView::TakeFocusRequest() {
  std::lock_guard<std::mutex> lock(mutex_);
  const int id = focusRequest_;
  focusRequest_ = 0;
  return id;
}

std::uint64_t TerminalView::ClearCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return clearCount_;
}

bool TerminalView::TypeChar(int id, char ch) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Control& c = controls_[id];
    if (c.textLimit > 0 && static_cast<int>(c.text.size()) >= c.textLimit) return false;
    if (UpperCaseEdit(id)) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    c.text += ch;
  }
  Changed();
  Edited(id);
  return true;
}

void TerminalView::EraseLastChar(int id) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Control& c = controls_[id];
    if (c.text.empty()) return;
    c.text.pop_back();
  }
  Changed();
  Edited(id);
}

void TerminalView::ReplaceText(int id, const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Control& c = controls_[id];
    std::string next = text;
    if (c.textLimit > 0 && static_cast<int>(next.size()) > c.textLimit) {
      next.resize(static_cast<std::size_t>(c.textLimit));
    }
    if (UpperCaseEdit(id)) {
      for (char& ch : next) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    c.text = next;
  }
  Changed();
  Edited(id);
}

void TerminalView::ToggleCheck(int id) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Control& c = controls_[id];
    c.checked = !c.checked;
  }
  Changed();
  Edited(id);
}

void TerminalView::SetEditHandler(EditHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  edit_ = std::move(handler);
}

void TerminalView::Edited(int id) {
  EditHandler edit;
  Control control;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    edit = edit_;
    control = controls_[id];
  }
  if (edit) edit(id, control);
}

}  // namespace kx20::terminal
