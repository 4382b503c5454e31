// SimFarm: a PassThroughPort over a set of simulated disks keyed by drive
// letter, plus the host's system disk on C: (which answers INQUIRY with
// another vendor and knows no vendor command, so it is never a target; it
// reads and writes like any disk).
//
// The farm plays the host as well as the disks. Each disk sits on a device
// node (the system disk on the first, then the disks in letter order). What
// the host shows under each letter follows the farm's host style:
//   windows: a disk keeps the letter of its section; a disk that arrives
//            takes the letter its predecessor freed;
//   linux:   the present nodes, in node order, take the section letters in
//            order (as the Linux port's default sg map does), so a disk that
//            leaves moves every later disk down one letter; a disk that
//            arrives takes the node its predecessor freed.
// Like the real ports, the farm binds each letter to the disk object behind
// it when letters are assigned (at construction and at every ScanDrives);
// Open of a letter opens that disk only, and fails (file not found) once it
// has gone, until the next ScanDrives.
//
// Handles: every Open yields a new handle; requests on a closed or unknown
// handle fail at OS level with error 6 (ERROR_INVALID_HANDLE). A disk that
// has been unplugged (fault unplug-after) no longer opens, drops out of
// LogicalDrives, and requests on its open handles fail at OS level.
//
// Claims: a disk is claimed by one worker at a time (ClaimDisk). Within the
// process the farm keeps the claimed disks itself; a disk with a backing
// file is also locked through the lock file "<backing file>.lock", so two
// station processes on one farm file (the same disks) exclude each other as
// they would on real disks. The lock file says who holds the disk.
//
// Thread safety: the set of disk objects is fixed at construction; the
// handle table and the letter map have one lock and every disk its own
// mutex, so any thread may use any handle and several threads may drive
// different disks at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
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
  std::uint32_t ScanDrives() override;
  std::vector<std::string> DriveNotes() override;
  DiskClaimResult ClaimDisk(char letter, const std::string& who) override;

  // --- Inspection -----------------------------------------------------------
  // The disk of section `letter` (C: included), or null, wherever the host
  // shows it now.
  SimDisk* Disk(char letter);
  // The disk that arrived (or will arrive) when the disk of section `letter`
  // leaves, or null.
  SimDisk* Arrival(char letter);
  // The disk the host shows under `letter` now (what an open by letter would
  // reach without the binding), or null.
  SimDisk* HostDisk(char letter);
  // Every disk object of the farm: system disk, section disks, arrivals.
  std::vector<SimDisk*> AllDisks();
  // The simulated target letters, in order (C: not included).
  std::vector<char> Letters() const;
  // Handles opened and not yet closed.
  std::size_t OpenHandleCount();

 private:
  SimFarm() = default;
  SimDisk* DiskOfHandle(PortHandle handle);
  class Claim;
  void Release(SimDisk* disk);
  // Lays arrivals on the nodes their predecessors freed; mutex_ held.
  void RefreshNodes();
  // The host's letter -> disk view now; mutex_ held.
  std::map<char, SimDisk*> HostView();

  SimHostStyle hostStyle_ = SimHostStyle::kWindows;
  std::map<char, std::unique_ptr<SimDisk>> disks_;  // section disks, fixed after Create
  std::map<char, std::unique_ptr<SimDisk>> arrivals_;  // by section letter, fixed after Create
  std::unique_ptr<SimBus> bus_;
  std::mutex mutex_;
  std::vector<SimDisk*> nodes_;        // node -> disk on it (null: free)
  std::vector<char> nodeLetters_;      // windows: node -> its letter
  std::vector<char> letters_;          // linux: the section letters in order
  std::map<char, SimDisk*> bound_;     // letter -> disk bound at the last scan
  std::map<PortHandle, SimDisk*> handles_;
  std::set<SimDisk*> claimed_;          // disks claimed in this process
  PortHandle nextHandle_ = 0x100;
};

// The system disk's description (C:, vendor "ATA").
SimDiskConfig SystemDiskConfig();

}  // namespace kx20
