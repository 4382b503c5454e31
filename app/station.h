// Station: the behaviour of the main window without any toolkit. A front end
// (Win32 dialog, terminal, headless batch) owns a ConsoleView, feeds the
// window's events (keys, clicks, the operator's edits) into a Station on its
// console thread, calls Tick() once a second and hands every queued
// WorkerStatus to ApplyStatus(). The station keeps the window's state in its
// StationModel and only ever tells the view what changed; it never reads a
// control back from a view.
//
// What the station owns: the SlotTable and discovery, the working
// ConfigTable, the WorkerList, the settings panel's value members, and the
// state the workers share (settings snapshots, the prepared image, the
// production log writer, the status queue, the discovery flags). The shared
// state lives in a block the workers co-own, so a worker that outlives the
// console never touches freed memory; the port and the clock passed in must
// outlive every worker (the program ends with std::_Exit after Shutdown()).
//
// Threads: every method runs on the console thread, and only the console
// thread calls the view. Workers never reach the console: the serial-number
// step works on the shared block and leaves the panel contents it loaded
// there; the console shows them on its own thread (on the next status
// message or tick). A settings load or "Save configure" on the console
// thread during a run waits for the run's setupLock, so it never falls
// between a worker's serial step and its table write, and never writes an
// older "Product_SN" over a number a worker has just taken. No scan and no
// removal poll runs while a worker is alive. A worker body's exception never
// leaves its thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/console_view.h"
#include "app/shell.h"
#include "app/slot_table.h"
#include "app/station_model.h"
#include "app/station_model_writer.h"
#include "common/clock.h"
#include "config/card_registers.h"
#include "storage/durable_file.h"
#include "config/serial_number.h"
#include "config/settings.h"
#include "device/pass_through_port.h"
#include "image/disk_image.h"
#include "image/source_image.h"
#include "production/production_log.h"
#include "production/pass_meter.h"
#include "production/production_worker.h"
#include "production/status_poster.h"

