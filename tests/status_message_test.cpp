#include <gtest/gtest.h>

#include <optional>

#include <thread>
#include <vector>

#include "production/status_message.h"
#include "production/status_poster.h"

namespace kx20 {
namespace {

TEST(WorkerStatus, CarriesLetterRowCodeAndValue) {
  const auto m = WorkerStatus::Make('E', 9, StatusRwTestProgress, 0xBEEF);
  EXPECT_EQ(m.DriveLetter(), 'E');
  EXPECT_EQ(m.Row(), 9);
  EXPECT_EQ(m.Code(), StatusRwTestProgress);
  EXPECT_EQ(m.Value(), 0xBEEF);
}

struct RowCase {
  int code;
  int value;
  const char* text;
  int image;  // -1: unchanged
};

TEST(FormatStatusRow, EveryCodeGivesItsExactTextAndImage) {
  const RowCase cases[] = {
      {1, 100, "01-:Pass", 6},
      {2, 0, "E:[size X]", 7},
      {3, 0, "01-:[compare X]", 7},
      {4, 0, "E:[open X]", 7},
      {5, 0, "E:[source X]", 7},
      {6, 0, "E:....", -1},
      {7, 100, "E:empty", -1},
      {8, 0, "E:read X", 7},
      {9, 0, "01-(Erase)  0 %", 4},
      {9, 37, "01-(Erase) 37 %", -1},
      {9, 99, "01-(Erase) 99 %", -1},
      {9, 100, "01-:(Erase)ok", -1},
      {9, 101, "01-(Erase)101 %", -1},
      {10, 0, "01-(rw-test)  0 %", 5},
      {10, 50, "01-(rw-test) 50 %", -1},
      {10, 100, "01-(rw-test)ok", -1},
      {11, 7, "E(E) Cap  7 ", 5},
      {12, 0, "01-:[rw-table X]", 7},
      {13, 0, "01-:[tab-compare X]", 7},
      {14, 0, "01-:[rw-compare X]", 7},
      {15, 0, "01-:[pnf X]", 7},
      {16, 0, "01-:[capacity X]", 7},
      {18, 0, "01-:[config X]", 7},
      {19, 0, "", -1},
      {20, 0, "01-:Process", 5},
      {20, 1, "01-.   ", 5},
      {20, 2, "01-..  ", 5},
      {20, 3, "01-... ", 5},
      {20, 4, "01-....", 5},
      {20, 5, "01-:Process", 5},
      {21, 0, "01-:[in use X]", 7},
      {22, 0, "01-:[record X]", 7},
      {0, 0, "", -1},
      {23, 0, "", -1},
      {0xFFFF, 0, "", -1},
  };
  for (const auto& c : cases) {
    const RowUpdate u = FormatStatusRow(static_cast<std::uint16_t>(c.code),
                                        static_cast<std::uint16_t>(c.value), "01", 'E');
    EXPECT_TRUE(u.setText) << c.code;
    EXPECT_EQ(u.text, c.text) << "code " << c.code << " value " << c.value;
    EXPECT_EQ(u.image.value_or(-1), c.image) << "code " << c.code << " value " << c.value;
  }
}

TEST(FormatStatusRow, BuildImageLeavesTheRowAlone) {
  const RowUpdate u = FormatStatusRow(StatusBuildImage, 0, "01", 'E');
  EXPECT_FALSE(u.setText);
  EXPECT_FALSE(u.image.has_value());
}

TEST(FormatStatusRow, UnknownSlotGivesAnEmptyLabel) {
  EXPECT_EQ(FormatStatusRow(StatusPass, 100, "", 'Q').text, "-:Pass");
}

// The one classification: every code of the table, and the row it formats
// agrees with it (a verdict sets the pass or failure image, progress does not).
TEST(StatusClassification, EveryCodeHasOneClassAgreeingWithItsRow) {
  using C = StatusClass;
  const C expected[24] = {C::kNone,       C::kPass,       C::kFail,       C::kFail,
                          C::kFail,       C::kFail,       C::kInProgress, C::kEmpty,
                          C::kFail,       C::kInProgress, C::kInProgress, C::kInProgress,
                          C::kFail,       C::kFail,       C::kFail,       C::kFail,
                          C::kFail,       C::kInProgress, C::kFail,       C::kInProgress,
                          C::kInProgress, C::kFail,       C::kFail,       C::kNone};
  for (std::uint16_t code = 0; code < 24; ++code) {
    const C c = ClassifyStatus(code);
    EXPECT_EQ(c, expected[code]) << code;
    const RowUpdate row = FormatStatusRow(code, 0, "01", 'E');
    if (c == C::kPass) {
      EXPECT_EQ(row.image, std::optional<int>(kImagePassed)) << code;
    }
    if (c == C::kFail) {
      EXPECT_EQ(row.image, std::optional<int>(kImageFailed)) << code;
    }
    if (c != C::kPass && c != C::kFail) {
      EXPECT_NE(row.image, std::optional<int>(kImagePassed)) << code;
      EXPECT_NE(row.image, std::optional<int>(kImageFailed)) << code;
    }
  }
  EXPECT_EQ(ClassifyStatus(0xFFFF), C::kNone);
}

// The phase and the progress within it that each code and value gives.
TEST(StatusTable, PhaseAndProgressOfEveryKindOfCode) {
  struct Case {
    int code;
    int value;
    RowPhase phase;
    int progress;
  };
  using P = RowPhase;
  const Case cases[] = {
      {9, 0, P::kErase, 0},      {9, 37, P::kErase, 37},    {9, 100, P::kErase, 100},
      {9, 250, P::kErase, 100},  {10, 0, P::kRwTest, 0},    {10, 99, P::kRwTest, 99},
      {20, 0, P::kTable, 0},     {20, 1, P::kImage, 25},    {20, 3, P::kImage, 75},
      {20, 4, P::kImage, 100},   {20, 5, P::kTable, 0},     {1, 100, P::kNone, -1},
      {18, 0, P::kNone, -1},     {7, 100, P::kNone, -1},    {11, 7, P::kNone, -1},
      {17, 0, P::kNone, -1},     {19, 0, P::kNone, -1},     {0, 0, P::kNone, -1},
      {21, 4, P::kNone, -1},
  };
  for (const Case& c : cases) {
    const StatusEntry& e = LookUpStatus(static_cast<std::uint16_t>(c.code));
    const auto value = static_cast<std::uint16_t>(c.value);
    EXPECT_EQ(StatusPhase(e, value), c.phase) << c.code << "/" << c.value;
    EXPECT_EQ(StatusPhaseProgress(e, value), c.progress) << c.code << "/" << c.value;
  }
  EXPECT_STREQ(PhaseName(RowPhase::kRwTest), "rw-test");
  EXPECT_STREQ(PhaseName(RowPhase::kNone), "");
}

// Every format of the table takes exactly the arguments its entry hands it:
// a slot label (%s) or a drive letter (%c), and the value (%3d) only where
// the entry shows it. A wrong conversion would read the wrong argument.
TEST(StatusTable, EveryFormatTakesTheArgumentsItsEntryGives) {
  const auto conversions = [](const char* format) {
    std::string found;
    for (const char* p = format; *p != '\0'; ++p) {
      if (*p != '%') continue;
      ++p;
      if (*p == '%') continue;
      while (*p >= '0' && *p <= '9') ++p;
      found += *p;
    }
    return found;
  };
  for (std::size_t i = 0; i < StatusTable().size(); ++i) {
    const StatusEntry& e = StatusTable()[i];
    EXPECT_EQ(e.code, i + 1);
    EXPECT_EQ(&LookUpStatus(e.code), &e);
    if (e.text == nullptr || e.text[0] == '\0') continue;
    const std::string who = e.byLetter ? "c" : "s";
    const bool showsValue = e.value == StatusValue::kCount || e.value == StatusValue::kPercent;
    EXPECT_EQ(conversions(e.text), showsValue ? who + "d" : who) << e.code;
    if (e.value == StatusValue::kPercent) {
      ASSERT_NE(e.doneText, nullptr) << e.code;
      EXPECT_EQ(conversions(e.doneText), who) << e.code;
    }
    for (const char* step : e.stepTexts) {
      if (step != nullptr) {
        EXPECT_EQ(conversions(step), who) << e.code;
      }
    }
    if (e.value == StatusValue::kSteps) {
      EXPECT_NE(e.stepPhase, RowPhase::kNone) << e.code;
    }
  }
  EXPECT_EQ(LookUpStatus(0).statusClass, StatusClass::kNone);
  EXPECT_EQ(LookUpStatus(0xFFFF).statusClass, StatusClass::kNone);
}

TEST(StatusQueue, KeepsOrderAcrossThreadsAndDropsAfterClose) {
  StatusQueue queue;
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t) {
    posters.emplace_back([&queue, t] {
      for (int i = 0; i < 100; ++i) {
        queue.Post(WorkerStatus::Make(static_cast<char>('E' + t), t, StatusProcess,
                                             static_cast<std::uint16_t>(i)));
      }
    });
  }
  for (auto& p : posters) p.join();
  int next[4] = {0, 0, 0, 0};
  int count = 0;
  while (auto m = queue.TryTake()) {
    const int row = m->Row();
    EXPECT_EQ(m->Value(), next[row]) << "messages of one worker arrive in posting order";
    ++next[row];
    ++count;
  }
  EXPECT_EQ(count, 400);
  queue.Close();
  queue.Post(WorkerStatus::Make('E', 0, StatusPass, 100));
  EXPECT_FALSE(queue.TryTake().has_value());
  EXPECT_FALSE(queue.WaitTake(10).has_value());
}

}  // namespace
}  // namespace kx20
