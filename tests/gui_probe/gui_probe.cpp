// gui_probe: looks at the station's window from outside, for the GUI test
// under Wine. Reads only what any program may read of another's windows.
//
//   gui_probe rect ID            screen rectangles: "window L T R B" and "control L T R B"
//   gui_probe text ID            the control's text
//   gui_probe enabled ID         "1" when the control is enabled, else "0"
//   gui_probe dialogs            one line per visible dialog box of the
//                                station's process: caption, tab, its texts
//   gui_probe tooltips           the text of each visible tooltip window of
//                                the station's process, one a line
//   gui_probe menus              one line per open popup menu of the
//                                station's process
//
// The main window is found by its caption (which line mode extends with a
// note after it). Exit status 0 done, 1 not found.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kCaption[] =
    "VYN KX20 Production Tool 1.05    (Best viewed in Resolution 1024*768 Pixels) ";

std::string Text(HWND window) {
  char text[512] = {};
  // WM_GETTEXT reaches controls of other processes too.
  SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                      SMTO_ABORTIFHUNG, 2000, nullptr);
  return text;
}

struct DialogSearch {
  DWORD process;
  HWND main;
  int found;
};

BOOL CALLBACK PrintChildText(HWND child, LPARAM) {
  const std::string text = Text(child);
  if (!text.empty()) std::printf("\t%s", text.c_str());
  return TRUE;
}

bool VisibleOfClass(HWND window, const DialogSearch& search, const char* wanted) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  char cls[64] = {};
  GetClassNameA(window, cls, sizeof cls);
  return process == search.process && window != search.main &&
         lstrcmpiA(cls, wanted) == 0 && IsWindowVisible(window);
}

BOOL CALLBACK PrintTooltip(HWND window, LPARAM param) {
  auto& search = *reinterpret_cast<DialogSearch*>(param);
  if (!VisibleOfClass(window, search, "tooltips_class32")) return TRUE;
  std::printf("%s\n", Text(window).c_str());
  ++search.found;
  return TRUE;
}

BOOL CALLBACK PrintMenu(HWND window, LPARAM param) {
  auto& search = *reinterpret_cast<DialogSearch*>(param);
  if (!VisibleOfClass(window, search, "#32768")) return TRUE;
  std::printf("menu\n");
  ++search.found;
  return TRUE;
}

BOOL CALLBACK PrintDialog(HWND window, LPARAM param) {
  auto& search = *reinterpret_cast<DialogSearch*>(param);
  if (!VisibleOfClass(window, search, "#32770")) return TRUE;
  std::printf("%s", Text(window).c_str());
  EnumChildWindows(window, PrintChildText, 0);
  std::printf("\n");
  ++search.found;
  return TRUE;
}

// The dialog whose caption starts with the station's.
BOOL CALLBACK FindMain(HWND window, LPARAM param) {
  char cls[64] = {};
  GetClassNameA(window, cls, sizeof cls);
  if (lstrcmpiA(cls, "#32770") != 0) return TRUE;
  if (Text(window).rfind(kCaption, 0) != 0) return TRUE;
  *reinterpret_cast<HWND*>(param) = window;
  return FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: gui_probe rect|text|enabled ID | dialogs | tooltips | menus\n");
    return 2;
  }
  const std::string command = argv[1];
  HWND main = nullptr;
  EnumWindows(FindMain, reinterpret_cast<LPARAM>(&main));
  if (main == nullptr) {
    std::fprintf(stderr, "gui_probe: the station window is not there\n");
    return 1;
  }
  if (command == "dialogs" || command == "tooltips" || command == "menus") {
    DialogSearch search{0, main, 0};
    GetWindowThreadProcessId(main, &search.process);
    EnumWindows(command == "dialogs"    ? PrintDialog
                : command == "tooltips" ? PrintTooltip
                                        : PrintMenu,
                reinterpret_cast<LPARAM>(&search));
    return 0;
  }
  if (argc < 3) return 2;
  const HWND control = GetDlgItem(main, std::atoi(argv[2]));
  if (control == nullptr) {
    std::fprintf(stderr, "gui_probe: no control %s\n", argv[2]);
    return 1;
  }
  if (command == "rect") {
    RECT w{}, c{};
    GetWindowRect(main, &w);
    GetWindowRect(control, &c);
    std::printf("window %ld %ld %ld %ld\ncontrol %ld %ld %ld %ld\n", w.left, w.top, w.right,
                w.bottom, c.left, c.top, c.right, c.bottom);
    return 0;
  }
  if (command == "text") {
    std::printf("%s\n", Text(control).c_str());
    return 0;
  }
  if (command == "enabled") {
    std::printf("%d\n", IsWindowEnabled(control) ? 1 : 0);
    return 0;
  }
  return 2;
}
