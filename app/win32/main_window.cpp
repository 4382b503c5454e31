#include "app/win32/main_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <string>
#include <thread>

#include "app/station_report.h"
#include "app/win32/auto_clicker.h"
#include "app/win32/wide_text.h"
#include "production/status_message.h"

namespace kx20 {
namespace {

namespace ctl = station_control;

constexpr int kMainTemplate = 102;
constexpr int kAboutTemplate = 100;
constexpr int kAboutString = 101;
constexpr int kConfigureString = 102;
constexpr int kAppIcon = 128;

// The state image list: icon resource per image index.
constexpr int kStateIcons[] = {131, 135, 136, 134, 144, 143, 141, 142, 149};

struct ButtonIcon {
  int control;
  int icon;
};
constexpr ButtonIcon kButtonIcons[] = {
    {ctl::kUpdate, 129}, {ctl::kTargetDevice, 130}, {ctl::kEmpty, 132},
    {ctl::kSaveConfigure, 146}, {ctl::kSourceFile, 133}};

struct Tool {
  int control;
  const char* text;
};
constexpr Tool kTools[] = {{ctl::kTargetDevice, "Scan Device"},
                           {ctl::kSourceFile, "Configure"},
                           {ctl::kEmpty, "Earse Device Code Flash"},
                           {ctl::kUpdate, "Write Device"},
                           {ctl::kSaveConfigure, "Save"}};

std::string ControlText(HWND control) {
  if (control == nullptr) return {};
  const int length = GetWindowTextLengthA(control);
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  const int n = GetWindowTextA(control, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(n > 0 ? n : 0));
  return text;
}

// A drop-down's chosen entry (while CBN_SELCHANGE is handled the window text
// is still the old one).
std::string SelectedEntry(HWND combo) {
  const LRESULT index = SendMessageA(combo, CB_GETCURSEL, 0, 0);
  if (index == CB_ERR) return {};
  const LRESULT length = SendMessageA(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(index),
               reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// The check boxes whose state the data exchange reads.
bool IsCheckBox(int id) {
  switch (id) {
    case ctl::kCodeFlashOption:
    case ctl::kEepromOption:
    case settings_control::kChangeSerialNumber:
    case settings_control::kRwTest:
    case settings_control::kEraseFlash:
      return true;
    default:
      return false;
  }
}

HICON LoadIconSized(HINSTANCE instance, int id, int width, int height) {
  return static_cast<HICON>(
      LoadImageA(instance, MAKEINTRESOURCEA(id), IMAGE_ICON, width, height, LR_DEFAULTCOLOR));
}

}  // namespace

bool ShellExecuteShell::Perform(const std::string& verb, const std::string& file) {
  const HINSTANCE result =
      ShellExecuteA(nullptr, verb.c_str(), file.c_str(), nullptr, nullptr, SW_SHOW);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

MainWindow::MainWindow(HINSTANCE instance, Station& station, Win32ConsoleView& view,
                       MainWindowOptions options)
    : instance_(instance), station_(station), view_(view), options_(options) {
  appIcon_ = LoadIconSized(instance_, kAppIcon, GetSystemMetrics(SM_CXICON),
                           GetSystemMetrics(SM_CYICON));
  appIconSmall_ = LoadIconSized(instance_, kAppIcon, GetSystemMetrics(SM_CXSMICON),
                                GetSystemMetrics(SM_CYSMICON));
}

bool MainWindow::RunModal() {
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  window_ = CreateDialogParamA(instance_, MAKEINTRESOURCEA(kMainTemplate), nullptr, DialogProc,
                               reinterpret_cast<LPARAM>(this));
  if (window_ == nullptr) return false;

  while (!ended_) {
    MSG message;
    const BOOL got = GetMessageA(&message, nullptr, 0, 0);
    if (got == 0 || got == -1) break;
    if (!PreTranslate(message) && !(!ended_ && IsDialogMessageA(window_, &message))) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    if (!ended_) view_.FlushRowTrace();
  }
  return true;
}

bool MainWindow::PreTranslate(MSG& message) {
  if (ended_) return false;
  // The start command: Space anywhere in the window's thread ...
  if (message.message == WM_KEYDOWN && message.wParam == VK_SPACE) {
    station_.OnSpaceKeyDown((message.lParam & (1L << 30)) != 0);
    return true;
  }
  // A run disables the controls, and the one that had the focus takes it
  // with it: with no control focused, keys reach the window as system keys,
  // which the dialog manager does not turn into its commands. Escape still
  // closes the window (asking first during a run); Alt+Escape stays the
  // system's.
  if ((message.message == WM_KEYDOWN || message.message == WM_SYSKEYDOWN) &&
      message.wParam == VK_ESCAPE && (message.lParam & (1L << 29)) == 0 && GetFocus() == nullptr &&
      GetActiveWindow() == window_) {
    SendMessageA(window_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    return true;
  }
  // ... or the "Update" button held down.
  const HWND update = GetDlgItem(window_, ctl::kUpdate);
  station_.OnUpdateButtonState(static_cast<int>(SendMessageA(update, BM_GETSTATE, 0, 0)));
  if (ended_) return false;

  if (message.message == kWorkerStatusMessage && message.hwnd == window_) {
    station_.ApplyStatus(UnpackStatus(message.wParam, message.lParam));
    return true;
  }

  // The tooltip relay.
  if (toolTip_ != nullptr && (message.hwnd == window_ || IsChild(window_, message.hwnd))) {
    SendMessageA(toolTip_, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&message));
  }
  return false;
}

INT_PTR CALLBACK MainWindow::DialogProc(HWND dialog, UINT message, WPARAM wParam,
                                        LPARAM lParam) {
  MainWindow* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<MainWindow*>(lParam);
    SetWindowLongPtrA(dialog, DWLP_USER, lParam);
    self->window_ = dialog;
  } else {
    self = reinterpret_cast<MainWindow*>(GetWindowLongPtrA(dialog, DWLP_USER));
  }
  if (self == nullptr) return FALSE;
  return self->Handle(message, wParam, lParam);
}

INT_PTR MainWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      Initialise();
      return TRUE;  // the dialog manager sets the initial focus

    case WM_SYSCOMMAND:
      if (wParam == kCommandConfigure) {
        station_.ToggleSettingsPanel();
        return TRUE;
      }
      if ((wParam & 0xFFF0) == kCommandAbout) {
        ShowAbout();
        return TRUE;
      }
      return FALSE;

    case WM_PAINT:
      if (IsIconic(window_)) {
        PaintMinimised();
        return TRUE;
      }
      return FALSE;

    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(appIcon_);

    case WM_MOUSEMOVE:
      if (toolTip_ == nullptr) CreateTooltips();
      return FALSE;

    case WM_TIMER:
      // The end of a run: the system's default sound.
      if (station_.Tick() && !options_.quiet) MessageBeep(MB_OK);
      ShowCaptionNote();
      return TRUE;

    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      const int code = HIWORD(wParam);
      if (id == IDCANCEL) {
        if (ConfirmClose()) End();
        return TRUE;
      }
      // The operator's edits go to the station's model as they happen (a
      // program's change of an edit comes back the same way, with the text
      // the control really took).
      if (code == EN_CHANGE || code == CBN_EDITCHANGE) {
        station_.OnTextEdited(id, ControlText(GetDlgItem(window_, id)));
        return TRUE;
      }
      if (code == CBN_SELCHANGE) {
        station_.OnTextEdited(id, SelectedEntry(GetDlgItem(window_, id)));
        return TRUE;
      }
      if (code != BN_CLICKED) return FALSE;
      if (IsCheckBox(id)) {
        station_.OnCheckEdited(
            id, SendMessageA(GetDlgItem(window_, id), BM_GETCHECK, 0, 0) == BST_CHECKED);
        return TRUE;
      }
      switch (id) {
        case ctl::kTargetDevice: station_.ScanDevices(); return TRUE;
        case ctl::kEmpty: station_.OnEmptyButton(); return TRUE;
        case ctl::kSourceFile: station_.ToggleSettingsPanel(); return TRUE;
        case ctl::kSaveConfigure: station_.SaveConfigure(); return TRUE;
        case ctl::kSize256K: station_.OnCodeFlashSize(true); return TRUE;
        case ctl::kSize512K: station_.OnCodeFlashSize(false); return TRUE;
        default: return TRUE;  // "OK" and "Update": nothing
      }
    }

    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (header->idFrom == static_cast<UINT_PTR>(ctl::kSlotList) && header->code == NM_DBLCLK) {
        station_.OpenProductionLog();
        SetWindowLongPtrA(window_, DWLP_MSGRESULT, 0);
        return TRUE;
      }
      if (header->idFrom == static_cast<UINT_PTR>(ctl::kSlotList) &&
          header->code == LVN_GETINFOTIPA) {
        ShowSlotTip(*reinterpret_cast<NMLVGETINFOTIPA*>(lParam));
        return TRUE;
      }
      return FALSE;
    }

