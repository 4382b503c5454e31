#include "app/station.h"

#include <algorithm>
#include <climits>
#include <filesystem>
#include <cstdio>
#include <utility>

#include "device/device_session.h"

namespace kx20 {

namespace ctl = station_control;
namespace sc = settings_control;

// What the workers co-own with the console: everything they touch lives here,
// so a worker still running when the console goes away never reaches freed
// memory.
struct Station::Shared {
  Shared(Clock& clock, const std::string& logPath, std::string configFile, Durability durable)
      : images(clock),
        log(clock, logPath, durable),
        configPath(std::move(configFile)),
        durability(durable) {
    log.SetNotices(&notices);
  }

  // The serial-number step (worker thread, setupLock held). It needs nothing
  // of the console: it reads the change-serial-number member as last
  // exchanged, renews the working table, publishes the settings, and leaves
  // the panel's new contents for the console thread to show.
  SerialStepResult SerialStep() {
    ConfigTable table = WorkingTable();
    auto panel = std::make_shared<PanelContents>();
    SerialStepContext context;
    context.changeSerialNumber = changeSerialNumber.load();
    context.configPath = configPath;
    context.view = panel.get();
    context.table = &table;
    context.store = &settings;
    context.durability = durability;
    const SerialStepResult result = AdvanceSerialNumber(context);
    if (result.Failed()) notices.Post("A disk was not programmed: " + result.reason);
    if (result.status == SerialStepStatus::kAllocated) {
      SetWorkingTable(table);
      std::lock_guard<std::mutex> lock(panelMutex);
      loadedPanel = std::move(panel);
    }
    return result;
  }

  ConfigTable WorkingTable() {
    std::lock_guard<std::mutex> lock(tableMutex);
    return workingTable;
  }
  void SetWorkingTable(const ConfigTable& table) {
    std::lock_guard<std::mutex> lock(tableMutex);
    workingTable = table;
  }
  // The panel contents of the last serial step the console has not shown yet.
  std::shared_ptr<const PanelContents> TakeLoadedPanel() {
    std::lock_guard<std::mutex> lock(panelMutex);
    return std::exchange(loadedPanel, nullptr);
  }

  OperatorNotices notices;
  StatusQueue queue;
  DiscoveryFlags flags;
  SettingsStore settings;
  DiskImageStore images;
  ProductionLogWriter log;
  ProductionEnvironment env;
  const std::string configPath;
  const Durability durability;
  // The panel's change-serial-number member, as last exchanged.
  std::atomic<std::int32_t> changeSerialNumber{0};

