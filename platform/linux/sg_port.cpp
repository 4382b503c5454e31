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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "storage/file_lock.h"

namespace kx20 {

namespace {

constexpr unsigned kSgMajor = 21;  // SCSI generic character devices

void SetErr(std::uint32_t* out, std::uint32_t code) {
  if (out != nullptr) *out = code;
}

bool IsDigits(const std::string& s, std::size_t from) {
  return s.size() > from && std::all_of(s.begin() + static_cast<std::ptrdiff_t>(from), s.end(),
                                        [](char c) { return c >= '0' && c <= '9'; });
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "sg<digits>" as a node name.
bool IsSgName(const std::string& name) {
  return name.size() >= 3 && name.size() <= 9 && name.compare(0, 2, "sg") == 0 && IsDigits(name, 2);
}

}  // namespace

SgOutcome ClassifySgResult(unsigned hostStatus, unsigned driverStatus) {
  SgOutcome outcome = SgOutcome::kNoStatus;  // host bytes not in the table
  for (const SgHostByteRule& rule : kSgHostByteRules) {
    if (rule.hostByte == hostStatus) outcome = rule.outcome;
  }
  if (outcome != SgOutcome::kCarriedOut) return outcome;
  const unsigned driver = driverStatus & 0x0F;
  return driver == kSgDriverOk || driver == kSgDriverSense ? SgOutcome::kCarriedOut
                                                            : SgOutcome::kNoStatus;
}

std::string SgIdentity::Hctl() const { return BaseName(sysfsDevice); }

std::string SgIdentity::UsbPort() const {
  // The USB device directory is the component before the interface
  // ("1-2.3:1.0"): "<bus>-<port>[.<port>...]".
  std::string port;
  std::size_t pos = 0;
  while (pos < sysfsDevice.size()) {
    std::size_t next = sysfsDevice.find('/', pos);
    if (next == std::string::npos) next = sysfsDevice.size();
    const std::string part = sysfsDevice.substr(pos, next - pos);
    const std::size_t dash = part.find('-');
    if (dash != std::string::npos && dash > 0 && part.find(':') == std::string::npos &&
        std::all_of(part.begin(), part.begin() + static_cast<std::ptrdiff_t>(dash),
                    [](char c) { return c >= '0' && c <= '9'; }) &&
        dash + 1 < part.size() &&
        std::all_of(part.begin() + static_cast<std::ptrdiff_t>(dash) + 1, part.end(),
                    [](char c) { return (c >= '0' && c <= '9') || c == '.'; })) {
      port = part;  // the deepest one is the disk's own port
    }
    pos = next + 1;
  }
  return port;
}

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
  ops.realPath = [](const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    std::string out = resolved != nullptr ? std::string(resolved) : std::string();
    std::free(resolved);
    return out;
  };
  ops.inode = [](const std::string& path) -> std::uint64_t {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_ino);
  };
  ops.deviceNumber = [](int fd, unsigned* major, unsigned* minor) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    *major = ::major(st.st_rdev);
    *minor = ::minor(st.st_rdev);
    return true;
  };
  ops.listDir = [](const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
      while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.') names.emplace_back(e->d_name);
      }
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

std::map<char, std::string> DefaultSgMap(const std::vector<std::string>& devNames,
                                         std::vector<std::string>* unmapped) {
  std::vector<std::pair<unsigned long, std::string>> sg;
  for (const std::string& name : devNames) {
    if (IsSgName(name)) sg.emplace_back(std::stoul(name.substr(2)), name);
  }
  std::sort(sg.begin(), sg.end());
  std::map<char, std::string> map;
  char letter = 'C';
  for (const auto& entry : sg) {
    if (letter > 'Z') {
      if (unmapped != nullptr) unmapped->push_back("/dev/" + entry.second);
      continue;
    }
    map[letter++] = "/dev/" + entry.second;
  }
  return map;
}

std::string CheckSgMapping(const SgOps& ops, const DriveMapping& m) {
  const std::string head = std::string("drive ") + m.letter + ": ";
  if (m.path.empty() || m.path.front() != '/') {
    return head + "device path '" + m.path + "' is not absolute (expected e.g. /dev/sg2)";
  }
  const std::string real = ops.realPath(m.path);
  const std::string name = BaseName(real);
  if (real.empty() || IsSgName(name)) return {};  // missing now: unopenable until a scan finds it
  // A block device of a SCSI disk: name its sg node.
  const std::vector<std::string> sg = ops.listDir("/sys/class/block/" + name + "/device/scsi_generic");
  if (!sg.empty()) {
    return head + m.path + " is a block device; map its SCSI generic node instead: " + m.letter +
           "=/dev/" + sg.front();
  }
  return head + m.path + " is not a SCSI generic device (/dev/sg<N>, or a symlink to one)";
}

