// Reads the line's production record (the table kx20.verdicts on the line's
// PostgreSQL server) for the yield report, through the line's link (libpq,
// or ODBC: line/line_link.h) where the build has one; elsewhere the reader
// says it is missing.
//
// Hours are the session's local time (the server's TimeZone setting, or the
// client's PGTZ environment variable when set), taken from finished_at. The
// record of one disk's columns (lot, operator, previous_serial) are used
// where the table has them; a line of an older schema reports without them
// (no lot or operator, no reworks).
#pragma once

#include <string>

#include "report/yield_report.h"

namespace kx20 {

// True when this build can reach a line's database.
bool LineDatabaseAvailable();

// Counts in the database: the window's verdicts grouped there (GROUP BY
// station, slot, hour or day, result, error code, lot or operator, rework)
// and only the groups fetched, with each slot's disk times
// (percentile_cont), the repeated pass serial numbers and the first
// reworks. The builder's window and grouping say what to count. Returns false
// with `error` (the server's words) when the database cannot be reached or
// read.
bool AggregateLineVerdicts(const std::string& conninfo, YieldReportBuilder& builder,
                           std::string& error);

// Reads every row to this computer and counts here, as the files are: the
// same figures, far slower on a big line (for checking the database's
// figures, and for a report that also reads files, whose serial numbers the
// database cannot see). Rows whose result is neither 'Pass' nor 'FAIL' are
// counted as malformed with their record_key.
bool ReadLineVerdicts(const std::string& conninfo, YieldReportBuilder& builder,
                      std::string& error);

}  // namespace kx20
