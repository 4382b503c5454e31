// Reads produce.log files for the yield report. A record is one section named
// by its local date and time ("2004/5/3  14:7:9") with a "Result" of "Pass"
// or "FAIL" and, for a failure, an "Error Code". The log carries neither slot
// nor drive letter, so its records count under slot 0 ("unknown"); the
// station is the label the caller gives (the file's name by default).
//
// The file may be ANSI/UTF-8, UTF-8 with a mark or UTF-16 with one, with any
// line endings. A section that is not a record (a name that is not a date and
// time, no or another Result, a pass with an error code, text before the
// first section) is counted as malformed with its reason, never guessed at.
// Two sections of one name (a clock set back) are two records.
#pragma once

#include <set>
#include <string>
#include <string_view>

#include "report/yield_report.h"

namespace kx20 {

// Adds the records of a produce.log's bytes to `builder`; `source` names the
// file in malformed-record reports. A record's time is the station's local
// time, taken as this computer's zone for the window. A section whose name
// is in `covered` (one of them, removed there) was read from produce.jsonl
// already and is not counted again. Returns the number of records read.
std::uint64_t ReadProductionLogText(std::string_view bytes, const std::string& station,
                                    const std::string& source, YieldReportBuilder& builder,
                                    std::multiset<std::string>* covered = nullptr);

// A file of records: a produce.jsonl (by its name's ending ".jsonl"), or a
// produce.log. A produce.log with a produce.jsonl beside it is read with it:
// every verdict the .jsonl holds counts from there (it says more), the log's
// sections that it does not hold (written before the station kept a .jsonl,
// or whose line was damaged) from the log. `read` holds the files read so
// far: a .jsonl already read with its log is not read twice (true, nothing
// added). Returns false with `error` when a file cannot be read.
bool ReadRecordFile(const std::string& path, const std::string& station,
                    YieldReportBuilder& builder, std::set<std::string>& read, std::string& error);

// A produce.log alone. Returns false with `error` when it cannot be read.
bool ReadProductionLogFile(const std::string& path, const std::string& station,
                           YieldReportBuilder& builder, std::string& error);

// Parses a section name "Y/M/D  h:m:s" (as the log writes it: no zero padding
// needed, white space between date and time) into `record`'s date and time.
// False when it is not one, or a field is out of range.
bool ParseLogSectionTime(std::string_view name, VerdictRecord& record);

}  // namespace kx20
