#include "sim/sim_disk.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "common/byte_order.h"

namespace kx20 {
namespace {

SimOutcome Good(std::uint32_t bytesMoved = 0) {
  SimOutcome o;
  o.bytesMoved = bytesMoved;
  return o;
}
SimOutcome Check(SimSense sense) {
  SimOutcome o;
  o.scsiStatus = 2;
  o.sense = sense;
  return o;
}
SimOutcome OsFailure(std::uint32_t error) {
  SimOutcome o;
  o.carriedOut = false;
  o.osError = error;
  return o;
}

bool IsVendorOpcode(std::uint8_t op) { return op == 0xF9 || op == 0xDB || op == 0xD8; }

// Copies `text` into `out`, padded with spaces (or cut) to `width` characters.
void PutPadded(std::uint8_t* out, const std::string& text, std::size_t width, bool rightAlign) {
  std::memset(out, ' ', width);
  const std::size_t n = std::min(text.size(), width);
  const std::size_t at = rightAlign ? width - n : 0;
  std::memcpy(out + at, text.data(), n);
}

}  // namespace

double SimBus::Book(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  const double nowUs = static_cast<double>(clock_.MonotonicMs()) * 1000.0;
  const double start = std::max(nowUs, freeAtUs_);
  freeAtUs_ = start + static_cast<double>(bytes) / mbps_;
  return freeAtUs_ - nowUs;
}

SimDisk::SimDisk(const SimDiskConfig& config, Clock& clock, SimBus* bus)
    : config_(config), clock_(clock), bus_(bus) {
  history_.reserve(64);
}

SimDisk::~SimDisk() = default;

bool SimDisk::Attach(std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (config_.backingFile.empty() || fileBacked_) return true;
  namespace fs = std::filesystem;
  const fs::path path = fs::path(config_.backingFile);
  const std::uint64_t size = (std::uint64_t{config_.lastLba} + 1) * 512;
  std::error_code ec;
  if (!fs::exists(path, ec)) {
    std::ofstream create(path, std::ios::binary);
    if (!create) {
      if (error) *error = "cannot create backing file " + config_.backingFile;
      return false;
    }
  }
  // Growing with resize_file leaves a hole: only written chunks take space.
  fs::resize_file(path, size, ec);
  if (ec) {
    if (error) *error = "cannot size backing file " + config_.backingFile + ": " + ec.message();
    return false;
  }
  file_.open(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!file_) {
    if (error) *error = "cannot open backing file " + config_.backingFile;
    return false;
  }
  fileBacked_ = true;
  LoadState();
  return true;
}

// State file: "KX20CTL1", table-written flag, the 512-byte table, the number
// of code-flash blocks, then each block as a 2-byte number and 16384 bytes.
void SimDisk::LoadState() {
  std::ifstream in(config_.backingFile + ".state", std::ios::binary);
  if (!in) return;
  char magic[8] = {};
  std::uint8_t written = 0;
  std::array<std::uint8_t, 512> table{};
  std::uint8_t count[2] = {};
  in.read(magic, 8);
  in.read(reinterpret_cast<char*>(&written), 1);
  in.read(reinterpret_cast<char*>(table.data()), 512);
  in.read(reinterpret_cast<char*>(count), 2);
  if (!in || std::memcmp(magic, "KX20CTL1", 8) != 0) return;
  std::map<std::uint16_t, std::vector<std::uint8_t>> blocks;
  for (unsigned i = 0; i < GetBe16(count); ++i) {
    std::uint8_t number[2];
    std::vector<std::uint8_t> block(16384);
    in.read(reinterpret_cast<char*>(number), 2);
    in.read(reinterpret_cast<char*>(block.data()), 16384);
    if (!in || GetBe16(number) >= kSimCodeFlashBlocks) return;
    blocks[GetBe16(number)] = std::move(block);
  }
  configTableWritten_ = written != 0;
  configTable_ = table;
  codeFlash_ = std::move(blocks);
}

void SimDisk::SaveState() {
  if (!fileBacked_) return;
  const std::string path = config_.backingFile + ".state";
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    const std::uint8_t written = configTableWritten_ ? 1 : 0;
    std::uint8_t count[2];
    PutBe16(count, static_cast<std::uint16_t>(codeFlash_.size()));
    out.write("KX20CTL1", 8);
    out.write(reinterpret_cast<const char*>(&written), 1);
    out.write(reinterpret_cast<const char*>(configTable_.data()), 512);
    out.write(reinterpret_cast<const char*>(count), 2);
    for (const auto& [number, block] : codeFlash_) {
      std::uint8_t n[2];
      PutBe16(n, static_cast<std::uint16_t>(number));
      out.write(reinterpret_cast<const char*>(n), 2);
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size()));
    }
    out.flush();
    if (!out) return;
  }
  std::error_code ec;
  std::filesystem::rename(temp, path, ec);
}

