// The line station against a real server, through both links: what the
// station role may do (a whole batch of takes and verdicts, through the
// line's functions) and may not (change the counter or a verdict itself),
// what the report role may do, a record the database refuses, and the exit
// flush's deadline. Run by the ctest kx20_line_links, which starts the server
// (tests/pg/pg_cluster.sh) and names it in KX20_TEST_LINE_PQ and
// KX20_TEST_LINE_ODBC; skipped without one.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <glob.h>

#include "line/lease_journal.h"
#include "line/line_link.h"
#include "line/line_schema.h"
#include "line/line_station.h"
#include "support/config_temp_dir.h"

namespace kx20 {
namespace {

using testing::ConfigTempDir;
using Clock = std::chrono::steady_clock;

bool UseOdbcDriver() {
  static const bool ready = [] {
    glob_t found{};
    std::string driver;
    if (glob("/usr/lib/*/odbc/psqlodbcw.so", 0, nullptr, &found) == 0 && found.gl_pathc > 0) {
      driver = found.gl_pathv[0];
    }
    globfree(&found);
    if (driver.empty()) return false;
    static ConfigTempDir dir;
    ConfigTempDir::Write(dir.File("odbcinst.ini"), "[PostgreSQL Unicode]\nDriver=" + driver + "\n");
    ConfigTempDir::Write(dir.File("odbc.ini"), "");
    setenv("ODBCSYSINI", dir.Path().c_str(), 1);
    return true;
  }();
  return ready;
}

class LineServer : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* pq = std::getenv("KX20_TEST_LINE_PQ");
    const char* odbc = std::getenv("KX20_TEST_LINE_ODBC");
    if (pq == nullptr || *pq == '\0' || odbc == nullptr || *odbc == '\0') {
      GTEST_SKIP() << "no test server (the ctest kx20_line_links starts one)";
    }
    if (!UseOdbcDriver()) GTEST_SKIP() << "the PostgreSQL ODBC driver is not installed";
    pq_ = pq;
    odbc_ = odbc;
    owner_ = OpenLineLink(pq_, 3, 30000);
    LineInitOptions init;
    std::string message;
    ASSERT_TRUE(InitLineSchema(*owner_, init, message)) << message;
    Sql("DO $$ BEGIN "
        "IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'st_login') THEN "
        "CREATE ROLE st_login LOGIN IN ROLE kx20_station; END IF; "
        "IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'rep_login') THEN "
        "CREATE ROLE rep_login LOGIN IN ROLE kx20_report; END IF; END $$");
  }

  // The connection string of each link as the login `user`.
  std::vector<std::pair<std::string, std::string>> As(const std::string& user) const {
    return {{"libpq", pq_ + " user=" + user}, {"ODBC", odbc_ + ";Username=" + user}};
  }

  PgResult Sql(const std::string& sql, const std::vector<std::optional<std::string>>& params = {}) {
    PgResult r;
    std::string error;
    EXPECT_TRUE(owner_->Exec(sql, params, &r, error)) << sql << ": " << error;
    return r;
  }
  std::string One(const std::string& sql, const std::vector<std::optional<std::string>>& params = {}) {
    const PgResult r = Sql(sql, params);
    return r.rows.empty() || r.rows[0].empty() ? "" : r.rows[0][0].value_or("NULL");
  }

  LineOptions Station(const ConfigTempDir& dir, const std::string& conninfo,
                      const std::string& name) const {
    LineOptions o;
    o.conninfo = conninfo;
    o.station = name;
    o.workDir = dir.Path().string();
    o.durability = Durability::kRelaxed;
    o.sendIntervalMs = 60000;
    return o;
  }

  std::string pq_;
  std::string odbc_;
  std::unique_ptr<LineLink> owner_;
};

// A station name of its own for each run against the server.
std::string Unique(const std::string& name) { return name + "-" + NewRandomId().substr(0, 8); }

