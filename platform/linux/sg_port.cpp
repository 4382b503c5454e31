#include "platform/linux/sg_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace kx20 {

namespace {

// Host and driver bytes of sg_io_hdr (not exported by <scsi/sg.h>).
constexpr unsigned kDidNoConnect = 0x01;
constexpr unsigned kDidTimeOut = 0x03;
constexpr unsigned kDidBadTarget = 0x04;
constexpr unsigned kDriverTimeout = 0x06;
constexpr unsigned kDriverSense = 0x08;

void SetErr(std::uint32_t* out, std::uint32_t code) {
  if (out != nullptr) *out = code;
}

}  // namespace

SgOps SgOps::System() {
  SgOps ops;
  ops.open = [](const char* path, int* err) {
    // Non-blocking open: a device held exclusively elsewhere fails at once
    // instead of hanging the console thread. SG_IO itself still blocks.
    const int fd = ::open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) *err = errno;
    return fd;
  };
  ops.close = [](int fd) { ::close(fd); };
  ops.ioctl = [](int fd, unsigned long request, void* arg, int* err) {
    const int r = ::ioctl(fd, request, arg);
    if (r < 0) *err = errno;
    return r < 0 ? -1 : 0;
  };
  ops.listDev = [] {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir("/dev")) {
      while (const dirent* e = ::readdir(dir)) names.emplace_back(e->d_name);
      ::closedir(dir);
    }
    return names;
  };
  ops.scsiLevel = [](int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return -1;
    std::ifstream in("/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                     std::to_string(minor(st.st_rdev)) + "/device/scsi_level");
    int level = -1;
    if (!(in >> level)) return -1;
    return level;
  };
  return ops;
}

