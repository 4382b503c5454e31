// The log viewer: produce.log read as it grows, scrolling, search, drawing.
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

// --- Log viewer ------------------------------------------------------------------------------------

bool TerminalController::ViewerReadNewLines() {
  std::ifstream in(viewerPath_, std::ios::binary);
  if (!in) return false;
  in.seekg(0, std::ios::end);
  const std::uint64_t size = static_cast<std::uint64_t>(std::max<std::streamoff>(in.tellg(), 0));
  if (size < viewerBytes_) {  // replaced or cut short: read it afresh
    viewerLines_.clear();
    viewerBytes_ = 0;
  }
  if (size == viewerBytes_) return false;
  std::string text(static_cast<std::size_t>(size - viewerBytes_), '\0');
  in.seekg(static_cast<std::streamoff>(viewerBytes_));
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  // Whole lines only: a record still being written is taken once complete.
  const std::size_t end = text.rfind('\n');
  if (end == std::string::npos) return false;
  text.resize(end + 1);
  viewerBytes_ += text.size();
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t nl = text.find('\n', at);
    std::string line = text.substr(at, nl - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    viewerLines_.push_back(std::move(line));
    at = nl + 1;
  }
  return true;
}

void TerminalController::ViewerFollow() {
  if (!viewerOpen_) return;
  const int total = static_cast<int>(viewerLines_.size());
  const bool atEnd = viewerTop_ >= std::max(total - ViewerPage(), 0);
  if (!ViewerReadNewLines()) return;
  // Shown at its end: the viewer follows the newest records.
  if (atEnd) {
    viewerTop_ = static_cast<int>(viewerLines_.size());
    ViewerScroll(0);
  }
}

void TerminalController::ViewerScroll(int delta) {
  const int total = static_cast<int>(viewerLines_.size());
  const int maxTop = std::max(total - ViewerPage(), 0);
  viewerTop_ = std::clamp(viewerTop_ + delta, 0, maxTop);
}

void TerminalController::ViewerSearch(bool fromNext) {
  if (viewerQuery_.empty()) return;
  const std::string query = Lower(viewerQuery_);
  const int total = static_cast<int>(viewerLines_.size());
  const int start = fromNext && viewerHit_ >= 0 ? viewerHit_ + 1 : viewerTop_;
  for (int k = 0; k < total; ++k) {
    const int i = (start + k) % total;
    if (Lower(viewerLines_[static_cast<std::size_t>(i)]).find(query) != std::string::npos) {
      viewerHit_ = i;
      viewerNote_.clear();
      if (i < viewerTop_ || i >= viewerTop_ + ViewerPage()) {
        viewerTop_ = i;
        ViewerScroll(0);
      }
      return;
    }
  }
  viewerHit_ = -1;
  viewerNote_ = "not found: " + viewerQuery_;
}

void TerminalController::HandleViewerKey(const KeyEvent& event) {
  if (viewerPrompt_) {
    if (event.key == kKeyEnter) {
      viewerPrompt_ = false;
      viewerQuery_ = viewerInput_;
      viewerHit_ = -1;
      ViewerSearch(false);
    } else if (event.key == kKeyEscape) {
      viewerPrompt_ = false;
    } else if (event.key == kKeyBackspace) {
      if (!viewerInput_.empty()) viewerInput_.pop_back();
    } else if (event.key >= ' ' && event.key < 0x7F) {
      viewerInput_ += static_cast<char>(event.key);
    }
    return;
  }
  switch (event.key) {
    case kKeyEscape:
    case 'q':
    case 'Q':
    case kKeyF3: viewerOpen_ = false; break;
    case kKeyUp: ViewerScroll(-1); break;
    case kKeyDown:
    case kKeyEnter: ViewerScroll(1); break;
    case kKeyPageUp: ViewerScroll(-ViewerPage()); break;
    case kKeyPageDown:
    case ' ': ViewerScroll(ViewerPage()); break;
    case kKeyHome: viewerTop_ = 0; break;
    case kKeyEnd: ViewerScroll(static_cast<int>(viewerLines_.size())); break;
    case '/':
      viewerPrompt_ = true;
      viewerInput_.clear();
      break;
    case 'n': ViewerSearch(true); break;
    default: break;
  }
}


void TerminalController::RenderViewer(Canvas& canvas) {
  const int total = static_cast<int>(viewerLines_.size());
  char head[160];
  std::snprintf(head, sizeof head, " %s   lines %d-%d of %d", viewerPath_.c_str(),
                total == 0 ? 0 : viewerTop_ + 1, std::min(viewerTop_ + ViewerPage(), total), total);
  canvas.Fill(0, 0, width_, ' ', Style::kCaption);
  canvas.Put(0, 0, head, Style::kCaption);
  for (int i = 0; i < ViewerPage() && viewerTop_ + i < total; ++i) {
    const int index = viewerTop_ + i;
    canvas.Put(1 + i, 0, viewerLines_[static_cast<std::size_t>(index)],
               index == viewerHit_ ? Style::kSearchHit : Style::kNormal, width_);
  }
  canvas.Fill(height_ - 1, 0, width_, ' ', Style::kLegend);
  if (viewerPrompt_) {
    canvas.Put(height_ - 1, 0, "Search: " + viewerInput_, Style::kLegend);
    cursor_ = std::make_pair(height_ - 1, std::min(8 + static_cast<int>(viewerInput_.size()), width_ - 1));
  } else if (!viewerNote_.empty()) {
    canvas.Put(height_ - 1, 0, viewerNote_ + "   (Esc/q close)", Style::kLegend);
  } else {
    canvas.Put(height_ - 1, 0,
               "Up/Down PgUp/PgDn Home/End scroll   / search   n next   Esc/q close",
               Style::kLegend);
  }
}

}  // namespace kx20::terminal
