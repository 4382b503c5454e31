#include "line/lease_journal.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "support/crash_file_system.h"

namespace kx20 {
namespace {

using testing::CrashFileSystem;

constexpr const char* kPath = "/st/serial_lease.journal";

TEST(LeaseJournal, NumbersWrapAfterTheLargest) {
  const Lease s{99999998, 4, 0};
  EXPECT_EQ(s.NumberAt(0), 99999998u);
  EXPECT_EQ(s.NumberAt(1), 99999999u);
  EXPECT_EQ(s.NumberAt(2), 1u);
  EXPECT_EQ(s.NumberAt(3), 2u);
}

TEST(LeaseJournal, RefusesDamagedText) {
  const std::string good = LeaseState{"st1", {{10, 5, 2}, {20, 5, 0}}}.Format();
  std::string error;
  ASSERT_TRUE(LeaseState::Parse(good, error)) << error;
  const std::vector<std::string> damaged = {
      "",
      good.substr(0, good.size() - 4),  // torn before "end"
      "kx20 serial lease journal 2\nstation st1\nlease 10 5 2\nend\n",
      "kx20 serial lease journal 1\nstation st1\nlease 10 5 6\nend\n",   // used > count
      "kx20 serial lease journal 1\nstation st1\nlease 0 5 0\nend\n",    // no number 0
      "kx20 serial lease journal 1\nstation st1\nlease 10 5\nend\n",
      "kx20 serial lease journal 1\nstation st1\nlease 10 5 2 1\nend\n",
      "kx20 serial lease journal 1\nstation st1\nlease 1x 5 2\nend\n",
      "kx20 serial lease journal 1\nstation st1\nlease 100000000 5 2\nend\n",
      good + "lease 1 1 0\n",
      "kx20 serial lease journal 1\nstation st1\nlease 1 1 0\nlease 2 1 0\nlease 3 1 0\nend\n",
      "kx20 serial lease journal 1\nstation st1\nlease 10 0 0\nend\n",  // empty lease
  };
  for (const std::string& text : damaged) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(LeaseState::Parse(text, error));
  }
}

TEST(LeaseJournal, RefusesAJournalOfAnotherStationOrADamagedOne) {
  for (const std::string& text :
       {LeaseState{"other", {{10, 5, 0}}}.Format(), std::string("kx20 serial lease journal 1\n")}) {
    CrashFileSystem fs;
    fs.Put(kPath, text);
    LeaseJournal journal(fs, kPath, "st1");
    std::string error;
    EXPECT_FALSE(journal.Load(error));
    std::uint32_t n = 0;
    EXPECT_FALSE(journal.Take(n, error));
    EXPECT_FALSE(journal.AddLease(100, 5, error));
    std::string after;
    ASSERT_TRUE(fs.ReadFile(kPath, after));
    EXPECT_EQ(after, text) << "a damaged journal is left for the operator";
  }
}

TEST(LeaseJournal, HandsOutLeasesInOrderAndHoldsAtMostTwo) {
  CrashFileSystem fs;
  LeaseJournal journal(fs, kPath, "st1");
  std::string error;
  ASSERT_TRUE(journal.Load(error));
  std::uint32_t n = 0;
  EXPECT_FALSE(journal.Take(n, error)) << "no lease yet";
  ASSERT_TRUE(journal.AddLease(99999999, 2, error)) << error;
  ASSERT_TRUE(journal.AddLease(500, 2, error)) << "the next lease, ahead of time";
  EXPECT_FALSE(journal.AddLease(700, 2, error)) << "a third is refused";
  std::vector<std::uint32_t> got;
  while (journal.Take(n, error)) got.push_back(n);
  EXPECT_EQ(got, (std::vector<std::uint32_t>{99999999, 1, 500, 501}));
  // What a restart finds: nothing left, and room for new leases.
  LeaseJournal again(fs, kPath, "st1");
  ASSERT_TRUE(again.Load(error)) << error;
  EXPECT_EQ(again.Remaining(), 0u);
  EXPECT_TRUE(again.AddLease(900, 2, error)) << error;
}

// The station's life as a script: leases come from the line's counter, each
// used up before the next. The power fails after every possible number of
// file steps; the station then starts again from what is on the disk and goes
// on. No number may be handed out twice, and every number handed out must
// come from a lease the line gave.
TEST(LeaseJournal, NeverHandsANumberOutTwiceWhereverThePowerFails) {
  constexpr std::uint32_t kLease = 3;
  constexpr int kNumbers = 10;
  long crashPoint = 0;
  for (;; ++crashPoint) {
    SCOPED_TRACE("crash after step " + std::to_string(crashPoint));
    CrashFileSystem fs;
    std::uint32_t lineCounter = 1;  // the database's next number
    std::vector<std::uint32_t> handedOut;
    bool crashed = false;

    const auto run = [&](int wanted) {
      LeaseJournal journal(fs, kPath, "st1");
      std::string error;
      if (!journal.Load(error)) return;
      while (static_cast<int>(handedOut.size()) < wanted) {
        // A new lease when one number is left (ahead of time) or none.
        if (journal.Remaining() <= 1) {
          const std::uint32_t first = lineCounter;  // committed in the database
          lineCounter += kLease;
          if (!journal.AddLease(first, kLease, error)) return;
        }
        std::uint32_t n = 0;
        if (!journal.Take(n, error)) return;
        handedOut.push_back(n);
      }
    };

    fs.CrashAfter(crashPoint);
    run(kNumbers);
    crashed = fs.PowerGone();
    if (crashed) {
      fs.PowerLoss();
      fs.CrashAfter(1L << 30);  // (long is 32 bits on Windows)
      run(kNumbers);
    }
    ASSERT_EQ(static_cast<int>(handedOut.size()), kNumbers);
    const std::set<std::uint32_t> unique(handedOut.begin(), handedOut.end());
    EXPECT_EQ(unique.size(), handedOut.size()) << "a number was handed out twice";
    for (std::uint32_t n : handedOut) EXPECT_LT(n, lineCounter);
    if (!crashed) break;  // the whole script ran without reaching the crash point
  }
  EXPECT_GT(crashPoint, 20) << "the script should cross many file steps";
}

}  // namespace
}  // namespace kx20