SgPort::SgPort(SgOps ops, std::vector<DriveMapping> explicitMap)
    : ops_(std::move(ops)),
      explicitMap_(std::move(explicitMap)),
      claimDirectory_(DefaultClaimDirectory()) {
  ScanDrives();
}

std::string SgPort::DefaultClaimDirectory() {
  if (const char* dir = std::getenv("KX20_LOCK_DIR"); dir != nullptr && *dir != '\0') return dir;
  struct stat st {};
  if (::stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode)) return "/run/lock";
  return "/tmp";
}

void SgPort::SetClaimDirectory(std::string directory) {
  std::lock_guard<std::mutex> lock(mutex_);
  claimDirectory_ = std::move(directory);
}

std::string SgPort::ClaimFileOf(const SgIdentity& identity) {
  // FNV-1a of the sysfs device path: one name per SCSI device, whichever
  // letter or sg number a station gave it.
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const unsigned char c : identity.sysfsDevice) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  char name[48];
  std::snprintf(name, sizeof name, "kx20-disk-%016llx.lock", static_cast<unsigned long long>(hash));
  std::lock_guard<std::mutex> lock(mutex_);
  return claimDirectory_ + "/" + name;
}

namespace {

class SgDiskClaim final : public DiskClaim {
 public:
  explicit SgDiskClaim(std::unique_ptr<HeldFileLock> lock) : lock_(std::move(lock)) {}

 private:
  std::unique_ptr<HeldFileLock> lock_;
};

}  // namespace

DiskClaimResult SgPort::ClaimDisk(char letter, const std::string& who) {
  DiskClaimResult result;
  SgBinding binding;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = bindings_.find(letter);
    if (it != bindings_.end()) binding = it->second;
  }
  if (!binding.identity) {
    // Nothing behind the letter that could be driven: an open fails.
    result.claim = std::make_unique<SgDiskClaim>(nullptr);
    return result;
  }
  const std::string path = ClaimFileOf(*binding.identity);
  FileLockAttempt attempt = TryLockFile(path, /*everyone=*/true);
  const std::string drive = std::string("drive ") + letter + ": (" + binding.node + ", SCSI " +
                            binding.identity->Hctl() + ")";
  switch (attempt.outcome) {
    case FileLockAttempt::Outcome::kLocked:
      break;
    case FileLockAttempt::Outcome::kHeld:
      result.busy = true;
      result.refusal = drive + " is in use by another station (" +
                       (attempt.holder.empty() ? std::string("it has not said who it is yet")
                                               : attempt.holder) +
                       ")";
      return result;
    case FileLockAttempt::Outcome::kFailed:
      result.refusal = drive + " cannot be claimed for this station: " + attempt.error;
      return result;
  }
  std::string ignored;
  attempt.lock->WriteHolder(ThisProcessDescription() + (who.empty() ? "" : ", " + who) + ", " +
                                drive + "\n",
                            &ignored);
  result.claim = std::make_unique<SgDiskClaim>(std::move(attempt.lock));
  return result;
}

SgPort::~SgPort() {
  for (const auto& [handle, fd] : handles_) ops_.close(fd);
}

SgBinding SgPort::Bind(const std::string& path) {
  SgBinding b;
  b.mappedPath = path;
  const std::string real = ops_.realPath(path);
  if (real.empty()) {
    b.problem = "no such device";
    return b;
  }
  const std::string name = BaseName(real);
  if (!IsSgName(name)) {
    b.problem = real + " is not a SCSI generic device";
    return b;
  }
  b.node = "/dev/" + name;
  SgIdentity id;
  id.sysfsDevice = ops_.realPath("/sys/class/scsi_generic/" + name + "/device");
  id.instance = id.sysfsDevice.empty() ? 0 : ops_.inode(id.sysfsDevice);
  if (id.sysfsDevice.empty() || id.instance == 0) {
    b.problem = "no SCSI device in sysfs behind " + b.node;
    return b;
  }
  b.identity = id;
  return b;
}