namespace kx20 {

// Dialog IDs of the main window's upper area (the panel's are in
// settings_control).
namespace station_control {
inline constexpr int kOk = 1;
inline constexpr int kTargetDevice = 1000;  // "Target Device": runs a scan (hidden)
inline constexpr int kSourceFile = 1002;    // "Source File": toggles the panel (hidden)
inline constexpr int kUpdate = 1003;        // "Update": starts production
inline constexpr int kEmpty = 1004;         // "empty": code-flash run (hidden)
inline constexpr int kSaveConfigure = 1005; // "Save configure"
inline constexpr int kSlotList = 1007;
inline constexpr int kSourcePath = 1008;    // sourceFilePath (hidden)
inline constexpr int kDiskInfo = 1009;      // diskInfoText
inline constexpr int kRomInfo = 1010;       // romInfoText
inline constexpr int kSize256K = 1020;      // radio "256K" (hidden)
inline constexpr int kSize512K = 1021;      // radio "512K" (hidden), checked at start
inline constexpr int kCodeFlashOption = 1022;  // check box "Code Falsh" (hidden)
inline constexpr int kEepromOption = 1023;     // check box "EEPROM" (hidden)
inline constexpr int kCidGroup = 1025;      // "CID Info " group box
inline constexpr int kOtherGroup = 1049;    // "Other Info" group box
}  // namespace station_control

// A worker started by a production or code-flash start.
struct StartedWorker {
  int row = 0;
  char driveLetter = 0;
};

// The last status a list row was given since the scan or its worker's start.
struct RowStatus {
  char driveLetter = 0;
  StatusClass verdict = StatusClass::kNone;
};

// BM_GETSTATE bits the start command looks at.
inline constexpr int kButtonStatePushed = 0x0004;
inline constexpr int kButtonStateFocus = 0x0008;

// Texts of the window's own.
inline constexpr const char* kWindowCaption =
    "VYN KX20 Production Tool 1.05    (Best viewed in Resolution 1024*768 Pixels) ";
inline constexpr const char* kAboutCaption = "About KX20ProductionTools";
inline constexpr const char* kAboutText = "VYN KX20 Product Tool ";
inline constexpr const char* kCodeFlashMissingText = "Code Flash Data can't found!!";

// Closing the console while workers are alive asks first (every front end):
// "10 disks are being produced. Quit anyway?" and what quitting does to them.
inline constexpr const char* kQuitCaption = "KX20 Production Tool";
std::string QuitDuringRunQuestion(int runningDisks);

struct StationOptions {
  // Where config.txt, produce.log and the source image are ("" or ".": the
  // current directory).
  std::string workDir = ".";
  // How config.txt and produce.log are written (tests use kFast).
  Durability durability = Durability::kDurable;
  // Operator notices (why a serial step was refused, config.txt missing or
  // not replaceable, produce.log not writable): true shows those of a run in
  // one message box when the run has ended; false leaves them to
  // TakeNotices() (line and batch mode print them on stderr).
  bool noticesOnScreen = true;
  // Where the workers post their status (the Windows window, posted to
  // directly); it must outlive every worker. Null: the station's own queue
  // (Queue()), drained on the console thread by DrainStatus().
  StatusPoster* poster = nullptr;
  // Line mode: where the serial-number step takes its numbers (instead of
  // config.txt's counter; the number is still written there), and where
  // every verdict goes besides produce.log. Empty: the station alone.
  SerialNumberSource serialSource;
  VerdictSink verdictSink;
  // What every verdict's record names besides the disk: the work order /
  // lot and the operator (--lot, --operator; empty: none given; checked
  // with CheckRecordText before), and in line mode this station's name in
  // the line (empty: not in line mode). Kept for the station's whole life:
  // every run it makes names them, and the front ends show the first two.
  std::string lot;
  std::string operatorName;
  std::string stationName;
  // Measure each disk's rate and time left (PassMeter) as its statuses are
  // applied. Off only to measure what it costs.
  bool liveRates = true;
  // Test hook: called on the console thread each time the data exchange has
  // read a control's contents from the model (the control's ID).
  std::function<void(int)> onExchangeRead;
  // Test hook: called on the console thread just before it waits for a
  // running run's setupLock (a settings load or save, closing).
  std::function<void()> onSetupLockWait;
};

// The worker bodies, injectable so the console can be tested with workers
// that block or finish on command. Default: RunProductionWorker and
// RunCodeFlashWorker.
using ProductionWorkerFn = std::function<void(ProductionEnvironment&, RunLocks&, std::uint32_t)>;
using CodeFlashWorkerFn =
    std::function<void(PassThroughPort&, StatusPoster&, std::uint32_t startValue, bool size256K)>;

class Station {
 public:
  Station(PassThroughPort& port, Clock& clock, ConsoleView& view, Shell& shell,
          StationOptions options = {});
  // Joins the workers still running; after Shutdown() it leaves them instead.
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Replaces the worker bodies; call before the first start.
  void SetWorkerBodies(ProductionWorkerFn production, CodeFlashWorkerFn codeFlash);
  // One more view told every change of the model (the event stream); call
  // before Initialise(). It must outlive the station.
  void AddView(ConsoleView& view) { out_.AddView(view); }

  // --- Window events -----------------------------------------------------
  // Window initialisation: fixed drop-down entries, the controls' initial
  // states, "512K" checked, panel collapsed, the source image's info lines,
  // data exchange towards the controls, autoRescan and rescanPending set.
  void Initialise();
  // One tick of the one-second window timer. Returns true when this tick
  // detected the end of a run (no worker left with the panel collapsed after
  // a start).
  bool Tick();
  // The start command: a Space key-down (auto-repeats of a held key are
  // ignored: one run per press) ...
  void OnSpaceKeyDown(bool autoRepeat);
  // ... or the "Update" button's state (BM_GETSTATE) seen in the message
  // pre-filter: a run starts when the button goes down, once per press.
  void OnUpdateButtonState(int buttonState);
  // Disables the buttons, resets the table header, loads config.txt and
  // starts production. Refused, with a message box and nothing changed,
  // while produce.log cannot be written (a directory of that name, no
  // permission, a full disk) or config.txt exists but cannot be read.
  void BeginRun();
  // Starts one production worker per row whose disk answers the probe and has
  // no worker yet. The drive letter comes from the row's slot in the
  // SlotTable, never from the row's text.
  void ProductionStart();
  // The "empty" button: disables 1003, 1000, 1004, 1002, then CodeFlashStart.
  void OnEmptyButton();
  // Starts one code-flash worker per row whose slot holds a disk that
  // answered the scan's probe (and has no worker yet).
  void CodeFlashStart();
  // The "Target Device" button.
  void ScanDevices();
  // The "256K" / "512K" radio buttons.
  void OnCodeFlashSize(bool size256K);
  // System command 0x11 and the "Source File" button.
  void ToggleSettingsPanel();
  // The "Save configure" button: pause 100 ms, exchange, save, toggle.
  void SaveConfigure();
  // System command 0x10.
  void ShowAbout();
  // Double-click on the slot list: "open" produce.log through the shell.
  void OpenProductionLog();

