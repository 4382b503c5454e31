#include "line/lease_journal.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "support/crash_file_system.h"

namespace kx20 {
namespace {

using testing::CrashFileSystem;

constexpr const char* kPath = "/st/serial_lease.journal";
const JournalHome kHome{"bench-3", "/srv/line/st1"};

// A journal of this format with every field set; host and directory hold
// the characters that must be escaped.
LeaseState FullState() {
  LeaseState s;
  s.station = "st1";
  s.lineId = "0123456789abcdef0123456789abcdef";
  s.instanceId = "fedcba9876543210fedcba9876543210";
  s.home = {"bench 3\ttab", "/srv/line\\one\nst1"};
  s.startToken = "00000000000000000000000000000001";
  s.previousToken = "00000000000000000000000000000002";
  s.seen = 24;
  s.leases = {{10, 5, 2, 7}, {20, 5, 0, 9}};
  s.handOuts = {{11, 7, 3, 'G', "2026-12-08 10:00:09.500+00"}};
  return s;
}

TEST(LeaseJournal, NumbersWrapAfterTheLargest) {
  const Lease s{99999998, 4, 0};
  EXPECT_EQ(s.NumberAt(0), 99999998u);
  EXPECT_EQ(s.NumberAt(1), 99999999u);
  EXPECT_EQ(s.NumberAt(2), 1u);
  EXPECT_EQ(s.NumberAt(3), 2u);
  EXPECT_EQ(s.Last(), 2u);
  EXPECT_EQ(SerialAfter(99999999), 1u);
  EXPECT_EQ(SerialAfter(41), 42u);
}

TEST(LeaseJournal, TheCounterIsBeyondASeenNumberOnlyAheadOfItAcrossTheWrap) {
  struct Case {
    std::uint32_t next, seen;
    bool beyond;
  };
  const Case cases[] = {
      {21, 20, true},             // the next one
      {5000, 20, true},           // other stations took numbers since
      {20, 20, false},            // the last number seen would come again
      {5, 20, false},             // moved back
      {1, 99999999, true},        // the wrap
      {3, 99999990, true},        // across the wrap
      {99999990, 3, false},       // behind, across the wrap
      {50000019, 20, true},       // half the range ahead: still beyond
      {50000020, 20, false},      // more than half ahead: taken for behind
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.next) + " after " + std::to_string(c.seen));
    EXPECT_EQ(SerialIsBeyond(c.next, c.seen), c.beyond);
  }
}

TEST(LeaseJournal, TheTextRoundTripsEveryField) {
  const LeaseState s = FullState();
  std::string error;
  const auto back = LeaseState::Parse(s.Format(), error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->format, 2);
  EXPECT_EQ(back->station, s.station);
  EXPECT_EQ(back->lineId, s.lineId);
  EXPECT_EQ(back->instanceId, s.instanceId);
  EXPECT_EQ(back->home, s.home);
  EXPECT_EQ(back->startToken, s.startToken);
  EXPECT_EQ(back->previousToken, s.previousToken);
  EXPECT_EQ(back->seen, s.seen);
  EXPECT_EQ(back->leases, s.leases);
  EXPECT_EQ(back->handOuts, s.handOuts);

  // Not yet checked against a line: no line id, no previous token, and
  // leases of an old journal that are not matched to their takes yet.
  LeaseState fresh = s;
  fresh.lineId.clear();
  fresh.previousToken.clear();
  fresh.leases = {{10, 5, 2, 0}};
  fresh.handOuts.clear();
  const auto freshBack = LeaseState::Parse(fresh.Format(), error);
  ASSERT_TRUE(freshBack) << error;
  EXPECT_TRUE(freshBack->lineId.empty());
  EXPECT_TRUE(freshBack->previousToken.empty());
  EXPECT_EQ(freshBack->leases, fresh.leases);
}

