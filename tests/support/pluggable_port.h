// A port in front of another that lets a test pull disks out: an unplugged
// letter no longer opens, drops out of LogicalDrives, and requests on its
// open handles fail at OS level.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "device/pass_through_port.h"

namespace kx20::testing {

class PluggablePort final : public PassThroughPort {
 public:
  explicit PluggablePort(PassThroughPort& inner) : inner_(inner) {}

  void Unplug(char letter) {
    std::lock_guard<std::mutex> lock(mutex_);
    unplugged_.insert(letter);
  }

  PortHandle Open(char letter, std::uint32_t* osError) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (unplugged_.count(letter) != 0) {
        if (osError != nullptr) *osError = 2;  // ERROR_FILE_NOT_FOUND
        return kInvalidPortHandle;
      }
    }
    const PortHandle handle = inner_.Open(letter, osError);
    if (IsOpenHandle(handle)) {
      std::lock_guard<std::mutex> lock(mutex_);
      letters_[handle] = letter;
    }
    return handle;
  }

  void Close(PortHandle handle) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      letters_.erase(handle);
    }
    inner_.Close(handle);
  }

  bool SendDirect(PortHandle handle, PassThroughRequest& request, std::uint32_t* osError) override {
    if (Gone(handle, osError)) return false;
    return inner_.SendDirect(handle, request, osError);
  }

  bool SendBuffered(PortHandle handle, BufferedPassThroughRequest& request,
                    std::uint32_t* osError) override {
    if (Gone(handle, osError)) return false;
    return inner_.SendBuffered(handle, request, osError);
  }

  std::uint32_t LogicalDrives() override {
    std::uint32_t mask = inner_.LogicalDrives();
    std::lock_guard<std::mutex> lock(mutex_);
    for (char letter : unplugged_) mask &= ~(1u << (letter - 'A'));
    return mask;
  }

  std::uint32_t ScanDrives() override {
    inner_.ScanDrives();
    return LogicalDrives();
  }

  DiskClaimResult ClaimDisk(char letter, const std::string& who) override {
    return inner_.ClaimDisk(letter, who);
  }

 private:
  bool Gone(PortHandle handle, std::uint32_t* osError) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = letters_.find(handle);
    if (it == letters_.end() || unplugged_.count(it->second) == 0) return false;
    if (osError != nullptr) *osError = 1167;  // ERROR_DEVICE_NOT_CONNECTED
    return true;
  }

  PassThroughPort& inner_;
  std::mutex mutex_;
  std::set<char> unplugged_;
  std::map<PortHandle, char> letters_;
};

}  // namespace kx20::testing