VerdictEvent Verdict(int slot, std::uint32_t serial, bool passed) {
  VerdictEvent e;
  e.slot = slot;
  e.driveLetter = static_cast<char>('D' + slot);
  e.passed = passed;
  e.serialNumber = serial;
  e.capacitySectors = 262144;
  e.errorCode = passed ? "" : "USBErr_RW_Compare";
  e.startedUtc = CalendarTime{2026, 12, 9, 3, 10, 0, 0, 125};
  e.finishedUtc = CalendarTime{2026, 12, 9, 3, 10, 0, 9, 500};
  e.lot = "L1";
  e.operatorName = "OP-07";
  e.softwareVersion = "1.4.0";
  e.recipeId = "9f2c0a11";
  if (slot == 2) e.previousSerial = 77;
  e.failedStep = passed ? "" : "rw_test";
  e.steps = {{"erase", CalendarTime{2026, 12, 9, 3, 10, 0, 1, 0}, 812},
             {"rw_test", CalendarTime{2026, 12, 9, 3, 10, 0, 2, 0}, 4100}};
  e.rwWriteMBps = 21.5;
  e.rwReadMBps = 30.25;
  if (passed) e.imageWriteMBps = 18.0;
  return e;
}

// A station whose login is only in the station role runs a whole batch
// (the start check, a take per disk, the verdicts with everything that makes
// them traceable) through each link; the same login cannot change the
// counter, write a verdict, read one or release a station by itself.
TEST_F(LineServer, TheStationRoleRunsABatchButChangesNothingDirectly) {
  for (const auto& [kind, conninfo] : As("st_login")) {
    SCOPED_TRACE(kind);
    const std::string name = Unique(kind == "libpq" ? "rights-pq" : "rights-odbc");
    ConfigTempDir dir;
    std::string error;
    auto line = LineStation::Open(Station(dir, conninfo, name), error);
    ASSERT_TRUE(line) << error;
    ASSERT_TRUE(line->Checked());
    std::vector<std::uint32_t> numbers;
    for (int slot = 1; slot <= 3; ++slot) {
      std::uint32_t n = 0;
      std::string reason;
      ASSERT_TRUE(line->TakeSerial({static_cast<char>('D' + slot), slot}, n, reason)) << reason;
      numbers.push_back(n);
      ASSERT_TRUE(line->RecordVerdict(Verdict(slot, n, slot != 3)));
    }
    EXPECT_EQ(line->Flush(10000), 0u);
    EXPECT_EQ(line->Refused(), 0u);
    line.reset();

    EXPECT_EQ(One("SELECT count(*) FROM kx20.serial_takes WHERE station = $1 AND slot IS NOT NULL",
                  {name}),
              "3");
    const PgResult rows = Sql(
        "SELECT slot, serial, issued_serial, lot, operator, software_version, recipe_id, "
        "coalesce(previous_serial::text, '-'), coalesce(failed_step, '-'), "
        "jsonb_array_length(steps), steps->1->>'step', steps->0->>'start', steps->1->>'ms', "
        "rw_write_mbps, rw_read_mbps, coalesce(image_write_mbps::text, '-'), host IS NOT NULL "
        "FROM kx20.verdicts WHERE station = $1 ORDER BY slot",
        {name});
    ASSERT_EQ(rows.rows.size(), 3u);
    using Row = std::vector<std::optional<std::string>>;
    const std::string n1 = std::to_string(numbers[0]);
    EXPECT_EQ(rows.rows[0], (Row{"1", n1, n1, "L1", "OP-07", "1.4.0", "9f2c0a11", "-", "-", "2",
                                 "rw_test", "2026-12-09T10:00:01.000Z", "4100", "21.5", "30.25",
                                 "18", "t"}));
    EXPECT_EQ(rows.rows[1][7], "77");
    EXPECT_EQ(rows.rows[2][8], "rw_test");
    EXPECT_EQ(rows.rows[2][15], "-");

    const std::string counter = One("SELECT next_serial FROM kx20.serial_counter");
    auto link = OpenLineLink(conninfo, 3, 5000);
    for (const char* sql : {
             "UPDATE kx20.serial_counter SET next_serial = 1",
             "INSERT INTO kx20.verdicts (record_key, station, slot, drive_letter, capacity, "
             "result, started_at, finished_at) VALUES ('forged', 'x', 1, 'E', 0, 'Pass', now(), "
             "now())",
             "UPDATE kx20.verdicts SET result = 'Pass'",
             "DELETE FROM kx20.verdicts",
             "SELECT count(*) FROM kx20.verdicts",
             "INSERT INTO kx20.serial_takes (first_serial, count, station) VALUES (1, 1, 'x')",
             "SELECT * FROM kx20.release_station('rights-pq', 'me')",
         }) {
      SCOPED_TRACE(sql);
      EXPECT_FALSE(link->Exec(sql, {}, nullptr, error));
      EXPECT_NE(error.find("permission denied"), std::string::npos) << error;
      EXPECT_EQ(link->LastErrorState(), "42501");
    }
    EXPECT_EQ(One("SELECT next_serial FROM kx20.serial_counter"), counter);
    EXPECT_EQ(One("SELECT count(*) FROM kx20.verdicts WHERE station = $1", {name}), "3");
  }
}

