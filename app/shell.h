// Shell: how the console hands a file to the desktop (the production log is
// opened in the operator's default viewer on a double-click of the slot
// list). Implementations: ShellExecuteA on Windows; RecordingShell for tests
// and consoles without a desktop.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace kx20 {

class Shell {
 public:
  virtual ~Shell() = default;
  // Performs `verb` ("open") on `file`, shown normally. Returns false when
  // the shell refused; callers ignore failures. Console thread.
  virtual bool Perform(const std::string& verb, const std::string& file) = 0;
};

// Records every request and succeeds (or fails, when told to).
class RecordingShell final : public Shell {
 public:
  struct Call {
    std::string verb;
    std::string file;
  };

  explicit RecordingShell(bool succeed = true) : succeed_(succeed) {}

  bool Perform(const std::string& verb, const std::string& file) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back({verb, file});
    return succeed_;
  }

  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  std::mutex mutex_;
  std::vector<Call> calls_;
  bool succeed_;
};

}  // namespace kx20