    case kWorkerStatusMessage: {
      // Normally consumed by the pre-filter; this catches the ones a nested
      // loop (a message box, the About box) dispatches straight to the
      // window, so no row update is lost.
      station_.ApplyStatus(UnpackStatus(wParam, lParam));
      return TRUE;
    }

    case WM_CLOSE:
      if (ConfirmClose()) End();
      return TRUE;

    case WM_ENDSESSION:
      // Windows is ending the session and the process with it, without a
      // close: the disks under way are recorded as cut off now.
      if (wParam) station_.Shutdown();
      return TRUE;

    case WM_DESTROY:
      toolTip_ = nullptr;  // the tooltip control goes with its owner
      if (options_.statusPoster != nullptr) options_.statusPoster->SetTarget(nullptr);
      return FALSE;

    default:
      return FALSE;
  }
}

void MainWindow::Initialise() {
  view_.Attach(window_);
  view_.SetShownDifferently(
      [this](int id, const std::string& text) { station_.OnTextEdited(id, text); });
  if (options_.statusPoster != nullptr) options_.statusPoster->SetTarget(window_);
  AppendSystemMenu();
  SendMessageA(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(appIcon_));
  SendMessageA(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(appIconSmall_));

  HIMAGELIST images = ImageList_Create(24, 32, ILC_COLOR8, 0, 4);
  for (int id : kStateIcons) ImageList_AddIcon(images, LoadIconSized(instance_, id, 24, 32));
  for (const ButtonIcon& b : kButtonIcons) {
    SendDlgItemMessageA(window_, b.control, BM_SETIMAGE, IMAGE_ICON,
                        reinterpret_cast<LPARAM>(LoadIconSized(instance_, b.icon, 32, 32)));
  }
  SendDlgItemMessageA(window_, ctl::kSlotList, LVM_SETIMAGELIST, LVSIL_NORMAL,
                      reinterpret_cast<LPARAM>(images));
  // Slot tooltips (LVN_GETINFOTIP): the rate and time left of a disk.
  if (options_.clock != nullptr) {
    SendDlgItemMessageA(window_, ctl::kSlotList, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_INFOTIP,
                        LVS_EX_INFOTIP);
  }

  // Fixed drop-down entries, the controls' states, "512K", the collapsed
  // panel, the source image lines, the values into the controls, the scan flags.
  station_.Initialise();

  SetWindowPos(window_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
  RECT r{};
  GetWindowRect(window_, &r);
  SetWindowPos(window_, nullptr, (GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left)) / 2,
               (GetSystemMetrics(SM_CYSCREEN) - (r.bottom - r.top)) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER);
  char caption[512] = {0};
  GetWindowTextA(window_, caption, sizeof caption);
  caption_ = caption;
  ShowCaptionNote();
  SetTimer(window_, kScanTimer, kScanPeriodMs, nullptr);
  if (options_.autoClick) StartAutoClicker();
}

