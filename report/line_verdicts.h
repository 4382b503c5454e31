// Reads the line's production record (the table kx20.verdicts on the line's
// PostgreSQL server) for the yield report, through the line's link (libpq,
// or ODBC: line/line_link.h) where the build has one; elsewhere the reader
// says it is missing.
//
// Hours are the session's local time (the server's TimeZone setting, or the
// client's PGTZ environment variable when set), taken from finished_at.
#pragma once

#include <string>

#include "report/yield_report.h"

namespace kx20 {

// True when this build can reach a line's database.
bool LineDatabaseAvailable();

// Adds every row of kx20.verdicts to `builder`. Returns false with `error`
// (the server's words) when the database cannot be reached or read; rows
// that do not make a record (a result other than 'Pass'/'FAIL') are counted
// as malformed with their record_key.
bool ReadLineVerdicts(const std::string& conninfo, YieldReportBuilder& builder,
                      std::string& error);

}  // namespace kx20