bool SimDisk::CanOpen() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (config_.faults.noOpen) return false;
  return !(config_.faults.unplugAfter && commandCount_ >= *config_.faults.unplugAfter);
}

bool SimDisk::Unplugged() {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_.faults.unplugAfter && commandCount_ >= *config_.faults.unplugAfter;
}

SimOutcome SimDisk::Execute(const std::uint8_t* cdb, std::uint8_t cdbLength, bool dataIn,
                            std::uint8_t* data, std::uint32_t length) {
  std::array<std::uint8_t, 16> c{};
  if (cdb == nullptr || cdbLength == 0 || cdbLength > 16) return OsFailure(kSimErrorInvalidParameter);
  if (length > 0 && data == nullptr) return OsFailure(kSimErrorInvalidParameter);
  std::memcpy(c.data(), cdb, cdbLength);

  std::lock_guard<std::mutex> lock(mutex_);
  const SimFaults& f = config_.faults;
  if (f.unplugAfter && commandCount_ >= *f.unplugAfter) return OsFailure(kSimErrorNotConnected);
  ++commandCount_;
  ++receivedOpcodes_[c[0]];
  if (c[0] == 0x2A && cdbLength >= 10) sectorsWritten_ += GetBe16(&c[7]);
  SimCommand record;
  record.cdb = c;
  record.cdbLength = cdbLength;
  record.dataIn = dataIn;
  record.length = length;
  if (history_.size() < kHistoryLimit) {
    history_.push_back(record);
  } else {
    history_[historyNext_] = record;
    historyNext_ = (historyNext_ + 1) % kHistoryLimit;
  }

  if (f.osFailureAll) return OsFailure(kSimErrorGenFailure);
  if (f.osFailure && IsVendorOpcode(c[0])) return OsFailure(kSimErrorGenFailure);
  if (auto it = f.senses.find(c[0]); it != f.senses.end()) return Check(it->second);
  return Run(c, cdbLength, dataIn, data, length);
}

SimOutcome SimDisk::Run(const std::array<std::uint8_t, 16>& cdb, std::uint8_t cdbLength,
                        bool dataIn, std::uint8_t* data, std::uint32_t length) {
  if (IsVendorOpcode(cdb[0])) {
    if (config_.systemDisk) return Check(kSenseInvalidOpcode);
    // The signature sits in the last two of 16 CDB bytes: a shorter CDB has none.
    if (cdbLength < 16 || cdb[14] != 'V' || cdb[15] != 'Y') return Check(kSenseInvalidField);
    return Vendor(cdb, dataIn, data, length);
  }
  return Standard(cdb, cdbLength, dataIn, data, length);
}

