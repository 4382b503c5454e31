#include "platform/win32/win32_port.h"

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>
#include <cstdio>
#include <string>

namespace kx20 {

// Our request blocks must be the platform's own structures, member for member.
static_assert(sizeof(ScsiPassThroughDirect) == sizeof(SCSI_PASS_THROUGH_DIRECT));
static_assert(offsetof(ScsiPassThroughDirect, scsiStatus) == offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus));
static_assert(offsetof(ScsiPassThroughDirect, dataIn) == offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn));
static_assert(offsetof(ScsiPassThroughDirect, dataTransferLength) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength));
static_assert(offsetof(ScsiPassThroughDirect, timeOutValue) == offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue));
static_assert(offsetof(ScsiPassThroughDirect, dataBuffer) == offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer));
static_assert(offsetof(ScsiPassThroughDirect, senseInfoOffset) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset));
static_assert(offsetof(ScsiPassThroughDirect, cdb) == offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb));
static_assert(sizeof(ScsiPassThrough) == sizeof(SCSI_PASS_THROUGH));
static_assert(offsetof(ScsiPassThrough, dataBufferOffset) == offsetof(SCSI_PASS_THROUGH, DataBufferOffset));
static_assert(offsetof(ScsiPassThrough, senseInfoOffset) == offsetof(SCSI_PASS_THROUGH, SenseInfoOffset));
static_assert(offsetof(ScsiPassThrough, cdb) == offsetof(SCSI_PASS_THROUGH, Cdb));
static_assert(kIoctlScsiPassThrough == IOCTL_SCSI_PASS_THROUGH);
static_assert(kIoctlScsiPassThroughDirect == IOCTL_SCSI_PASS_THROUGH_DIRECT);
static_assert(sizeof(PortHandle) == sizeof(HANDLE));

namespace {

HANDLE ToHandle(PortHandle h) { return reinterpret_cast<HANDLE>(h); }

void SetErr(std::uint32_t* out, DWORD code) {
  if (out != nullptr) *out = code;
}

}  // namespace

std::string QueryWin32DeviceIdentity(const std::string& devicePath, char /*letter*/,
                                     PortHandle handle) {
  std::string identity;
  // The NT device behind the name: renumbered by Windows for every arrival.
  const std::string prefix = "\\\\.\\";
  const std::string name =
      devicePath.compare(0, prefix.size(), prefix) == 0 ? devicePath.substr(prefix.size()) : devicePath;
  char target[1024] = {};
  if (::QueryDosDeviceA(name.c_str(), target, sizeof target - 1) != 0) identity = target;

  HANDLE h = reinterpret_cast<HANDLE>(handle);
  const bool own = !IsOpenHandle(handle);
  if (own) {
    // No access rights needed for the storage query.
    h = ::CreateFileA(devicePath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                      0, nullptr);
  }
  if (h != INVALID_HANDLE_VALUE && h != nullptr) {
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 0;
    if (::DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number,
                          &returned, nullptr)) {
      identity += "|device " + std::to_string(number.DeviceType) + ":" +
                  std::to_string(number.DeviceNumber) + ":" + std::to_string(number.PartitionNumber);
    }
    if (own) ::CloseHandle(h);
  }
  return identity;
}

Win32Port::Win32Port(std::vector<DriveMapping> explicitMap, Win32IdentityQuery identity)
    : identity_(std::move(identity)) {
  for (DriveMapping& m : explicitMap) explicitMap_[m.letter] = std::move(m.path);
  ScanDrives();
}

std::uint32_t Win32Port::ScanDrives() {
  std::uint32_t bits = ::GetLogicalDrives();
  for (const auto& entry : explicitMap_) {
    if (entry.first >= 'A' && entry.first <= 'Z') bits |= 1u << (entry.first - 'A');
  }
  std::map<char, std::string> bound;
  for (int i = 0; i < 26; ++i) {
    if ((bits & (1u << i)) == 0) continue;
    const char letter = static_cast<char>('A' + i);
    bound[letter] = identity_(DevicePath(letter), letter, kNullPortHandle);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  bound_ = std::move(bound);
  return bits;
}

std::vector<std::string> Win32Port::DriveNotes() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> notes;
  for (const auto& [letter, identity] : bound_) {
    notes.push_back(std::string(1, letter) + ": " + DevicePath(letter) + "  " +
                    (identity.empty() ? std::string("(no identity: unopenable until the next scan)") : identity));
  }
  return notes;
}

std::string Win32Port::BoundIdentity(char letter) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = bound_.find(letter);
  return it == bound_.end() ? std::string() : it->second;
}

std::string Win32Port::DevicePath(char letter) const {
  const auto it = explicitMap_.find(letter);
  if (it != explicitMap_.end()) return it->second;
  char path[8];
  std::snprintf(path, sizeof path, "\\\\.\\%c:", letter);
  return path;
}

