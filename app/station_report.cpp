#include "app/station_report.h"

#include <cstdio>

#include "production/status_message.h"

namespace kx20 {

std::string FormatElapsed(std::uint64_t ms) {
  std::string hours = std::to_string(ms / 3'600'000);
  if (hours.size() < 2) hours.insert(0, 1, '0');
  char rest[16];
  std::snprintf(rest, sizeof rest, ":%02u:%02u.%03u", static_cast<unsigned>(ms / 60'000 % 60),
                static_cast<unsigned>(ms / 1000 % 60), static_cast<unsigned>(ms % 1000));
  return hours + rest;
}

std::string FormatRowLine(std::uint64_t elapsedMs, int row, int image, const std::string& text) {
  return FormatElapsed(elapsedMs) + " " + std::to_string(row) + " " + std::to_string(image) + " " +
         text;
}

std::vector<RowChangeTracker::Change> RowChangeTracker::Update(
    const std::vector<MemoryConsoleView::Row>& rows) {
  std::vector<Change> changes;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const bool changed =
        i >= last_.size() || last_[i].text != rows[i].text || last_[i].image != rows[i].image;
    if (changed) changes.push_back({static_cast<int>(i), rows[i].image, rows[i].text});
  }
  last_ = rows;
  return changes;
}

RunSummary SummariseRun(const std::vector<StartedWorker>& started,
                        const std::vector<RowStatus>& rows, bool codeFlash) {
  RunSummary summary;
  for (const StartedWorker& w : started) {
    ++summary.started;
    bool passed = false;
    if (w.row >= 0 && static_cast<std::size_t>(w.row) < rows.size()) {
      const RowStatus& row = rows[static_cast<std::size_t>(w.row)];
      const StatusClass wanted = codeFlash ? StatusClass::kEmpty : StatusClass::kPass;
      passed = row.driveLetter == w.driveLetter && row.verdict == wanted;
    }
    if (passed) {
      ++summary.passed;
    } else {
      ++summary.failed;
    }
  }
  return summary;
}

}  // namespace kx20
