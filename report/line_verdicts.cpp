#include "report/line_verdicts.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#if KX20_HAVE_LINE_LINK
#include "line/line_link.h"
#endif

namespace kx20 {

#if KX20_HAVE_LINE_LINK

namespace {

// The columns as text; the time split into its fields by the server, in the
// session's time zone (so it reads the same through every link).
constexpr const char* kDeclare =
    "DECLARE kx20_report NO SCROLL CURSOR FOR"
    " SELECT record_key, station, slot, result, coalesce(error_code, ''),"
    " to_char(finished_at, 'YYYY MM DD HH24 MI SS')"
    " FROM kx20.verdicts ORDER BY finished_at, record_key";
// Rows are read a batch at a time, so a long record does not have to fit
// in memory at once.
constexpr const char* kFetch = "FETCH 5000 FROM kx20_report";

void AddRow(const std::vector<std::optional<std::string>>& row, YieldReportBuilder& builder) {
  const auto text = [&](std::size_t i) { return i < row.size() ? row[i].value_or("") : ""; };
  const std::string key = text(0);
  VerdictRecord r;
  r.station = text(1);
  r.slot = std::atoi(text(2).c_str());
  const std::string result = text(3);
  r.errorCode = text(4);
  const std::string when = text(5);
  if (std::sscanf(when.c_str(), "%d %d %d %d %d %d", &r.year, &r.month, &r.day, &r.hour,
                  &r.minute, &r.second) != 6) {
    builder.AddMalformed(MalformedRecord{"database", key, "finished_at is not a time"});
    return;
  }
  if (result == "Pass") {
    r.passed = true;
    r.errorCode.clear();
  } else if (result == "FAIL") {
    r.passed = false;
  } else {
    builder.AddMalformed(
        MalformedRecord{"database", key, "the result '" + result + "' is neither Pass nor FAIL"});
    return;
  }
  if (r.slot < 0) r.slot = 0;
  builder.Add(r);
}

}  // namespace

bool LineDatabaseAvailable() { return true; }

bool ReadLineVerdicts(const std::string& conninfo, YieldReportBuilder& builder,
                      std::string& error) {
  const std::unique_ptr<LineLink> link = OpenLineLink(conninfo, 10, 30000);
  std::string why;
  if (!link->Connect(why)) {
    error = "cannot connect to the line's database: " + why;
    return false;
  }
  if (!link->Exec("BEGIN READ ONLY", {}, nullptr, why) || !link->Exec(kDeclare, {}, nullptr, why)) {
    error = "cannot read kx20.verdicts: " + why;
    return false;
  }
  builder.AddSource("database kx20.verdicts");
  for (;;) {
    PgResult batch;
    if (!link->Exec(kFetch, {}, &batch, why)) {
      error = "cannot read kx20.verdicts: " + why;
      return false;
    }
    if (batch.rows.empty()) break;
    for (const auto& row : batch.rows) AddRow(row, builder);
  }
  link->Exec("COMMIT", {}, nullptr, why);
  return true;
}

#else

bool LineDatabaseAvailable() { return false; }

bool ReadLineVerdicts(const std::string&, YieldReportBuilder&, std::string& error) {
  error = "this build has no line mode (it was built without a database client library)";
  return false;
}

#endif

}  // namespace kx20
