#include "production/production_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/virtual_clock.h"
#include "storage/profile_file.h"
#include "support/config_temp_dir.h"
#include "support/calendar_time.h"

namespace kx20 {
namespace {

using testing::ConfigTempDir;

const std::string kSeparator(48, '-');

using testing::At;

TEST(ProductionLog, SectionNameIsUnpadded) {
  EXPECT_EQ(FormatLogSectionName(At(2004, 5, 3, 14, 7, 9)), "2004/5/3  14:7:9");
  EXPECT_EQ(FormatLogSectionName(At(2026, 12, 31, 0, 0, 0)), "2026/12/31  0:0:0");
}

TEST(ProductionLog, RecordFields) {
  struct Case {
    std::uint32_t serial;
    std::uint32_t lastLba;
    const char* serialText;
    const char* capacityText;
  };
  const Case cases[] = {
      {12, 262143, "00000012", "128.0"},
      {0, 262143, "00000000", "128.0"},
      {99999999, 2047897, "99999999", "999.9"},
      {1, 2047898, "00000001", "1000.0"},  // six characters: the field holds them
      {1, 0xFFFFFFFFu, "00000001", "2097152.0"},
  };
  for (const Case& c : cases) {
    const LogRecord r = MakePassRecord(c.serial, c.lastLba);
    EXPECT_STREQ(r.serialNumber, c.serialText);
    EXPECT_STREQ(r.capacity, c.capacityText);
    EXPECT_STREQ(r.result, "Pass");
    EXPECT_STREQ(r.errorCode, "");
  }
  const LogRecord f = MakeFailRecord("USBErr_TableCompare");
  EXPECT_STREQ(f.serialNumber, "");
  EXPECT_STREQ(f.capacity, "");
  EXPECT_STREQ(f.result, "FAIL");
  EXPECT_STREQ(f.errorCode, "USBErr_TableCompare");
  // An over-long error text is cut to its field, never past it.
  const LogRecord g = MakeFailRecord("USBErr_ThisTextIsFarTooLongForItsField");
  EXPECT_EQ(std::string(g.errorCode), "USBErr_ThisTextIsFa");
}

TEST(ProductionLog, WritesExactRecordsAfterTheirPause) {
  ConfigTempDir dir;
  const std::string path = dir.File("produce.log");
  VirtualClock clock(At(2004, 5, 3, 14, 7, 8));
  ProductionLogWriter log(clock, path, Durability::kRelaxed);

  EXPECT_TRUE(log.WriteRecord(MakePassRecord(12, 262143)));
  EXPECT_TRUE(log.LastWriteSucceeded());
  EXPECT_EQ(clock.Elapsed(), 1000u);
  EXPECT_TRUE(log.WriteRecord(MakeFailRecord("USBErr_Config")));
  EXPECT_EQ(clock.Elapsed(), 2000u);

  EXPECT_EQ(ConfigTempDir::Read(path),
            "[2004/5/3  14:7:9]\r\nSerial Number=00000012\r\nCapacity=128.0\r\nResult=Pass\r\n"
            "Error Code=\r\n" + kSeparator + "=\r\n"
            "[2004/5/3  14:7:10]\r\nSerial Number=\r\nCapacity=\r\nResult=FAIL\r\n"
            "Error Code=USBErr_Config\r\n" + kSeparator + "=\r\n");
}

TEST(ProductionLog, AppendsWithoutTouchingEarlierRecords) {
  ConfigTempDir dir;
  const std::string path = dir.File("produce.log");
  // An earlier log that ends in a torn line.
  const std::string earlier = "[2004/5/3  14:7:9]\nSerial Number=00000001\nCapacity=12";
  ConfigTempDir::Write(path, earlier);
  VirtualClock clock(At(2004, 5, 3, 15, 0, 0));
  ProductionLogWriter log(clock, path, Durability::kRelaxed);
  log.WriteRecord(MakeFailRecord("USBErr_Pnf"));
  const std::string text = ConfigTempDir::Read(path);
  ASSERT_EQ(text.rfind(earlier, 0), 0u);
  const ProfileDocument doc = ProfileDocument::Parse(text);
  EXPECT_EQ(doc.Read("2004/5/3  15:0:1", "Error Code", 64), "USBErr_Pnf");
  EXPECT_EQ(doc.Read("2004/5/3  15:0:1", "Result", 64), "FAIL");
  EXPECT_EQ(doc.Read("2004/5/3  14:7:9", "Capacity", 64), "12");
}

TEST(ProductionLog, TenRecordsHaveDistinctNames) {
  ConfigTempDir dir;
  const std::string path = dir.File("produce.log");
  VirtualClock clock(At(2026, 12, 8, 8, 0, 0));
  ProductionLogWriter log(clock, path, Durability::kRelaxed);
  for (int i = 0; i < 10; ++i) log.WriteRecord(MakePassRecord(static_cast<std::uint32_t>(i), 262143));
  EXPECT_GE(clock.Elapsed(), 10000u);
  const ProfileDocument doc = ProfileDocument::Parse(ConfigTempDir::Read(path));
  for (int i = 1; i <= 10; ++i) {
    const std::string name = "2026/12/8  8:0:" + std::to_string(i);
    EXPECT_EQ(doc.Read(name, "Serial Number", 16), "0000000" + std::to_string(i - 1)) << name;
  }
}

// The writer says the record was not written, and the operator learns why
// and which record it was.
TEST(ProductionLog, UnwritableLogSaysWhichRecordWasLostAndWhy) {
  ConfigTempDir dir;
  VirtualClock clock(At(2026, 12, 8, 8, 0, 0));
  OperatorNotices notices;
  ProductionLogWriter log(clock, dir.File("no-such-dir/produce.log"), Durability::kRelaxed);
  log.SetNotices(&notices);
  EXPECT_FALSE(log.WriteRecord(MakePassRecord(42, 262143)));
  EXPECT_FALSE(log.LastWriteSucceeded());
  EXPECT_FALSE(log.WriteRecord(MakeFailRecord("USBErr_Pnf")));
  const std::vector<std::string> taken = notices.Take();
  ASSERT_EQ(taken.size(), 2u);
  for (const char* part : {"produce.log", "[2026/12/8  8:0:1]", "Pass 00000042", "lost"}) {
    EXPECT_NE(taken[0].find(part), std::string::npos) << taken[0];
  }
  EXPECT_NE(taken[1].find("FAIL USBErr_Pnf"), std::string::npos) << taken[1];
  EXPECT_TRUE(notices.Take().empty());
}

// Virtual time whose pause lets other threads run before it returns, as a
// real pause does: without LogLock two writers then read the same time.
class YieldingClock final : public Clock {
 public:
  explicit YieldingClock(const CalendarTime& start) : inner_(start) {}
  void SleepMs(std::uint32_t ms) override {
    inner_.SleepMs(ms);
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  CalendarTime UtcNow() override { return inner_.UtcNow(); }
  CalendarTime LocalNow() override { return inner_.LocalNow(); }
  std::uint64_t MonotonicMs() override { return inner_.MonotonicMs(); }

 private:
  VirtualClock inner_;
};

// Workers finishing together queue on LogLock: every record arrives whole,
// under its own name, and none is lost or merged with another.
TEST(ProductionLog, RecordsUnderLogLockContentionFromManyThreads) {
  ConfigTempDir dir;
  const std::string path = dir.File("produce.log");
  YieldingClock clock(At(2026, 12, 8, 8, 0, 0));
  ProductionLogWriter log(clock, path, Durability::kRelaxed);
  std::mutex logLock;
  constexpr int kThreads = 10;
  constexpr int kRecordsEach = 12;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRecordsEach; ++i) {
        const auto serial = static_cast<std::uint32_t>(t * 1000 + i);
        std::lock_guard<std::mutex> lock(logLock);
        log.WriteRecord(i % 3 == 0 ? MakeFailRecord("USBErr_RWTable")
                                   : MakePassRecord(serial, 262143));
      }
    });
  }
  for (std::thread& th : threads) th.join();

  const std::string text = ConfigTempDir::Read(path);
  const ProfileDocument doc = ProfileDocument::Parse(text);
  std::set<std::string> serials;
  int fails = 0;
  for (int k = 1; k <= kThreads * kRecordsEach; ++k) {
    // The records are one second apart: 8:0:1, 8:0:2, ... 8:2:0.
    const std::string name =
        "2026/12/8  8:" + std::to_string(k / 60) + ":" + std::to_string(k % 60);
    const std::string result = doc.Read(name, "Result", 16);
    ASSERT_TRUE(result == "Pass" || result == "FAIL") << name;
    if (result == "FAIL") {
      ++fails;
      EXPECT_EQ(doc.Read(name, "Error Code", 32), "USBErr_RWTable") << name;
      EXPECT_EQ(doc.Read(name, "Serial Number", 16), "") << name;
    } else {
      EXPECT_EQ(doc.Read(name, "Capacity", 16), "128.0") << name;
      serials.insert(doc.Read(name, "Serial Number", 16));
    }
  }
  EXPECT_EQ(fails, kThreads * 4);
  EXPECT_EQ(serials.size(), static_cast<std::size_t>(kThreads * 8));
  // Nothing but whole records: one header and five keys each.
  std::size_t lines = 0;
  for (char c : text) lines += c == '\n' ? 1 : 0;
  EXPECT_EQ(lines, static_cast<std::size_t>(kThreads * kRecordsEach * 6));
}

}  // namespace
}  // namespace kx20
