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
  // What makes a disk traceable, with values that look like the format's
  // own markers ("-", empty) and rates that need every digit.
  VerdictRow traced = Row(6, true);
  traced.lot = "-";
  traced.operatorName = "OP-07\tnight";
  traced.softwareVersion = "1.4.0";
  traced.recipeId = "9f2c0a11";
  traced.previousSerial = 0;
  traced.failedStep = "";
  traced.steps = R"([{"step":"erase","start":"2026-12-08T10:00:00.125Z","ms":812}])";
  traced.rwWriteMBps = 0.1 + 0.2;
  traced.rwReadMBps = 31.25;
  traced.imageWriteMBps = 1e-7;
  traced.host = "line-pc-3";
  VerdictRow failedInStep = Row(7, false);
  failedInStep.failedStep = "rw_test";
  failedInStep.previousSerial = 99999999;
  failedInStep.rwWriteMBps = 12.0;
  std::vector<OutboxRecord> rows = {Row(1, true), Row(2, false), Row(3, true), HandOutOf(4),
                                    failedAfterTable, cutOff, traced, failedInStep};
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
  EXPECT_FALSE(ParseOutbox("kx20 verdict outbox 4\nend\n", error));
  EXPECT_NE(error.find("another format"), std::string::npos) << error;
}

// An outbox the station of format 2 left with records waiting (as it wrote
// it: a leased number's hand-out and verdicts): an upgraded station reads
// every record, with nothing of what format 3 added, and writes it in
// format 3 from then on without changing a field.
TEST(VerdictOutbox, AnUpgradedStationKeepsWhatTheFormatBeforeLeft) {
  const std::string format2 =
      "kx20 verdict outbox 2\n"
      "handout\tst1-1b3c-4-6\tst1\t1b3c\t4\t6\t3\tG\t2026-12-09 03:07:52.808+00\n"
      "verdict\tst1-601f\tst1\t1\tE\t-\t0\tFAIL\tUSBErr_RWTable\t2026-12-09 03:08:14.111+00\t"
      "2026-12-09 03:08:14.112+00\t-\t0\t1b3c\n"
      "verdict\tst1-dcf5\tst1\t2\tF\t1002\t262144\tPass\t-\t2026-12-09 03:08:14.224+00\t"
      "2026-12-09 03:08:15.130+00\t1002\t1\t-\n"
      "end\n";
  CrashFileSystem fs;
  fs.Put(kPath, format2);
  VerdictOutbox outbox(fs, kPath);
  std::string error;
  ASSERT_TRUE(outbox.Load(error)) << error;
  const std::vector<OutboxRecord> before = outbox.Peek(10);
  ASSERT_EQ(before.size(), 3u);
  EXPECT_EQ(std::get<HandOutRow>(before[0]).serial, 6u);
  const VerdictRow& refused = std::get<VerdictRow>(before[1]);
  EXPECT_EQ(refused.errorCode, "USBErr_RWTable");
  EXPECT_EQ(refused.instanceId, "1b3c");
  const VerdictRow& cut = std::get<VerdictRow>(before[2]);
  EXPECT_EQ(cut.issuedSerial, std::optional<std::uint32_t>(1002));
  EXPECT_TRUE(cut.cutOff);
  EXPECT_EQ(cut.instanceId, "");
  for (const VerdictRow* r : {&refused, &cut}) {
    EXPECT_EQ(r->lot, "");
    EXPECT_EQ(r->previousSerial, std::nullopt);
    EXPECT_EQ(r->steps, "");
    EXPECT_EQ(r->rwWriteMBps, std::nullopt);
    EXPECT_EQ(r->host, "");
  }
  // The next write is format 3, and reads back the same.
  ASSERT_TRUE(outbox.Add(Row(9, true), error)) << error;
  std::string text;
  ASSERT_EQ(fs.ReadContents(kPath, text, nullptr), ReadOutcome::kRead);
  EXPECT_EQ(text.rfind("kx20 verdict outbox 3\n", 0), 0u);
  const auto back = ParseOutbox(text, error);
  ASSERT_TRUE(back) << error;
  ASSERT_EQ(back->size(), 4u);
  EXPECT_EQ(std::vector<OutboxRecord>(back->begin(), back->begin() + 3), before);
}

// A record the database refused is moved to verdicts.refused beside the
// outbox with its reason, in outbox form; the others stay, in order.
TEST(VerdictOutbox, ARefusedRecordIsSetAsideWithItsReason) {
  CrashFileSystem fs;
  VerdictOutbox outbox(fs, kPath);
  std::string error;
  ASSERT_TRUE(outbox.Load(error)) << error;
  EXPECT_EQ(outbox.RefusedPath(), "/st/verdicts.refused");
  for (int i = 1; i <= 3; ++i) ASSERT_TRUE(outbox.Add(Row(i, true), error)) << error;
  ASSERT_TRUE(outbox.SetAside("st1-2", "2026-12-09 10:00:00.000+00 refused: bad\nvalue", error))
      << error;
  ASSERT_TRUE(outbox.SetAside("st1-3", "second reason", error)) << error;
  ASSERT_TRUE(outbox.SetAside("st1-9", "no such record", error)) << error;
  ASSERT_EQ(outbox.Size(), 1u);
  EXPECT_EQ(RecordKeyOf(outbox.Peek(5).at(0)), "st1-1");
  std::string refused;
  ASSERT_EQ(fs.ReadContents("/st/verdicts.refused", refused, nullptr), ReadOutcome::kRead);
  EXPECT_EQ(refused, "kx20 refused verdicts 1\n"
                     "# 2026-12-09 10:00:00.000+00 refused: bad value\n" +
                         FormatOutboxRecord(Row(2, true)) + "# second reason\n" +
                         FormatOutboxRecord(Row(3, true)));
  // The outbox on disk agrees: a restart does not send them again.
  VerdictOutbox again(fs, kPath);
  ASSERT_TRUE(again.Load(error)) << error;
  EXPECT_EQ(again.Size(), 1u);
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
      // Format 3: a verdict of format 2's length, a bad rate, a bad previous
      // serial, a bad escape in a new field.
      "kx20 verdict outbox 3\nverdict\tk\tst1\t1\tE\t-\t0\tFAIL\t-\ta\tb\t-\t0\t-\nend\n",
      "kx20 verdict outbox 3\nverdict\tk\tst1\t1\tE\t-\t0\tFAIL\t-\ta\tb\t-\t0\t-\t\t\t\t\t\t\t\t1.5x\t\t\t\nend\n",
      "kx20 verdict outbox 3\nverdict\tk\tst1\t1\tE\t-\t0\tFAIL\t-\ta\tb\t-\t0\t-\t\t\t\t\t-1\t\t\t\t\t\t\nend\n",
      "kx20 verdict outbox 3\nverdict\tk\tst1\t1\tE\t-\t0\tFAIL\t-\ta\tb\t-\t0\t-\t\\x\t\t\t\t\t\t\t\t\t\t\nend\n",
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
