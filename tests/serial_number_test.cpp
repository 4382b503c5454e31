#include "config/serial_number.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/memory_console_view.h"
#include "storage/profile_file.h"
#include "support/config_temp_dir.h"

namespace kx20 {
namespace {

using testing::ConfigTempDir;

std::string SettingsWithSerial(const std::string& serial) {
  return "[CID]\r\nProduct_name=DISK1\r\nManufacturer_ID=12\r\nOEM_Application_ID=AB12\r\n"
         "Product_revision=10\r\nChange_SN=1\r\nProduct_SN=" +
         serial +
         "\r\nManufacturing_year=2004\r\nManufacturing_month=5\r\n[CSD]\r\n"
         "CCD_FIELD=004F01321B5981EFDE794F870A4000\r\nCCD_SELECT_DATA=16\r\n[OTHER]\r\n"
         "FLASH1=16\r\nFLASH2=0\r\n";
}

struct Station {
  ConfigTempDir dir;
  std::string path = dir.File("config.txt");
  // The mutex holders on the heap: ThreadSanitizer forgets a freed mutex, not
  // one in a returned stack frame, whose lock order a later test's mutex at
  // the same address would inherit (a false cycle).
  std::unique_ptr<MemoryConsoleView> viewHeld = std::make_unique<MemoryConsoleView>();
  MemoryConsoleView& view = *viewHeld;
  ConfigTable table{};
  std::unique_ptr<SettingsStore> storeHeld = std::make_unique<SettingsStore>();
  SettingsStore& store = *storeHeld;