// A journal of the old format is read as such, never taken for the new one:
// no line, no instance, its leases without take ids, the last lease's end as
// the last number seen.
TEST(LeaseJournal, ReadsTheOldFormatAsOld) {
  std::string error;
  const auto old = LeaseState::Parse(
      "kx20 serial lease journal 1\nstation st1\nlease 10 5 2\nlease 99999998 3 0\nend\n", error);
  ASSERT_TRUE(old) << error;
  EXPECT_EQ(old->format, 1);
  EXPECT_EQ(old->station, "st1");
  EXPECT_TRUE(old->lineId.empty());
  EXPECT_TRUE(old->instanceId.empty());
  EXPECT_EQ(old->leases, (std::vector<Lease>{{10, 5, 2, 0}, {99999998, 3, 0, 0}}));
  EXPECT_EQ(old->seen, 1u);
  EXPECT_EQ(old->Remaining(), 6u);
}

TEST(LeaseJournal, RefusesDamagedText) {
  const std::string good = FullState().Format();
  std::string error;
  ASSERT_TRUE(LeaseState::Parse(good, error)) << error;
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string s = good;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  const std::vector<std::string> damaged = {
      "",
      good.substr(0, good.size() - 4),  // torn before "end"
      "kx20 serial lease journal 1\nstation st1\nlease 10 5 6\nend\n",   // used > count
      "kx20 serial lease journal 1\nstation st1\nlease 0 5 0\nend\n",    // no number 0
      "kx20 serial lease journal 1\nstation st1\nlease 10 5\nend\n",
      "kx20 serial lease journal 1\nstation st1\nlease 10 5 2 1\nend\n",
      "kx20 serial lease journal 1\nstation st1\nlease 1x 5 2\nend\n",
      "kx20 serial lease journal 1\nstation st1\nlease 100000000 5 2\nend\n",
      "kx20 serial lease journal 1\nstation st1\nlease 1 1 0\nlease 2 1 0\nlease 3 1 0\nend\n",
      "kx20 serial lease journal 1\nstation st1\nlease 10 0 0\nend\n",  // empty lease
      good + "lease 1 1 0 3\n",                              // after the end
      replaced("line 0123", "line x123"),                    // not an id
      replaced("instance fedc", "instance "),                // no instance
      replaced("seen 24", "seen 100000000"),
      replaced("seen 24\n", ""),                             // a header line missing
      replaced("start 0000", "start 0000 0000"),
      replaced("lease 10 5 2 7", "lease 10 5 2 0"),          // checked line, lease without take
      replaced("lease 10 5 2 7", "lease 10 5 7 7"),          // used > count
      replaced("lease 20 5 0 9\n", "lease 20 5 0 9\nlease 30 5 0 11\n"),  // three leases
      replaced("handout 11 7 3 G", "handout 11 7 3 GH"),
      replaced("handout 11 7 3 G", "handout 0 7 3 G"),
      replaced("handout 11 7 3 G 2026-12-08 10:00:09.500+00", "handout 11 7 3 G"),
      replaced("directory /srv", "directory \\q/srv"),      // a bad escape
  };
  for (const std::string& text : damaged) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(LeaseState::Parse(text, error));
  }
  // A newer station's journal says so instead of being taken for damage.
  EXPECT_FALSE(LeaseState::Parse("kx20 serial lease journal 3\nstation st1\nend\n", error));
  EXPECT_NE(error.find("another format"), std::string::npos) << error;
}

TEST(LeaseJournal, RefusesAJournalOfAnotherStationOrADamagedOne) {
  LeaseState other = FullState();
  other.station = "other";
  for (const std::string& text : {other.Format(), std::string("kx20 serial lease journal 2\n")}) {
    CrashFileSystem fs;
    fs.Put(kPath, text);
    LeaseJournal journal(fs, kPath, "st1");
    std::string error;
    EXPECT_FALSE(journal.Load(error));
    std::uint32_t n = 0;
    EXPECT_FALSE(journal.Take(n, error));
    EXPECT_FALSE(journal.AddLease(100, 5, 1, error));
    EXPECT_FALSE(journal.Create(kHome, error)) << "a damaged journal is never replaced";
    std::string after;
    ASSERT_TRUE(fs.ReadFile(kPath, after));
    EXPECT_EQ(after, text) << "a damaged journal is left for the operator";
  }
}

