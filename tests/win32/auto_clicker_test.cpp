// The auto-clicker against helper windows made here. Every child of a helper
// window is a recorder that notes the BM_CLICK requests it receives; the
// fifth child and its first child carry the class names a case asks for
// (registered here, so their spelling, mixed case included, is ours).
#include "app/win32/auto_clicker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kx20 {
namespace {

std::map<HWND, int>& Clicks() {
  static std::map<HWND, int> clicks;
  return clicks;
}

LRESULT CALLBACK RecorderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == BM_CLICK && wParam == 0 && lParam == 0) ++Clicks()[window];
  return DefWindowProcA(window, message, wParam, lParam);
}

// Registers a recorder class under `name` once per process.
void RegisterRecorder(const std::string& name) {
  static std::map<std::string, bool> done;
  if (done[name]) return;
  WNDCLASSA wc{};
  wc.lpfnWndProc = RecorderProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = name.c_str();
  ASSERT_NE(RegisterClassA(&wc), 0) << name;
  done[name] = true;
}

struct Shape {
  int children;             // children of the top-level window
  std::string fifthClass;   // class of the fifth child (if any)
  std::string innerClass;   // class of the fifth child's first child ("": none)
};

// A visible top-level helper window with `shape`'s children; destroyed with
// the object.
class HelperWindow {
 public:
  // `atBottom`: placed below every other window before it gets children.
  explicit HelperWindow(const Shape& shape, bool atBottom = false) {
    RegisterRecorder("Kx20ClickHelper");
    RegisterRecorder("Kx20ClickChild");
    top_ = CreateWindowExA(0, "Kx20ClickHelper", "auto-clicker helper", WS_OVERLAPPEDWINDOW,
                           10, 10, 300, 200, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (top_ == nullptr) return;
    if (atBottom) {
      SetWindowPos(top_, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    for (int i = 0; i < shape.children; ++i) {
      std::string cls = i == 4 ? shape.fifthClass : "Kx20ClickChild";
      RegisterRecorder(cls);
      children_.push_back(CreateWindowExA(0, cls.c_str(), "", WS_CHILD | WS_VISIBLE, 5 + 20 * i,
                                          5, 18, 18, top_, nullptr, GetModuleHandleA(nullptr),
                                          nullptr));
    }
    ShowWindow(top_, SW_SHOWNOACTIVATE);
    if (atBottom) {
      SetWindowPos(top_, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    // The list's own child comes last, when the window has its place.
    if (shape.children >= 5 && !shape.innerClass.empty()) {
      RegisterRecorder(shape.innerClass);
      CreateWindowExA(0, shape.innerClass.c_str(), "", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10,
                      children_[4], nullptr, GetModuleHandleA(nullptr), nullptr);
    }
  }
  ~HelperWindow() { Destroy(); }
  void Destroy() {
    if (top_ != nullptr) DestroyWindow(top_);
    top_ = nullptr;
  }
  bool ok() const { return top_ != nullptr; }
  HWND child(int i) const { return children_.at(static_cast<std::size_t>(i)); }
  int ChildCount() const { return static_cast<int>(children_.size()); }

 private:
  HWND top_ = nullptr;
  std::vector<HWND> children_;
};

// Pumps this thread's messages for `ms` milliseconds, or until `done` holds.
template <typename Done>
void Pump(int ms, Done done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end && !done()) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    Sleep(10);
  }
}

int TotalClicks() {
  int n = 0;
  for (const auto& [window, count] : Clicks()) n += count;
  return n;
}

bool CanMakeWindows() {
  HelperWindow probe(Shape{0, "", ""});
  return probe.ok();
}

constexpr const char* kList = "sYSlISTvIEW32";
constexpr const char* kHeader = "SysHEADER32";

BOOL CALLBACK CollectWindow(HWND window, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  return TRUE;
}

struct Case {
  const char* name;
  Shape shape;
  bool clicked;  // the fourth child gets a click request
};

TEST(AutoClicker, ClicksTheFourthChildOnlyOfAWindowWhoseFifthChildIsAListWithAHeader) {
  if (!CanMakeWindows()) GTEST_SKIP() << "no window station (no display)";
  // The clicker's own loop, ten passes a second, on a thread of its own.
  std::atomic<bool> stop{false};
  std::thread clicker([&stop] { RunAutoClicker(&stop); });
  struct Joiner {
    std::atomic<bool>& stop;
    std::thread& thread;
    ~Joiner() {
      stop.store(true);
      thread.join();
    }
  } joiner{stop, clicker};
  // Class names compare without regard to case, so one process has one
  // spelling of each: the mixed-case one, which the clicker must lower-case.
  const Case cases[] = {
      {"list with header", {5, kList, kHeader}, true},
      {"list with header, more children", {7, kList, kHeader}, true},
      {"list without a header child", {5, kList, ""}, false},
      {"list whose first child is no header", {5, kList, "Kx20ClickChild"}, false},
      {"four children", {4, "", ""}, false},
      {"fifth child is no list", {5, "Kx20ClickChild", kHeader}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Clicks().clear();
    HelperWindow helper(c.shape);
    ASSERT_TRUE(helper.ok());
    const auto begin = std::chrono::steady_clock::now();
    Pump(1000, [&] { return TotalClicks() > 0; });
    if (c.clicked) {
      EXPECT_GE(Clicks()[helper.child(3)], 1) << "no click within a second";
      EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1000));
      // Only the fourth child is asked to click.
      EXPECT_EQ(TotalClicks(), Clicks()[helper.child(3)]);
    } else {
      EXPECT_EQ(TotalClicks(), 0);
    }
  }
}

TEST(AutoClicker, TheFirstWindowWithAListEndsThePassEvenWithoutAHeader) {
  if (!CanMakeWindows()) GTEST_SKIP() << "no window station (no display)";
  Clicks().clear();
  // The headerless list's window comes first in the enumeration (top of the
  // Z order); the matching one lies below it from before it has children.
  HelperWindow headerless(Shape{5, kList, ""});
  ASSERT_TRUE(headerless.ok());
  HelperWindow matching(Shape{5, kList, kHeader}, /*atBottom=*/true);
  ASSERT_TRUE(matching.ok());

  std::vector<HWND> order;
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&order));
  auto at = [&](HWND w) { return std::find(order.begin(), order.end(), w) - order.begin(); };
  ASSERT_LT(at(GetParent(headerless.child(0))), at(GetParent(matching.child(0))));
  EXPECT_EQ(AutoClickPass(), nullptr);
  Pump(300, [] { return false; });
  EXPECT_EQ(TotalClicks(), 0);

  // Once the headerless window is gone, a pass clicks the other one.
  headerless.Destroy();
  EXPECT_EQ(AutoClickPass(), matching.child(3));
  Pump(1000, [&] { return Clicks()[matching.child(3)] > 0; });
  EXPECT_EQ(Clicks()[matching.child(3)], 1);
  EXPECT_EQ(TotalClicks(), 1);
}

}  // namespace
}  // namespace kx20
