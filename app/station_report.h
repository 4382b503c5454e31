// What the station programs print about a run: row changes with a time
// stamp, and the verdict count of the disks a run started.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/memory_console_view.h"
#include "app/station.h"

namespace kx20 {

// "HH:MM:SS.mmm" of a duration in milliseconds (hours keep counting past 99).
std::string FormatElapsed(std::uint64_t ms);

// "HH:MM:SS.mmm row image text".
std::string FormatRowLine(std::uint64_t elapsedMs, int row, int image, const std::string& text);

// Remembers the rows last reported and yields the ones that changed since.
class RowChangeTracker {
 public:
  struct Change {
    int row;
    int image;
    std::string text;
  };
  std::vector<Change> Update(const std::vector<MemoryConsoleView::Row>& rows);

 private:
  std::vector<MemoryConsoleView::Row> last_;
};

struct RunSummary {
  int started = 0;
  int passed = 0;
  int failed = 0;
};

// Counts the verdicts of the started disks from the last status each row
// was given (Station::RowStatuses): a production disk passed when its row's
// last status was a pass, a code-flash disk when it was its own "empty".
RunSummary SummariseRun(const std::vector<StartedWorker>& started,
                        const std::vector<RowStatus>& rows, bool codeFlash);

// A rate in MB/s (1 MB = 1,000,000 bytes): "8.6MB/s", "245MB/s".
std::string FormatRate(double bytesPerSecond);

// What a slot's tooltip says while its disk's rate is measured (the
// read/write test and the image steps): "Slot 02: 12.3MB/s, 00:42 left";
// empty otherwise.
std::string SlotTipText(int row, const RowModel& state, std::uint64_t nowMs);

// The line at the end of a run: which slots to pull (every disk the run
// started; the station scans again only when they are all out) and which of
// them failed: "Run ended: pull slots 01-03 05; failed: 02". Runs of three
// or more slots in a row are written as a range. A disk without a pass (or,
// in a code-flash run, without "empty") counts as failed. Empty when no row
// was part of the run.
std::string RunEndLine(const StationModel& model);

}  // namespace kx20
