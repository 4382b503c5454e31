#include "production/production_worker.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "common/aligned_buffer.h"
#include "common/version.h"
#include "config/card_registers.h"
#include "config/recipe.h"
#include "device/device_session.h"
#include "production/config_check.h"

namespace kx20 {
namespace {

constexpr std::uint16_t kChunkSectors = kPassChunkSectors;
constexpr std::uint32_t kChunkBytes = kChunkSectors * kSectorSize;  // 65,536
constexpr std::uint32_t kClearLimitSector = kPassClearLimitSector;
constexpr std::uint32_t kPostConfigPauseMs = 2000;
constexpr std::uint32_t kEraseStartPauseMs = 1000;
constexpr std::uint32_t kEraseEndPauseMs = 2000;
constexpr std::uint32_t kImageVerifyPauseMs = kPassImageVerifyPauseMs;
constexpr std::uint16_t kCodeFlashControlMode = 4;

// Progress as a percentage with a divisor that may be zero (fewer than 100
// blocks or chunks): then there is nothing to divide and the step shows 100.
std::uint32_t Progress(std::uint32_t done, std::uint32_t divisor) {
  return divisor == 0 ? 100u : done / divisor;
}

struct Failure {
  const char* errorText;
  WorkerStatusCode code;
  // False when the disk on the handle is not the one this worker probed:
  // then not even the fail signal is sent to it.
  bool tellController = true;
};

// The bytes some transfers moved and the time spent in them, for a rate.
struct TransferTime {
  std::uint64_t bytes = 0;
  std::uint64_t us = 0;
  void Add(std::uint64_t moved, std::uint64_t startUs, std::uint64_t endUs) {
    bytes += moved;
    us += endUs > startUs ? endUs - startUs : 0;
  }
  // MB/s (bytes per microsecond); nothing when no time could be measured.
  std::optional<double> MBps() const {
    if (bytes == 0 || us == 0) return std::nullopt;
    return static_cast<double>(bytes) / static_cast<double>(us);
  }
};

// A 64 KB transfer block, aligned for direct transfers on every build.
class AlignedChunk : public AlignedBytes {
 public:
  AlignedChunk() : AlignedBytes(kChunkBytes, kDataBufferAlignment) {}
};

// The verdict when the disk reached after the reopen by letter is not the
// one this worker probed (another make, or another slot's disk on the
// letter). It is the verdict of the step that reopened the disk: a disk
// that is simply gone at that reopen fails READ CAPACITY with the same text,
// so an operator sees one verdict, "[capacity X]", for a disk replugged or
// swapped mid-run, whichever way the host handed out the letter.
constexpr Failure kWrongDiskFailure{"USBErr_Capacity", StatusCapacityFail, false};

class ProductionPass {
 public:
  ProductionPass(ProductionEnvironment& env, RunLocks& locks, std::uint32_t startValue)
      : env_(env),
        locks_(locks),
        letter_(static_cast<char>((startValue >> 16) & 0xFF)),
        row_(static_cast<int>(startValue & 0xFFFF)),
        session_(*env.port) {}

  // Runs the sequence; an exception thrown by any step (bad_alloc,
  // system_error) ends the disk through the failure exit of the step it was
  // in, and never leaves the worker's thread.
  void Run();

 private:
  void Sequence();
  void Post(WorkerStatusCode code, std::uint32_t value) {
    env_.poster->Post(WorkerStatus::Make(letter_, row_, code,
                                                static_cast<std::uint16_t>(value)));
  }
  void Sleep(std::uint32_t ms) { env_.clock->SleepMs(ms); }

