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

// --- The quit question ------------------------------------------------------

void TerminalController::RequestClose() {
  const int running = station_.RunningWorkerCount();
  if (running == 0) {
    quit_ = true;
    return;
  }
  askingQuit_ = true;
  quitText_ = QuitDuringRunQuestion(running);
  quitChoice_ = 1;  // a stray Enter must not cut disks off
}

void TerminalController::HandleQuitKey(const KeyEvent& event) {
  switch (event.key) {
    case 'y':
    case 'Y': quit_ = true; askingQuit_ = false; break;
    case 'n':
    case 'N':
    case kKeyEscape: askingQuit_ = false; break;
    case kKeyEnter:
      askingQuit_ = false;
      if (quitChoice_ == 0) quit_ = true;
      break;
    case kKeyTab:
    case kKeyBackTab:
    case kKeyLeft:
    case kKeyRight: quitChoice_ = 1 - quitChoice_; break;
    default: break;
  }
}

void TerminalController::HandleQuitMouse(const KeyEvent& event) {
  if (event.mouse != MouseAction::kClick && event.mouse != MouseAction::kPress) return;
  for (int button = 0; button < 2; ++button) {
    if (QuitButtonRect(button).Contains(event.y, event.x)) {
      askingQuit_ = false;
      if (button == 0) quit_ = true;
    }
  }
}

TerminalController::Rect TerminalController::QuitRect() const {
  const std::vector<std::string> lines = SplitLines(quitText_);
  int w = 0;
  for (const std::string& l : lines) w = std::max(w, static_cast<int>(l.size()) + 4);
  w = std::clamp(w, 34, std::max(width_, 34));
  const int h = static_cast<int>(lines.size()) + 5;
  return {std::max((height_ - h) / 2, 0), std::max((width_ - w) / 2, 0), h, w};
}

TerminalController::Rect TerminalController::QuitButtonRect(int button) const {
  const Rect r = QuitRect();
  const int y = r.y + r.h - 2;
  const int middle = r.x + r.w / 2;
  return button == 0 ? Rect{y, middle - 11, 1, 10} : Rect{y, middle + 1, 1, 10};
}

void TerminalController::RenderQuitQuestion(Canvas& canvas) {
  const Rect r = QuitRect();
  for (int i = 0; i < r.h; ++i) canvas.Fill(r.y + i, r.x, r.w, ' ', Style::kBox);
  canvas.Frame(r.y, r.x, r.h, r.w, Style::kBox);
  canvas.Fill(r.y, r.x + 1, r.w - 2, ' ', Style::kBoxTitle);
  canvas.Put(r.y, r.x + 2, kQuitCaption, Style::kBoxTitle, r.w - 4);
  const std::vector<std::string> lines = SplitLines(quitText_);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    canvas.Put(r.y + 2 + static_cast<int>(i), r.x + 2, lines[i], Style::kBox, r.w - 3);
  }
  const char* labels[2] = {"[ Quit  ]", "[ Go on ]"};
  for (int button = 0; button < 2; ++button) {
    const Rect b = QuitButtonRect(button);
    canvas.Put(b.y, b.x, labels[button], button == quitChoice_ ? Style::kButtonFocus : Style::kBox);
  }
  const Rect focused = QuitButtonRect(quitChoice_);
  cursor_ = std::make_pair(focused.y, focused.x + 2);
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
