#include "terminal_controller.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "config/settings.h"

namespace kx20::terminal {

namespace ctl = station_control;

namespace {

constexpr int kUpdateWidth = 12;
constexpr const char* kLegend =
    "Space:Start Tab:Next Enter:Press/Log F2:Configure F1:About F10:Menu Esc:Quit";
constexpr const char* kAppIconTop = ".''''.";
constexpr const char* kAppIconBottom = "|KX20|";

struct MenuEntry {
  const char* label;  // "" for a separator
  int item;           // MenuItem, -1 for a separator
};
// The system menu: the standard item, then what the window appends.
const MenuEntry kMenu[] = {
    {"Close               Esc", 0},
    {"", -1},
    {"Configure           F2", 1},
    {"", -1},
    {"About KX20 ProductionTools  F1", 2},
};
constexpr int kMenuCount = static_cast<int>(sizeof kMenu / sizeof kMenu[0]);

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else if (c != '\r') {
      line += c;
    }
  }
  lines.push_back(line);
  return lines;
}

bool IsTextField(FieldKind kind) {
  return kind == FieldKind::kEdit || kind == FieldKind::kUpperEdit ||
         kind == FieldKind::kCombo || kind == FieldKind::kPercent;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

// --- Shell ----------------------------------------------------------------------

bool TerminalShell::Perform(const std::string& verb, const std::string& file) {
  if (verb != "open") return false;
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) return false;
  request_ = file;
  return true;
}

std::optional<std::string> TerminalShell::TakeRequest() {
  std::optional<std::string> r = std::move(request_);
  request_.reset();
  return r;
}

// --- Controller --------------------------------------------------------------------

TerminalController::TerminalController(Station& station, TerminalView& view,
                                       TerminalShell& shell, Clock& clock)
    : station_(station), view_(view), shell_(shell), clock_(clock) {}

void TerminalController::Start() {
  view_.SetModalHandler([this](const TerminalView::MessageBox& box) { RunBox(box); });
  view_.SetEditHandler([this](int id, const TerminalView::Control& c) {
    if (const PanelField* field = FindPanelField(id); field != nullptr &&
                                                      field->kind == FieldKind::kCheck) {
      station_.OnCheckEdited(id, c.checked);
    } else {
      station_.OnTextEdited(id, c.text);
    }
  });
  station_.Initialise();
  seenClears_ = view_.ClearCount();
}

void TerminalController::SetModalLoop(std::function<void()> loop) { modalLoop_ = std::move(loop); }

void TerminalController::SetScreenSize(int width, int height) {
  width_ = width;
  height_ = height;
  if (viewerOpen_) ViewerScroll(0);
}

void TerminalController::RunBox(const TerminalView::MessageBox& box) {
  boxes_.push_back(Box{box});
  const std::size_t depth = boxes_.size();
  // The nested loop returns once this box (and any opened above it) is gone.
  while (boxes_.size() >= depth && !quit_) {
    if (!modalLoop_) {
      boxes_.resize(depth - 1);
      break;
    }
    modalLoop_();
  }
  if (boxes_.size() >= depth) boxes_.resize(depth - 1);
}

// --- Timer and messages ----------------------------------------------------------------

void TerminalController::Tick() {
  DrainStatus();
  station_.Tick();
  ViewerFollow();  // produce.log grows while the viewer is open
  const std::uint64_t clears = view_.ClearCount();
  if (clears != seenClears_) {
    seenClears_ = clears;
    // A scan rebuilt the list: without a run the bars of the last one go.
    if (!station_.RunActive() && station_.RunningWorkerCount() == 0) progress_.ClearSlots();
  }
  TakeFocusRequest();
}

void TerminalController::ApplyMessage(const WorkerStatus& message) {
  progress_.Note(message, clock_.MonotonicMs());
  station_.ApplyStatus(message);
}

int TerminalController::DrainStatus() {
  int n = 0;
  while (auto message = station_.Queue().TryTake()) {
    ApplyMessage(*message);
    ++n;
  }
  return n;
}

// --- Focus ---------------------------------------------------------------------------------

bool TerminalController::Compact() { return view_.IsPanelExpanded(); }

