// The window's view over real controls: controls and rows, Detach, the row
// trace. Needs a window station (skipped when no window can be made, as under
// Wine without a display).
#include "app/win32/win32_console_view.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace kx20 {
namespace {

Win32ConsoleView* g_view = nullptr;

LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(window, message, wParam, lParam);
}

// A window with the controls the cases use, its view attached.
class Host {
 public:
  Host() {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    WNDCLASSA wc{};
    wc.lpfnWndProc = HostProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "Kx20ViewHost";
    RegisterClassA(&wc);
    window_ = CreateWindowExA(0, "Kx20ViewHost", "view host", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300,
                              nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (window_ == nullptr) return;
    Child("Edit", 1013, WS_BORDER);
    Child("Button", 1028, BS_AUTOCHECKBOX);
    Child(WC_LISTVIEWA, 1007, LVS_ICON);
    view_ = std::make_unique<Win32ConsoleView>();
    view_->Attach(window_);
    g_view = view_.get();
  }
  ~Host() {
    g_view = nullptr;
    if (window_ != nullptr) DestroyWindow(window_);
  }
  bool ok() const { return window_ != nullptr; }
  Win32ConsoleView& view() { return *view_; }

 private:
  void Child(const char* cls, int id, DWORD style) {
    CreateWindowExA(0, cls, "", WS_CHILD | WS_VISIBLE | style, 10, 10 + id % 100 * 3, 200, 20,
                    window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                    GetModuleHandleA(nullptr), nullptr);
  }
  HWND window_ = nullptr;
  std::unique_ptr<Win32ConsoleView> view_;
};

#define REQUIRE_HOST(host)                                                   \
  Host host;                                                                 \
  if (!host.ok()) GTEST_SKIP() << "no window station (no display)";

TEST(Win32ConsoleView, ControlsAndRowsOnTheWindowThread) {
  REQUIRE_HOST(host);
  Win32ConsoleView& view = host.view();
  view.SetControlText(1013, "KX20");
  EXPECT_EQ(view.GetControlText(1013), "KX20");
  view.SetCheck(1028, true);
  EXPECT_TRUE(view.GetCheck(1028));
  view.SetCheck(1028, false);
  EXPECT_FALSE(view.GetCheck(1028));
  view.SetEnabled(1013, false);
  EXPECT_FALSE(view.IsEnabled(1013));

  view.InsertRow(0, "01", 2);
  view.InsertRow(1, "02", 8);
  view.SetRowText(1, "02-F:\\");
  view.SetRowImage(1, 1);
  EXPECT_EQ(view.RowCount(), 2);
  EXPECT_EQ(view.GetRowText(1), "02-F:\\");
  EXPECT_EQ(view.GetRowImage(1), 1);
  EXPECT_EQ(view.GetRowImage(0), 2);
  view.ClearRows();
  EXPECT_EQ(view.RowCount(), 0);
}

TEST(Win32ConsoleView, DetachDropsLaterCalls) {
  REQUIRE_HOST(host);
  Win32ConsoleView& view = host.view();
  view.SetControlText(1013, "BEFORE");
  view.Detach();
  view.SetControlText(1013, "AFTER");  // the window is going: dropped
  EXPECT_EQ(view.GetControlText(1013), "");
  char text[32] = {};
  GetWindowTextA(GetDlgItem(view.Dialog(), 1013), text, sizeof text);
  EXPECT_STREQ(text, "BEFORE");
}

TEST(Win32ConsoleView, TheRowTraceHasOneLinePerChangedRowAndNoneForARebuild) {
  REQUIRE_HOST(host);
  Win32ConsoleView& view = host.view();
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  const std::string path = std::string(dir) + "kx20_view_trace_test.txt";
  std::remove(path.c_str());
  ASSERT_TRUE(view.OpenRowTrace(path));

  // One handled message: a scan's rebuild of a row (insert, text, image).
  view.InsertRow(0, "01", 2);
  view.SetRowText(0, "01-E:\\");
  view.SetRowImage(0, 1);
  view.FlushRowTrace();
  // The next scan rebuilds the same row: no line.
  view.ClearRows();
  view.InsertRow(0, "01", 2);
  view.SetRowText(0, "01-E:\\");
  view.SetRowImage(0, 1);
  view.FlushRowTrace();
  // A status message: text and image together.
  view.SetRowImage(0, 6);
  view.SetRowText(0, "01-:Pass");
  view.FlushRowTrace();

  std::ifstream in(path);
  std::string line;
  std::vector<std::string> lines;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 2u);
  // "HH:MM:SS.mmm ROW IMAGE TEXT"
  EXPECT_EQ(lines[0].size(), 12 + std::string(" 0 1 01-E:\\").size());
  EXPECT_EQ(lines[0].substr(12), " 0 1 01-E:\\");
  EXPECT_EQ(lines[1].substr(12), " 0 6 01-:Pass");
  EXPECT_EQ(lines[0][2], ':');
  EXPECT_EQ(lines[0][8], '.');
}

}  // namespace
}  // namespace kx20
