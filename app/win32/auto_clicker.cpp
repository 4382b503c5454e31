#include "app/win32/auto_clicker.h"

#include <cctype>
#include <cstring>
#include <thread>

namespace kx20 {
namespace {

constexpr int kClassNameChars = 250;
constexpr int kSiblingSlots = 10;

// The window's class name in lower case; empty when it cannot be read.
void LowerClassName(HWND window, char (&name)[kClassNameChars + 1]) {
  const int n = GetClassNameA(window, name, kClassNameChars);
  name[n > 0 ? n : 0] = '\0';
  for (char* p = name; *p != '\0'; ++p) {
    *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  }
}

struct PassState {
  HWND clicked = nullptr;
};

BOOL CALLBACK TestWindow(HWND window, LPARAM param) {
  PassState& state = *reinterpret_cast<PassState*>(param);
  const HWND first = GetWindow(window, GW_CHILD);
  if (first == nullptr) return TRUE;

  // Slot 0 is the second child, slot 2 the fourth, slot 3 the fifth.
  HWND siblings[kSiblingSlots] = {};
  HWND next = first;
  for (int i = 0; i < kSiblingSlots; ++i) {
    next = GetWindow(next, GW_HWNDNEXT);
    if (next == nullptr) break;
    siblings[i] = next;
  }
  const HWND fifth = siblings[3];
  if (fifth == nullptr) return TRUE;

  char name[kClassNameChars + 1];
  LowerClassName(fifth, name);
  if (std::strcmp(name, "syslistview32") != 0) return TRUE;

  // The first window with a list in that place ends the pass.
  const HWND header = GetWindow(fifth, GW_CHILD);
  if (header == nullptr) return FALSE;
  LowerClassName(header, name);
  if (std::strcmp(name, "sysheader32") == 0) {
    SendNotifyMessageA(siblings[2], BM_CLICK, 0, 0);
    state.clicked = siblings[2];
  }
  return FALSE;
}

}  // namespace

HWND AutoClickPass() {
  PassState state;
  EnumWindows(TestWindow, reinterpret_cast<LPARAM>(&state));
  return state.clicked;
}

void RunAutoClicker(const std::atomic<bool>* stop) {
  while (stop == nullptr || !stop->load()) {
    Sleep(100);
    AutoClickPass();
  }
}

void StartAutoClicker() {
  std::thread([] { RunAutoClicker(nullptr); }).detach();
}

}  // namespace kx20
