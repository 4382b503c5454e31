// Reads produce.jsonl (one JSON object per verdict, beside produce.log) for
// the yield report. A line that is no JSON (cut by a power loss, damaged) is
// skipped and counted as damaged; an object that is no verdict record (no
// schema 1, no result Pass/FAIL, no finish time, a field of the wrong type)
// is skipped and counted as malformed. Neither is ever guessed at.
#pragma once

#include <set>
#include <string>
#include <string_view>

#include "report/yield_report.h"

namespace kx20 {

// Adds the records of a produce.jsonl's bytes to `builder` under `station`;
// `source` names the file. When `logSections` is given, the produce.log
// section name of every record read ("log_section") is added to it. Returns
// the number of records read.
std::uint64_t ReadVerdictJsonlText(std::string_view bytes, const std::string& station,
                                   const std::string& source, YieldReportBuilder& builder,
                                   std::multiset<std::string>* logSections = nullptr);

}  // namespace kx20
