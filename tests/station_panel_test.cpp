// The station's window side: initialisation, the settings panel and its data
// exchange (limits, messages, focus, exchange order), "Save configure", the
// status display, and the code-flash start.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "storage/profile_file.h"
#include "image/source_image.h"
#include "support/station_fixture.h"

namespace kx20 {
namespace {

using testing::StationFixture;
namespace ctl = station_control;
namespace sc = settings_control;

class StationPanelTest : public StationFixture {};

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(StationPanelTest, InitialiseSetsUpTheWindow) {
  CopyExample("Pelorin.img");
  MakeStation();
  station->Initialise();

  EXPECT_TRUE(view.GetCheck(ctl::kSize512K));
  EXPECT_FALSE(view.GetCheck(ctl::kSize256K));
  EXPECT_EQ(station->CodeFlashSize256K(), 0);
  EXPECT_FALSE(view.IsPanelExpanded());
  EXPECT_FALSE(station->SettingsExpanded());
  EXPECT_EQ(view.GetControlText(ctl::kSourcePath), "Pelorin.img");
  std::string disk, rom;
  ReadSourceFileInfo(dir.File("Pelorin.img"), disk, rom);
  ASSERT_FALSE(disk.empty());
  EXPECT_EQ(view.GetControlText(ctl::kDiskInfo), disk);
  EXPECT_EQ(view.GetControlText(ctl::kRomInfo), rom);
  EXPECT_TRUE(view.GetCheck(ctl::kCodeFlashOption));
  EXPECT_FALSE(view.GetCheck(ctl::kEepromOption));
  EXPECT_EQ(view.GetControlText(sc::kRwValue), "0");

  EXPECT_TRUE(view.IsEnabled(ctl::kUpdate));
  for (int id : {ctl::kTargetDevice, ctl::kSourceFile, ctl::kEmpty}) {
    EXPECT_FALSE(view.IsEnabled(id)) << id;
    EXPECT_FALSE(view.IsVisible(id)) << id;
  }
  EXPECT_FALSE(view.IsEnabled(sc::kCardSpecificData));
  EXPECT_FALSE(view.IsEnabled(sc::kCapacityShown));
  EXPECT_FALSE(view.IsVisible(sc::kCapacitySelection));

  const auto capacities = view.GetControl(sc::kCapacitySelection).comboEntries;
  ASSERT_EQ(capacities.size(), 16u);
  EXPECT_EQ(capacities.front(), "8");
  EXPECT_EQ(capacities.back(), "512_2K");
  EXPECT_EQ(view.GetControl(sc::kFlash2).comboEntries.front(), "0");
  EXPECT_EQ(view.GetControl(sc::kManufacturingMonth).comboEntries.size(), 12u);

  // Typing limits of the edits; the ECC drop-down has none.
  const std::vector<std::pair<int, int>> limits = {
      {sc::kManufacturerId, 2}, {sc::kOemApplicationId, 4}, {sc::kProductName, 5},
      {sc::kProductRevision, 2}, {sc::kProductSerial, 8},   {sc::kCardSpecificData, 30},
      {sc::kWriteDelay, 2},      {sc::kCapacityShown, 30},  {sc::kEcc, 0}};
  for (const auto& [id, limit] : limits) {
    EXPECT_EQ(view.GetControl(id).textLimit, limit) << id;
  }
  view.TypeText(sc::kProductSerial, "1234567890");
  EXPECT_EQ(view.GetControlText(sc::kProductSerial), "12345678");

  EXPECT_EQ(station->Flags().autoRescan.load(), 1);
  EXPECT_EQ(station->Flags().rescanPending.load(), 1);
}

// --- Data exchange ------------------------------------------------------------

// The exchange order of the bound controls and their limits (0: none; -1:
// the percentage, 0 to 100).
struct Bound {
  int id;
  enum { kText, kCheck, kPercent } kind;
  int limit;
};
const std::vector<Bound> kExchangeOrder = {
    {1008, Bound::kText, 0},  {1009, Bound::kText, 0},  {1010, Bound::kText, 0},
    {1022, Bound::kCheck, 0}, {1023, Bound::kCheck, 0}, {1012, Bound::kText, 4},
    {1013, Bound::kText, 5},  {1014, Bound::kText, 2},  {1028, Bound::kCheck, 0},
    {1016, Bound::kText, 30}, {1018, Bound::kText, 2},  {1011, Bound::kText, 2},
    {1030, Bound::kText, 1},  {1032, Bound::kText, 0},  {1034, Bound::kText, 0},
    {1035, Bound::kText, 8},  {1036, Bound::kText, 0},  {1037, Bound::kText, 0},
    {1038, Bound::kText, 0},  {1043, Bound::kCheck, 0}, {1044, Bound::kCheck, 0},
    {1047, Bound::kPercent, 0}, {1048, Bound::kText, 30},
};

// The member bound to a control, as text.
std::string MemberOf(const PanelMembers& m, int id) {
  const SettingsPanelValues& v = m.values;
  switch (id) {
    case 1008: return m.sourceFilePath;
    case 1009: return m.diskInfoText;
    case 1010: return m.romInfoText;
    case 1022: return std::to_string(m.codeFlashOption);
    case 1023: return std::to_string(m.eepromOption);
    case 1012: return v.oemApplicationId;
    case 1013: return v.productName;
    case 1014: return v.productRevision;
    case 1028: return std::to_string(v.changeSerialNumber);
    case 1016: return v.cardSpecificData;
    case 1018: return v.writeDelay;
    case 1011: return v.manufacturerId;
    case 1030: return v.ecc;
    case 1032: return v.manufacturingYear;
    case 1034: return v.manufacturingMonth;
    case 1035: return v.productSerial;
    case 1036: return v.flash1Type;
    case 1037: return v.flash2Type;
    case 1038: return v.capacitySelection;
    case 1043: return std::to_string(v.rwTestEnabled);
    case 1044: return std::to_string(v.eraseFlashEnabled);
    case 1047: return std::to_string(v.rwTestPercent);
    case 1048: return v.capacityShown;
  }
  return "?";
}

// A valid new value for every bound control, different from the initial one.
std::string NewValue(const Bound& b) {
  switch (b.kind) {
    case Bound::kCheck: return "flip";
    case Bound::kPercent: return "55";
    case Bound::kText: {
      if (b.limit > 0) return std::string(static_cast<std::size_t>(b.limit), 'A');
      char text[16];
      std::snprintf(text, sizeof text, "v%d", b.id);
      return text;
    }
  }
  return "";
}

class StationExchangeTest : public StationFixture {
 protected:
  void SetUp() override {
    MakeStation();
    station->Initialise();
    before = station->Members();
    for (const Bound& b : kExchangeOrder) {
      if (b.kind == Bound::kCheck) {
        EditCheck(b.id, !view.GetCheck(b.id));
      } else {
        EditText(b.id, NewValue(b));
      }
    }
  }
  // The member of `b` holds the value the controls were given.
  bool TookNewValue(const PanelMembers& m, const Bound& b) {
    if (b.kind == Bound::kCheck) return MemberOf(m, b.id) != MemberOf(before, b.id);
    return MemberOf(m, b.id) == NewValue(b);
  }

