#include "report/line_verdicts.h"

#if KX20_HAVE_LINE_LINK
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "line/line_link.h"
#endif

namespace kx20 {

#if KX20_HAVE_LINE_LINK

namespace {

// The columns as text; the time split into its fields by the server, in the
// session's time zone. Read through a cursor, a batch at a time, so a long
// record does not have to fit in memory at once.
constexpr const char* kQuery =
    "DECLARE kx20_report NO SCROLL CURSOR FOR "
    "SELECT record_key, station, slot, result, coalesce(error_code, ''),"
    " to_char(finished_at, 'YYYY MM DD HH24 MI SS'), coalesce(serial::text, ''), drive_letter"
    " FROM kx20.verdicts ORDER BY finished_at, record_key";
constexpr const char* kFetch = "FETCH 5000 FROM kx20_report";

std::string Field(const std::vector<std::optional<std::string>>& row, std::size_t col) {
  return col < row.size() && row[col] ? *row[col] : std::string();
}

}  // namespace

bool LineDatabaseAvailable() { return true; }

bool ReadLineVerdicts(const std::string& conninfo, YieldReportBuilder& builder,
                      std::string& error) {
  // libpq or ODBC, as the connection string asks.
  const std::unique_ptr<LineLink> held = OpenLineLink(conninfo, 10, 60000);
  LineLink& link = *held;
  std::string why;
  if (!link.Exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", {}, nullptr, why)) {
    error = (link.Connected() ? "cannot read kx20.verdicts: "
                              : "cannot connect to the line's database: ") +
            why;
    return false;
  }
  if (!link.Exec(kQuery, {}, nullptr, why)) {
    error = "cannot read kx20.verdicts: " + why;
    return false;
  }
  builder.AddSource("database kx20.verdicts");
  for (;;) {
    PgResult batch;
    if (!link.Exec(kFetch, {}, &batch, why)) {
      error = "cannot read kx20.verdicts: " + why;
      return false;
    }
    if (batch.rows.empty()) break;
    for (const auto& row : batch.rows) {
      const std::string key = Field(row, 0);
      VerdictRecord r;
      r.station = Field(row, 1);
      r.slot = std::atoi(Field(row, 2).c_str());
      const std::string result = Field(row, 3);
      r.errorCode = Field(row, 4);
      const std::string when = Field(row, 5);
      if (std::sscanf(when.c_str(), "%d %d %d %d %d %d", &r.year, &r.month, &r.day, &r.hour,
                      &r.minute, &r.second) != 6) {
        builder.AddMalformed(MalformedRecord{"database", key, "finished_at is not a time"});
        continue;
      }
      if (result == "Pass") {
        r.passed = true;
        r.errorCode.clear();
        r.serial = static_cast<std::uint32_t>(std::strtoul(Field(row, 6).c_str(), nullptr, 10));
        char at[64];
        std::snprintf(at, sizeof at, "%04d-%02d-%02d %02d:%02d:%02d", r.year, r.month, r.day,
                      r.hour, r.minute, r.second);
        r.where = "database: station " + r.station + " slot " + std::to_string(r.slot) + " (" +
                  Field(row, 7) + ":) " + at + " [" + key + "]";
      } else if (result == "FAIL") {
        r.passed = false;
      } else {
        builder.AddMalformed(MalformedRecord{"database", key,
                                             "the result '" + result + "' is neither Pass nor FAIL"});
        continue;
      }
      if (r.slot < 0) r.slot = 0;
      builder.Add(r);
    }
  }
  link.Exec("COMMIT", {}, nullptr, why);
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
