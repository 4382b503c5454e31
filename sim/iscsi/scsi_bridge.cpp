#include "sim/iscsi/scsi_bridge.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/byte_order.h"

namespace kx20::iscsi {
namespace {

// The simulator's own operation codes (kept apart from device/'s constants,
// so the target stays an independent check on what the station sends).
constexpr std::uint8_t kOpRequestSense = 0x03;
constexpr std::uint8_t kOpInquiry = 0x12;
constexpr std::uint8_t kOpReadCapacity10 = 0x25;
constexpr std::uint8_t kOpRead10 = 0x28;
constexpr std::uint8_t kOpWrite10 = 0x2A;
constexpr std::uint8_t kOpRead16 = 0x88;
constexpr std::uint8_t kOpWrite16 = 0x8A;
constexpr std::uint8_t kOpServiceActionIn16 = 0x9E;
constexpr std::uint8_t kServiceReadCapacity16 = 0x10;
constexpr std::uint8_t kOpReportLuns = 0xA0;

constexpr SimSense kSenseLunNotSupported{0x05, 0x25, 0x00};
constexpr SimSense kSenseInvalidInformationUnit{0x05, 0x0E, 0x03};

std::uint8_t CdbLength(std::uint8_t op) {
  switch (op >> 5) {
    case 0:
      return 6;
    case 1:
    case 2:
      return 10;
    case 4:
      return 16;
    case 5:
      return 12;
    default:
      return 16;  // vendor-specific commands of this controller are 16 bytes
  }
}

// The data a READ(10)/WRITE(10) CDB asks for, or nullopt for other commands.
std::optional<std::uint32_t> ImpliedLength(const std::uint8_t* cdb) {
  if (cdb[0] == kOpRead10 || cdb[0] == kOpWrite10) return GetBe16(cdb + 7) * 512u;
  return std::nullopt;
}

std::string Hex2(std::uint8_t v) {
  char t[3];
  std::snprintf(t, sizeof t, "%02X", v);
  return t;
}

ScsiResult Status(std::uint8_t status, const SimSense* sense, std::uint8_t residualFlags, std::uint32_t residual) {
  ScsiResult r;
  r.status = status;
  if (sense) r.sense = *sense;
  r.residualFlags = residualFlags;
  r.residual = residualFlags ? residual : 0;
  return r;
}

ScsiResult TargetFailure() {
  ScsiResult r;
  r.response = kResponseTargetFailure;
  return r;
}

}  // namespace

ScsiResult CheckCondition(const SimSense& sense, std::uint8_t residualFlags, std::uint32_t residual) {
  return Status(2, &sense, residualFlags, residual);
}

ScsiBridge::ScsiBridge(SimDisk* disk, LogSink log, bool trace)
    : disk_(disk), log_(std::move(log)), trace_(trace) {}

void ScsiBridge::Log(const std::string& line) const {
  if (log_) log_(line);
}

void ScsiBridge::Trim(std::size_t keep) {
  if (io_.capacity() > keep) std::vector<std::uint8_t>().swap(io_);
}

ScsiResult ScsiBridge::Reply(const ScsiCommand& cmd, std::span<const std::uint8_t> data, std::uint32_t n) {
  std::memcpy(reply_.data(), data.data(), n);
  ScsiResult r;
  r.dataIn = std::span<const std::uint8_t>(reply_.data(), n);
  if (n < cmd.expectedLength) {
    r.residualFlags = kResidualUnderflow;
    r.residual = cmd.expectedLength - n;
  }
  return r;
}

void ScsiBridge::NoteFault(const std::uint8_t* cdb, const SimOutcome& o) {
  if (!disk_) return;
  const SimFaults& f = disk_->Config().faults;
  const std::uint8_t op = cdb[0];
  const bool vendor = op == 0xF9 || op == 0xDB || op == 0xD8;
  std::string name;
  if (!o.carriedOut) {
    if (f.osFailureAll) name = "os-failure-all";
    else if (f.osFailure && vendor) name = "os-failure";
  } else if (f.senses.count(op) && o.scsiStatus == 2) {
    name = "sense";
  } else if (op == 0xF9 && cdb[1] == 0x6F && f.noProbe && o.scsiStatus == 2) {
    name = "no-probe";
  } else if (op == 0xF9 && cdb[1] == 0x61 && f.tableWrite && o.scsiStatus == 2) {
    name = "table-write";
  } else if (op == 0xF9 && cdb[1] == 0x60 && cdb[2] == 0x00) {
    if (f.tableRead && o.scsiStatus == 2) name = "table-read";
    else if (f.tableEcho && o.scsiStatus == 0) name = "table-echo";
    else if (f.tableHeader && o.scsiStatus == 0) name = "table-header";
  } else if (op == kOpReadCapacity10 && f.capacity && o.scsiStatus == 2) {
    name = "capacity";
  } else if (op == kOpReadCapacity10 && f.capacityZero && o.scsiStatus == 0) {
    name = "capacity-zero";
  } else if (op == 0xDB && !f.codeFlashBlocks.empty() && o.scsiStatus == 2) {
    name = "code-flash-block";
  } else if (op == kOpRead10 && !f.badSectors.empty() && o.scsiStatus == 0) {
    const std::uint32_t lba = GetBe32(cdb + 2);
    const std::uint32_t count = GetBe16(cdb + 7);
    auto it = f.badSectors.lower_bound(lba);
    if (it != f.badSectors.end() && *it < std::uint64_t{lba} + count) name = "bad-sector=" + std::to_string(*it);
  }
  if (!name.empty()) {
    Log(std::string("fault ") + disk_->Letter() + ": " + name + " (operation " + Hex2(op) + ")");
  }
}

ScsiResult ScsiBridge::Run(const ScsiCommand& cmd, std::vector<std::uint8_t>& dataOut) {
  const std::uint32_t edtl = cmd.expectedLength;
  const std::uint8_t* cdb = cmd.cdb.data();
  // READ(16)/WRITE(16) reach the controller as READ(10)/WRITE(10), as a USB
  // bridge passes them on: this controller knows only the 10-byte forms.
  std::array<std::uint8_t, 16> bridged{};
  if (cdb[0] == kOpRead16 || cdb[0] == kOpWrite16) {
    const std::uint64_t lba = GetBe64(cdb + 2);
    const std::uint32_t count = GetBe32(cdb + 10);
    if (lba > 0xFFFFFFFFu) return CheckCondition(kSenseLbaOutOfRange);
    if (count > 0xFFFF) return CheckCondition(kSenseInvalidField);
    bridged[0] = cdb[0] == kOpRead16 ? kOpRead10 : kOpWrite10;
    bridged[1] = cdb[1] & 0xF8;
    PutBe32(&bridged[2], static_cast<std::uint32_t>(lba));
    PutBe16(&bridged[7], static_cast<std::uint16_t>(count));
    cdb = bridged.data();
  }

  // REPORT LUNS belongs to the target device, not to the logical unit, so
  // the target answers it: LUN 0 while the disk is there, none once it is gone.
  if (cdb[0] == kOpReportLuns && cmd.read) {
    std::uint8_t list[16] = {};
    const bool present = disk_ != nullptr && !disk_->Unplugged();
    list[3] = present ? 8 : 0;  // LUN list length
    const std::uint32_t allocation = GetBe32(cdb + 6);
    if (allocation < 16) return CheckCondition(kSenseInvalidField);
    return Reply(cmd, list, std::min<std::uint32_t>({present ? 16u : 8u, edtl, allocation}));
  }

  // REQUEST SENSE: every check condition's sense went out with its response
  // (autosense), so none is pending: NO SENSE.
  if (cdb[0] == kOpRequestSense && cmd.read && cmd.lunZero && disk_ != nullptr && !disk_->Unplugged()) {
    const std::uint8_t none[18] = {0x70, 0, 0, 0, 0, 0, 0, 10};
    return Reply(cmd, none, std::min<std::uint32_t>({18u, edtl, cdb[4]}));
  }

  // A LUN other than 0, or a disk that has been pulled: the logical unit is
  // not there. INQUIRY says so in its peripheral qualifier, as SPC asks.
  const bool gone = disk_ == nullptr || disk_->Unplugged();
  if (!cmd.lunZero || gone) {
    if (gone && disk_ && !unplugLogged_) {
      unplugLogged_ = true;
      Log(std::string("fault ") + disk_->Letter() + ": unplug-after (the logical unit is gone)");
    }
    if (cdb[0] == kOpInquiry && cmd.read && !(cdb[1] & 1)) {
      std::uint8_t inquiry[36] = {0x7F};
      inquiry[2] = 0x05;
      inquiry[3] = 0x02;
      inquiry[4] = 31;
      return Reply(cmd, inquiry, std::min<std::uint32_t>({36u, edtl, cdb[4]}));
    }
    return CheckCondition(kSenseLunNotSupported);
  }

  // READ CAPACITY(16), which initiators of large disks try first, is answered
  // from the controller's READ CAPACITY(10) (faults included), as a USB
  // bridge would.
  if (cdb[0] == kOpServiceActionIn16 && (cdb[1] & 0x1F) == kServiceReadCapacity16 && cmd.read) {
    const std::uint8_t rc10[10] = {kOpReadCapacity10};
    std::uint8_t cap[8] = {};
    const SimOutcome o = disk_->Execute(rc10, 10, true, cap, 8);
    NoteFault(rc10, o);
    if (!o.carriedOut) return TargetFailure();
    if (o.scsiStatus != 0) return Status(o.scsiStatus, o.scsiStatus == 2 ? &o.sense : nullptr, 0, 0);
    std::uint8_t reply[32] = {};
    std::memcpy(reply + 4, cap, 8);  // LBA in bytes 4-7 (upper half zero), block length 8-11
    return Reply(cmd, reply, std::min<std::uint32_t>({32u, GetBe32(cdb + 10), edtl}));
  }

  return Execute(cmd, cdb, dataOut);
}

ScsiResult ScsiBridge::Execute(const ScsiCommand& cmd, const std::uint8_t* cdb, std::vector<std::uint8_t>& dataOut) {
  const std::uint32_t edtl = cmd.expectedLength;
  const std::uint8_t cdbLength = CdbLength(cdb[0]);
  // Reads get a buffer as large as the command needs; only `edtl` bytes go
  // back. A write moves only the whole blocks the initiator sent data for.
  std::uint32_t length = edtl;
  std::uint8_t overflowFlag = 0;
  std::uint32_t overflow = 0;
  std::array<std::uint8_t, 16> clipped{};
  if (const auto implied = ImpliedLength(cdb); implied && *implied > edtl) {
    overflowFlag = kResidualOverflow;
    overflow = *implied - edtl;
    if (cmd.read) length = *implied;
    if (cmd.write && cdb[0] == kOpWrite10) {
      if (edtl % 512 != 0) return CheckCondition(kSenseInvalidInformationUnit, overflowFlag, overflow);
      std::memcpy(clipped.data(), cdb, 16);
      PutBe16(&clipped[7], static_cast<std::uint16_t>(edtl / 512));
      cdb = clipped.data();
    }
  }
  // The CDB, not the iSCSI flags, says which way READ(10) moves data: one
  // flagged as a write reads into scratch space and returns nothing.
  const bool toDevice = cmd.write && cdb[0] != kOpRead10;
  if (!toDevice && io_.size() < length) io_.resize(length);
  std::uint8_t* data = toDevice ? dataOut.data() : io_.data();
  const SimOutcome o = disk_->Execute(cdb, cdbLength, !toDevice, length > 0 ? data : nullptr, length);
  NoteFault(cdb, o);
  if (trace_) {
    std::string line = std::string("command ") + disk_->Letter() + ":";
    for (int i = 0; i < cdbLength; ++i) line += " " + Hex2(cdb[i]);
    line += " length " + std::to_string(length) + (toDevice ? " out" : " in");
    line += !o.carriedOut ? " -> transport failure"
                          : " -> status " + Hex2(o.scsiStatus) + " sense " + Hex2(o.sense.key) + "/" +
                                Hex2(o.sense.asc) + "/" + Hex2(o.sense.ascq) + " moved " +
                                std::to_string(o.bytesMoved);
    Log(line);
  }

  if (!o.carriedOut) {
    if (disk_->Unplugged()) return Run(cmd, dataOut);  // answered as gone
    // The transport failed the request: iSCSI's own "target failure".
    return TargetFailure();
  }
  if (o.scsiStatus != 0) {
    return Status(o.scsiStatus, o.scsiStatus == 2 ? &o.sense : nullptr, overflowFlag, overflow);
  }
  const std::uint32_t moved = std::min(o.bytesMoved, cmd.read || !cmd.write ? edtl : o.bytesMoved);
  ScsiResult r = Status(0, nullptr, overflowFlag, overflow);
  if (!overflowFlag && moved < edtl) {
    r.residualFlags = kResidualUnderflow;
    r.residual = edtl - moved;
  }
  if (cmd.read && moved > 0) r.dataIn = std::span<const std::uint8_t>(data, moved);
  return r;
}

}  // namespace kx20::iscsi