  PanelMembers before;
};

TEST_F(StationExchangeTest, AllValidValuesAreTaken) {
  EXPECT_TRUE(station->ExchangeToMembers());
  const PanelMembers after = station->Members();
  for (const Bound& b : kExchangeOrder) EXPECT_TRUE(TookNewValue(after, b)) << b.id;
  EXPECT_TRUE(view.MessageBoxes().empty());
}

struct RefusalCase {
  int id;
  std::string text;
  std::string message;  // part of the message box naming the limit
};

class StationRefusalTest : public StationExchangeTest,
                           public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(StationRefusalTest, RefusedValueStopsTheExchangeThere) {
  const RefusalCase& c = GetParam();
  EditText(c.id, c.text);
  EXPECT_FALSE(station->ExchangeToMembers());
  const auto boxes = view.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(Contains(boxes[0], c.message)) << boxes[0];
  EXPECT_EQ(view.FocusedControl(), c.id);

  // Members before the refused control took their new values; it and the
  // ones after it kept their old ones.
  const PanelMembers after = station->Members();
  bool reached = false;
  for (const Bound& b : kExchangeOrder) {
    if (b.id == c.id) reached = true;
    if (reached) {
      EXPECT_EQ(MemberOf(after, b.id), MemberOf(before, b.id)) << "member " << b.id;
    } else {
      EXPECT_TRUE(TookNewValue(after, b)) << "member " << b.id;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, StationRefusalTest,
    ::testing::Values(RefusalCase{1012, "AB123", "4 characters"},
                      RefusalCase{1013, "SIXSIX", "5 characters"},
                      RefusalCase{1014, "123", "2 characters"},
                      RefusalCase{1016, std::string(31, 'F'), "30 characters"},
                      RefusalCase{1018, "100", "2 characters"},
                      RefusalCase{1011, "ABC", "2 characters"},
                      RefusalCase{1030, "12", "1 character"},
                      RefusalCase{1035, "123456789", "8 characters"},
                      RefusalCase{1047, "101", "between 0 and 100"},
                      RefusalCase{1047, "-1", "between 0 and 100"},
                      RefusalCase{1047, "abc", "integer"},
                      RefusalCase{1047, "5x", "integer"},
                      RefusalCase{1047, "", "integer"},
                      RefusalCase{1047, "99999999999", "integer"},
                      RefusalCase{1048, std::string(31, '1'), "30 characters"}));

TEST_F(StationExchangeTest, PercentageAcceptsSurroundingSpaceAndLimits) {
  for (const char* text : {"0", "100", " 42 ", "+7"}) {
    EditText(sc::kRwValue, text);
    EXPECT_TRUE(station->ExchangeToMembers()) << text;
    EXPECT_EQ(station->Members().values.rwTestPercent, std::stoi(text)) << text;
  }
}

TEST_F(StationExchangeTest, ExchangeToControlsWritesMembersBack) {
  ASSERT_TRUE(station->ExchangeToMembers());
  for (const Bound& b : kExchangeOrder) {
    if (b.kind == Bound::kCheck) EditCheck(b.id, !view.GetCheck(b.id));
    if (b.kind != Bound::kCheck) EditText(b.id, "changed");
  }
  station->ExchangeToControls();
  const PanelMembers m = station->Members();
  for (const Bound& b : kExchangeOrder) {
    if (b.kind == Bound::kCheck) {
      EXPECT_EQ(view.GetCheck(b.id) ? "1" : "0", MemberOf(m, b.id)) << b.id;
    } else {
      EXPECT_EQ(view.GetControlText(b.id), MemberOf(m, b.id)) << b.id;
    }
  }
}

// --- Panel and "Save configure" ------------------------------------------------

TEST_F(StationPanelTest, OpeningThePanelPausesScansUntilItCloses) {
  CopyExample("config.txt");
  MakeStation();
  station->Initialise();
  station->Tick();
  ASSERT_EQ(view.GetRowText(0), "01-E:\\");

  station->ToggleSettingsPanel();
  EXPECT_TRUE(view.IsPanelExpanded());
  EXPECT_EQ(station->Flags().rescanPending.load(), 0);
  for (int id : {ctl::kUpdate, ctl::kTargetDevice, ctl::kEmpty}) EXPECT_FALSE(view.IsEnabled(id));
  // Loaded from config.txt into the controls and the members.
  EXPECT_EQ(view.GetControlText(sc::kProductName), "KX20");
  EXPECT_EQ(station->Members().values.productName, "KX20");
  EXPECT_EQ(station->Members().values.rwTestPercent, 10);
  EXPECT_EQ(station->WorkingTable()[12], 'K');  // the header was reset and the table built

  port->Unplug('E');
  station->Tick();
  station->Tick();
  EXPECT_EQ(view.GetRowText(0), "01-E:\\");  // no scan while the panel is open
  EXPECT_FALSE(view.IsEnabled(ctl::kUpdate));
  EXPECT_FALSE(view.IsEnabled(ctl::kTargetDevice));

  station->ToggleSettingsPanel();
  EXPECT_FALSE(view.IsPanelExpanded());
  EXPECT_EQ(station->Flags().rescanPending.load(), 1);
  EXPECT_FALSE(view.IsEnabled(ctl::kUpdate));  // not until the next scan
  station->Tick();
  EXPECT_EQ(view.GetRowText(0), "01-");
  EXPECT_TRUE(view.IsEnabled(ctl::kUpdate));
  EXPECT_TRUE(view.IsEnabled(ctl::kTargetDevice));
}

TEST_F(StationPanelTest, OverlongValueFromTheFileIsCaughtWhenThePanelOpens) {
  testing::ConfigTempDir::Write(dir.File("config.txt"),
                                "[CID]\nProduct_name=TOOLONG\nProduct_revision=10\n"
                                "Manufacturer_ID=12\n[OTHER]\nRWValue=20\n");
  MakeStation();
  station->Initialise();
  station->ToggleSettingsPanel();
  const auto boxes = view.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(Contains(boxes[0], "5 characters")) << boxes[0];
  EXPECT_EQ(view.FocusedControl(), sc::kProductName);
  const PanelMembers m = station->Members();
  EXPECT_EQ(m.values.productName, "");
  EXPECT_EQ(m.values.productRevision, "");  // after the refused one: unchanged
  EXPECT_EQ(m.values.rwTestPercent, 0);
  // The exchange back towards the controls shows the members.
  EXPECT_EQ(view.GetControlText(sc::kProductName), "");
}

struct SaveRefusalCase {
  const char* percent;
  const char* message;
};

class StationSaveRefusalTest : public StationFixture,
                               public ::testing::WithParamInterface<SaveRefusalCase> {};

TEST_P(StationSaveRefusalTest, SaveConfigureWithRefusedPercentageKeepsTheOldOne) {
  CopyExample("config.txt");
  MakeStation();
  station->Initialise();
  station->ToggleSettingsPanel();
  ASSERT_EQ(station->Members().values.rwTestPercent, 10);
  EditText(sc::kProductName, "NEWPN");  // before the percentage
  EditText(sc::kRwValue, GetParam().percent);
  const std::uint64_t before = clock.Elapsed();

  station->SaveConfigure();
  EXPECT_GE(clock.Elapsed() - before, 100u);
  const auto boxes = view.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(Contains(boxes[0], GetParam().message)) << boxes[0];
  EXPECT_EQ(view.FocusedControl(), sc::kRwValue);
  const std::string path = station->ConfigPath();
  EXPECT_EQ(ReadProfileValue(path, "OTHER", "RWValue", 20), "10");
  EXPECT_EQ(ReadProfileValue(path, "CID", "Product_name", 20), "NEWPN");
  EXPECT_FALSE(view.IsPanelExpanded());
  EXPECT_FALSE(station->SettingsExpanded());
  EXPECT_EQ(view.GetControlText(sc::kRwValue), "10");  // the member shown again
}

INSTANTIATE_TEST_SUITE_P(Percentages, StationSaveRefusalTest,
                         ::testing::Values(SaveRefusalCase{"101", "between 0 and 100"},
                                           SaveRefusalCase{"abc", "integer"}));

TEST_F(StationPanelTest, SaveConfigureWritesTheMembers) {
  CopyExample("config.txt");
  MakeStation();
  station->Initialise();
  station->ToggleSettingsPanel();
  EditText(sc::kRwValue, "77");
  EditText(sc::kFlash1, "128_2K");
  EditText(sc::kFlash2, "256_2K");
  station->SaveConfigure();
  const std::string path = station->ConfigPath();
  EXPECT_EQ(ReadProfileValue(path, "OTHER", "RWValue", 20), "77");
  EXPECT_EQ(ReadProfileValue(path, "CSD", "CCD_SELECT_DATA", 20), "384_2K");
  EXPECT_TRUE(view.MessageBoxes().empty());
  EXPECT_FALSE(view.IsPanelExpanded());
}

TEST_F(StationPanelTest, AboutBoxAndProductionLog) {
  MakeStation();
  station->Initialise();
  station->ShowAbout();
  ASSERT_EQ(view.MessageBoxes().size(), 1u);
  EXPECT_EQ(view.MessageBoxes()[0], std::string(kAboutCaption) + ": " + kAboutText);
  station->OpenProductionLog();  // no log yet: nothing to see, nothing reported
  const auto calls = shell.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].verb, "open");
  EXPECT_EQ(calls[0].file, dir.File("produce.log"));
  EXPECT_EQ(view.MessageBoxes().size(), 1u);
}

// --- Status display ----------------------------------------------------------------

TEST_F(StationPanelTest, StatusMessagesBecomeRowTextsAndImages) {
  BuildFarmText("[E]\nslot = 1\n[F]\nslot = 2\n[G]\nslot = 12\n");
  MakeStation();
  station->Initialise();
  station->Tick();

  struct Case {
    char letter;
    int row;
    std::uint16_t code;
    std::uint16_t value;
    std::string text;  // expected row text afterwards
    int image;         // expected row image afterwards
  };
  const std::vector<Case> cases = {
      {'E', 0, StatusEraseProgress, 0, "01-(Erase)  0 %", kImageErasing},
      {'E', 0, StatusEraseProgress, 37, "01-(Erase) 37 %", kImageErasing},
      {'E', 0, StatusProcess, 3, "01-... ", kImageWorking},
      {'E', 0, StatusBuildImage, 0, "01-... ", kImageWorking},  // row left alone
      {'E', 0, StatusPass, 100, "01-:Pass", kImagePassed},
      {'F', 1, StatusPnfFail, 0, "02-:[pnf X]", kImageFailed},
      {'F', 1, StatusEmpty, 100, "F:empty", kImageFailed},  // icon unchanged
      {'G', 2, StatusPass, 100, "12-:Pass", kImagePassed},  // slot 12's label
      {'Z', 3, StatusPass, 100, "-:Pass", kImagePassed},    // no slot carries Z
      {'E', 4, 25, 0, "", kImageEmpty},                     // unknown code: blank
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, c.letter) + " code " + std::to_string(c.code));
    station->Queue().Post(WorkerStatus::Make(c.letter, c.row, c.code, c.value));
    EXPECT_EQ(station->DrainStatus(), 1);
    EXPECT_EQ(view.GetRowText(c.row), c.text);
    EXPECT_EQ(view.GetRowImage(c.row), c.image);
    if (c.code != StatusBuildImage) {
      EXPECT_EQ(view.SelectionMark(), c.row);
    }
  }
  // A message for a row that does not exist changes nothing.
  const auto rows = view.Rows();
  station->ApplyStatus(WorkerStatus::Make('E', 12, StatusPass, 100));
  EXPECT_EQ(view.Rows().size(), rows.size());
  EXPECT_EQ(view.SelectionMark(), 4);
}

