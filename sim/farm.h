// SimFarm: a PassThroughPort over a set of simulated disks keyed by drive
// letter, plus the host's system disk on C: (which answers INQUIRY with
// another vendor and knows no vendor command, so it is never a target).
//
// Handles: every Open yields a new handle; requests on a closed or unknown
// handle fail at OS level with error 6 (ERROR_INVALID_HANDLE). A disk that
// has been unplugged (fault unplug-after) no longer opens, drops out of
// LogicalDrives, and requests on its open handles fail at OS level.
//
// Thread safety: the set of disks is fixed at construction; the handle table
// has its own lock and every disk its own mutex, so any thread may use any
// handle and several threads may drive different disks at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/clock.h"
#include "device/pass_through_port.h"
#include "sim/farm_file.h"
#include "sim/sim_disk.h"

namespace kx20 {

class SimFarm final : public PassThroughPort {
 public:
  // Builds the farm; creates or opens the backing files. Returns null with a
  // message when a backing file cannot be set up. `clock` serves the speed
  // model and must outlive the farm.
  static std::unique_ptr<SimFarm> Create(const FarmLayout& layout, Clock& clock, std::string* error);
  ~SimFarm() override;

  PortHandle Open(char letter, std::uint32_t* osError) override;
  void Close(PortHandle handle) override;
  bool SendDirect(PortHandle handle, PassThroughRequest& request, std::uint32_t* osError) override;
  bool SendBuffered(PortHandle handle, BufferedPassThroughRequest& request,
                    std::uint32_t* osError) override;
  std::uint32_t LogicalDrives() override;

  // --- Inspection -----------------------------------------------------------
  // The disk on `letter` (C: included), or null.
  SimDisk* Disk(char letter);
  // The simulated target letters, in order (C: not included).
  std::vector<char> Letters() const;
  // Handles opened and not yet closed.
  std::size_t OpenHandleCount();

 private:
  SimFarm() = default;
  SimDisk* DiskOfHandle(PortHandle handle);

  std::map<char, std::unique_ptr<SimDisk>> disks_;  // fixed after Create
  std::unique_ptr<SimBus> bus_;
  std::mutex mutex_;
  std::map<PortHandle, char> handles_;
  PortHandle nextHandle_ = 0x100;
};

// The system disk's description (C:, vendor "ATA").
SimDiskConfig SystemDiskConfig();

}  // namespace kx20
