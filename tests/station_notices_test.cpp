// What the operator is told beside the verdict texts: a refused serial-number
// step, a missing config.txt and a config.txt that cannot be replaced each
// say why, once the run has ended, in
// one message box (on screen), or through TakeNotices (line and batch mode
// print them on stderr).
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "storage/profile_file.h"
#include "support/station_fixture.h"

namespace kx20 {
namespace {

namespace fs = std::filesystem;
using testing::ConfigTempDir;
using testing::StationFixture;

class StationNoticesTest : public StationFixture {
 protected:
  void MakeStationWith(bool noticesOnScreen) {
    BuildFarmText("[E]\nslot = 1\n[F]\nslot = 2\n");
    StationOptions options;
    options.workDir = dir.Path().string();
    options.durability = Durability::kDurable;
    options.noticesOnScreen = noticesOnScreen;
    station = std::make_unique<Station>(*port, clock, view, shell, options);
  }
  std::string Config() { return ConfigTempDir::Read(station->ConfigPath()); }
};

TEST_F(StationNoticesTest, EachTroubleSaysWhyAndKeepsTheVerdictTexts) {
  struct Case {
    const char* name;
    std::function<void()> setUp;  // after the station exists
    std::vector<std::string> mentions;                // in the notice
    std::string rowSuffix;                             // verdict text of both rows
  };
  const auto setSerial = [this](const char* value) {
    return [this, value] {
      CopyExample("config.txt");
      ASSERT_TRUE(WriteProfileValue(station->ConfigPath(), "CID", "Product_SN", value,
                                    Durability::kRelaxed));
    };
  };
  const Case cases[] = {
      {"Product_SN not a number", setSerial("abc"), {"Product_SN", "not a number"}, "[rw-table X]"},
      {"Product_SN empty", setSerial(""), {"Product_SN", "empty"}, "[rw-table X]"},
      {"config.txt missing", [] {}, {"config.txt", "cannot be opened"},
       "[config X]"},
      {"config.txt read-only",
       [this] {
         CopyExample("config.txt");
         fs::permissions(station->ConfigPath(),
                         fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                         fs::perm_options::remove);
       },
       {"config.txt", "read-only", "was not handed out"}, "[rw-table X]"},
      // (A produce.log that cannot be written stops the run from starting:
      // station_records_test.cpp.)
  };
  for (const bool onScreen : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (onScreen ? ", on screen" : ", taken"));
      station.reset();
      fs::remove_all(dir.Path());
      fs::create_directories(dir.Path());
      const std::size_t boxesBefore = view.MessageBoxes().size();
      MakeStationWith(onScreen);
      c.setUp();
      const std::string before = fs::exists(station->ConfigPath()) ? Config() : "";

      station->Initialise();
      station->Tick();
      station->OnSpaceKeyDown(false);
      ASSERT_TRUE(TickUntilRunEnds());

      const std::vector<std::string> rows = RowTexts();
      EXPECT_EQ(rows[0], "01-:" + c.rowSuffix);
      EXPECT_EQ(rows[1], "02-:" + c.rowSuffix);
      if (c.rowSuffix != "Pass" && fs::exists(station->ConfigPath())) {
        EXPECT_EQ(Config(), before) << "config.txt must stay untouched";
      }
      std::string notice;
      if (onScreen) {
        ASSERT_EQ(view.MessageBoxes().size(), boxesBefore + 1);
        notice = view.MessageBoxes().back();
        EXPECT_TRUE(station->TakeNotices().empty());
      } else {
        EXPECT_EQ(view.MessageBoxes().size(), boxesBefore);
        for (const std::string& n : station->TakeNotices()) notice += n + "\n";
      }
      for (const std::string& m : c.mentions) {
        EXPECT_NE(notice.find(m), std::string::npos) << "\"" << m << "\" not in: " << notice;
      }
      if (fs::exists(station->ConfigPath())) {
        fs::permissions(station->ConfigPath(), fs::perms::owner_write, fs::perm_options::add);
      }
    }
  }
}

// A run without trouble tells nothing.
TEST_F(StationNoticesTest, AGoodRunShowsNoNotice) {
  MakeStationWith(true);
  CopyExample("config.txt");
  station->Initialise();
  station->Tick();
  station->OnSpaceKeyDown(false);
  ASSERT_TRUE(TickUntilRunEnds());
  EXPECT_EQ(RowTexts()[0], "01-:Pass");
  EXPECT_TRUE(view.MessageBoxes().empty());
  EXPECT_EQ(ReadProfileValue(station->ConfigPath(), "CID", "Product_SN", 20), "00000002");
}

}  // namespace
}  // namespace kx20
