// The line's two database links, side by side: the same statements give the
// same rows and the same failures, and every wait ends within its bound.
//
// Without a server: a server that is not there, one that accepts and never
// answers (the login timeout), and ODBC connection strings naming no
// installed driver or data source. With a real server (the ctest
// kx20_line_links starts one with tests/pg/pg_cluster.sh and gives its libpq
// and ODBC connection strings in KX20_TEST_LINE_PQ and KX20_TEST_LINE_ODBC,
// its pg_cluster.sh directory in KX20_TEST_LINE_CLUSTER; the LineLinkServer
// tests skip without them): results, errors, the statement and lock
// timeouts, and a server that stops answering mid-session.
#ifndef _WIN32

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <glob.h>

#include "line/line_link.h"
#include "line/odbc_link.h"
#include "line/odbc_strings.h"
#include "support/config_temp_dir.h"

namespace kx20 {
namespace {

using testing::ConfigTempDir;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The PostgreSQL ODBC driver's library, or empty when it is not installed.
std::string PostgresOdbcDriver() {
  glob_t found{};
  std::string path;
  if (glob("/usr/lib/*/odbc/psqlodbcw.so", 0, nullptr, &found) == 0 && found.gl_pathc > 0) {
    path = found.gl_pathv[0];
  }
  globfree(&found);
  return path;
}

// For the whole test program: unixODBC reads its driver list from a
// directory of ours (ODBCSYSINI), where the PostgreSQL driver is registered
// under its Windows name and one more driver under a name of its own.
// False when the driver is not installed.
bool UseTestOdbcConfiguration() {
  static const bool ready = [] {
    const std::string driver = PostgresOdbcDriver();
    if (driver.empty()) return false;
    static ConfigTempDir dir;
    ConfigTempDir::Write(dir.File("odbcinst.ini"),
                         "[PostgreSQL Unicode]\nDriver=" + driver +
                             "\n[KX20 Test Driver]\nDriver=" + driver + "\n");
    ConfigTempDir::Write(dir.File("odbc.ini"), "");
    setenv("ODBCSYSINI", dir.Path().c_str(), 1);
    return true;
  }();
  return ready;
}

#define REQUIRE_ODBC_DRIVER()                                                              \
  if (!UseTestOdbcConfiguration()) GTEST_SKIP() << "the PostgreSQL ODBC driver is not "     \
                                                   "installed (package odbc-postgresql)"

// A connection string for each link to a server in `socketDir` on `port`.
struct LinkKind {
  const char* name;
  std::string (*conninfo)(const std::string& socketDir, int port);
};
const LinkKind kLinks[] = {
    {"libpq",
     [](const std::string& dir, int port) {
       return "host=" + dir + " port=" + std::to_string(port) + " dbname=postgres";
     }},
    {"ODBC",
     [](const std::string& dir, int port) {
       return "Driver={PostgreSQL Unicode};Servername=" + dir + ";Port=" + std::to_string(port) +
              ";Database=postgres";
     }},
};

TEST(LineLink, TheConnectionStringPicksTheLink) {
  REQUIRE_ODBC_DRIVER();
  EXPECT_NE(dynamic_cast<OdbcLink*>(OpenLineLink("DSN=line", 1, 1000).get()), nullptr);
  EXPECT_NE(dynamic_cast<OdbcLink*>(OpenLineLink("odbc:DSN=line", 1, 1000).get()), nullptr);
  EXPECT_EQ(dynamic_cast<OdbcLink*>(OpenLineLink("host=/tmp dbname=x", 1, 1000).get()), nullptr);
}

TEST(LineLink, AServerThatIsNotThereIsRefusedAtOnce) {
  REQUIRE_ODBC_DRIVER();
  for (const LinkKind& kind : kLinks) {
    SCOPED_TRACE(kind.name);
    auto link = OpenLineLink(kind.conninfo("/nonexistent-kx20", 1), 3, 5000);
    const auto start = Clock::now();
    std::string error;
    EXPECT_FALSE(link->Exec("SELECT 1", {}, nullptr, error));
    EXPECT_LT(SecondsSince(start), 2.0);
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
    EXPECT_FALSE(link->Connected());
  }
}

// A Unix socket that takes connections into its queue and never answers: a
// server whose host hangs while the kernel still accepts.
class SilentServer {
 public:
  explicit SilentServer(const ConfigTempDir& dir) {
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = dir.File(".s.PGSQL." + std::to_string(kPort));
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
          listen(fd_, 16) == 0;
  }
  ~SilentServer() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return ok_; }
  static constexpr int kPort = 5499;