bool TerminalController::Focusable(int id) {
  if (id == ctl::kSlotList) return true;
  // A disabled button takes no focus: the focus leaves it when a run starts.
  if (id == ctl::kUpdate) return view_.IsVisible(id) && view_.IsEnabled(id);
  if (!view_.IsPanelExpanded()) return false;
  const PanelField* field = FindPanelField(id);
  if (field == nullptr) return false;
  const TerminalView::Control c = view_.GetControl(id);
  return c.visible && c.enabled;
}

std::vector<int> TerminalController::FocusOrder() {
  std::vector<int> order{ctl::kSlotList};
  if (Focusable(ctl::kUpdate)) order.push_back(ctl::kUpdate);
  if (view_.IsPanelExpanded()) {
    for (const PanelField& f : PanelFields()) {
      if (Focusable(f.id)) order.push_back(f.id);
    }
  }
  return order;
}

void TerminalController::SetFocusTo(int id, bool selectAll) {
  focus_ = id;
  const PanelField* field = FindPanelField(id);
  selectAll_ = selectAll && field != nullptr && IsTextField(field->kind);
}

void TerminalController::MoveFocus(int step) {
  const std::vector<int> order = FocusOrder();
  auto it = std::find(order.begin(), order.end(), focus_);
  int index = it == order.end() ? 0 : static_cast<int>(it - order.begin());
  const int n = static_cast<int>(order.size());
  index = ((index + step) % n + n) % n;
  SetFocusTo(order[static_cast<std::size_t>(index)], true);
}

void TerminalController::TakeFocusRequest() {
  const int requested = view_.TakeFocusRequest();
  // The console logic may name a control the terminal does not show (the
  // hidden "Target Device" button): the focus then stays where it is.
  if (requested != 0 && Focusable(requested)) SetFocusTo(requested, true);
  if (!Focusable(focus_)) SetFocusTo(ctl::kSlotList, false);
}

// --- Commands --------------------------------------------------------------------------------

void TerminalController::StartCommand(const std::function<void()>& start) {
  const bool fresh = station_.RunningWorkerCount() == 0;
  const std::size_t before = fresh ? 0 : station_.RunStarts().size();
  start();
  const std::vector<StartedWorker>& starts = station_.RunStarts();
  if (fresh && !starts.empty()) {
    progress_.ClearSlots();
    progress_.BeginRun();
  }
  const std::uint64_t now = clock_.MonotonicMs();
  for (std::size_t i = before; i < starts.size(); ++i) progress_.Started(starts[i].row, now);
  TakeFocusRequest();
}

void TerminalController::PressUpdate() {
  if (!view_.IsEnabled(ctl::kUpdate)) return;
  StartCommand([this] {
    station_.OnUpdateButtonState(kButtonStatePushed | kButtonStateFocus);
    station_.OnUpdateButtonState(kButtonStateFocus);
  });
}

void TerminalController::OpenLog() {
  station_.OpenProductionLog();
  const std::optional<std::string> path = shell_.TakeRequest();
  if (!path) return;  // no log yet: nothing is shown
  std::ifstream in(*path, std::ios::binary);
  if (!in) return;
  viewerPath_ = *path;
  viewerLines_.clear();
  viewerBytes_ = 0;
  ViewerReadNewLines();
  viewerOpen_ = true;
  viewerPrompt_ = false;
  viewerNote_.clear();
  viewerHit_ = -1;
  viewerTop_ = static_cast<int>(viewerLines_.size());  // the newest records are at the end
  ViewerScroll(0);
}

void TerminalController::ToggleConfigure() {
  station_.ToggleSettingsPanel();
  if (view_.IsPanelExpanded()) {
    // The focus goes to the panel's first field unless a refused value
    // already moved it.
    const int requested = view_.TakeFocusRequest();
    if (requested != 0 && Focusable(requested)) {
      SetFocusTo(requested, true);
    } else if (!FindPanelField(focus_)) {
      for (int id : FocusOrder()) {
        if (FindPanelField(id) != nullptr) {
          SetFocusTo(id, true);
          break;
        }
      }
    }
  }
  TakeFocusRequest();
}

