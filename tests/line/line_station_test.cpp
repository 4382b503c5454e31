// The line station without a server: what it does with its work directory
// before the line answers, and what an outage does to the serial step and
// the outbox. (tests/line/line_e2e.sh runs it against a real server.)
#include "line/line_station.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "support/config_temp_dir.h"

namespace kx20 {
namespace {

using testing::ConfigTempDir;

// A database that is not there (a socket directory that does not exist),
// through each link. (Without the PostgreSQL ODBC driver the ODBC one fails
// earlier, at the driver, which is an unreachable database too.)
constexpr const char* kNoServers[] = {
    "host=/nonexistent-kx20 port=1 dbname=line connect_timeout=1",
    "Driver={PostgreSQL Unicode};Servername=/nonexistent-kx20;Port=1;Database=line",
};
constexpr const char* kNoServer = kNoServers[0];

LineOptions Options(const ConfigTempDir& dir, std::uint32_t lease,
                    const char* conninfo = kNoServer) {
  LineOptions o;
  o.conninfo = conninfo;
  o.station = "st1";
  o.workDir = dir.Path().string();
  o.lease = lease;
  o.durability = Durability::kRelaxed;
  o.sendIntervalMs = 60000;
  return o;
}

// A journal of this format that has been on a line, made in `dir` on this
// host, with the leases given.
std::string CheckedJournal(const ConfigTempDir& dir, const std::string& leases,
                           const std::string& host = "") {
  LeaseState j;
  j.station = "st1";
  j.lineId = "11111111111111111111111111111111";
  j.instanceId = "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa";
  j.home = HomeOf(dir.Path().string());
  if (!host.empty()) j.home.host = host;
  j.startToken = "cccccccccccccccccccccccccccccccc";
  j.seen = 99999999;
  std::string error;
  std::string text = j.Format();
  text.insert(text.rfind("end\n"), leases);
  return text;
}

// With the line out of reach a station starts, but hands out no number
// before its journal has been checked against the line, whatever its leases
// hold; the work directory is marked as a line's all the same.
TEST(LineStation, NoNumberIsHandedOutBeforeTheJournalIsChecked) {
  struct Case {
    const char* name;
    std::uint32_t lease;
    bool journal;  // a checked journal with unused leased numbers
  };
  const Case cases[] = {
      {"no lease, new journal", 0, false},
      {"lease, new journal", 3, false},
      {"lease with numbers", 3, true},
  };
  for (const char* conninfo : kNoServers) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " via " + conninfo);
      ConfigTempDir dir;
      if (c.journal) {
        ConfigTempDir::Write(dir.File(kLeaseJournalFileName),
                             CheckedJournal(dir, "lease 99999998 3 1 5\n"));
      }
      std::vector<std::string> notices;
      LineOptions options = Options(dir, c.lease, conninfo);
      options.notify = [&](const std::string& text) { notices.push_back(text); };
      std::string error;
      auto line = LineStation::Open(options, error);
      ASSERT_TRUE(line) << error;
      EXPECT_FALSE(line->Checked());
      ASSERT_FALSE(notices.empty());
      EXPECT_NE(notices[0].find("checked against the line before the first serial number"),
                std::string::npos)
          << notices[0];
      std::uint32_t n = 0;
      std::string reason;
      EXPECT_FALSE(line->TakeSerial({'E', 1}, n, reason));
      EXPECT_NE(reason.find("cannot be reached"), std::string::npos) << reason;
      EXPECT_NE(reason.find("not been checked against the line yet"), std::string::npos) << reason;

      const std::string marker = ConfigTempDir::Read(dir.File(kLineMarkerFileName));
      EXPECT_EQ(marker.rfind("kx20 line work directory\nstation st1\n", 0), 0u) << marker;
      std::string why;
      const auto journal = LeaseState::Parse(ConfigTempDir::Read(dir.File(kLeaseJournalFileName)), why);
      ASSERT_TRUE(journal) << why;
      EXPECT_NE(marker.find("instance " + journal->instanceId), std::string::npos);
      if (c.journal) {
        EXPECT_EQ(journal->leases.at(0).used, 1u) << "nothing was taken from the lease";
        EXPECT_NE(marker.find("line 11111111111111111111111111111111"), std::string::npos);
      }
    }
  }
}

TEST(LineStation, SaysWhetherItsDatabaseAnswers) {
  ConfigTempDir dir;
  std::string error;
  // The start check asks at once; a station that does not watch asks no more.
  auto quiet = LineStation::Open(Options(dir, 0), error);
  ASSERT_TRUE(quiet) << error;
  EXPECT_TRUE(quiet->State().asked);
  EXPECT_FALSE(quiet->State().answering);
  quiet.reset();
  // A watching one keeps asking, and counts what waits in its outbox.
  ConfigTempDir other;
  LineOptions o = Options(other, 0);
  o.lookIntervalMs = 50;
  auto watching = LineStation::Open(o, error);
  ASSERT_TRUE(watching) << error;
  VerdictEvent failure;
  failure.errorCode = "USBErr_RWTable";
  watching->RecordVerdict(failure);
  const LineStation::DatabaseState state = watching->State();
  EXPECT_TRUE(state.asked);
  EXPECT_FALSE(state.answering);
  EXPECT_EQ(state.waiting, 1u);
}

