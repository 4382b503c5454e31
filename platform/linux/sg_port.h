// PassThroughPort over the Linux SCSI generic driver (SG_IO).
//
// Every system call goes through SgOps so that tests can stand in for the
// kernel: the translation of a request block into an sg_io_hdr and of the
// outcome back into the block, and the binding of letters to devices, are
// exercised without any SCSI device.
//
// Drive letters. A letter is bound to a device identity when it is mapped:
// at construction and at every ScanDrives (the discovery scan), never
// otherwise. The map is an explicit one (letter -> device path, symlinks
// such as /dev/kx20/port-1-2.3 resolved to their sg node) if given; else the
// /dev/sg<N> nodes in numeric order take C:, D:, ... Z:, and the nodes beyond
// Z: are reported by UnmappedDevices (map them with --drive).
//
// Identity. The kernel gives a new device the lowest free sg number, so a
// node name alone can lead to another disk after a replug. The identity of
// a node is its SCSI device in sysfs: the resolved device directory
// (/sys/devices/.../usb1/1-2/1-2.3/1-2.3:1.0/host6/target6:0:0/6:0:0:0,
// which carries the USB port path and H:C:T:L) plus that directory's inode
// number, which differs for every new device even when a replug reuses the
// host number and the port. Open checks the identity of the descriptor it
// actually opened (its device number, looked up in /sys/dev/char) against
// the one bound to the letter; on a difference it closes it again and fails
// with ENODEV, so no command reaches another device.
//
// Claims. A worker claims its disk for its whole run (ClaimDisk): an flock
// on a lock file named after the disk's SCSI device in sysfs (its USB port
// path and H:C:T:L), in the host's lock directory (/run/lock; $KX20_LOCK_DIR
// overrides, /tmp where neither exists). Every station of the host uses the
// same file for the same disk, whatever letter it gave it; the lock file
// says which process holds the disk, for the one that is refused.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device/host_port.h"
#include "device/pass_through_port.h"

namespace kx20 {

struct SgOps {
  // open(2)-like: returns a descriptor or -1 with the errno value in *err.
  std::function<int(const char* path, int* err)> open;
  std::function<void(int fd)> close;
  // ioctl(2)-like: returns 0 or -1 with the errno value in *err.
  std::function<int(int fd, unsigned long request, void* arg, int* err)> ioctl;
  // Names of the entries of /dev (only "sg<digits>" ones are used).
  std::function<std::vector<std::string>()> listDev;
  // realpath(3): the path with every symlink resolved; empty when missing.
  std::function<std::string(const std::string& path)> realPath;
  // The inode number of a path (following symlinks); 0 when missing.
  std::function<std::uint64_t(const std::string& path)> inode;
  // fstat(2) of a descriptor: its character device number. False when it is
  // not a character device.
  std::function<bool(int fd, unsigned* major, unsigned* minor)> deviceNumber;
  // Entry names of a directory; empty when missing.
  std::function<std::vector<std::string>(const std::string& path)> listDir;
  // The kernel's SCSI level of the device behind `fd` (sysfs "scsi_level":
  // 3 = SCSI-2), or -1 when unknown. May be empty (level unknown).
  std::function<int(int fd)> scsiLevel;

  static SgOps System();
};

// The errno-style codes the port reports for transport failures.
inline constexpr std::uint32_t kSgErrTimedOut = 110;  // ETIMEDOUT
inline constexpr std::uint32_t kSgErrNoDevice = 19;   // ENODEV
inline constexpr std::uint32_t kSgErrIo = 5;          // EIO
inline constexpr std::uint32_t kSgErrBadHandle = 9;   // EBADF
inline constexpr std::uint32_t kSgErrNotFound = 2;    // ENOENT
inline constexpr std::uint32_t kSgErrInvalid = 22;    // EINVAL

// ---------------------------------------------------------------------------
// What an SG_IO outcome means for the request block
// ---------------------------------------------------------------------------
//
// The ioctl itself failing (ENODEV, ENXIO, EIO, ... before the command ran)
// is an OS-level failure: SendDirect returns false with the errno.
// Otherwise the host byte (and the driver byte, below) decide:
//
//   host byte                  | outcome
//   ---------------------------+-----------------------------------------------
//   DID_OK                     | carried out; the device's status byte and
//                              | sense as returned. A good status that comes
//                              | with sense stays a good status.
//   DID_NO_CONNECT,            | the device is gone: OS-level failure, ENODEV
//   DID_BAD_TARGET,            |
//   DID_TRANSPORT_FAILFAST     |
//   DID_BUS_BUSY, DID_TIME_OUT,| carried out, but no status came back: the
//   DID_ABORT, DID_PARITY,     | status byte stays at its preset (0xFF for the
//   DID_ERROR, DID_RESET,      | direct request; the buffered one is given
//   DID_BAD_INTR, DID_PASSTHROUGH, | 0xFF too, so that no status never reads
//   DID_SOFT_ERROR, DID_IMM_RETRY, | as good), no sense, nothing moved; the
//   DID_REQUEUE, any other     | command's own failure code applies.
//
//   driver byte (with DID_OK)  | outcome
//   ---------------------------+-----------------------------------------------
//   DRIVER_OK, DRIVER_SENSE    | carried out as above
//   any other (DRIVER_TIMEOUT, | carried out, no status (as above)
//   DRIVER_ERROR, ...)         |
enum class SgOutcome { kCarriedOut, kNoStatus, kDeviceGone };

struct SgHostByteRule {
  std::uint8_t hostByte;
  const char* name;
  SgOutcome outcome;
};

inline constexpr std::array<SgHostByteRule, 16> kSgHostByteRules = {{
    {0x00, "DID_OK", SgOutcome::kCarriedOut},
    {0x01, "DID_NO_CONNECT", SgOutcome::kDeviceGone},
    {0x02, "DID_BUS_BUSY", SgOutcome::kNoStatus},
    {0x03, "DID_TIME_OUT", SgOutcome::kNoStatus},
    {0x04, "DID_BAD_TARGET", SgOutcome::kDeviceGone},
    {0x05, "DID_ABORT", SgOutcome::kNoStatus},
    {0x06, "DID_PARITY", SgOutcome::kNoStatus},
    {0x07, "DID_ERROR", SgOutcome::kNoStatus},
    {0x08, "DID_RESET", SgOutcome::kNoStatus},
    {0x09, "DID_BAD_INTR", SgOutcome::kNoStatus},
    {0x0A, "DID_PASSTHROUGH", SgOutcome::kNoStatus},
    {0x0B, "DID_SOFT_ERROR", SgOutcome::kNoStatus},
    {0x0C, "DID_IMM_RETRY", SgOutcome::kNoStatus},
    {0x0D, "DID_REQUEUE", SgOutcome::kNoStatus},
    {0x0E, "DID_TRANSPORT_DISRUPTED", SgOutcome::kNoStatus},
    {0x0F, "DID_TRANSPORT_FAILFAST", SgOutcome::kDeviceGone},
}};

inline constexpr unsigned kSgDriverOk = 0x00;
inline constexpr unsigned kSgDriverSense = 0x08;

// The outcome of one SG_IO that returned 0, from its host and driver bytes.
SgOutcome ClassifySgResult(unsigned hostStatus, unsigned driverStatus);

// ---------------------------------------------------------------------------
// Identities and bindings
// ---------------------------------------------------------------------------

struct SgIdentity {
  std::string sysfsDevice;     // resolved sysfs directory of the SCSI device
  std::uint64_t instance = 0;  // its inode number
  bool operator==(const SgIdentity&) const = default;

