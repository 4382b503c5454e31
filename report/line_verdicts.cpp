#include "report/line_verdicts.h"

#if KX20_HAVE_LIBPQ
#include <libpq-fe.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#endif

namespace kx20 {

#if KX20_HAVE_LIBPQ

namespace {

struct ConnCloser {
  void operator()(PGconn* c) const { PQfinish(c); }
};
struct ResultCloser {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Connection = std::unique_ptr<PGconn, ConnCloser>;
using Result = std::unique_ptr<PGresult, ResultCloser>;

std::string ServerMessage(PGconn* c) {
  std::string m = PQerrorMessage(c);
  while (!m.empty() && (m.back() == '\n' || m.back() == ' ')) m.pop_back();
  return m;
}

// The columns as text; the time split into its fields by the server, in the
// session's time zone.
constexpr const char* kQuery =
    "SELECT record_key, station, slot, result, coalesce(error_code, ''),"
    " to_char(finished_at, 'YYYY MM DD HH24 MI SS')"
    " FROM kx20.verdicts ORDER BY finished_at, record_key";

}  // namespace

bool LineDatabaseAvailable() { return true; }

bool ReadLineVerdicts(const std::string& conninfo, YieldReportBuilder& builder,
                      std::string& error) {
  Connection conn(PQconnectdb(conninfo.c_str()));
  if (!conn) {
    error = "out of memory connecting to the line's database";
    return false;
  }
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    error = "cannot connect to the line's database: " + ServerMessage(conn.get());
    return false;
  }
  // Row by row, so a long record does not have to fit in memory at once.
  if (!PQsendQuery(conn.get(), kQuery) || !PQsetSingleRowMode(conn.get())) {
    error = "cannot read kx20.verdicts: " + ServerMessage(conn.get());
    return false;
  }
  builder.AddSource("database kx20.verdicts");
  bool ok = true;
  for (;;) {
    Result res(PQgetResult(conn.get()));
    if (!res) break;
    const ExecStatusType status = PQresultStatus(res.get());
    if (status == PGRES_TUPLES_OK) continue;  // the end of the rows
    if (status != PGRES_SINGLE_TUPLE) {
      if (ok) error = "cannot read kx20.verdicts: " + std::string(PQresultErrorMessage(res.get()));
      while (!error.empty() && error.back() == '\n') error.pop_back();
      ok = false;
      continue;  // drain the remaining results
    }
    const std::string key = PQgetvalue(res.get(), 0, 0);
    VerdictRecord r;
    r.station = PQgetvalue(res.get(), 0, 1);
    r.slot = std::atoi(PQgetvalue(res.get(), 0, 2));
    const std::string result = PQgetvalue(res.get(), 0, 3);
    r.errorCode = PQgetvalue(res.get(), 0, 4);
    const std::string when = PQgetvalue(res.get(), 0, 5);
    if (std::sscanf(when.c_str(), "%d %d %d %d %d %d", &r.year, &r.month, &r.day, &r.hour,
                    &r.minute, &r.second) != 6) {
      builder.AddMalformed(MalformedRecord{"database", key, "finished_at is not a time"});
      continue;
    }
    if (result == "Pass") {
      r.passed = true;
      r.errorCode.clear();
    } else if (result == "FAIL") {
      r.passed = false;
    } else {
      builder.AddMalformed(
          MalformedRecord{"database", key, "the result '" + result + "' is neither Pass nor FAIL"});
      continue;
    }
    if (r.slot < 0) r.slot = 0;
    builder.Add(r);
  }
  return ok;
}

#else

bool LineDatabaseAvailable() { return false; }

bool ReadLineVerdicts(const std::string&, YieldReportBuilder&, std::string& error) {
  error = "this build has no line mode (it was built without the PostgreSQL client library)";
  return false;
}

#endif

}  // namespace kx20
