// Farm files: the INI description of a simulated disk farm.
//
//   ; comments start with ';' or '#'
//   [farm]
//   bus_mbps = 40            ; optional shared bandwidth of all disks, MB/s
//   host = windows           ; or linux: how the host gives letters to disks
//                            ; (see sim/farm.h); default windows
//
//   [E]                      ; one section per drive letter (A-Z except C)
//   slot = 7                 ; INQUIRY product bytes 24-27, right-aligned
//   vendor = VYN             ; INQUIRY vendor identification
//   last_lba = 262143        ; or capacity_mb = 128
//   flash_info = 01 11 22 33 44 EC 06 FF FF
//   backing = memory         ; or a file path (relative to the farm file)
//   read_mbps = 20           ; optional speed model, MB/s (0: unlimited)
//   write_mbps = 8
//   fault = no-probe, bad-sector=100
//   arrival = 5              ; with unplug-after: when this disk leaves, a
//                            ; target disk reporting slot 5 arrives on the
//                            ; freed device; "foreign": a disk of another
//                            ; make (not "VYN") that accepts writes
//
// A value in double quotes is taken literally, spaces included
// (slot = "7   ").
#pragma once

#include <string>
#include <vector>

#include "sim/sim_disk.h"

namespace kx20 {

struct FarmLayout {
  std::vector<SimDiskConfig> disks;  // ordered by drive letter
  double busMbps = 0;                // 0: no shared bus limit
  SimHostStyle hostStyle = SimHostStyle::kWindows;
  bool operator==(const FarmLayout&) const = default;
};

// Ten healthy disks in slots 1 to 10 on E: to N:, last LBA 262143, the
// default flash information, data in memory.
FarmLayout DefaultFarmLayout();

// Parses farm-file text. `fileName` names the file in error messages;
// relative backing paths are taken relative to `baseDir`. On failure returns
// false and sets `error` to "FILE:LINE: problem".
bool ParseFarmText(const std::string& text, const std::string& fileName, const std::string& baseDir,
                   FarmLayout& layout, std::string& error);

// Reads and parses a farm file.
bool LoadFarmFile(const std::string& path, FarmLayout& layout, std::string& error);

// Parses one "fault" value into `faults` (used by the parser; public for
// tools). On failure returns false with the problem in `error`.
bool ParseFaultList(const std::string& value, SimFaults& faults, std::string& error);

}  // namespace kx20