TEST(LineStation, VerdictsWaitInTheOutboxAcrossARestart) {
  ConfigTempDir dir;
  std::string error;
  {
    auto line = LineStation::Open(Options(dir, 0), error);
    ASSERT_TRUE(line) << error;
    VerdictEvent pass;
    pass.driveLetter = 'F';
    pass.slot = 2;
    pass.passed = true;
    pass.serialNumber = 42;
    VerdictEvent afterTable;  // a failure after the table was written
    afterTable.driveLetter = 'G';
    afterTable.slot = 3;
    afterTable.serialNumber = 43;
    afterTable.errorCode = "USBErr_RW_Compare";
    VerdictEvent cutOff;
    cutOff.driveLetter = 'H';
    cutOff.slot = 4;
    cutOff.serialNumber = 44;
    cutOff.errorCode = "USBErr_Pnf";
    cutOff.cutOff = true;
    VerdictEvent failure;
    failure.errorCode = "USBErr_RWTable";
    EXPECT_TRUE(line->RecordVerdict(pass));
    EXPECT_TRUE(line->RecordVerdict(afterTable));
    EXPECT_TRUE(line->RecordVerdict(cutOff));
    EXPECT_TRUE(line->RecordVerdict(failure));
    EXPECT_EQ(line->Flush(0), 4u);
  }
  auto again = LineStation::Open(Options(dir, 0), error);
  ASSERT_TRUE(again) << error;
  EXPECT_EQ(again->Waiting(), 4u);
  const auto records = ParseOutbox(ConfigTempDir::Read(dir.File(kVerdictOutboxFileName)), error);
  ASSERT_TRUE(records) << error;
  ASSERT_EQ(records->size(), 4u);
  const auto row = [&](std::size_t i) { return std::get<VerdictRow>((*records)[i]); };
  EXPECT_EQ(row(0).serial, std::optional<std::uint32_t>(42));
  EXPECT_EQ(row(0).result, "Pass");
  EXPECT_EQ(row(1).serial, std::optional<std::uint32_t>(43));
  EXPECT_EQ(row(1).result, "FAIL");
  EXPECT_FALSE(row(1).cutOff);
  EXPECT_EQ(row(2).serial, std::optional<std::uint32_t>(44));
  EXPECT_TRUE(row(2).cutOff);
  EXPECT_EQ(row(2).errorCode, "USBErr_Pnf");
  EXPECT_EQ(row(3).serial, std::nullopt);
  EXPECT_EQ(row(3).errorCode, "USBErr_RWTable");
  EXPECT_NE(row(0).recordKey, row(1).recordKey);
  EXPECT_FALSE(row(0).instanceId.empty());
}

TEST(LineStation, RefusesBadNamesAndForeignCopiedOrDamagedJournals) {
  std::string error;
  {
    ConfigTempDir dir;
    for (const char* name : {"", "two words", "tab\tname", "a/b"}) {
      LineOptions o = Options(dir, 0);
      o.station = name;
      EXPECT_FALSE(LineStation::Open(o, error)) << name;
    }
  }
  struct Case {
    const char* name;
    std::function<void(const ConfigTempDir&)> prepare;
    const char* words;
  };
  const Case cases[] = {
      {"another station's journal",
       [](const ConfigTempDir& dir) {
         ConfigTempDir::Write(dir.File(kLeaseJournalFileName),
                              "kx20 serial lease journal 1\nstation st9\nlease 5 3 0\nend\n");
       },
       "st9"},
      {"a journal copied from another host",
       [](const ConfigTempDir& dir) {
         ConfigTempDir::Write(dir.File(kLeaseJournalFileName),
                              CheckedJournal(dir, "lease 5 3 0 4\n", "bench-far-away"));
       },
       "made on host bench-far-away"},
      {"a damaged journal",
       [](const ConfigTempDir& dir) {
         ConfigTempDir::Write(dir.File(kLeaseJournalFileName), "kx20 serial lease journal 2\n");
       },
       "damaged"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigTempDir dir;
    c.prepare(dir);
    EXPECT_FALSE(LineStation::Open(Options(dir, 3), error));
    EXPECT_NE(error.find(c.words), std::string::npos) << error;
  }
}

// An old journal becomes an instance of its own before the line is asked
// anything; its leases keep their numbers and wait to be matched to their
// takes.
TEST(LineStation, AnOldJournalIsTakenOverWithItsLeases) {
  ConfigTempDir dir;
  ConfigTempDir::Write(dir.File(kLeaseJournalFileName),
                       "kx20 serial lease journal 1\nstation st1\nlease 10 5 2\nend\n");
  std::string error;
  auto line = LineStation::Open(Options(dir, 5), error);
  ASSERT_TRUE(line) << error;
  std::string why;
  const auto journal = LeaseState::Parse(ConfigTempDir::Read(dir.File(kLeaseJournalFileName)), why);
  ASSERT_TRUE(journal) << why;
  EXPECT_EQ(journal->format, 2);
  EXPECT_EQ(journal->instanceId.size(), 32u);
  EXPECT_TRUE(journal->lineId.empty());
  EXPECT_EQ(journal->home, HomeOf(dir.Path().string()));
  EXPECT_EQ(journal->leases, (std::vector<Lease>{{10, 5, 2, 0}}));
  EXPECT_EQ(journal->seen, 14u);
}

// A verdict the outbox cannot take (its file cannot be replaced) is reported
// as not recorded, so the station never shows that disk as passed.
TEST(LineStation, AVerdictTheOutboxCannotTakeIsNotRecorded) {
  ConfigTempDir dir;
  std::string error;
  auto line = LineStation::Open(Options(dir, 0), error);
  ASSERT_TRUE(line) << error;
  std::filesystem::remove(dir.File(kVerdictOutboxFileName));
  std::filesystem::create_directory(dir.File(kVerdictOutboxFileName));
  VerdictEvent pass;
  pass.driveLetter = 'E';
  pass.slot = 1;
  pass.passed = true;
  pass.serialNumber = 7;
  EXPECT_FALSE(line->RecordVerdict(pass));
}

}  // namespace
}  // namespace kx20