 private:
  int fd_ = -1;
  bool ok_ = false;
};

TEST(LineLink, AServerThatNeverAnswersEndsTheConnectAtTheLoginTimeout) {
  REQUIRE_ODBC_DRIVER();
  ConfigTempDir dir;
  SilentServer server(dir);
  ASSERT_TRUE(server.ok());
  for (const LinkKind& kind : kLinks) {
    SCOPED_TRACE(kind.name);
    // Two seconds: libpq's shortest connect timeout.
    auto link = OpenLineLink(kind.conninfo(dir.Path().string(), SilentServer::kPort), 2, 3000);
    const auto start = Clock::now();
    std::string error;
    EXPECT_FALSE(link->Connect(error));
    const double took = SecondsSince(start);
    EXPECT_GE(took, 1.5);
    EXPECT_LT(took, 4.0);
    EXPECT_NE(error.find("timeout expired"), std::string::npos) << error;
    EXPECT_FALSE(link->Connected());
  }
}

TEST(LineLink, ODBCStringsNamingNothingInstalledSayWhatIs) {
  REQUIRE_ODBC_DRIVER();
  struct Case {
    const char* conninfo;
    std::vector<const char*> says;
  };
  const Case cases[] = {
      {"Driver={PostgreSQL Unicod};Servername=/tmp;Database=x",
       {"no ODBC driver named \"PostgreSQL Unicod\" is installed", "\"PostgreSQL Unicode\"",
        "\"KX20 Test Driver\"", "psqlODBC"}},
      {"DSN=kx20-nowhere", {"the ODBC data source \"kx20-nowhere\" does not exist",
                            "Data source name not found"}},
      {"odbc:Servername=/tmp;Database=x", {"an ODBC connection string names a data source"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.conninfo);
    OdbcLink link(c.conninfo, 2, 3000);
    std::string error;
    EXPECT_FALSE(link.Exec("SELECT 1", {}, nullptr, error));
    for (const char* text : c.says) EXPECT_NE(error.find(text), std::string::npos) << error;
  }
  EXPECT_EQ(InstalledOdbcDrivers(),
            (std::vector<std::string>{"PostgreSQL Unicode", "KX20 Test Driver"}));
}

// --- With a real server -------------------------------------------------------

class LineLinkServer : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"KX20_TEST_LINE_PQ", "KX20_TEST_LINE_ODBC", "KX20_TEST_LINE_CLUSTER"}) {
      const char* value = std::getenv(name);
      if (value == nullptr || *value == '\0') {
        GTEST_SKIP() << "no test server (the ctest kx20_line_links starts one)";
      }
    }
    if (!UseTestOdbcConfiguration()) GTEST_SKIP() << "the PostgreSQL ODBC driver is not installed";
    pq_ = std::getenv("KX20_TEST_LINE_PQ");
    odbc_ = std::getenv("KX20_TEST_LINE_ODBC");
    cluster_ = std::getenv("KX20_TEST_LINE_CLUSTER");
  }

  std::unique_ptr<LineLink> Open(const LinkKind& kind, int connectSeconds, int queryMs) const {
    return OpenLineLink(&kind == &kLinks[0] ? pq_ : odbc_, connectSeconds, queryMs);
  }
  void Cluster(const char* command) const {
    const std::string line = std::string("bash '") + KX20_SOURCE_DIR +
                             "/tests/pg/pg_cluster.sh' " + command + " '" + cluster_ + "'";
    ASSERT_EQ(std::system(line.c_str()), 0) << line;
  }

  std::string pq_;
  std::string odbc_;
  std::string cluster_;
};

