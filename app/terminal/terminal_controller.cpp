// The terminal console's main screen: the loop's side (timer, messages, focus,
// commands, keys and mouse) and the main window's drawing.
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
    case MenuItem::kClose: RequestClose(); break;
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
  if (askingQuit_) {
    HandleQuitKey(event);
    return;
  }
  if (!boxes_.empty()) {
    HandleBoxKey(event);
    return;
  }
  if (TooSmall()) {
    if (event.key == kKeyEscape) RequestClose();
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
    case kKeyEscape: RequestClose(); return;
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


// --- Mouse ---------------------------------------------------------------------------------------------

void TerminalController::HandleMouse(const KeyEvent& event) {
  const bool click = event.mouse == MouseAction::kClick || event.mouse == MouseAction::kPress;
  if (askingQuit_) {
    HandleQuitMouse(event);
    return;
  }
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


void TerminalController::Render(Canvas& canvas) {
  cursor_.reset();
  TakeFocusRequest();
  if (askingQuit_ && TooSmall()) {
    canvas.Put(0, 0, quitText_, Style::kNormal);
    canvas.Put(1, 0, "Y: quit anyway   N: go on", Style::kNormal);
    return;
  }
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
  if (askingQuit_) RenderQuitQuestion(canvas);
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

  // The counts (the station's, as every front end shows them) and the legend.
  const StationModel& model = station_.Model();
  char status[160];
  std::snprintf(status, sizeof status,
                "Run: %d running, %d passed, %d failed   Session: %d passed, %d failed",
                model.RunRunning(), model.run.passed, model.run.failed, model.session.passed,
                model.session.failed);
  canvas.Fill(height_ - 2, 0, width_, ' ', Style::kStatus);
  canvas.Put(height_ - 2, 0, status, Style::kStatus);
  canvas.Fill(height_ - 1, 0, width_, ' ', Style::kLegend);
  canvas.Put(height_ - 1, 0, kLegend, Style::kLegend);
}

}  // namespace kx20::terminal
