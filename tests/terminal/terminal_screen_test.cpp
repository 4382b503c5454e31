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

WorkerStatus Msg(int row, std::uint16_t code, std::uint16_t value) {
  return WorkerStatus::Make(static_cast<char>('E' + row), row, code, value);
}

TEST(TerminalProgress, MessagesMoveTheBarThroughItsPhases) {
  struct Case {
    std::uint16_t code;
    std::uint16_t value;
    SlotProgress::Phase phase;
    int percent;
    SlotProgress::Verdict verdict;
  };
  using P = SlotProgress::Phase;
  using V = SlotProgress::Verdict;
  const Case cases[] = {
      {StatusProcess, 0, P::kTable, 0, V::kNone},
      {StatusEraseProgress, 0, P::kErase, 0, V::kNone},
      {StatusEraseProgress, 37, P::kErase, 37, V::kNone},
      {StatusEraseProgress, 100, P::kErase, 100, V::kNone},
      {StatusRwTestProgress, 250, P::kRwTest, 100, V::kNone},  // clamped
      {StatusProcess, 1, P::kImage, 25, V::kNone},
      {StatusProcess, 4, P::kImage, 100, V::kNone},
      {StatusProcess, 5, P::kTable, 0, V::kNone},  // "Process" again
      {StatusPass, 100, P::kTable, 100, V::kPass},
  };
  ProgressBoard board;
  board.Started(3, 1000);
  for (const Case& c : cases) {
    board.Note(Msg(3, c.code, c.value), 2000);
    const SlotProgress& s = board.Slot(3);
    EXPECT_EQ(s.phase, c.phase) << c.code << "/" << c.value;
    EXPECT_EQ(s.percent, c.percent) << c.code << "/" << c.value;
    EXPECT_EQ(s.verdict, c.verdict) << c.code << "/" << c.value;
  }
}

TEST(TerminalProgress, EveryFailureCodeIsAFailAndProgressCodesAreNot) {
  for (std::uint16_t code = 0; code <= 24; ++code) {
    ProgressBoard board;
    board.Started(0, 0);
    board.Note(Msg(0, code, 0), 5);
    const bool fail = code == 2 || code == 3 || code == 4 || code == 5 || code == 8 ||
                      (code >= 12 && code <= 16) || code == 18 || code == StatusDiskInUse ||
                      code == StatusRecordFail;
    const bool pass = code == StatusPass || code == StatusEmpty;
    const SlotProgress::Verdict expected = fail   ? SlotProgress::Verdict::kFail
                                           : pass ? SlotProgress::Verdict::kPass
                                                  : SlotProgress::Verdict::kNone;
    EXPECT_EQ(board.Slot(0).verdict, expected) << code;
  }
}

TEST(TerminalProgress, TheLineUnderARowShowsPhaseBarAndTime) {
  SlotProgress s;
  EXPECT_EQ(ProgressLine(s, 0), "");  // no worker: nothing
  s.started = true;
  s.startMs = 1000;
  s.phase = SlotProgress::Phase::kErase;
  s.percent = 50;
  EXPECT_EQ(ProgressLine(s, 6500), "E[####....] 00:05");
  s.phase = SlotProgress::Phase::kImage;
  s.percent = 75;
  EXPECT_EQ(ProgressLine(s, 62000), "I[######..] 01:01");
  s.verdict = SlotProgress::Verdict::kPass;
  s.percent = 100;
  s.endMs = 9000;
  EXPECT_EQ(ProgressLine(s, 99000), "=[########] 00:08");  // the time stops at the verdict
  s.verdict = SlotProgress::Verdict::kFail;
  s.percent = 25;
  EXPECT_EQ(ProgressLine(s, 99000), "X[##......] 00:08");
  s.endMs = 1000 + 36000000;  // ten hours: still within the cell
  EXPECT_LE(ProgressLine(s, 0).size(), static_cast<std::size_t>(kRowTextWidth));
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