  // --- The operator's edits ------------------------------------------------
  // The operator changed a control's text (an edit or a drop-down) or a check
  // box in the window: recorded in the model, which the next data exchange
  // reads. The view already shows the edit, so nothing is told back.
  void OnTextEdited(int id, const std::string& text);
  void OnCheckEdited(int id, bool checked);
  // The operator moved the slot list's selection mark.
  void OnSelectionEdited(int row);

  // --- Status display --------------------------------------------------------
  // The station's own status queue (the workers post to it unless the
  // options name another poster).
  StatusQueue& Queue();
  // Applies one WorkerStatus to its row.
  void ApplyStatus(const WorkerStatus& message);
  // Applies every queued message; returns how many.
  int DrainStatus();

  // --- Data exchange ----------------------------------------------------------
  // Controls to members, in exchange order, checking the limits. On the
  // first refused value: message box naming the limit, focus to that
  // control, and that member and the ones after it keep their values.
  // Returns false when a value was refused.
  bool ExchangeToMembers();
  // Members to controls (and the edits' typing limits).
  void ExchangeToControls();

  // --- Ending ---------------------------------------------------------------
  // Closing the console while workers may run: closes the status queue (later
  // posts are dropped; a front end that gave its own poster stops delivering
  // itself), then takes the current run's setupLock and logLock
  // (waiting for a worker's serial step, table steps or log record to finish)
  // and keeps them, so no serial number and no log record is left
  // half-written and no good disk is told it failed. Then every disk whose
  // worker has not reached its verdict is cut off and recorded: a FAIL
  // record in produce.log with the error text of the step it was in (no
  // serial, as every FAIL record), and a verdict event marked cutOff with the
  // serial number its table carries (0 when none was written yet); a notice
  // names each. A worker that had reached its verdict but not recorded it
  // gets its own record. Nothing else is written to produce.log or
  // config.txt after this, and the cut-off disks are told nothing more.
  // After this the process must end (std::_Exit); the destructor leaves the
  // workers alone. Returns how many disks were cut off.
  int Shutdown();

  // --- Inspection -------------------------------------------------------------
  // The state the window shows (console thread).
  const StationModel& Model() const { return model_; }
  const SlotTable& Slots() const { return slots_; }
  DiscoveryFlags& Flags();
  SettingsStore& Settings();
  DiskImageStore& Images();
  PanelMembers Members() const;
  ConfigTable WorkingTable() const;
  bool SettingsExpanded() const { return settingsExpanded_ != 0; }
  std::int32_t CodeFlashSize256K() const { return codeFlashSize256K_; }
  // Entries in the WorkerList (finished workers stay until a tick prunes them).
  int WorkerCount() const { return static_cast<int>(workers_.size()); }
  // The last status of each list row (rows 0 to 9).
  const std::vector<RowStatus>& RowStatuses() const { return rowStatus_; }
  // Workers that have not finished yet.
  int RunningWorkerCount() const;
  // True while the run's SetupLock and LogLock exist.
  bool HasRunLocks() const { return runLocks_ != nullptr; }
  const RunLocks* CurrentRunLocks() const { return runLocks_.get(); }
  // The workers started since the last start that found no worker running.
  const std::vector<StartedWorker>& RunStarts() const { return runStarts_; }
  // True while a started run has not been seen to end by the timer.
  bool RunActive() const { return runActive_; }
  std::string ConfigPath() const { return configPath_; }

