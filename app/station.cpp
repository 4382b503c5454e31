// The station's run state: construction, the window's initialisation, the
// timer tick (scans, removal polls, the end of a run), the status display and
// the counts, the notices, and closing.
#include "app/station.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <utility>

#include "app/station_shared.h"
#include "common/version.h"
#include "storage/file_lock.h"

namespace kx20 {

namespace ctl = station_control;
namespace sc = settings_control;

namespace {

bool IsFinal(StatusClass c) {
  return c == StatusClass::kPass || c == StatusClass::kFail || c == StatusClass::kEmpty;
}

// The fixed entries of the drop-downs, in insertion order.
struct ComboEntries {
  int id;
  std::vector<const char*> entries;
};

const ComboEntries kComboEntries[] = {
    {sc::kEcc, {"0", "1", "2"}},
    {sc::kManufacturingYear, {"2003", "2004", "2005", "2006", "2007", "2008", "2009", "2010"}},
    {sc::kManufacturingMonth, {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"}},
    {sc::kFlash1, {"16", "32", "64", "128", "256", "128_2K", "256_2K", "512_2K"}},
    {sc::kFlash2, {"0", "16", "32", "64", "128", "256", "128_2K", "256_2K", "512_2K"}},
    {sc::kCapacitySelection,
     {"8", "16", "32", "48", "64", "80", "96", "128", "144", "160", "192", "256", "128_2K",
      "256_2K", "384_2K", "512_2K"}},
};

// Controls' states at creation: {id, visible, enabled}.
struct InitialState {
  int id;
  bool visible;
  bool enabled;
};

const InitialState kInitialStates[] = {
    {ctl::kSlotList, true, true},          {ctl::kUpdate, true, true},
    {ctl::kTargetDevice, false, false},    {ctl::kSourceFile, false, false},
    {ctl::kEmpty, false, false},           {ctl::kOk, false, false},
    {ctl::kDiskInfo, true, true},          {ctl::kRomInfo, true, true},
    {ctl::kSourcePath, false, true},       {ctl::kSize256K, false, true},
    {ctl::kSize512K, false, true},         {ctl::kCodeFlashOption, false, true},
    {ctl::kEepromOption, false, true},     {sc::kCapacityShown, true, false},
    {sc::kCapacitySelection, false, true}, {sc::kCardSpecificData, true, false},
    {sc::kWriteDelay, false, false},       {sc::kEcc, false, false},
    {ctl::kSaveConfigure, true, true},
};

// Keeps the locks taken by Shutdown() locked for the rest of the process:
// workers may still wait on them, so they are never destroyed.
void KeepLockedUntilExit(std::shared_ptr<RunLocks> locks) {
  static std::mutex keepMutex;
  static auto* kept = new std::vector<std::shared_ptr<RunLocks>>();
  std::lock_guard<std::mutex> lock(keepMutex);
  kept->push_back(std::move(locks));
}

}  // namespace

std::string QuitDuringRunQuestion(int runningDisks) {
  const std::string count = std::to_string(runningDisks);
  return (runningDisks == 1 ? "1 disk is being produced" : count + " disks are being produced") +
         std::string(". Quit anyway?\nA disk not finished is recorded as FAIL (cut off) with the\n"
                     "step it was in, and must be produced again.");
}

Station::Station(PassThroughPort& port, Clock& clock, ConsoleView& view, Shell& shell,
                 StationOptions options)
    : port_(port), clock_(clock), out_(model_, view), shell_(shell), options_(std::move(options)) {
  configPath_ = InWorkDir(kSettingsFileName);
  logPath_ = InWorkDir(kProductionLogFileName);
  RemoveLeftoverTemporaries(configPath_);  // of a write a crash cut short
  shared_ = std::make_shared<Shared>(clock_, logPath_, configPath_, options_.durability);
  discovery_ = std::make_unique<SlotDiscovery>(port_, slots_, shared_->flags, out_);
  codeFlashData_ = std::make_unique<CodeFlashData>();
  ConfigTable table{};
  ResetConfigTableHeader(table);
  shared_->SetWorkingTable(table);

  ProductionEnvironment& env = shared_->env;
  std::error_code ignoredError;
  env.port = &port_;
  env.clock = &clock_;
  env.poster = options_.poster != nullptr ? options_.poster : &shared_->queue;
  env.settings = &shared_->settings;
  env.images = &shared_->images;
  env.log = &shared_->log;
  env.rescanPending = &shared_->flags.rescanPending;
  // The environment lives inside the shared block, so a plain pointer to it
  // is valid for as long as a worker can call the step.
  shared_->serialSource = options_.serialSource;
  env.advanceSerialNumber = [shared = shared_.get()](const SerialRequest& request) {
    return shared->SerialStep(request);
  };
  env.recordVerdict = options_.verdictSink;
  env.lot = options_.lot;
  env.operatorName = options_.operatorName;
  shared_->log.SetRecordPlace(RecordPlace{options_.stationName, ThisHostName()});
  model_.lot = options_.lot;
  model_.operatorName = options_.operatorName;
  env.notices = &shared_->notices;
  env.ledger = &shared_->ledger;
  env.claimant =
      "work directory " +
      std::filesystem::absolute(options_.workDir.empty() ? "." : options_.workDir, ignoredError)
          .lexically_normal()
          .string();

  productionWorker_ = [](ProductionEnvironment& env, RunLocks& locks, std::uint32_t startValue) {
    RunProductionWorker(env, locks, startValue);
  };
  codeFlashWorker_ = [](PassThroughPort& port, StatusPoster& poster, std::uint32_t startValue,
                        bool size256K) { RunCodeFlashWorker(port, poster, startValue, size256K); };
}

Station::~Station() {
  for (WorkerEntry& w : workers_) {
    if (!w.thread.joinable()) continue;
    if (shutDown_) {
      w.thread.detach();
    } else {
      w.thread.join();
    }
  }
}

void Station::SetWorkerBodies(ProductionWorkerFn production, CodeFlashWorkerFn codeFlash) {
  productionWorker_ = std::move(production);
  codeFlashWorker_ = std::move(codeFlash);
}

std::string Station::InWorkDir(const std::string& name) const {
  if (options_.workDir.empty() || options_.workDir == ".") return name;
  return (std::filesystem::path(options_.workDir) / name).string();
}

std::string Station::SourcePath() const {
  std::lock_guard<std::mutex> lock(membersMutex_);
  return InWorkDir(model_.members.sourceFilePath);
}

DiscoveryFlags& Station::Flags() { return shared_->flags; }
SettingsStore& Station::Settings() { return shared_->settings; }
DiskImageStore& Station::Images() { return shared_->images; }
StatusQueue& Station::Queue() { return shared_->queue; }

PanelMembers Station::Members() const {
  std::lock_guard<std::mutex> lock(membersMutex_);
  return model_.members;
}

ConfigTable Station::WorkingTable() const { return shared_->WorkingTable(); }

// --- Initialisation and timer -------------------------------------------------

void Station::Initialise() {
  for (const ComboEntries& combo : kComboEntries) {
    for (const char* entry : combo.entries) out_.AddComboEntry(combo.id, entry);
  }
  for (const InitialState& s : kInitialStates) {
    out_.SetVisible(s.id, s.visible);
    out_.SetEnabled(s.id, s.enabled);
  }
  out_.SetCheck(ctl::kSize256K, false);
  out_.SetCheck(ctl::kSize512K, true);
  codeFlashSize256K_ = 0;

  settingsExpanded_ = 0;
  out_.SetPanelExpanded(false);

  {
    std::lock_guard<std::mutex> lock(membersMutex_);
    std::string failure;
    if (!ReadSourceFileInfo(InWorkDir(kSourceImageFileName), model_.members.diskInfoText,
                            model_.members.romInfoText, &failure) &&
        !failure.empty()) {
      shared_->notices.Post(failure);
    }
    model_.members.sourceFilePath = kSourceImageFileName;
  }
  ExchangeToControls();

  shared_->flags.autoRescan.store(1);
  shared_->flags.rescanPending.store(1);
}

bool Station::Tick() {
  ShowLoadedPanel();
  DiscoveryFlags& flags = shared_->flags;
  // No scan and no removal poll while a worker is alive: a scan would rebuild
  // the rows and send commands into disks in the middle of their sequence
  // (closing the panel during a run sets rescanPending).
  const bool workerAlive = RunningWorkerCount() > 0;
  if (!workerAlive && flags.rescanPending.load() == 1) {
    RunScan();
    flags.removalWatch.store(0);
    out_.SetEnabled(ctl::kUpdate, true);
  }
  if (!workerAlive && flags.removalWatch.load() == 1) discovery_->PollRemoval();

  if (workers_.empty() && settingsExpanded_ == 0) {
    out_.SetEnabled(ctl::kEmpty, true);
    out_.SetEnabled(ctl::kSourceFile, true);
    out_.SetEnabled(ctl::kTargetDevice, true);
    out_.SetFocus(ctl::kTargetDevice);
    const bool ended = runActive_;
    if (runLocks_ != nullptr) {
      runLocks_.reset();
      flags.removalWatch.store(1);
    } else if (codeFlashRun_) {
      // A code-flash run keeps its results on screen like a production run:
      // the rows stay until the disks have been unplugged.
      flags.removalWatch.store(1);
    }
    runActive_ = false;
    codeFlashRun_ = false;
    if (ended) ShowRunNotices();
    return ended;
  }
  PruneWorkers();
  return false;
}


void Station::ScanDevices() {
  if (RunningWorkerCount() > 0) return;  // never while a worker is alive
  RunScan();
}

void Station::RunScan() {
  discovery_->ScanDevices();
  rowHasStatus_.assign(kSlotRows, false);
  rowStatus_.assign(kSlotRows, RowStatus{});
  // Each row stands for the slot of its number.
  for (int row = 0; row < model_.RowCount() && row < kSlotRows; ++row) {
    const SlotRecord* record = slots_.Find(row + 1);
    if (record == nullptr) continue;
    out_.SetRowDisk(row, record->present != 0 ? record->driveLetter : 0, record->slotText);
  }
}

// --- Status display ----------------------------------------------------------------

void Station::ApplyStatus(const WorkerStatus& message) {
  // A serial step posts right after it: the panel follows on this thread.
  ShowLoadedPanel();
  const char letter = message.DriveLetter();
  const int row = message.Row();
  // The label: the slot text of the slot carrying the letter; the last one in
  // table order wins; empty when no slot carries it.
  std::string label;
  if (const SlotRecord* record = slots_.Find(slots_.SlotOfLetter(letter))) {
    label = record->slotText;
  }
  RunStatusAction(message.Code());
  // The one place a code is looked up: its text, image, class and phase.
  const StatusEntry& entry = LookUpStatus(message.Code());
  RowUpdate update = FormatStatusRow(entry, message.Value(), label, letter);
  const bool rowExists = row >= 0 && row < model_.RowCount();
  const StatusClass verdict = entry.statusClass;
  std::optional<RowModel> run;
  bool verdictReached = false;
  if (rowExists && row < kSlotRows && verdict != StatusClass::kNone) {
    RowStatus& status = rowStatus_[static_cast<std::size_t>(row)];
    RowModel next = model_.rows[static_cast<std::size_t>(row)];
    if (next.inRun) verdictReached = CountVerdict(status.verdict, verdict);
    // A disk's verdict is its worker's first one; later messages change the
    // row's text only.
    if (!next.Settled()) {
      next.verdict = verdict;
      if (next.inRun) NoteRun(row, entry, message.Value(), next);
    }
    status = {letter, verdict};
    run = std::move(next);
  }
  if (update.image && rowExists) out_.SetRowImage(row, *update.image);
  if (update.setText && rowExists) {
    if (row < kSlotRows) rowHasStatus_[static_cast<std::size_t>(row)] = true;
    if (update.text.size() > 255) update.text.resize(255);
    out_.SetRowText(row, update.text);
    out_.SetSelectionMark(row);
  }
  // The row as a whole, after its text and image (also for a code that
  // changed the text only).
  if (rowExists) out_.SetRowRun(row, run ? *run : RowModel(model_.rows[static_cast<std::size_t>(row)]));
  if (verdictReached) out_.ReportVerdict(row);
}

void Station::NoteRun(int row, const StatusEntry& entry, std::uint16_t value, RowModel& run) {
  const std::uint64_t now = clock_.MonotonicMs();
  const RowPhase phase = StatusPhase(entry, value);
  if (phase != RowPhase::kNone) {
    run.phase = phase;
    run.progress = StatusPhaseProgress(entry, value);
    if (options_.liveRates) {
      PassMeter& meter = meters_[static_cast<std::size_t>(row)];
      meter.Note(phase, value, now, ShapeOf(row));
      run.rate = meter.BytesPerSecond();
      run.estimatedEndMs = meter.EstimatedEndMs();
    }
  }
  if (run.Settled()) {
    run.endMs = now;
    run.estimatedEndMs = 0;
    if (run.verdict != StatusClass::kFail) run.progress = 100;
  }
}

PassShape Station::ShapeOf(int row) {
  PassShape& shape = shapes_[static_cast<std::size_t>(row)];
  const std::uint32_t lastLba =
      shared_->env.rowLastLba[static_cast<std::size_t>(row)].load(std::memory_order_acquire);
  if (lastLba != shape.lastLba) {
    shape.lastLba = lastLba;
    shape.clearSectors = 0;  // the clearing step's limit until the image says less
  }
  if (lastLba != 0 && shape.clearSectors == 0) {
    // The clearing step stops below the image's root sector + 1024.
    const auto image = shared_->images.Current();
    if (image && image->imageCapacity == lastLba) shape.clearSectors = image->imageRootSector + 1024;
  }
  return shape;
}

bool Station::CountVerdict(StatusClass before, StatusClass now) {
  if (IsFinal(before) || !IsFinal(now)) return false;  // once per disk
  const bool passed = now != StatusClass::kFail;
  ++(passed ? model_.run.passed : model_.run.failed);
  ++(passed ? model_.session.passed : model_.session.failed);
  return true;
}

void Station::RunStatusAction(std::uint16_t code) {
  // No worker of this system sends either code; a sender gets the actions on
  // the console thread, under the run's setupLock while workers run, so they
  // never fall between a worker's serial step and its table write.
  if (code == StatusBuildImage) {
    const std::uint32_t lastLba = shared_->env.imageCapacity.load();
    if (lastLba == 0) return;  // no disk has reported its capacity yet
    std::unique_lock<std::mutex> setup = LockSetupDuringRun();
    shared_->images.BuildDiskImage(lastLba);
  } else if (code == StatusNextSerial) {
    {
      std::unique_lock<std::mutex> setup = LockSetupDuringRun();
      shared_->SerialStep(SerialRequest{});  // for no disk in particular
    }
    ShowLoadedPanel();
  }
}

int Station::DrainStatus() {
  int n = 0;
  while (auto message = shared_->queue.TryTake()) {
    ApplyStatus(*message);
    ++n;
  }
  return n;
}

void Station::ShowAbout() { out_.ShowMessageBox(kAboutText, kAboutCaption); }

std::vector<std::string> Station::TakeNotices() { return shared_->notices.Take(); }

void Station::ShowRunNotices() {
  if (!options_.noticesOnScreen) return;
  std::vector<std::string> distinct;
  for (std::string& n : shared_->notices.Take()) {
    if (std::find(distinct.begin(), distinct.end(), n) == distinct.end()) {
      distinct.push_back(std::move(n));
    }
  }
  if (distinct.empty()) return;
  std::string text = "The last run needs attention:";
  for (const std::string& n : distinct) text += "\n- " + n;
  out_.ShowMessageBox(text, kMessageCaption);
}

void Station::OpenProductionLog() {
  shell_.Perform("open", logPath_);  // a failure of the shell is not reported
}

// --- Ending ---------------------------------------------------------------------------

int Station::Shutdown() {
  if (shutDown_) return 0;
  shutDown_ = true;
  shared_->queue.Close();
  int cutOff = 0;
  if (runLocks_ != nullptr) {
    if (options_.onSetupLockWait && RunningWorkerCount() > 0) options_.onSetupLockWait();
    // Same order as the workers: setupLock before logLock. A worker inside
    // its serial step or table steps finishes them first (the step needs
    // nothing of the console), so closing never fails a good disk; later
    // workers wait for the locks until the process ends.
    runLocks_->setupLock.lock();
    runLocks_->logLock.lock();
    cutOff = RecordCutOffDisks();
    KeepLockedUntilExit(runLocks_);
  } else {
    // No production run: no worker can be cut off; none may begin now.
    shared_->ledger.Close(clock_.UtcNow());
  }
  // The workers are left to the end of the process: a closed station waits
  // for none of them, whether it is destroyed or not. Letting go of them here
  // (not only in the destructor) leaves no finished thread unjoined.
  for (WorkerEntry& w : workers_) {
    if (w.thread.joinable()) w.thread.detach();
  }
  return cutOff;
}

int Station::RecordCutOffDisks() {
  // The log lock is held: no worker records anything from here on, and
  // every worker that began is in the ledger.
  int cutOff = 0;
  for (WorkerLedger::Unrecorded& u : shared_->ledger.Close(clock_.UtcNow())) {
    // A disk cut off before its worker ran a line has a record with the
    // station's part only.
    if (u.event.softwareVersion.empty()) u.event.softwareVersion = kVersion;
    if (u.event.lot.empty()) u.event.lot = options_.lot;
    if (u.event.operatorName.empty()) u.event.operatorName = options_.operatorName;
    const bool logged = shared_->log.WriteVerdict(u.record, u.event);
    const bool sunk = !options_.verdictSink || options_.verdictSink(u.event);
    if (!u.event.cutOff) continue;  // a verdict reached and recorded here for its worker
    ++cutOff;
    std::string text = std::string("drive ") + u.event.driveLetter + ": (slot " +
                       std::to_string(u.event.slot) + ") was cut off by closing the station: " +
                       (logged ? "recorded" : "NOT recorded (see above)") + " as FAIL " +
                       u.event.errorCode;
    if (u.event.serialNumber != 0) {
      char serial[16];
      std::snprintf(serial, sizeof serial, "%08u", static_cast<unsigned>(u.event.serialNumber));
      text += std::string(", carrying serial number ") + serial;
    }
    if (!sunk) text += "; the line did not take it";
    shared_->notices.Post(text);
  }
  return cutOff;
}

}  // namespace kx20
