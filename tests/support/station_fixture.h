// A station on the simulated farm with a virtual clock, an in-memory view and
// a fresh work directory; plus worker bodies that wait for the test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/memory_console_view.h"
#include "app/shell.h"
#include "app/station.h"
#include "common/virtual_clock.h"
#include "sim/farm.h"
#include "sim/farm_file.h"
#include "support/config_temp_dir.h"
#include "support/pluggable_port.h"

namespace kx20::testing {

// Worker bodies that record their start and wait until the test releases
// their drive letter (or all of them).
class GatedWorkers {
 public:
  struct Start {
    std::uint32_t startValue;
    bool codeFlash;
    bool size256K;
  };

  ProductionWorkerFn Production() {
    return [this](ProductionEnvironment& env, RunLocks& locks, std::uint32_t startValue) {
      Enter(startValue, false, false);
      if (beforeWait) beforeWait(env, locks, startValue);
      Wait(Letter(startValue));
      if (afterRelease) afterRelease(env, locks, startValue);
      Leave(startValue);
    };
  }
  CodeFlashWorkerFn CodeFlash() {
    return [this](PassThroughPort&, StatusPoster&, std::uint32_t startValue, bool size256K) {
      Enter(startValue, true, size256K);
      Wait(Letter(startValue));
      Leave(startValue);
    };
  }

  void Release(char letter) {
    std::lock_guard<std::mutex> lock(mutex_);
    released_.insert(letter);
    cv_.notify_all();
  }
  void ReleaseAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    all_ = true;
    cv_.notify_all();
  }
  // Waits (real time, bounded) until `n` bodies have finished.
  bool WaitFinished(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return finished_ >= n; });
  }
  // Waits (real time, bounded) until `n` bodies have started; returns the
  // starts seen so far.
  std::vector<Start> WaitStarted(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(20), [&] { return starts_.size() >= n; });
    return starts_;
  }
  std::vector<Start> Starts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return starts_;
  }
  // The most bodies that ever ran at once on one drive letter.
  int MaxConcurrentPerLetter() {
    std::lock_guard<std::mutex> lock(mutex_);
    return maxConcurrent_;
  }

  // Run before the gate and after it opens (production bodies only).
  std::function<void(ProductionEnvironment&, RunLocks&, std::uint32_t)> beforeWait;
  std::function<void(ProductionEnvironment&, RunLocks&, std::uint32_t)> afterRelease;

 private:
  static char Letter(std::uint32_t startValue) { return static_cast<char>(startValue >> 16); }
  void Enter(std::uint32_t startValue, bool codeFlash, bool size256K) {
    std::lock_guard<std::mutex> lock(mutex_);
    starts_.push_back({startValue, codeFlash, size256K});
    const int n = ++running_[Letter(startValue)];
    if (n > maxConcurrent_) maxConcurrent_ = n;
    cv_.notify_all();
  }
  void Wait(char letter) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return all_ || released_.count(letter) != 0; });
    released_.erase(letter);  // a later worker on this letter waits again
  }
  void Leave(std::uint32_t startValue) {
    std::lock_guard<std::mutex> lock(mutex_);
    --running_[Letter(startValue)];
    ++finished_;
    cv_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::set<char> released_;
  bool all_ = false;
  std::vector<Start> starts_;
  std::map<char, int> running_;
  int maxConcurrent_ = 0;
  int finished_ = 0;
};

class StationFixture : public ::testing::Test {
 protected:
  // Workers still waiting at the gate are let go, so the station can join them.
  void TearDown() override { gated.ReleaseAll(); }

  void BuildFarm(const FarmLayout& layout) {
    std::string error;
    farm = SimFarm::Create(layout, clock, &error);
    ASSERT_NE(farm, nullptr) << error;
    port = std::make_unique<PluggablePort>(*farm);
  }
  void BuildFarmText(const std::string& text) {
    FarmLayout layout;
    std::string error;
    ASSERT_TRUE(ParseFarmText(text, "farm.ini", ".", layout, error)) << error;
    BuildFarm(layout);
  }
  void CopyExample(const std::string& name) {
    std::filesystem::copy_file(std::filesystem::path(KX20_SOURCE_DIR) / "examples" / name,
                               dir.Path() / name,
                               std::filesystem::copy_options::overwrite_existing);
  }
  // A station over the farm (the default farm unless one was built).
  void MakeStation() {
    if (farm == nullptr) BuildFarm(DefaultFarmLayout());
    StationOptions options;
    options.workDir = dir.Path().string();
    options.durability = Durability::kRelaxed;
    options.onExchangeRead = [this](int id) {
      if (exchangeRead) exchangeRead(id);
    };
    options.onSetupLockWait = [this] {
      if (setupLockWait) setupLockWait();
    };
    if (tuneOptions) tuneOptions(options);
    station = std::make_unique<Station>(*port, clock, view, shell, options);
  }
  // A control's contents change in the window (as the program would set
  // them: not cut at the typing limit): the view shows it, the station is
  // told.
  void EditText(int id, const std::string& text) {
    view.SetControlText(id, text);
    station->OnTextEdited(id, text);
  }
  void EditCheck(int id, bool checked) {
    view.SetCheck(id, checked);
    station->OnCheckEdited(id, checked);
  }
  void UseGatedWorkers() { station->SetWorkerBodies(gated.Production(), gated.CodeFlash()); }

  // Ticks (draining the status queue first, as the console loop does) until
  // a tick reports the end of the run. Real workers run on real threads, so
  // this waits in real time between ticks. Returns false after `limit`.
  bool TickUntilRunEnds(std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      station->DrainStatus();
      if (station->Tick()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }
  // Waits (real time) until no worker of the station is running any more.
  bool WaitWorkersDone() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (station->RunningWorkerCount() > 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  std::vector<std::string> RowTexts() {
    std::vector<std::string> texts;
    for (const auto& r : view.Rows()) texts.push_back(r.text);
    return texts;
  }
  std::vector<int> RowImages() {
    std::vector<int> images;
    for (const auto& r : view.Rows()) images.push_back(r.image);
    return images;
  }

  VirtualClock clock;
  ConfigTempDir dir;
  std::unique_ptr<SimFarm> farm;
  std::unique_ptr<PluggablePort> port;
  MemoryConsoleView view;
  RecordingShell shell;
  // Called (console thread) each time the station's data exchange reads a
  // control from its model.
  std::function<void(int)> exchangeRead;
  // Called (console thread) just before the station waits for a running
  // run's setupLock.
  std::function<void()> setupLockWait;
  // Changes the station's options before MakeStation builds it.
  std::function<void(StationOptions&)> tuneOptions;
  GatedWorkers gated;  // declared before the station: outlives its workers
  std::unique_ptr<Station> station;
};

}  // namespace kx20::testing
