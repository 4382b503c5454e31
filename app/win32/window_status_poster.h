// How worker statuses reach the Windows window: posted (never sent) as window
// message 4024, one message per status, handled by the window's message
// pre-filter on its own thread.
//   wParam: drive letter in bits 8-15, list row index in bits 0-7.
//   lParam: status code in bits 16-31, value in bits 0-15.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "production/status_message.h"
#include "production/status_poster.h"

namespace kx20 {

inline constexpr UINT kWorkerStatusMessage = 4024;

inline WPARAM PackStatusWParam(const WorkerStatus& status) {
  return (static_cast<WPARAM>(static_cast<unsigned char>(status.driveLetter)) << 8) |
         (static_cast<WPARAM>(status.row) & 0xFF);
}

inline LPARAM PackStatusLParam(const WorkerStatus& status) {
  return static_cast<LPARAM>((static_cast<std::uint32_t>(status.code) << 16) | status.value);
}

inline WorkerStatus UnpackStatus(WPARAM wParam, LPARAM lParam) {
  const auto l = static_cast<std::uint32_t>(lParam);
  return WorkerStatus{static_cast<char>((wParam >> 8) & 0xFF), static_cast<int>(wParam & 0xFF),
                      static_cast<std::uint16_t>(l >> 16), static_cast<std::uint16_t>(l & 0xFFFF)};
}

// The station's StatusPoster on Windows: posts straight to the window. Any
// thread. Before the window exists and after it has gone (SetTarget(nullptr))
// posts are dropped.
class WindowStatusPoster final : public StatusPoster {
 public:
  void SetTarget(HWND window) { target_.store(window); }
  void Post(const WorkerStatus& status) override {
    const HWND window = target_.load();
    if (window == nullptr) return;
    PostMessageA(window, kWorkerStatusMessage, PackStatusWParam(status), PackStatusLParam(status));
  }

 private:
  std::atomic<HWND> target_{nullptr};
};

}  // namespace kx20