// A journal whose file is there but cannot be read is not taken for a
// missing one: a fresh journal would forget its leases and its instance.
TEST(LeaseJournal, AJournalThatCannotBeReadIsNotTakenForNone) {
  class Unreadable final : public FileSystem {
   public:
    explicit Unreadable(CrashFileSystem& fs) : fs_(fs) {}
    ReadOutcome ReadContents(const std::string& path, std::string& contents,
                             std::string* failure) override {
      contents.clear();
      std::string ignored;
      if (!fs_.ReadFile(path, ignored)) return ReadOutcome::kMissing;
      if (failure != nullptr) *failure = "input/output error";
      return ReadOutcome::kFailed;
    }
    bool IsReadOnly(const std::string& path) override { return fs_.IsReadOnly(path); }
    FileOpResult CreateNewFile(const std::string& path, std::string_view contents, bool flush,
                               const std::string& likeFile) override {
      return fs_.CreateNewFile(path, contents, flush, likeFile);
    }
    FileOpResult Rename(const std::string& from, const std::string& to) override {
      return fs_.Rename(from, to);
    }
    FileOpResult SyncRename(const std::string& path) override { return fs_.SyncRename(path); }
    FileOpResult Remove(const std::string& path) override { return fs_.Remove(path); }
    std::vector<std::string> ListDirectory(const std::string& directory) override {
      return fs_.ListDirectory(directory);
    }
    FileOpResult Append(const std::string& path, std::string_view data, bool flush) override {
      return fs_.Append(path, data, flush);
    }

   private:
    CrashFileSystem& fs_;
  };
  CrashFileSystem fs;
  Unreadable unreadable(fs);
  std::string error;
  LeaseJournal missing(unreadable, kPath, "st1");
  EXPECT_TRUE(missing.Load(error)) << "no file: no journal yet";
  EXPECT_FALSE(missing.Exists());
  fs.Put(kPath, FullState().Format());
  LeaseJournal journal(unreadable, kPath, "st1");
  EXPECT_FALSE(journal.Load(error));
  EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;
  EXPECT_FALSE(journal.Create(kHome, error));
  std::string after;
  ASSERT_TRUE(fs.ReadFile(kPath, after));
  EXPECT_EQ(after, FullState().Format());
}

TEST(LeaseJournal, ANewJournalIsANewInstanceMadeHere) {
  CrashFileSystem fs;
  LeaseJournal journal(fs, kPath, "st1");
  std::string error;
  ASSERT_TRUE(journal.Load(error)) << error;
  EXPECT_FALSE(journal.Exists());
  ASSERT_TRUE(journal.Create(kHome, error)) << error;
  LeaseJournal again(fs, kPath, "st1");
  ASSERT_TRUE(again.Load(error)) << error;
  ASSERT_TRUE(again.Exists());
  EXPECT_EQ(again.State().home, kHome);
  EXPECT_EQ(again.State().instanceId.size(), 32u);
  EXPECT_TRUE(again.State().lineId.empty());
  LeaseJournal second(fs, "/st2/serial_lease.journal", "st1");
  ASSERT_TRUE(second.Load(error));
  ASSERT_TRUE(second.Create(kHome, error));
  EXPECT_NE(second.State().instanceId, again.State().instanceId);
  EXPECT_NE(second.State().startToken, again.State().startToken);
}