SimOutcome SimDisk::Standard(const std::array<std::uint8_t, 16>& cdb, std::uint8_t cdbLength,
                             bool dataIn, std::uint8_t* data, std::uint32_t length) {
  switch (cdb[0]) {
    case 0x00:  // TEST UNIT READY
      return Good();

    case 0x12: {  // INQUIRY
      if (cdbLength < 6) return Check(kSenseInvalidField);
      if (length > 0 && !dataIn) return Check(kSenseInvalidField);
      // Allocation length: bytes 3-4 (byte 3 is zero from older initiators).
      const std::uint32_t allocation = GetBe16(&cdb[3]);
      if (cdb[1] & 0x01) {
        // Vital product data: only the list of supported pages (itself).
        if (cdb[2] != 0x00) return Check(kSenseInvalidField);
        const std::uint8_t pages[5] = {0x00, 0x00, 0x00, 1, 0x00};
        const std::uint32_t n = std::min<std::uint32_t>({5u, allocation, length});
        if (n > 0) std::memcpy(data, pages, n);
        return Good(n);
      }
      if (cdb[2] != 0x00) return Check(kSenseInvalidField);  // a page code needs EVPD
      std::uint8_t reply[36] = {};
      reply[1] = config_.systemDisk ? 0x00 : 0x80;  // removable medium
      // Claims no SCSI version: Linux rewrites CDB byte 1 bits 5-7 (the old
      // LUN field) of every command to a SCSI-2 device, which would alter the
      // vendor subcommands (F9 6F would arrive as F9 0F).
      reply[2] = 0x00;
      reply[3] = 0x02;
      reply[4] = 31;  // additional length
      PutPadded(reply + 8, config_.vendor, 8, false);
      if (config_.systemDisk) {
        PutPadded(reply + 16, "SYSTEM DISK", 16, false);
      } else {
        PutPadded(reply + 16, "USB DISK", 8, false);
        PutPadded(reply + 24, config_.slot, 4, true);
        PutPadded(reply + 28, "", 4, false);
      }
      PutPadded(reply + 32, "1.00", 4, false);
      const std::uint32_t n = std::min<std::uint32_t>({36u, allocation, length});
      if (n > 0) std::memcpy(data, reply, n);
      return Good(n);
    }

    case 0x25: {  // READ CAPACITY(10)
      if (cdbLength < 10) return Check(kSenseInvalidField);
      if (length > 0 && !dataIn) return Check(kSenseInvalidField);
      if (config_.faults.capacity) return Check(kSenseHardwareFailure);
      std::uint8_t reply[8];
      PutBe32(reply, config_.faults.capacityZero ? 0 : config_.lastLba);
      PutBe32(reply + 4, 512);
      const std::uint32_t n = std::min<std::uint32_t>(8, length);
      if (n > 0) std::memcpy(data, reply, n);
      return Good(n);
    }

    case 0x28:    // READ(10)
    case 0x2A: {  // WRITE(10)
      if (cdbLength < 10) return Check(kSenseInvalidField);
      if (cdb[1] & 0xE0) return Check(kSenseInvalidField);  // no protection information
      return Transfer(cdb[0] == 0x2A, GetBe32(&cdb[2]), GetBe16(&cdb[7]), dataIn, data, length);
    }

    case 0x2F: {  // VERIFY(10)
      if (cdbLength < 10) return Check(kSenseInvalidField);
      const std::uint64_t lba = GetBe32(&cdb[2]);
      const std::uint64_t count = GetBe16(&cdb[7]);
      if (cdb[1] & 0xE0) return Check(kSenseInvalidField);  // no protection information
      if (lba > config_.lastLba || (count > 0 && lba + count - 1 > config_.lastLba)) {
        return Check(kSenseLbaOutOfRange);
      }
      const std::uint8_t byteCheck = (cdb[1] >> 1) & 0x03;
      if (byteCheck == 0 || count == 0) return Good();
      if (byteCheck != 1) return Check(kSenseInvalidField);
      // Byte check: compare the data sent with the stored blocks.
      const std::uint64_t bytes = count * 512;
      if (dataIn || length < bytes) return Check(kSenseInvalidField);
      std::vector<std::uint8_t> stored(static_cast<std::size_t>(bytes));
      ReadData(lba * 512, stored.data(), stored.size());
      if (std::memcmp(stored.data(), data, stored.size()) != 0) return Check(kSenseMiscompare);
      return Good(static_cast<std::uint32_t>(bytes));
    }

    default:
      return Check(kSenseInvalidOpcode);
  }
}

SimOutcome SimDisk::Transfer(bool write, std::uint32_t lba, std::uint32_t count, bool dataIn,
                             std::uint8_t* data, std::uint32_t length) {
  if (lba > config_.lastLba) return Check(kSenseLbaOutOfRange);
  if (count == 0) return Good();
  if (std::uint64_t{lba} + count - 1 > config_.lastLba) return Check(kSenseLbaOutOfRange);
  const std::uint32_t bytes = count * 512;
  // The data phase must match the command: direction and size.
  if (dataIn == write || length < bytes) return Check(kSenseInvalidField);
  const std::uint64_t offset = std::uint64_t{lba} * 512;
  if (write) {
    Pace(bytes, config_.writeMbps);
    WriteData(offset, data, bytes);
    return Good(bytes);
  }
  Pace(bytes, config_.readMbps);
  ReadData(offset, data, bytes);
  for (auto it = config_.faults.badSectors.lower_bound(lba);
       it != config_.faults.badSectors.end() && *it < std::uint64_t{lba} + count; ++it) {
    std::uint8_t* sector = data + std::uint64_t{*it - lba} * 512;
    for (int i = 0; i < 512; ++i) sector[i] ^= 0xFF;
  }
  return Good(bytes);
}