// --- Code-flash start -------------------------------------------------------------

TEST_F(StationPanelTest, CodesSeventeenAndNineteenRunTheirActionsOnTheConsoleThread) {
  CopyExample("config.txt");
  MakeStation();
  station->Initialise();
  station->Tick();
  station->OnSpaceKeyDown(false);  // the panel's change-serial-number member is on
  ASSERT_TRUE(TickUntilRunEnds());
  ASSERT_EQ(ReadProfileValue(station->ConfigPath(), "CID", "Product_SN", 20), "00000010");
  const auto rowsBefore = RowTexts();

  // 19: one serial-number step; the panel shows the number, the row not.
  station->ApplyStatus(WorkerStatus::Make('E', 0, StatusNextSerial, 0));
  EXPECT_EQ(ReadProfileValue(station->ConfigPath(), "CID", "Product_SN", 20), "00000011");
  EXPECT_EQ(station->Settings().Snapshot()->currentSerialNumber, 11u);
  EXPECT_EQ(view.GetControlText(settings_control::kProductSerial), "00000011");
  EXPECT_EQ(RowTexts()[0], "");  // code 19 blanks its row's text

  // 17: the prepared image is (re)built for the last capacity; the row stays.
  const auto image = station->Images().Current();
  ASSERT_TRUE(image);
  station->ApplyStatus(WorkerStatus::Make('F', 1, StatusBuildImage, 0));
  const auto rebuilt = station->Images().Current();
  ASSERT_TRUE(rebuilt);
  EXPECT_EQ(rebuilt->imageCapacity, image->imageCapacity);
  EXPECT_FALSE(station->Images().ImageBuildFailed());
  EXPECT_EQ(RowTexts()[1], rowsBefore[1]);
}

