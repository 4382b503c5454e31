// The checks of a station's journal against the line, without a server: each
// case is a journal and what the database says, and the check that must fail
// (with the words that tell the operator what to do), or pass.
#include "line/line_check.h"

#include <gtest/gtest.h>

#include <functional>

namespace kx20 {
namespace {

constexpr const char* kLine = "11111111111111111111111111111111";
constexpr const char* kOtherLine = "22222222222222222222222222222222";
constexpr const char* kInstance = "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
constexpr const char* kToken = "cccccccccccccccccccccccccccccccc";
constexpr const char* kPrevious = "dddddddddddddddddddddddddddddddd";

// A journal that has been on the line: one lease (take 7, 11 to 15, two
// used) and the next (take 9, 31 to 35); the last number seen is 35.
LeaseState Journal() {
  LeaseState j;
  j.station = "st1";
  j.lineId = kLine;
  j.instanceId = kInstance;
  j.home = {"bench-3", "/srv/st1"};
  j.startToken = kToken;
  j.previousToken = kPrevious;
  j.seen = 35;
  j.leases = {{11, 5, 2, 7}, {31, 5, 0, 9}};
  return j;
}

// What the line says when all is well.
LineFacts Facts() {
  LineFacts f;
  f.schemaVersion = kLineSchemaVersion;
  f.lineId = kLine;
  f.nextSerial = 36;
  f.ours = InstanceRecord{kInstance, "st1", "bench-3", "/srv/st1", kToken, "2026-12-08 09:00:00 UTC",
                          "", ""};
  f.takes = {{7, "st1", 11, 5, kInstance, false}, {9, "st1", 31, 5, kInstance, false}};
  return f;
}

struct Case {
  const char* name;
  std::function<void(LeaseState&, LineFacts&)> change;
  CheckWhen when;
  LineCheck failed;
  const char* words;  // in the message (a refusal says what to do)
};

TEST(LineCheck, EachMismatchIsRefusedByItsCheckWithWhatToDo) {
  const Case cases[] = {
      {"all well", [](LeaseState&, LineFacts&) {}, CheckWhen::kStart, LineCheck::kPassed, ""},
      {"all well, before a lease", [](LeaseState&, LineFacts&) {}, CheckWhen::kLease,
       LineCheck::kPassed, ""},
      {"no schema", [](LeaseState&, LineFacts& f) { f.schemaVersion = 0; }, CheckWhen::kStart,
       LineCheck::kSchema, "kx20ctl line init CONNINFO"},
      {"schema version 1", [](LeaseState&, LineFacts& f) { f.schemaVersion = 1; },
       CheckWhen::kStart, LineCheck::kSchema, "migrate it once with `kx20ctl line init"},
      {"schema version 2 (before what makes a disk traceable)",
       [](LeaseState&, LineFacts& f) { f.schemaVersion = 2; }, CheckWhen::kStart,
       LineCheck::kSchema, "has schema version 2, this station needs version 4; migrate it"},
      {"schema version 3 (before the hourly counts)",
       [](LeaseState&, LineFacts& f) { f.schemaVersion = 3; }, CheckWhen::kStart,
       LineCheck::kSchema, "has schema version 3, this station needs version 4; migrate it"},
      {"a newer schema", [](LeaseState&, LineFacts& f) { f.schemaVersion = 5; },
       CheckWhen::kStart, LineCheck::kSchema,
       "schema version 5, newer than this station knows (4); install the newer station"},
      {"another line's database", [](LeaseState&, LineFacts& f) { f.lineId = kOtherLine; },
       CheckWhen::kStart, LineCheck::kLine, "Point --line at line 1111"},
      {"another line's database, before a lease",
       [](LeaseState&, LineFacts& f) { f.lineId = kOtherLine; }, CheckWhen::kLease,
       LineCheck::kLine, "kx20ctl line release CONNINFO st1"},
      {"the name held by another journal",
       [](LeaseState&, LineFacts& f) {
         f.ours.reset();
         f.holder = InstanceRecord{"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", "st1", "bench-9", "/srv/x",
                                   "eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee", "2026-12-08 08:00:00 UTC",
                                   "", ""};
       },
       CheckWhen::kStart, LineCheck::kInstance, "host bench-9, work directory /srv/x"},
      {"this journal released",
       [](LeaseState&, LineFacts& f) {
         f.ours->releasedAt = "2026-12-08 10:00:00 UTC";
         f.ours->releasedBy = "kx20ctl ann@desk";
       },
       CheckWhen::kStart, LineCheck::kInstance, "remove serial_lease.journal"},
      {"another copy started since",
       [](LeaseState&, LineFacts& f) { f.ours->startToken = "ffffffffffffffffffffffffffffffff"; },
       CheckWhen::kStart, LineCheck::kInstance, "another copy of station \"st1\"'s journal"},
      {"a start cut off before its token reached the line",
       [](LeaseState&, LineFacts& f) { f.ours->startToken = kPrevious; }, CheckWhen::kStart,
       LineCheck::kPassed, ""},
      {"a later start of another copy, before a lease",
       [](LeaseState&, LineFacts& f) { f.ours->startToken = kPrevious; }, CheckWhen::kLease,
       LineCheck::kInstance, "Run only one"},
      {"instance unknown to a restored database",
       [](LeaseState&, LineFacts& f) { f.ours.reset(); }, CheckWhen::kStart,
       LineCheck::kInstance, "--next 36"},
      {"a lease the restored database does not have",
       [](LeaseState&, LineFacts& f) { f.takes.pop_back(); }, CheckWhen::kStart,
       LineCheck::kLease, "the database has no such take"},
      {"a lease that is another station's take",
       [](LeaseState&, LineFacts& f) { f.takes[0].station = "st2"; }, CheckWhen::kLease,
       LineCheck::kLease, "station \"st2\"'s"},
      {"a lease of another size",
       [](LeaseState&, LineFacts& f) { f.takes[1].count = 50; }, CheckWhen::kStart,
       LineCheck::kLease, "50 number(s) from 31"},
      {"a lease of another instance",
       [](LeaseState&, LineFacts& f) { f.takes[1].instanceId = "b"; }, CheckWhen::kStart,
       LineCheck::kLease, "another instance"},
      {"a lease written off",
       [](LeaseState&, LineFacts& f) { f.takes[1].writtenOff = true; }, CheckWhen::kLease,
       LineCheck::kLease, "written off"},
      {"a counter moved back", [](LeaseState&, LineFacts& f) { f.nextSerial = 5; },
       CheckWhen::kStart, LineCheck::kCounter, "not beyond 35"},
      {"a counter at the last number seen", [](LeaseState&, LineFacts& f) { f.nextSerial = 35; },
       CheckWhen::kLease, LineCheck::kCounter, "at least `kx20ctl line init CONNINFO --next 36`"},
      {"a counter across the wrap",
       [](LeaseState& j, LineFacts& f) {
         j.seen = 99999998;
         j.leases.clear();
         f.nextSerial = 4;
       },
       CheckWhen::kStart, LineCheck::kPassed, ""},
      {"a counter behind, across the wrap",
       [](LeaseState& j, LineFacts& f) {
         j.seen = 3;
         j.leases.clear();
         f.nextSerial = 99999990;
       },
       CheckWhen::kStart, LineCheck::kCounter, "not beyond 3"},
      {"a journal that has seen nothing",
       [](LeaseState& j, LineFacts& f) {
         j.seen = 0;
         j.leases.clear();
         f.nextSerial = 1;
       },
       CheckWhen::kStart, LineCheck::kPassed, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LeaseState journal = Journal();
    LineFacts facts = Facts();
    c.change(journal, facts);
    const CheckOutcome out = CheckJournalAgainstLine(journal, facts, c.when);
    EXPECT_EQ(out.failed, c.failed) << out.message;
    EXPECT_NE(out.message.find(c.words), std::string::npos) << out.message;
    if (c.failed != LineCheck::kPassed) {
      EXPECT_EQ(out.message.rfind("check of the ", 0), 0u) << "say which check failed";
      EXPECT_FALSE(out.registerInstance);
    }
  }
}

TEST(LineCheck, ANewJournalRegistersOnlyWhereTheNameIsFree) {
  LeaseState fresh = Journal();
  fresh.lineId.clear();
  fresh.previousToken.clear();
  fresh.leases.clear();
  fresh.seen = 0;
  LineFacts facts = Facts();
  facts.ours.reset();
  facts.takes.clear();
  const CheckOutcome out = CheckJournalAgainstLine(fresh, facts, CheckWhen::kStart);
  EXPECT_TRUE(out.Passed()) << out.message;
  EXPECT_TRUE(out.registerInstance);
  EXPECT_FALSE(CheckJournalAgainstLine(fresh, facts, CheckWhen::kLease).Passed())
      << "registering is for a start only";
  facts.holder = InstanceRecord{"b", "st1", "h", "/d", "t", "", "", ""};
  EXPECT_EQ(CheckJournalAgainstLine(fresh, facts, CheckWhen::kStart).failed, LineCheck::kInstance);
}

// An old journal's leases are matched to the one unclaimed take of this
// station with the same first number and size; anything else is refused.
TEST(LineCheck, AnOldJournalsLeasesAreMatchedToTheirTakesOrRefused) {
  LeaseState old = Journal();
  old.lineId.clear();
  old.previousToken.clear();
  old.leases = {{11, 5, 2, 0}};
  old.seen = 15;
  const TakeRecord mine{4, "st1", 11, 5, "", false};
  struct OldCase {
    const char* name;
    std::vector<TakeRecord> takes;
    bool passes;
  };
  const OldCase cases[] = {
      {"one match", {mine, {5, "st1", 21, 5, "", false}}, true},
      {"no take", {}, false},
      {"two matches", {mine, {6, "st1", 11, 5, "", false}}, false},
      {"claimed by an instance", {{4, "st1", 11, 5, "x", false}}, false},
      {"another station's", {{4, "st2", 11, 5, "", false}}, false},
      {"written off", {{4, "st1", 11, 5, "", true}}, false},
  };
  for (const OldCase& c : cases) {
    SCOPED_TRACE(c.name);
    LineFacts facts = Facts();
    facts.ours.reset();
    facts.nextSerial = 16;
    facts.takes = c.takes;
    const CheckOutcome out = CheckJournalAgainstLine(old, facts, CheckWhen::kStart);
    EXPECT_EQ(out.Passed(), c.passes) << out.message;
    if (c.passes) {
      EXPECT_TRUE(out.registerInstance);
      ASSERT_EQ(out.adopt.size(), 1u);
      EXPECT_EQ(out.adopt[0], (std::pair<std::size_t, std::uint64_t>{0, 4}));
    } else {
      EXPECT_EQ(out.failed, LineCheck::kLease);
      EXPECT_NE(out.message.find("old-format journal"), std::string::npos) << out.message;
    }
  }
}

TEST(LineCheck, AJournalFoundElsewhereIsACopy) {
  const LeaseState j = Journal();
  EXPECT_TRUE(CheckJournalHome(j, {"bench-3", "/srv/st1"}).Passed());
  for (const JournalHome& here :
       {JournalHome{"bench-4", "/srv/st1"}, JournalHome{"bench-3", "/srv/st1-copy"}}) {
    const CheckOutcome out = CheckJournalHome(j, here);
    EXPECT_EQ(out.failed, LineCheck::kHome);
    EXPECT_NE(out.message.find("made on host bench-3 in /srv/st1"), std::string::npos)
        << out.message;
    EXPECT_NE(out.message.find("kx20ctl line release CONNINFO st1"), std::string::npos);
  }
  LeaseState old = j;
  old.format = 1;
  EXPECT_TRUE(CheckJournalHome(old, {"elsewhere", "/x"}).Passed())
      << "an old journal does not know where it was made";
}

}  // namespace
}  // namespace kx20