SimOutcome SimDisk::Vendor(const std::array<std::uint8_t, 16>& cdb, bool dataIn, std::uint8_t* data,
                           std::uint32_t length) {
  const SimFaults& f = config_.faults;
  const std::uint8_t op = cdb[0];
  const std::uint8_t sub = cdb[1];
  const std::uint8_t qual = cdb[2];

  if (op == 0xDB) {  // code-flash block write
    if (sub != 0x2A) return Check(kSenseInvalidOpcode);
    const std::uint16_t block = GetBe16(&cdb[2]);
    if (block >= kSimCodeFlashBlocks) return Check(kSenseInvalidField);
    if (dataIn || length < 16384) return Check(kSenseInvalidField);
    if (f.codeFlashBlocks.count(block)) return Check(kSenseControllerFailure);
    codeFlash_[block].assign(data, data + 16384);
    SaveState();
    return Good(16384);
  }
  if (op == 0xD8) {  // code-flash control
    if (sub != 0x01 || qual != 0x06 || cdb[3] != 0x00) return Check(kSenseInvalidOpcode);
    codeFlashMode_ = cdb[4];
    return Good();
  }

  // F9h: table, flash and signal commands.
  if (sub == 0x6F) {  // probe
    if (f.noProbe) return Check(kSenseInvalidOpcode);
    return Good();
  }
  if (sub == 0x60 && (qual == 0x04 || qual == 0x00)) {  // flash information / table read-back
    if (!dataIn || length < 512) return Check(kSenseInvalidField);
    std::uint8_t block[512] = {};
    if (qual == 0x04) {
      std::memcpy(block, config_.flashInfo.data(), config_.flashInfo.size());
    } else {
      if (f.tableRead) return Check(kSenseControllerFailure);
      std::memcpy(block, configTable_.data(), 512);
      if (f.tableEcho) block[100] ^= 0x5A;
      if (f.tableHeader) {
        for (int i = 0; i < 8; ++i) block[i] ^= 0xFF;
      }
    }
    std::memcpy(data, block, 512);
    return Good(512);
  }
  if (sub == 0x61 && qual == 0x00) {  // table write
    if (dataIn || length < 512) return Check(kSenseInvalidField);
    if (f.tableWrite) return Check(kSenseControllerFailure);
    std::memcpy(configTable_.data(), data, 512);
    configTableWritten_ = true;
    SaveState();
    return Good(512);
  }
  if (sub == 0x62 && qual == 0x04) {  // flash block erase
    eraseAddresses_.push_back(GetBe32(&cdb[5]));
    return Good();
  }
  if (sub == 0x62 && (qual == 0x03 || qual == 0x08)) return Good();
  if (sub == 0x01) return Good();
  if (sub == 0x03) {
    lastSignal_ = SimSignal::Pass;
    return Good();
  }
  if (sub == 0x04) {
    lastSignal_ = SimSignal::Fail;
    return Good();
  }
  return Check(kSenseInvalidOpcode);
}

void SimDisk::Pace(std::uint64_t bytes, double mbps) {
  double waitUs = mbps > 0 ? static_cast<double>(bytes) / mbps : 0.0;  // MB/s == bytes/us
  if (bus_) waitUs = std::max(waitUs, bus_->Book(bytes));
  if (waitUs <= 0) return;
  paceDebtUs_ += waitUs;
  const auto ms = static_cast<std::uint32_t>(paceDebtUs_ / 1000.0);
  if (ms > 0) {
    paceDebtUs_ -= ms * 1000.0;
    clock_.SleepMs(ms);
  }
}

