#include "app/terminal/terminal_view.h"

#include <gtest/gtest.h>

#include "config/settings.h"

namespace kx20::terminal {
namespace {

namespace sc = settings_control;

ControlModel Control(const std::string& text, int limit) {
  ControlModel c;
  c.text = text;
  c.textLimit = limit;
  return c;
}

TEST(TerminalEdits, TypingStopsAtTheLimitAndUpperCasesWhereTheFieldDoes) {
  struct Case {
    int id;
    int limit;
    const char* typed;
    const char* shown;
  };
  const Case cases[] = {
      {sc::kProductName, 5, "abcdefgh", "abcde"},       // not upper case
      {sc::kManufacturerId, 2, "xyz", "XY"},
      {sc::kOemApplicationId, 4, "oem12", "OEM1"},
      {sc::kProductRevision, 2, "a1b", "A1"},
      {sc::kProductSerial, 8, "1234abcd99", "1234ABCD"},
      {sc::kRwValue, 0, "1234567", "1234567"},           // no limit
  };
  for (const Case& c : cases) {
    ControlModel control = Control("", c.limit);
    int accepted = 0;
    for (const char* p = c.typed; *p != '\0'; ++p) {
      if (const auto text = TypedText(c.id, control, *p)) {
        control.text = *text;
        ++accepted;
      }
    }
    EXPECT_EQ(control.text, c.shown) << c.id;
    EXPECT_EQ(accepted, static_cast<int>(std::string(c.shown).size())) << c.id;
  }
}

TEST(TerminalEdits, ProgramSetTextKeepsItsLengthButTheOperatorCannotAddToIt) {
  const ControlModel fromFile = Control("ABCD", 2);  // config.txt's value, longer than the limit
  EXPECT_FALSE(TypedText(sc::kManufacturerId, fromFile, 'E').has_value());
  EXPECT_EQ(ErasedText(fromFile), "ABC");
  EXPECT_EQ(ErasedText(Control("", 2)), "");
  // Typed over: cut and upper-cased.
  EXPECT_EQ(ReplacedText(sc::kManufacturerId, fromFile, "wxyz"), "WX");
  EXPECT_EQ(ReplacedText(sc::kProductName, Control("", 0), "mixed Case"), "mixed Case");
}

TEST(TerminalEdits, SortedDropDownsShowTheirEntriesInOrder) {
  ControlModel years;
  years.comboEntries = {"2005", "2003", "2010", "2004"};
  ControlModel flash;
  flash.comboEntries = {"16", "128", "32"};
  EXPECT_EQ(ShownEntries(sc::kManufacturingYear, years),
            (std::vector<std::string>{"2003", "2004", "2005", "2010"}));
  EXPECT_EQ(ShownEntries(sc::kFlash1, flash), (std::vector<std::string>{"16", "128", "32"}));
}

TEST(TerminalView, KeepsOnlyTheFocusRequestAndRunsTheModalHandler) {
  TerminalView view;
  view.SetFocus(sc::kRwValue);
  EXPECT_EQ(view.TakeFocusRequest(), sc::kRwValue);
  EXPECT_EQ(view.TakeFocusRequest(), 0);
  std::vector<std::string> shown;
  view.SetModalHandler(
      [&](const TerminalView::MessageBox& box) { shown.push_back(box.caption + ": " + box.text); });
  view.ShowMessageBox("Enter no more than 2 characters.", "KX20");
  EXPECT_EQ(shown, (std::vector<std::string>{"KX20: Enter no more than 2 characters."}));
}

}  // namespace
}  // namespace kx20::terminal
