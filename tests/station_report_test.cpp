// What kx20-station prints: time stamps, row changes and the run summary.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/station_report.h"

namespace kx20 {
namespace {

using Row = MemoryConsoleView::Row;

TEST(StationReportTest, ElapsedTimeAndRowLine) {
  EXPECT_EQ(FormatElapsed(0), "00:00:00.000");
  EXPECT_EQ(FormatElapsed(7412), "00:00:07.412");
  EXPECT_EQ(FormatElapsed(3'723'004), "01:02:03.004");
  EXPECT_EQ(FormatElapsed(100ull * 3'600'000 + 1), "100:00:00.001");
  EXPECT_EQ(FormatRowLine(7412, 2, 6, "03-:Pass"), "00:00:07.412 2 6 03-:Pass");
}

TEST(StationReportTest, TrackerReportsOnlyChangedRows) {
  RowChangeTracker tracker;
  std::vector<Row> rows = {{"01-E:\\", 1}, {"02-F:\\", 1}};
  EXPECT_EQ(tracker.Update(rows).size(), 2u);  // everything is new
  EXPECT_TRUE(tracker.Update(rows).empty());   // a rebuild to the same rows
  rows[1].image = 5;
  auto changes = tracker.Update(rows);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].row, 1);
  EXPECT_EQ(changes[0].image, 5);
  rows[0].text = "01-:Process";
  changes = tracker.Update(rows);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].text, "01-:Process");
  rows.push_back({"03-", 8});
  EXPECT_EQ(tracker.Update(rows).size(), 1u);
}

TEST(StationReportTest, SummaryCountsTheStartedDisksOnly) {
  using C = StatusClass;
  const std::vector<RowStatus> rows = {
      {'E', C::kPass},       {'F', C::kFail}, {'G', C::kInProgress}, {'H', C::kInProgress},
      {'E', C::kEmpty},      {0, C::kNone},   {'K', C::kInProgress}, {'Z', C::kPass}};
  struct Case {
    std::vector<StartedWorker> started;
    bool codeFlash;
    int passed;
    int failed;
  };
  const std::vector<Case> cases = {
      {{}, false, 0, 0},
      {{{0, 'E'}}, false, 1, 0},
      {{{0, 'E'}, {1, 'F'}, {2, 'G'}, {3, 'H'}}, false, 1, 3},
      {{{7, 'Z'}}, false, 1, 0},        // a pass without a slot label still passed
      {{{7, 'Y'}}, false, 0, 1},        // another disk's pass
      {{{12, 'E'}}, false, 0, 1},       // no such row: not a pass
      {{{4, 'E'}, {6, 'K'}}, true, 1, 1},
      {{{4, 'F'}}, true, 0, 1},         // another disk's "empty"
      {{{0, 'E'}}, true, 0, 1},         // a production pass in a code-flash run
      {{{4, 'E'}}, false, 0, 1},        // "empty" in a production run
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const RunSummary s = SummariseRun(cases[i].started, rows, cases[i].codeFlash);
    EXPECT_EQ(s.started, static_cast<int>(cases[i].started.size())) << i;
    EXPECT_EQ(s.passed, cases[i].passed) << i;
    EXPECT_EQ(s.failed, cases[i].failed) << i;
  }
}

// The line at the end of a run: the run's slots to pull, and those without
// a pass (or "empty") as failed; three or more in a row as a range.
TEST(StationReportTest, RunEndLineNamesTheSlotsToPullAndTheFailures) {
  using C = StatusClass;
  struct Case {
    std::vector<std::pair<int, C>> started;  // row, last verdict
    const char* line;
  };
  const Case cases[] = {
      {{}, ""},
      {{{0, C::kPass}}, "Run ended: pull slots 01; failed: none"},
      {{{0, C::kPass}, {1, C::kPass}}, "Run ended: pull slots 01 02; failed: none"},
      {{{0, C::kPass}, {1, C::kFail}, {2, C::kPass}, {4, C::kFail}},
       "Run ended: pull slots 01-03 05; failed: 02 05"},
      {{{0, C::kPass}, {1, C::kPass}, {2, C::kPass}, {3, C::kPass}, {4, C::kPass},
        {5, C::kPass}, {6, C::kPass}, {7, C::kPass}, {8, C::kPass}, {9, C::kFail}},
       "Run ended: pull slots 01-10; failed: 10"},
      {{{3, C::kEmpty}, {5, C::kInProgress}, {6, C::kNone}, {7, C::kFail}},
       "Run ended: pull slots 04 06-08; failed: 06-08"},  // no verdict counts as failed
  };
  for (const Case& c : cases) {
    StationModel model;
    model.rows.resize(10);
    model.rows[8].verdict = C::kPass;  // a row outside the run counts nothing
    for (const auto& [row, verdict] : c.started) {
      model.rows[static_cast<std::size_t>(row)].inRun = true;
      model.rows[static_cast<std::size_t>(row)].verdict = verdict;
    }
    EXPECT_EQ(RunEndLine(model), c.line);
  }
}

// The Windows window's slot tooltip: rate and time left while they are
// measured, nothing otherwise.
TEST(StationReportTest, SlotTipShowsRateAndTimeLeftWhileMeasured) {
  RowModel r;
  r.inRun = true;
  r.verdict = StatusClass::kInProgress;
  r.phase = RowPhase::kRwTest;
  r.rate = 12.34e6;
  r.estimatedEndMs = 52'400;
  EXPECT_EQ(SlotTipText(1, r, 10'000), "Slot 02: 12.3MB/s, 00:42 left");
  EXPECT_EQ(SlotTipText(9, r, 60'000), "Slot 10: 12.3MB/s, 00:00 left");
  r.estimatedEndMs = 10'000 + 3'723'000;
  EXPECT_EQ(SlotTipText(0, r, 10'000), "Slot 01: 12.3MB/s, 1:02:03 left");
  r.estimatedEndMs = 0;
  EXPECT_EQ(SlotTipText(0, r, 10'000), "Slot 01: 12.3MB/s");
  r.phase = RowPhase::kErase;
  EXPECT_EQ(SlotTipText(0, r, 10'000), "");
  r.phase = RowPhase::kImage;
  r.verdict = StatusClass::kPass;
  EXPECT_EQ(SlotTipText(0, r, 10'000), "");
  r.verdict = StatusClass::kInProgress;
  r.rate = 0;
  EXPECT_EQ(SlotTipText(0, r, 10'000), "");
  EXPECT_EQ(FormatRate(245.4e6), "245MB/s");
  EXPECT_EQ(FormatRate(8.64e6), "8.6MB/s");
}

}  // namespace
}  // namespace kx20
