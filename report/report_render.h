// The yield report as a text table (for the terminal) and as one
// self-contained HTML page with inline SVG charts (no scripts, no fetches):
// yield and disks per hour (per day over more than two days), failures by
// error code, failure rate by slot with the outliers marked, disk time by
// slot with the slow slots marked, first-pass and final yield by the chosen
// grouping, and pass/fail by station. The text has no control character
// from a record (they are shown as "\xHH"); the page escapes every text.
#pragma once

#include <string>

#include "report/yield_report.h"

namespace kx20 {

std::string RenderReportText(const YieldReport& report);

// `title` heads the page (escaped like every text from the records).
std::string RenderReportHtml(const YieldReport& report, const std::string& title);

// "2026-12-08 23:00"
std::string FormatHour(const HourKey& hour);

// "3", or "unknown" for slot 0.
std::string SlotLabel(int slot);

// A plain-language statement of the outlier rule with the report's figures.
std::string DescribeOutlierRule(const YieldReport& report);

// The same for the slow-slot rule.
std::string DescribeSlowRule(const YieldReport& report);

}  // namespace kx20
