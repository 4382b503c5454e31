// DeviceSession: one conversation with one disk. Holds the handle on the raw
// device of a drive letter, wraps every command into a pass-through request,
// sends it synchronously through a PassThroughPort and reduces the outcome to
// a 16-bit DeviceStatus.
//
// A session belongs to one thread. Nothing here retries, waits or resets the
// device: every failure comes back as a DeviceStatus (or false).
//
// Open/close discipline:
//   - Open closes any open handle first, so a session holds at most one.
//   - TestUnitReady and ProbeControllerOnce reopen the session's own
//     driveLetter (replacing any handle the caller held) and close it again.
//   - Inquiry opens the letter it is given and closes it.
//   - ReadCapacity opens the letter it is given and leaves it OPEN.
//   - Every other command runs on the handle the caller opened and leaves it
//     open; on a closed session it fails at OS level (DevOsFailure).
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/pass_through_port.h"

namespace kx20 {

// ---------------------------------------------------------------------------
// Status codes
// ---------------------------------------------------------------------------

// Result of a disk command. Callers mostly test zero against non-zero.
// Values 3, 12, 17 and 20 are not used.
enum DeviceStatus : std::uint16_t {
  DevOk = 0,                         // good status (TestUnitReady: also medium not present)
  DevOsFailure = 1,                  // the pass-through request itself failed
  DevOpenFailed = 2,                 // the drive's device could not be opened
  DevNoSense = 4,                    // non-good status, sense key/ASC/ASCQ all 0
  DevMediumNotPresent = 5,           // sense 2/3A/00
  DevInvalidOpcode = 6,              // sense 5/20/00
  DevInvalidField = 7,               // sense 5/24/00
  DevMediumChanged = 8,              // sense 6/28/00
  DevLunsChanged = 9,                // sense 6/3F/0E
  DevVendorSense80 = 10,             // sense 9/80/00
  DevVendorSense81 = 11,             // sense 9/81/00
  DevVendorSense84 = 13,             // sense 9/84/00
  DevVendorSense86 = 14,             // sense 9/86/00
  DevVendorSense82 = 15,             // sense 9/82/00
  DevWriteProtected = 16,            // sense 7/27/00
  DevVendorSense83 = 18,             // sense 9/83/00
  DevVendorSense85 = 19,             // sense 9/85/00
  DevReadFailed = 21,                // ReadSectors: status untouched or sense all zero
  DevWriteFailed = 22,               // WriteSectors: status untouched or sense all zero
  DevVendorSense87 = 23,             // sense 9/87/00
  DevVendorSense88 = 24,             // sense 9/88/00
  DevVendorSense89 = 25,             // sense 9/89/00
  DevCodeFlashWriteFailed = 26,      // WriteCodeFlashBlock: status untouched or sense all zero
  DevCodeFlashControlFailed = 27,    // CodeFlashControl: status untouched
  DevCheckCondition = 0x202,         // Inquiry / ReadCapacity: any non-good status
  DevVendorCommandFailed = 0x402,    // vendor read / no-data command: status untouched or sense all zero
  DevTableWriteFailed = 0x502,       // WriteConfigTable: status untouched or sense all zero
  DevUnknownSense = 0xFFFF,          // non-good status, sense combination not in the map
};

// The symbolic name of a status ("DevOk", "DevOpenFailed", ...); "Dev?" for a
// value outside the set. For service output and test messages.
const char* DeviceStatusName(DeviceStatus status);

// ---------------------------------------------------------------------------
// Sizes and command constants
// ---------------------------------------------------------------------------

inline constexpr std::uint32_t kSectorSize = 512;
inline constexpr std::uint32_t kInquiryLength = 32;        // INQUIRY reply bytes used
inline constexpr std::uint32_t kVendorBlockSize = 512;      // config table, flash info
inline constexpr std::uint32_t kCodeFlashBlockSize = 16384;
inline constexpr std::uint32_t kCapacityReplyLength = 8;
inline constexpr std::uint32_t kDefaultTimeoutSeconds = 5;  // used when 0 is passed

// Values the request blocks carry. Sizes and offsets come from the structures
// themselves: 44 / 48 / 80 in the 32-bit layout; a 64-bit build uses the
// platform's own (wider) structures, as its driver expects.
inline constexpr std::uint16_t kPassThroughLength = sizeof(ScsiPassThroughDirect);
inline constexpr std::uint16_t kBufferedPassThroughLength = sizeof(ScsiPassThrough);
inline constexpr std::uint8_t kSenseInfoLength = 24;
inline constexpr std::uint32_t kSenseInfoOffset = offsetof(PassThroughRequest, sense);
inline constexpr std::uint32_t kBufferedSenseOffset = offsetof(BufferedPassThroughRequest, sense);
inline constexpr std::uint32_t kBufferedDataOffset = offsetof(BufferedPassThroughRequest, data);
inline constexpr std::uint8_t kStatusPreset = 0xFF;
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(kPassThroughLength == 44 && kBufferedPassThroughLength == 44);
static_assert(kSenseInfoOffset == 48 && kBufferedSenseOffset == 48 && kBufferedDataOffset == 80);
#endif

// SCSI operation codes and vendor signature.
inline constexpr std::uint8_t kOpTestUnitReady = 0x00;
inline constexpr std::uint8_t kOpInquiry = 0x12;
inline constexpr std::uint8_t kOpReadCapacity10 = 0x25;
inline constexpr std::uint8_t kOpRead10 = 0x28;
inline constexpr std::uint8_t kOpWrite10 = 0x2A;
inline constexpr std::uint8_t kOpVerify10 = 0x2F;
inline constexpr std::uint8_t kOpVendor = 0xF9;          // table, flash and signal commands
inline constexpr std::uint8_t kOpCodeFlashWrite = 0xDB;  // code-flash block write
inline constexpr std::uint8_t kOpCodeFlashControl = 0xD8;
inline constexpr std::uint8_t kVendorSignature0 = 'V';   // CDB byte 14
inline constexpr std::uint8_t kVendorSignature1 = 'Y';   // CDB byte 15

// ---------------------------------------------------------------------------
// Request building and classification
// ---------------------------------------------------------------------------

// Zeroes `request` and fills it: Length 44 (the structure's size), ScsiStatus 0xFF, PathId/TargetId/
// Lun 0xFF, CdbLength `cdbLength` (at most 16), SenseInfoLength 24, DataIn 1
// when `dataOut` is 0 else 0, DataTransferLength `length` when `buffer` is
// non-null else 0, TimeOutValue `timeoutSeconds` (5 when 0), DataBuffer
// `buffer`, SenseInfoOffset 48 (the sense area's offset), the first `cdbLength` bytes of `cdb`.
void BuildPassThroughRequest(PassThroughRequest& request, int dataOut, void* buffer,
                             std::uint32_t length, const std::uint8_t* cdb,
                             std::uint8_t cdbLength, std::uint32_t timeoutSeconds);

// Classifies fixed-format sense data: key = byte 2 & 0x0F, ASC = byte 12,
// ASCQ = byte 13. All-zero gives DevNoSense; an untabled triple DevUnknownSense.
DeviceStatus MapSenseBytes(const std::uint8_t* sense);
// The same for the sense area of a request block.
DeviceStatus MapSense(const PassThroughRequest& request);

// The four result rules, applied to the outcome of a sent request. `sent` is
// the port's return value. They do not store OS errors: the commands do.
DeviceStatus ReadyRule(bool sent, const BufferedPassThroughRequest& request);
DeviceStatus CheckConditionRule(bool sent, const PassThroughRequest& request);
// Boolean probe rule: on a failed request writes 2 into *statusWord.
bool ProbeRule(bool sent, const PassThroughRequest& request, std::uint16_t& statusWord);
DeviceStatus CommandCodeRule(bool sent, const PassThroughRequest& request, DeviceStatus failureCode);

// INQUIRY replies (at least 28 bytes): a target disk's vendor identification
// begins with "VYN" (bytes 8-10, case-sensitive); its slot number is bytes
// 24-27 read as decimal text (leading white space skipped, one optional
// sign, digits up to the first non-digit; 0 when there are none).
bool IsTargetInquiry(const std::uint8_t* inquiry);
int InquirySlotNumber(const std::uint8_t* inquiry);

// ---------------------------------------------------------------------------
// The session
// ---------------------------------------------------------------------------

class DeviceSession {
 public:
  // The port must outlive the session.
  explicit DeviceSession(PassThroughPort& port);
  // Closes an open handle.
  virtual ~DeviceSession();

  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  // Closes an open handle, then opens the device of `letter`. On failure
  // deviceHandle is the invalid handle and driveLetter keeps its old value.
  bool Open(char letter);
  // Closes an open handle; deviceHandle becomes null. Always true.
  bool Close();
  bool IsOpen() const { return IsOpenHandle(deviceHandle); }

