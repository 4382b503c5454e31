// The console cycle of the station: idle scans, a production run on the
// simulated farm, the end of the run, the removal watch and the rescan; the
// start command (Space, auto-repeat, the held "Update" button) and starts
// during a run; closing the console while workers run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <set>
#include <stdexcept>
#include <thread>
#include <string>
#include <vector>

#include "config/card_registers.h"
#include "storage/profile_file.h"
#include "support/station_fixture.h"

namespace kx20 {
namespace {

using testing::StationFixture;
namespace ctl = station_control;

const std::vector<std::string> kScannedRows = {"01-E:\\", "02-F:\\", "03-G:\\", "04-H:\\",
                                               "05-I:\\", "06-J:\\", "07-K:\\", "08-L:\\",
                                               "09-M:\\", "10-N:\\"};
const std::vector<std::string> kPassRows = {"01-:Pass", "02-:Pass", "03-:Pass", "04-:Pass",
                                            "05-:Pass", "06-:Pass", "07-:Pass", "08-:Pass",
                                            "09-:Pass", "10-:Pass"};

class StationCycleTest : public StationFixture {};

TEST_F(StationCycleTest, IdleRunEndRemovalWatchAndRescan) {
  CopyExample("config.txt");
  MakeStation();
  station->Initialise();
  DiscoveryFlags& flags = station->Flags();

  // Idle: every tick scans and enables "Update".
  view.SetEnabled(ctl::kUpdate, false);
  EXPECT_FALSE(station->Tick());
  EXPECT_EQ(RowTexts(), kScannedRows);
  EXPECT_EQ(RowImages(), std::vector<int>(10, kImageAnswered));
  EXPECT_TRUE(view.IsEnabled(ctl::kUpdate));
  EXPECT_EQ(flags.rescanPending.load(), 1);

  // The run: Space starts one worker per answering row, 100 ms apart.
  const std::uint64_t before = clock.Elapsed();
  station->OnSpaceKeyDown(false);
  EXPECT_EQ(station->RunStarts().size(), 10u);
  EXPECT_GE(clock.Elapsed() - before, 1000u);
  EXPECT_FALSE(view.IsEnabled(ctl::kUpdate));
  EXPECT_FALSE(view.IsEnabled(ctl::kSourceFile));
  EXPECT_FALSE(view.IsEnabled(ctl::kEmpty));
  EXPECT_FALSE(view.IsEnabled(ctl::kTargetDevice));
  EXPECT_EQ(flags.rescanPending.load(), 0);
  EXPECT_TRUE(station->HasRunLocks());

  ASSERT_TRUE(TickUntilRunEnds());
  EXPECT_EQ(RowTexts(), kPassRows);
  EXPECT_EQ(RowImages(), std::vector<int>(10, kImagePassed));
  // End of run: locks gone, the three hidden buttons enabled, focus on 1000,
  // "Update" stays disabled, the removal watch runs.
  EXPECT_FALSE(station->HasRunLocks());
  EXPECT_EQ(station->WorkerCount(), 0);
  EXPECT_TRUE(view.IsEnabled(ctl::kEmpty));
  EXPECT_TRUE(view.IsEnabled(ctl::kSourceFile));
  EXPECT_TRUE(view.IsEnabled(ctl::kTargetDevice));
  EXPECT_EQ(view.FocusedControl(), ctl::kTargetDevice);
  EXPECT_FALSE(view.IsEnabled(ctl::kUpdate));
  EXPECT_EQ(flags.removalWatch.load(), 1);

  // Every disk carries its own serial number; the counter advanced by ten.
  std::set<std::string> serials;
  for (char letter : farm->Letters()) {
    const auto table = farm->Disk(letter)->StoredConfigTable();
    ConfigTable stored;
    std::copy(table.begin(), table.end(), stored.begin());
    const auto cid = CidRegister(stored);
    char serial[9];
    std::snprintf(serial, sizeof serial, "%02X%02X%02X%02X", cid[9], cid[10], cid[11], cid[12]);
    serials.insert(serial);
  }
  EXPECT_EQ(serials.size(), 10u);
  EXPECT_TRUE(serials.count("00000001") == 1 && serials.count("00000010") == 1);
  EXPECT_EQ(ReadProfileValue(station->ConfigPath(), "CID", "Product_SN", 20), "00000010");

  // The removal watch: the rows keep the verdicts while disks stay plugged in.
  for (int i = 0; i < 3; ++i) station->Tick();
  EXPECT_EQ(RowTexts(), kPassRows);
  EXPECT_EQ(flags.removalWatch.load(), 1);
  for (char letter : {'E', 'F', 'G', 'H', 'I'}) port->Unplug(letter);
  station->Tick();
  EXPECT_EQ(flags.removalWatch.load(), 1);
  EXPECT_EQ(RowTexts(), kPassRows);
  for (char letter : {'J', 'K', 'L', 'M', 'N'}) port->Unplug(letter);
  station->Tick();  // the last disk is gone: a rescan is due
  EXPECT_EQ(flags.removalWatch.load(), 0);
  EXPECT_EQ(flags.rescanPending.load(), 1);
  EXPECT_FALSE(view.IsEnabled(ctl::kUpdate));
  station->Tick();  // the rescan: empty slots, "Update" usable again
  EXPECT_EQ(RowTexts()[0], "01-");
  EXPECT_EQ(RowImages(), std::vector<int>(10, kImageEmpty));
  EXPECT_TRUE(view.IsEnabled(ctl::kUpdate));
}

TEST_F(StationCycleTest, ProductionLogGetsOnePassRecordPerDisk) {
  CopyExample("config.txt");
  MakeStation();
  station->Initialise();
  station->Tick();
  station->OnSpaceKeyDown(false);
  ASSERT_TRUE(TickUntilRunEnds());
  const std::string log = testing::ConfigTempDir::Read(station->LogPath());
  std::size_t passes = 0;
  for (std::size_t at = log.find("Result=Pass"); at != std::string::npos;
       at = log.find("Result=Pass", at + 1)) {
    ++passes;
  }
  EXPECT_EQ(passes, 10u) << log;
  EXPECT_EQ(log.find("FAIL"), std::string::npos);
}

TEST_F(StationCycleTest, FailingDisksShowTheirErrorRows) {
  BuildFarmText(
      "[E]\nslot = 1\n"
      "[F]\nslot = 2\nfault = table-write\n"
      "[G]\nslot = 3\nflash_info = 01 11 22 33 44 EC 05 FF FF\n"
      "[H]\nslot = 4\nfault = no-probe\n");
  CopyExample("config.txt");
  MakeStation();
  station->Initialise();
  station->Tick();
  station->OnSpaceKeyDown(false);
  ASSERT_EQ(station->RunStarts().size(), 3u);  // H does not answer the probe
  ASSERT_TRUE(TickUntilRunEnds());
  const std::vector<std::string> rows = RowTexts();
  EXPECT_EQ(rows[0], "01-:Pass");
  EXPECT_EQ(rows[1], "02-:[rw-table X]");
  EXPECT_EQ(rows[2], "03-:[config X]");
  EXPECT_EQ(rows[3], "04-H:\\");  // untouched
  EXPECT_EQ(RowImages()[1], kImageFailed);
}

// The model holds what the window shows, typed: each row's disk and verdict,
// the counts, the controls; the view was told every change of it.
TEST_F(StationCycleTest, TheModelHoldsWhatTheViewShows) {
  BuildFarmText(
      "[E]\nslot = 1\n"
      "[F]\nslot = 2\nfault = table-write\n"
      "[G]\nslot = 3\n"
      "[H]\nslot = 4\nfault = no-probe\n");
  CopyExample("config.txt");
  MakeStation();
  station->Initialise();
  station->Tick();
  const StationModel& model = station->Model();
  ASSERT_EQ(model.RowCount(), 10);  // one row per slot of the table
  EXPECT_EQ(model.rows[1].letter, 'F');
  EXPECT_EQ(model.rows[5].letter, 0);
  EXPECT_EQ(model.rows[3].slotLabel, "04");

  station->OnSpaceKeyDown(false);
  ASSERT_TRUE(TickUntilRunEnds());
  struct Expected {
    char letter;
    StatusClass verdict;
  };
  const Expected expected[] = {{'E', StatusClass::kPass},
                               {'F', StatusClass::kFail},
                               {'G', StatusClass::kPass},
                               {'H', StatusClass::kNone}};  // never started
  const std::vector<MemoryConsoleView::Row> shown = view.Rows();
  ASSERT_EQ(shown.size(), 10u);
  for (std::size_t i = 0; i < shown.size(); ++i) {
    if (i < 4) {
      EXPECT_EQ(model.rows[i].letter, expected[i].letter) << i;
      EXPECT_EQ(model.rows[i].verdict, expected[i].verdict) << i;
    }
    EXPECT_EQ(model.rows[i].text, shown[i].text) << i;
    EXPECT_EQ(model.rows[i].image, shown[i].image) << i;
  }
  EXPECT_EQ(model.run.started, 3);
  EXPECT_EQ(model.run.passed, 2);
  EXPECT_EQ(model.run.failed, 1);

  // A press on the same rows starts nothing (each disk had its run): the
  // last run's counts stay.
  station->OnSpaceKeyDown(false);
  EXPECT_EQ(model.run.started, 3);
  EXPECT_EQ(model.run.passed, 2);
  // After a rescan a new run starts from zero; the session keeps counting.
  station->ScanDevices();
  station->OnSpaceKeyDown(false);
  ASSERT_TRUE(TickUntilRunEnds());
  EXPECT_EQ(model.run.started, 3);
  EXPECT_EQ(model.run.passed, 2);
  EXPECT_EQ(model.run.failed, 1);
  EXPECT_EQ(model.session.started, 6);
  EXPECT_EQ(model.session.passed, 4);
  EXPECT_EQ(model.session.failed, 2);

  for (const auto& [id, control] : model.controls) {
    const MemoryConsoleView::Control c = view.GetControl(id);
    EXPECT_EQ(c.text, control.text) << id;
    EXPECT_EQ(c.checked, control.checked) << id;
    EXPECT_EQ(c.enabled, control.enabled) << id;
    EXPECT_EQ(c.visible, control.visible) << id;
    EXPECT_EQ(c.comboEntries, control.comboEntries) << id;
  }
  EXPECT_EQ(model.focus, view.FocusedControl());
  EXPECT_EQ(model.panelExpanded, view.IsPanelExpanded());
  EXPECT_TRUE(model.pendingBoxes.empty());
}

// The counts the front ends show: once per started disk, its first verdict;
// rows without a worker in the run count nothing; a new run starts from zero
// and the session keeps counting.
TEST_F(StationCycleTest, CountsTheRunAndTheSession) {
  MakeStation();
  UseGatedWorkers();
  station->Initialise();
  station->Tick();
  const auto msg = [](int row, std::uint16_t code) {
    return WorkerStatus::Make(static_cast<char>('E' + row), row, code, 100);
  };
  // Only rows 0 to 3 get a worker: the others' disks are busy elsewhere.
  for (int row = 4; row < 10; ++row) port->Unplug(static_cast<char>('E' + row));
  station->OnSpaceKeyDown(false);
  ASSERT_EQ(gated.WaitStarted(4).size(), 4u);
  const StationModel& model = station->Model();
  EXPECT_EQ(model.RunRunning(), 4);
  station->ApplyStatus(msg(0, StatusPass));
  station->ApplyStatus(msg(1, StatusConfigFail));
  station->ApplyStatus(msg(2, StatusRwCompareFail));
  station->ApplyStatus(msg(2, StatusPass));   // after its verdict: not counted
  station->ApplyStatus(msg(7, StatusPass));   // no worker on row 7
  station->ApplyStatus(msg(12, StatusPass));  // no such row
  EXPECT_EQ(model.RunRunning(), 1);
  EXPECT_EQ(model.run.passed, 1);
  EXPECT_EQ(model.run.failed, 2);
  EXPECT_EQ(model.rows[2].verdict, StatusClass::kFail);

  station->ApplyStatus(msg(3, StatusPass));
  gated.ReleaseAll();
  ASSERT_TRUE(WaitWorkersDone());
  ASSERT_TRUE(TickUntilRunEnds());
  station->ScanDevices();
  station->OnSpaceKeyDown(false);  // rows 0 to 3 again
  ASSERT_EQ(gated.WaitStarted(8).size(), 8u);
  station->ApplyStatus(msg(1, StatusPass));
  EXPECT_EQ(model.run.passed, 1);
  EXPECT_EQ(model.run.failed, 0);
  EXPECT_EQ(model.RunRunning(), 3);
  EXPECT_EQ(model.session.passed, 3);
  EXPECT_EQ(model.session.failed, 2);
}

// The operator's edits reach the station only as events: a view that shows an
// edit the station was not told about changes nothing the station saves.
// A view that notes what it is told of rows as a whole.
struct RowStateRecorder final : MemoryConsoleView {
  void ShowRow(int row, const RowModel& state) override {
    rows.push_back({row, state.text, state.phase, false});
  }
  void ShowVerdict(int row, const RowModel& state) override {
    rows.push_back({row, state.text, state.phase, true});
  }
  struct Told {
    int row;
    std::string text;
    RowPhase phase;
    bool verdict;
  };
  std::vector<Told> rows;
};

// The station sets each row's run from its worker's statuses as it applies
// them, on the console thread with its clock: the step and the progress
// within it, the start and the end, and, for a disk that moves 10,000,000
// bytes a second on the virtual clock, that rate and the end it implies.
// Every view added to the station is told the row after each status, and
// the verdict once.
TEST_F(StationCycleTest, RowsCarryTheirRunFromTheStatuses) {
  for (const bool live : {true, false}) {
    SCOPED_TRACE(live ? "rates on" : "rates off");
    BuildFarmText("[E]\nslot = 1\n");
    CopyExample("config.txt");  // read/write test on, 10 %
    tuneOptions = [live](StationOptions& o) { o.liveRates = live; };
    MakeStation();
    RowStateRecorder recorder;
    station->AddView(recorder);
    UseGatedWorkers();
    auto capacity = std::make_shared<std::promise<void>>();
    gated.beforeWait = [capacity](ProductionEnvironment& env, RunLocks&, std::uint32_t startValue) {
      env.rowLastLba[startValue & 0xFFFF].store(262143);  // its READ CAPACITY
      capacity->set_value();
    };
    station->Initialise();
    station->Tick();
    station->OnSpaceKeyDown(false);
    ASSERT_EQ(capacity->get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    const RowModel& row = station->Model().rows[0];
    const std::uint64_t started = row.startMs;
    EXPECT_TRUE(row.inRun);
    EXPECT_EQ(row.phase, RowPhase::kTable);

    const auto apply = [&](std::uint16_t code, std::uint16_t value) {
      station->ApplyStatus(WorkerStatus::Make('E', 0, code, value));
    };
    apply(StatusProcess, 0);
    clock.Advance(3000);
    const std::uint64_t percentMs = 262;  // 20 chunks of 64 KB written and read at 10 MB/s
    for (std::uint16_t p = 0; p <= 10; ++p) {
      apply(StatusRwTestProgress, p);
      apply(StatusRwTestProgress, p);  // every chunk posts
      EXPECT_EQ(row.phase, RowPhase::kRwTest);
      EXPECT_EQ(row.progress, p);
      if (p >= 1 && live) {
        EXPECT_NEAR(row.rate, 10e6, 0.1e6) << p;
        // No image built yet: the clearing step counts at its limit.
        const auto left = PassMeter::Remaining(RowPhase::kRwTest, p, PassShape{262143, true, 10, 0});
        const double expectedEnd = static_cast<double>(clock.MonotonicMs() + left.pauseMs) +
                                   static_cast<double>(left.bytes) / 10e3;
        EXPECT_NEAR(static_cast<double>(row.estimatedEndMs), expectedEnd, expectedEnd * 0.001) << p;
      }
      if (!live) {
        EXPECT_EQ(row.rate, 0);
        EXPECT_EQ(row.estimatedEndMs, 0u);
      }
      clock.Advance(percentMs);
    }
    for (std::uint16_t k = 1; k <= 4; ++k) {
      clock.Advance(1013);
      apply(StatusProcess, k);
      EXPECT_EQ(row.phase, RowPhase::kImage);
      EXPECT_EQ(row.progress, k * 25);
      EXPECT_EQ(row.estimatedEndMs != 0, live);
    }
    clock.Advance(1000);
    apply(StatusPass, 100);
    EXPECT_EQ(row.verdict, StatusClass::kPass);
    EXPECT_EQ(row.endMs, clock.MonotonicMs());
    EXPECT_GT(row.endMs, started);
    EXPECT_EQ(row.progress, 100);
    EXPECT_EQ(row.estimatedEndMs, 0u);
    const std::uint64_t ended = row.endMs;
    clock.Advance(500);
    apply(StatusRwTestProgress, 50);  // after the verdict: the run stays as it ended
    EXPECT_EQ(row.endMs, ended);
    EXPECT_EQ(row.phase, RowPhase::kImage);

    // The added view: told the row after every status, the verdict once,
    // right after the row that shows it.
    int verdicts = 0;
    for (std::size_t i = 0; i < recorder.rows.size(); ++i) {
      if (!recorder.rows[i].verdict) continue;
      ++verdicts;
      ASSERT_GT(i, 0u);
      EXPECT_EQ(recorder.rows[i - 1].text, "01-:Pass");
      EXPECT_EQ(recorder.rows[i].text, "01-:Pass");
    }
    EXPECT_EQ(verdicts, 1);
    EXPECT_GE(recorder.rows.size(), 2u * 11 + 4 + 2);
    gated.ReleaseAll();
    ASSERT_TRUE(WaitWorkersDone());
    station.reset();
    port.reset();
    farm.reset();
  }
}

TEST_F(StationCycleTest, OnlyEditEventsReachTheModel) {
  CopyExample("config.txt");
  MakeStation();
  station->Initialise();
  station->ToggleSettingsPanel();
  view.SetControlText(settings_control::kProductName, "VIEW");  // not told
  station->OnTextEdited(settings_control::kProductRevision, "R2");
  station->OnCheckEdited(settings_control::kRwTest, true);
  ASSERT_TRUE(station->ExchangeToMembers());
  EXPECT_EQ(station->Members().values.productName, "KX20");
  EXPECT_EQ(station->Members().values.productRevision, "R2");
  EXPECT_EQ(station->Members().values.rwTestEnabled, 1);
}

TEST_F(StationCycleTest, PanelOpenDuringRunHoldsBackTheEndOfRun) {
  CopyExample("config.txt");
  MakeStation();
  UseGatedWorkers();
  station->Initialise();
  station->Tick();
  station->OnSpaceKeyDown(false);
  ASSERT_EQ(station->RunStarts().size(), 10u);

  station->ToggleSettingsPanel();  // opened during the run
  EXPECT_TRUE(view.IsPanelExpanded());
  EXPECT_EQ(station->Members().values.productName, "KX20");
  gated.ReleaseAll();
  ASSERT_TRUE(WaitWorkersDone());
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(station->Tick());
  EXPECT_EQ(station->WorkerCount(), 0);  // pruned ...
  EXPECT_TRUE(station->HasRunLocks());   // ... but the run is not closed
  EXPECT_FALSE(view.IsEnabled(ctl::kTargetDevice));
  EXPECT_FALSE(view.IsEnabled(ctl::kUpdate));
  EXPECT_EQ(station->Flags().removalWatch.load(), 0);

  station->ToggleSettingsPanel();  // closed: the next tick ends the run
  EXPECT_TRUE(station->Tick());
  EXPECT_FALSE(station->HasRunLocks());
  EXPECT_EQ(station->Flags().removalWatch.load(), 1);
  EXPECT_TRUE(view.IsEnabled(ctl::kTargetDevice));
}

TEST_F(StationCycleTest, StartDuringRunNeverDoublesAWorkerAndKeepsTheLocks) {
  CopyExample("config.txt");
  MakeStation();
  UseGatedWorkers();
  station->Initialise();
  station->Tick();
  station->OnSpaceKeyDown(false);
  ASSERT_EQ(gated.WaitStarted(10).size(), 10u);
  const RunLocks* locks = station->CurrentRunLocks();

  station->OnSpaceKeyDown(false);  // every disk busy: nothing new
  EXPECT_EQ(gated.Starts().size(), 10u);
  EXPECT_EQ(station->CurrentRunLocks(), locks);

  // E's worker ends (without touching its row); a new start takes E again,
  // sharing the locks of the workers still running.
  gated.Release('E');
  ASSERT_TRUE(gated.WaitFinished(1));
  for (int i = 0; i < 10000 && station->RunningWorkerCount() != 9; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(station->RunningWorkerCount(), 9);
  station->OnSpaceKeyDown(false);
  const auto starts = gated.WaitStarted(11);
  ASSERT_EQ(starts.size(), 11u);
  EXPECT_EQ(starts.back().startValue, MakeStartValue('E', 0));
  EXPECT_EQ(station->CurrentRunLocks(), locks);
  EXPECT_EQ(gated.MaxConcurrentPerLetter(), 1);

  gated.ReleaseAll();
  ASSERT_TRUE(TickUntilRunEnds());
  EXPECT_EQ(gated.MaxConcurrentPerLetter(), 1);
  EXPECT_FALSE(station->HasRunLocks());
}

TEST_F(StationCycleTest, SettingsReloadDuringRunWaitsForTheSetupLock) {
  CopyExample("config.txt");
  MakeStation();
  UseGatedWorkers();
  // Only the first worker on E holds the lock. The state is shared with the
  // workers, which may outlive this test body.
  struct Hold {
    std::mutex mutex;
    bool taken = false;
    std::thread::id holder;
    std::atomic<bool> holding{false};
  };
  auto hold = std::make_shared<Hold>();
  gated.beforeWait = [hold](ProductionEnvironment&, RunLocks& locks, std::uint32_t startValue) {
    if (static_cast<char>(startValue >> 16) != 'E') return;
    {
      std::lock_guard<std::mutex> lock(hold->mutex);
      if (hold->taken) return;
      hold->taken = true;
      hold->holder = std::this_thread::get_id();
    }
    locks.setupLock.lock();  // E is between its serial step and its table write
    hold->holding = true;
  };
  gated.afterRelease = [hold](ProductionEnvironment&, RunLocks& locks, std::uint32_t) {
    std::lock_guard<std::mutex> lock(hold->mutex);
    if (hold->holder == std::this_thread::get_id()) {
      hold->holder = std::thread::id();
      locks.setupLock.unlock();
    }
  };
  station->Initialise();
  station->Tick();
  station->OnSpaceKeyDown(false);
  ASSERT_EQ(gated.WaitStarted(10).size(), 10u);
  for (int i = 0; i < 10000 && !hold->holding; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(hold->holding);

  // A second start while E holds the lock: its settings load must not
  // publish a table between E's serial step and E's table write.
  WriteProfileValue(station->ConfigPath(), "CID", "Product_name", "LATER", Durability::kRelaxed);
  const auto published = station->Settings().Snapshot();
  std::atomic<bool> started{false};
  std::promise<void> atTheLock;
  std::future<void> reached = atTheLock.get_future();
  std::atomic<bool> told{false};
  setupLockWait = [&] {
    if (!told.exchange(true)) atTheLock.set_value();
  };
  std::thread console([&] {
    station->OnSpaceKeyDown(false);
    started = true;
  });
  // The load has come to the setup lock E holds: it cannot have published
  // anything yet, nor can the start go on.
  const bool waited = reached.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  EXPECT_TRUE(waited) << "the settings load never waited for the setup lock";
  EXPECT_FALSE(started);
  EXPECT_EQ(station->Settings().Snapshot(), published);
  gated.Release('E');
  console.join();
  setupLockWait = nullptr;
  EXPECT_NE(station->Settings().Snapshot(), published);
  EXPECT_EQ(view.GetControlText(settings_control::kProductName), "LATER");
}

TEST_F(StationCycleTest, OneRunPerPressOfSpaceOrUpdate) {
  CopyExample("config.txt");
  MakeStation();
  UseGatedWorkers();
  gated.ReleaseAll();  // workers end at once and leave the rows alone
  station->Initialise();
  station->Tick();

  struct Step {
    const char* what;
    bool space;
    bool repeat;
    int buttonState;
    std::size_t startsAfter;
  };
  const Step steps[] = {
      {"space press", true, false, 0, 10},
      {"space auto-repeat", true, true, 0, 10},
      {"space auto-repeat again", true, true, 0, 10},
      {"button focused only", false, false, kButtonStateFocus, 10},
      {"button goes down", false, false, kButtonStatePushed | kButtonStateFocus, 20},
      {"button still held", false, false, kButtonStatePushed | kButtonStateFocus, 20},
      {"button still held (pushed only)", false, false, kButtonStatePushed, 20},
      {"button up", false, false, kButtonStateFocus, 20},
      {"button down again", false, false, kButtonStatePushed, 30},
      {"released", false, false, 0, 30},
      {"space press again", true, false, 0, 40},
  };
  for (const Step& step : steps) {
    if (step.space) {
      station->OnSpaceKeyDown(step.repeat);
    } else {
      station->OnUpdateButtonState(step.buttonState);
    }
    ASSERT_TRUE(WaitWorkersDone());
    EXPECT_EQ(gated.Starts().size(), step.startsAfter) << step.what;
  }
}

TEST_F(StationCycleTest, NeitherOptionSetStartsNothing) {
  CopyExample("config.txt");
  MakeStation();
  UseGatedWorkers();
  station->Initialise();
  station->Tick();
  EditCheck(ctl::kCodeFlashOption, false);
  station->OnSpaceKeyDown(false);
  EXPECT_TRUE(station->RunStarts().empty());
  EditCheck(ctl::kEepromOption, true);  // "EEPROM" alone is enough
  station->OnSpaceKeyDown(false);
  EXPECT_EQ(gated.WaitStarted(10).size(), 10u);
}

TEST_F(StationCycleTest, ShutdownCutsWorkersOffTheConsole) {
  CopyExample("config.txt");
  MakeStation();
  UseGatedWorkers();
  std::mutex resultsMutex;
  std::vector<bool> setupLockFree;
  gated.afterRelease = [&](ProductionEnvironment& env, RunLocks& locks, std::uint32_t startValue) {
    const bool free = locks.setupLock.try_lock();
    if (free) locks.setupLock.unlock();
    env.poster->Post(WorkerStatus::Make(static_cast<char>(startValue >> 16),
                                               static_cast<int>(startValue & 0xFFFF), StatusPass,
                                               100));
    std::lock_guard<std::mutex> lock(resultsMutex);
    setupLockFree.push_back(free);
  };
  station->Initialise();
  station->Tick();
  station->OnSpaceKeyDown(false);
  ASSERT_EQ(gated.WaitStarted(10).size(), 10u);
  const std::vector<std::string> rowsBefore = RowTexts();

  station->Shutdown();
  gated.ReleaseAll();
  ASSERT_TRUE(gated.WaitFinished(10));
  EXPECT_EQ(station->DrainStatus(), 0);  // their posts went nowhere
  EXPECT_EQ(RowTexts(), rowsBefore);
  std::lock_guard<std::mutex> lock(resultsMutex);
  ASSERT_EQ(setupLockFree.size(), 10u);
  for (bool free : setupLockFree) EXPECT_FALSE(free);  // the console holds the run's lock
  // Starts after the shutdown do nothing.
  station->OnSpaceKeyDown(false);
  EXPECT_EQ(gated.Starts().size(), 10u);
}

// Worker bodies that run the serial step as a real worker does, under the
// setup lock. The first worker takes the lock before its gate and holds it
// until the gate opens. The state is shared with the workers, which may
// outlive the test body.
struct SerialStepProbe {
  std::mutex mutex;
  bool taken = false;
  std::thread::id holder;
  std::atomic<bool> holding{false};
  std::atomic<bool> firstStepDone{false};
  std::vector<SerialStepResult> results;

  static void Install(testing::GatedWorkers& gated, std::shared_ptr<SerialStepProbe> self) {
    gated.beforeWait = [self](ProductionEnvironment&, RunLocks& locks, std::uint32_t) {
      {
        std::lock_guard<std::mutex> lock(self->mutex);
        if (self->taken) return;
        self->taken = true;
        self->holder = std::this_thread::get_id();
      }
      locks.setupLock.lock();
      self->holding = true;
    };
    gated.afterRelease = [self](ProductionEnvironment& env, RunLocks& locks, std::uint32_t) {
      bool first = false;
      {
        std::lock_guard<std::mutex> lock(self->mutex);
        first = self->holder == std::this_thread::get_id();
      }
      if (!first) locks.setupLock.lock();
      const SerialStepResult result = env.advanceSerialNumber(SerialRequest{'E', 1});
      {
        std::lock_guard<std::mutex> lock(self->mutex);
        self->results.push_back(result);
      }
      locks.setupLock.unlock();
      if (first) self->firstStepDone = true;
    };
  }
  bool WaitHolding() {
    for (int i = 0; i < 10000 && !holding; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return holding;
  }
};

TEST_F(StationCycleTest, ClosingDuringASerialStepLetsTheStepFinish) {
  BuildFarmText("[E]\nslot = 1\n");
  CopyExample("config.txt");
  MakeStation();
  UseGatedWorkers();
  auto probe = std::make_shared<SerialStepProbe>();
  SerialStepProbe::Install(gated, probe);
  station->Initialise();
  station->Tick();
  station->OnSpaceKeyDown(false);
  ASSERT_TRUE(probe->WaitHolding());

  // The window closes while E holds the setup lock, just before its step:
  // E is let go once closing has come to the lock.
  std::promise<void> atTheLock;
  std::future<void> reached = atTheLock.get_future();
  setupLockWait = [&] { atTheLock.set_value(); };
  std::thread closing([&] { station->Shutdown(); });
  const bool waited = reached.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  EXPECT_TRUE(waited) << "closing never waited for the setup lock";
  gated.Release('E');
  closing.join();
  setupLockWait = nullptr;
  ASSERT_TRUE(gated.WaitFinished(1));

  // The step took its number as if the window were still open: a good disk
  // is never failed for want of a console.
  std::lock_guard<std::mutex> lock(probe->mutex);
  ASSERT_EQ(probe->results.size(), 1u);
  EXPECT_EQ(probe->results[0].status, SerialStepStatus::kAllocated);
  EXPECT_EQ(probe->results[0].serialNumber, 1u);
  EXPECT_EQ(ReadProfileValue(station->ConfigPath(), "CID", "Product_SN", 20), "00000001");
  EXPECT_EQ(station->Settings().Snapshot()->currentSerialNumber, 1u);
}

TEST_F(StationCycleTest, SaveConfigureDuringARunNeverHandsANumberOutTwice) {
  BuildFarmText("[E]\nslot = 1\n[F]\nslot = 2\n");
  CopyExample("config.txt");
  MakeStation();
  UseGatedWorkers();
  auto probe = std::make_shared<SerialStepProbe>();
  SerialStepProbe::Install(gated, probe);
  station->Initialise();
  station->Tick();
  station->ToggleSettingsPanel();  // the panel is open through the run
  station->OnSpaceKeyDown(false);
  ASSERT_TRUE(probe->WaitHolding());
  ASSERT_EQ(view.GetControlText(settings_control::kProductSerial), "00000000");

  // "Save configure" is pressed just as the first worker runs its serial
  // step: the worker is let go as soon as the save has read the panel's
  // serial number, or after 200 ms if the save waits for it.
  std::atomic<bool> panelRead{false};
  std::thread release([&] {
    for (int i = 0; i < 200 && !panelRead; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    gated.ReleaseAll();
    for (int i = 0; i < 2000 && !probe->firstStepDone; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  // The step lands between the save's reading of the panel and its write.
  exchangeRead = [&](int id) {
    if (id != settings_control::kProductSerial || panelRead.exchange(true)) return;
    for (int i = 0; i < 300 && !probe->firstStepDone; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  station->SaveConfigure();
  exchangeRead = nullptr;
  release.join();
  ASSERT_TRUE(gated.WaitFinished(2));

  // The workers took 00000001 and 00000002: the save never put the panel's
  // older number back under them.
  std::lock_guard<std::mutex> lock(probe->mutex);
  ASSERT_EQ(probe->results.size(), 2u);
  EXPECT_EQ(probe->results[0].serialNumber, 1u);
  EXPECT_EQ(probe->results[1].serialNumber, 2u);
  EXPECT_EQ(ReadProfileValue(station->ConfigPath(), "CID", "Product_SN", 20), "00000002");
}

TEST_F(StationCycleTest, SerialStepNeverCallsTheViewAndThePanelFollowsOnTheConsoleThread) {
  BuildFarmText("[E]\nslot = 1\n[F]\nslot = 2\n");
  CopyExample("config.txt");
  MakeStation();
  station->Initialise();
  station->Tick();
  const std::thread::id console = std::this_thread::get_id();
  std::atomic<int> foreignCalls{0};
  view.SetControlObserver([&](int) {
    if (std::this_thread::get_id() != console) ++foreignCalls;
  });
  station->OnSpaceKeyDown(false);
  ASSERT_TRUE(WaitWorkersDone());
  EXPECT_EQ(foreignCalls.load(), 0);
  // Both numbers are taken; the panel shows the last one once the console
  // has handled the workers' posts.
  EXPECT_EQ(ReadProfileValue(station->ConfigPath(), "CID", "Product_SN", 20), "00000002");
  ASSERT_TRUE(TickUntilRunEnds());
  EXPECT_EQ(view.GetControlText(settings_control::kProductSerial), "00000002");
  EXPECT_EQ(foreignCalls.load(), 0);
  view.SetControlObserver(nullptr);
}

TEST_F(StationCycleTest, NoScanOrRemovalPollWhileAWorkerIsAlive) {
  CopyExample("config.txt");
  MakeStation();
  UseGatedWorkers();
  station->Initialise();
  station->Tick();
  station->OnSpaceKeyDown(false);
  ASSERT_EQ(gated.WaitStarted(10).size(), 10u);
  station->ApplyStatus(WorkerStatus::Make('E', 0, StatusProcess, 1));
  const std::vector<std::string> during = RowTexts();
  ASSERT_EQ(during[0], "01-.   ");

  // Opening and closing the panel asks for a scan; the removal watch is on;
  // the disk of slot 1 is pulled. None of it may reach the disks or the rows
  // while workers run.
  station->ToggleSettingsPanel();
  station->ToggleSettingsPanel();
  ASSERT_EQ(station->Flags().rescanPending.load(), 1);
  station->Flags().removalWatch.store(1);
  port->Unplug('E');
  for (int i = 0; i < 3; ++i) station->Tick();
  station->ScanDevices();  // the "Target Device" button
  EXPECT_EQ(RowTexts(), during);
  EXPECT_EQ(station->Slots().Find(1)->driveLetter, 'E');
  EXPECT_NE(station->Slots().Find(1)->probeAnswered, 0);  // not polled
  EXPECT_EQ(station->WorkerCount(), 10);

  // Once the workers are gone the pending scan runs.
  gated.ReleaseAll();
  ASSERT_TRUE(TickUntilRunEnds());
  EXPECT_EQ(RowTexts()[0], "01-");
}

TEST_F(StationCycleTest, ExceptionInAWorkerBodyStaysInItsThread) {
  BuildFarmText("[E]\nslot = 1\n[F]\nslot = 2\n");
  CopyExample("config.txt");
  MakeStation();
  UseGatedWorkers();
  gated.afterRelease = [](ProductionEnvironment&, RunLocks&, std::uint32_t startValue) {
    if (static_cast<char>(startValue >> 16) == 'E') throw std::runtime_error("worker fault");
  };
  station->Initialise();
  station->Tick();
  station->OnSpaceKeyDown(false);
  gated.Release('E');  // E throws; the process and F carry on
  for (int i = 0; i < 10000 && station->RunningWorkerCount() != 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(station->RunningWorkerCount(), 1);
  gated.Release('F');
  ASSERT_TRUE(TickUntilRunEnds());
  EXPECT_EQ(station->WorkerCount(), 0);
}

// Drive letters are case-blind on a real host: "\\.\\m:" opens drive M:.
class CaseBlindPort final : public PassThroughPort {
 public:
  explicit CaseBlindPort(PassThroughPort& inner) : inner_(inner) {}
  PortHandle Open(char letter, std::uint32_t* osError) override {
    const char upper = (letter >= 'a' && letter <= 'z') ? static_cast<char>(letter - 32) : letter;
    return inner_.Open(upper, osError);
  }
  void Close(PortHandle handle) override { inner_.Close(handle); }
  bool SendDirect(PortHandle handle, PassThroughRequest& request, std::uint32_t* osError) override {
    return inner_.SendDirect(handle, request, osError);
  }
  bool SendBuffered(PortHandle handle, BufferedPassThroughRequest& request,
                    std::uint32_t* osError) override {
    return inner_.SendBuffered(handle, request, osError);
  }
  std::uint32_t LogicalDrives() override { return inner_.LogicalDrives(); }

 private:
  PassThroughPort& inner_;
};

TEST_F(StationCycleTest, StartsTakeTheDriveLetterFromTheSlotTable) {
  CopyExample("config.txt");
  CopyExample("Pelorin.img");
  BuildFarm(DefaultFarmLayout());
  CaseBlindPort blind(*port);
  StationOptions options;
  options.workDir = dir.Path().string();
  options.durability = Durability::kRelaxed;
  station = std::make_unique<Station>(blind, clock, view, shell, options);
  UseGatedWorkers();
  gated.ReleaseAll();
  station->Initialise();
  station->Tick();

  // Row texts whose fourth character is a letter of another disk: "E:empty"
  // (a code-flash run) names 'm', and M: is the disk of slot 9. Row 2 is
  // untouched and row 1 shows a progress text.
  station->ApplyStatus(WorkerStatus::Make('E', 0, StatusEmpty, 100));
  station->ApplyStatus(WorkerStatus::Make('F', 1, StatusRwTestProgress, 5));
  ASSERT_EQ(RowTexts()[0], "E:empty");
  for (const bool codeFlash : {false, true}) {
    SCOPED_TRACE(codeFlash ? "code flash" : "production");
    const std::size_t before = gated.Starts().size();
    if (codeFlash) {
      station->CodeFlashStart();
    } else {
      station->OnSpaceKeyDown(false);
    }
    ASSERT_TRUE(WaitWorkersDone());
    const auto starts = gated.Starts();
    ASSERT_EQ(starts.size() - before, 8u);  // rows 2 to 9, each once
    for (std::size_t i = before; i < starts.size(); ++i) {
      const int row = static_cast<int>(starts[i].startValue & 0xFFFF);
      const char letter = static_cast<char>(starts[i].startValue >> 16);
      EXPECT_GE(row, 2);
      EXPECT_EQ(letter, station->Slots().Find(row + 1)->driveLetter) << row;
    }
    station->Tick();  // prunes the finished workers
  }
  station.reset();  // before the port it was given
}

TEST_F(StationCycleTest, ScanButtonAndUnansweredRowsGetNoWorker) {
  BuildFarmText("[E]\nslot = 1\n[F]\nslot = 2\nfault = no-probe\n[G]\nslot = 15\n");
  CopyExample("config.txt");
  MakeStation();
  UseGatedWorkers();
  station->Initialise();
  station->ScanDevices();  // the "Target Device" button
  EXPECT_EQ(RowTexts()[1], "02-F:\\");
  EXPECT_EQ(RowImages()[1], kImageNoAnswer);
  station->OnSpaceKeyDown(false);
  const auto starts = gated.WaitStarted(1);
  ASSERT_EQ(station->RunStarts().size(), 1u);
  ASSERT_EQ(starts.size(), 1u);  // F does not answer, slot 15 has no row
  EXPECT_EQ(starts[0].startValue, MakeStartValue('E', 0));
}

}  // namespace
}  // namespace kx20
