#include "app/terminal/terminal_screen.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace kx20::terminal {
namespace {

TEST(TerminalCanvas, ClipsAtTheEdgesAndNeverDrawsControlCharacters) {
  Canvas canvas(10, 2);
  canvas.Put(0, 7, "abcdef", Style::kNormal);  // runs off the right edge
  canvas.Put(1, -2, "xy\tz\x1b", Style::kNormal);  // starts left of it
  canvas.Put(5, 0, "outside", Style::kNormal);
  EXPECT_EQ(canvas.Line(0), "       abc");
  EXPECT_EQ(canvas.Line(1), "?z?       ");
  EXPECT_EQ(canvas.Text(), "       abc\n?z?\n");
  EXPECT_EQ(canvas.At(9, 9).ch, ' ');  // outside: a blank cell, no crash
}

TEST(TerminalCanvas, PutRespectsItsWidthLimit) {
  Canvas canvas(20, 1);
  canvas.Put(0, 0, "01-:[tab-compare X] and more", Style::kRowText, kRowTextWidth);
  EXPECT_EQ(canvas.Line(0), "01-:[tab-compare X] ");
}

TEST(TerminalStateImages, NineDistinctPicturesThatReadWithoutColour) {
  std::set<std::string> pictures;
  for (int i = 0; i <= 8; ++i) {
    const StateImage image = StateImageFor(i);
    EXPECT_EQ(std::string(image.top).size(), static_cast<std::size_t>(kImageWidth)) << i;
    EXPECT_EQ(std::string(image.bottom).size(), static_cast<std::size_t>(kImageWidth)) << i;
    pictures.insert(std::string(image.top) + "/" + image.bottom);
  }
  EXPECT_EQ(pictures.size(), 9u);
  EXPECT_EQ(std::string(StateImageFor(9).top), "     ");
  EXPECT_EQ(std::string(StateImageFor(-1).bottom), "     ");
}

TEST(TerminalLayout, SlotsInIconViewOrderInsideTheListWithoutOverlap) {
  for (bool compact : {false, true}) {
    const int bottom = ListBottom(compact);
    for (int row = 0; row < kListRows; ++row) {
      const SlotCellPos p = SlotCellPosition(row, compact);
      // Inside the frame: lines 2 .. bottom-2, columns 1 .. 78.
      EXPECT_GE(p.y, 2);
      EXPECT_LE(p.y + 1, bottom - 2) << row;
      EXPECT_GE(p.x, 1);
      EXPECT_LE(p.x + kImageWidth + 1 + kRowTextWidth, kMinWidth - 1) << row;
      if (row > 0) {
        const SlotCellPos prev = SlotCellPosition(row - 1, compact);
        // Left to right, then the next line.
        EXPECT_TRUE(p.y > prev.y || (p.y == prev.y && p.x >= prev.x + kImageWidth + 1 + kRowTextWidth + 1))
            << row;
      }
    }
  }
  // With the panel open everything still fits in 24 lines.
  EXPECT_LE(PanelTop() + kPanelLines, kMinHeight - 2);
  EXPECT_LE(ListBottom(false) + 3, kMinHeight - 2);
}

TEST(TerminalLayout, PanelFieldsFitAndDoNotOverlapEachOther) {
  struct Span {
    int line, from, to, id;
  };
  std::vector<Span> spans;
  const std::set<int> hidden = {1038, 1018, 1030};  // drawn only if made visible
  for (const PanelField& f : PanelFields()) {
    if (hidden.count(f.id) != 0) continue;
    const int labelEnd = f.labelX + static_cast<int>(std::string(f.label).size());
    const int fieldEnd = f.x + f.width + (f.kind == FieldKind::kPercent ? 1 : 0);
    EXPECT_LE(std::max(labelEnd, fieldEnd), kMinWidth - 1) << f.id;  // inside the right frame
    EXPECT_LT(f.line, kPanelLines) << f.id;
    spans.push_back({f.line, f.x, fieldEnd, f.id});
    // A button's caption is drawn inside the button.
    if (f.label[0] != '\0' && f.kind != FieldKind::kButton) spans.push_back({f.line, f.labelX, labelEnd, f.id});
  }
  for (std::size_t i = 0; i < spans.size(); ++i) {
    for (std::size_t j = i + 1; j < spans.size(); ++j) {
      const Span& a = spans[i];
      const Span& b = spans[j];
      if (a.line != b.line) continue;
      EXPECT_TRUE(a.to <= b.from || b.to <= a.from) << a.id << " and " << b.id;
    }
  }
  ASSERT_NE(FindPanelField(1047), nullptr);
  EXPECT_EQ(FindPanelField(4711), nullptr);
}

RowModel RunRow(RowPhase phase, int progress, std::uint64_t startMs) {
  RowModel r;
  r.inRun = true;
  r.verdict = StatusClass::kInProgress;
  r.phase = phase;
  r.progress = progress;
  r.startMs = startMs;
  return r;
}

TEST(TerminalProgress, TheLineUnderARowShowsPhaseBarAndTime) {
  RowModel idle;
  EXPECT_EQ(ProgressLine(idle, 0), "");  // no worker: nothing
  EXPECT_EQ(ProgressLine(RunRow(RowPhase::kTable, 0, 1000), 3000), "T[........] 00:02");
  EXPECT_EQ(ProgressLine(RunRow(RowPhase::kErase, 50, 1000), 6500), "E[####....] 00:05");
  EXPECT_EQ(ProgressLine(RunRow(RowPhase::kRwTest, -1, 1000), 1000), "R[........] 00:00");
  RowModel s = RunRow(RowPhase::kImage, 75, 1000);
  EXPECT_EQ(ProgressLine(s, 62000), "I[######..] 01:01");
  s.verdict = StatusClass::kPass;
  s.progress = 100;
  s.endMs = 9000;
  EXPECT_EQ(ProgressLine(s, 99000), "=[########] 00:08");  // the time stops at the verdict
  s.verdict = StatusClass::kEmpty;
  EXPECT_EQ(ProgressLine(s, 99000), "=[########] 00:08");
  s.verdict = StatusClass::kFail;
  s.progress = 25;
  EXPECT_EQ(ProgressLine(s, 99000), "X[##......] 00:08");
  s.endMs = 1000 + 36000000;  // ten hours: still within the cell
  EXPECT_LE(ProgressLine(s, 0).size(), static_cast<std::size_t>(kRowTextWidth));
}

// While the read/write test or the image steps are measured, the line shows
// the rate and the time left instead; an estimate in the past shows 00:00.
TEST(TerminalProgress, MeasuredStepsShowRateAndTimeLeft) {
  struct Case {
    RowPhase phase;
    double rate;
    std::uint64_t endMs;
    std::uint64_t now;
    const char* line;
  };
  const Case cases[] = {
      {RowPhase::kRwTest, 12.34e6, 52000, 10000, "12.3MB/s 00:42 left"},
      {RowPhase::kImage, 8.6e6, 15000, 10000, "8.6MB/s 00:05 left"},
      {RowPhase::kRwTest, 245.4e6, 10500, 10000, "245MB/s 00:00 left"},
      {RowPhase::kRwTest, 99.96e6, 9000, 10000, "100MB/s 00:00 left"},
      {RowPhase::kRwTest, 12.3e6, 10000 + 3723000, 10000, "12.3MB/s 1:02:03"},
      {RowPhase::kRwTest, 12.3e6, 0, 10000, "R[##......] 00:09"},  // no estimate: the bar
      {RowPhase::kErase, 12.3e6, 52000, 10000, "E[##......] 00:09"},  // not a measured step
      {RowPhase::kRwTest, 0, 52000, 10000, "R[##......] 00:09"},      // no rate yet
  };
  for (const Case& c : cases) {
    RowModel r = RunRow(c.phase, 25, 1000);
    r.rate = c.rate;
    r.estimatedEndMs = c.endMs;
    EXPECT_EQ(ProgressLine(r, c.now), c.line) << c.line;
    EXPECT_LE(ProgressLine(r, c.now).size(), static_cast<std::size_t>(kRowTextWidth));
  }
  RowModel done = RunRow(RowPhase::kImage, 100, 1000);
  done.rate = 12e6;
  done.estimatedEndMs = 20000;
  done.verdict = StatusClass::kPass;
  done.endMs = 7000;
  EXPECT_EQ(ProgressLine(done, 10000), "=[########] 00:06");  // after the verdict: the time it took
}

TEST(TerminalProgress, ElapsedTimes) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "00:00"}, {999, "00:00"}, {61000, "01:01"}, {3599000, "59:59"}, {3600000, "1:00:00"},
      {36061000, "10:01:01"},
  };
  for (const auto& [ms, text] : cases) EXPECT_EQ(FormatElapsed(ms), text) << ms;
}

}  // namespace
}  // namespace kx20::terminal
