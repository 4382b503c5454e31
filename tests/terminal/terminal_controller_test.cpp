// The terminal console's behaviour against a real Station on the simulated
// farm (virtual clock), without a terminal: keys in, Canvas out.
#include "app/terminal/terminal_controller.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

#include "app/station_report.h"
#include "common/virtual_clock.h"
#include "config/settings.h"
#include "sim/farm.h"
#include "sim/farm_file.h"
#include "support/config_temp_dir.h"

namespace kx20::terminal {
namespace {

namespace sc = settings_control;
namespace ctl = station_control;

class TerminalControllerTest : public ::testing::Test {
 protected:
  enum class Workers { kReal, kQuiet };

  void Make(bool withConfig, Workers workers, const std::string& farmText = "") {
    std::string error;
    FarmLayout layout = DefaultFarmLayout();
    if (!farmText.empty()) {
      ASSERT_TRUE(ParseFarmText(farmText, "farm.ini", dir.Path().string(), layout, error)) << error;
    }
    farm = SimFarm::Create(layout, clock, &error);
    ASSERT_NE(farm, nullptr) << error;
    if (withConfig) {
      for (const char* name : {"config.txt", "Pelorin.img"}) {
        std::filesystem::copy_file(std::filesystem::path(KX20_SOURCE_DIR) / "examples" / name,
                                   dir.Path() / name);
      }
    }
    StationOptions options;
    options.workDir = dir.Path().string();
    options.durability = Durability::kRelaxed;
    options.lot = lot;
    options.operatorName = operatorName;
    station = std::make_unique<Station>(*farm, clock, view, shell, options);
    if (workers == Workers::kQuiet) {
      station->SetWorkerBodies([](ProductionEnvironment&, RunLocks&, std::uint32_t) {},
                               [](PassThroughPort&, StatusPoster&, std::uint32_t, bool) {});
    }
    controller = std::make_unique<TerminalController>(*station, view, shell, clock);
    // A message box: note what the screen shows, then press Enter on it.
    controller->SetModalLoop([this] {
      boxScreens.push_back(Screen());
      controller->HandleKey(KeyEvent{kKeyEnter});
    });
    controller->Start();
    controller->Tick();  // the first scan
  }

