// The line station without a server: what an outage does to the serial step
// and the outbox. (tests/line/line_e2e.sh runs it against a real server.)
#include "line/line_station.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/config_temp_dir.h"

namespace kx20 {
namespace {

using testing::ConfigTempDir;

// A database that is not there (a socket directory that does not exist),
// through each link. (Without the PostgreSQL ODBC driver the ODBC one fails
// earlier, at the driver, which is an unreachable database too.)
const char* const kNoServers[] = {
    "host=/nonexistent-kx20 port=1 dbname=line connect_timeout=1",
    "Driver={PostgreSQL Unicode};Servername=/nonexistent-kx20;Port=1;Database=line",
};

LineOptions Options(const ConfigTempDir& dir, std::uint32_t lease,
                    const char* conninfo = kNoServers[0]) {
  LineOptions o;
  o.conninfo = conninfo;
  o.station = "st1";
  o.workDir = dir.Path().string();
  o.lease = lease;
  o.durability = Durability::kRelaxed;
  o.sendIntervalMs = 60000;
  return o;
}

TEST(LineStation, AnOutageRefusesNumbersUnlessTheLeaseHoldsSome) {
  struct Case {
    const char* name;
    std::uint32_t lease;
    const char* journal;  // nullptr: none
    std::vector<std::uint32_t> numbers;  // handed out before the refusal
  };
  const std::vector<Case> cases = {
      {"no lease", 0, nullptr, {}},
      {"lease used up", 3, "kx20 serial lease journal 1\nstation st1\nlease 500 3 3\nend\n", {}},
      {"lease with numbers", 3, "kx20 serial lease journal 1\nstation st1\nlease 99999998 3 1\nend\n",
       {99999999, 1}},
  };
  for (const char* conninfo : kNoServers) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " via " + conninfo);
      ConfigTempDir dir;
      if (c.journal != nullptr) ConfigTempDir::Write(dir.File(kLeaseJournalFileName), c.journal);
      std::string error;
      auto line = LineStation::Open(Options(dir, c.lease, conninfo), error);
      ASSERT_TRUE(line) << error;
      for (std::uint32_t expected : c.numbers) {
        std::uint32_t n = 0;
        std::string reason;
        ASSERT_TRUE(line->TakeSerial({'E', 1}, n, reason)) << reason;
        EXPECT_EQ(n, expected);
      }
      std::uint32_t n = 0;
      std::string reason;
      EXPECT_FALSE(line->TakeSerial({'E', 1}, n, reason));
      EXPECT_NE(reason.find("cannot be reached"), std::string::npos) << reason;
    }
  }
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
    VerdictEvent failure;
    failure.errorCode = "USBErr_RWTable";
    line->RecordVerdict(pass);
    line->RecordVerdict(failure);
    EXPECT_EQ(line->Flush(0), 2u);
  }
  auto again = LineStation::Open(Options(dir, 0), error);
  ASSERT_TRUE(again) << error;
  EXPECT_EQ(again->Waiting(), 2u);
  const auto rows = ParseOutbox(ConfigTempDir::Read(dir.File(kVerdictOutboxFileName)), error);
  ASSERT_TRUE(rows) << error;
  ASSERT_EQ(rows->size(), 2u);
  EXPECT_EQ((*rows)[0].serial, std::optional<std::uint32_t>(42));
  EXPECT_EQ((*rows)[0].result, "Pass");
  EXPECT_EQ((*rows)[1].serial, std::nullopt);
  EXPECT_EQ((*rows)[1].errorCode, "USBErr_RWTable");
  EXPECT_NE((*rows)[0].recordKey, (*rows)[1].recordKey);
}

TEST(LineStation, SaysWhetherItsDatabaseAnswers) {
  ConfigTempDir dir;
  std::string error;
  // A station that does not look by itself: not asked until a step asks.
  auto quiet = LineStation::Open(Options(dir, 0), error);
  ASSERT_TRUE(quiet) << error;
  EXPECT_FALSE(quiet->State().asked);
  std::uint32_t n = 0;
  std::string reason;
  EXPECT_FALSE(quiet->TakeSerial({'E', 1}, n, reason));
  EXPECT_TRUE(quiet->State().asked);
  EXPECT_FALSE(quiet->State().answering);
  quiet.reset();
  // A watching one looks at once, and counts what waits in its outbox.
  ConfigTempDir other;
  LineOptions o = Options(other, 0);
  o.lookIntervalMs = 50;
  auto watching = LineStation::Open(o, error);
  ASSERT_TRUE(watching) << error;
  VerdictEvent failure;
  failure.errorCode = "USBErr_RWTable";
  watching->RecordVerdict(failure);
  for (int i = 0; i < 200 && !watching->State().asked; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const LineStation::DatabaseState state = watching->State();
  EXPECT_TRUE(state.asked);
  EXPECT_FALSE(state.answering);
  EXPECT_EQ(state.waiting, 1u);
}

TEST(LineStation, RefusesBadStationNamesAndForeignJournals) {
  ConfigTempDir dir;
  std::string error;
  for (const char* name : {"", "two words", "tab\tname", "a/b"}) {
    LineOptions o = Options(dir, 0);
    o.station = name;
    EXPECT_FALSE(LineStation::Open(o, error)) << name;
  }
  ConfigTempDir::Write(dir.File(kLeaseJournalFileName),
                       "kx20 serial lease journal 1\nstation st9\nlease 5 3 0\nend\n");
  EXPECT_FALSE(LineStation::Open(Options(dir, 3), error));
  EXPECT_NE(error.find("st9"), std::string::npos) << error;
}

}  // namespace
}  // namespace kx20