TEST_F(StationPanelTest, CodeFlashStartWithoutSourceImageShowsTheMessage) {
  MakeStation();
  UseGatedWorkers();
  station->Initialise();
  station->Tick();
  station->OnEmptyButton();
  for (int id : {ctl::kUpdate, ctl::kTargetDevice, ctl::kEmpty, ctl::kSourceFile}) {
    EXPECT_FALSE(view.IsEnabled(id)) << id;
  }
  const auto boxes = view.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(Contains(boxes[0], "Code Flash Data can't found!!"));
  EXPECT_TRUE(station->RunStarts().empty());
  EXPECT_EQ(station->WorkerCount(), 0);
}

TEST_F(StationPanelTest, CodeFlashStartSelectsRowsWhoseDiskAnsweredTheScan) {
  BuildFarmText(
      "[E]\nslot = 1\n[F]\nslot = 2\nfault = no-probe\n[G]\nslot = 3\n[H]\nslot = 15\n");
  CopyExample("Pelorin.img");
  MakeStation();
  UseGatedWorkers();
  station->Initialise();
  station->Tick();

  station->OnEmptyButton();
  const std::vector<StartedWorker> expected = {{0, 'E'}, {2, 'G'}};
  ASSERT_EQ(station->RunStarts().size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(station->RunStarts()[i].row, expected[i].row);
    EXPECT_EQ(station->RunStarts()[i].driveLetter, expected[i].driveLetter);
  }
  auto starts = gated.WaitStarted(2);
  ASSERT_EQ(starts.size(), 2u);
  std::set<std::uint32_t> values;
  for (const auto& start : starts) {
    values.insert(start.startValue);
    EXPECT_TRUE(start.codeFlash);
    EXPECT_FALSE(start.size256K);
  }
  EXPECT_EQ(values, (std::set<std::uint32_t>{MakeStartValue('E', 0), MakeStartValue('G', 2)}));
  EXPECT_EQ(station->Slots().Find(1)->codeFlashReady, 1);
  EXPECT_EQ(station->Slots().Find(2)->codeFlashReady, 0);
  EXPECT_TRUE(view.MessageBoxes().empty());

  // Busy disks get no second worker; the "256K" choice reaches new workers.
  station->OnCodeFlashSize(true);
  EXPECT_TRUE(view.GetCheck(ctl::kSize256K));
  EXPECT_FALSE(view.GetCheck(ctl::kSize512K));
  station->OnEmptyButton();
  EXPECT_EQ(station->RunStarts().size(), 2u);
  gated.ReleaseAll();
  ASSERT_TRUE(WaitWorkersDone());
  station->OnEmptyButton();
  starts = gated.WaitStarted(4);
  ASSERT_EQ(starts.size(), 4u);
  EXPECT_TRUE(starts[2].size256K && starts[3].size256K);

  // A row showing a worker's text instead of its drive letter is skipped.
  ASSERT_TRUE(WaitWorkersDone());
  station->ApplyStatus(WorkerStatus::Make('E', 0, StatusEmpty, 100));
  station->OnEmptyButton();
  ASSERT_EQ(station->RunStarts().size(), 1u);
  EXPECT_EQ(station->RunStarts()[0].driveLetter, 'G');
  starts = gated.WaitStarted(5);
  ASSERT_EQ(starts.size(), 5u);
  EXPECT_EQ(starts[4].startValue, MakeStartValue('G', 2));
}