  void Key(int key) { controller->HandleKey(KeyEvent{key}); }
  void Type(const std::string& text) {
    for (char c : text) Key(c);
  }
  void Click(int y, int x, MouseAction action = MouseAction::kClick) {
    KeyEvent e{kKeyMouse};
    e.mouse = action;
    e.y = y;
    e.x = x;
    controller->HandleKey(e);
  }
  // Puts the focus where the console logic would (then the next draw takes it).
  void FocusOn(int id) {
    view.SetFocus(id);
    Screen();
    ASSERT_EQ(controller->Focus(), id);
  }
  std::string Screen(int width = kMinWidth, int height = kMinHeight) {
    controller->SetScreenSize(width, height);
    Canvas canvas(width, height);
    controller->Render(canvas);
    return canvas.Text();
  }
  std::string ConfigValue(const std::string& key) {
    std::ifstream in(dir.File("config.txt"));
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    }
    return "(missing)";
  }
  void WaitQuietWorkers() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (station->RunningWorkerCount() > 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  std::string lot;           // --lot and --operator of the station made
  std::string operatorName;
  VirtualClock clock;
  testing::ConfigTempDir dir;
  std::unique_ptr<SimFarm> farm;
  TerminalView view;
  TerminalShell shell;
  std::unique_ptr<Station> station;
  std::unique_ptr<TerminalController> controller;
  std::vector<std::string> boxScreens;
};

// The lot and the operator stand at the right end of the caption, over its
// tail when the terminal is narrow, never over the program's name.
TEST_F(TerminalControllerTest, TheCaptionNamesTheLotAndTheOperator) {
  lot = "L1";
  operatorName = "OP-07";
  Make(true, Workers::kQuiet);
  const std::string identity = "Lot L1  Operator OP-07";
  for (int width : {kMinWidth, 140}) {
    SCOPED_TRACE(width);
    controller->SetScreenSize(width, kMinHeight);
    Canvas canvas(width, kMinHeight);
    controller->Render(canvas);
    const std::string caption = canvas.Line(0);
    EXPECT_EQ(caption.substr(2, 29), "VYN KX20 Production Tool 1.05");
    EXPECT_EQ(caption.substr(static_cast<std::size_t>(width) - identity.size() - 1, identity.size()),
              identity)
        << caption;
    if (width == 140) {
      EXPECT_EQ(caption.substr(2, std::string(kWindowCaption).size()), kWindowCaption);
    }
  }
}

TEST_F(TerminalControllerTest, TheMainScreenShowsTheTenRowsInIconViewOrder) {
  Make(true, Workers::kQuiet);
  const std::string screen = Screen();
  Canvas canvas(kMinWidth, kMinHeight);
  controller->Render(canvas);
  EXPECT_EQ(canvas.Line(0).substr(2, std::string(kWindowCaption).size()), kWindowCaption);
  const char* texts[] = {"01-E:\\", "02-F:\\", "03-G:\\", "04-H:\\", "05-I:\\",
                         "06-J:\\", "07-K:\\", "08-L:\\", "09-M:\\", "10-N:\\"};
  for (int row = 0; row < 10; ++row) {
    const SlotCellPos p = SlotCellPosition(row, false);
    EXPECT_EQ(canvas.Line(p.y).substr(p.x + kImageWidth + 1, 6), texts[row]) << row;
    EXPECT_EQ(canvas.Line(p.y).substr(p.x, kImageWidth), StateImageFor(1).top) << row;
  }
  EXPECT_NE(screen.find("|  Update  |"), std::string::npos);  // enabled
  EXPECT_NE(screen.find("KX20-DISK-A"), std::string::npos);   // the source image lines
  EXPECT_NE(screen.find("Space:Start"), std::string::npos);
  EXPECT_NE(screen.find("Run: 0 running, 0 passed, 0 failed"), std::string::npos);
}

TEST_F(TerminalControllerTest, SpaceStartsARunWhereverTheFocusIsAndIsNeverTyped) {
  // Without config.txt the start leaves the controls as they are, so a typed
  // space would still be there to see.
  Make(false, Workers::kQuiet);
  Key(kKeyF2);
  ASSERT_TRUE(station->Model().panelExpanded);
  const int targets[] = {sc::kProductName, sc::kManufacturerId, sc::kRwValue, sc::kRwTest,
                         ctl::kSaveConfigure};
  for (int id : targets) {
    FocusOn(id);
    Key(kKeyBackspace);
    if (id != sc::kRwTest && id != ctl::kSaveConfigure) Type("1");
    const std::string before = station->Model().Control(id).text;
    const bool checkedBefore = station->Model().Control(id).checked;
    WaitQuietWorkers();
    Key(' ');
    EXPECT_EQ(station->RunStarts().size(), 10u) << id;
    EXPECT_EQ(station->Model().Control(id).text, before) << id;
    EXPECT_EQ(station->Model().Control(id).checked, checkedBefore) << id;
    EXPECT_TRUE(station->Model().panelExpanded) << id;  // not a click on "Save configure"
  }
}

TEST_F(TerminalControllerTest, SpaceOnTheListOrTheUpdateButtonStartsOneRun) {
  Make(true, Workers::kQuiet);
  // "Update" first: the start disables it, and the focus goes back to the list.
  for (int id : {ctl::kUpdate, ctl::kSlotList}) {
    WaitQuietWorkers();
    FocusOn(id);
    Key(' ');
    EXPECT_EQ(station->RunStarts().size(), 10u) << id;
    EXPECT_EQ(station->Model().RunRunning(), 10) << id;
    EXPECT_FALSE(controller->ViewerOpen());
    Screen();
    EXPECT_EQ(controller->Focus(), ctl::kSlotList);
  }
}

TEST_F(TerminalControllerTest, TypingOverTheLimitsStopsEachFieldAtItsLimit) {
  Make(true, Workers::kQuiet);
  Key(kKeyF2);
  ASSERT_EQ(controller->Focus(), sc::kProductName);  // the panel's first field
  struct Case {
    int id;
    const char* typed;
    const char* shown;
  };
  // In Tab order; each field's old text is selected when the focus arrives.
  const Case cases[] = {
      {sc::kProductName, "abcdefgh", "abcde"},
      {sc::kManufacturerId, "xyz", "XY"},
      {sc::kOemApplicationId, "oem123", "OEM1"},
      {sc::kProductRevision, "rev", "RE"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(controller->Focus(), c.id);
    Type(c.typed);
    EXPECT_EQ(station->Model().Control(c.id).text, c.shown) << c.id;
    Key(kKeyTab);
  }
  FocusOn(sc::kProductSerial);
  Type("123456789");
  EXPECT_EQ(station->Model().Control(sc::kProductSerial).text, "12345678");
  const std::string screen = Screen();
  EXPECT_NE(screen.find("PDU NAME abcde___"), std::string::npos) << screen;
  EXPECT_NE(screen.find("OEM ID OEM1_"), std::string::npos) << screen;
}

TEST_F(TerminalControllerTest, APercentageOf101IsRefusedOnSavingAndTheFileKeepsTheOldOne) {
  Make(true, Workers::kQuiet);
  ASSERT_EQ(ConfigValue("RWValue"), "10");
  Key(kKeyF2);
  Type("newnm");  // PDU NAME, selected on arrival
  FocusOn(sc::kRwValue);
  Key(kKeyBackspace);
  Type("101");
  FocusOn(ctl::kSaveConfigure);
  Key(kKeyEnter);
  ASSERT_EQ(boxScreens.size(), 1u);
  EXPECT_NE(boxScreens[0].find("0 and 100"), std::string::npos) << boxScreens[0];
  EXPECT_NE(boxScreens[0].find("[  OK  ]"), std::string::npos);
  EXPECT_FALSE(station->Model().panelExpanded);  // saving collapses even after a refusal
  EXPECT_EQ(ConfigValue("RWValue"), "10");
  EXPECT_EQ(ConfigValue("Product_name"), "newnm");
  EXPECT_EQ(controller->Focus(), ctl::kSlotList);  // the refused field is hidden now
  EXPECT_EQ(Screen().find("CID Info"), std::string::npos);
}

TEST_F(TerminalControllerTest, TabSkipsDisabledAndHiddenControlsAndTheScreenHidesThem) {
  Make(true, Workers::kQuiet);
  Key(kKeyF2);
  std::vector<int> visited;
  for (int i = 0; i < 16; ++i) {
    visited.push_back(controller->Focus());
    Key(kKeyTab);
  }
  const std::vector<int> expected = {
      sc::kProductName,  sc::kManufacturerId, sc::kOemApplicationId, sc::kProductRevision,
      sc::kManufacturingYear, sc::kManufacturingMonth, sc::kChangeSerialNumber,
      sc::kProductSerial, sc::kFlash1, sc::kFlash2, sc::kRwTest, sc::kRwValue, sc::kEraseFlash,
      ctl::kSaveConfigure, ctl::kSlotList, sc::kProductName};  // "Update" is disabled
  EXPECT_EQ(visited, expected);
  const std::string screen = Screen();
  for (const char* shown : {"CID Info", "CSD Info", "Other Info", "PDU NAME", "CSD DATA",
                            "FLASH 1", "FLASH 2", "Change serial number", "Read Write Test",
                            "Erase Flash", "Save configure", "%"}) {
    EXPECT_NE(screen.find(shown), std::string::npos) << shown;
  }
  for (const char* hidden : {"DELAY", "ECC"}) EXPECT_EQ(screen.find(hidden), std::string::npos) << hidden;
  // The disabled edits show what the file chose.
  EXPECT_NE(screen.find("CSD DATA 128_2K"), std::string::npos) << screen;
  EXPECT_NE(screen.find(":  Update  :"), std::string::npos);  // disabled while the panel is open
}

TEST_F(TerminalControllerTest, DropDownsStepThroughTheirEntriesAndOpenAList) {
  Make(true, Workers::kQuiet);
  Key(kKeyF2);
  FocusOn(sc::kFlash1);
  ASSERT_EQ(station->Model().Control(sc::kFlash1).text, "128_2K");
  Key(kKeyDown);
  EXPECT_EQ(station->Model().Control(sc::kFlash1).text, "256_2K");
  Key(kKeyUp);
  Key(kKeyUp);
  EXPECT_EQ(station->Model().Control(sc::kFlash1).text, "256");
  Key(kKeyF4);
  Key(kKeyDown);
  Key(kKeyEnter);
  EXPECT_EQ(station->Model().Control(sc::kFlash1).text, "128_2K");
  Type("x");  // editable: typed text replaces the chosen entry
  EXPECT_EQ(station->Model().Control(sc::kFlash1).text, "x");
  FocusOn(sc::kRwTest);
  const bool checked = station->Model().Control(sc::kRwTest).checked;
  Key(kKeyEnter);
  EXPECT_EQ(station->Model().Control(sc::kRwTest).checked, !checked);
}

TEST_F(TerminalControllerTest, TheLogViewerFollowsAGrowingLog) {
  Make(true, Workers::kQuiet);
  const std::string path = dir.File("produce.log");
  const auto append = [&](const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
  };
  for (int i = 0; i < 40; ++i) append("record " + std::to_string(i) + "\r\n");
  Key(kKeyEnter);
  ASSERT_TRUE(controller->ViewerOpen());
  const int page = kMinHeight - 2;
  ASSERT_EQ(controller->ViewerTop(), 40 - page);

  // Shown at its end: new records come into sight; half a line waits.
  append("record 40\r\nrecord 4");
  controller->Tick();
  EXPECT_EQ(controller->ViewerLines().size(), 41u);
  EXPECT_EQ(controller->ViewerTop(), 41 - page);
  append("1\r\n");
  controller->Tick();
  ASSERT_EQ(controller->ViewerLines().size(), 42u);
  EXPECT_EQ(controller->ViewerLines().back(), "record 41");
  EXPECT_EQ(controller->ViewerTop(), 42 - page);

  // Scrolled back: the lines are taken, the place is kept.
  Key(kKeyHome);
  append("record 42\r\n");
  controller->Tick();
  EXPECT_EQ(controller->ViewerLines().size(), 43u);
  EXPECT_EQ(controller->ViewerTop(), 0);

  // A log replaced by a shorter one is read afresh.
  std::ofstream(path, std::ios::binary | std::ios::trunc) << "fresh\r\n";
  controller->Tick();
  EXPECT_EQ(controller->ViewerLines(), std::vector<std::string>{"fresh"});
}

TEST_F(TerminalControllerTest, TheLogViewerOpensAtTheNewestRecordsAndSearches) {
  Make(true, Workers::kQuiet);
  Key(kKeyEnter);  // no produce.log yet: nothing is shown
  EXPECT_FALSE(controller->ViewerOpen());
  {
    std::ofstream log(dir.File("produce.log"), std::ios::binary);
    for (int i = 0; i < 100; ++i) log << "record " << i << "\r\n";
  }
  Key(kKeyEnter);
  ASSERT_TRUE(controller->ViewerOpen());
  EXPECT_EQ(controller->ViewerLines().size(), 100u);
  EXPECT_EQ(controller->ViewerLines()[0], "record 0");  // no carriage return left
  const int page = kMinHeight - 2;
  EXPECT_EQ(controller->ViewerTop(), 100 - page);
  EXPECT_NE(Screen().find("record 99"), std::string::npos);
  Key('/');
  Type("RECORD 5");  // case does not matter
  Key(kKeyEnter);
  EXPECT_EQ(controller->ViewerTop(), 5);  // wrapped round from the end
  Key('n');
  EXPECT_EQ(controller->ViewerTop(), 50);
  Key(kKeyHome);
  EXPECT_EQ(controller->ViewerTop(), 0);
  Key(kKeyPageDown);
  EXPECT_EQ(controller->ViewerTop(), page);
  Key('/');
  Type("absent");
  Key(kKeyEnter);
  EXPECT_NE(Screen().find("not found: absent"), std::string::npos);
  Key(kKeyEscape);  // closes the viewer, not the program
  EXPECT_FALSE(controller->ViewerOpen());
  EXPECT_FALSE(controller->QuitRequested());
  Key(kKeyEscape);
  EXPECT_TRUE(controller->QuitRequested());
}

TEST_F(TerminalControllerTest, TheMenuCarriesConfigureAndAbout) {
  Make(true, Workers::kQuiet);
  Key(kKeyF10);
  ASSERT_TRUE(controller->MenuOpen());
  const std::string menu = Screen();
  const std::size_t configure = menu.find("Configure");
  const std::size_t about = menu.find("About KX20 ProductionTools");
  ASSERT_NE(configure, std::string::npos);
  ASSERT_NE(about, std::string::npos);
  EXPECT_LT(configure, about);
  Key(kKeyDown);  // over the separator to "Configure"
  Key(kKeyEnter);
  EXPECT_FALSE(controller->MenuOpen());
  EXPECT_TRUE(station->Model().panelExpanded);
  Key(kKeyF2);
  EXPECT_FALSE(station->Model().panelExpanded);
  Key(kKeyF10);
  Key('a');
  Key(kKeyF1);
  ASSERT_EQ(boxScreens.size(), 2u);
  for (const std::string& s : boxScreens) {
    EXPECT_NE(s.find("About KX20ProductionTools"), std::string::npos);
    EXPECT_NE(s.find("VYN KX20 Product Tool"), std::string::npos);
  }
  EXPECT_FALSE(controller->QuitRequested());
  Key(kKeyF10);
  Key(kKeyEnter);  // "Close"
  EXPECT_TRUE(controller->QuitRequested());
}

TEST_F(TerminalControllerTest, WorkerMessagesReachTheRowsAndTheBars) {
  Make(true, Workers::kQuiet);
  Key(' ');
  ASSERT_EQ(station->RunStarts().size(), 10u);
  station->Queue().Post(WorkerStatus::Make('E', 0, StatusEraseProgress, 37));
  station->Queue().Post(WorkerStatus::Make('F', 1, StatusProcess, 2));
  station->Queue().Post(WorkerStatus::Make('G', 2, StatusConfigFail, 0));
  station->Queue().Post(WorkerStatus::Make('H', 3, StatusPass, 100));
  EXPECT_EQ(controller->DrainStatus(), 4);
  Canvas canvas(kMinWidth, kMinHeight);
  controller->Render(canvas);
  struct Expect {
    int row;
    const char* text;
    const char* bar;
  };
  const Expect expects[] = {
      {0, "01-(Erase) 37 %", "E[##......]"},
      {1, "02-..  ", "I[####....]"},
      {2, "03-:[config X]", "X[........]"},
      {3, "04-:Pass", "=[########]"},
  };
  for (const Expect& e : expects) {
    const SlotCellPos p = SlotCellPosition(e.row, false);
    const int x = p.x + kImageWidth + 1;
    EXPECT_EQ(canvas.Line(p.y).substr(x, std::string(e.text).size() + 1), std::string(e.text) + " ")
        << e.row;
    EXPECT_EQ(canvas.Line(p.y + 1).substr(x, 11), e.bar) << e.row;
  }
  EXPECT_NE(canvas.Text().find("Run: 8 running, 1 passed, 1 failed"), std::string::npos);
}

TEST_F(TerminalControllerTest, AFullRunOnTheSimulatedFarmEndsWithTenPasses) {
  Make(true, Workers::kReal);
  Key(' ');
  ASSERT_EQ(station->RunStarts().size(), 10u);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (station->Model().run.passed + station->Model().run.failed < 10 &&
         std::chrono::steady_clock::now() < deadline) {
    controller->Tick();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  controller->Tick();
  EXPECT_EQ(station->Model().run.passed, 10);
  for (const RowModel& row : station->Model().rows) {
    EXPECT_EQ(row.text.substr(2), "-:Pass");
    EXPECT_EQ(row.image, 6);
  }
  const std::string screen = Screen();
  EXPECT_NE(screen.find("Run: 0 running, 10 passed, 0 failed   Session: 10 passed, 0 failed"),
            std::string::npos)
      << screen;
  EXPECT_NE(screen.find(":  Update  :"), std::string::npos);  // until the disks are unplugged
}

std::string Padded(std::string text, std::size_t width) {
  text.resize(width, ' ');
  return text;
}

// Everything the main screen shows of the station, checked against the
// model: each row's picture, text and the line under it, the "Update"
// button, the counts and the end-of-run line.
void ExpectScreenShowsModel(const Canvas& canvas, const Station& station,
                            std::uint64_t drawnAt) {
  const StationModel& m = station.Model();
  for (int row = 0; row < m.RowCount() && row < kListRows; ++row) {
    const RowModel& r = m.rows[static_cast<std::size_t>(row)];
    const SlotCellPos p = SlotCellPosition(row, m.panelExpanded);
    const std::size_t x = static_cast<std::size_t>(p.x);
    const std::size_t textX = x + kImageWidth + 1;
    const StateImage image = StateImageFor(r.image);
    EXPECT_EQ(canvas.Line(p.y).substr(x, kImageWidth), image.top) << row;
    EXPECT_EQ(canvas.Line(p.y + 1).substr(x, kImageWidth), image.bottom) << row;
    EXPECT_EQ(canvas.Line(p.y).substr(textX, kRowTextWidth), Padded(r.text, kRowTextWidth)) << row;
    EXPECT_EQ(canvas.Line(p.y + 1).substr(textX, kRowTextWidth),
              Padded(ProgressLine(r, drawnAt), kRowTextWidth))
        << row;
  }
  const ControlModel update = m.Control(station_control::kUpdate);
  const std::string button = canvas.Line(ListBottom(m.panelExpanded) + 1).substr(kMinWidth - 14, 12);
  EXPECT_EQ(button[0] == '|', update.enabled) << button;
  char counts[160];
  std::snprintf(counts, sizeof counts,
                "Run: %d running, %d passed, %d failed   Session: %d passed, %d failed",
                m.RunRunning(), m.run.passed, m.run.failed, m.session.passed, m.session.failed);
  EXPECT_EQ(canvas.Line(kMinHeight - 2).substr(0, std::string(counts).size()), counts);
  const std::string ended = station.RunActive() ? "" : RunEndLine(m);
  EXPECT_EQ(canvas.Line(kMinHeight - 3), Padded(ended, kMinWidth));
}

// The screen has no state of its own: through a whole run with passes and
// failures, after every batch of statuses and every tick, it draws exactly
// what the model holds; the end of the run rings the bell once.
TEST_F(TerminalControllerTest, TheScreenDrawsTheModelThroughARun) {
  Make(true, Workers::kReal,
       "[E]\nslot = 1\n"
       "[F]\nslot = 2\nfault = table-write\n"
       "[G]\nslot = 3\nwrite_mbps = 40\nread_mbps = 80\n"
       "[H]\nslot = 4\nfault = no-probe\n"
       "[I]\nslot = 5\nfault = bad-sector=40\n");
  int screens = 0;
  const auto check = [&] {
    const std::string screen = Screen();
    Canvas canvas(kMinWidth, kMinHeight);
    controller->Render(canvas);
    ExpectScreenShowsModel(canvas, *station, controller->DrawnAt());
    ++screens;
  };
  check();
  Key(' ');
  ASSERT_EQ(station->RunStarts().size(), 4u);
  check();
  bool bell = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!bell && std::chrono::steady_clock::now() < deadline) {
    if (controller->DrainStatus() > 0) check();
    controller->Tick();
    check();
    bell = controller->TakeBell();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(bell) << "the end of the run rang no bell";
  EXPECT_FALSE(controller->TakeBell());
  EXPECT_EQ(station->Model().run.passed, 2);
  EXPECT_EQ(station->Model().run.failed, 2);
  Canvas canvas(kMinWidth, kMinHeight);
  controller->Render(canvas);
  EXPECT_EQ(canvas.Line(kMinHeight - 3).substr(0, 45), "Run ended: pull slots 01-03 05; failed: 02 05");
  EXPECT_GT(screens, 4);
  controller->Tick();
  EXPECT_FALSE(controller->TakeBell());  // once per run
}

TEST_F(TerminalControllerTest, MouseClicksPressUpdateAndDoubleClickOpensTheLog) {
  Make(true, Workers::kQuiet);
  std::ofstream(dir.File("produce.log")) << "[2026/12/8 5:47:15]\nResult=Pass\n";
  const int updateLine = ListBottom(false) + 1;
  Click(updateLine, kMinWidth - 8);
  EXPECT_EQ(station->RunStarts().size(), 10u);
  EXPECT_FALSE(station->Model().Control(ctl::kUpdate).enabled);
  const std::uint64_t started = station->Model().rows[0].startMs;
  WaitQuietWorkers();
  clock.Advance(5000);
  Click(updateLine, kMinWidth - 8);  // a disabled button starts nothing
  EXPECT_EQ(station->Model().rows[0].startMs, started);
  const SlotCellPos p = SlotCellPosition(4, false);
  Click(p.y, p.x + 8);
  EXPECT_EQ(station->Model().selectionMark, 4);
  EXPECT_FALSE(controller->ViewerOpen());
  Click(p.y, p.x + 8, MouseAction::kDoubleClick);
  EXPECT_TRUE(controller->ViewerOpen());
}

TEST_F(TerminalControllerTest, ASmallTerminalGetsAMessageAndNoStart) {
  Make(true, Workers::kQuiet);
  for (auto [w, h] : {std::pair{79, 24}, std::pair{80, 23}, std::pair{40, 10}}) {
    const std::string screen = Screen(w, h);
    EXPECT_NE(screen.find("at least 80 x 24"), std::string::npos) << w << "x" << h;
    EXPECT_EQ(screen.find("01-E:"), std::string::npos) << w << "x" << h;
  }
  Key(' ');
  EXPECT_TRUE(station->RunStarts().empty());
  const std::string big = Screen(120, 40);  // larger terminals draw the window
  EXPECT_NE(big.find("10-N:\\"), std::string::npos);
  Screen(60, 20);
  Key(kKeyEscape);
  EXPECT_TRUE(controller->QuitRequested());
}

// Closing while disks are being produced asks first; only "Quit" quits,
// and the default answer goes on. Without a run, Escape quits at once.
TEST_F(TerminalControllerTest, QuittingDuringARunAsksFirst) {
  Make(true, Workers::kQuiet);
  std::mutex mutex;
  std::condition_variable cv;
  bool release = false;
  station->SetWorkerBodies(
      [&](ProductionEnvironment&, RunLocks&, std::uint32_t) {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return release; });
      },
      [](PassThroughPort&, StatusPoster&, std::uint32_t, bool) {});
  Key(' ');
  ASSERT_EQ(station->RunningWorkerCount(), 10);

  struct Answer {
    std::vector<int> keys;
    bool quits;
  };
  const Answer answers[] = {
      {{'n'}, false},
      {{kKeyEscape}, false},
      {{kKeyEnter}, false},              // the focus starts on "Go on"
      {{kKeyTab, kKeyTab, kKeyEnter}, false},
      {{kKeyRight, kKeyEnter}, true},    // "Quit" (Y does the same)
  };
  for (const Answer& a : answers) {
    Key(kKeyEscape);
    ASSERT_TRUE(controller->QuitQuestionOpen());
    EXPECT_FALSE(controller->QuitRequested());
    EXPECT_NE(Screen().find("10 disks are being produced. Quit anyway?"), std::string::npos);
    Key(' ');  // no run starts behind the question
    for (int k : a.keys) Key(k);
    EXPECT_FALSE(controller->QuitQuestionOpen());
    EXPECT_EQ(controller->QuitRequested(), a.quits);
    if (a.quits) break;
  }
  EXPECT_EQ(station->RunStarts().size(), 10u);
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  cv.notify_all();
  WaitQuietWorkers();
}

TEST_F(TerminalControllerTest, WithoutARunEscapeQuitsAtOnce) {
  Make(true, Workers::kQuiet);
  Key(kKeyEscape);
  EXPECT_FALSE(controller->QuitQuestionOpen());
  EXPECT_TRUE(controller->QuitRequested());
}

}  // namespace
}  // namespace kx20::terminal