void TerminalController::RunMenuItem(MenuItem item) {
  menuOpen_ = false;
  switch (item) {
    case MenuItem::kClose: quit_ = true; break;
    case MenuItem::kConfigure: ToggleConfigure(); break;
    case MenuItem::kAbout: station_.ShowAbout(); break;
  }
}

// --- Keys -----------------------------------------------------------------------------------------

void TerminalController::HandleKey(const KeyEvent& event) {
  if (event.key == kKeyMouse) {
    HandleMouse(event);
    return;
  }
  if (!boxes_.empty()) {
    HandleBoxKey(event);
    return;
  }
  if (TooSmall()) {
    if (event.key == kKeyEscape) quit_ = true;
    return;
  }
  if (viewerOpen_) {
    HandleViewerKey(event);
    return;
  }
  if (menuOpen_) {
    HandleMenuKey(event);
    return;
  }
  if (dropId_ != 0) {
    HandleDropKey(event);
    return;
  }
  HandleMainKey(event);
}

void TerminalController::HandleMainKey(const KeyEvent& event) {
  // The start command comes first: Space anywhere in the window starts a
  // run and is never typed into a field or passed to a button.
  if (event.key == ' ') {
    StartCommand([this] { station_.OnSpaceKeyDown(false); });
    return;
  }
  switch (event.key) {
    case kKeyEscape: quit_ = true; return;
    case kKeyF10: menuOpen_ = true; menuIndex_ = 0; return;
    case kKeyF2: ToggleConfigure(); return;
    case kKeyF1: station_.ShowAbout(); return;
    case kKeyF3: OpenLog(); return;
    case kKeyTab: MoveFocus(1); return;
    case kKeyBackTab: MoveFocus(-1); return;
    default: break;
  }
  if (!Focusable(focus_)) SetFocusTo(ctl::kSlotList, false);
  if (focus_ == ctl::kSlotList) {
    const int count = std::min(view_.RowCount(), kListRows);
    int mark = view_.SelectionMark();
    switch (event.key) {
      case kKeyEnter: OpenLog(); return;
      case kKeyLeft: mark = std::max(mark - 1, 0); break;
      case kKeyRight: mark = std::min(mark + 1, count - 1); break;
      case kKeyUp: mark = mark - kSlotColumns >= 0 ? mark - kSlotColumns : mark; break;
      case kKeyDown: mark = mark + kSlotColumns < count ? mark + kSlotColumns : mark; break;
      default: return;
    }
    if (count > 0) view_.SetSelectionMark(std::max(mark, 0));
    return;
  }
  if (focus_ == ctl::kUpdate) {
    if (event.key == kKeyEnter) PressUpdate();
    else if (event.key == kKeyUp || event.key == kKeyLeft) MoveFocus(-1);
    else if (event.key == kKeyDown || event.key == kKeyRight) MoveFocus(1);
    return;
  }
  if (const PanelField* field = FindPanelField(focus_)) HandleFieldKey(*field, event);
}

void TerminalController::HandleFieldKey(const PanelField& field, const KeyEvent& event) {
  const int id = field.id;
  switch (field.kind) {
    case FieldKind::kCheck:
      if (event.key == kKeyEnter) view_.ToggleCheck(id);
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
      if (selectAll_) view_.ReplaceText(id, "");
      else view_.EraseLastChar(id);
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
    if (selectAll_) view_.ReplaceText(id, "");
    selectAll_ = false;
    view_.TypeChar(id, static_cast<char>(event.key));  // stops at the typing limit
  }
}

void TerminalController::StepCombo(int id, int step) {
  const TerminalView::Control c = view_.GetControl(id);
  if (c.entries.empty()) return;
  const auto it = std::find(c.entries.begin(), c.entries.end(), c.text);
  int index = 0;
  if (it != c.entries.end()) {
    index = std::clamp(static_cast<int>(it - c.entries.begin()) + step, 0,
                       static_cast<int>(c.entries.size()) - 1);
  }
  view_.ReplaceText(id, c.entries[static_cast<std::size_t>(index)]);
  selectAll_ = true;
}

