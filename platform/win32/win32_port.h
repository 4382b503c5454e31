// PassThroughPort over the Windows SCSI pass-through interface on the raw
// drive-letter devices (\\.\E:). An explicit drive mapping names another
// device path for a letter (e.g. E=\\.\PhysicalDrive2).
//
// Identity. Windows gives a letter freed by an unplugged disk to the next
// volume that arrives, so a letter alone can lead to another disk. Each
// letter is bound, when letters are assigned (construction and ScanDrives),
// to the identity of the device behind it: the NT device the letter's name
// leads to (QueryDosDevice: \Device\HarddiskVolume7, or for a physical
// drive \Device\Harddisk2\DR5; Windows numbers these afresh for every
// arrival), plus the storage device number of the opened handle
// (IOCTL_STORAGE_GET_DEVICE_NUMBER) where the device answers it. Open checks
// the identity of the handle it opened against the bound one; on a
// difference, or when no identity can be learned, it closes the handle and
// fails with ERROR_DEV_NOT_EXIST, so no command is sent.
//
// Claims. A worker claims its disk for its whole run (ClaimDisk) with a
// system-wide named mutex per disk identity ("Global\kx20-disk-<hash of the
// identity>"), held as an object rather than owned by a thread: the claim
// is the creation of the object; a station that finds it already there is
// refused. Windows removes it when the last handle closes, which the end of
// the holding process does.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "device/host_port.h"
#include "device/pass_through_port.h"

namespace kx20 {

inline constexpr unsigned long kIoctlScsiPassThrough = 0x4D004;
inline constexpr unsigned long kIoctlScsiPassThroughDirect = 0x4D014;

// The identity of the device at `devicePath` (for letter `letter`); `handle`
// is an open handle on it, or the null handle when the query must open the
// path itself. Empty: no identity could be learned.
using Win32IdentityQuery =
    std::function<std::string(const std::string& devicePath, char letter, PortHandle handle)>;

// The real query (QueryDosDevice + IOCTL_STORAGE_GET_DEVICE_NUMBER).
std::string QueryWin32DeviceIdentity(const std::string& devicePath, char letter, PortHandle handle);

class Win32Port : public PassThroughPort {
 public:
  // Binds the letters at once (as a scan would).
  explicit Win32Port(std::vector<DriveMapping> explicitMap,
                     Win32IdentityQuery identity = QueryWin32DeviceIdentity);

  PortHandle Open(char letter, std::uint32_t* osError) override;
  void Close(PortHandle handle) override;
  bool SendDirect(PortHandle handle, PassThroughRequest& request, std::uint32_t* osError) override;
  bool SendBuffered(PortHandle handle, BufferedPassThroughRequest& request,
                    std::uint32_t* osError) override;
  std::uint32_t LogicalDrives() override;
  std::uint32_t ScanDrives() override;
  std::vector<std::string> DriveNotes() override;
  DiskClaimResult ClaimDisk(char letter, const std::string& who) override;

  // The name of the claim object of the disk with `identity`.
  static std::string ClaimNameOf(const std::string& identity);

  // The device path opened for `letter`: the mapped one, or \\.\E:.
  std::string DevicePath(char letter) const;
  // The identity bound to `letter` ("" when none could be learned).
  std::string BoundIdentity(char letter);

 private:
  std::map<char, std::string> explicitMap_;
  Win32IdentityQuery identity_;
  std::mutex mutex_;
  std::map<char, std::string> bound_;  // letter -> identity at the last scan
};

}  // namespace kx20
