// The station's one way to change its state: the model changes first, the
// view is told the same change in the same order, and a message box is
// pending in the model exactly while the view shows it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/station_model_writer.h"

namespace kx20 {
namespace {

// A view that records each call as a line and can look at the model while a
// message box is up.
class RecordingView : public ConsoleView {
 public:
  void SetControlText(int id, const std::string& t) override { Log("text", id, t); }
  void SetCheck(int id, bool c) override { Log("check", id, c ? "1" : "0"); }
  void SetEnabled(int id, bool e) override { Log("enabled", id, e ? "1" : "0"); }
  void SetVisible(int id, bool v) override { Log("visible", id, v ? "1" : "0"); }
  void SetFocus(int id) override { Log("focus", id, ""); }
  void AddComboEntry(int id, const std::string& e) override { Log("entry", id, e); }
  void SetTextLimit(int id, int n) override { Log("limit", id, std::to_string(n)); }
  void ClearRows() override { Log("clear", 0, ""); }
  void InsertRow(int row, const std::string& t, int image) override {
    Log("insert", row, t + "/" + std::to_string(image));
  }
  void SetRowText(int row, const std::string& t) override { Log("row", row, t); }
  void SetRowImage(int row, int image) override { Log("image", row, std::to_string(image)); }
  void SetSelectionMark(int row) override { Log("mark", row, ""); }
  void ShowMessageBox(const std::string& text, const std::string&) override {
    Log("box", 0, text);
    if (whileShown) whileShown(text);
  }
  void SetPanelExpanded(bool e) override { Log("panel", 0, e ? "1" : "0"); }

  std::vector<std::string> calls;
  std::function<void(const std::string&)> whileShown;

 private:
  void Log(const char* what, int id, const std::string& arg) {
    calls.push_back(std::string(what) + " " + std::to_string(id) + " " + arg);
  }
};

TEST(StationModelWriterTest, ModelFollowsEachChangeAndTheViewSeesThemInOrder) {
  StationModel model;
  RecordingView view;
  StationModelWriter out(model, view);

  out.SetEnabled(1003, false);
  out.SetControlText(1013, "KX20");
  out.SetTextLimit(1013, 5);
  out.AddComboEntry(1030, "0");
  out.AddComboEntry(1030, "1");
  out.SetCheck(1043, true);
  out.SetVisible(1000, false);
  out.SetFocus(1013);
  out.InsertRow(0, "01-E:\\", 2);
  out.InsertRow(1, "02-F:\\", 2);
  out.InsertRow(1, "between", 0);  // lands at 1, pushes "02" down
  out.SetRowText(2, "02-:Pass");
  out.SetRowImage(2, 5);
  out.SetRowText(7, "no such row");  // the view is told; the model has no row 7
  out.SetSelectionMark(2);
  out.SetPanelExpanded(true);

  const std::vector<std::string> expected = {
      "enabled 1003 0", "text 1013 KX20", "limit 1013 5",   "entry 1030 0",
      "entry 1030 1",   "check 1043 1",   "visible 1000 0", "focus 1013 ",
      "insert 0 01-E:\\/2", "insert 1 02-F:\\/2", "insert 1 between/0", "row 2 02-:Pass",
      "image 2 5",      "row 7 no such row", "mark 2 ",     "panel 0 1"};
  EXPECT_EQ(view.calls, expected);

  EXPECT_FALSE(model.Control(1003).enabled);
  EXPECT_EQ(model.Control(1013).text, "KX20");
  EXPECT_EQ(model.Control(1013).textLimit, 5);
  EXPECT_EQ(model.Control(1030).comboEntries, (std::vector<std::string>{"0", "1"}));
  EXPECT_TRUE(model.Control(1043).checked);
  EXPECT_FALSE(model.Control(1000).visible);
  EXPECT_TRUE(model.Control(1234).enabled);  // never set: the defaults
  EXPECT_EQ(model.focus, 1013);
  ASSERT_EQ(model.RowCount(), 3);
  EXPECT_EQ(model.rows[1].text, "between");
  EXPECT_EQ(model.rows[2].text, "02-:Pass");
  EXPECT_EQ(model.rows[2].image, 5);
  EXPECT_EQ(model.selectionMark, 2);
  EXPECT_TRUE(model.panelExpanded);

  out.ClearRows();
  EXPECT_EQ(model.RowCount(), 0);
  EXPECT_EQ(model.selectionMark, -1);
}

TEST(StationModelWriterTest, AMessageBoxIsPendingWhileShown) {
  StationModel model;
  RecordingView view;
  StationModelWriter out(model, view);
  std::vector<std::vector<std::string>> seen;
  view.whileShown = [&](const std::string& text) {
    std::vector<std::string> pending;
    for (const MessageBoxModel& b : model.pendingBoxes) pending.push_back(b.text);
    seen.push_back(pending);
    // A box opened from the front end's nested loop while the first is up.
    if (text == "outer") out.ShowMessageBox("inner", "c");
  };
  out.ShowMessageBox("outer", "c");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], (std::vector<std::string>{"outer"}));
  EXPECT_EQ(seen[1], (std::vector<std::string>{"outer", "inner"}));
  EXPECT_TRUE(model.pendingBoxes.empty());
}

}  // namespace
}  // namespace kx20
