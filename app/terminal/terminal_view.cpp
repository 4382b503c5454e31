#include "app/terminal/terminal_view.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "config/settings.h"

namespace kx20::terminal {
namespace {

namespace sc = settings_control;

bool UpperCaseEdit(int id) {
  return id == sc::kManufacturerId || id == sc::kOemApplicationId ||
         id == sc::kProductRevision || id == sc::kProductSerial || id == sc::kCardSpecificData;
}

char Shown(int id, char ch) {
  return UpperCaseEdit(id) ? static_cast<char>(std::toupper(static_cast<unsigned char>(ch))) : ch;
}

}  // namespace

void TerminalView::ShowMessageBox(const std::string& text, const std::string& caption) {
  if (modal_) modal_(MessageBox{text, caption});
}

int TerminalView::TakeFocusRequest() { return std::exchange(focusRequest_, 0); }

std::optional<std::string> TypedText(int id, const ControlModel& control, char ch) {
  // A program-set text longer than the limit keeps its length, but the
  // operator cannot add to it.
  if (control.textLimit > 0 && static_cast<int>(control.text.size()) >= control.textLimit) {
    return std::nullopt;
  }
  return control.text + Shown(id, ch);
}

std::string ErasedText(const ControlModel& control) {
  std::string text = control.text;
  if (!text.empty()) text.pop_back();
  return text;
}

std::string ReplacedText(int id, const ControlModel& control, const std::string& text) {
  std::string next = text;
  if (control.textLimit > 0 && static_cast<int>(next.size()) > control.textLimit) {
    next.resize(static_cast<std::size_t>(control.textLimit));
  }
  for (char& ch : next) ch = Shown(id, ch);
  return next;
}

std::vector<std::string> ShownEntries(int id, const ControlModel& control) {
  std::vector<std::string> entries = control.comboEntries;
  if (id == sc::kManufacturingYear || id == sc::kEcc) {
    std::stable_sort(entries.begin(), entries.end());
  }
  return entries;
}

}  // namespace kx20::terminal
