// One settings file in every form an operator's editor may leave it: each
// form loads the same values as the plain file, the serial-number step and a
// save work on it as on the plain file, the encoding stays, and nothing else
// the operator wrote (comments, unknown keys and sections, text after a
// section's "]") is lost.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/memory_console_view.h"
#include "storage/profile_file.h"
#include "config/serial_number.h"
#include "config/settings.h"
#include "support/config_temp_dir.h"

namespace kx20 {
namespace {

using testing::ConfigTempDir;
namespace id = settings_control;

// The plain file, CRLF, with what operators add by hand.
const std::vector<std::string> kLines = {
    "; line 3 - ask Maria before changing",
    "[CID] ; identification",
    "Product_name=KX20",
    "Manufacturer_ID=12",
    "OEM_Application_ID=AB12",
    "Product_revision=10",
    "Change_SN=1",
    "Product_SN=00000041",
    "Manufacturing_year=2026",
    "Manufacturing_month=12",
    "Operator=night shift",
    "[CSD]",
    "CCD_FIELD=004F01321B5981F35E7AFF810A4000",
    "CCD_SELECT_DATA=128_2K",
    "[CSDCRC]",
    "Ecc=1",
    "wdelay=0",
    "[OTHER]",
    "FLASH1=128_2K",
    "FLASH2=0",
    "RWTest=1",
    "EraseFlash=0",
    "RWValue=10",
    "[Audit]",
    "last_check=2026-12-01",
};

std::string Join(const std::vector<std::string>& lines, const std::string& end) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) out += lines[i] + end;
  return out;
}

