#include "report/line_verdicts.h"

#if KX20_HAVE_LINE_LINK
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <map>
#include <set>

#include "line/line_link.h"
#include "report/report_time.h"
#endif

namespace kx20 {

#if KX20_HAVE_LINE_LINK

namespace {

using Row = std::vector<std::optional<std::string>>;

std::string Field(const Row& row, std::size_t col) {
  return col < row.size() && row[col] ? *row[col] : std::string();
}

double Number(const Row& row, std::size_t col) {
  const std::string text = Field(row, col);
  return text.empty() ? kNoTime : std::strtod(text.c_str(), nullptr);
}

std::uint64_t Count(const Row& row, std::size_t col) {
  return std::strtoull(Field(row, col).c_str(), nullptr, 10);
}

// The window as SQL (our own numbers, never the user's text).
std::string WindowSql(const ReportWindow& w, const char* alias = "") {
  std::string sql = "true";
  char bound[96];
  if (!std::isnan(w.since)) {
    std::snprintf(bound, sizeof bound, " AND %sfinished_at >= to_timestamp(%.6f)", alias, w.since);
    sql += bound;
  }
  if (!std::isnan(w.until)) {
    std::snprintf(bound, sizeof bound, " AND %sfinished_at < to_timestamp(%.6f)", alias, w.until);
    sql += bound;
  }
  return sql;
}

std::string Seconds(const char* column) {
  return std::string("extract(epoch FROM ") + column + ")::float8";
}

// The link, in one read-only snapshot: every query sees the same rows.
class Session {
 public:
  // A report is a batch job: a statement over a month of a line may take
  // minutes on a busy server, so each may take up to ten.
  explicit Session(const std::string& conninfo) : link_(OpenLineLink(conninfo, 10, 600000)) {}

  bool Begin(std::string& error) {
    std::string why;
    if (!link_->Exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", {}, nullptr, why)) {
      error = (link_->Connected() ? "cannot read kx20.verdicts: "
                                  : "cannot connect to the line's database: ") + why;
      return false;
    }
    return true;
  }
  bool Query(const std::string& sql, PgResult* result, std::string& error) {
    std::string why;
    if (link_->Exec(sql, {}, result, why)) return true;
    error = "cannot read kx20.verdicts: " + why;
    return false;
  }
  // Runs `sql` through a cursor, a batch of rows at a time.
  template <typename F>
  bool Each(const std::string& sql, F&& each, std::string& error) {
    if (!Query("DECLARE kx20_report NO SCROLL CURSOR FOR " + sql, nullptr, error)) return false;
    for (;;) {
      PgResult batch;
      if (!Query("FETCH 5000 FROM kx20_report", &batch, error)) return false;
      if (batch.rows.empty()) break;
      for (const Row& row : batch.rows) each(row);
    }
    return Query("CLOSE kx20_report", nullptr, error);
  }
  void End() {
    std::string why;
    link_->Exec("COMMIT", {}, nullptr, why);
  }

