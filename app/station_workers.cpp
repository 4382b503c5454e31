// The worker list and the start commands: which rows get a worker, one run
// per press, never two workers on one disk.
#include <atomic>
#include <functional>
#include <thread>
#include <utility>

#include "app/station.h"
#include "app/station_shared.h"
#include "device/device_session.h"

namespace kx20 {

namespace ctl = station_control;
namespace sc = settings_control;

void Station::PruneWorkers() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (it->done->load()) {
      if (it->thread.joinable()) it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

int Station::RunningWorkerCount() const {
  int n = 0;
  for (const WorkerEntry& w : workers_) n += w.done->load() ? 0 : 1;
  return n;
}

bool Station::LetterBusy(char letter) const {
  for (const WorkerEntry& w : workers_) {
    if (w.driveLetter == letter && !w.done->load()) return true;
  }
  return false;
}

// --- Start command --------------------------------------------------------------

void Station::OnSpaceKeyDown(bool autoRepeat) {
  if (autoRepeat) return;  // one run per press
  BeginRun();
}

void Station::OnUpdateButtonState(int buttonState) {
  const bool held = (buttonState & kButtonStatePushed) != 0;
  if (held && !updateHeld_) {
    updateHeld_ = true;
    BeginRun();
  } else if (!held) {
    updateHeld_ = false;
  }
}

bool Station::RunMayStart() {
  // No verdict of the run could be recorded: no run, so no disk gets a
  // number that no record names.
  std::string why;
  if (!shared_->log.CheckWritable(&why)) {
    // (the failure names the file: produce.log or produce.jsonl beside it)
    const std::string file = why.rfind(kVerdictRecordFileName, 0) == 0 ? kVerdictRecordFileName
                                                                      : kProductionLogFileName;
    out_.ShowMessageBox(why + ".\nNo run starts until " + file + " can be written again.",
                        kMessageCaption);
    return false;
  }
  // A settings file that is there but cannot be read would leave the run
  // with whatever settings were loaded before.
  std::string text;
  if (ReadFileContents(configPath_, text, &why) == ReadOutcome::kFailed) {
    out_.ShowMessageBox(std::string(kSettingsFileName) + " cannot be read: " + why +
                            ".\nNo run was started.",
                        kMessageCaption);
    return false;
  }
  return true;
}

void Station::BeginRun() {
  if (shutDown_) return;
  if (!RunMayStart()) return;
  out_.SetEnabled(ctl::kSourceFile, false);
  out_.SetEnabled(ctl::kUpdate, false);
  out_.SetEnabled(ctl::kEmpty, false);
  out_.SetEnabled(ctl::kTargetDevice, false);
  ReloadSettings(/*resetHeader=*/true);
  ProductionStart();
}

void Station::StartWorker(int row, char letter, std::function<void()> body,
                          std::shared_ptr<WorkerLedger::Entry> page) {
  if (row >= 0 && row < kSlotRows) {
    // The row's disk is a new one for its meter: the capacity comes with
    // this worker's READ CAPACITY (cleared before the worker can store it).
    shared_->env.rowLastLba[static_cast<std::size_t>(row)].store(0, std::memory_order_release);
    meters_[static_cast<std::size_t>(row)].Start();
    const std::shared_ptr<const ProductionSettings> settings = shared_->settings.Snapshot();
    PassShape& shape = shapes_[static_cast<std::size_t>(row)];
    shape = PassShape{};
    shape.rwTest = settings && settings->rwTestEnabled;
    shape.rwPercent = settings ? settings->rwTestPercent : 0;
  }
  WorkerEntry entry;
  entry.done = std::make_shared<std::atomic<bool>>(false);
  entry.driveLetter = letter;
  entry.row = row;
  entry.thread = std::thread([body = std::move(body), done = entry.done, page = std::move(page)]() {
    // Nothing a body throws may leave the thread (that would end the process
    // in the middle of every other disk's writes); the worker bodies end
    // their disk through its failure exit themselves.
    try {
      body();
    } catch (...) {
    }
    if (page != nullptr) page->NoVerdict();  // a body that gave none
    done->store(true);
  });
  workers_.push_back(std::move(entry));
  runStarts_.push_back({row, letter});
  if (row >= 0 && row < kSlotRows) rowStatus_[static_cast<std::size_t>(row)] = {letter, {}};
  if (runCountsStale_) {
    // A new run: the last run's rows are no longer part of it.
    model_.run = VerdictCounts{};
    for (int i = 0; i < model_.RowCount(); ++i) {
      RowModel r = model_.rows[static_cast<std::size_t>(i)];
      if (!r.inRun) continue;
      const RowModel fresh;
      r.inRun = false;
      r.phase = fresh.phase;
      r.progress = fresh.progress;
      r.startMs = fresh.startMs;
      r.endMs = fresh.endMs;
      r.rate = fresh.rate;
      r.estimatedEndMs = fresh.estimatedEndMs;
      out_.SetRowRun(i, r);
    }
    runCountsStale_ = false;
  }
  ++model_.run.started;
  ++model_.session.started;
  if (row >= 0 && row < model_.RowCount()) {
    RowModel r = model_.rows[static_cast<std::size_t>(row)];
    r.letter = letter;
    r.verdict = StatusClass::kNone;
    r.inRun = true;
    r.phase = RowPhase::kTable;  // the pass begins with the table steps
    r.progress = 0;
    r.startMs = clock_.MonotonicMs();
    r.endMs = 0;
    r.rate = 0;
    r.estimatedEndMs = 0;
    out_.SetRowRun(row, r);
  }
}

void Station::ProductionStart() {
  ExchangeToMembers();
  const PanelMembers members = Members();
  if (members.codeFlashOption == 0 && members.eepromOption == 0) return;
  const int count = model_.RowCount();
  if (count < 0) return;

  // A start while workers run shares their locks; a new run gets new ones.
  if (runLocks_ == nullptr || RunningWorkerCount() == 0) {
    runLocks_ = std::make_shared<RunLocks>();
    if (RunningWorkerCount() == 0) NewRun();
  }
  runActive_ = true;

  for (int row = 0; row < count; ++row) {
    const char letter = RowDriveLetter(row);
    if (letter == 0) continue;
    if (LetterBusy(letter)) continue;  // never two workers on one disk

    // A disk another station is producing gets not even the probe: its row
    // says so, and it counts as a disk of this run that was not produced.
    // (The worker claims the disk again for its whole run.)
    if (DiskClaimResult claim = port_.ClaimDisk(letter, shared_->env.claimant); !claim.claim) {
      shared_->notices.Post(claim.refusal + ": the disk in slot " + std::to_string(row + 1) +
                            " was left alone");
      shared_->flags.rescanPending.store(0);  // the rows belong to this run now
      const WorkerStatus refused = WorkerStatus::Make(letter, row, StatusDiskInUse, 0);
      StartWorker(row, letter, [shared = shared_, refused]() { shared->env.poster->Post(refused); });
      continue;
    }

    DeviceSession session(port_);
    session.driveLetter = letter;
    std::uint16_t statusWord = 0;
    if (!session.ProbeControllerOnce(statusWord)) continue;

    // Scans pause from the first start on (each worker also clears the flag
    // as it starts); the rows now belong to the workers.
    shared_->flags.rescanPending.store(0);
    // The disk's page for a close: from now on it gets a record, whatever
    // happens to the worker.
    std::shared_ptr<WorkerLedger::Entry> page = shared_->ledger.Open(letter, row + 1);
    if (page == nullptr) return;  // closed
    const std::uint32_t startValue = MakeStartValue(letter, row);
    StartWorker(
        row, letter,
        [shared = shared_, locks = runLocks_, body = productionWorker_, startValue]() {
          body(shared->env, *locks, startValue);
        },
        std::move(page));
    clock_.SleepMs(100);
  }
}

void Station::NewRun() {
  runStarts_.clear();
  // The last run's counts stay on screen until this run starts a worker.
  runCountsStale_ = true;
}

char Station::RowDriveLetter(int row) const {
  const SlotRecord* record = slots_.Find(row + 1);
  if (record == nullptr || row < 0 || row >= kSlotRows) return 0;
  const char letter = record->driveLetter;
  if (letter < 'A' || letter > 'Z') return 0;
  // The scan showed "[device X]" instead of the letter.
  if (record->probeOsFailure == 2) return 0;
  // The row has shown a worker's status since the scan: its disk has had its
  // run (or has one now).
  if (rowHasStatus_[static_cast<std::size_t>(row)]) return 0;
  return letter;
}

void Station::OnEmptyButton() {
  out_.SetEnabled(ctl::kUpdate, false);
  out_.SetEnabled(ctl::kTargetDevice, false);
  out_.SetEnabled(ctl::kEmpty, false);
  out_.SetEnabled(ctl::kSourceFile, false);
  CodeFlashStart();
}

void Station::CodeFlashStart() {
  if (shutDown_) return;
  ExchangeToMembers();
  const PanelMembers members = Members();
  if (members.codeFlashOption == 0 && members.eepromOption == 0) return;
  if (!LoadCodeFlashData(InWorkDir(members.sourceFilePath), *codeFlashData_)) {
    out_.ShowMessageBox(kCodeFlashMissingText, kMessageCaption);
    return;
  }
  const int count = model_.RowCount();
  if (count < 0) return;
  if (RunningWorkerCount() == 0) NewRun();
  runActive_ = true;
  codeFlashRun_ = true;

  // The selection: every slot holding a disk whose controller answered the
  // scan's probe.
  for (int slot = 1; slot <= kSlotRows; ++slot) {
    SlotRecord& record = *slots_.Find(slot);
    record.codeFlashReady = (record.present != 0 && record.probeAnswered != 0) ? 1 : 0;
  }

  const bool size256K = codeFlashSize256K_ == 1;
  for (int row = 0; row < count; ++row) {
    if (members.codeFlashOption == 0) break;
    const SlotRecord* record = slots_.Find(row + 1);
    if (record == nullptr || record->codeFlashReady == 0) continue;
    const char letter = RowDriveLetter(row);
    if (letter == 0) continue;
    if (LetterBusy(letter)) continue;

    shared_->flags.rescanPending.store(0);
    const std::uint32_t startValue = MakeStartValue(letter, row);
    StartWorker(row, letter,
                [shared = shared_, port = &port_, body = codeFlashWorker_, startValue, size256K]() {
                  body(*port, *shared->env.poster, startValue, size256K);
                });
    clock_.SleepMs(100);
  }
}

void Station::OnCodeFlashSize(bool size256K) {
  codeFlashSize256K_ = size256K ? 1 : 0;
  out_.SetCheck(ctl::kSize256K, size256K);
  out_.SetCheck(ctl::kSize512K, !size256K);
}
}  // namespace kx20
