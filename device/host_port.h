// The host's own pass-through facility behind the PassThroughPort seam, and
// the mapping of drive letters to the host's devices.
//
// On Windows a letter is the host's own drive (\\.\E:); an explicit mapping
// names another device path for that letter. On Linux the letters are ours:
// by default the SCSI generic devices /dev/sg0, /dev/sg1, ... in numeric
// order take the letters C:, D:, ...; an explicit mapping replaces that
// default entirely.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/pass_through_port.h"

namespace kx20 {

struct DriveMapping {
  char letter = 0;   // 'A'..'Z'
  std::string path;  // the host device behind the letter
};

// Parses "E=/dev/sg2" (also "e=..." and "E:=..."). On a malformed text returns
// nothing and sets *error (when non-null) to a one-line explanation.
std::optional<DriveMapping> ParseDriveMapping(std::string_view text, std::string* error);

// Checks a whole map: no letter twice. Returns false with *error set.
bool ValidateDriveMap(const std::vector<DriveMapping>& map, std::string* error);

// The host's port. An empty map means the platform default. Returns null with
// *error set when the map is unusable on this host.
std::unique_ptr<PassThroughPort> MakeHostPort(const std::vector<DriveMapping>& explicitMap,
                                              std::string* error);

}  // namespace kx20
