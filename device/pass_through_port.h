// PassThroughPort: the one seam between the device layer and the host's SCSI
// pass-through facility. Implementations: Win32 DeviceIoControl, Linux SG_IO,
// and the simulated disk farm.
//
// The request blocks below are filled by the device layer and handed to the
// port, which carries the request out and writes the outcome back into the
// same block, exactly as the Windows driver does with its own structures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kx20 {

// ---------------------------------------------------------------------------
// Request blocks
// ---------------------------------------------------------------------------

// Same member layout as the platform's SCSI_PASS_THROUGH_DIRECT: 44 bytes on a
// 32-bit build (the buffer address is 4 bytes wide), 56 bytes on a 64-bit build.
struct ScsiPassThroughDirect {
  std::uint16_t length;              // size of this structure
  std::uint8_t scsiStatus;           // preset 0xFF; the device's status afterwards
  std::uint8_t pathId;
  std::uint8_t targetId;
  std::uint8_t lun;
  std::uint8_t cdbLength;
  std::uint8_t senseInfoLength;
  std::uint8_t dataIn;               // 1: data from the device, 0: data to the device
  std::uint32_t dataTransferLength;  // requested; the port writes the bytes moved
  std::uint32_t timeOutValue;        // seconds
  void* dataBuffer;
  std::uint32_t senseInfoOffset;     // offset of the sense area in the request block
  std::uint8_t cdb[16];
};

// The direct request: structure, 4 filler bytes, 64-byte sense area.
struct PassThroughRequest {
  ScsiPassThroughDirect sptd;
  std::uint32_t filler;
  std::uint8_t sense[64];
};

// Same member layout as the platform's SCSI_PASS_THROUGH (buffered form).
struct ScsiPassThrough {
  std::uint16_t length;
  std::uint8_t scsiStatus;
  std::uint8_t pathId;
  std::uint8_t targetId;
  std::uint8_t lun;
  std::uint8_t cdbLength;
  std::uint8_t senseInfoLength;
  std::uint8_t dataIn;
  std::uint32_t dataTransferLength;
  std::uint32_t timeOutValue;
  std::uintptr_t dataBufferOffset;  // ULONG_PTR on the platform
  std::uint32_t senseInfoOffset;
  std::uint8_t cdb[16];
};

// The buffered request used only for TEST UNIT READY: structure, filler,
// 32-byte sense area, 1024-byte data area.
struct BufferedPassThroughRequest {
  ScsiPassThrough spt;
  std::uint32_t filler;
  std::uint8_t sense[32];
  std::uint8_t data[1024];
};

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(ScsiPassThroughDirect) == 44, "32-bit SCSI_PASS_THROUGH_DIRECT is 44 bytes");
static_assert(sizeof(PassThroughRequest) == 112, "32-bit request block is 112 bytes");
static_assert(offsetof(PassThroughRequest, sptd.dataTransferLength) == 12);
static_assert(offsetof(PassThroughRequest, sptd.timeOutValue) == 16);
static_assert(offsetof(PassThroughRequest, sptd.dataBuffer) == 20);
static_assert(offsetof(PassThroughRequest, sptd.senseInfoOffset) == 24);
static_assert(offsetof(PassThroughRequest, sptd.cdb) == 28);
static_assert(offsetof(PassThroughRequest, filler) == 44);
static_assert(offsetof(PassThroughRequest, sense) == 48);
static_assert(sizeof(BufferedPassThroughRequest) == 1104, "32-bit buffered block is 1104 bytes");
static_assert(offsetof(BufferedPassThroughRequest, sense) == 48);
static_assert(offsetof(BufferedPassThroughRequest, data) == 80);
#endif

// ---------------------------------------------------------------------------
// The seam
// ---------------------------------------------------------------------------

// Data buffers handed to SendDirect are aligned to at least this many bytes:
// Windows refuses a DataBuffer that breaks the adapter's alignment mask, and
// 16 covers the masks USB storage adapters report. DeviceSession sees to it.
inline constexpr std::size_t kDataBufferAlignment = 16;

inline bool IsAlignedDataBuffer(const void* p) {
  return reinterpret_cast<std::uintptr_t>(p) % kDataBufferAlignment == 0;
}

