// PassThroughPort over the Linux SCSI generic driver (SG_IO).
//
// Every system call goes through SgOps so that tests can stand in for the
// kernel: the translation of a request block into an sg_io_hdr and of the
// outcome back into the block is exercised without any SCSI device.
//
// Drive letters: an explicit map (letter -> device path) if one is given;
// otherwise the /dev/sg<N> devices in numeric order take C:, D:, ... (re-read
// on every LogicalDrives and every Open, so hot-plugged disks appear).
#pragma once

#include <functional>
#include <map>
#include <mutex>
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

class SgPort : public PassThroughPort {
 public:
  SgPort(SgOps ops, std::vector<DriveMapping> explicitMap);
  ~SgPort() override;

  PortHandle Open(char letter, std::uint32_t* osError) override;
  void Close(PortHandle handle) override;
  bool SendDirect(PortHandle handle, PassThroughRequest& request, std::uint32_t* osError) override;
  bool SendBuffered(PortHandle handle, BufferedPassThroughRequest& request,
                    std::uint32_t* osError) override;
  std::uint32_t LogicalDrives() override;

  // The letter -> path map in force now (default or explicit).
  std::map<char, std::string> CurrentMap();

 private:
  // One SG_IO round trip. `senseArea`/`senseCapacity`: where the sense goes.
  bool Execute(int fd, const std::uint8_t* cdb, std::uint8_t cdbLength, std::uint8_t dataIn,
               void* data, std::uint32_t& transferLength, std::uint32_t timeoutSeconds,
               std::uint8_t& scsiStatus, std::uint8_t* senseArea, std::size_t senseCapacity,
               std::uint8_t senseWanted, std::uint32_t* osError);
  int FdOf(PortHandle handle);

  SgOps ops_;
  std::vector<DriveMapping> explicitMap_;
  std::mutex mutex_;
  std::map<PortHandle, int> handles_;
  PortHandle nextHandle_ = 1;
};

// The default map: "sg<N>" names sorted by N, given letters from C: on (at
// most 24). Other names are ignored.
std::map<char, std::string> DefaultSgMap(const std::vector<std::string>& devNames);

}  // namespace kx20