TEST(LeaseJournal, HandsOutLeasesInOrderWithTheirHandOutsAndHoldsAtMostTwo) {
  CrashFileSystem fs;
  LeaseJournal journal(fs, kPath, "st1");
  std::string error;
  ASSERT_TRUE(journal.Load(error));
  ASSERT_TRUE(journal.Create(kHome, error));
  LeaseState bound = journal.State();
  bound.lineId = "0123456789abcdef0123456789abcdef";
  ASSERT_TRUE(journal.Update(bound, error)) << error;
  std::uint32_t n = 0;
  EXPECT_FALSE(journal.Take(n, error)) << "no lease yet";
  ASSERT_TRUE(journal.AddLease(99999999, 2, 4, error)) << error;
  EXPECT_EQ(journal.State().seen, 1u);
  ASSERT_TRUE(journal.AddLease(500, 2, 6, error)) << "the next lease, ahead of time";
  EXPECT_EQ(journal.State().seen, 501u);
  EXPECT_FALSE(journal.AddLease(700, 2, 8, error)) << "a third is refused";
  EXPECT_EQ(journal.NextLease()->takeId, 4u);

  // A hand-out is in the journal's file before the number is returned.
  HandOut h;
  h.slot = 3;
  h.driveLetter = 'G';
  h.at = "2026-12-08 10:00:09.500+00";
  ASSERT_TRUE(journal.Take(h, error)) << error;
  EXPECT_EQ(h.serial, 99999999u);
  EXPECT_EQ(h.takeId, 4u);
  std::string text;
  ASSERT_TRUE(fs.ReadFile(kPath, text));
  EXPECT_NE(text.find("handout 99999999 4 3 G 2026-12-08 10:00:09.500+00\n"), std::string::npos)
      << text;
  // Forgotten once the outbox has it: dropped at the next write.
  journal.ForgetHandOut(h.serial, h.takeId);
  std::vector<std::uint32_t> got{h.serial};
  while (journal.Take(n, error)) got.push_back(n);
  EXPECT_EQ(got, (std::vector<std::uint32_t>{99999999, 1, 500, 501}));
  ASSERT_TRUE(fs.ReadFile(kPath, text));
  EXPECT_EQ(text.find("handout 99999999"), std::string::npos) << text;
  // What a restart finds: nothing left, and room for new leases.
  LeaseJournal again(fs, kPath, "st1");
  ASSERT_TRUE(again.Load(error)) << error;
  EXPECT_EQ(again.Remaining(), 0u);
  EXPECT_TRUE(again.AddLease(900, 2, 10, error)) << error;
}

TEST(LeaseJournal, NoNumberComesFromAJournalNotYetCheckedAgainstTheLine) {
  for (const char* text :
       {"kx20 serial lease journal 1\nstation st1\nlease 10 5 2\nend\n",
        "kx20 serial lease journal 2\nstation st1\nline -\n"
        "instance fedcba9876543210fedcba9876543210\nhost h\ndirectory /d\n"
        "start 00000000000000000000000000000001 -\nseen 14\nlease 10 5 2 0\nend\n"}) {
    SCOPED_TRACE(text);
    CrashFileSystem fs;
    fs.Put(kPath, text);
    LeaseJournal journal(fs, kPath, "st1");
    std::string error;
    ASSERT_TRUE(journal.Load(error)) << error;
    EXPECT_EQ(journal.Remaining(), 3u);
    std::uint32_t n = 0;
    EXPECT_FALSE(journal.Take(n, error));
    EXPECT_NE(error.find("not been checked"), std::string::npos) << error;
  }
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
    std::uint64_t takes = 0;
    std::vector<std::uint32_t> handedOut;
    bool crashed = false;

    const auto run = [&](int wanted) {
      LeaseJournal journal(fs, kPath, "st1");
      std::string error;
      if (!journal.Load(error)) return;
      if (!journal.Exists()) {
        if (!journal.Create(kHome, error)) return;
      }
      if (journal.State().lineId.empty()) {
        LeaseState bound = journal.State();
        bound.lineId = "0123456789abcdef0123456789abcdef";
        if (!journal.Update(bound, error)) return;
      }
      while (static_cast<int>(handedOut.size()) < wanted) {
        // A new lease when one number is left (ahead of time) or none.
        if (journal.Remaining() <= 1) {
          const std::uint32_t first = lineCounter;  // committed in the database
          lineCounter += kLease;
          if (!journal.AddLease(first, kLease, ++takes, error)) return;
        }
        HandOut h;
        h.at = "2026-12-08 10:00:00.000+00";
        if (!journal.Take(h, error)) return;
        handedOut.push_back(h.serial);
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
