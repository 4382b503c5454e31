// StatusPoster: how workers hand their status messages to the console thread.
// Posting never blocks on the console and never fails back to the worker.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "production/status_message.h"

namespace kx20 {

class StatusPoster {
 public:
  virtual ~StatusPoster() = default;
  // Queues one message for the console thread. Any thread; fire and forget.
  virtual void Post(const WorkerStatus& message) = 0;
};

// A locked queue drained by the console thread (the terminal and headless
// consoles, and the tests). After Close() every post is dropped silently.
class StatusQueue final : public StatusPoster {
 public:
  void Post(const WorkerStatus& message) override;
  // Takes the oldest message, if any. Console thread.
  std::optional<WorkerStatus> TryTake();
  // Waits up to `timeoutMs` for a message. Console thread.
  std::optional<WorkerStatus> WaitTake(unsigned timeoutMs);
  // Wakes a waiter without a message (e.g. a key press arrived).
  void Wake();
  void Close();

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<WorkerStatus> queue_;
  bool closed_ = false;
  bool woken_ = false;
};

}  // namespace kx20