using Row = std::vector<std::optional<std::string>>;

TEST_F(LineLinkServer, BothLinksGiveTheSameRows) {
  for (const LinkKind& kind : kLinks) {
    SCOPED_TRACE(kind.name);
    auto link = Open(kind, 3, 5000);
    PgResult r;
    std::string error;
    ASSERT_TRUE(link->Exec(
        "SELECT $2::text || '-' || $1, $1::integer + 1, $3::text, true, false, "
        "2^40::bigint, 'Grüße ' || $2, '1.50'::numeric, NULL::text, ''",
        {"41", "st1", std::nullopt}, &r, error))
        << error;
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0], (Row{"st1-41", "42", std::nullopt, "t", "f", "1099511627776",
                              "Grüße st1", "1.50", std::nullopt, ""}));
    EXPECT_EQ(r.commandTag, "SELECT 1");
    // A long value comes back whole.
    ASSERT_TRUE(link->Exec("SELECT repeat('x', 100000)", {}, &r, error)) << error;
    EXPECT_EQ(r.rows.at(0).at(0).value_or("").size(), 100000u);
    // A script: the last statement's rows.
    ASSERT_TRUE(link->Exec("CREATE TEMP TABLE t (n integer); INSERT INTO t VALUES (1), (2); "
                           "SELECT n FROM t ORDER BY n",
                           {}, &r, error))
        << error;
    EXPECT_EQ(r.rows, (std::vector<Row>{{"1"}, {"2"}}));
    ASSERT_TRUE(link->Exec("UPDATE t SET n = n + $1 WHERE n > 0", {"10"}, &r, error)) << error;
    EXPECT_EQ(r.commandTag, "UPDATE 2");
    ASSERT_TRUE(link->Exec("DELETE FROM t WHERE n > 100", {}, &r, error)) << error;
    EXPECT_EQ(r.commandTag, "DELETE 0");
    ASSERT_TRUE(link->Exec("INSERT INTO t VALUES ($1)", {"7"}, &r, error)) << error;
    EXPECT_EQ(r.commandTag, "INSERT 0 1");
  }
}

TEST_F(LineLinkServer, AnErrorAbortsTheTransactionOnBothLinks) {
  for (const LinkKind& kind : kLinks) {
    SCOPED_TRACE(kind.name);
    auto link = Open(kind, 3, 5000);
    std::string error;
    ASSERT_TRUE(link->Exec("CREATE TEMP TABLE a (n integer)", {}, nullptr, error)) << error;
    ASSERT_TRUE(link->Exec("BEGIN", {}, nullptr, error)) << error;
    ASSERT_TRUE(link->Exec("INSERT INTO a VALUES (1)", {}, nullptr, error)) << error;
    EXPECT_FALSE(link->Exec("SELECT 1 / $1::integer", {"0"}, nullptr, error));
    EXPECT_EQ(error, "division by zero");
    EXPECT_TRUE(link->Connected());
    // No savepoint let the transaction go on: it is aborted until rolled back.
    EXPECT_FALSE(link->Exec("INSERT INTO a VALUES (2)", {}, nullptr, error));
    EXPECT_NE(error.find("current transaction is aborted"), std::string::npos) << error;
    ASSERT_TRUE(link->Exec("ROLLBACK", {}, nullptr, error)) << error;
    PgResult r;
    ASSERT_TRUE(link->Exec("SELECT count(*) FROM a", {}, &r, error)) << error;
    EXPECT_EQ(r.rows, (std::vector<Row>{{"0"}}));
  }
}

