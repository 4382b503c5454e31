// The system menu and the message boxes.
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

void TerminalController::HandleMenuKey(const KeyEvent& event) {
  switch (event.key) {
    case kKeyUp:
      do {
        menuIndex_ = (menuIndex_ + kMenuCount - 1) % kMenuCount;
      } while (kMenu[menuIndex_].item < 0);
      break;
    case kKeyDown:
      do {
        menuIndex_ = (menuIndex_ + 1) % kMenuCount;
      } while (kMenu[menuIndex_].item < 0);
      break;
    case kKeyEnter: RunMenuItem(static_cast<MenuItem>(kMenu[menuIndex_].item)); break;
    case 'a':
    case 'A': RunMenuItem(MenuItem::kAbout); break;
    case kKeyEscape:
    case kKeyF10: menuOpen_ = false; break;
    default: break;
  }
}

void TerminalController::HandleBoxKey(const KeyEvent& event) {
  if (event.key == kKeyEnter || event.key == kKeyEscape) boxes_.pop_back();
}


TerminalController::Rect TerminalController::BoxRect() const {
  const TerminalView::MessageBox& box = boxes_.back().box;
  const std::vector<std::string> lines = SplitLines(box.text);
  int w = static_cast<int>(box.caption.size()) + 6;
  const bool about = box.caption == kAboutCaption;
  for (const std::string& l : lines) {
    w = std::max(w, static_cast<int>(l.size()) + (about ? 12 : 4));
  }
  w = std::clamp(w, 30, width_);
  const int h = static_cast<int>(lines.size()) + (about ? 6 : 5);
  return {std::max((height_ - h) / 2, 0), std::max((width_ - w) / 2, 0), h, w};
}

TerminalController::Rect TerminalController::BoxOkRect() const {
  if (boxes_.empty()) return {};
  const Rect r = BoxRect();
  return {r.y + r.h - 2, r.x + (r.w - 8) / 2, 1, 8};
}


void TerminalController::RenderMenu(Canvas& canvas) {
  const Rect r = MenuRect();
  for (int i = 0; i < r.h; ++i) canvas.Fill(r.y + i, r.x, r.w, ' ', Style::kBox);
  canvas.Frame(r.y, r.x, r.h, r.w, Style::kBox);
  for (int i = 0; i < kMenuCount; ++i) {
    const int y = r.y + 1 + i;
    if (kMenu[i].item < 0) {
      canvas.Fill(y, r.x + 1, r.w - 2, '-', Style::kBox);
    } else {
      if (i == menuIndex_) canvas.Fill(y, r.x + 1, r.w - 2, ' ', Style::kMenuSelected);
      canvas.Put(y, r.x + 2, kMenu[i].label, i == menuIndex_ ? Style::kMenuSelected : Style::kBox);
      if (i == menuIndex_) canvas.Put(y, r.x + 1, ">", Style::kMenuSelected);
    }
  }
}


void TerminalController::RenderBox(Canvas& canvas) {
  const TerminalView::MessageBox& box = boxes_.back().box;
  const Rect r = BoxRect();
  for (int i = 0; i < r.h; ++i) canvas.Fill(r.y + i, r.x, r.w, ' ', Style::kBox);
  canvas.Frame(r.y, r.x, r.h, r.w, Style::kBox);
  canvas.Fill(r.y, r.x + 1, r.w - 2, ' ', Style::kBoxTitle);
  canvas.Put(r.y, r.x + 2, box.caption, Style::kBoxTitle, r.w - 4);
  const bool about = box.caption == kAboutCaption;
  int textX = r.x + 2;
  if (about) {
    canvas.Put(r.y + 2, r.x + 2, kAppIconTop, Style::kImageChip);
    canvas.Put(r.y + 3, r.x + 2, kAppIconBottom, Style::kImageChip);
    textX = r.x + 10;
  }
  const std::vector<std::string> lines = SplitLines(box.text);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    canvas.Put(r.y + 2 + static_cast<int>(i), textX, lines[i], Style::kBox, r.w - (textX - r.x) - 1);
  }
  const Rect ok = BoxOkRect();
  canvas.Put(ok.y, ok.x, "[  OK  ]", Style::kButtonFocus);
  cursor_ = std::make_pair(ok.y, ok.x + 3);
}

}  // namespace kx20::terminal