std::optional<SgIdentity> SgPort::IdentityOfFd(int fd) {
  unsigned major = 0;
  unsigned minor = 0;
  if (!ops_.deviceNumber(fd, &major, &minor) || major != kSgMajor) return std::nullopt;
  SgIdentity id;
  id.sysfsDevice = ops_.realPath("/sys/dev/char/" + std::to_string(major) + ":" +
                                 std::to_string(minor) + "/device");
  if (id.sysfsDevice.empty()) return std::nullopt;
  id.instance = ops_.inode(id.sysfsDevice);
  return id;
}

std::uint32_t SgPort::ScanDrives() {
  std::map<char, std::string> paths;
  std::vector<std::string> unmapped;
  if (explicitMap_.empty()) {
    paths = DefaultSgMap(ops_.listDev(), &unmapped);
  } else {
    for (const DriveMapping& m : explicitMap_) paths[m.letter] = m.path;
  }
  std::map<char, SgBinding> bindings;
  for (const auto& [letter, path] : paths) bindings[letter] = Bind(path);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bindings_ = std::move(bindings);
    unmapped_ = std::move(unmapped);
  }
  return LogicalDrives();
}

std::map<char, SgBinding> SgPort::Bindings() {
  std::lock_guard<std::mutex> lock(mutex_);
  return bindings_;
}

std::vector<std::string> SgPort::UnmappedDevices() {
  std::lock_guard<std::mutex> lock(mutex_);
  return unmapped_;
}

std::vector<std::string> SgPort::DriveNotes() {
  std::vector<std::string> notes;
  for (const auto& [letter, b] : Bindings()) {
    std::string line = std::string(1, letter) + ": " + b.mappedPath;
    if (!b.node.empty() && b.node != b.mappedPath) line += " -> " + b.node;
    if (b.identity) {
      line += "  SCSI " + b.identity->Hctl();
      if (!b.identity->UsbPort().empty()) line += ", USB port " + b.identity->UsbPort();
    } else {
      line += "  (" + b.problem + ": unopenable until the next scan)";
    }
    notes.push_back(line);
  }
  for (const std::string& node : UnmappedDevices()) {
    notes.push_back("no letter: " + node + " (beyond Z:; map it with --drive L=" + node + ")");
  }
  return notes;
}

std::uint32_t SgPort::LogicalDrives() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint32_t bits = 0;
  for (const auto& entry : bindings_) {
    if (entry.first >= 'A' && entry.first <= 'Z') bits |= 1u << (entry.first - 'A');
  }
  return bits;
}

PortHandle SgPort::Open(char letter, std::uint32_t* osError) {
  SgBinding binding;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = bindings_.find(letter);
    if (it == bindings_.end()) {
      SetErr(osError, kSgErrNotFound);
      return kInvalidPortHandle;
    }
    binding = it->second;
  }
  if (!binding.identity) {
    SetErr(osError, binding.node.empty() ? kSgErrNotFound : kSgErrNoDevice);
    return kInvalidPortHandle;
  }
  int err = 0;
  const int fd = ops_.open(binding.node.c_str(), &err);
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
  // The descriptor pins its device (the kernel reuses an sg number only once
  // every descriptor on it is closed): check that it is the bound one.
  if (IdentityOfFd(fd) != binding.identity) {
    ops_.close(fd);
    SetErr(osError, kSgErrNoDevice);
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
  switch (ClassifySgResult(hdr.host_status, hdr.driver_status)) {
    case SgOutcome::kDeviceGone:
      SetErr(osError, kSgErrNoDevice);
      return false;
    case SgOutcome::kNoStatus:
      // Carried out, but nothing trustworthy came back.
      scsiStatus = 0xFF;
      transferLength = 0;
      return true;
    case SgOutcome::kCarriedOut:
      break;
  }

  // Carried out: the device's status, the sense it returned, the bytes moved.
  scsiStatus = hdr.status;
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
  SgOps ops = SgOps::System();
  for (const DriveMapping& m : explicitMap) {
    const std::string problem = CheckSgMapping(ops, m);
    if (!problem.empty()) {
      if (error != nullptr) *error = problem;
      return nullptr;
    }
  }
  return std::make_unique<SgPort>(std::move(ops), explicitMap);
}

}  // namespace kx20
