// What the operator must be told beside the verdict texts, which stay as they
// are: why a disk was refused a serial number, why config.txt could not be
// read or replaced, why produce.log lost a record. Workers and the console
// post; the console thread takes them and shows them (a message box, or a
// line on stderr in line and batch mode).
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kx20 {

class OperatorNotices {
 public:
  // Any thread.
  void Post(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(std::move(text));
  }

  // The notices posted since the last Take, oldest first. Any thread.
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(pending_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> pending_;
};

}  // namespace kx20
