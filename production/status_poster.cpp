#include "production/status_poster.h"

#include <chrono>

namespace kx20 {

void StatusQueue::Post(const WorkerStatus& message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    queue_.push_back(message);
  }
  ready_.notify_one();
}

std::optional<WorkerStatus> StatusQueue::TryTake() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty()) return std::nullopt;
  WorkerStatus m = queue_.front();
  queue_.pop_front();
  return m;
}

std::optional<WorkerStatus> StatusQueue::WaitTake(unsigned timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  ready_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                  [this] { return !queue_.empty() || woken_ || closed_; });
  woken_ = false;
  if (queue_.empty()) return std::nullopt;
  WorkerStatus m = queue_.front();
  queue_.pop_front();
  return m;
}

void StatusQueue::Wake() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
  }
  ready_.notify_all();
}

void StatusQueue::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    queue_.clear();
  }
  ready_.notify_all();
}

}  // namespace kx20
