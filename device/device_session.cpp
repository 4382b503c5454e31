#include "device/device_session.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "common/aligned_buffer.h"
#include "common/byte_order.h"

namespace kx20 {

namespace {

using Cdb = std::array<std::uint8_t, 16>;

// A 16-byte vendor CDB: operation code, sub-command, qualifier, signature.
Cdb VendorCdb(std::uint8_t op, std::uint8_t sub, std::uint8_t qualifier) {
  Cdb cdb{};
  cdb[0] = op;
  cdb[1] = sub;
  cdb[2] = qualifier;
  cdb[14] = kVendorSignature0;
  cdb[15] = kVendorSignature1;
  return cdb;
}

// READ(10) / WRITE(10): LBA big-endian in bytes 2-5, count in bytes 7-8.
Cdb BlockCdb(std::uint8_t op, std::uint32_t lba, std::uint16_t count) {
  Cdb cdb{};
  cdb[0] = op;
  PutBe32(&cdb[2], lba);
  PutBe16(&cdb[7], count);
  return cdb;
}

void StoreError(std::uint32_t* out, std::uint32_t code) {
  if (out != nullptr) *out = code;
}

struct SenseEntry {
  std::uint8_t key, asc, ascq;
  DeviceStatus status;
};

constexpr SenseEntry kSenseMap[] = {
    {0x0, 0x00, 0x00, DevNoSense},        {0x2, 0x3A, 0x00, DevMediumNotPresent},
    {0x5, 0x20, 0x00, DevInvalidOpcode},  {0x5, 0x24, 0x00, DevInvalidField},
    {0x6, 0x28, 0x00, DevMediumChanged},  {0x6, 0x3F, 0x0E, DevLunsChanged},
    {0x7, 0x27, 0x00, DevWriteProtected}, {0x9, 0x80, 0x00, DevVendorSense80},
    {0x9, 0x81, 0x00, DevVendorSense81},  {0x9, 0x82, 0x00, DevVendorSense82},
    {0x9, 0x83, 0x00, DevVendorSense83},  {0x9, 0x84, 0x00, DevVendorSense84},
    {0x9, 0x85, 0x00, DevVendorSense85},  {0x9, 0x86, 0x00, DevVendorSense86},
    {0x9, 0x87, 0x00, DevVendorSense87},  {0x9, 0x88, 0x00, DevVendorSense88},
    {0x9, 0x89, 0x00, DevVendorSense89},
};

}  // namespace

const char* DeviceStatusName(DeviceStatus status) {
  switch (status) {
    case DevOk: return "DevOk";
    case DevOsFailure: return "DevOsFailure";
    case DevOpenFailed: return "DevOpenFailed";
    case DevNoSense: return "DevNoSense";
    case DevMediumNotPresent: return "DevMediumNotPresent";
    case DevInvalidOpcode: return "DevInvalidOpcode";
    case DevInvalidField: return "DevInvalidField";
    case DevMediumChanged: return "DevMediumChanged";
    case DevLunsChanged: return "DevLunsChanged";
    case DevVendorSense80: return "DevVendorSense80";
    case DevVendorSense81: return "DevVendorSense81";
    case DevVendorSense84: return "DevVendorSense84";
    case DevVendorSense86: return "DevVendorSense86";
    case DevVendorSense82: return "DevVendorSense82";
    case DevWriteProtected: return "DevWriteProtected";
    case DevVendorSense83: return "DevVendorSense83";
    case DevVendorSense85: return "DevVendorSense85";
    case DevReadFailed: return "DevReadFailed";
    case DevWriteFailed: return "DevWriteFailed";
    case DevVendorSense87: return "DevVendorSense87";
    case DevVendorSense88: return "DevVendorSense88";
    case DevVendorSense89: return "DevVendorSense89";
    case DevCodeFlashWriteFailed: return "DevCodeFlashWriteFailed";
    case DevCodeFlashControlFailed: return "DevCodeFlashControlFailed";
    case DevCheckCondition: return "DevCheckCondition";
    case DevVendorCommandFailed: return "DevVendorCommandFailed";
    case DevTableWriteFailed: return "DevTableWriteFailed";
    case DevUnknownSense: return "DevUnknownSense";
  }
  return "Dev?";
}

void BuildPassThroughRequest(PassThroughRequest& request, int dataOut, void* buffer,
                             std::uint32_t length, const std::uint8_t* cdb,
                             std::uint8_t cdbLength, std::uint32_t timeoutSeconds) {
  std::memset(&request, 0, sizeof request);
  ScsiPassThroughDirect& s = request.sptd;
  s.length = kPassThroughLength;
  s.scsiStatus = kStatusPreset;
  s.pathId = 0xFF;
  s.targetId = 0xFF;
  s.lun = 0xFF;
  // The block holds 16 CDB bytes; a longer length would read past the caller's CDB.
  const std::uint8_t n = std::min<std::uint8_t>(cdbLength, sizeof s.cdb);
  s.cdbLength = n;
  s.senseInfoLength = kSenseInfoLength;
  s.dataIn = dataOut == 0 ? 1 : 0;
  s.dataTransferLength = buffer != nullptr ? length : 0;
  s.timeOutValue = timeoutSeconds == 0 ? kDefaultTimeoutSeconds : timeoutSeconds;
  s.dataBuffer = buffer;
  s.senseInfoOffset = kSenseInfoOffset;
  if (cdb != nullptr) std::memcpy(s.cdb, cdb, n);
}

DeviceStatus MapSenseBytes(const std::uint8_t* sense) {
  const std::uint8_t key = sense[2] & 0x0F;
  const std::uint8_t asc = sense[12];
  const std::uint8_t ascq = sense[13];
  for (const SenseEntry& e : kSenseMap) {
    if (e.key == key && e.asc == asc && e.ascq == ascq) return e.status;
  }
  return DevUnknownSense;
}

DeviceStatus MapSense(const PassThroughRequest& request) { return MapSenseBytes(request.sense); }

DeviceStatus ReadyRule(bool sent, const BufferedPassThroughRequest& request) {
  if (!sent) return DevOsFailure;
  if (request.spt.scsiStatus == 0) return DevOk;
  const DeviceStatus r = MapSenseBytes(request.sense);
  return r == DevMediumNotPresent ? DevOk : r;
}

DeviceStatus CheckConditionRule(bool sent, const PassThroughRequest& request) {
  if (!sent) return DevOsFailure;
  return request.sptd.scsiStatus == 0 ? DevOk : DevCheckCondition;
}

bool ProbeRule(bool sent, const PassThroughRequest& request, std::uint16_t& statusWord) {
  if (!sent) {
    statusWord = 2;
    return false;
  }
  return request.sptd.scsiStatus == 0;
}

DeviceStatus CommandCodeRule(bool sent, const PassThroughRequest& request, DeviceStatus failureCode) {
  if (!sent) return DevOsFailure;
  if (request.sptd.scsiStatus == 0) return DevOk;
  if (request.sptd.scsiStatus == kStatusPreset) return failureCode;
  const DeviceStatus r = MapSense(request);
  return r == DevNoSense ? failureCode : r;
}

// ---------------------------------------------------------------------------

DeviceSession::DeviceSession(PassThroughPort& port) : port_(port) {}

DeviceSession::~DeviceSession() { Close(); }

bool DeviceSession::Open(char letter) {
  if (IsOpenHandle(deviceHandle)) port_.Close(deviceHandle);
  deviceHandle = kNullPortHandle;
  std::uint32_t err = 0;
  deviceHandle = port_.Open(letter, &err);
  if (!IsOpenHandle(deviceHandle)) {
    // A port must report failure as the invalid handle; never keep a null
    // here, so "failed open" and "closed" stay distinguishable.
    deviceHandle = kInvalidPortHandle;
    return false;
  }
  driveLetter = letter;
  return true;
}

bool DeviceSession::Close() {
  if (IsOpenHandle(deviceHandle)) port_.Close(deviceHandle);
  deviceHandle = kNullPortHandle;
  return true;
}

int InquirySlotNumber(const std::uint8_t* inquiry) {
  const std::uint8_t* p = inquiry + 24;
  const std::uint8_t* end = inquiry + 28;
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  int value = 0;
  while (p < end && *p >= '0' && *p <= '9') value = value * 10 + (*p++ - '0');
  return negative ? -value : value;
}

bool IsTargetInquiry(const std::uint8_t* inquiry) { return std::memcmp(inquiry + 8, "VYN", 3) == 0; }

bool DeviceSession::Send(PassThroughRequest& request, std::uint32_t* osError) {
  std::uint32_t err = 0;
  ScsiPassThroughDirect& s = request.sptd;
  bool ok = false;
  if (s.dataBuffer != nullptr && s.dataTransferLength != 0 && !IsAlignedDataBuffer(s.dataBuffer)) {
    // A caller's buffer off the alignment the adapters need: the data goes
    // through an aligned copy (the station's own buffers are aligned, so
    // this is the exception, never the transfer path).
    const std::uint32_t length = s.dataTransferLength;
    AlignedBytes storage(length, kDataBufferAlignment);
    void* aligned = storage.data();
    void* callers = s.dataBuffer;
    if (s.dataIn == 0) std::memcpy(aligned, callers, length);
    s.dataBuffer = aligned;
    ok = port_.SendDirect(deviceHandle, request, &err);
    s.dataBuffer = callers;
    if (ok && s.dataIn != 0) std::memcpy(callers, aligned, std::min(length, s.dataTransferLength));
  } else {
    ok = port_.SendDirect(deviceHandle, request, &err);
  }
  if (!ok) StoreError(osError, err);
  return ok;
}

bool DeviceSession::SendTransfer(PassThroughRequest& request, std::uint32_t* osError) {
  std::uint32_t err = 0;
  const bool sent = Send(request, &err);
  if (!sent) {
    lastTransferError = err;
    StoreError(osError, err);
  }
  return sent;
}

DeviceStatus DeviceSession::TestUnitReady() {
  if (!Open(driveLetter)) return DevOpenFailed;
  BufferedPassThroughRequest request;
  std::memset(&request, 0, sizeof request);
  ScsiPassThrough& s = request.spt;
  s.length = kBufferedPassThroughLength;
  s.cdbLength = 6;
  s.senseInfoLength = kSenseInfoLength;
  s.dataIn = 1;
  s.dataTransferLength = 0;
  s.timeOutValue = 2;
  s.dataBufferOffset = kBufferedDataOffset;
  s.senseInfoOffset = kBufferedSenseOffset;
  s.cdb[0] = kOpTestUnitReady;
  std::uint32_t err = 0;
  const bool sent = port_.SendBuffered(deviceHandle, request, &err);
  if (!sent) lastError = err;
  const DeviceStatus status = ReadyRule(sent, request);
  Close();
  return status;
}

DeviceStatus DeviceSession::Inquiry(char letter, std::uint8_t* output) {
  if (!Open(letter)) return DevOpenFailed;
  const DeviceStatus status = InquiryOnHandle(output);
  Close();
  return status;
}

DeviceStatus DeviceSession::InquiryOnHandle(std::uint8_t* output) {
  alignas(kDataBufferAlignment) std::uint8_t data[kInquiryLength] = {};
  Cdb cdb{};
  cdb[0] = kOpInquiry;
  cdb[4] = kInquiryLength;
  PassThroughRequest request;
  BuildPassThroughRequest(request, 0, data, kInquiryLength, cdb.data(), 10, 2);
  std::uint32_t err = 0;
  const bool sent = port_.SendDirect(deviceHandle, request, &err);
  if (!sent) lastError = err;
  const DeviceStatus status = CheckConditionRule(sent, request);
  if (status == DevOk && output != nullptr) {
    // The driver's count may exceed what was asked for; the buffer holds 32.
    const std::uint32_t n = std::min(request.sptd.dataTransferLength, kInquiryLength);
    std::memcpy(output, data, n);
  }
  return status;
}

bool DeviceSession::ProbeController(std::uint16_t& statusWord) {
  return ProbeController(statusWord, nullptr);
}

bool DeviceSession::ProbeController(std::uint16_t& statusWord, std::uint32_t* osError) {
  const Cdb cdb = VendorCdb(kOpVendor, 0x6F, 0x00);
  PassThroughRequest request;
  BuildPassThroughRequest(request, 0, nullptr, 0, cdb.data(), 16, 10);
  const bool sent = Send(request, osError);
  return ProbeRule(sent, request, statusWord);
}

bool DeviceSession::ProbeControllerOnce(std::uint16_t& statusWord) {
  if (!Open(driveLetter)) return false;
  const bool ok = ProbeController(statusWord);
  Close();
  return ok;
}

DeviceStatus DeviceSession::VendorNoData(std::uint8_t sub, std::uint8_t qualifier,
                                         std::uint32_t timeout) {
  const Cdb cdb = VendorCdb(kOpVendor, sub, qualifier);
  PassThroughRequest request;
  BuildPassThroughRequest(request, 0, nullptr, 0, cdb.data(), 16, timeout);
  const bool sent = Send(request, nullptr);
  return CommandCodeRule(sent, request, DevVendorCommandFailed);
}

DeviceStatus DeviceSession::ProbeControllerStatus() { return VendorNoData(0x6F, 0x00, 2); }

DeviceStatus DeviceSession::VendorRead512(std::uint8_t qualifier, std::uint8_t* output,
                                          std::uint32_t length, std::uint32_t* osError) {
  alignas(kDataBufferAlignment) std::uint8_t block[kVendorBlockSize] = {};
  const Cdb cdb = VendorCdb(kOpVendor, 0x60, qualifier);
  PassThroughRequest request;
  BuildPassThroughRequest(request, 0, block, kVendorBlockSize, cdb.data(), 16, 5);
  const bool sent = Send(request, osError);
  const DeviceStatus status = CommandCodeRule(sent, request, DevVendorCommandFailed);
  if (status == DevOk && output != nullptr) {
    std::memcpy(output, block, std::min(length, kVendorBlockSize));
  }
  return status;
}

DeviceStatus DeviceSession::ReadFlashInfo(std::uint8_t* output, std::uint32_t length,
                                          std::uint32_t* osError) {
  return VendorRead512(0x04, output, length, osError);
}

DeviceStatus DeviceSession::ReadConfigTable(std::uint8_t* output, std::uint32_t length,
                                            std::uint32_t* osError) {
  return VendorRead512(0x00, output, length, osError);
}

DeviceStatus DeviceSession::WriteConfigTable(const std::uint8_t* source, std::uint32_t length,
                                             std::uint32_t* osError) {
  alignas(kDataBufferAlignment) std::uint8_t block[kVendorBlockSize] = {};
  if (source != nullptr) std::memcpy(block, source, std::min(length, kVendorBlockSize));
  const Cdb cdb = VendorCdb(kOpVendor, 0x61, 0x00);
  PassThroughRequest request;
  BuildPassThroughRequest(request, 1, block, kVendorBlockSize, cdb.data(), 16, 5);
  const bool sent = SendTransfer(request, osError);
  return CommandCodeRule(sent, request, DevTableWriteFailed);
}

DeviceStatus DeviceSession::EraseFlashBlock(std::uint32_t address) {
  Cdb cdb = VendorCdb(kOpVendor, 0x62, 0x04);
  PutBe32(&cdb[5], address);
  PassThroughRequest request;
  BuildPassThroughRequest(request, 0, nullptr, 0, cdb.data(), 16, 2);
  const bool sent = Send(request, nullptr);
  return CommandCodeRule(sent, request, DevVendorCommandFailed);
}

DeviceStatus DeviceSession::FlashControl03() { return VendorNoData(0x62, 0x03, 2); }
DeviceStatus DeviceSession::FlashControl08() { return VendorNoData(0x62, 0x08, 2); }
DeviceStatus DeviceSession::ControllerControl01() { return VendorNoData(0x01, 0x00, 2); }
DeviceStatus DeviceSession::SignalPass() { return VendorNoData(0x03, 0x00, 2); }
DeviceStatus DeviceSession::SignalFail() { return VendorNoData(0x04, 0x00, 2); }

DeviceStatus DeviceSession::ReadCapacity(std::uint32_t& lastLba, char letter) {
  if (!Open(letter)) return DevOpenFailed;
  alignas(kDataBufferAlignment) std::uint8_t reply[kCapacityReplyLength] = {};
  Cdb cdb{};
  cdb[0] = kOpReadCapacity10;
  PassThroughRequest request;
  BuildPassThroughRequest(request, 0, reply, kCapacityReplyLength, cdb.data(), 10, 2);
  std::uint32_t err = 0;
  const bool sent = port_.SendDirect(deviceHandle, request, &err);
  if (!sent) lastError = err;
  const DeviceStatus status = CheckConditionRule(sent, request);
  if (status == DevOk) {
    lastLba = GetBe32(reply);
  }
  return status;  // the handle stays open for the caller
}

DeviceStatus DeviceSession::VerifyLeadingBlocks() {
  Cdb cdb{};
  cdb[0] = kOpVerify10;
  cdb[7] = 0x02;  // 512 blocks from LBA 0
  PassThroughRequest request;
  BuildPassThroughRequest(request, 0, nullptr, 0, cdb.data(), 16, 2);
  const bool sent = Send(request, nullptr);
  return CommandCodeRule(sent, request, DevVendorCommandFailed);
}

DeviceStatus DeviceSession::ReadSectors(std::uint8_t* buffer, std::uint32_t lba,
                                        std::uint16_t count, std::uint32_t* osError) {
  const Cdb cdb = BlockCdb(kOpRead10, lba, count);
  PassThroughRequest request;
  BuildPassThroughRequest(request, 0, buffer, std::uint32_t{count} * kSectorSize, cdb.data(), 16, 5);
  const bool sent = SendTransfer(request, osError);
  return CommandCodeRule(sent, request, DevReadFailed);
}

DeviceStatus DeviceSession::WriteSectors(const std::uint8_t* buffer, std::uint32_t lba,
                                         std::uint16_t count, std::uint32_t* osError) {
  const Cdb cdb = BlockCdb(kOpWrite10, lba, count);
  PassThroughRequest request;
  // The port only reads a data-out buffer.
  BuildPassThroughRequest(request, 1, const_cast<std::uint8_t*>(buffer),
                          std::uint32_t{count} * kSectorSize, cdb.data(), 16, 10);
  const bool sent = SendTransfer(request, osError);
  return CommandCodeRule(sent, request, DevWriteFailed);
}

DeviceStatus DeviceSession::WriteCodeFlashBlock(const std::uint8_t* buffer, std::uint16_t blockNumber,
                                                std::uint32_t* osError) {
  Cdb cdb = VendorCdb(kOpCodeFlashWrite, 0x2A, 0);
  PutBe16(&cdb[2], blockNumber);  // block number, high byte first
  PassThroughRequest request;
  BuildPassThroughRequest(request, 1, const_cast<std::uint8_t*>(buffer), kCodeFlashBlockSize,
                          cdb.data(), 16, 5);
  const bool sent = SendTransfer(request, osError);
  return CommandCodeRule(sent, request, DevCodeFlashWriteFailed);
}

DeviceStatus DeviceSession::CodeFlashControl(std::uint8_t mode) {
  Cdb cdb = VendorCdb(kOpCodeFlashControl, 0x01, 0x06);
  cdb[4] = mode;
  PassThroughRequest request;
  BuildPassThroughRequest(request, 1, nullptr, 0, cdb.data(), 16, 5);
  std::uint32_t err = 0;
  const bool sent = Send(request, &err);
  if (!sent) {
    lastTransferError = err;
    return DevOsFailure;
  }
  if (request.sptd.scsiStatus == 0) return DevOk;
  if (request.sptd.scsiStatus == kStatusPreset) return DevCodeFlashControlFailed;
  return MapSense(request);  // an all-zero sense stays DevNoSense here
}

}  // namespace kx20
