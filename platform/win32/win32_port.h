// PassThroughPort over the Windows SCSI pass-through interface on the raw
// drive-letter devices (\\.\E:). An explicit drive mapping names another
// device path for a letter (e.g. E=\\.\PhysicalDrive2).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "device/host_port.h"
#include "device/pass_through_port.h"

namespace kx20 {

inline constexpr unsigned long kIoctlScsiPassThrough = 0x4D004;
inline constexpr unsigned long kIoctlScsiPassThroughDirect = 0x4D014;

class Win32Port : public PassThroughPort {
 public:
  explicit Win32Port(std::vector<DriveMapping> explicitMap);

  PortHandle Open(char letter, std::uint32_t* osError) override;
  void Close(PortHandle handle) override;
  bool SendDirect(PortHandle handle, PassThroughRequest& request, std::uint32_t* osError) override;
  bool SendBuffered(PortHandle handle, BufferedPassThroughRequest& request,
                    std::uint32_t* osError) override;
  std::uint32_t LogicalDrives() override;

  // The device path opened for `letter`: the mapped one, or \\.\E:.
  std::string DevicePath(char letter) const;

 private:
  std::map<char, std::string> explicitMap_;
};

}  // namespace kx20
