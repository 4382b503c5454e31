// The terminal console's main screen: the loop's side (timer, messages, focus,
// commands, keys and mouse) and the main window's drawing.
#include "app/terminal/terminal_controller.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/station_report.h"
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
  station_.Initialise();
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
  if (station_.Tick() && !quiet_) bell_ = true;  // the end of a run
  ViewerFollow();  // produce.log grows while the viewer is open
  TakeFocusRequest();
}

void TerminalController::ApplyMessage(const WorkerStatus& message) {
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

// --- The operator's edits ---------------------------------------------------------------------

void TerminalController::EditText(int id, const std::string& text) {
  station_.OnTextEdited(id, text);
}

void TerminalController::TypeChar(int id, char ch) {
  // Stops at the typing limit.
  if (const auto text = terminal::TypedText(id, Model().Control(id), ch)) EditText(id, *text);
}

void TerminalController::ToggleCheck(int id) {
  station_.OnCheckEdited(id, !Model().Control(id).checked);
}

void TerminalController::SelectRow(int row) { station_.OnSelectionEdited(row); }

// --- Focus ---------------------------------------------------------------------------------

bool TerminalController::Focusable(int id) const {
  if (id == ctl::kSlotList) return true;
  const ControlModel c = Model().Control(id);
  // A disabled button takes no focus: the focus leaves it when a run starts.
  if (id == ctl::kUpdate) return c.visible && c.enabled;
  if (!Model().panelExpanded) return false;
  if (FindPanelField(id) == nullptr) return false;
  return c.visible && c.enabled;
}

std::vector<int> TerminalController::FocusOrder() const {
  std::vector<int> order{ctl::kSlotList};
  if (Focusable(ctl::kUpdate)) order.push_back(ctl::kUpdate);
  if (Model().panelExpanded) {
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
  start();
  TakeFocusRequest();
}

void TerminalController::PressUpdate() {
  if (!Model().Control(ctl::kUpdate).enabled) return;
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
  if (Model().panelExpanded) {
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
    const int count = std::min(Model().RowCount(), kListRows);
    int mark = Model().selectionMark;
    switch (event.key) {
      case kKeyEnter: OpenLog(); return;
      case kKeyLeft: mark = std::max(mark - 1, 0); break;
      case kKeyRight: mark = std::min(mark + 1, count - 1); break;
      case kKeyUp: mark = mark - kSlotColumns >= 0 ? mark - kSlotColumns : mark; break;
      case kKeyDown: mark = mark + kSlotColumns < count ? mark + kSlotColumns : mark; break;
      default: return;
    }
    if (count > 0) SelectRow(std::max(mark, 0));
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
    const ControlModel c = Model().Control(dropId_);
    const std::vector<std::string> entries = ShownEntries(dropId_, c);
    if (r.Contains(event.y, event.x) && i >= 0 && i < static_cast<int>(entries.size())) {
      EditText(dropId_, ReplacedText(dropId_, c, entries[static_cast<std::size_t>(i)]));
    }
    dropId_ = 0;
    return;
  }

  // The "Update" button: held down while the mouse button is.
  if (UpdateRect().Contains(event.y, event.x)) {
    if (!Model().Control(ctl::kUpdate).enabled) return;
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
    const int count = std::min(Model().RowCount(), kListRows);
    for (int row = 0; row < count; ++row) {
      const SlotCellPos p = SlotCellPosition(row, compact);
      if (event.y >= p.y && event.y < p.y + 2 && event.x >= p.x && event.x < p.x + kSlotCellWidth) {
        SelectRow(row);
      }
    }
    if (event.mouse == MouseAction::kDoubleClick) OpenLog();
    return;
  }

  if (!Model().panelExpanded || !click) return;
  const int top = PanelTop();
  for (const PanelField& f : PanelFields()) {
    if (event.y != top + f.line) continue;
    const int left = f.kind == FieldKind::kCheck ? std::min(f.x, f.labelX) : f.x;
    const int right = f.kind == FieldKind::kCheck
                          ? std::max(f.x + f.width, f.labelX + static_cast<int>(std::string(f.label).size()))
                          : f.x + f.width;
    if (event.x < left || event.x >= right || !Focusable(f.id)) continue;
    SetFocusTo(f.id, true);
    if (f.kind == FieldKind::kCheck) ToggleCheck(f.id);
    if (f.kind == FieldKind::kButton) {
      station_.SaveConfigure();
      TakeFocusRequest();
    }
    if (f.kind == FieldKind::kCombo && event.x == f.x + f.width - 1) OpenDropList(f.id);
    return;
  }
}

// --- Drawing ----------------------------------------------------------------------------------------------

TerminalController::Rect TerminalController::UpdateRect() const {
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
  const StationModel& model = Model();
  const bool compact = Compact();
  canvas.Fill(0, 0, width_, ' ', Style::kCaption);
  canvas.Put(0, 0, "=", Style::kCaption);  // the system-menu corner
  canvas.Put(0, 2, kWindowCaption, Style::kCaption, kMinWidth - 2);
  // The lot and the operator the records name, at the right end of the
  // caption (over its tail on a narrow terminal, never over the name
  // "VYN KX20 Production Tool 1.05").
  if (const std::string identity = model.RecordIdentityText(); !identity.empty()) {
    constexpr int kNameEnd = 32;
    const int x = std::max(kNameEnd, width_ - static_cast<int>(identity.size()) - 1);
    canvas.Fill(0, x - 1, width_ - x + 1, ' ', Style::kCaption);
    canvas.Put(0, x, identity, Style::kCaption, width_ - x);
  }

  // The slot list.
  const int bottom = ListBottom(compact);
  const bool listFocus = focus_ == ctl::kSlotList && boxes_.empty() && !menuOpen_;
  canvas.Frame(1, 0, bottom - 1, kMinWidth, Style::kFrame);
  const int mark = model.selectionMark;
  const std::uint64_t now = clock_.MonotonicMs();
  drawnAt_ = now;
  for (int row = 0; row < model.RowCount() && row < kListRows; ++row) {
    const SlotCellPos p = SlotCellPosition(row, compact);
    const RowModel& r = model.rows[static_cast<std::size_t>(row)];
    const StateImage image = StateImageFor(r.image);
    canvas.Put(p.y, p.x, image.top, image.topStyle);
    canvas.Put(p.y + 1, p.x, image.bottom, image.style);
    Style textStyle = Style::kRowText;
    if (row == mark) textStyle = listFocus ? Style::kRowSelectedFocus : Style::kRowSelected;
    canvas.Put(p.y, p.x + kImageWidth + 1, r.text, textStyle, kRowTextWidth);
    const std::string line = ProgressLine(r, now);
    if (!line.empty()) {
      const Style barStyle = !r.Settled()                      ? Style::kBarTodo
                             : r.verdict == StatusClass::kFail ? Style::kBarFailed
                                                               : Style::kBarDone;
      canvas.Put(p.y + 1, p.x + kImageWidth + 1, line, barStyle);
    }
  }
  if (listFocus && mark >= 0 && mark < kListRows && mark < model.RowCount()) {
    const SlotCellPos p = SlotCellPosition(mark, compact);
    cursor_ = std::make_pair(p.y, p.x + kImageWidth + 1);
  }

  // The source image lines and the "Update" button.
  const ControlModel disk = model.Control(ctl::kDiskInfo);
  const ControlModel rom = model.Control(ctl::kRomInfo);
  if (disk.visible) canvas.Put(bottom, 1, disk.text, Style::kLabel, 62);
  if (rom.visible) canvas.Put(bottom + 1, 1, rom.text, Style::kLabel, 62);
  const ControlModel update = model.Control(ctl::kUpdate);
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

  if (model.panelExpanded) RenderPanel(canvas);

  // The counts (the station's, as every front end shows them), the end of
  // the last run, and the legend.
  char status[160];
  std::snprintf(status, sizeof status,
                "Run: %d running, %d passed, %d failed   Session: %d passed, %d failed",
                model.RunRunning(), model.run.passed, model.run.failed, model.session.passed,
                model.session.failed);
  if (!station_.RunActive() && !model.panelExpanded) {
    const std::string ended = RunEndLine(model);
    if (!ended.empty()) canvas.Put(height_ - 3, 0, ended, Style::kLabel, width_);
  }
  canvas.Fill(height_ - 2, 0, width_, ' ', Style::kStatus);
  canvas.Put(height_ - 2, 0, status, Style::kStatus);
  canvas.Fill(height_ - 1, 0, width_, ' ', Style::kLegend);
  canvas.Put(height_ - 1, 0, kLegend, Style::kLegend);
}

}  // namespace kx20::terminal