std::map<char, std::string> DefaultSgMap(const std::vector<std::string>& devNames) {
  std::vector<std::pair<unsigned long, std::string>> sg;
  for (const std::string& name : devNames) {
    if (name.size() < 3 || name.size() > 9 || name.compare(0, 2, "sg") != 0) continue;
    if (!std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
    sg.emplace_back(std::stoul(name.substr(2)), name);
  }
  std::sort(sg.begin(), sg.end());
  std::map<char, std::string> map;
  char letter = 'C';
  for (const auto& entry : sg) {
    if (letter > 'Z') break;
    map[letter++] = "/dev/" + entry.second;
  }
  return map;
}

SgPort::SgPort(SgOps ops, std::vector<DriveMapping> explicitMap)
    : ops_(std::move(ops)), explicitMap_(std::move(explicitMap)) {}

SgPort::~SgPort() {
  for (const auto& [handle, fd] : handles_) ops_.close(fd);
}

std::map<char, std::string> SgPort::CurrentMap() {
  if (explicitMap_.empty()) return DefaultSgMap(ops_.listDev());
  std::map<char, std::string> map;
  for (const DriveMapping& m : explicitMap_) map[m.letter] = m.path;
  return map;
}

std::uint32_t SgPort::LogicalDrives() {
  std::uint32_t bits = 0;
  for (const auto& entry : CurrentMap()) {
    if (entry.first >= 'A' && entry.first <= 'Z') bits |= 1u << (entry.first - 'A');
  }
  return bits;
}

PortHandle SgPort::Open(char letter, std::uint32_t* osError) {
  const auto map = CurrentMap();
  const auto it = map.find(letter);
  if (it == map.end()) {
    SetErr(osError, kSgErrNotFound);
    return kInvalidPortHandle;
  }
  int err = 0;
  const int fd = ops_.open(it->second.c_str(), &err);
  if (fd < 0) {
    SetErr(osError, err != 0 ? static_cast<std::uint32_t>(err) : kSgErrIo);
    return kInvalidPortHandle;
  }
  // Only SCSI generic devices speak SG_IO; refuse anything else up front.
  int version = 0;
  err = 0;
  if (ops_.ioctl(fd, SG_GET_VERSION_NUM, &version, &err) != 0 || version < 30000) {
    ops_.close(fd);
    SetErr(osError, err != 0 ? static_cast<std::uint32_t>(err) : kSgErrInvalid);
    return kInvalidPortHandle;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  const PortHandle h = nextHandle_++;
  handles_[h] = fd;
  return h;
}

void SgPort::Close(PortHandle handle) {
  int fd = -1;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return;
    fd = it->second;
    handles_.erase(it);
  }
  ops_.close(fd);
}

int SgPort::FdOf(PortHandle handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = handles_.find(handle);
  return it == handles_.end() ? -1 : it->second;
}

bool SgPort::Execute(int fd, const std::uint8_t* cdb, std::uint8_t cdbLength, std::uint8_t dataIn,
                     void* data, std::uint32_t& transferLength, std::uint32_t timeoutSeconds,
                     std::uint8_t& scsiStatus, std::uint8_t* senseArea, std::size_t senseCapacity,
                     std::uint8_t senseWanted, std::uint32_t* osError) {
  if (cdbLength == 0 || cdbLength > 16) {
    SetErr(osError, kSgErrInvalid);
    return false;
  }
  if (data == nullptr) transferLength = 0;
  std::uint8_t cdbCopy[16];
  std::memcpy(cdbCopy, cdb, cdbLength);
  // Linux writes the LUN into bits 5-7 of CDB byte 1 of every command to a
  // device of SCSI level 1 to 3 (SCSI-2 and older), so a vendor subcommand
  // with those bits set would reach the disk as another command (F9 61, the
  // table write, as F9 01). Such a request is refused, never altered.
  if (cdbLength > 1 && (cdbCopy[1] & 0xE0) != 0 && ops_.scsiLevel) {
    const int level = ops_.scsiLevel(fd);
    if (level >= 1 && level <= 3) {
      SetErr(osError, kSgErrInvalid);
      return false;
    }
  }
  std::uint8_t sense[64] = {};
  const std::size_t senseMax = std::min<std::size_t>({senseWanted, senseCapacity, sizeof sense});

  sg_io_hdr_t hdr;
  std::memset(&hdr, 0, sizeof hdr);
  hdr.interface_id = 'S';
  hdr.dxfer_direction = transferLength == 0 ? SG_DXFER_NONE
                        : dataIn != 0       ? SG_DXFER_FROM_DEV
                                            : SG_DXFER_TO_DEV;
  hdr.cmd_len = cdbLength;
  hdr.mx_sb_len = static_cast<unsigned char>(senseMax);
  hdr.dxfer_len = transferLength;
  hdr.dxferp = transferLength == 0 ? nullptr : data;
  hdr.cmdp = cdbCopy;
  hdr.sbp = sense;
  // Seconds to milliseconds, without overflowing the 32-bit field.
  hdr.timeout = timeoutSeconds > 4000000u ? 4000000000u : timeoutSeconds * 1000u;

  int err = 0;
  if (ops_.ioctl(fd, SG_IO, &hdr, &err) != 0) {
    SetErr(osError, err != 0 ? static_cast<std::uint32_t>(err) : kSgErrIo);
    return false;
  }
  if (hdr.host_status != 0) {
    const unsigned host = hdr.host_status;
    SetErr(osError, host == kDidTimeOut                              ? kSgErrTimedOut
                    : host == kDidNoConnect || host == kDidBadTarget ? kSgErrNoDevice
                                                                     : kSgErrIo);
    return false;
  }
  const unsigned driver = hdr.driver_status & 0x0F;
  if (driver != 0 && driver != kDriverSense) {
    SetErr(osError, driver == kDriverTimeout ? kSgErrTimedOut : kSgErrIo);
    return false;
  }

  // Carried out: the device's status, the sense it returned, the bytes moved.
  scsiStatus = hdr.status;
  if (hdr.status == 0 && driver == kDriverSense && hdr.sb_len_wr > 0) {
    scsiStatus = 0x02;  // sense delivered without a status: a check condition
  }
  const std::size_t senseLen = std::min<std::size_t>(hdr.sb_len_wr, senseMax);
  std::memcpy(senseArea, sense, senseLen);
  const std::int64_t resid = std::clamp<std::int64_t>(hdr.resid, 0, transferLength);
  transferLength = static_cast<std::uint32_t>(transferLength - resid);
  return true;
}

bool SgPort::SendDirect(PortHandle handle, PassThroughRequest& request, std::uint32_t* osError) {
  const int fd = FdOf(handle);
  if (fd < 0) {
    SetErr(osError, kSgErrBadHandle);
    return false;
  }
  ScsiPassThroughDirect& s = request.sptd;
  std::uint32_t length = s.dataTransferLength;
  std::uint8_t status = s.scsiStatus;
  if (!Execute(fd, s.cdb, s.cdbLength, s.dataIn, s.dataBuffer, length, s.timeOutValue, status,
               request.sense, sizeof request.sense, s.senseInfoLength, osError)) {
    return false;
  }
  s.scsiStatus = status;
  s.dataTransferLength = length;
  return true;
}

bool SgPort::SendBuffered(PortHandle handle, BufferedPassThroughRequest& request,
                          std::uint32_t* osError) {
  const int fd = FdOf(handle);
  if (fd < 0) {
    SetErr(osError, kSgErrBadHandle);
    return false;
  }
  ScsiPassThrough& s = request.spt;
  // The data lives inside the block: at dataBufferOffset, never past its end.
  std::uint8_t* base = reinterpret_cast<std::uint8_t*>(&request);
  void* data = nullptr;
  std::uint32_t length = s.dataTransferLength;
  if (length != 0) {
    if (s.dataBufferOffset > sizeof request || length > sizeof request - s.dataBufferOffset) {
      SetErr(osError, kSgErrInvalid);
      return false;
    }
    data = base + s.dataBufferOffset;
  }
  std::uint8_t status = s.scsiStatus;
  if (!Execute(fd, s.cdb, s.cdbLength, s.dataIn, data, length, s.timeOutValue, status,
               request.sense, sizeof request.sense, s.senseInfoLength, osError)) {
    return false;
  }
  s.scsiStatus = status;
  s.dataTransferLength = length;
  return true;
}

std::unique_ptr<PassThroughPort> MakeHostPort(const std::vector<DriveMapping>& explicitMap,
                                              std::string* error) {
  if (!ValidateDriveMap(explicitMap, error)) return nullptr;
  for (const DriveMapping& m : explicitMap) {
    if (m.path.front() != '/') {
      if (error != nullptr) *error = std::string("drive ") + m.letter + ": device path '" + m.path +
                                     "' is not absolute (expected e.g. /dev/sg2)";
      return nullptr;
    }
  }
  return std::make_unique<SgPort>(SgOps::System(), explicitMap);
}

}  // namespace kx20