PortHandle Win32Port::Open(char letter, std::uint32_t* osError) {
  if (letter < 'A' || letter > 'Z') {
    SetErr(osError, ERROR_INVALID_NAME);
    return kInvalidPortHandle;
  }
  std::string bound;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = bound_.find(letter);
    if (it == bound_.end()) {
      SetErr(osError, ERROR_FILE_NOT_FOUND);
      return kInvalidPortHandle;
    }
    bound = it->second;
  }
  const std::string path = DevicePath(letter);
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) {
    SetErr(osError, ::GetLastError());
    return kInvalidPortHandle;
  }
  // Only the device the letter was bound to; an unknown identity proves nothing.
  const PortHandle handle = reinterpret_cast<PortHandle>(h);
  if (bound.empty() || identity_(path, letter, handle) != bound) {
    ::CloseHandle(h);
    SetErr(osError, ERROR_DEV_NOT_EXIST);
    return kInvalidPortHandle;
  }
  return handle;
}

std::string Win32Port::ClaimNameOf(const std::string& identity) {
  std::uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
  for (const unsigned char c : identity) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  char name[64];
  std::snprintf(name, sizeof name, "Global\\kx20-disk-%016llx",
                static_cast<unsigned long long>(hash));
  return name;
}

namespace {

class MutexDiskClaim final : public DiskClaim {
 public:
  explicit MutexDiskClaim(HANDLE h) : h_(h) {}
  ~MutexDiskClaim() override {
    if (h_ != nullptr) ::CloseHandle(h_);
  }

 private:
  HANDLE h_;
};

}  // namespace

DiskClaimResult Win32Port::ClaimDisk(char letter, const std::string&) {
  DiskClaimResult result;
  const std::string identity = BoundIdentity(letter);
  if (identity.empty()) {
    // No device bound to the letter: nothing can be driven (an open fails).
    result.claim = std::make_unique<MutexDiskClaim>(nullptr);
    return result;
  }
  const std::string drive = std::string("drive ") + letter + ": (" + DevicePath(letter) + ")";
  HANDLE h = ::CreateMutexA(nullptr, FALSE, ClaimNameOf(identity).c_str());
  const DWORD error = ::GetLastError();
  if (h != nullptr && error != ERROR_ALREADY_EXISTS) {
    result.claim = std::make_unique<MutexDiskClaim>(h);
    return result;
  }
  if (h != nullptr) ::CloseHandle(h);
  // There already, or there and not ours to open (another user's station).
  if (h != nullptr || error == ERROR_ACCESS_DENIED) {
    result.busy = true;
    result.refusal = drive + " is in use by another station on this computer";
  } else {
    result.refusal = drive + " cannot be claimed for this station: error " + std::to_string(error);
  }
  return result;
}

void Win32Port::Close(PortHandle handle) {
  if (IsOpenHandle(handle)) ::CloseHandle(ToHandle(handle));
}

bool Win32Port::SendDirect(PortHandle handle, PassThroughRequest& request, std::uint32_t* osError) {
  // The invalid handle value is also the current-process pseudo handle: never
  // hand it (or null) to the driver.
  if (!IsOpenHandle(handle)) {
    SetErr(osError, ERROR_INVALID_HANDLE);
    return false;
  }
  DWORD returned = 0;
  const DWORD size = sizeof(PassThroughRequest);  // 112 on a 32-bit build
  if (!::DeviceIoControl(ToHandle(handle), kIoctlScsiPassThroughDirect, &request, size, &request, size,
                         &returned, nullptr)) {
    SetErr(osError, ::GetLastError());
    return false;
  }
  return true;
}

bool Win32Port::SendBuffered(PortHandle handle, BufferedPassThroughRequest& request,
                             std::uint32_t* osError) {
  if (!IsOpenHandle(handle)) {
    SetErr(osError, ERROR_INVALID_HANDLE);
    return false;
  }
  DWORD returned = 0;
  // In: the structure (44 bytes on 32-bit); out: up to the data area (80).
  const DWORD inSize = sizeof(ScsiPassThrough);
  const DWORD outSize = offsetof(BufferedPassThroughRequest, data) + request.spt.dataTransferLength;
  if (outSize > sizeof request) {
    SetErr(osError, ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!::DeviceIoControl(ToHandle(handle), kIoctlScsiPassThrough, &request, inSize, &request, outSize,
                         &returned, nullptr)) {
    SetErr(osError, ::GetLastError());
    return false;
  }
  return true;
}

std::uint32_t Win32Port::LogicalDrives() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint32_t bits = 0;
  for (const auto& entry : bound_) bits |= 1u << (entry.first - 'A');
  return bits;
}

std::unique_ptr<PassThroughPort> MakeHostPort(const std::vector<DriveMapping>& explicitMap,
                                              std::string* error) {
  if (!ValidateDriveMap(explicitMap, error)) return nullptr;
  return std::make_unique<Win32Port>(explicitMap);
}

}  // namespace kx20