  // The common failure exit: controller told, handle closed, log written, row updated.
  void Fail(const Failure& failure);
  void Pass();
  // The verdict event of this disk: its record so far and the verdict. Ends
  // the step under way.
  VerdictEvent MakeEvent(bool passed, const char* errorCode);
  // Writes the record and hands the event to the sink, under the log lock;
  // true when both took it. The ledger learns that the verdict is recorded.
  bool Record(const LogRecord& record, const VerdictEvent& event);
  // The step under way: its failure exit, and what a cut-off disk is
  // recorded with.
  void EnterStep(const Failure& failure, const char* stepName) {
    step_ = failure;
    if (track_) track_->SetStep(failure.errorText);
    BeginStep(stepName);
  }
  // The record's steps: ends the step under way (its duration up to now)
  // and begins the next one at the same instant.
  void BeginStep(const char* stepName);
  void EndStep(std::uint64_t nowMs);
  // Tells the ledger what the record holds so far.
  void NoteRecord() {
    if (track_) track_->SetRecord(draft_, stepName_, stepStartedUtc_);
  }
  // Times one transfer into `into`.
  template <typename F>
  void Timed(TransferTime& into, std::uint64_t bytes, F transfer) {
    const std::uint64_t start = env_.clock->MonotonicUs();
    transfer();
    into.Add(bytes, start, env_.clock->MonotonicUs());
  }
  // After a reopen by letter: whether the disk on the handle is a target
  // disk of this worker's slot.
  bool SameDiskAsProbed();

  std::optional<Failure> ConfigurationStep(const ProductionSettings& settings,
                                           ConfigCheckResult& check);
  void EraseFlash(std::uint32_t totalMegabytes);
  std::optional<Failure> TableSteps(const ProductionSettings& passSettings);
  std::optional<Failure> ImageFor(std::uint32_t lastLba);
  std::optional<Failure> ReadWriteTest(std::uint32_t lastLba, std::int32_t percentLimit);
  void ClearFileSystemArea();
  std::optional<Failure> WriteAndVerifyImage();

