// Our profile file against the platform's own GetPrivateProfileStringA and
// WritePrivateProfileStringA: the same reads and writes on two copies of a
// file must give the same results and the same bytes.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/profile_file.h"
#include "support/config_temp_dir.h"

namespace kx20 {
namespace {

using testing::ConfigTempDir;

struct Op {
  enum Kind { kRead, kWrite } kind;
  std::string section;
  std::string key;
  std::string value;      // kWrite
  std::size_t size = 0;   // kRead
};

Op R(std::string section, std::string key, std::size_t size = 256) {
  return Op{Op::kRead, std::move(section), std::move(key), "", size};
}
Op W(std::string section, std::string key, std::string value) {
  return Op{Op::kWrite, std::move(section), std::move(key), std::move(value), 0};
}

struct Scenario {
  const char* name;
  bool fileExists;
  std::string initial;
  std::vector<Op> ops;
};

std::string PlatformRead(const std::string& path, const Op& op) {
  std::vector<char> buffer(op.size + 1, '#');
  const DWORD n = GetPrivateProfileStringA(op.section.c_str(), op.key.c_str(), "", buffer.data(),
                                           static_cast<DWORD>(op.size), path.c_str());
  return std::string(buffer.data(), n);
}

void PlatformWrite(const std::string& path, const Op& op) {
  WritePrivateProfileStringA(op.section.c_str(), op.key.c_str(), op.value.c_str(), path.c_str());
}

std::string Visible(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n\n";
    else out += c;
  }
  return out;
}

void RunScenario(ConfigTempDir& dir, const Scenario& sc, int index) {
  // Fresh names for every scenario: the platform caches files by name.
  const std::string ours = dir.File("ours" + std::to_string(index) + ".ini");
  const std::string theirs = dir.File("theirs" + std::to_string(index) + ".ini");
  if (sc.fileExists) {
    ConfigTempDir::Write(ours, sc.initial);
    ConfigTempDir::Write(theirs, sc.initial);
  }
  for (std::size_t i = 0; i < sc.ops.size(); ++i) {
    const Op& op = sc.ops[i];
    SCOPED_TRACE(std::string(sc.name) + ", step " + std::to_string(i) + " [" + op.section + "] " +
                 op.key);
    if (op.kind == Op::kRead) {
      EXPECT_EQ(ReadProfileValue(ours, op.section, op.key, op.size), PlatformRead(theirs, op));
    } else {
      EXPECT_TRUE(WriteProfileValue(ours, op.section, op.key, op.value, Durability::kRelaxed));
      PlatformWrite(theirs, op);
      const std::string a = ConfigTempDir::Read(ours);
      const std::string b = ConfigTempDir::Read(theirs);
      EXPECT_EQ(a, b) << "ours:\n" << Visible(a) << "\nplatform:\n" << Visible(b);
    }
  }
}

const std::string kLong(1000, 'x');

// ASCII text as UTF-16LE bytes with the byte-order mark, as Notepad's
// "Unicode" saves it.
std::string Utf16Le(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

std::vector<Scenario> Scenarios() {
  const std::string settings =
      "[CID]\r\nProduct_name=DISK1\r\nManufacturer_ID=12\r\nOEM_Application_ID=AB12\r\n"
      "Product_revision=10\r\nChange_SN=1\r\nProduct_SN=00000001\r\n[CSD]\r\n"
      "CCD_FIELD=004F01321B5981EFDE794F870A4000\r\nCCD_SELECT_DATA=16\r\n[OTHER]\r\n"
      "FLASH1=16\r\nFLASH2=0\r\n";
  std::string settingsLf;
  std::string settingsCr;
  for (char c : settings) {
    if (c != '\r') settingsLf += c;
    if (c != '\n') settingsCr += c;
  }
  const std::vector<Op> serialStep = {
      R("CID", "Product_SN", 20), W("CID", "Product_SN", "00000002"), R("CID", "Product_SN", 20),
      R("CSD", "CCD_FIELD", 40), W("CSD", "New_Key", "1"), W("NEW", "K", "v"), R("new", "k")};
  return {
      {"mixed case", true, settings,
       {R("cid", "MANUFACTURER_ID"), R("Other", "flash1"), W("cid", "product_SN", "00000002"),
        R("CID", "Product_SN"), W("OTHER", "flash2", "128_2K"), R("other", "FLASH2"),
        R("NOPE", "FLASH2"), R("OTHER", "nope")}},
      {"CRLF file", true, settings,
       {W("CID", "Product_SN", "00000003"), W("CSD", "New_Key", "1"), W("NEW", "K", "v"),
        R("CSD", "CCD_FIELD", 40), R("CSD", "CCD_SELECT_DATA", 10)}},
      {"LF file", true, settingsLf,
       {R("CSD", "CCD_FIELD", 40), R("CID", "Product_SN", 20), W("CID", "Product_SN", "00000003"),
        W("CSD", "New_Key", "1"), W("NEW", "K", "v"), R("NEW", "k")}},
      {"white space", true,
       "  [ CID ]  \n  Product_name  =  DISK1  \n\tRWTest\t=\t1\t\n\n\n[OTHER]\r\n key with space = a b \n",
       {R("CID", "Product_name"), R(" cid ", " product_name "), R("CID", "RWTest"),
        R("OTHER", "key with space"), W("CID", "RWTest", "0"), W("CID", "Added", "  lead and trail  "),
        R("CID", "Added"), W("OTHER", "key with space", "x\ty")}},
      {"quotes", true,
       "[A]\nname=\"AB C\"\nsingle='x'\nopen=\"y\nempty=\"\"\nmixed='a\"\nspaced= \" x \" \n",
       {R("A", "name"), R("A", "name", 3), R("A", "single"), R("A", "open"), R("A", "empty"),
        R("A", "empty", 1), R("A", "mixed"), R("A", "spaced"), R("A", "spaced", 3),
        W("A", "name", "\"quoted again\""), R("A", "name")}},
      {"comments", true,
       "; settings for line 3\n[CID]\n; the counter\nProduct_SN=00000001\n;Product_SN=9\n[OTHER]\n# not a comment\n",
       {R("CID", "Product_SN"), R("CID", ";Product_SN"), W("CID", "Product_SN", "00000002"),
        W("CID", "Change_SN", "1"), W("OTHER", "FLASH1", "64"), R("OTHER", "# not a comment")}},
      {"duplicate sections", true, "[CID]\nA=1\n[OTHER]\nB=2\n[cid]\nA=dup\nC=3\n",
       {R("CID", "A"), R("CID", "C"), W("CID", "C", "new"), R("CID", "C"), W("cid", "A", "9"),
        W("Third", "D", "4")}},
      {"duplicate keys", true, "[A]\nk=1\nK=2\n",
       {R("A", "k"), W("A", "K", "3"), R("A", "k")}},
      {"long values", true, "[A]\nlong=" + kLong + "\n",
       {R("A", "long", 1), R("A", "long", 2), R("A", "long", 20), R("A", "long", 40),
        R("A", "long", 1000), R("A", "long", 1001), R("A", "long", 4000),
        W("A", "long", std::string(5000, 'y')), R("A", "long", 5001), W("A", "other", kLong)}},
      {"missing file", false, "",
       {R("CID", "Product_SN"), W("CID", "Product_SN", "00000001"), W("CID", "Change_SN", "1"),
        W("OTHER", "RWTest", "1"), R("cid", "product_sn")}},
      {"empty file", true, "", {R("A", "k"), W("A", "k", "v"), W("A", "k", "")}},
      {"UTF-16LE file", true, Utf16Le(settings), serialStep},
      {"UTF-16LE file, LF and no last line end", true, Utf16Le("[A]\nk=1\n[B]\nj=2"),
       {R("B", "j"), W("A", "k", "3"), W("B", "new", "x"), W("C", "n", "y"), R("A", "k")}},
      {"UTF-8 file with a mark", true, "\xEF\xBB\xBF" + settings, serialStep},
      {"CR-only file", true, settingsCr, serialStep},
      // Not compared here, because we keep them on purpose where the platform
      // drops them or reads them differently: text after a section's "]" and
      // a bare key line in front of the real key (profile_file_test.cpp).
      {"odd lines", true,
       "top=1\nnoequals\n[broken\nk=2\n=novalue\n[ok]\nx=y=z\n",
       {R("", "top"), R("", "noequals"), R("", "k"), R("ok", "x"), W("", "noequals", "now"),
        W("ok", "x", "1"), R("", "noequals")}},
      {"unchanged value leaves the file alone", true, "[A]\nk=1",
       {W("A", "k", "1"), W("A", "j", "2")}},
      {"last line without line end", true, "[A]\r\nk=1", {W("B", "j", "2")}},
      {"empty value", true, "[A]\nk=1\n", {W("A", "k", ""), R("A", "k"), W("A", "n", "")}},
  };
}

TEST(ProfileFileDifferential, SameResultsAndFilesAsThePlatform) {
  ConfigTempDir dir;
  const auto scenarios = Scenarios();
  for (std::size_t i = 0; i < scenarios.size(); ++i) RunScenario(dir, scenarios[i], static_cast<int>(i));
}

// The settings saver writes 17 keys as one replacement; the platform writes
// them one by one. The files must agree.
TEST(ProfileFileDifferential, BatchedSaveEqualsSeventeenSingleWrites) {
  ConfigTempDir dir;
  const std::string ours = dir.File("save-ours.ini");
  const std::string theirs = dir.File("save-theirs.ini");
  const std::string initial = "; line 3\n[CID]\nProduct_SN=00000007\n[OTHER]\nRWTest=1\nExtra=keep\n";
  ConfigTempDir::Write(ours, initial);
  ConfigTempDir::Write(theirs, initial);
  const std::vector<ProfileWrite> writes = {
      {"CID", "Product_name", "DISK2"},  {"CID", "Manufacturer_ID", "34"},
      {"CID", "OEM_Application_ID", "CD34"}, {"CID", "Product_revision", "20"},
      {"CID", "Change_SN", "1"},         {"CID", "Product_SN", "00000100"},
      {"CID", "Manufacturing_year", "2005"}, {"CID", "Manufacturing_month", "7"},
      {"CSD", "CCD_FIELD", "004F01321B5982ED9E7B7F810A4000"}, {"CSD", "CCD_SELECT_DATA", "384_2K"},
      {"CSDCRC", "Ecc", "2"},            {"CSDCRC", "wdelay", "5"},
      {"OTHER", "FLASH1", "128_2K"},     {"OTHER", "FLASH2", "256_2K"},
      {"OTHER", "RWTest", "0"},          {"OTHER", "EraseFlash", "1"},
      {"OTHER", "RWValue", "75"},
  };
  ASSERT_TRUE(WriteProfileValues(ours, writes, Durability::kRelaxed));
  for (const ProfileWrite& w : writes) {
    WritePrivateProfileStringA(w.section.c_str(), w.key.c_str(), w.value.c_str(), theirs.c_str());
  }
  EXPECT_EQ(ConfigTempDir::Read(ours), ConfigTempDir::Read(theirs));
}

// The log appends whole sections; the platform writes the five keys one by
// one. On a log made of such records the files must agree.
TEST(ProfileFileDifferential, AppendedLogSectionsEqualSingleWrites) {
  ConfigTempDir dir;
  const std::string ours = dir.File("log-ours.log");
  const std::string theirs = dir.File("log-theirs.log");
  const std::string separator(48, '-');
  for (int i = 0; i < 3; ++i) {
    const std::string section = "2004/5/3  14:7:" + std::to_string(9 + i);
    const std::vector<ProfileEntry> entries = {
        {"Serial Number", i == 1 ? "" : "0000001" + std::to_string(i)},
        {"Capacity", i == 1 ? "" : "1000.0"},
        {"Result", i == 1 ? "FAIL" : "Pass"},
        {"Error Code", i == 1 ? "USBErr_Config" : ""},
        {separator, ""},
    };
    ASSERT_TRUE(AppendProfileSection(ours, section, entries, Durability::kRelaxed));
    for (const ProfileEntry& e : entries) {
      WritePrivateProfileStringA(section.c_str(), e.first.c_str(), e.second.c_str(), theirs.c_str());
    }
    EXPECT_EQ(ConfigTempDir::Read(ours), ConfigTempDir::Read(theirs)) << i;
  }
}

}  // namespace
}  // namespace kx20