// The report role reads every table and view, and can neither write nor
// take a number.
TEST_F(LineServer, TheReportRoleOnlyReads) {
  const std::string verdicts = One("SELECT count(*) FROM kx20.verdicts");
  for (const auto& [kind, conninfo] : As("rep_login")) {
    SCOPED_TRACE(kind);
    auto link = OpenLineLink(conninfo, 3, 5000);
    PgResult r;
    std::string error;
    ASSERT_TRUE(link->Exec("SELECT count(*) FROM kx20.verdicts", {}, &r, error)) << error;
    EXPECT_EQ(r.rows.at(0).at(0), verdicts);
    ASSERT_TRUE(link->Exec("SELECT count(*) FROM kx20.serial_fates", {}, &r, error)) << error;
    ASSERT_TRUE(link->Exec("SELECT next_serial FROM kx20.serial_counter", {}, &r, error)) << error;
    for (const char* sql : {
             "SELECT * FROM kx20.take_serials('x', 'x', 'x', 'x', 1, 'E', 1)",
             "SELECT kx20.record_handout('k', 1, 1, 'x', 'x', 1, 'E', now())",
             "UPDATE kx20.serial_counter SET next_serial = 1",
             "DELETE FROM kx20.verdicts",
         }) {
      SCOPED_TRACE(sql);
      EXPECT_FALSE(link->Exec(sql, {}, nullptr, error));
      EXPECT_NE(error.find("permission denied"), std::string::npos) << error;
    }
  }
}

// A verdict the database refuses for its data (here a lot in bytes that are
// not UTF-8) is set aside with the reason and counted; the verdicts before
// and after it are recorded, and nothing is left in the outbox.
TEST_F(LineServer, ARefusedVerdictIsSetAsideAndTheOthersGoOn) {
  for (const auto& [kind, conninfo] : As("st_login")) {
    SCOPED_TRACE(kind);
    const std::string name = Unique(kind == "libpq" ? "refused-pq" : "refused-odbc");
    ConfigTempDir dir;
    std::vector<std::string> notices;
    LineOptions options = Station(dir, conninfo, name);
    options.notify = [&](const std::string& text) { notices.push_back(text); };
    std::string error;
    auto line = LineStation::Open(options, error);
    ASSERT_TRUE(line) << error;
    VerdictEvent bad = Verdict(2, 0, false);
    bad.lot = "L\xff\xfe";
    ASSERT_TRUE(line->RecordVerdict(Verdict(1, 0, false)));
    ASSERT_TRUE(line->RecordVerdict(bad));
    ASSERT_TRUE(line->RecordVerdict(Verdict(3, 0, false)));
    EXPECT_EQ(line->Flush(10000), 0u);
    EXPECT_EQ(line->Refused(), 1u);
    line.reset();
    EXPECT_EQ(One("SELECT string_agg(slot::text, ',' ORDER BY slot) FROM kx20.verdicts "
                  "WHERE station = $1",
                  {name}),
              "1,3");
    const std::string refused = ConfigTempDir::Read(dir.File(kRefusedVerdictsFileName));
    EXPECT_EQ(refused.rfind("kx20 refused verdicts 1\n# ", 0), 0u) << refused;
    EXPECT_NE(refused.find("(SQLSTATE 22"), std::string::npos) << refused;
    EXPECT_NE(refused.find("\t2\tF\t"), std::string::npos) << "the refused record, in outbox form";
    bool told = false;
    for (const std::string& n : notices) {
      told = told || (n.find("refused the verdict of drive F (slot 2)") != std::string::npos &&
                      n.find(kRefusedVerdictsFileName) != std::string::npos);
    }
    EXPECT_TRUE(told) << "the operator is told";
  }
}