TEST_F(StationPanelTest, CodeFlashStartNeedsTheCodeFlashOption) {
  CopyExample("Pelorin.img");
  MakeStation();
  UseGatedWorkers();
  station->Initialise();
  station->Tick();
  EditCheck(ctl::kCodeFlashOption, false);
  EditCheck(ctl::kEepromOption, true);
  station->OnEmptyButton();
  EXPECT_TRUE(station->RunStarts().empty());
  EditCheck(ctl::kEepromOption, false);  // neither: not even the file is read
  std::filesystem::remove(dir.File("Pelorin.img"));
  station->OnEmptyButton();
  EXPECT_TRUE(station->RunStarts().empty());
  EXPECT_TRUE(view.MessageBoxes().empty());
}

TEST_F(StationPanelTest, CodeFlashRunEmptiesEveryDiskAndKeepsTheRows) {
  CopyExample("Pelorin.img");
  MakeStation();
  station->Initialise();
  station->Tick();
  station->OnEmptyButton();
  ASSERT_EQ(station->RunStarts().size(), 10u);
  ASSERT_TRUE(TickUntilRunEnds());
  const std::vector<std::string> rows = RowTexts();
  for (int row = 0; row < 10; ++row) {
    EXPECT_EQ(rows[static_cast<std::size_t>(row)], std::string(1, static_cast<char>('E' + row)) +
                                                       ":empty");
  }
  EXPECT_EQ(farm->Disk('E')->CodeFlashBlocks().size(), 32u);
  EXPECT_EQ(farm->Disk('N')->LastCodeFlashControlMode(), std::optional<std::uint8_t>(4));
  // The results stay until the disks are unplugged.
  EXPECT_EQ(station->Flags().removalWatch.load(), 1);
  station->Tick();
  EXPECT_EQ(view.GetRowText(0), "E:empty");
}

}  // namespace
}  // namespace kx20
