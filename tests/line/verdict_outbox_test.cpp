#include "line/verdict_outbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>

#include "support/crash_file_system.h"

namespace kx20 {
namespace {

using testing::CrashFileSystem;

constexpr const char* kPath = "/st/verdicts.outbox";

VerdictRow Row(int i, bool pass) {
  VerdictRow r;
  r.recordKey = "st1-" + std::to_string(i);
  r.station = "st1";
  r.slot = i % 32 + 1;
  r.driveLetter = static_cast<char>('E' + i % 10);
  if (pass) r.serial = static_cast<std::uint32_t>(1000 + i);
  r.capacity = pass ? 262144 : 0;
  r.result = pass ? "Pass" : "FAIL";
  r.errorCode = pass ? "" : "USBErr_RWTable";
  r.startedAt = "2026-12-08 10:00:00.000+00";
  r.finishedAt = "2026-12-08 10:00:09.500+00";
  return r;
}

HandOutRow HandOutOf(int i) {
  return HandOutRow{HandOutKey("st1", "aaaa", 7, static_cast<std::uint32_t>(1000 + i)), "st1",
                    "aaaa", 7, static_cast<std::uint32_t>(1000 + i), i % 32 + 1,
                    static_cast<char>('E' + i % 10), "2026-12-08 10:00:01.000+00"};
}

TEST(VerdictOutbox, TextRoundTripsEveryField) {
  VerdictRow failedAfterTable = Row(4, false);
  failedAfterTable.serial = 1004;
  failedAfterTable.issuedSerial = 1004;
  failedAfterTable.instanceId = "aaaa";
  VerdictRow cutOff = Row(5, false);
  cutOff.cutOff = true;
  cutOff.errorCode = "USBErr_RW_Compare";
  cutOff.issuedSerial = 1005;
  std::vector<OutboxRecord> rows = {Row(1, true), Row(2, false), Row(3, true), HandOutOf(4),
                                    failedAfterTable, cutOff};
  std::get<VerdictRow>(rows[1]).errorCode = "odd\tcode\\with\nbreaks";  // never split a record
  std::get<VerdictRow>(rows[2]).serial = 0;  // 0 is a number, not "none"
  std::string error;
  const auto back = ParseOutbox(FormatOutbox(rows), error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(*back, rows);
  const auto empty = ParseOutbox(FormatOutbox({}), error);
  ASSERT_TRUE(empty) << error;
  EXPECT_TRUE(empty->empty());
}

// An outbox the station of the format before left behind: its verdicts are
// read (and sent) as they are.
TEST(VerdictOutbox, ReadsTheFormatBefore) {
  std::string error;
  const auto rows = ParseOutbox(
      "kx20 verdict outbox 1\n"
      "st1-1\tst1\t2\tF\t1001\t262144\tPass\t-\t2026-12-08 10:00:00.000+00\t"
      "2026-12-08 10:00:09.500+00\n"
      "st1-2\tst1\t3\tG\t-\t0\tFAIL\tUSBErr_RWTable\ta\tb\n"
      "end\n",
      error);
  ASSERT_TRUE(rows) << error;
  ASSERT_EQ(rows->size(), 2u);
  const VerdictRow& pass = std::get<VerdictRow>((*rows)[0]);
  EXPECT_EQ(pass.serial, std::optional<std::uint32_t>(1001));
  EXPECT_EQ(pass.result, "Pass");
  EXPECT_EQ(pass.issuedSerial, std::nullopt);
  EXPECT_FALSE(pass.cutOff);
  const VerdictRow& failure = std::get<VerdictRow>((*rows)[1]);
  EXPECT_EQ(failure.errorCode, "USBErr_RWTable");
  EXPECT_EQ(failure.serial, std::nullopt);
  // A newer station's outbox says so.
  EXPECT_FALSE(ParseOutbox("kx20 verdict outbox 3\nend\n", error));
  EXPECT_NE(error.find("another format"), std::string::npos) << error;
}

TEST(VerdictOutbox, AHandOutKeyNamesItsNumberSoASecondCopyIsOne) {
  EXPECT_EQ(HandOutKey("st1", "aaaa", 7, 1004), HandOutKey("st1", "aaaa", 7, 1004));
  EXPECT_NE(HandOutKey("st1", "aaaa", 7, 1004), HandOutKey("st1", "aaaa", 7, 1005));
  EXPECT_NE(HandOutKey("st1", "aaaa", 7, 1004), HandOutKey("st1", "bbbb", 7, 1004));
  CrashFileSystem fs;
  VerdictOutbox outbox(fs, kPath);
  std::string error;
  ASSERT_TRUE(outbox.Load(error));
  ASSERT_TRUE(outbox.Add(HandOutOf(1), error));
  EXPECT_TRUE(outbox.Contains(HandOutOf(1).recordKey));
  EXPECT_FALSE(outbox.Contains(HandOutOf(2).recordKey));
}

TEST(VerdictOutbox, RefusesDamagedText) {
  const std::string good = FormatOutbox({Row(1, true), Row(2, false)});
  const std::vector<std::string> damaged = {
      "",
      good.substr(0, good.size() - 4),  // torn: no end line
      good.substr(0, good.find('\t', 40)),
      good + "x\n",
      "kx20 verdict outbox 2\nverdict\tk\tst1\t1\tE\t-\t0\tFAIL\t-\ta\tb\t-\t2\t-\nend\n",
      "kx20 verdict outbox 2\nverdict\tk\tst1\t1\tE\t-\t0\tFAIL\t-\ta\tb\nend\n",
      "kx20 verdict outbox 2\nhandout\tk\tst1\ti\tx\t5\t1\tE\tt\nend\n",
      "kx20 verdict outbox 2\nhandout\tk\tst1\ti\t7\t5\t1\tEF\tt\nend\n",
      "kx20 verdict outbox 2\nreceipt\tk\nend\n",
      "kx20 verdict outbox 1\nk\tst1\tone\tE\t-\t0\tFAIL\t-\ta\tb\nend\n",
      "kx20 verdict outbox 1\nk\tst1\t1\tEF\t-\t0\tFAIL\t-\ta\tb\nend\n",
      "kx20 verdict outbox 1\nk\tst1\t1\tE\t12z\t0\tPass\t-\ta\tb\nend\n",
      "kx20 verdict outbox 1\nk\tst1\t1\tE\t-\t0\tFAIL\t\\q\ta\tb\nend\n",
      "kx20 verdict outbox 1\n\tst1\t1\tE\t-\t0\tFAIL\t-\ta\tb\nend\n",  // no key
  };
  std::string error;
  for (const std::string& text : damaged) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(ParseOutbox(text, error));
  }
  CrashFileSystem fs;
  fs.Put(kPath, damaged[1]);
  VerdictOutbox outbox(fs, kPath);
  EXPECT_FALSE(outbox.Load(error)) << "a damaged outbox stops the station, it is not emptied";
}

// An outbox that is there but cannot be read (here: a directory of that
// name) is refused, never taken for an empty one whose next write would drop
// the verdicts waiting in it.
TEST(VerdictOutbox, AnOutboxThatCannotBeReadIsNotTakenForEmpty) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("kx20-outbox-" + std::to_string(std::random_device{}()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir / "verdicts.outbox");
  VerdictOutbox outbox(SystemFileSystem(), (dir / "verdicts.outbox").string(), Durability::kRelaxed);
  std::string error;
  EXPECT_FALSE(outbox.Load(error));
  EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;
  VerdictOutbox missing(SystemFileSystem(), (dir / "none.outbox").string(), Durability::kRelaxed);
  EXPECT_TRUE(missing.Load(error)) << error;
  EXPECT_EQ(missing.Size(), 0u);
  std::filesystem::remove_all(dir);
}

TEST(VerdictOutbox, RecordKeysAreUniqueAndNamedByStation) {
  std::set<std::string> keys;
  for (int i = 0; i < 1000; ++i) keys.insert(NewRecordKey("st7"));
  EXPECT_EQ(keys.size(), 1000u);
  EXPECT_EQ(keys.begin()->rfind("st7-", 0), 0u);
  EXPECT_EQ(keys.begin()->size(), 4u + 32u);
}

// Records are added, sent in batches and removed; the power fails after every
// possible number of file steps and the station starts again from the disk.
// Whatever is on the disk then: every record whose Add returned is there or
// was acknowledged by the "database" (never lost), and the database, which
// ignores a key it has, ends with each record once and the outbox empty.
TEST(VerdictOutbox, NeitherLosesNorDuplicatesWhereverThePowerFails) {
  constexpr int kRecords = 7;
  long crashPoint = 0;
  for (;; ++crashPoint) {
    SCOPED_TRACE("crash after step " + std::to_string(crashPoint));
    CrashFileSystem fs;
    std::set<std::string> database;       // keys it holds
    std::set<std::string> added;          // Add returned true
    int next = 0;

    const auto send = [&](VerdictOutbox& outbox) {
      const std::vector<OutboxRecord> batch = outbox.Peek(3);
      std::vector<std::string> keys;
      for (const OutboxRecord& r : batch) {
        database.insert(RecordKeyOf(r));  // ON CONFLICT DO NOTHING
        keys.push_back(RecordKeyOf(r));
      }
      std::string error;
      return outbox.Remove(keys, error);
    };
    const auto run = [&] {
      VerdictOutbox outbox(fs, kPath);
      std::string error;
      if (!outbox.Load(error)) return;
      // What an earlier life left is sent first.
      while (outbox.Size() > 0) {
        if (!send(outbox)) return;
      }
      while (next < kRecords) {
        const VerdictRow r = Row(next, next % 3 != 0);
        if (!outbox.Add(r, error)) return;
        added.insert(r.recordKey);
        ++next;
        if (next % 2 == 0 && !send(outbox)) return;
      }
      while (outbox.Size() > 0) {
        if (!send(outbox)) return;
      }
    };

    fs.CrashAfter(crashPoint);
    run();
    const bool crashed = fs.PowerGone();
    if (crashed) {
      fs.PowerLoss();
      fs.CrashAfter(1L << 30);  // (long is 32 bits on Windows)
      // A record whose Add did not return may or may not have reached the
      // file; the station's second life gives its verdicts anew.
      run();
    }
    for (const std::string& key : added) {
      EXPECT_EQ(database.count(key), 1u) << key << " was lost";
    }
    EXPECT_EQ(static_cast<int>(database.size()), kRecords);
    VerdictOutbox after(fs, kPath);
    std::string error;
    ASSERT_TRUE(after.Load(error)) << error;
    EXPECT_EQ(after.Size(), 0u);
    if (!crashed) break;
  }
  EXPECT_GT(crashPoint, 20);
}

}  // namespace
}  // namespace kx20
