// The ODBC link's texts: which link a connection string picks, the
// attributes of an ODBC connection string, the markers a statement's $n
// parameters become, and the driver's messages as one line.
#include "line/odbc_strings.h"

#include <gtest/gtest.h>

namespace kx20 {
namespace {

TEST(OdbcStrings, PicksTheLinkByTheConnectionString) {
  struct Case {
    const char* conninfo;
    bool odbc;
  };
  const Case cases[] = {
      {"host=/run/postgresql dbname=line user=kx20", false},
      {"postgresql://kx20@db.example/line?connect_timeout=2", false},
      {"dbname=line options='-c search_path=dsn'", false},
      {"", false},
      {"odbc:DSN=line", true},
      {"ODBC:host=x", true},  // the prefix alone decides
      {"DSN=line", true},
      {"dsn = line;UID=kx20", true},
      {"Driver={PostgreSQL Unicode};Server=db;Database=line", true},
      {"Server=db;DRIVER={PostgreSQL ANSI}", true},
      {"FileDSN=C:\\line.dsn", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsOdbcConnectionString(c.conninfo), c.odbc) << c.conninfo;
  }
  EXPECT_EQ(WithoutOdbcPrefix("odbc:DSN=line"), "DSN=line");
  EXPECT_EQ(WithoutOdbcPrefix("DSN=line"), "DSN=line");
}

TEST(OdbcStrings, ReadsAttributesWithBracesAndEmptyParts) {
  const auto a = ParseOdbcAttributes(
      " Driver = {PostgreSQL Unicode} ;Server=db;;pqopt={a=1;b=}}x};Flag;Password={p;w}");
  ASSERT_EQ(a.size(), 5u);
  EXPECT_EQ(a[0], OdbcAttribute("Driver", "PostgreSQL Unicode"));
  EXPECT_EQ(a[1], OdbcAttribute("Server", "db"));
  EXPECT_EQ(a[2], OdbcAttribute("pqopt", "a=1;b=}x"));
  EXPECT_EQ(a[3], OdbcAttribute("Flag", ""));
  EXPECT_EQ(a[4], OdbcAttribute("Password", "p;w"));
  EXPECT_EQ(OdbcAttributeValue(a, "DRIVER"), "PostgreSQL Unicode");
  EXPECT_EQ(OdbcAttributeValue(a, "dsn"), "");
}

TEST(OdbcStrings, TheSessionStringAddsWhatTheLineNeeds) {
  const std::string plain = OdbcSessionString("DSN=line;", 5000);
  EXPECT_EQ(plain.rfind("DSN=line;Protocol=7.4-0;BoolsAsChar=0;pqopt={", 0), 0u) << plain;
  EXPECT_NE(plain.find("tcp_user_timeout=10000"), std::string::npos) << plain;
  EXPECT_NE(plain.find("keepalives=1"), std::string::npos) << plain;
  // The operator's own libpq options are kept as they are.
  const std::string own = OdbcSessionString("DSN=line;PQOPT={sslmode=require}", 5000);
  EXPECT_EQ(own, "DSN=line;PQOPT={sslmode=require};Protocol=7.4-0;BoolsAsChar=0");
  // Each attribute stays whole.
  const auto attributes = ParseOdbcAttributes(plain);
  EXPECT_EQ(OdbcAttributeValue(attributes, "DSN"), "line");
  EXPECT_EQ(OdbcAttributeValue(attributes, "Protocol"), "7.4-0");
}

TEST(OdbcStrings, ParametersBecomeMarkersInTheirOrder) {
  struct Case {
    const char* name;
    const char* sql;
    std::size_t count;
    const char* marked;
    std::vector<std::size_t> order;
  };
  const std::vector<Case> cases = {
      {"in order", "SELECT kx20.take_serials($1, $2, $3, $4)", 4,
       "SELECT kx20.take_serials(?, ?, ?, ?)", {0, 1, 2, 3}},
      {"reordered and repeated", "SELECT $2 || $1 || $2", 2, "SELECT ? || ? || ?", {1, 0, 1}},
      {"two digits", "VALUES ($10, $1, $2, $3, $4, $5, $6, $7, $8, $9)", 10,
       "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", {9, 0, 1, 2, 3, 4, 5, 6, 7, 8}},
      {"in a string", "SELECT '$1 costs ?', $1", 1, "SELECT '$1 costs ?', ?", {0}},
      {"doubled quote", "SELECT 'it''s $1', $1", 1, "SELECT 'it''s $1', ?", {0}},
      {"escape string", "SELECT E'\\'$1?', $1", 1, "SELECT E'\\'$1?', ?", {0}},
      {"quoted name", "SELECT \"a$1\"\"?\" FROM t WHERE x = $1", 1,
       "SELECT \"a$1\"\"?\" FROM t WHERE x = ?", {0}},
      {"name with a dollar", "SELECT a$1 FROM t WHERE b = $1", 1,
       "SELECT a$1 FROM t WHERE b = ?", {0}},
      {"dollar quote", "DO $$ BEGIN PERFORM $1; END $$; SELECT $1", 1,
       "DO $$ BEGIN PERFORM $1; END $$; SELECT ?", {0}},
      {"tagged dollar quote", "SELECT $f$ $$ $1 ? $f$, $1", 1, "SELECT $f$ $$ $1 ? $f$, ?",
       {0}},
      {"line comment", "SELECT $1 -- $2?\n", 1, "SELECT ? -- $2?\n", {0}},
      {"nested block comment", "SELECT /* a /* $2 */ ? */ $1", 1, "SELECT /* a /* $2 */ ? */ ?",
       {0}},
      {"no parameters", "BEGIN", 0, "BEGIN", {}},
      {"a script with a function body",
       "CREATE FUNCTION f(p integer) RETURNS integer LANGUAGE plpgsql AS $$ BEGIN RETURN p; END "
       "$$; SELECT 1",
       0,
       "CREATE FUNCTION f(p integer) RETURNS integer LANGUAGE plpgsql AS $$ BEGIN RETURN p; END "
       "$$; SELECT 1",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out, error;
    std::vector<std::size_t> order;
    ASSERT_TRUE(ToOdbcMarkers(c.sql, c.count, out, order, error)) << error;
    EXPECT_EQ(out, c.marked);
    EXPECT_EQ(order, c.order);
  }
}

TEST(OdbcStrings, RefusesStatementsItCannotSendFaithfully) {
  struct Case {
    const char* name;
    const char* sql;
    std::size_t count;
    const char* says;
  };
  const Case cases[] = {
      {"a number without a value", "SELECT $1, $3", 2, "$3"},
      {"dollar zero", "SELECT $0", 1, "$0"},
      {"a value not used", "SELECT $1", 2, "$2"},
      {"a question mark", "SELECT '{}'::jsonb ? 'a'", 0, "?"},
      {"a parameter without values", "SELECT $1", 0, "$1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out, error;
    std::vector<std::size_t> order;
    EXPECT_FALSE(ToOdbcMarkers(c.sql, c.count, out, order, error));
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
}

TEST(OdbcStrings, DriverMessagesBecomeOneLine) {
  struct Case {
    const char* message;
    const char* line;
  };
  const Case cases[] = {
      {"ERROR: division by zero;\nError while executing the query", "division by zero"},
      {"ERROR: the line has no serial counter (kx20ctl line init);\nError while executing the "
       "query",
       "the line has no serial counter (kx20ctl line init)"},
      {"connection to server on socket \"/x/.s.PGSQL.5\" failed: No such file or directory\n"
       "\tIs the server running locally and accepting connections on that socket?\n",
       "connection to server on socket \"/x/.s.PGSQL.5\" failed: No such file or directory Is "
       "the server running locally and accepting connections on that socket?"},
      {"FATAL:  terminating connection due to administrator command\nCONTEXT:  SQL statement "
       "\"SELECT 1\"\nPL/pgSQL function f() line 2 at PERFORM\nserver closed the connection "
       "unexpectedly\n;\nThe connection has been lost",
       "FATAL:  terminating connection due to administrator command server closed the "
       "connection unexpectedly; The connection has been lost"},
      {"[unixODBC][Driver Manager]Data source name not found and no default driver specified",
       "[unixODBC][Driver Manager]Data source name not found and no default driver specified"},
  };
  for (const Case& c : cases) EXPECT_EQ(OdbcMessageLine(c.message), c.line);
}

}  // namespace
}  // namespace kx20