void SimDisk::ReadData(std::uint64_t offset, std::uint8_t* out, std::size_t size) {
  if (fileBacked_) {
    file_.clear();
    file_.seekg(static_cast<std::streamoff>(offset));
    file_.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(size));
    const auto got = static_cast<std::size_t>(std::max<std::streamsize>(0, file_.gcount()));
    if (got < size) std::memset(out + got, 0, size - got);
    file_.clear();
    return;
  }
  while (size > 0) {
    const std::uint64_t chunk = offset / kSimChunkSize;
    const std::size_t within = static_cast<std::size_t>(offset % kSimChunkSize);
    const std::size_t n = std::min<std::size_t>(size, kSimChunkSize - within);
    auto it = chunks_.find(chunk);
    if (it == chunks_.end()) {
      std::memset(out, 0, n);
    } else {
      std::memcpy(out, it->second.get() + within, n);
    }
    out += n;
    offset += n;
    size -= n;
  }
}

void SimDisk::WriteData(std::uint64_t offset, const std::uint8_t* in, std::size_t size) {
  if (fileBacked_) {
    file_.clear();
    file_.seekp(static_cast<std::streamoff>(offset));
    file_.write(reinterpret_cast<const char*>(in), static_cast<std::streamsize>(size));
    file_.flush();
    file_.clear();
    return;
  }
  while (size > 0) {
    const std::uint64_t chunk = offset / kSimChunkSize;
    const std::size_t within = static_cast<std::size_t>(offset % kSimChunkSize);
    const std::size_t n = std::min<std::size_t>(size, kSimChunkSize - within);
    auto it = chunks_.find(chunk);
    if (it == chunks_.end()) {
      // Zeros over a chunk never written change nothing: keep it unstored.
      if (std::all_of(in, in + n, [](std::uint8_t b) { return b == 0; })) {
        in += n;
        offset += n;
        size -= n;
        continue;
      }
      it = chunks_.emplace(chunk, std::make_unique<std::uint8_t[]>(kSimChunkSize)).first;
    }
    std::memcpy(it->second.get() + within, in, n);
    in += n;
    offset += n;
    size -= n;
  }
}

// --- Inspection ---------------------------------------------------------------

std::uint64_t SimDisk::CommandCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return commandCount_;
}

std::map<std::uint8_t, std::uint64_t> SimDisk::ReceivedOpcodes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return receivedOpcodes_;
}

std::uint64_t SimDisk::SectorsWritten() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sectorsWritten_;
}

std::vector<SimCommand> SimDisk::History() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<SimCommand> out;
  out.reserve(history_.size());
  for (std::size_t i = 0; i < history_.size(); ++i) {
    out.push_back(history_[(historyNext_ + i) % history_.size()]);
  }
  return out;
}

std::array<std::uint8_t, 512> SimDisk::StoredConfigTable() {
  std::lock_guard<std::mutex> lock(mutex_);
  return configTable_;
}

bool SimDisk::ConfigTableWritten() {
  std::lock_guard<std::mutex> lock(mutex_);
  return configTableWritten_;
}

SimSignal SimDisk::LastSignal() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastSignal_;
}

std::uint32_t SimDisk::EraseCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::uint32_t>(eraseAddresses_.size());
}

std::vector<std::uint32_t> SimDisk::EraseAddresses() {
  std::lock_guard<std::mutex> lock(mutex_);
  return eraseAddresses_;
}

std::map<std::uint16_t, std::vector<std::uint8_t>> SimDisk::CodeFlashBlocks() {
  std::lock_guard<std::mutex> lock(mutex_);
  return codeFlash_;
}

std::optional<std::uint8_t> SimDisk::LastCodeFlashControlMode() {
  std::lock_guard<std::mutex> lock(mutex_);
  return codeFlashMode_;
}

std::vector<std::uint8_t> SimDisk::ReadStored(std::uint32_t lba, std::uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::uint8_t> out(std::size_t{count} * 512);
  if (std::uint64_t{lba} + count > std::uint64_t{config_.lastLba} + 1) return {};
  ReadData(std::uint64_t{lba} * 512, out.data(), out.size());
  return out;
}

void SimDisk::WriteStored(std::uint32_t lba, const std::uint8_t* data, std::uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (std::uint64_t{lba} + count > std::uint64_t{config_.lastLba} + 1) return;
  WriteData(std::uint64_t{lba} * 512, data, std::size_t{count} * 512);
}

std::size_t SimDisk::StoredChunkCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return chunks_.size();
}

}  // namespace kx20
