// The yield report as a text table (for the terminal) and as one
// self-contained HTML page with inline SVG charts (no scripts, no fetches):
// yield per hour, failures by error code, failure rate by slot with the
// outliers marked, and pass/fail by station.
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

}  // namespace kx20