  // --- Self-opening commands ------------------------------------------------
  // TEST UNIT READY through the buffered request on the own driveLetter;
  // closes afterwards. Medium not present counts as DevOk.
  DeviceStatus TestUnitReady();
  // INQUIRY on `letter`; copies at most 32 reply bytes into `output` (may be
  // null; must hold 32 bytes) on DevOk. Closes afterwards.
  DeviceStatus Inquiry(char letter, std::uint8_t* output);
  // Controller probe on the own driveLetter; closes afterwards. False when the
  // open fails (status word untouched).
  bool ProbeControllerOnce(std::uint16_t& statusWord);
  // READ CAPACITY(10) on `letter`; on DevOk stores the last LBA. The handle
  // stays OPEN for the caller.
  DeviceStatus ReadCapacity(std::uint32_t& lastLba, char letter);

  // --- Commands on the caller's handle ----------------------------------------
  // INQUIRY on the open handle (as Inquiry, without opening or closing).
  DeviceStatus InquiryOnHandle(std::uint8_t* output);
  // Controller probe: true when the controller accepted it; on OS failure
  // writes 2 into statusWord.
  bool ProbeController(std::uint16_t& statusWord);
  // The same, also handing out the OS error of a request that failed at OS
  // level (service tools print it; the station's rule does not keep it).
  bool ProbeController(std::uint16_t& statusWord, std::uint32_t* osError);
  DeviceStatus ProbeControllerStatus();
  // 512-byte vendor reads: on DevOk copy min(length, 512) bytes to `output`.
  // `osError` (may be null) receives the OS error of a failed request.
  DeviceStatus ReadFlashInfo(std::uint8_t* output, std::uint32_t length, std::uint32_t* osError);
  DeviceStatus ReadConfigTable(std::uint8_t* output, std::uint32_t length, std::uint32_t* osError);
  // Sends 512 bytes: min(length, 512) bytes of `source`, zero-filled.
  DeviceStatus WriteConfigTable(const std::uint8_t* source, std::uint32_t length,
                                std::uint32_t* osError);
  DeviceStatus EraseFlashBlock(std::uint32_t address);
  DeviceStatus FlashControl03();
  DeviceStatus FlashControl08();
  DeviceStatus ControllerControl01();
  DeviceStatus SignalPass();
  DeviceStatus SignalFail();
  // VERIFY(10) of LBA 0, 512 blocks.
  DeviceStatus VerifyLeadingBlocks();
  // READ(10)/WRITE(10) of `count` sectors at `lba`, straight from/into
  // `buffer`, which must hold count * 512 bytes.
  DeviceStatus ReadSectors(std::uint8_t* buffer, std::uint32_t lba, std::uint16_t count,
                           std::uint32_t* osError);
  DeviceStatus WriteSectors(const std::uint8_t* buffer, std::uint32_t lba, std::uint16_t count,
                            std::uint32_t* osError);
  // Writes one 16384-byte code-flash block.
  DeviceStatus WriteCodeFlashBlock(const std::uint8_t* buffer, std::uint16_t blockNumber,
                                   std::uint32_t* osError);
  DeviceStatus CodeFlashControl(std::uint8_t mode);

  // --- State (public: callers may set driveLetter before a self-reopening
  // command) ---------------------------------------------------------------
  std::uint32_t lastError = 0;          // OS error of TestUnitReady/Inquiry/ReadCapacity
  PortHandle deviceHandle = kNullPortHandle;
  std::uint32_t lastTransferError = 0;  // OS error of the transfer commands
  char driveLetter = 0;                 // letter of the last successful Open

 private:
  // Sends a direct request on deviceHandle; on failure *osError gets the code.
  bool Send(PassThroughRequest& request, std::uint32_t* osError);
  // Send for the transfer commands (table write, sector read/write, code-flash
  // block): on failure the OS error also goes to lastTransferError.
  bool SendTransfer(PassThroughRequest& request, std::uint32_t* osError);
  // The shared body of the no-data F9h commands (F = DevVendorCommandFailed).
  DeviceStatus VendorNoData(std::uint8_t sub, std::uint8_t qualifier, std::uint32_t timeout);
  DeviceStatus VendorRead512(std::uint8_t qualifier, std::uint8_t* output, std::uint32_t length,
                             std::uint32_t* osError);

  PassThroughPort& port_;
};

}  // namespace kx20