void TerminalController::OpenDropList(int id) {
  const TerminalView::Control c = view_.GetControl(id);
  if (c.entries.empty()) return;
  dropId_ = id;
  const auto it = std::find(c.entries.begin(), c.entries.end(), c.text);
  dropIndex_ = it == c.entries.end() ? 0 : static_cast<int>(it - c.entries.begin());
}

void TerminalController::HandleDropKey(const KeyEvent& event) {
  const TerminalView::Control c = view_.GetControl(dropId_);
  const int n = static_cast<int>(c.entries.size());
  switch (event.key) {
    case kKeyUp: dropIndex_ = std::max(dropIndex_ - 1, 0); break;
    case kKeyDown: dropIndex_ = std::min(dropIndex_ + 1, n - 1); break;
    case kKeyEnter:
      if (dropIndex_ >= 0 && dropIndex_ < n) {
        view_.ReplaceText(dropId_, c.entries[static_cast<std::size_t>(dropIndex_)]);
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

// --- Mouse ---------------------------------------------------------------------------------------------

void TerminalController::HandleMouse(const KeyEvent& event) {
  const bool click = event.mouse == MouseAction::kClick || event.mouse == MouseAction::kPress;
  if (!boxes_.empty()) {
    if ((click || event.mouse == MouseAction::kDoubleClick) && BoxOkRect().Contains(event.y, event.x)) {
      boxes_.pop_back();
    }
    return;
  }
  if (TooSmall() || viewerOpen_) return;
  if (menuOpen_) {
    if (!click) return;
    const Rect r = MenuRect();
    const int i = event.y - r.y - 1;
    if (r.Contains(event.y, event.x) && i >= 0 && i < kMenuCount && kMenu[i].item >= 0) {
      RunMenuItem(static_cast<MenuItem>(kMenu[i].item));
    } else {
      menuOpen_ = false;
    }
    return;
  }
  if (dropId_ != 0) {
    if (!click) return;
    const Rect r = DropRect();
    const int i = event.y - r.y - 1;
    const TerminalView::Control c = view_.GetControl(dropId_);
    if (r.Contains(event.y, event.x) && i >= 0 && i < static_cast<int>(c.entries.size())) {
      view_.ReplaceText(dropId_, c.entries[static_cast<std::size_t>(i)]);
    }
    dropId_ = 0;
    return;
  }

  // The "Update" button: held down while the mouse button is.
  if (UpdateRect().Contains(event.y, event.x)) {
    if (!view_.IsEnabled(ctl::kUpdate)) return;
    SetFocusTo(ctl::kUpdate, false);
    if (event.mouse == MouseAction::kPress) {
      StartCommand([this] { station_.OnUpdateButtonState(kButtonStatePushed | kButtonStateFocus); });
    } else if (event.mouse == MouseAction::kRelease) {
      station_.OnUpdateButtonState(kButtonStateFocus);
    } else if (event.mouse == MouseAction::kClick) {
      PressUpdate();
    }
    return;
  }
  if (event.y == 0 && event.x < 3 && event.mouse == MouseAction::kClick) {
    menuOpen_ = true;  // the caption's system-menu corner
    menuIndex_ = 0;
    return;
  }

  // The slot list.
  const bool compact = Compact();
  if (event.y >= 1 && event.y < ListBottom(compact)) {
    SetFocusTo(ctl::kSlotList, false);
    const int count = std::min(view_.RowCount(), kListRows);
    for (int row = 0; row < count; ++row) {
      const SlotCellPos p = SlotCellPosition(row, compact);
      if (event.y >= p.y && event.y < p.y + 2 && event.x >= p.x && event.x < p.x + kSlotCellWidth) {
        view_.SetSelectionMark(row);
      }
    }
    if (event.mouse == MouseAction::kDoubleClick) OpenLog();
    return;
  }

  if (!view_.IsPanelExpanded() || !click) return;
  const int top = PanelTop();
  for (const PanelField& f : PanelFields()) {
    if (event.y != top + f.line) continue;
    const int left = f.kind == FieldKind::kCheck ? std::min(f.x, f.labelX) : f.x;
    const int right = f.kind == FieldKind::kCheck
                          ? std::max(f.x + f.width, f.labelX + static_cast<int>(std::string(f.label).size()))
                          : f.x + f.width;
    if (event.x < left || event.x >= right || !Focusable(f.id)) continue;
    SetFocusTo(f.id, true);
    if (f.kind == FieldKind::kCheck) view_.SetCheck(f.id, !view_.GetCheck(f.id));
    if (f.kind == FieldKind::kButton) {
      station_.SaveConfigure();
      TakeFocusRequest();
    }
    if (f.kind == FieldKind::kCombo && event.x == f.x + f.width - 1) OpenDropList(f.id);
    return;
  }
}

// --- Drawing ----------------------------------------------------------------------------------------------

TerminalController::Rect TerminalController::UpdateRect() {
  return {ListBottom(Compact()), kMinWidth - kUpdateWidth - 2, 3, kUpdateWidth};
}

TerminalController::Rect TerminalController::MenuRect() const { return {1, 0, kMenuCount + 2, 34}; }

TerminalController::Rect TerminalController::DropRect() const {
  const PanelField* f = FindPanelField(dropId_);
  if (f == nullptr) return {};
  int n = static_cast<int>(const_cast<TerminalView&>(view_).GetControl(dropId_).entries.size());
  int y = PanelTop() + f->line + 1;
  n = std::min(n, std::max(height_ - y - 2, 3));
  if (y + n + 2 > height_) y = std::max(PanelTop() + f->line - n - 2, 0);
  return {y, f->x, n + 2, std::max(f->width, 8) + 2};
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

void TerminalController::Render(Canvas& canvas) {
  cursor_.reset();
  TakeFocusRequest();
  if (TooSmall()) {
    char size[48];
    std::snprintf(size, sizeof size, "This one is %d x %d.", width_, height_);
    const std::string lines[] = {"Terminal too small:", "the KX20 station needs", "at least 80 x 24.",
                                 size, "Enlarge it, or press", "Esc to quit."};
    const int y = std::max(height_ / 2 - 3, 0);
    for (int i = 0; i < 6; ++i) canvas.Put(y + i, 0, lines[i], Style::kNormal);
    return;
  }
  if (viewerOpen_) {
    RenderViewer(canvas);
  } else {
    RenderMain(canvas);
    if (menuOpen_) RenderMenu(canvas);
    if (dropId_ != 0) RenderDropList(canvas);
  }
  if (!boxes_.empty()) RenderBox(canvas);
}

void TerminalController::RenderMain(Canvas& canvas) {
  const bool compact = Compact();
  canvas.Fill(0, 0, width_, ' ', Style::kCaption);
  canvas.Put(0, 0, "=", Style::kCaption);  // the system-menu corner
  canvas.Put(0, 2, kWindowCaption, Style::kCaption, kMinWidth - 2);

  // The slot list.
  const int bottom = ListBottom(compact);
  const bool listFocus = focus_ == ctl::kSlotList && boxes_.empty() && !menuOpen_;
  canvas.Frame(1, 0, bottom - 1, kMinWidth, Style::kFrame);
  const std::vector<TerminalView::Row> rows = view_.Rows();
  const int mark = view_.SelectionMark();
  const std::uint64_t now = clock_.MonotonicMs();
  for (int row = 0; row < static_cast<int>(rows.size()) && row < kListRows; ++row) {
    const SlotCellPos p = SlotCellPosition(row, compact);
    const TerminalView::Row& r = rows[static_cast<std::size_t>(row)];
    const StateImage image = StateImageFor(r.image);
    canvas.Put(p.y, p.x, image.top, image.topStyle);
    canvas.Put(p.y + 1, p.x, image.bottom, image.style);
    Style textStyle = Style::kRowText;
    if (row == mark) textStyle = listFocus ? Style::kRowSelectedFocus : Style::kRowSelected;
    canvas.Put(p.y, p.x + kImageWidth + 1, r.text, textStyle, kRowTextWidth);
    const SlotProgress& slot = progress_.Slot(row);
    const std::string line = ProgressLine(slot, now);
    if (!line.empty()) {
      const Style barStyle = slot.verdict == SlotProgress::Verdict::kFail ? Style::kBarFailed
                             : slot.verdict == SlotProgress::Verdict::kPass ? Style::kBarDone
                                                                            : Style::kBarTodo;
      canvas.Put(p.y + 1, p.x + kImageWidth + 1, line, barStyle);
    }
  }
  if (listFocus && mark >= 0 && mark < kListRows && mark < static_cast<int>(rows.size())) {
    const SlotCellPos p = SlotCellPosition(mark, compact);
    cursor_ = std::make_pair(p.y, p.x + kImageWidth + 1);
  }

  // The source image lines and the "Update" button.
  const TerminalView::Control disk = view_.GetControl(ctl::kDiskInfo);
  const TerminalView::Control rom = view_.GetControl(ctl::kRomInfo);
  if (disk.visible) canvas.Put(bottom, 1, disk.text, Style::kLabel, 62);
  if (rom.visible) canvas.Put(bottom + 1, 1, rom.text, Style::kLabel, 62);
  const TerminalView::Control update = view_.GetControl(ctl::kUpdate);
  if (update.visible) {
    const Rect u = UpdateRect();
    const bool focused = focus_ == ctl::kUpdate && boxes_.empty() && !menuOpen_;
    if (update.enabled) {
      const Style s = focused ? Style::kButtonFocus : Style::kButton;
      canvas.Put(u.y, u.x, "+----------+", Style::kButton);
      canvas.Put(u.y + 1, u.x, focused ? "| >Update< |" : "|  Update  |", s);
      canvas.Put(u.y + 2, u.x, "+----------+", Style::kButton);
    } else {
      canvas.Put(u.y, u.x, "+. . . . . +", Style::kButtonDisabled);
      canvas.Put(u.y + 1, u.x, ":  Update  :", Style::kButtonDisabled);
      canvas.Put(u.y + 2, u.x, "+ . . . . .+", Style::kButtonDisabled);
    }
  }

  if (view_.IsPanelExpanded()) RenderPanel(canvas);

  // The counts and the legend.
  char status[160];
  std::snprintf(status, sizeof status,
                "Run: %d running, %d passed, %d failed   Session: %d passed, %d failed",
                progress_.RunRunning(), progress_.RunPassed(), progress_.RunFailed(),
                progress_.SessionPassed(), progress_.SessionFailed());
  canvas.Fill(height_ - 2, 0, width_, ' ', Style::kStatus);
  canvas.Put(height_ - 2, 0, status, Style::kStatus);
  canvas.Fill(height_ - 1, 0, width_, ' ', Style::kLegend);
  canvas.Put(height_ - 1, 0, kLegend, Style::kLegend);
}

void TerminalController::RenderPanel(Canvas& canvas) {
  const int top = PanelTop();
  canvas.Frame(top, 0, 7, 38, Style::kFrame, "CID Info ");
  canvas.Frame(top, 38, 5, 42, Style::kFrame, "CSD Info");
  canvas.Frame(top + 5, 38, 3, 42, Style::kFrame, "Other Info");

  const bool active = boxes_.empty() && !menuOpen_ && dropId_ == 0;
  for (const PanelField& f : PanelFields()) {
    const TerminalView::Control c = view_.GetControl(f.id);
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

void TerminalController::RenderDropList(Canvas& canvas) {
  const Rect r = DropRect();
  const TerminalView::Control c = view_.GetControl(dropId_);
  for (int i = 0; i < r.h; ++i) canvas.Fill(r.y + i, r.x, r.w, ' ', Style::kBox);
  canvas.Frame(r.y, r.x, r.h, r.w, Style::kBox);
  const int visible = r.h - 2;
  const int first = std::clamp(dropIndex_ - visible + 1, 0, std::max(static_cast<int>(c.entries.size()) - visible, 0));
  for (int i = 0; i < visible && first + i < static_cast<int>(c.entries.size()); ++i) {
    const int index = first + i;
    const Style s = index == dropIndex_ ? Style::kMenuSelected : Style::kBox;
    canvas.Fill(r.y + 1 + i, r.x + 1, r.w - 2, ' ', s);
    canvas.Put(r.y + 1 + i, r.x + 1, (index == dropIndex_ ? ">" : " ") + c.entries[static_cast<std::size_t>(index)], s, r.w - 2);
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