std::string Utf16Le(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

struct Form {
  const char* name;
  std::string bytes;
  ProfileEncoding encoding;
};

std::vector<Form> Forms() {
  const std::string crlf = Join(kLines, "\r\n");
  std::vector<std::string> withBare = kLines;
  withBare.insert(withBare.begin() + 2, "Product_SN");  // a damaged line before the real key
  std::string mixed;
  for (std::size_t i = 0; i < kLines.size(); ++i) {
    const char* ends[] = {"\r\n", "\n", "\r"};
    mixed += kLines[i] + ends[i % 3];
  }
  return {
      {"plain", crlf, ProfileEncoding::kPlain},
      {"UTF-8 with a mark", "\xEF\xBB\xBF" + crlf, ProfileEncoding::kUtf8Bom},
      {"UTF-16LE", Utf16Le(crlf), ProfileEncoding::kUtf16Le},
      {"CR only", Join(kLines, "\r"), ProfileEncoding::kPlain},
      {"LF", Join(kLines, "\n"), ProfileEncoding::kPlain},
      {"mixed line ends", mixed, ProfileEncoding::kPlain},
      {"bare key line", Join(withBare, "\r\n"), ProfileEncoding::kPlain},
      {"UTF-16LE, CR only, bare key", Utf16Le(Join(withBare, "\r")), ProfileEncoding::kUtf16Le},
  };
}

// Every control the loader fills, and the published table.
struct Loaded {
  std::vector<std::string> texts;
  std::vector<bool> checks;
  ConfigTable table{};
  std::uint32_t serial = 0;
};

const int kTextControls[] = {id::kManufacturerId, id::kOemApplicationId, id::kProductName,
                             id::kProductRevision, id::kProductSerial, id::kManufacturingYear,
                             id::kManufacturingMonth, id::kCardSpecificData, id::kCapacitySelection,
                             id::kEcc, id::kWriteDelay, id::kFlash1, id::kFlash2, id::kRwValue};
const int kCheckControls[] = {id::kChangeSerialNumber, id::kRwTest, id::kEraseFlash};

Loaded Capture(MemoryConsoleView& view, SettingsStore& store) {
  Loaded l;
  for (int c : kTextControls) l.texts.push_back(view.GetControlText(c));
  for (int c : kCheckControls) l.checks.push_back(view.GetCheck(c));
  l.table = store.Snapshot()->publishedConfigTable;
  l.serial = store.Snapshot()->currentSerialNumber;
  return l;
}

// Load, two serial-number steps, a save of what was loaded, a load again.
struct FormRun {
  Loaded first, afterSteps, afterSave;
  std::string file;
};

FormRun RunForm(const std::string& bytes) {
  ConfigTempDir dir;
  const std::string path = dir.File("config.txt");
  ConfigTempDir::Write(path, bytes);
  MemoryConsoleView view;
  SettingsStore store;
  ConfigTable table{};
  FormRun run;
  ResetConfigTableHeader(table);
  EXPECT_TRUE(LoadSettings(path, view, table, store));
  run.first = Capture(view, store);

  SerialStepContext context;
  context.changeSerialNumber = 1;
  context.configPath = path;
  context.view = &view;
  context.table = &table;
  context.store = &store;
  context.durability = Durability::kRelaxed;
  for (int i = 0; i < 2; ++i) EXPECT_EQ(AdvanceSerialNumber(context).status, SerialStepStatus::kAllocated);
  run.afterSteps = Capture(view, store);

  SettingsPanelValues v;
  v.manufacturerId = view.GetControlText(id::kManufacturerId);
  v.oemApplicationId = view.GetControlText(id::kOemApplicationId);
  v.productName = view.GetControlText(id::kProductName);
  v.productRevision = view.GetControlText(id::kProductRevision);
  v.changeSerialNumber = view.GetCheck(id::kChangeSerialNumber) ? 1 : 0;
  v.productSerial = view.GetControlText(id::kProductSerial);
  v.manufacturingYear = view.GetControlText(id::kManufacturingYear);
  v.manufacturingMonth = view.GetControlText(id::kManufacturingMonth);
  v.ecc = view.GetControlText(id::kEcc);
  v.writeDelay = view.GetControlText(id::kWriteDelay);
  v.flash1Type = view.GetControlText(id::kFlash1);
  v.flash2Type = view.GetControlText(id::kFlash2);
  v.rwTestEnabled = view.GetCheck(id::kRwTest) ? 1 : 0;
  v.eraseFlashEnabled = view.GetCheck(id::kEraseFlash) ? 1 : 0;
  v.rwTestPercent = std::stoi(view.GetControlText(id::kRwValue));
  EXPECT_EQ(SaveSettings(v, path, nullptr, Durability::kRelaxed), SaveSettingsResult::kSaved);
  ResetConfigTableHeader(table);
  EXPECT_TRUE(LoadSettings(path, view, table, store));
  run.afterSave = Capture(view, store);
  run.file = ConfigTempDir::Read(path);
  return run;
}

void ExpectSameLoad(const Loaded& a, const Loaded& b) {
  EXPECT_EQ(a.texts, b.texts);
  EXPECT_EQ(a.checks, b.checks);
  EXPECT_EQ(a.table, b.table);
  EXPECT_EQ(a.serial, b.serial);
}

TEST(SettingsForms, EveryFormBehavesAsThePlainFileAndKeepsItsForm) {
  const std::vector<Form> forms = Forms();
  const FormRun plain = RunForm(forms[0].bytes);
  EXPECT_EQ(plain.first.texts[4], "00000041");
  EXPECT_EQ(plain.afterSteps.texts[4], "00000043");
  EXPECT_EQ(plain.afterSteps.serial, 43u);
  for (const Form& form : forms) {
    SCOPED_TRACE(form.name);
    const FormRun run = RunForm(form.bytes);
    ExpectSameLoad(run.first, plain.first);
    ExpectSameLoad(run.afterSteps, plain.afterSteps);
    ExpectSameLoad(run.afterSave, plain.afterSave);

    const ProfileDocument doc = ProfileDocument::Parse(run.file);
    EXPECT_EQ(doc.Encoding(), form.encoding);
    EXPECT_EQ(doc.Read("CID", "Product_SN", 20), "00000043");
    EXPECT_EQ(doc.Read("CID", "Operator", 40), "night shift");
    EXPECT_EQ(doc.Read("Audit", "last_check", 40), "2026-12-01");
    const std::string text = DecodeProfileText(run.file, form.encoding);
    for (const char* kept : {"; line 3 - ask Maria before changing", "[CID] ; identification"}) {
      EXPECT_NE(text.find(kept), std::string::npos) << kept << " lost:\n" << text;
    }
  }
}

}  // namespace
}  // namespace kx20