  std::mutex tableMutex;
  ConfigTable workingTable{};
  std::mutex panelMutex;
  std::shared_ptr<const PanelContents> loadedPanel;
};

namespace {

constexpr const char* kMessageCaption = "KX20 Production Tool";

// --- The data exchange table, in exchange order ----------------------------

enum class Kind { kText, kCheck, kPercent };

struct ExchangeItem {
  int id;
  Kind kind;
  int limit;    // text: most characters (0: none)
  bool isEdit;  // text limits are also set on edit controls
  std::string* (*text)(PanelMembers&);
  std::int32_t* (*number)(PanelMembers&);
};

#define KX20_TEXT(id, limit, isEdit, field) \
  ExchangeItem{id, Kind::kText, limit, isEdit, [](PanelMembers& m) { return &m.field; }, nullptr}
#define KX20_CHECK(id, field) \
  ExchangeItem{id, Kind::kCheck, 0, false, nullptr, [](PanelMembers& m) { return &m.field; }}

const ExchangeItem kExchange[] = {
    KX20_TEXT(ctl::kSourcePath, 0, false, sourceFilePath),
    KX20_TEXT(ctl::kDiskInfo, 0, false, diskInfoText),
    KX20_TEXT(ctl::kRomInfo, 0, false, romInfoText),
    KX20_CHECK(ctl::kCodeFlashOption, codeFlashOption),
    KX20_CHECK(ctl::kEepromOption, eepromOption),
    KX20_TEXT(sc::kOemApplicationId, 4, true, values.oemApplicationId),
    KX20_TEXT(sc::kProductName, 5, true, values.productName),
    KX20_TEXT(sc::kProductRevision, 2, true, values.productRevision),
    KX20_CHECK(sc::kChangeSerialNumber, values.changeSerialNumber),
    KX20_TEXT(sc::kCardSpecificData, 30, true, values.cardSpecificData),
    KX20_TEXT(sc::kWriteDelay, 2, true, values.writeDelay),
    KX20_TEXT(sc::kManufacturerId, 2, true, values.manufacturerId),
    KX20_TEXT(sc::kEcc, 1, false, values.ecc),  // a drop-down: checked, not limited
    KX20_TEXT(sc::kManufacturingYear, 0, false, values.manufacturingYear),
    KX20_TEXT(sc::kManufacturingMonth, 0, false, values.manufacturingMonth),
    KX20_TEXT(sc::kProductSerial, 8, true, values.productSerial),
    KX20_TEXT(sc::kFlash1, 0, false, values.flash1Type),
    KX20_TEXT(sc::kFlash2, 0, false, values.flash2Type),
    KX20_TEXT(sc::kCapacitySelection, 0, false, values.capacitySelection),
    KX20_CHECK(sc::kRwTest, values.rwTestEnabled),
    KX20_CHECK(sc::kEraseFlash, values.eraseFlashEnabled),
    ExchangeItem{sc::kRwValue, Kind::kPercent, 0, false, nullptr,
                 [](PanelMembers& m) { return &m.values.rwTestPercent; }},
    KX20_TEXT(sc::kCapacityShown, 30, true, values.capacityShown),
};

#undef KX20_TEXT
#undef KX20_CHECK

// A whole decimal integer: optional white space, optional sign, digits,
// optional white space, nothing else, within 32 bits.
bool ParseWholeInteger(const std::string& text, std::int32_t& value) {
  std::size_t i = 0;
  const auto space = [&](std::size_t k) {
    return text[k] == ' ' || (text[k] >= '\t' && text[k] <= '\r');
  };
  while (i < text.size() && space(i)) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const std::size_t digitsStart = i;
  long long v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + (text[i] - '0');
    if (v > static_cast<long long>(INT_MAX) + 1) return false;
  }
  if (i == digitsStart) return false;
  while (i < text.size() && space(i)) ++i;
  if (i != text.size()) return false;
  if (negative) v = -v;
  if (v > INT_MAX || v < INT_MIN) return false;
  value = static_cast<std::int32_t>(v);
  return true;
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
  env.port = &port_;
  env.clock = &clock_;
  env.poster = options_.poster != nullptr ? options_.poster : &shared_->queue;
  env.settings = &shared_->settings;
  env.images = &shared_->images;
  env.log = &shared_->log;
  env.rescanPending = &shared_->flags.rescanPending;
  // The environment lives inside the shared block, so a plain pointer to it
  // is valid for as long as a worker can call the step.
  env.advanceSerialNumber = [shared = shared_.get()]() { return shared->SerialStep(); };

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
    ReadSourceFileInfo(InWorkDir(kSourceImageFileName), model_.members.diskInfoText,
                       model_.members.romInfoText);
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
    RowModel& r = model_.rows[static_cast<std::size_t>(row)];
    const SlotRecord* record = slots_.Find(row + 1);
    if (record == nullptr) continue;
    r.letter = record->present != 0 ? record->driveLetter : 0;
    r.slotLabel = record->slotText;
  }
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

void Station::BeginRun() {
  if (shutDown_) return;
  out_.SetEnabled(ctl::kSourceFile, false);
  out_.SetEnabled(ctl::kUpdate, false);
  out_.SetEnabled(ctl::kEmpty, false);
  out_.SetEnabled(ctl::kTargetDevice, false);
  ReloadSettings(/*resetHeader=*/true);
  ProductionStart();
}

std::unique_lock<std::mutex> Station::LockSetupDuringRun() {
  if (runLocks_ != nullptr && RunningWorkerCount() > 0) {
    return std::unique_lock<std::mutex>(runLocks_->setupLock);
  }
  return {};
}

bool Station::ReloadSettings(bool resetHeader) {
  std::unique_lock<std::mutex> setup = LockSetupDuringRun();
  ConfigTable table = WorkingTable();
  if (resetHeader) ResetConfigTableHeader(table);
  const bool loaded = LoadSettings(configPath_, out_, table, shared_->settings);
  if (!loaded) {
    shared_->notices.Post(configPath_ + " cannot be opened: the settings were not loaded");
  }
  shared_->SetWorkingTable(table);
  // This load is at least as new as anything a serial step left to show.
  if (loaded) shared_->TakeLoadedPanel();
  return loaded;
}

void Station::ShowLoadedPanel() {
  if (const auto panel = shared_->TakeLoadedPanel()) panel->ShowOn(out_);
}

void Station::StartWorker(int row, char letter, std::function<void()> body) {
  WorkerEntry entry;
  entry.done = std::make_shared<std::atomic<bool>>(false);
  entry.driveLetter = letter;
  entry.row = row;
  entry.thread = std::thread([body = std::move(body), done = entry.done]() {
    // Nothing a body throws may leave the thread (that would end the process
    // in the middle of every other disk's writes); the worker bodies end
    // their disk through its failure exit themselves.
    try {
      body();
    } catch (...) {
    }
    done->store(true);
  });
  workers_.push_back(std::move(entry));
  runStarts_.push_back({row, letter});
  if (row >= 0 && row < kSlotRows) rowStatus_[static_cast<std::size_t>(row)] = {letter, {}};
  ++model_.run.started;
  ++model_.session.started;
  if (row >= 0 && row < model_.RowCount()) {
    RowModel& r = model_.rows[static_cast<std::size_t>(row)];
    r.letter = letter;
    r.progress = -1;
    r.verdict = StatusClass::kNone;
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

    DeviceSession session(port_);
    session.driveLetter = letter;
    std::uint16_t statusWord = 0;
    if (!session.ProbeControllerOnce(statusWord)) continue;

    // Scans pause from the first start on (each worker also clears the flag
    // as it starts); the rows now belong to the workers.
    shared_->flags.rescanPending.store(0);
    const std::uint32_t startValue = MakeStartValue(letter, row);
    StartWorker(row, letter,
                [shared = shared_, locks = runLocks_, body = productionWorker_, startValue]() {
                  body(shared->env, *locks, startValue);
                });
    clock_.SleepMs(100);
  }
}

void Station::NewRun() {
  runStarts_.clear();
  model_.run = VerdictCounts{};
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
  RowUpdate update = FormatStatusRow(message.Code(), message.Value(), label, letter);
  const bool rowExists = row < model_.RowCount();
  const StatusClass verdict = ClassifyStatus(message.Code());
  if (rowExists && row < kSlotRows && verdict != StatusClass::kNone) {
    RowStatus& status = rowStatus_[static_cast<std::size_t>(row)];
    CountVerdict(status.verdict, verdict);
    status = {letter, verdict};
    RowModel& r = model_.rows[static_cast<std::size_t>(row)];
    r.verdict = verdict;
    const std::uint16_t code = message.Code();
    if (code == StatusEraseProgress || code == StatusRwTestProgress) {
      r.progress = std::min<int>(message.Value(), 100);
    } else if (verdict != StatusClass::kInProgress) {
      r.progress = -1;
    }
  }
  if (update.image && rowExists) out_.SetRowImage(row, *update.image);
  if (update.setText && rowExists) {
    if (row < kSlotRows) rowHasStatus_[static_cast<std::size_t>(row)] = true;
    if (update.text.size() > 255) update.text.resize(255);
    out_.SetRowText(row, update.text);
    out_.SetSelectionMark(row);
  }
}

void Station::CountVerdict(StatusClass before, StatusClass now) {
  const auto final = [](StatusClass c) {
    return c == StatusClass::kPass || c == StatusClass::kFail || c == StatusClass::kEmpty;
  };
  if (final(before) || !final(now)) return;  // once per disk
  const bool passed = now != StatusClass::kFail;
  ++(passed ? model_.run.passed : model_.run.failed);
  ++(passed ? model_.session.passed : model_.session.failed);
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
      shared_->SerialStep();
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

// --- Settings panel ------------------------------------------------------------------

bool Station::ExchangeToMembers() {
  PanelMembers next = Members();
  bool ok = true;
  for (const ExchangeItem& item : kExchange) {
    const ControlModel control = model_.Control(item.id);
    if (options_.onExchangeRead) options_.onExchangeRead(item.id);
    if (item.kind == Kind::kCheck) {
      *item.number(next) = control.checked ? 1 : 0;
      continue;
    }
    const std::string& text = control.text;
    std::string refusal;
    if (item.kind == Kind::kText) {
      if (item.limit > 0 && static_cast<int>(text.size()) > item.limit) {
        refusal = "Enter no more than " + std::to_string(item.limit) +
                  (item.limit == 1 ? " character." : " characters.");
      } else {
        *item.text(next) = text;
      }
    } else {  // the percentage
      std::int32_t value = 0;
      if (!ParseWholeInteger(text, value)) {
        refusal = "Please enter an integer.";
      } else if (value < 0 || value > 100) {
        refusal = "Please enter an integer between 0 and 100.";
      } else {
        *item.number(next) = value;
      }
    }
    if (!refusal.empty()) {
      out_.ShowMessageBox(refusal, kMessageCaption);
      out_.SetFocus(item.id);
      ok = false;
      break;
    }
  }
  shared_->changeSerialNumber.store(next.values.changeSerialNumber);
  std::lock_guard<std::mutex> lock(membersMutex_);
  model_.members = next;
  return ok;
}

void Station::ExchangeToControls() {
  PanelMembers members = Members();
  for (const ExchangeItem& item : kExchange) {
    switch (item.kind) {
      case Kind::kCheck:
        out_.SetCheck(item.id, *item.number(members) != 0);
        break;
      case Kind::kPercent:
        out_.SetControlText(item.id, std::to_string(*item.number(members)));
        break;
      case Kind::kText:
        out_.SetControlText(item.id, *item.text(members));
        if (item.limit > 0 && item.isEdit) out_.SetTextLimit(item.id, item.limit);
        break;
    }
  }
}

void Station::ToggleSettingsPanel() {
  if (settingsExpanded_ == 0) {
    out_.SetPanelExpanded(true);
    settingsExpanded_ = 1;
    out_.SetEnabled(ctl::kUpdate, false);
    out_.SetEnabled(ctl::kTargetDevice, false);
    out_.SetEnabled(ctl::kEmpty, false);
    shared_->flags.rescanPending.store(0);
    ReloadSettings(/*resetHeader=*/true);
    ExchangeToMembers();
  } else {
    out_.SetPanelExpanded(false);
    settingsExpanded_ = 0;
    shared_->flags.rescanPending.store(1);
  }
  ExchangeToControls();
}

void Station::SaveConfigure() {
  clock_.SleepMs(100);
  std::string refusal;
  {
    // Serialised with the serial-number step: no worker takes a number
    // between the exchange and the write, and the panel first shows the
    // number the last step took, so an older "Product_SN" never goes back
    // into the file.
    std::unique_lock<std::mutex> setup = LockSetupDuringRun();
    ShowLoadedPanel();
    ExchangeToMembers();  // a refused value does not stop the save
    SaveSettings(Members().values, configPath_, &refusal, options_.durability);
  }
  if (!refusal.empty()) out_.ShowMessageBox(refusal, kSaveRefusalCaption);
  ToggleSettingsPanel();
}

void Station::OnTextEdited(int id, const std::string& text) { model_.controls[id].text = text; }

void Station::OnCheckEdited(int id, bool checked) { model_.controls[id].checked = checked; }

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

void Station::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  shared_->queue.Close();
  if (runLocks_ != nullptr) {
    // Same order as the workers: setupLock before logLock. A worker inside
    // its serial step or table steps finishes them first (the step needs
    // nothing of the console), so closing never fails a good disk; later
    // workers wait for the locks until the process ends.
    runLocks_->setupLock.lock();
    runLocks_->logLock.lock();
    KeepLockedUntilExit(runLocks_);
  }
}

}  // namespace kx20
