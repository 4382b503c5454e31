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

namespace {

// "01-04 06 08 09": slot numbers in order, three or more in a row as a range.
std::string SlotList(const std::vector<int>& slots) {
  std::string text;
  for (std::size_t i = 0; i < slots.size();) {
    std::size_t j = i;
    while (j + 1 < slots.size() && slots[j + 1] == slots[j] + 1) ++j;
    char part[16];
    if (j - i >= 2) {
      std::snprintf(part, sizeof part, "%02d-%02d", slots[i], slots[j]);
    } else {
      j = i;
      std::snprintf(part, sizeof part, "%02d", slots[i]);
    }
    if (!text.empty()) text += ' ';
    text += part;
    i = j + 1;
  }
  return text;
}

}  // namespace

std::string FormatRate(double bytesPerSecond) {
  const double mb = bytesPerSecond / 1e6;
  char text[32];
  std::snprintf(text, sizeof text, mb < 99.95 ? "%.1fMB/s" : "%.0fMB/s", mb);
  return text;
}

std::string SlotTipText(int row, const RowModel& state, std::uint64_t nowMs) {
  const bool measured = state.phase == RowPhase::kRwTest || state.phase == RowPhase::kImage;
  if (!state.inRun || state.Settled() || !measured || state.rate <= 0) return "";
  char slot[24];
  std::snprintf(slot, sizeof slot, "Slot %02d: ", row + 1);
  std::string text = slot + FormatRate(state.rate);
  if (state.estimatedEndMs != 0) {
    const std::uint64_t left = state.estimatedEndMs > nowMs ? (state.estimatedEndMs - nowMs) / 1000 : 0;
    char time[48];
    if (left >= 3600) {
      std::snprintf(time, sizeof time, ", %llu:%02u:%02u left",
                    static_cast<unsigned long long>(left / 3600),
                    static_cast<unsigned>(left / 60 % 60), static_cast<unsigned>(left % 60));
    } else {
      std::snprintf(time, sizeof time, ", %02u:%02u left", static_cast<unsigned>(left / 60),
                    static_cast<unsigned>(left % 60));
    }
    text += time;
  }
  return text;
}

std::string RunEndLine(const StationModel& model) {
  std::vector<int> pull;
  std::vector<int> failed;
  for (int row = 0; row < model.RowCount(); ++row) {
    const RowModel& r = model.rows[static_cast<std::size_t>(row)];
    if (!r.inRun) continue;
    pull.push_back(row + 1);  // row r shows slot r + 1
    if (r.verdict != StatusClass::kPass && r.verdict != StatusClass::kEmpty) failed.push_back(row + 1);
  }
  if (pull.empty()) return "";
  return "Run ended: pull slots " + SlotList(pull) +
         "; failed: " + (failed.empty() ? std::string("none") : SlotList(failed));
}

}  // namespace kx20