TEST_F(LineLinkServer, TheServerEndsALongStatementAndALockWait) {
  for (const LinkKind& kind : kLinks) {
    SCOPED_TRACE(kind.name);
    // Query timeout 2 s: statement timeout 1.6 s, lock timeout 1 s.
    auto link = Open(kind, 3, 2000);
    std::string error;
    auto start = Clock::now();
    EXPECT_FALSE(link->Exec("SELECT pg_sleep(10)", {}, nullptr, error));
    double took = SecondsSince(start);
    EXPECT_GE(took, 1.4);
    EXPECT_LT(took, 2.0);
    EXPECT_NE(error.find("statement timeout"), std::string::npos) << error;
    EXPECT_TRUE(link->Connected());

    auto holder = Open(kind, 3, 5000);
    ASSERT_TRUE(holder->Exec("CREATE TABLE IF NOT EXISTS locked (n integer)", {}, nullptr, error))
        << error;
    ASSERT_TRUE(holder->Exec("BEGIN", {}, nullptr, error)) << error;
    ASSERT_TRUE(holder->Exec("LOCK TABLE locked", {}, nullptr, error)) << error;
    start = Clock::now();
    EXPECT_FALSE(link->Exec("SELECT count(*) FROM locked", {}, nullptr, error));
    took = SecondsSince(start);
    EXPECT_GE(took, 0.8);
    EXPECT_LT(took, 1.6);
    EXPECT_NE(error.find("lock timeout"), std::string::npos) << error;
    ASSERT_TRUE(holder->Exec("ROLLBACK", {}, nullptr, error)) << error;
    EXPECT_TRUE(link->Exec("SELECT count(*) FROM locked", {}, nullptr, error)) << error;
  }
}

TEST_F(LineLinkServer, CredentialsTheServerRefusesAreRefusedWithItsWords) {
  // The last value of a keyword counts, in both kinds of string.
  const std::string strings[] = {pq_ + " user=kx20nobody", odbc_ + ";Username=kx20nobody"};
  for (const std::string& conninfo : strings) {
    SCOPED_TRACE(conninfo);
    auto link = OpenLineLink(conninfo, 3, 5000);
    std::string error;
    EXPECT_FALSE(link->Exec("SELECT 1", {}, nullptr, error));
    EXPECT_NE(error.find("role \"kx20nobody\" does not exist"), std::string::npos) << error;
    EXPECT_FALSE(link->Connected());
  }
}

TEST_F(LineLinkServer, AServerThatStopsAnsweringEndsEachWaitAtItsBound) {
  for (const LinkKind& kind : kLinks) {
    SCOPED_TRACE(kind.name);
    auto link = Open(kind, 2, 1500);
    std::string error;
    ASSERT_TRUE(link->Exec("SELECT 1", {}, nullptr, error)) << error;
    Cluster("freeze");
    // The statement: the client's own deadline (the server can end nothing).
    auto start = Clock::now();
    EXPECT_FALSE(link->Exec("SELECT 1", {}, nullptr, error));
    double took = SecondsSince(start);
    EXPECT_GE(took, 1.4);
    EXPECT_LT(took, 2.5);
    EXPECT_EQ(error, "no answer from the database within 1500 ms");
    EXPECT_FALSE(link->Connected());
    // Connecting again: the connect (login) timeout.
    start = Clock::now();
    EXPECT_FALSE(link->Connect(error));
    took = SecondsSince(start);
    Cluster("thaw");
    EXPECT_GE(took, 1.5);
    EXPECT_LT(took, 4.0);
    EXPECT_NE(error.find("timeout expired"), std::string::npos) << error;
    // The server answers again: so does the link.
    PgResult r;
    EXPECT_TRUE(link->Exec("SELECT 2", {}, &r, error)) << error;
    EXPECT_EQ(r.rows, (std::vector<Row>{{"2"}}));
  }
}

}  // namespace
}  // namespace kx20

#endif  // _WIN32