  ProductionEnvironment& env_;
  RunLocks& locks_;
  const char letter_;
  const int row_;
  // The disk is this worker's for the whole pass (released after the
  // session's handle is closed).
  std::unique_ptr<DiskClaim> claim_;
  DeviceSession session_;
  alignas(kDataBufferAlignment) std::array<std::uint8_t, 512> flashInfo_{};
  alignas(kDataBufferAlignment) std::array<std::uint8_t, 512> tableReadBack_{};
  alignas(kDataBufferAlignment) ConfigTable previousTable_{};
  AlignedChunk testPattern_;
  AlignedChunk testReadBack_;
  AlignedChunk zeroBlock_;
  AlignedChunk imageReadBack_;
  // Held from the serial-number step to the end of the table steps; a
  // failure inside them keeps it until the worker ends.
  std::unique_lock<std::mutex> setupGuard_;
  // The serial number of the table written to the disk, as read back from
  // it (once the table is verified): as a number (0 when none, or when its
  // digits are not decimal) and as the log's eight digits.
  std::uint32_t serialNumber_ = 0;
  std::string serialText_ = "00000000";
  // This worker's page in the ledger (null without a ledger).
  std::shared_ptr<WorkerLedger::Entry> track_;
  CalendarTime startedUtc_{};
  std::uint64_t capacitySectors_ = 0;
  std::shared_ptr<const PreparedImageSnapshot> image_;
  // The failure exit of the step under way (none before the probe answered),
  // and whether the pass has reached its exit (pass or fail).
  std::optional<Failure> step_;
  bool exitReached_ = false;
  // The disk's record as the pass goes (everything but the verdict), the
  // step under way (null: none) and the transfers the rates come from.
  VerdictEvent draft_;
  const char* stepName_ = nullptr;
  CalendarTime stepStartedUtc_{};
  std::uint64_t stepStartedMs_ = 0;
  TransferTime rwWrite_;
  TransferTime rwRead_;
  TransferTime imageWrite_;
};

void ProductionPass::BeginStep(const char* stepName) {
  const std::uint64_t nowMs = env_.clock->MonotonicMs();
  const CalendarTime nowUtc = env_.clock->UtcNow();
  EndStep(nowMs);
  stepName_ = stepName;
  stepStartedUtc_ = nowUtc;
  stepStartedMs_ = nowMs;
  NoteRecord();
}

void ProductionPass::EndStep(std::uint64_t nowMs) {
  if (stepName_ == nullptr) return;
  const std::uint64_t ms = nowMs > stepStartedMs_ ? nowMs - stepStartedMs_ : 0;
  draft_.steps.push_back({stepName_, stepStartedUtc_,
                          static_cast<std::uint32_t>(std::min<std::uint64_t>(ms, 0xFFFFFFFFu))});
  stepName_ = nullptr;
}

void ProductionPass::Run() {
  try {
    Sequence();
  } catch (...) {
    if (!exitReached_ && step_) {
      try {
        Fail(*step_);
      } catch (...) {
      }
    }
  }
  // A pass that ended before any verdict (no disk, no probe, in use).
  if (track_ && !exitReached_) track_->NoVerdict();
}

void ProductionPass::Sequence() {
  env_.rescanPending->store(0);
  if (env_.ledger != nullptr) {
    track_ = env_.ledger->Begin(letter_, row_ + 1);
    if (!track_) return;  // the station was closed before this worker began
  }
  // No command reaches a disk that another station drives.
  DiskClaimResult claim = env_.port->ClaimDisk(letter_, env_.claimant);
  if (!claim.claim) {
    if (env_.notices != nullptr) {
      env_.notices->Post(claim.refusal + ": the disk in slot " + std::to_string(row_ + 1) +
                         " was left alone");
    }
    Post(StatusDiskInUse, 0);
    return;
  }
  claim_ = std::move(claim.claim);
  if (!session_.Open(letter_)) return;  // no message, no record
  std::uint16_t probeStatus = 0;
  if (!session_.ProbeController(probeStatus)) {
    session_.Close();
    return;
  }
  // One settings snapshot for the checks and options of this pass.
  const std::shared_ptr<const ProductionSettings> settings = env_.settings->Snapshot();
  draft_.lot = env_.lot;
  draft_.operatorName = env_.operatorName;
  draft_.softwareVersion = kVersion;
  draft_.recipeId = RecipeId(*settings);

  EnterStep(Failure{"USBErr_Config", StatusConfigFail}, kStepConfigCheck);
  startedUtc_ = stepStartedUtc_;
  if (track_) track_->SetStarted(startedUtc_);

  ConfigCheckResult check;
  if (auto f = ConfigurationStep(*settings, check)) return Fail(*f);
  if (settings->eraseFlashEnabled) {
    BeginStep(kStepErase);
    EraseFlash(check.totalMegabytes);
  }
  EnterStep(Failure{"USBErr_RWTable", StatusRwTableFail}, kStepTable);
  if (auto f = TableSteps(*settings)) return Fail(*f);
  EnterStep(Failure{"USBErr_Capacity", StatusCapacityFail}, kStepCapacity);

  // Post-configuration sequence; TestUnitReady closes the handle and the
  // next command reopens it.
  session_.FlashControl08();
  session_.ControllerControl01();
  session_.ProbeControllerStatus();
  session_.FlashControl03();
  session_.TestUnitReady();
  Sleep(kPostConfigPauseMs);

  std::uint32_t lastLba = 0;
  if (session_.ReadCapacity(lastLba, letter_) != DevOk || lastLba == 0) {
    return Fail({"USBErr_Capacity", StatusCapacityFail});
  }
  capacitySectors_ = static_cast<std::uint64_t>(lastLba) + 1;
  if (row_ >= 0 && row_ < kCapacityRows) env_.rowLastLba[row_].store(lastLba, std::memory_order_release);
  if (track_) track_->SetCapacity(capacitySectors_);
  // The handle now comes from a reopen by letter: nothing more reaches the
  // disk (and no sector is written) unless it is the one probed.
  if (!SameDiskAsProbed()) return Fail(kWrongDiskFailure);
  session_.VerifyLeadingBlocks();
  for (std::uint32_t i = 0; i < kChunkBytes; i += 2) {
    testPattern_[i] = 0x55;
    testPattern_[i + 1] = 0xAA;
  }
  if (auto f = ImageFor(lastLba)) return Fail(*f);
  if (settings->rwTestEnabled) {
    EnterStep(Failure{"USBErr_RW_Compare", StatusRwCompareFail}, kStepRwTest);
    if (auto f = ReadWriteTest(lastLba, settings->rwTestPercent)) return Fail(*f);
  }
  EnterStep(Failure{"USBErr_Pnf", StatusPnfFail}, kStepImage);
  ClearFileSystemArea();
  if (auto f = WriteAndVerifyImage()) return Fail(*f);
  Pass();
}

std::optional<Failure> ProductionPass::ConfigurationStep(const ProductionSettings& settings,
                                                         ConfigCheckResult& check) {
  session_.ReadFlashInfo(flashInfo_.data(), static_cast<std::uint32_t>(flashInfo_.size()), nullptr);
  check = CheckFlashConfiguration(flashInfo_.data(), settings.flash1Type, settings.flash2Type,
                                  settings.capacitySelection);
  if (!check.ok) return Failure{"USBErr_Config", StatusConfigFail};
  return std::nullopt;
}

void ProductionPass::EraseFlash(std::uint32_t totalMegabytes) {
  Post(StatusEraseProgress, 0);
  Sleep(kEraseStartPauseMs);
  // Block geometry from the first chip's capacity index as read.
  const bool largeBlocks = flashInfo_[6] >= 6;
  const std::uint32_t blockKb = largeBlocks ? 128 : 16;
  const std::uint32_t step = largeBlocks ? 256 : 32;
  const std::uint32_t blocks = totalMegabytes * 1024 / blockKb;
  const std::uint32_t divisor = blocks / 100;
  for (std::uint32_t b = 0; b <= blocks; ++b) {
    session_.EraseFlashBlock(b * step);
    Post(StatusEraseProgress, std::min<std::uint32_t>(100, Progress(b, divisor)));
  }
  session_.FlashControl03();
  Sleep(kEraseEndPauseMs);
}

std::optional<Failure> ProductionPass::TableSteps(const ProductionSettings& passSettings) {
  // The number the disk carried before this pass (a rework), read before the
  // serial step takes a new one. Outside setupLock, so it holds up no other
  // disk; its outcome never changes the verdict: a table that cannot be read
  // or is blank only means that no previous number is known.
  if (session_.ReadConfigTable(previousTable_.data(), static_cast<std::uint32_t>(previousTable_.size()),
                               nullptr) == DevOk) {
    draft_.previousSerial = TableCarriedSerial(previousTable_);
  }
  NoteRecord();

  setupGuard_ = std::unique_lock<std::mutex>(locks_.setupLock);
  if (env_.advanceSerialNumber) {
    const SerialStepResult step = env_.advanceSerialNumber(SerialRequest{letter_, row_ + 1});
    // With the option on, a disk that got no fresh number would carry an
    // earlier disk's serial number: it is not programmed.
    if (step.Failed()) return Failure{"USBErr_RWTable", StatusRwTableFail};
  }
  // The table this worker programs, taken while the lock is held.
  const std::shared_ptr<const ProductionSettings> settings = env_.settings->Snapshot();
  const ConfigTable& table = settings->publishedConfigTable;

  const DeviceStatus written =
      session_.WriteConfigTable(table.data(), static_cast<std::uint32_t>(table.size()), nullptr);
  Post(StatusProcess, 0);
  if (written != DevOk) return Failure{"USBErr_RWTable", StatusRwTableFail};

  const DeviceStatus read = session_.ReadConfigTable(
      tableReadBack_.data(), static_cast<std::uint32_t>(tableReadBack_.size()), nullptr);
  Post(StatusProcess, 0);
  if (read != DevOk) return Failure{"USBErr_RWTable", StatusRwTableFail};

  // The first 8 bytes are the controller's own and are not compared.
  if (std::memcmp(tableReadBack_.data() + 8, table.data() + 8, table.size() - 8) != 0) {
    return Failure{"USBErr_TableCompare", StatusTableCompareFail};
  }
  // The number the disk carries from now on is the one in the table it
  // gave back: every record of this disk names that one.
  serialText_ = TableSerialText(tableReadBack_);
  serialNumber_ = TableSerialNumber(tableReadBack_);
  if (track_) track_->SetSerial(serialNumber_);
  // The recipe of the table the disk now carries (a settings load between
  // the pass's start and its serial step may have changed it).
  draft_.recipeId = RecipeId(passSettings, table);
  setupGuard_.unlock();
  return std::nullopt;
}

std::optional<Failure> ProductionPass::ImageFor(std::uint32_t lastLba) {
  // The image must be the one built for this disk's own capacity: another
  // worker may have rebuilt the shared image for a different disk since.
  if (lastLba == env_.imageCapacity.load()) {
    image_ = env_.images->Current();
    if (image_ && image_->imageCapacity == lastLba) return std::nullopt;
  }
  env_.imageCapacity.store(lastLba);
  {
    std::lock_guard<std::mutex> lock(locks_.setupLock);
    image_ = env_.images->BuildDiskImage(lastLba);
  }
  if (!image_) return Failure{"USBErr_Capacity", StatusCapacityFail};
  return std::nullopt;
}

std::optional<Failure> ProductionPass::ReadWriteTest(std::uint32_t lastLba,
                                                     std::int32_t percentLimit) {
  const std::uint32_t chunks = lastLba / kChunkSectors;
  const std::uint32_t divisor = chunks / 100;
  for (std::uint32_t i = 0; i < chunks; ++i) {
    const std::uint32_t lba = i * kChunkSectors;
    Timed(rwWrite_, kChunkBytes,
          [&] { session_.WriteSectors(testPattern_.data(), lba, kChunkSectors, nullptr); });
    Timed(rwRead_, kChunkBytes,
          [&] { session_.ReadSectors(testReadBack_.data(), lba, kChunkSectors, nullptr); });
    const bool same = std::memcmp(testReadBack_.data(), testPattern_.data(), kChunkBytes) == 0;
    std::fill(testReadBack_.begin(), testReadBack_.end(), 0);
    if (!same) return Failure{"USBErr_RW_Compare", StatusRwCompareFail};
    const std::uint32_t p = Progress(i, divisor);
    if (static_cast<std::int64_t>(p) > percentLimit || p > 100) break;
    Post(StatusRwTestProgress, p);
  }
  return std::nullopt;
}

void ProductionPass::ClearFileSystemArea() {
  const std::uint32_t end = image_->imageRootSector + 1024;
  for (std::uint32_t a = 0; a < end && a < kClearLimitSector; a += kChunkSectors) {
    Timed(imageWrite_, kChunkBytes,
          [&] { session_.WriteSectors(zeroBlock_.data(), a, kChunkSectors, nullptr); });
  }
}

std::optional<Failure> ProductionPass::WriteAndVerifyImage() {
  const std::uint8_t* image = image_->preparedImage.data();
  // A disk smaller than the image (the smallest supported ones) takes the
  // sectors it has; the image holds nothing but zeros beyond the volume.
  const std::uint32_t diskSectors = image_->imageCapacity + 1;
  for (std::uint32_t k = 1; k <= kPassImagePieces; ++k) {
    const std::uint32_t lba = kChunkSectors * (k - 1);
    const std::uint16_t count = static_cast<std::uint16_t>(
        lba >= diskSectors ? 0 : std::min<std::uint32_t>(kChunkSectors, diskSectors - lba));
    const std::size_t bytes = static_cast<std::size_t>(count) * kSectorSize;
    const std::uint8_t* piece = image + static_cast<std::size_t>(kChunkBytes) * (k - 1);
    if (count > 0) {
      Timed(imageWrite_, bytes, [&] { session_.WriteSectors(piece, lba, count, nullptr); });
    }
    std::fill(imageReadBack_.begin(), imageReadBack_.end(), 0);
    Sleep(kImageVerifyPauseMs);
    if (count > 0) session_.ReadSectors(imageReadBack_.data(), lba, count, nullptr);
    const bool same = std::memcmp(imageReadBack_.data(), piece, bytes) == 0;
    Post(StatusProcess, k);
    if (!same) return Failure{"USBErr_Pnf", StatusPnfFail};
  }
  return std::nullopt;
}

VerdictEvent ProductionPass::MakeEvent(bool passed, const char* errorCode) {
  const std::uint64_t nowMs = env_.clock->MonotonicMs();
  const CalendarTime nowUtc = env_.clock->UtcNow();
  if (!passed && stepName_ != nullptr) draft_.failedStep = stepName_;
  EndStep(nowMs);
  draft_.rwWriteMBps = rwWrite_.MBps();
  draft_.rwReadMBps = rwRead_.MBps();
  draft_.imageWriteMBps = imageWrite_.MBps();
  VerdictEvent event = draft_;
  event.driveLetter = letter_;
  event.slot = row_ + 1;
  event.passed = passed;
  event.serialNumber = serialNumber_;
  event.capacitySectors = capacitySectors_;
  event.errorCode = errorCode;
  event.startedUtc = startedUtc_;
  event.finishedUtc = nowUtc;
  return event;
}

bool ProductionPass::Record(const LogRecord& record, const VerdictEvent& event) {
  std::lock_guard<std::mutex> lock(locks_.logLock);
  bool recorded = env_.log->WriteVerdict(record, event);
  if (env_.recordVerdict && !env_.recordVerdict(event)) {
    recorded = false;
    if (env_.notices != nullptr) {
      env_.notices->Post(std::string("drive ") + letter_ + ": (slot " + std::to_string(row_ + 1) +
                         "): the line did not take the verdict (" +
                         (event.passed ? "Pass " + serialText_ : "FAIL " + event.errorCode) + ")");
    }
  }
  if (track_) track_->Recorded();
  return recorded;
}

bool ProductionPass::SameDiskAsProbed() {
  std::uint8_t inquiry[kInquiryLength] = {};
  if (session_.InquiryOnHandle(inquiry) != DevOk) return false;
  // Row r shows slot r + 1: the slot discovery read from this disk.
  return IsTargetInquiry(inquiry) && InquirySlotNumber(inquiry) == row_ + 1;
}

void ProductionPass::Fail(const Failure& failure) {
  exitReached_ = true;
  const LogRecord record = MakeFailRecord(failure.errorText);
  const VerdictEvent event = MakeEvent(false, failure.errorText);
  // Cut off by the close: its record is written; the disk is told nothing.
  if (track_ && !track_->Finish(record, event)) {
    session_.Close();
    return;
  }
  if (failure.tellController) session_.SignalFail();
  session_.Close();
  // A verdict that could not be recorded shows as such, never as the
  // failure alone.
  Post(Record(record, event) ? failure.code : StatusRecordFail, 0);
  // setupGuard_, if still held (a failure in the table steps), is released
  // when the pass ends.
}

void ProductionPass::Pass() {
  exitReached_ = true;
  const LogRecord record = MakePassRecordText(serialText_, image_->imageCapacity);
  const VerdictEvent event = MakeEvent(true, "");
  if (track_ && !track_->Finish(record, event)) {
    session_.Close();
    return;
  }
  session_.SignalPass();
  // A pass whose record is lost is no pass for the operator.
  if (Record(record, event)) {
    Post(StatusPass, 100);
  } else {
    Post(StatusRecordFail, 0);
  }
  session_.Close();
}

}  // namespace

void RunProductionWorker(ProductionEnvironment& env, RunLocks& locks, std::uint32_t startValue) {
  try {
    ProductionPass pass(env, locks, startValue);
    pass.Run();
  } catch (...) {
    // The pass could not even be set up: nothing was sent to the disk.
  }
}

namespace {

void CodeFlashPass(PassThroughPort& port, StatusPoster& poster, std::uint32_t startValue,
                   bool size256K) {
  const char letter = static_cast<char>((startValue >> 16) & 0xFF);
  const int row = static_cast<int>(startValue & 0xFFFF);
  auto post = [&](WorkerStatusCode code, std::uint32_t value) {
    poster.Post(WorkerStatus::Make(letter, row, code, static_cast<std::uint16_t>(value)));
  };
  const DiskClaimResult claim = port.ClaimDisk(letter, std::string());
  if (!claim.claim) {
    post(StatusDiskInUse, 0);
    return;
  }
  DeviceSession session(port);
  if (!session.Open(letter)) return;
  std::uint16_t probeStatus = 0;
  if (!session.ProbeController(probeStatus)) {
    session.Close();
    return;
  }
  post(StatusEraseProgress, 0);
  const std::uint16_t blocks = size256K ? 16 : 32;
  const AlignedBytes zero(kCodeFlashBlockSize, kDataBufferAlignment);
  bool failed = false;
  for (std::uint16_t b = 0; b < blocks; ++b) {
    const DeviceStatus status = session.WriteCodeFlashBlock(zero.data(), b, nullptr);
    // The divisor is 32 for both sizes: a 16-block run ends at 50 %.
    post(StatusEraseProgress, (b + 1u) * 100u / 32u);
    if (status != DevOk) {
      failed = true;
      break;
    }
  }
  session.CodeFlashControl(static_cast<std::uint8_t>(kCodeFlashControlMode));
  if (!failed) post(StatusEmpty, 100);
  session.Close();
}

}  // namespace

void RunCodeFlashWorker(PassThroughPort& port, StatusPoster& poster, std::uint32_t startValue,
                        bool size256K) {
  try {
    CodeFlashPass(port, poster, startValue, size256K);
  } catch (...) {
    // The disk is not reported "empty"; its row keeps the last progress.
  }
}

}  // namespace kx20