  // "H:C:T:L" (the last path component), and the USB port path such as
  // "1-2.3" when the device hangs off USB (empty otherwise).
  std::string Hctl() const;
  std::string UsbPort() const;
};

struct SgBinding {
  std::string mappedPath;  // as given (explicit map) or the default node
  std::string node;        // the sg node it resolved to, e.g. /dev/sg2
  std::optional<SgIdentity> identity;  // none: unusable (problem says why)
  std::string problem;
};

// The default map: "sg<N>" names sorted by N, given letters from C: on (at
// most 24). Other names are ignored; the sg nodes that got no letter go into
// *unmapped (when non-null), as /dev paths.
std::map<char, std::string> DefaultSgMap(const std::vector<std::string>& devNames,
                                         std::vector<std::string>* unmapped = nullptr);

// Checks one explicit mapping before the port is built: the path must be
// absolute, and must not be a block device node (SG_IO there goes through
// the block layer, which refuses vendor commands to most users): the message
// then names the sg node to use. Empty when fine.
std::string CheckSgMapping(const SgOps& ops, const DriveMapping& mapping);

class SgPort : public PassThroughPort {
 public:
  // Binds the letters at once (as a scan would).
  SgPort(SgOps ops, std::vector<DriveMapping> explicitMap);
  ~SgPort() override;

  PortHandle Open(char letter, std::uint32_t* osError) override;
  void Close(PortHandle handle) override;
  bool SendDirect(PortHandle handle, PassThroughRequest& request, std::uint32_t* osError) override;
  bool SendBuffered(PortHandle handle, BufferedPassThroughRequest& request,
                    std::uint32_t* osError) override;
  std::uint32_t LogicalDrives() override;
  std::uint32_t ScanDrives() override;
  std::vector<std::string> DriveNotes() override;
  DiskClaimResult ClaimDisk(char letter, const std::string& who) override;

  // Where the disks' lock files are (default: DefaultClaimDirectory()).
  void SetClaimDirectory(std::string directory);
  static std::string DefaultClaimDirectory();
  // The lock file of the disk with `identity` (in the claim directory).
  std::string ClaimFileOf(const SgIdentity& identity);

  // The bindings in force (letter -> binding).
  std::map<char, SgBinding> Bindings();
  // The sg nodes the last scan found but could give no letter.
  std::vector<std::string> UnmappedDevices();

 private:
  // One SG_IO round trip. `senseArea`/`senseCapacity`: where the sense goes.
  bool Execute(int fd, const std::uint8_t* cdb, std::uint8_t cdbLength, std::uint8_t dataIn,
               void* data, std::uint32_t& transferLength, std::uint32_t timeoutSeconds,
               std::uint8_t& scsiStatus, std::uint8_t* senseArea, std::size_t senseCapacity,
               std::uint8_t senseWanted, std::uint32_t* osError);
  int FdOf(PortHandle handle);
  SgBinding Bind(const std::string& path);
  std::optional<SgIdentity> IdentityOfFd(int fd);

  SgOps ops_;
  std::vector<DriveMapping> explicitMap_;
  std::mutex mutex_;
  std::map<char, SgBinding> bindings_;
  std::vector<std::string> unmapped_;
  std::map<PortHandle, int> handles_;
  PortHandle nextHandle_ = 1;
  std::string claimDirectory_;
};

}  // namespace kx20