 private:
  std::unique_ptr<LineLink> link_;
};

// Which of the record of one disk's columns the table has.
struct Columns {
  bool lot = false, operatorName = false, previousSerial = false;
  bool hourCounts = false;   // kx20.verdict_hours and kx20.pass_time_hours are kept
  bool passSerials = false;  // kx20.pass_serials is kept
};

bool ReadColumns(Session& s, Columns& c, std::string& error) {
  PgResult r;
  if (!s.Query("SELECT column_name FROM information_schema.columns WHERE table_schema = 'kx20'"
               " AND table_name = 'verdicts'", &r, error)) {
    return false;
  }
  for (const Row& row : r.rows) {
    const std::string name = Field(row, 0);
    c.lot |= name == "lot";
    c.operatorName |= name == "operator";
    c.previousSerial |= name == "previous_serial";
  }
  PgResult counted;
  if (!s.Query("SELECT to_regclass('kx20.verdict_hours') IS NOT NULL"
               " AND to_regclass('kx20.pass_time_hours') IS NOT NULL,"
               " to_regclass('kx20.pass_serials') IS NOT NULL", &counted, error)) {
    return false;
  }
  c.hourCounts = !counted.rows.empty() && Field(counted.rows[0], 0) == "t";
  c.passSerials = !counted.rows.empty() && Field(counted.rows[0], 1) == "t";
  return true;
}

// The window split in two: the whole UTC hours inside it, read from the
// hourly counts, and the rest at its edges, read from the verdicts. Without
// the counts (an older schema) or when the window lies inside one hour, all
// of it is read from the verdicts.
struct WindowSplit {
  bool counted = false;
  std::string hours;  // on the counts' hour
  std::string edges;  // on the verdicts v
};

WindowSplit SplitWindow(const ReportWindow& w, bool hourCounts) {
  WindowSplit split;
  split.edges = WindowSql(w, "v.");
  if (!hourCounts) return split;
  const bool from = !std::isnan(w.since), to = !std::isnan(w.until);
  const double lo = from ? std::ceil(w.since / 3600.0) * 3600.0 : 0;
  const double hi = to ? std::floor(w.until / 3600.0) * 3600.0 : 0;
  if (from && to && lo >= hi) return split;
  // Each edge as a range of its own, so that the server reads both from the
  // finished_at index and nothing between them.
  char text[192];
  split.counted = true;
  split.hours = "true";
  std::string edges;
  if (from) {
    std::snprintf(text, sizeof text, " AND hour >= to_timestamp(%.0f)", lo);
    split.hours += text;
    std::snprintf(text, sizeof text,
                  "(v.finished_at >= to_timestamp(%.6f) AND v.finished_at < to_timestamp(%.0f))",
                  w.since, lo);
    edges += text;
  }
  if (to) {
    std::snprintf(text, sizeof text, " AND hour < to_timestamp(%.0f)", hi);
    split.hours += text;
    std::snprintf(text, sizeof text,
                  "(v.finished_at >= to_timestamp(%.0f) AND v.finished_at < to_timestamp(%.6f))",
                  hi, w.until);
    edges += (edges.empty() ? "" : " OR ") + std::string(text);
  }
  split.edges = edges.empty() ? "false" : "(" + edges + ")";
  return split;
}

std::string GroupColumn(GroupBy by, const Columns& c) {
  if (by == GroupBy::kLot && c.lot) return "coalesce(v.lot, '')";
  if (by == GroupBy::kOperator && c.operatorName) return "coalesce(v.operator, '')";
  return "''";
}

// The same of the hourly counts (which keep "" for none).
std::string CountedGroupColumn(GroupBy by) {
  if (by == GroupBy::kLot) return "h.lot";
  if (by == GroupBy::kOperator) return "h.operator";
  return "''";
}

// A pass's disk time as the report counts it: whole seconds, cut down.
constexpr const char* kDiskSeconds =
    "floor(extract(epoch FROM v.finished_at - v.started_at)::float8)::bigint";

// The latest earlier verdict of the disk's previous serial number.
// (An aggregate, not ORDER BY ... LIMIT 1: with sorting discouraged for the
// groups, the planner would otherwise walk the finished_at index instead.)
constexpr const char* kEarlier =
    "(SELECT (array_agg(e.result ORDER BY e.finished_at DESC, e.record_key DESC))[1]"
    " FROM kx20.verdicts e WHERE e.serial = v.previous_serial AND e.serial > 0"
    " AND e.finished_at < v.finished_at AND e.result IN ('Pass', 'FAIL'))";

std::string ReworkColumn(const Columns& c) {
  if (!c.previousSerial) return "0";
  // One look-up per verdict: the simple CASE reads its operand once.
  return std::string("CASE WHEN v.previous_serial IS NULL THEN 0 ELSE (SELECT CASE r WHEN 'Pass'"
                     " THEN 1 WHEN 'FAIL' THEN 2 ELSE 0 END FROM (SELECT ") + kEarlier +
         ") AS x(r)) END";
}

bool ParseHour(const std::string& text, HourKey& h) {
  return std::sscanf(text.c_str(), "%d %d %d %d", &h.year, &h.month, &h.day, &h.hour) == 4;
}

}  // namespace

bool LineDatabaseAvailable() { return true; }

bool AggregateLineVerdicts(const std::string& conninfo, YieldReportBuilder& builder,
                           std::string& error) {
  Session s(conninfo);
  if (!s.Begin(error)) return false;
  Columns columns;
  if (!ReadColumns(s, columns, error)) return false;
  // More room for the groups' sorts and hashes than the server's default
  // (and no JIT: compiling the plans costs seconds and wins nothing here).
  if (!s.Query("SET LOCAL work_mem = '256MB'", nullptr, error) ||
      !s.Query("SET LOCAL jit = off", nullptr, error)) {
    return false;
  }
  builder.AddSource("database kx20.verdicts");
  const ReportWindow& window = builder.Window();
  const std::string where = WindowSql(window, "v.");
  WindowSplit split = SplitWindow(window, columns.hourCounts);
  if (split.counted) {
    // The counts are by UTC hour: they serve a session whose clock is a
    // whole number of hours off UTC across the window (else rows only).
    PgResult zone;
    if (!s.Query("SELECT coalesce(bool_and(extract(timezone FROM t)::integer % 3600 = 0), true)"
                 " FROM (SELECT min(finished_at) FROM kx20.verdicts v WHERE " + where +
                 " UNION ALL SELECT max(finished_at) FROM kx20.verdicts v WHERE " + where +
                 ") AS z(t) WHERE t IS NOT NULL", &zone, error)) {
      return false;
    }
    if (zone.rows.empty() || Field(zone.rows[0], 0) != "t") split = SplitWindow(window, false);
  }

  // Hours, or days when the window's first and last verdicts are more than
  // two days apart (the same rule as for records read one by one).
  TimeBuckets buckets = builder.By() == GroupBy::kHour ? TimeBuckets::kHour : TimeBuckets::kAuto;
  if (buckets == TimeBuckets::kAuto) {
    PgResult span;
    if (!s.Query("SELECT to_char(date_trunc('hour', min(finished_at)), 'YYYY MM DD HH24'),"
                 " to_char(date_trunc('hour', max(finished_at)), 'YYYY MM DD HH24')"
                 " FROM kx20.verdicts v WHERE " + where, &span, error)) {
      return false;
    }
    HourKey first, last;
    buckets = TimeBuckets::kHour;
    if (!span.rows.empty() && ParseHour(Field(span.rows[0], 0), first) &&
        ParseHour(Field(span.rows[0], 1), last)) {
      const double hours =
          static_cast<double>(DaysFromCivil(last.year, last.month, last.day) -
                              DaysFromCivil(first.year, first.month, first.day)) * 24.0 +
          (last.hour - first.hour);
      if (hours > 48) buckets = TimeBuckets::kDay;
    }
  }
  builder.SetBuckets(buckets);
  const char* unit = buckets == TimeBuckets::kDay ? "day" : "hour";

  // The groups, counted by the server.
  std::uint64_t oddResults = 0;
  // Verdicts without a previous serial number (nearly all) are first passes
  // and group by hashing alone; the few with one are told apart by the
  // latest earlier verdict of that number (the serial index).
  const std::string grouped = std::string("v.station, v.slot, date_trunc('") + unit +
                              "', v.finished_at) AS t, v.result, coalesce(v.error_code, '') AS "
                              "error_code, " + GroupColumn(builder.By(), columns) + " AS grp";
  const std::string counted =
      "count(*) AS n, min(v.started_at) AS first_start, max(v.finished_at) AS last_finish";
  std::string inner;
  if (split.counted) {
    inner = "SELECT station, slot, t, result, error_code, grp, 0 AS rw, sum(n)::bigint AS n,"
            " min(first_start) AS first_start, max(last_finish) AS last_finish FROM ("
            "SELECT h.station, h.slot, date_trunc('" + std::string(unit) + "', h.hour) AS t,"
            " h.result, h.error_code, " + CountedGroupColumn(builder.By()) + " AS grp,"
            " h.verdicts AS n, h.first_start, h.last_finish FROM kx20.verdict_hours h WHERE " +
            split.hours + " UNION ALL SELECT " + grouped + ", 1, v.started_at, v.finished_at"
            " FROM kx20.verdicts v WHERE " + split.edges + " AND v.previous_serial IS NULL"
            ") AS c GROUP BY 1, 2, 3, 4, 5, 6";
  } else {
    inner = "SELECT " + grouped + ", 0 AS rw, " + counted + " FROM kx20.verdicts v WHERE " +
            where + (columns.previousSerial ? " AND v.previous_serial IS NULL" : "") +
            " GROUP BY 1, 2, 3, 4, 5, 6";
  }
  if (columns.previousSerial) {
    inner += " UNION ALL SELECT " + grouped + ", v.rw, " + counted + " FROM (SELECT v.*, " +
             ReworkColumn(columns) + " AS rw FROM kx20.verdicts v WHERE " + where +
             " AND v.previous_serial IS NOT NULL) AS v GROUP BY 1, 2, 3, 4, 5, 6, 7";
  }
  const std::string cells =
      "SELECT station, slot, to_char(t, 'YYYY MM DD HH24'), result, error_code, grp, rw, n, " +
      Seconds("first_start") + ", " + Seconds("last_finish") + " FROM (" + inner + ") AS g";
  // The planner takes the number of groups for the product of the columns'
  // counts (near the number of rows) and would sort them all; there are a
  // few thousand, which hashing counts in one pass.
  if (!s.Query("SET LOCAL enable_sort = off", nullptr, error)) return false;
  bool ok = s.Each(cells, [&](const Row& row) {
    CellKey key;
    key.station = Field(row, 0);
    key.slot = std::atoi(Field(row, 1).c_str());
    const std::string result = Field(row, 3);
    const std::uint64_t n = Count(row, 7);
    if (result != "Pass" && result != "FAIL") {
      oddResults += n;
      return;
    }
    key.passed = result == "Pass";
    ParseHour(Field(row, 2), key.time);
    key.errorCode = key.passed ? std::string() : Field(row, 4);
    key.group = Field(row, 5);
    key.rework = static_cast<ReworkClass>(std::atoi(Field(row, 6).c_str()));
    builder.AddCell(std::move(key), CellValue{n, 0, Number(row, 8), Number(row, 9)});
  }, error);
  if (!ok || !s.Query("SET LOCAL enable_sort = on", nullptr, error)) return false;

  // Rows that are no record: the first ones named, all counted.
  if (oddResults > 0) {
    PgResult odd;
    if (!s.Query("SELECT record_key, result FROM kx20.verdicts v WHERE " + where +
                 " AND result NOT IN ('Pass', 'FAIL') ORDER BY finished_at, record_key LIMIT " +
                 std::to_string(kMalformedKept), &odd, error)) {
      return false;
    }
    for (const Row& row : odd.rows) {
      builder.AddMalformed(MalformedRecord{"database", Field(row, 0),
                                           "the result '" + Field(row, 1) + "' is neither Pass nor FAIL"});
    }
    builder.SetMalformedCount(oddResults);
  }

  // Each slot's passes by disk time in whole seconds (the builder takes
  // the median, the 90th percentile and the sign test from them).
  std::string times = "SELECT v.station, v.slot, " + std::string(kDiskSeconds) +
                      " AS seconds, count(*) AS n FROM kx20.verdicts v WHERE " + split.edges +
                      " AND v.result = 'Pass' AND v.slot > 0 GROUP BY 1, 2, 3";
  if (split.counted) {
    times = "SELECT station, slot, seconds, sum(n)::bigint FROM (SELECT station, slot, seconds,"
            " passes AS n FROM kx20.pass_time_hours WHERE " + split.hours + " UNION ALL " + times +
            ") AS p GROUP BY 1, 2, 3";
  }
  ok = s.Each(times, [&](const Row& row) {
    builder.AddPassTimes(Field(row, 0), std::atoi(Field(row, 1).c_str()), Number(row, 2),
                         Count(row, 3));
  }, error);
  if (!ok) return false;

  // Pass serial numbers given more than once (on a line, none: its numbers
  // are handed out once), then the first places of each.
  PgResult repeated;
  // (The line keeps the number of passes per serial number: only the few
  // given more than once in all are counted in the window, one by one.)
  const std::string repeats =
      columns.passSerials
          ? "SELECT serial, n FROM (SELECT r.serial, (SELECT count(*) FROM kx20.verdicts v WHERE"
            " v.serial = r.serial AND " + where + " AND v.result = 'Pass') AS n FROM"
            " kx20.pass_serials r WHERE r.passes > 1) AS c WHERE n > 1 ORDER BY serial"
          : "SELECT serial, count(*) FROM kx20.verdicts v WHERE " + where +
            " AND result = 'Pass' AND serial > 0 GROUP BY serial HAVING count(*) > 1"
            " ORDER BY serial";
  if (!s.Query(repeats, &repeated, error)) return false;
  for (std::size_t first = 0; first < repeated.rows.size(); first += 1000) {
    std::string list;
    std::map<std::uint32_t, RepeatedSerial> found;
    for (std::size_t i = first; i < repeated.rows.size() && i < first + 1000; ++i) {
      const auto serial = static_cast<std::uint32_t>(Count(repeated.rows[i], 0));
      list += (list.empty() ? "" : ",") + std::to_string(serial);
      found[serial] = RepeatedSerial{serial, Count(repeated.rows[i], 1), {}};
    }
    PgResult places;
    if (!s.Query("SELECT serial, record_key, station, slot, drive_letter,"
                 " to_char(finished_at, 'YYYY-MM-DD HH24:MI:SS') FROM (SELECT v.*,"
                 " row_number() OVER (PARTITION BY serial ORDER BY finished_at, record_key) AS k"
                 " FROM kx20.verdicts v WHERE " + where + " AND result = 'Pass' AND serial IN (" +
                 list + ")) AS r WHERE k <= " + std::to_string(kSightingsListed) +
                 " ORDER BY serial, k", &places, error)) {
      return false;
    }
    for (const Row& row : places.rows) {
      RepeatedSerial& repeat = found[static_cast<std::uint32_t>(Count(row, 0))];
      repeat.seenAt.push_back("database: station " + Field(row, 2) + " slot " + Field(row, 3) +
                              " (" + Field(row, 4) + ":) " + Field(row, 5) + " [" + Field(row, 1) + "]");
    }
    for (auto& [serial, repeat] : found) builder.AddRepeatedSerial(std::move(repeat));
  }

  // The first reworks of the window (their count is in the groups).
  if (columns.previousSerial) {
    PgResult reworks;
    if (!s.Query("SELECT v.record_key, v.station, v.slot, v.drive_letter,"
                 " to_char(v.finished_at, 'YYYY-MM-DD HH24:MI:SS'), coalesce(v.serial, 0),"
                 " v.previous_serial, v.result, coalesce(v.error_code, ''), e.result, " +
                 Seconds("e.finished_at") + " FROM kx20.verdicts v CROSS JOIN LATERAL (SELECT"
                 " e.result, e.finished_at FROM kx20.verdicts e WHERE e.serial = v.previous_serial"
                 " AND e.serial > 0 AND e.finished_at < v.finished_at AND e.result IN ('Pass', 'FAIL')"
                 " ORDER BY e.finished_at DESC, e.record_key DESC"
                 " LIMIT 1) AS e WHERE " + where + " AND v.previous_serial IS NOT NULL"
                 " AND v.result IN ('Pass', 'FAIL') ORDER BY v.finished_at, v.record_key LIMIT " +
                 std::to_string(kReworksListed), &reworks, error)) {
      return false;
    }
    for (const Row& row : reworks.rows) {
      ReworkEntry e;
      e.where = "database: station " + Field(row, 1) + " slot " + Field(row, 2) + " (" +
                Field(row, 3) + ":) " + Field(row, 4) + " [" + Field(row, 0) + "]";
      e.serial = static_cast<std::uint32_t>(Count(row, 5));
      e.previousSerial = static_cast<std::uint32_t>(Count(row, 6));
      e.passed = Field(row, 7) == "Pass";
      e.errorCode = e.passed ? std::string() : Field(row, 8);
      e.earlierPassed = Field(row, 9) == "Pass";
      e.earlierFinished = Number(row, 10);
      builder.AddRework(std::move(e));
    }
  }
  s.End();
  return true;
}

bool ReadLineVerdicts(const std::string& conninfo, YieldReportBuilder& builder,
                      std::string& error) {
  Session s(conninfo);
  if (!s.Begin(error)) return false;
  Columns c;
  if (!ReadColumns(s, c, error)) return false;
  builder.AddSource("database kx20.verdicts");
  const ReportWindow window = builder.Window();
  // Every row, the window's and the earlier ones (a rework's earlier verdict
  // may lie before the window).
  const std::string query =
      "SELECT record_key, station, slot, result, coalesce(error_code, ''),"
      " to_char(finished_at, 'YYYY MM DD HH24 MI SS'), coalesce(serial::text, ''), drive_letter, " +
      Seconds("started_at") + ", " + Seconds("finished_at") + ", " +
      "extract(epoch FROM finished_at - started_at)::float8, " +
      (c.lot ? "coalesce(lot, '')" : "''") + ", " + (c.operatorName ? "coalesce(operator, '')" : "''") +
      ", " + (c.previousSerial ? "previous_serial::text" : "NULL") +
      " FROM kx20.verdicts ORDER BY finished_at, record_key";
  return s.Each(query, [&](const Row& row) {
    const std::string key = Field(row, 0);
    VerdictRecord r;
    r.station = Field(row, 1);
    r.slot = std::atoi(Field(row, 2).c_str());
    const std::string result = Field(row, 3);
    r.errorCode = Field(row, 4);
    std::sscanf(Field(row, 5).c_str(), "%d %d %d %d %d %d", &r.year, &r.month, &r.day, &r.hour,
                &r.minute, &r.second);
    r.serial = static_cast<std::uint32_t>(std::strtoul(Field(row, 6).c_str(), nullptr, 10));
    r.startedAt = Number(row, 8);
    r.finishedAt = Number(row, 9);
    r.diskTime = Number(row, 10);  // as the database computes it
    r.lot = Field(row, 11);
    r.operatorName = Field(row, 12);
    if (row.size() > 13 && row[13]) {
      r.previousSerial = static_cast<std::uint32_t>(std::strtoul(row[13]->c_str(), nullptr, 10));
    }
    char at[64];
    std::snprintf(at, sizeof at, "%04d-%02d-%02d %02d:%02d:%02d", r.year, r.month, r.day, r.hour,
                  r.minute, r.second);
    r.where = "database: station " + r.station + " slot " + std::to_string(r.slot) + " (" +
              Field(row, 7) + ":) " + at + " [" + key + "]";
    if (result == "Pass") {
      r.passed = true;
      r.errorCode.clear();
    } else if (result != "FAIL") {
      if (window.Contains(r.finishedAt)) {
        builder.AddMalformed(MalformedRecord{"database", key,
                                             "the result '" + result + "' is neither Pass nor FAIL"});
      }
      return;
    }
    builder.Add(r);
  }, error) && (s.End(), true);
}

#else

bool LineDatabaseAvailable() { return false; }

bool AggregateLineVerdicts(const std::string&, YieldReportBuilder&, std::string& error) {
  error = "this build has no line mode (it was built without a database client library)";
  return false;
}

bool ReadLineVerdicts(const std::string&, YieldReportBuilder&, std::string& error) {
  error = "this build has no line mode (it was built without a database client library)";
  return false;
}

#endif

}  // namespace kx20