  // The operator notices posted since the last call (noticesOnScreen off).
  // Console thread.
  std::vector<std::string> TakeNotices();
  std::string LogPath() const { return logPath_; }
  std::string SourcePath() const;

 private:
  // Shows the notices of the run that has just ended (noticesOnScreen).
  void ShowRunNotices();
  // The records of the disks a close cuts off (log lock held).
  int RecordCutOffDisks();
  struct Shared;
  struct WorkerEntry {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
    char driveLetter = 0;
    int row = 0;
  };

  std::string InWorkDir(const std::string& name) const;
  // Whether a production run may start now (see BeginRun); shows why not.
  bool RunMayStart();
  // Loads config.txt into the controls, the working table and the published
  // settings. While a run lasts it holds the run's setupLock, so a worker's
  // serial step and table write never see a table published from an older
  // file in between.
  bool ReloadSettings(bool resetHeader);
  // The run's setupLock while a worker is alive, else nothing.
  std::unique_lock<std::mutex> LockSetupDuringRun();
  // Shows the panel contents the last serial step loaded, if not shown yet.
  void ShowLoadedPanel();
  // The console-thread actions of status codes 17 (rebuild the prepared
  // image for the last capacity) and 19 (one serial-number step).
  void RunStatusAction(std::uint16_t code);
  bool LetterBusy(char letter) const;
  // The drive letter a start may use for a list row: its slot's driveLetter
  // ('A' to 'Z') while the row still shows the disk the scan found there
  // (not "[device X]", no worker status since the scan); else 0.
  char RowDriveLetter(int row) const;
  void PruneWorkers();
  // A scan of the slots; the rows start again from what it found.
  void RunScan();
  // A start that found no worker running.
  void NewRun();
  // Counts a row's first verdict since its worker's start; true when it
  // counted.
  bool CountVerdict(StatusClass before, StatusClass now);
  // A status of the row's worker moves its run (phase, progress, rate,
  // estimate, end).
  void NoteRun(int row, const StatusEntry& entry, std::uint16_t value, RowModel& run);
  // What the row's pass looks like to its meter.
  PassShape ShapeOf(int row);
  // Starts a worker thread; `page` (production workers) is its page in the
  // ledger, marked as ended without a verdict when the body returns without
  // one.
  void StartWorker(int row, char letter, std::function<void()> body,
                   std::shared_ptr<WorkerLedger::Entry> page = nullptr);

  PassThroughPort& port_;
  Clock& clock_;
  StationModel model_;
  // Every change of the window goes through it: model first, then the view.
  StationModelWriter out_;
  Shell& shell_;
  StationOptions options_;
  std::string configPath_;
  std::string logPath_;

  std::shared_ptr<Shared> shared_;
  SlotTable slots_;
  std::unique_ptr<SlotDiscovery> discovery_;

  // Guards model_.members (Members() and SourcePath() may be asked from
  // another thread).
  mutable std::mutex membersMutex_;
  // Rows that have shown a worker's status since the last scan.
  std::vector<bool> rowHasStatus_ = std::vector<bool>(kSlotRows, false);
  std::vector<RowStatus> rowStatus_ = std::vector<RowStatus>(kSlotRows);
  // Each row's rate and time left, and what its pass looks like.
  std::vector<PassMeter> meters_ = std::vector<PassMeter>(kSlotRows);
  std::vector<PassShape> shapes_ = std::vector<PassShape>(kSlotRows);

  std::int32_t settingsExpanded_ = 0;
  std::int32_t codeFlashSize256K_ = 0;
  bool updateHeld_ = false;
  bool runActive_ = false;
  bool codeFlashRun_ = false;
  bool shutDown_ = false;
  bool runCountsStale_ = false;

  std::vector<WorkerEntry> workers_;
  std::shared_ptr<RunLocks> runLocks_;
  std::vector<StartedWorker> runStarts_;
  std::unique_ptr<CodeFlashData> codeFlashData_;

  ProductionWorkerFn productionWorker_;
  CodeFlashWorkerFn codeFlashWorker_;
};

}  // namespace kx20
