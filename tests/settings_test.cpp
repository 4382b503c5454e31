#include "config/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/memory_console_view.h"
#include "storage/profile_file.h"
#include "support/config_temp_dir.h"

namespace kx20 {
namespace {

namespace id = settings_control;
using testing::ConfigTempDir;

const char kFullFile[] =
    "[CID]\r\nProduct_name=DISK1\r\nManufacturer_ID=12\r\nOEM_Application_ID=AB12\r\n"
    "Product_revision=10\r\nChange_SN=1\r\nProduct_SN=00000001\r\nManufacturing_year=2004\r\n"
    "Manufacturing_month=5\r\n[CSD]\r\nCCD_FIELD=004F01321B5981EFDE794F870A4000\r\n"
    "CCD_SELECT_DATA=16\r\n[CSDCRC]\r\nEcc=1\r\nwdelay=3\r\n[OTHER]\r\nFLASH1=16\r\n"
    "FLASH2=0\r\nRWTest=1\r\nEraseFlash=1\r\nRWValue=50\r\n";

struct Loaded {
  bool ok = false;
  MemoryConsoleView view;
  ConfigTable table{};
  SettingsStore store;
};

void Load(const std::string& path, Loaded& l) {
  ResetConfigTableHeader(l.table);
  l.ok = LoadSettings(path, l.view, l.table, l.store);
}

TEST(Settings, LoadsEveryKeyIntoControlsSettingsAndTable) {
  ConfigTempDir dir;
  const std::string path = dir.File("config.txt");
  ConfigTempDir::Write(path, kFullFile);
  Loaded l;
  Load(path, l);
  ASSERT_TRUE(l.ok);

  const std::vector<std::pair<int, std::string>> texts = {
      {id::kManufacturerId, "12"},  {id::kOemApplicationId, "AB12"},
      {id::kProductName, "DISK1"},  {id::kProductRevision, "10"},
      {id::kProductSerial, "00000001"}, {id::kManufacturingYear, "2004"},
      {id::kManufacturingMonth, "5"}, {id::kCardSpecificData, "004F01321B5981EFDE794F870A4000"},
      {id::kCapacitySelection, "16"}, {id::kCapacityShown, "16"},
      {id::kEcc, "1"}, {id::kWriteDelay, "3"}, {id::kFlash1, "16"}, {id::kFlash2, "0"},
      {id::kRwValue, "50"},
  };
  for (const auto& [control, text] : texts) EXPECT_EQ(l.view.GetControlText(control), text) << control;
  EXPECT_TRUE(l.view.GetCheck(id::kChangeSerialNumber));
  EXPECT_TRUE(l.view.GetCheck(id::kRwTest));
  EXPECT_TRUE(l.view.GetCheck(id::kEraseFlash));

  const auto s = l.store.Snapshot();
  EXPECT_EQ(s->flash1Type, "16");
  EXPECT_EQ(s->flash2Type, "0");
  EXPECT_EQ(s->capacitySelection, "16");
  EXPECT_EQ(s->capacityMegabytes, 16);
  EXPECT_EQ(s->rwTestPercent, 50);
  EXPECT_EQ(s->rwTestEnabled, 1);
  EXPECT_EQ(s->eraseFlashEnabled, 1);
  EXPECT_EQ(s->publishedConfigTable, l.table);
  // The worked example's identification register.
  EXPECT_EQ(l.table[16], 0x3B);
  EXPECT_EQ(l.table[32], 0xDF);
}

TEST(Settings, OnlyOtherSectionWithRwTest) {
  ConfigTempDir dir;
  const std::string path = dir.File("config.txt");
  ConfigTempDir::Write(path, "[OTHER]\nRWTest=1\n");
  Loaded l;
  Load(path, l);
  ASSERT_TRUE(l.ok);
  EXPECT_TRUE(l.view.GetCheck(id::kRwTest));
  EXPECT_FALSE(l.view.GetCheck(id::kEraseFlash));
  EXPECT_FALSE(l.view.GetCheck(id::kChangeSerialNumber));
  for (int control : {id::kManufacturerId, id::kProductName, id::kCardSpecificData,
                      id::kCapacityShown, id::kFlash1, id::kRwValue}) {
    EXPECT_EQ(l.view.GetControlText(control), "") << control;
  }
  EXPECT_EQ(l.store.Snapshot()->capacityMegabytes, 0);
  EXPECT_EQ(l.store.Snapshot()->rwTestPercent, 0);
  EXPECT_EQ(l.store.Snapshot()->rwTestEnabled, 1);
}

TEST(Settings, ValueFormsAndReadSizes) {
  struct Case {
    const char* line;  // in [CID]/[CSD]/[OTHER] as given
    int control;
    std::string text;
    bool checked;
  };
  ConfigTempDir dir;
  const std::string path = dir.File("config.txt");
  ConfigTempDir::Write(path,
                       "[cid]\nMANUFACTURER_ID=ABCD\nChange_SN=yes\n[Csd]\nccd_select_data=192M\n"
                       "[OTHER]\nRWTest=2\nEraseFlash= 1\nRWValue=abc\nFLASH1=0123456789012345678901\n");
  Loaded l;
  Load(path, l);
  ASSERT_TRUE(l.ok);
  EXPECT_EQ(l.view.GetControlText(id::kManufacturerId), "ABC");  // read size 4
  EXPECT_FALSE(l.view.GetCheck(id::kChangeSerialNumber));        // only "1" counts
  EXPECT_FALSE(l.view.GetCheck(id::kRwTest));
  EXPECT_TRUE(l.view.GetCheck(id::kEraseFlash));  // leading blanks of a value are not part of it
  EXPECT_EQ(l.view.GetControlText(id::kCapacityShown), "192M");
  const auto s = l.store.Snapshot();
  EXPECT_EQ(s->capacityMegabytes, 192);
  EXPECT_EQ(s->rwTestPercent, 0);
  EXPECT_EQ(s->flash1Type, "0123456789012345678");  // read size 20
}

// Read sizes of the three keys whose size differs from 20, and capacity
// selections whose number is cut at the first 'M'.
TEST(Settings, ReadSizesOfTheRegisterKeysAndCapacityLabels) {
  const std::string csd40 = "004F01321B5981EFDE794F870A40001122334455667788";  // 46 digits
  struct Case {
    std::string csd;
    std::string revision;
    std::string selection;
    std::string csdRead;       // read size 40: 39 characters
    std::string revisionRead;  // read size 10: 9 characters
    std::string selectionRead; // read size 10: 9 characters
    std::int32_t megabytes;
  };
  const Case cases[] = {
      {csd40, "0123456789AB", "1024_2K_EXTRA", csd40.substr(0, 39), "012345678", "1024_2K_E", 1024},
      {"00", "10", "M192", "00", "10", "M192", 0},
      {"00", "10", "192M", "00", "10", "192M", 192},
      {"00", "10", "12M45", "00", "10", "12M45", 12},
      {"00", "10", "", "00", "10", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.selection);
    ConfigTempDir dir;
    const std::string path = dir.File("config.txt");
    ConfigTempDir::Write(path, "[CID]\r\nProduct_revision=" + c.revision + "\r\n[CSD]\r\nCCD_FIELD=" +
                                   c.csd + "\r\nCCD_SELECT_DATA=" + c.selection + "\r\n");
    Loaded l;
    Load(path, l);
    ASSERT_TRUE(l.ok);
    EXPECT_EQ(l.view.GetControlText(id::kCardSpecificData), c.csdRead);
    EXPECT_EQ(l.view.GetControlText(id::kProductRevision), c.revisionRead);
    EXPECT_EQ(l.view.GetControlText(id::kCapacitySelection), c.selectionRead);
    EXPECT_EQ(l.store.Snapshot()->capacitySelection, c.selectionRead);
    EXPECT_EQ(l.store.Snapshot()->capacityMegabytes, c.megabytes);
  }
}

TEST(Settings, MissingFileChangesNothing) {
  ConfigTempDir dir;
  Loaded l;
  ConfigTempDir::Write(dir.File("config.txt"), kFullFile);
  Load(dir.File("config.txt"), l);
  const auto before = l.store.Snapshot();
  const ConfigTable tableBefore = l.table;
  EXPECT_FALSE(LoadSettings(dir.File("absent.txt"), l.view, l.table, l.store));
  EXPECT_EQ(l.store.Snapshot(), before);
  EXPECT_EQ(l.table, tableBefore);
  EXPECT_EQ(l.view.GetControlText(id::kProductName), "DISK1");
}

TEST(Settings, LoadKeepsTheCurrentSerialNumber) {
  ConfigTempDir dir;
  ConfigTempDir::Write(dir.File("config.txt"), kFullFile);
  Loaded l;
  l.store.Update([](ProductionSettings& s) { s.currentSerialNumber = 41; });
  Load(dir.File("config.txt"), l);
  EXPECT_EQ(l.store.Snapshot()->currentSerialNumber, 41u);
}

SettingsPanelValues PanelValues() {
  SettingsPanelValues v;
  v.productName = "DISK2";
  v.manufacturerId = "34";
  v.oemApplicationId = "CD34";
  v.productRevision = "20";
  v.changeSerialNumber = 1;
  v.productSerial = "00000100";
  v.manufacturingYear = "2005";
  v.manufacturingMonth = "7";
  v.cardSpecificData = "FFFF";      // never saved as typed
  v.capacitySelection = "8";        // never saved as typed
  v.ecc = "2";
  v.writeDelay = "5";
  v.flash1Type = "128_2K";
  v.flash2Type = "256_2K";
  v.rwTestEnabled = 0;
  v.eraseFlashEnabled = 1;
  v.rwTestPercent = 75;
  return v;
}

TEST(Settings, SaveWritesEveryKeyAndDerivesTheCapacity) {
  ConfigTempDir dir;
  const std::string path = dir.File("config.txt");
  ConfigTempDir::Write(path, kFullFile);
  std::string refusal;
  EXPECT_EQ(SaveSettings(PanelValues(), path, &refusal, Durability::kRelaxed),
            SaveSettingsResult::kSaved);
  EXPECT_EQ(ConfigTempDir::Read(path),
            "[CID]\r\nProduct_name=DISK2\r\nManufacturer_ID=34\r\nOEM_Application_ID=CD34\r\n"
            "Product_revision=20\r\nChange_SN=1\r\nProduct_SN=00000100\r\nManufacturing_year=2005\r\n"
            "Manufacturing_month=7\r\n[CSD]\r\nCCD_FIELD=004F01321B5982ED9E7B7F810A4000\r\n"
            "CCD_SELECT_DATA=384_2K\r\n[CSDCRC]\r\nEcc=2\r\nwdelay=5\r\n[OTHER]\r\nFLASH1=128_2K\r\n"
            "FLASH2=256_2K\r\nRWTest=0\r\nEraseFlash=1\r\nRWValue=75\r\n");
  EXPECT_TRUE(refusal.empty());
}

TEST(Settings, SaveIntoAnEmptyFileAddsTheSectionsInOrder) {
  ConfigTempDir dir;
  const std::string path = dir.File("config.txt");
  ConfigTempDir::Write(path, "");
  std::string refusal;
  SettingsPanelValues v = PanelValues();
  v.flash1Type = "256";
  v.flash2Type = "16";
  ASSERT_EQ(SaveSettings(v, path, &refusal, Durability::kRelaxed), SaveSettingsResult::kSaved);
  const ProfileDocument doc = ProfileDocument::Parse(ConfigTempDir::Read(path));
  EXPECT_EQ(doc.Read("CSD", "CCD_SELECT_DATA", 10), "272");
  EXPECT_EQ(doc.Find("CSD", "CCD_FIELD"), std::optional<std::string>(""));  // no register for 272
  EXPECT_EQ(ConfigTempDir::Read(path).rfind("[CID]\r\nProduct_name=DISK2\r\n", 0), 0u);
}

TEST(Settings, SaveRefusesAPlainFlash1WithATwoKFlash2) {
  ConfigTempDir dir;
  const std::string path = dir.File("config.txt");
  ConfigTempDir::Write(path, kFullFile);
  std::string refusal;
  SettingsPanelValues v = PanelValues();
  v.flash1Type = "64";
  v.flash2Type = "128_2K";
  EXPECT_EQ(SaveSettings(v, path, &refusal, Durability::kRelaxed),
            SaveSettingsResult::kRefusedFlashCombination);
  EXPECT_EQ(ConfigTempDir::Read(path), kFullFile);
  EXPECT_NE(refusal.find("FLASH 1"), std::string::npos);
}

TEST(Settings, SaveWithoutAFileCreatesNothingAndSaysNothing) {
  ConfigTempDir dir;
  std::string refusal;
  EXPECT_EQ(SaveSettings(PanelValues(), dir.File("config.txt"), &refusal, Durability::kRelaxed),
            SaveSettingsResult::kNoFile);
  EXPECT_FALSE(FileIsReadable(dir.File("config.txt")));
  EXPECT_TRUE(refusal.empty());
}

TEST(Settings, SavedFileLoadsBack) {
  ConfigTempDir dir;
  const std::string path = dir.File("config.txt");
  ConfigTempDir::Write(path, "; station settings\n[CID]\nproduct_name = OLD\n");
  std::string refusal;
  ASSERT_EQ(SaveSettings(PanelValues(), path, &refusal, Durability::kRelaxed),
            SaveSettingsResult::kSaved);
  const std::string text = ConfigTempDir::Read(path);
  EXPECT_EQ(text.rfind("; station settings\r\n[CID]\r\nproduct_name=DISK2\r\n", 0), 0u) << text;
  Loaded l;
  Load(path, l);
  EXPECT_EQ(l.store.Snapshot()->capacitySelection, "384_2K");
  EXPECT_EQ(l.store.Snapshot()->capacityMegabytes, 384);
  EXPECT_EQ(l.view.GetControlText(id::kProductName), "DISK2");
}

TEST(Settings, ExampleSettingsFileMatchesTheDefaultFarm) {
  Loaded l;
  Load(std::string(KX20_SOURCE_DIR) + "/examples/config.txt", l);
  ASSERT_TRUE(l.ok);
  const auto s = l.store.Snapshot();
  // One "128_2K" chip (flash info byte 6 = 6, byte 8 = FFh): 128 MB, last
  // characters of selection and FLASH1 agree, FLASH2 has no size.
  EXPECT_EQ(s->flash1Type, "128_2K");
  EXPECT_EQ(s->flash2Type, "0");
  EXPECT_EQ(s->capacitySelection, "128_2K");
  EXPECT_EQ(s->capacityMegabytes, 128);
  EXPECT_EQ(LeadingInteger(s->flash1Type), 128);
  EXPECT_EQ(LeadingInteger(s->flash2Type), 0);
  EXPECT_TRUE(l.view.GetCheck(id::kChangeSerialNumber));
  EXPECT_EQ(DeriveCapacityLabel(s->flash1Type, s->flash2Type), s->capacitySelection);
  EXPECT_EQ(l.view.GetControlText(id::kCardSpecificData), LookupCsdRegister("128_2K"));
}

}  // namespace
}  // namespace kx20
