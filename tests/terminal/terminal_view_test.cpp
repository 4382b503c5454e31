#include "app/terminal/terminal_view.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "config/settings.h"

namespace kx20::terminal {
namespace {

namespace sc = settings_control;

TEST(TerminalView, TypingStopsAtTheLimitAndUpperCasesWhereTheFieldDoes) {
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
    TerminalView view;
    view.SetTextLimit(c.id, c.limit);
    int accepted = 0;
    for (const char* p = c.typed; *p != '\0'; ++p) accepted += view.TypeChar(c.id, *p) ? 1 : 0;
    EXPECT_EQ(view.GetControlText(c.id), c.shown) << c.id;
    EXPECT_EQ(accepted, static_cast<int>(std::string(c.shown).size())) << c.id;
  }
}

TEST(TerminalView, ProgramSetTextKeepsItsLengthButTheOperatorCannotAddToIt) {
  TerminalView view;
  view.SetTextLimit(sc::kManufacturerId, 2);
  view.SetControlText(sc::kManufacturerId, "ABCD");  // from config.txt
  EXPECT_EQ(view.GetControlText(sc::kManufacturerId), "ABCD");
  EXPECT_FALSE(view.TypeChar(sc::kManufacturerId, 'E'));
  view.EraseLastChar(sc::kManufacturerId);
  EXPECT_EQ(view.GetControlText(sc::kManufacturerId), "ABC");
  view.ReplaceText(sc::kManufacturerId, "wxyz");  // typed over: cut and upper-cased
  EXPECT_EQ(view.GetControlText(sc::kManufacturerId), "WX");
}

TEST(TerminalView, SortedDropDownsKeepTheirEntriesInOrder) {
  TerminalView view;
  for (const char* e : {"2005", "2003", "2010", "2004"}) view.AddComboEntry(sc::kManufacturingYear, e);
  for (const char* e : {"16", "128", "32"}) view.AddComboEntry(sc::kFlash1, e);
  EXPECT_EQ(view.GetControl(sc::kManufacturingYear).entries,
            (std::vector<std::string>{"2003", "2004", "2005", "2010"}));
  EXPECT_EQ(view.GetControl(sc::kFlash1).entries, (std::vector<std::string>{"16", "128", "32"}));
}

TEST(TerminalView, RowsIgnoreRowsThatDoNotExist) {
  TerminalView view;
  view.InsertRow(0, "01", 2);
  view.InsertRow(1, "02", 2);
  view.SetRowText(5, "x");
  view.SetRowImage(-1, 7);
  EXPECT_EQ(view.GetRowText(5), "");
  EXPECT_EQ(view.GetRowImage(5), -1);
  view.SetRowText(1, "02-F:\\");
  view.SetRowImage(1, 1);
  EXPECT_EQ(view.GetRowText(1), "02-F:\\");
  EXPECT_EQ(view.GetRowImage(1), 1);
  const std::uint64_t clears = view.ClearCount();
  view.ClearRows();
  EXPECT_EQ(view.RowCount(), 0);
  EXPECT_EQ(view.ClearCount(), clears + 1);
  EXPECT_EQ(view.SelectionMark(), -1);
}

TEST(TerminalView, ChangesMarkTheViewDirtyAndWakeTheConsole) {
  TerminalView view;
  std::atomic<int> wakes{0};
  view.SetWakeCallback([&] { ++wakes; });
  view.TakeDirty();
  EXPECT_FALSE(view.TakeDirty());
  view.SetControlText(sc::kProductName, "X");
  EXPECT_TRUE(view.TakeDirty());
  EXPECT_FALSE(view.TakeDirty());
  EXPECT_GE(wakes.load(), 1);
  view.SetFocus(sc::kRwValue);
  EXPECT_EQ(view.TakeFocusRequest(), sc::kRwValue);
  EXPECT_EQ(view.TakeFocusRequest(), 0);
}

TEST(TerminalView, AMessageBoxRunsTheModalHandler) {
  TerminalView view;
  std::vector<std::string> shown;
  view.SetModalHandler([&](const TerminalView::MessageBox& box) { shown.push_back(box.caption + ": " + box.text); });
  view.ShowMessageBox("Enter no more than 2 characters.", "KX20");
  EXPECT_EQ(shown, (std::vector<std::string>{"KX20: Enter no more than 2 characters."}));
}

}  // namespace
}  // namespace kx20::terminal