  SerialStepContext Context(std::int32_t option = 1) {
    SerialStepContext c;
    c.changeSerialNumber = option;
    c.configPath = path;
    c.view = &view;
    c.table = &table;
    c.store = &store;
    c.durability = Durability::kRelaxed;
    return c;
  }
  std::string FileSerial() { return ReadProfileValue(path, "CID", "Product_SN", 20); }
  std::vector<std::uint8_t> TableSerialBytes() {
    const auto cid = CidRegister(store.Snapshot()->publishedConfigTable);
    return {cid[9], cid[10], cid[11], cid[12]};
  }
};

TEST(SerialNumber, AllocatesTheNextNumberAndCarriesItIntoTheTable) {
  struct Case {
    const char* inFile;
    std::uint32_t expected;
    const char* fileAfter;
    std::vector<std::uint8_t> registerBytes;
  };
  const std::vector<Case> cases = {
      {"00000000", 1, "00000001", {0x00, 0x00, 0x00, 0x01}},
      {"99999999", 1, "00000001", {0x00, 0x00, 0x00, 0x01}},
      {"00000099", 100, "00000100", {0x00, 0x00, 0x01, 0x00}},
      {"00000009", 10, "00000010", {0x00, 0x00, 0x00, 0x10}},
      {"99999998", 99999999, "99999999", {0x99, 0x99, 0x99, 0x99}},
      {"  42 ", 43, "00000043", {0x00, 0x00, 0x00, 0x43}},
      {"+7", 8, "00000008", {0x00, 0x00, 0x00, 0x08}},
  };
  for (const Case& c : cases) {
    Station s;
    ConfigTempDir::Write(s.path, SettingsWithSerial(c.inFile));
    const SerialStepResult r = AdvanceSerialNumber(s.Context());
    EXPECT_EQ(r.status, SerialStepStatus::kAllocated) << c.inFile;
    EXPECT_FALSE(r.Failed());
    EXPECT_EQ(r.serialNumber, c.expected) << c.inFile;
    EXPECT_EQ(s.store.Snapshot()->currentSerialNumber, c.expected) << c.inFile;
    EXPECT_EQ(s.FileSerial(), c.fileAfter) << c.inFile;
    EXPECT_EQ(s.TableSerialBytes(), c.registerBytes) << c.inFile;
    EXPECT_EQ(s.view.GetControlText(settings_control::kProductSerial), c.fileAfter);
  }
}

// A counter that cannot restart by accident: a value that is absent, empty,
// not a number, or without an eight-digit form is refused. The disk is not
// programmed (Failed()), the file is untouched, and the reason names the key.
TEST(SerialNumber, RefusesCountersThatAreNotAnEightDigitNumber) {
  struct Case {
    const char* name;
    std::string file;
    SerialStepStatus status;
  };
  const std::string withoutKey =
      "[CID]\r\nProduct_name=DISK1\r\nChange_SN=1\r\n[OTHER]\r\nFLASH1=16\r\n";
  const Case cases[] = {
      {"absent", withoutKey, SerialStepStatus::kNotANumber},
      {"no [CID] at all", "[OTHER]\r\nFLASH1=16\r\n", SerialStepStatus::kNotANumber},
      {"empty", SettingsWithSerial(""), SerialStepStatus::kNotANumber},
      {"spaces only", SettingsWithSerial("   "), SerialStepStatus::kNotANumber},
      {"letters", SettingsWithSerial("abc"), SerialStepStatus::kNotANumber},
      {"digits then letters", SettingsWithSerial("42xyz"), SerialStepStatus::kNotANumber},
      {"sign alone", SettingsWithSerial("+"), SerialStepStatus::kNotANumber},
      {"bare key line only", "[CID]\r\nProduct_SN\r\nChange_SN=1\r\n", SerialStepStatus::kNotANumber},
      {"nine digits", SettingsWithSerial("100000000"), SerialStepStatus::kOutOfRange},
      {"very long", SettingsWithSerial("999999999999999999999"), SerialStepStatus::kOutOfRange},
      {"negative", SettingsWithSerial("-1"), SerialStepStatus::kOutOfRange},
      {"negative zero-padded", SettingsWithSerial("-00000005"), SerialStepStatus::kOutOfRange},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Station s;
    ConfigTempDir::Write(s.path, c.file);
    s.store.Update([](ProductionSettings& p) { p.currentSerialNumber = 7; });
    const SerialStepResult r = AdvanceSerialNumber(s.Context());
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(r.Failed());
    EXPECT_NE(r.reason.find("Product_SN"), std::string::npos) << r.reason;
    EXPECT_EQ(s.store.Snapshot()->currentSerialNumber, 7u);
    EXPECT_EQ(ConfigTempDir::Read(s.path), c.file);
  }
}

TEST(SerialNumber, OptionOffTouchesNothing) {
  Station s;
  const std::string text = SettingsWithSerial("00000005");
  ConfigTempDir::Write(s.path, text);
  ResetConfigTableHeader(s.table);
  for (int i = 0; i < 2; ++i) {
    const SerialStepResult r = AdvanceSerialNumber(s.Context(0));
    EXPECT_EQ(r.status, SerialStepStatus::kDisabled);
    EXPECT_FALSE(r.Failed());
    EXPECT_EQ(r.serialNumber, 0u);
  }
  EXPECT_EQ(ConfigTempDir::Read(s.path), text);
  EXPECT_EQ(s.store.Snapshot()->currentSerialNumber, 0u);
  // "2" is not "1": the option counts as off.
  EXPECT_EQ(AdvanceSerialNumber(s.Context(2)).status, SerialStepStatus::kDisabled);
}

TEST(SerialNumber, MissingSettingsFileFailsTheStep) {
  Station s;
  const SerialStepResult r = AdvanceSerialNumber(s.Context());
  EXPECT_EQ(r.status, SerialStepStatus::kNoSettingsFile);
  EXPECT_TRUE(r.Failed());
  EXPECT_NE(r.reason.find("config.txt"), std::string::npos) << r.reason;
  EXPECT_FALSE(FileIsReadable(s.path));
}

TEST(SerialNumber, AWriteThatDoesNotReachTheFileHandsOutNothing) {
  Station s;
  const std::string text = SettingsWithSerial("00000010");
  ConfigTempDir::Write(s.path, text);
  SerialStepContext c = s.Context();
  c.writer = [](const std::string&, std::string_view, std::string_view, std::string_view) {
    return true;  // claims success, writes nothing
  };
  const SerialStepResult r = AdvanceSerialNumber(c);
  EXPECT_EQ(r.status, SerialStepStatus::kWriteFailed);
  EXPECT_TRUE(r.Failed());
  EXPECT_EQ(s.store.Snapshot()->currentSerialNumber, 0u);
  EXPECT_EQ(ConfigTempDir::Read(s.path), text);

  // The next step, with a working writer, hands out 11: nothing was given twice.
  const SerialStepResult next = AdvanceSerialNumber(s.Context());
  EXPECT_EQ(next.status, SerialStepStatus::kAllocated);
  EXPECT_EQ(next.serialNumber, 11u);
}

// Many workers take numbers at once with no lock of their own around the
// step: the step's own lock must give every number exactly once, each with a
// table that carries it. (Without that lock this test sees numbers handed
// out twice.)
TEST(SerialNumber, ConcurrentWorkersGetEveryNumberExactlyOnce) {
  Station s;
  ConfigTempDir::Write(s.path, SettingsWithSerial("00000000"));
  constexpr int kThreads = 8;
#ifdef _WIN32
  // File operations under Wine are slow: a smaller batch keeps the run short.
  constexpr int kTotal = 2000;
#else
  constexpr int kTotal = 10000;
#endif
  std::vector<std::vector<std::uint32_t>> got(kThreads);
  std::vector<int> badTables(kThreads, 0);
  std::vector<int> failedSteps(kThreads, 0);
  std::vector<std::thread> threads;
  const auto start = std::chrono::steady_clock::now();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t; i < kTotal; i += kThreads) {
        const SerialStepResult r = AdvanceSerialNumber(s.Context());
        if (r.status != SerialStepStatus::kAllocated) {
          ++failedSteps[static_cast<std::size_t>(t)];
          continue;
        }
        const auto cid = CidRegister(r.table);
        char digits[9];
        std::snprintf(digits, sizeof digits, "%02X%02X%02X%02X", cid[9], cid[10], cid[11], cid[12]);
        if (std::stoul(digits) != r.serialNumber) ++badTables[static_cast<std::size_t>(t)];
        got[static_cast<std::size_t>(t)].push_back(r.serialNumber);
      }
    });
  }
  for (auto& th : threads) th.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::vector<std::uint32_t> all;
  for (const auto& g : got) all.insert(all.end(), g.begin(), g.end());
  std::sort(all.begin(), all.end());
  const auto repeated = std::adjacent_find(all.begin(), all.end());
  EXPECT_TRUE(repeated == all.end()) << "serial number " << *repeated << " handed out twice";
  for (int bad : badTables) EXPECT_EQ(bad, 0) << "a table that does not carry its number";
  for (int failed : failedSteps) EXPECT_EQ(failed, 0) << "steps refused";
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kTotal));
  for (int i = 0; i < kTotal; ++i) ASSERT_EQ(all[static_cast<std::size_t>(i)], static_cast<std::uint32_t>(i + 1));
  char last[9];
  std::snprintf(last, sizeof last, "%08d", kTotal);
  EXPECT_EQ(s.FileSerial(), last);
  RecordProperty("seconds", std::to_string(seconds));
  std::printf("%d allocations by 8 threads: %.2f s\n", kTotal, seconds);
}