// The exit flush checks its deadline before each batch: a backlog that takes
// seconds to send is not sent whole past a deadline of a fraction of one.
TEST_F(LineServer, TheExitFlushStopsAtItsDeadline) {
  // Every verdict of this station takes 20 ms to insert.
  Sql("CREATE OR REPLACE FUNCTION public.kx20_test_slow() RETURNS trigger LANGUAGE plpgsql AS "
      "$$ BEGIN IF NEW.station LIKE 'slow-%' THEN PERFORM pg_sleep(0.02); END IF; RETURN NEW; END $$");
  Sql("CREATE TRIGGER kx20_test_slow BEFORE INSERT ON kx20.verdicts FOR EACH ROW "
      "EXECUTE FUNCTION public.kx20_test_slow()");
  const std::string slow = Unique("slow");
  ConfigTempDir dir;
  {
    // 150 verdicts left by an earlier run: about 3 s of sending.
    std::vector<OutboxRecord> rows;
    for (int i = 0; i < 150; ++i) {
      VerdictRow r;
      r.recordKey = NewRecordKey(slow);
      r.station = slow;
      r.slot = 1;
      r.driveLetter = 'E';
      r.result = "Pass";
      r.startedAt = "2026-12-09 10:00:00.000+00";
      r.finishedAt = "2026-12-09 10:00:09.000+00";
      rows.push_back(r);
    }
    ConfigTempDir::Write(dir.File(kVerdictOutboxFileName), FormatOutbox(rows));
  }
  LineOptions options = Station(dir, pq_, slow);
  options.sendBatch = 10;
  std::string error;
  auto line = LineStation::Open(options, error);
  ASSERT_TRUE(line) << error;
  const auto start = Clock::now();
  const std::size_t left = line->Flush(300);
  const double took = std::chrono::duration<double>(Clock::now() - start).count();
  line.reset();
  Sql("DROP TRIGGER kx20_test_slow ON kx20.verdicts");
  // Every batch takes at least 0.2 s, however loaded the machine, so what was
  // sent is bounded without a clock: the batch the sender thread had under
  // way, at most two begun before the 0.3 s deadline, the flush's first one
  // if it waited past it, one more the sender begins before it is stopped.
  // A flush that ignored its deadline would send all 150.
  EXPECT_GE(left, 100u) << "at most five batches of ten went out (took " << took << " s)";
  EXPECT_LT(left, 150u) << "something was sent";
  // Sending everything takes at least 3 s; a flush that took longer than that
  // waited on something other than its batches.
  EXPECT_LT(took, 3.0) << "the flush returned within one batch or two of its deadline";
  // Nothing lost, nothing twice: what the database has and what the outbox
  // still holds make the 150.
  VerdictOutbox after(SystemFileSystem(), dir.File(kVerdictOutboxFileName),
                      Durability::kRelaxed);
  ASSERT_TRUE(after.Load(error)) << error;
  EXPECT_EQ(std::stoul(One("SELECT count(*) FROM kx20.verdicts WHERE station = $1", {slow})) +
                after.Size(),
            150u);
}

}  // namespace
}  // namespace kx20

#endif  // _WIN32