void MainWindow::ShowCaptionNote() {
  if (!options_.captionNote) return;
  const std::string note = options_.captionNote();
  if (note == captionNote_) return;
  captionNote_ = note;
  // The caption's own words come from the resources (ANSI code page); the
  // note names the lot and the operator, which the records hold in UTF-8.
  SetWindowTextW(window_, (WideFromCodePage(caption_, CP_ACP) + WideFromCodePage(note, CP_UTF8)).c_str());
}

void MainWindow::AppendSystemMenu() {
  HMENU menu = GetSystemMenu(window_, FALSE);
  if (menu == nullptr) return;
  char text[256];
  if (LoadStringA(instance_, kConfigureString, text, sizeof text) > 0) {
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, kCommandConfigure, text);
  }
  if (LoadStringA(instance_, kAboutString, text, sizeof text) > 0) {
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, kCommandAbout, text);
  }
}

void MainWindow::CreateTooltips() {
  toolTip_ = CreateWindowExA(0, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_,
                             nullptr, instance_, nullptr);
  if (toolTip_ == nullptr) return;
  for (const Tool& tool : kTools) {
    TTTOOLINFOA info{};
    info.cbSize = TTTOOLINFOA_V2_SIZE;  // understood by every comctl32 version
    info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    info.hwnd = window_;
    info.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(window_, tool.control));
    info.lpszText = const_cast<char*>(tool.text);
    SendMessageA(toolTip_, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&info));
  }
  SendMessageA(toolTip_, TTM_ACTIVATE, TRUE, 0);
}

void MainWindow::ShowSlotTip(NMLVGETINFOTIPA& tip) {
  if (options_.clock == nullptr || tip.pszText == nullptr || tip.cchTextMax <= 0) return;
  const StationModel& model = station_.Model();
  if (tip.iItem < 0 || tip.iItem >= model.RowCount()) return;
  const std::string text = SlotTipText(
      tip.iItem, model.rows[static_cast<std::size_t>(tip.iItem)], options_.clock->MonotonicMs());
  if (text.empty()) return;
  // The list may have put the item's own text there (when it is cut off):
  // the rate goes on a line of its own after it.
  std::string shown = tip.pszText;
  if (!shown.empty()) shown += "\r\n";
  shown += text;
  lstrcpynA(tip.pszText, shown.c_str(), tip.cchTextMax);
}

void MainWindow::PaintMinimised() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window_, &paint);
  SendMessageA(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client{};
  GetClientRect(window_, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, appIcon_);
  EndPaint(window_, &paint);
}

INT_PTR CALLBACK MainWindow::AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    EndDialog(dialog, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

void MainWindow::ShowAbout() {
  DialogBoxParamA(instance_, MAKEINTRESOURCEA(kAboutTemplate), window_, AboutProc, 0);
}

bool MainWindow::ConfirmClose() {
  const int running = station_.RunningWorkerCount();
  if (running == 0) return true;
  const std::string question = QuitDuringRunQuestion(running);
  return MessageBoxA(window_, question.c_str(), kQuitCaption,
                     MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

void MainWindow::End() {
  if (ended_) return;
  ended_ = true;
  if (options_.statusPoster != nullptr) options_.statusPoster->SetTarget(nullptr);
  view_.Detach();
  KillTimer(window_, kScanTimer);
  DestroyWindow(window_);
}

}  // namespace kx20