// Line mode: the number comes from the source, not from the file's counter,
// and still lands in the file and the table; a refusal leaves the file as it
// was and fails the step, never falling back to the counter.
TEST(SerialNumber, TakesNumbersFromALineSource) {
  struct Case {
    const char* name;
    const char* inFile;  // Product_SN before (a damaged counter does not matter)
    bool gives;
    std::uint32_t number;
    SerialStepStatus status;
    const char* fileAfter;
  };
  const std::vector<Case> cases = {
      {"number", "00000007", true, 4242, SerialStepStatus::kAllocated, "00004242"},
      {"damaged counter ignored", "xyz", true, 99999999, SerialStepStatus::kAllocated,
       "99999999"},
      {"refused", "00000007", false, 0, SerialStepStatus::kNoSource, "00000007"},
      {"zero from the line", "00000007", true, 0, SerialStepStatus::kNoSource, "00000007"},
      {"nine digits from the line", "00000007", true, 100000000, SerialStepStatus::kNoSource,
       "00000007"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Station s;
    ConfigTempDir::Write(s.path, SettingsWithSerial(c.inFile));
    SerialStepContext context = s.Context();
    SerialRequest seen;
    context.request = SerialRequest{'G', 3};
    context.source = [&](const SerialRequest& r, std::uint32_t& n, std::string& reason) {
      seen = r;
      n = c.number;
      if (!c.gives) reason = "the line's database cannot be reached";
      return c.gives;
    };
    const SerialStepResult result = AdvanceSerialNumber(context);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(seen.driveLetter, 'G');
    EXPECT_EQ(seen.slot, 3);
    EXPECT_EQ(s.FileSerial(), c.fileAfter);
    if (c.status == SerialStepStatus::kAllocated) {
      EXPECT_EQ(result.serialNumber, c.number);
      EXPECT_EQ(s.store.Snapshot()->currentSerialNumber, c.number);
    } else {
      EXPECT_TRUE(result.Failed());
      EXPECT_NE(result.reason.find(c.gives ? "out of range" : "cannot be reached"),
                std::string::npos)
          << result.reason;
    }
  }
}

// One source of numbers per directory, and every disk of a line numbered by
// the line: the step refuses, file and source untouched, whatever the
// option says.
TEST(SerialNumber, RefusesNumbersFromTheWrongSource) {
  struct Case {
    const char* name;
    const char* lineFile;  // in the directory ("" none)
    bool lineMode;
    std::int32_t option;
    SerialStepStatus status;
    const char* mention;
  };
  const Case cases[] = {
      {"directory with the line's marker", kLineMarkerFileName, false, 1,
       SerialStepStatus::kNotAllowed, "has served a line (line.marker"},
      {"directory with a lease journal", "serial_lease.journal", false, 1,
       SerialStepStatus::kNotAllowed, "--line"},
      {"directory with a verdict outbox, option off", "verdicts.outbox", false, 0,
       SerialStepStatus::kNotAllowed, "verdicts.outbox"},
      {"line mode with the option off", "", true, 0, SerialStepStatus::kNotAllowed,
       "Change_SN=1"},
      {"line mode in a line's directory", kLineMarkerFileName, true, 1,
       SerialStepStatus::kAllocated, ""},
      {"a directory of its own", "", false, 1, SerialStepStatus::kAllocated, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Station s;
    const std::string text = SettingsWithSerial("00000041");
    ConfigTempDir::Write(s.path, text);
    if (*c.lineFile != '\0') ConfigTempDir::Write(s.dir.File(c.lineFile), "");
    SerialStepContext context = s.Context(c.option);
    int asked = 0;
    if (c.lineMode) {
      context.source = [&](const SerialRequest&, std::uint32_t& n, std::string&) {
        ++asked;
        n = 500;
        return true;
      };
    }
    const SerialStepResult r = AdvanceSerialNumber(context);
    EXPECT_EQ(r.status, c.status);
    if (c.status == SerialStepStatus::kNotAllowed) {
      EXPECT_TRUE(r.Failed());
      EXPECT_NE(r.reason.find(c.mention), std::string::npos) << r.reason;
      EXPECT_EQ(ConfigTempDir::Read(s.path), text);
      EXPECT_EQ(asked, 0) << "a number was taken from the line";
    } else {
      EXPECT_EQ(s.FileSerial(), c.lineMode ? "00000500" : "00000042");
    }
  }
}

// A settings file that is there but cannot be read (a directory of that
// name) fails the step with the reason, and nothing throws.
TEST(SerialNumber, UnreadableSettingsFileFailsTheStepWithItsReason) {
  Station s;
  std::filesystem::create_directory(s.path);
  const SerialStepResult r = AdvanceSerialNumber(s.Context());
  EXPECT_EQ(r.status, SerialStepStatus::kNoSettingsFile);
  EXPECT_NE(r.reason.find("config.txt cannot be read: it is a directory"), std::string::npos)
      << r.reason;
}

}  // namespace
}  // namespace kx20