// An opened device. 0 is the null handle (never opened, or closed);
// kInvalidPortHandle is what a failed open yields.
using PortHandle = std::intptr_t;
inline constexpr PortHandle kNullPortHandle = 0;
inline constexpr PortHandle kInvalidPortHandle = -1;

inline bool IsOpenHandle(PortHandle h) { return h != kNullPortHandle && h != kInvalidPortHandle; }

// A disk claimed by one worker for its whole run (PassThroughPort::ClaimDisk):
// while it lives, no other claim on the same disk succeeds, from this
// process or from another station on the host. Destroying it releases the
// disk; so does the end of the process, however it ends.
class DiskClaim {
 public:
  virtual ~DiskClaim() = default;
};

// The answer to a claim: the claim, or why the disk cannot be had.
struct DiskClaimResult {
  std::unique_ptr<DiskClaim> claim;  // set: the disk is the caller's
  bool busy = false;                 // no claim: another station drives the disk
  std::string refusal;               // no claim: why, in words for the operator
};

class PassThroughPort {
 public:
  virtual ~PassThroughPort() = default;

  // Opens the raw device behind drive letter `letter` ('A'..'Z', upper case)
  // for reading and writing, shared. Returns an open handle, or
  // kInvalidPortHandle with the OS error code in *osError (when non-null).
  // Thread-safe: several threads open different (or the same) letters at once.
  virtual PortHandle Open(char letter, std::uint32_t* osError) = 0;

  // Closes a handle returned by Open. Closing the null or invalid handle does
  // nothing. Thread-safe.
  virtual void Close(PortHandle handle) = 0;

  // Carries out a direct request (IOCTL_SCSI_PASS_THROUGH_DIRECT semantics):
  // sends the first cdbLength bytes of the CDB, moves up to dataTransferLength
  // bytes from or to dataBuffer, blocks until the command ends or times out.
  // Returns false when the request could not be carried out at all (bad or
  // closed handle, device gone, transport error), with the OS error in
  // *osError. On true: scsiStatus holds the device's status (left at its
  // preset when the transport reported none), the sense area holds the sense
  // data for a check condition, and dataTransferLength the bytes moved.
  // Callable from the thread that owns the handle.
  virtual bool SendDirect(PortHandle handle, PassThroughRequest& request, std::uint32_t* osError) = 0;

  // Carries out a buffered request (IOCTL_SCSI_PASS_THROUGH semantics), the
  // same way; data, if any, lives in the block's own data area.
  virtual bool SendBuffered(PortHandle handle, BufferedPassThroughRequest& request,
                            std::uint32_t* osError) = 0;

  // The drive letters present on the host: bit 0 = A:, bit 25 = Z:. Reports
  // the letters as the last ScanDrives bound them (a port may leave out a
  // letter whose device it knows to be gone); never changes the map.
  // Thread-safe.
  virtual std::uint32_t LogicalDrives() = 0;

  // Assigns the drive letters afresh: each present letter is bound to the
  // identity of the device behind it now, and from then on Open(letter)
  // opens that device only. If the device goes away, or the letter comes to
  // lead to another device, Open fails (as an open failure) and stays failing
  // until the next ScanDrives. This is the only call that changes the map;
  // the discovery scan makes it, never while a worker runs. Returns the
  // letters now present, as LogicalDrives. Console thread only.
  // The default suits ports whose letters cannot change: it binds nothing.
  virtual std::uint32_t ScanDrives() { return LogicalDrives(); }

  // Claims the disk bound to `letter` for one worker's whole run, from before
  // its first command to its verdict, the gaps where the sequence closes and
  // reopens the disk included. Never waits: a disk another station has
  // claimed is refused at once (busy, and the refusal says who holds it when
  // that is known); so is a disk whose claim cannot be recorded (the lock
  // cannot be had), since a disk must never be driven by two stations.
  // `who` describes the claiming station for the holder texts (its work
  // directory). Any thread.
  // The default suits ports whose disks no other process can reach (test
  // fakes): every claim is granted.
  virtual DiskClaimResult ClaimDisk(char letter, const std::string& who);

  // Service output: one line per letter saying which device it is bound to,
  // and one per device the last scan found but could give no letter.
  // Console thread only. Default: nothing to say.
  virtual std::vector<std::string> DriveNotes() { return {}; }
};

}  // namespace kx20
