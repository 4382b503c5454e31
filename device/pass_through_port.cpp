#include "device/pass_through_port.h"

namespace kx20 {

namespace {

// The claim of a port whose disks only this process reaches: nothing to hold.
class UnsharedDiskClaim final : public DiskClaim {};

}  // namespace

DiskClaimResult PassThroughPort::ClaimDisk(char, const std::string&) {
  DiskClaimResult result;
  result.claim = std::make_unique<UnsharedDiskClaim>();
  return result;
}

}  // namespace kx20
