// The settings panel's widgets: its fields' keys, drop-downs, and drawing.
#include "app/terminal/terminal_controller.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/terminal/terminal_widgets.h"
#include "config/settings.h"

namespace kx20::terminal {

namespace ctl = station_control;
using namespace widgets;

void TerminalController::HandleFieldKey(const PanelField& field, const KeyEvent& event) {
  const int id = field.id;
  switch (field.kind) {
    case FieldKind::kCheck:
      if (event.key == kKeyEnter) ToggleCheck(id);
      else if (event.key == kKeyUp) MoveFocus(-1);
      else if (event.key == kKeyDown) MoveFocus(1);
      return;
    case FieldKind::kButton:
      if (event.key == kKeyEnter) {
        station_.SaveConfigure();
        TakeFocusRequest();
      } else if (event.key == kKeyUp) {
        MoveFocus(-1);
      } else if (event.key == kKeyDown) {
        MoveFocus(1);
      }
      return;
    default:
      break;
  }
  // Edits and drop-downs.
  switch (event.key) {
    case kKeyEnter: MoveFocus(1); return;
    case kKeyBackspace:
    case kKeyDelete:
      if (selectAll_) EditText(id, "");
      else EditText(id, ErasedText(Model().Control(id)));
      selectAll_ = false;
      return;
    case kKeyLeft:
    case kKeyRight:
    case kKeyHome:
    case kKeyEnd:
      selectAll_ = false;
      return;
    case kKeyUp:
    case kKeyDown:
      if (field.kind == FieldKind::kCombo) {
        StepCombo(id, event.key == kKeyDown ? 1 : -1);
      } else {
        MoveFocus(event.key == kKeyDown ? 1 : -1);
      }
      return;
    case kKeyF4:
      if (field.kind == FieldKind::kCombo) OpenDropList(id);
      return;
    default:
      break;
  }
  if (event.key > ' ' && event.key < 0x7F) {
    if (selectAll_) EditText(id, "");
    selectAll_ = false;
    TypeChar(id, static_cast<char>(event.key));  // stops at the typing limit
  }
}

void TerminalController::StepCombo(int id, int step) {
  const ControlModel c = Model().Control(id);
  const std::vector<std::string> entries = ShownEntries(id, c);
  if (entries.empty()) return;
  const auto it = std::find(entries.begin(), entries.end(), c.text);
  int index = 0;
  if (it != entries.end()) {
    index = std::clamp(static_cast<int>(it - entries.begin()) + step, 0,
                       static_cast<int>(entries.size()) - 1);
  }
  EditText(id, ReplacedText(id, c, entries[static_cast<std::size_t>(index)]));
  selectAll_ = true;
}

void TerminalController::OpenDropList(int id) {
  const ControlModel c = Model().Control(id);
  const std::vector<std::string> entries = ShownEntries(id, c);
  if (entries.empty()) return;
  dropId_ = id;
  const auto it = std::find(entries.begin(), entries.end(), c.text);
  dropIndex_ = it == entries.end() ? 0 : static_cast<int>(it - entries.begin());
}

void TerminalController::HandleDropKey(const KeyEvent& event) {
  const ControlModel c = Model().Control(dropId_);
  const std::vector<std::string> entries = ShownEntries(dropId_, c);
  const int n = static_cast<int>(entries.size());
  switch (event.key) {
    case kKeyUp: dropIndex_ = std::max(dropIndex_ - 1, 0); break;
    case kKeyDown: dropIndex_ = std::min(dropIndex_ + 1, n - 1); break;
    case kKeyEnter:
      if (dropIndex_ >= 0 && dropIndex_ < n) {
        EditText(dropId_, ReplacedText(dropId_, c, entries[static_cast<std::size_t>(dropIndex_)]));
      }
      dropId_ = 0;
      selectAll_ = true;
      break;
    case kKeyEscape:
    case kKeyF4:
      dropId_ = 0;
      break;
    default:
      break;
  }
}


TerminalController::Rect TerminalController::DropRect() const {
  const PanelField* f = FindPanelField(dropId_);
  if (f == nullptr) return {};
  int n = static_cast<int>(Model().Control(dropId_).comboEntries.size());
  int y = PanelTop() + f->line + 1;
  n = std::min(n, std::max(height_ - y - 2, 3));
  if (y + n + 2 > height_) y = std::max(PanelTop() + f->line - n - 2, 0);
  return {y, f->x, n + 2, std::max(f->width, 8) + 2};
}


void TerminalController::RenderPanel(Canvas& canvas) {
  const int top = PanelTop();
  canvas.Frame(top, 0, 7, 38, Style::kFrame, "CID Info ");
  canvas.Frame(top, 38, 5, 42, Style::kFrame, "CSD Info");
  canvas.Frame(top + 5, 38, 3, 42, Style::kFrame, "Other Info");

  const bool active = boxes_.empty() && !menuOpen_ && dropId_ == 0;
  for (const PanelField& f : PanelFields()) {
    const ControlModel c = Model().Control(f.id);
    if (!c.visible) continue;
    const int y = top + f.line;
    const bool focused = active && focus_ == f.id;
    const Style fieldStyle =
        !c.enabled ? Style::kFieldDisabled : focused ? Style::kFieldFocus : Style::kField;
    switch (f.kind) {
      case FieldKind::kCheck:
        canvas.Put(y, f.x, c.checked ? "[x]" : "[ ]", fieldStyle);
        canvas.Put(y, f.labelX, f.label, focused ? Style::kFieldFocus : Style::kLabel);
        if (focused) cursor_ = std::make_pair(y, f.x + 1);
        break;
      case FieldKind::kButton: {
        const std::string caption = std::string("< ") + f.label + " >";
        canvas.Put(y, f.x, caption,
                   !c.enabled ? Style::kButtonDisabled : focused ? Style::kButtonFocus : Style::kButton);
        if (focused) cursor_ = std::make_pair(y, f.x + 2);
        break;
      }
      case FieldKind::kPercent: {
        std::string text = c.text.substr(0, static_cast<std::size_t>(f.width));
        if (focused && selectAll_) {
          canvas.Put(y, f.x, std::string(static_cast<std::size_t>(f.width - static_cast<int>(text.size())), '_'), fieldStyle);
          canvas.Put(y, f.x + f.width - static_cast<int>(text.size()), text, Style::kRowSelectedFocus);
        } else {
          const std::string shown =
              std::string(static_cast<std::size_t>(f.width - static_cast<int>(text.size())), '_') + text;
          canvas.Put(y, f.x, shown, fieldStyle);
        }
        canvas.Put(y, f.x + f.width, "%", Style::kLabel);
        if (focused) cursor_ = std::make_pair(y, f.x + f.width - 1);
        break;
      }
      default: {
        if (f.label[0] != '\0') canvas.Put(y, f.labelX, f.label, Style::kLabel);
        const int area = f.kind == FieldKind::kCombo ? f.width - 1 : f.width;
        // A text longer than the field shows its end while it is being typed.
        std::string text = c.text;
        if (static_cast<int>(text.size()) > area) {
          text = focused ? text.substr(text.size() - static_cast<std::size_t>(area))
                         : text.substr(0, static_cast<std::size_t>(area));
        }
        std::string shown = text + std::string(static_cast<std::size_t>(area - static_cast<int>(text.size())), '_');
        canvas.Put(y, f.x, shown, fieldStyle);
        if (focused && selectAll_ && !text.empty()) canvas.Put(y, f.x, text, Style::kRowSelectedFocus);
        if (f.kind == FieldKind::kCombo) canvas.Put(y, f.x + area, "v", fieldStyle);
        if (focused) cursor_ = std::make_pair(y, f.x + std::min(static_cast<int>(text.size()), area - 1));
        break;
      }
    }
  }
}


void TerminalController::RenderDropList(Canvas& canvas) {
  const Rect r = DropRect();
  const std::vector<std::string> entries = ShownEntries(dropId_, Model().Control(dropId_));
  for (int i = 0; i < r.h; ++i) canvas.Fill(r.y + i, r.x, r.w, ' ', Style::kBox);
  canvas.Frame(r.y, r.x, r.h, r.w, Style::kBox);
  const int visible = r.h - 2;
  const int first = std::clamp(dropIndex_ - visible + 1, 0, std::max(static_cast<int>(entries.size()) - visible, 0));
  for (int i = 0; i < visible && first + i < static_cast<int>(entries.size()); ++i) {
    const int index = first + i;
    const Style s = index == dropIndex_ ? Style::kMenuSelected : Style::kBox;
    canvas.Fill(r.y + 1 + i, r.x + 1, r.w - 2, ' ', s);
    canvas.Put(r.y + 1 + i, r.x + 1, (index == dropIndex_ ? ">" : " ") + entries[static_cast<std::size_t>(index)], s, r.w - 2);
  }
}

}  // namespace kx20::terminal
