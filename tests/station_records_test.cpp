// What the station records, and what it refuses to start, when records are
// at stake: a run whose verdicts could not be recorded never starts, a disk
// another station holds is left alone, and closing during a run records
// every disk cut off without its verdict.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "storage/profile_file.h"
#include "support/station_fixture.h"

namespace kx20 {
namespace {

namespace fs = std::filesystem;
using testing::ConfigTempDir;
using testing::StationFixture;

class StationRecordsTest : public StationFixture {
 protected:
  void MakeStationWithSink() {
    StationOptions options;
    options.workDir = dir.Path().string();
    options.durability = Durability::kRelaxed;
    options.noticesOnScreen = false;
    options.verdictSink = [this](const VerdictEvent& e) {
      std::lock_guard<std::mutex> lock(eventsMutex);
      events.push_back(e);
    };
    station = std::make_unique<Station>(*port, clock, view, shell, options);
  }
  std::string Notices() {
    std::string all;
    for (const std::string& n : station->TakeNotices()) all += n + "\n";
    return all;
  }
  std::mutex eventsMutex;
  std::vector<VerdictEvent> events;
};

// produce.log, produce.jsonl or config.txt that cannot be used: the start command shows
// why and starts nothing; nothing is sent to a disk and no number is taken.
// Once the file is usable again, the next start runs.
TEST_F(StationRecordsTest, NoRunStartsWhileItsFilesCannotBeUsed) {
  struct Case {
    const char* name;
    const char* blocked;  // made a directory
    const char* says;
  };
  const Case cases[] = {
      {"produce.log a directory", "produce.log",
       "produce.log cannot be written: it is a directory.\nNo run starts until produce.log can be "
       "written again."},
      {"produce.jsonl a directory", "produce.jsonl",
       "produce.jsonl cannot be written: it is a directory.\nNo run starts until produce.jsonl can "
       "be written again."},
      {"config.txt a directory", "config.txt",
       "config.txt cannot be read: it is a directory.\nNo run was started."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    station.reset();
    fs::remove_all(dir.Path());
    fs::create_directories(dir.Path());
    BuildFarmText("[E]\nslot = 1\n[F]\nslot = 2\n");
    MakeStation();
    CopyExample("config.txt");
    const std::string config = ConfigTempDir::Read(station->ConfigPath());
    fs::remove(dir.File(c.blocked));
    fs::create_directory(dir.File(c.blocked));
    station->Initialise();
    station->Tick();
    const std::size_t boxes = view.MessageBoxes().size();
    station->OnSpaceKeyDown(false);
    ASSERT_EQ(view.MessageBoxes().size(), boxes + 1);
    EXPECT_EQ(view.MessageBoxes().back(), std::string("KX20 Production Tool: ") + c.says);
    EXPECT_TRUE(station->RunStarts().empty());
    EXPECT_FALSE(farm->Disk('E')->ConfigTableWritten());
    EXPECT_TRUE(view.IsEnabled(station_control::kUpdate)) << "the start command stays at hand";
    // The panel reads config.txt too: it says why, and nothing throws.
    station->ToggleSettingsPanel();
    station->ToggleSettingsPanel();

    fs::remove_all(dir.File(c.blocked));
    if (std::string(c.blocked) == "config.txt") ConfigTempDir::Write(station->ConfigPath(), config);
    EXPECT_EQ(ConfigTempDir::Read(station->ConfigPath()), config);
    station->OnSpaceKeyDown(false);
    ASSERT_TRUE(TickUntilRunEnds());
    EXPECT_EQ(RowTexts()[0], "01-:Pass");
    EXPECT_EQ(RowTexts()[1], "02-:Pass");
  }
}

// produce.log becomes unwritable in the middle of a run: every disk whose
// record is lost shows "[record X]" (counted as failed), the notices name
// each lost record, and the next start is refused until the log is back.
TEST_F(StationRecordsTest, ALogLostDuringTheRunFailsItsDisksAndStopsTheNextRun) {
  BuildFarmText("[E]\nslot = 1\n[F]\nslot = 2\n");
  MakeStationWithSink();
  CopyExample("config.txt");
  UseGatedWorkers();
  gated.afterRelease = [](ProductionEnvironment& env, RunLocks& locks, std::uint32_t startValue) {
    RunProductionWorker(env, locks, startValue);
  };
  station->Initialise();
  station->Tick();
  station->OnSpaceKeyDown(false);
  ASSERT_EQ(gated.WaitStarted(2).size(), 2u);
  fs::create_directory(station->LogPath());
  gated.ReleaseAll();
  ASSERT_TRUE(TickUntilRunEnds());
  EXPECT_EQ(RowTexts()[0], "01-:[record X]");
  EXPECT_EQ(RowTexts()[1], "02-:[record X]");
  EXPECT_EQ(station->Model().run.failed, 2);
  EXPECT_EQ(station->Model().run.passed, 0);
  const std::string told = Notices();
  EXPECT_NE(told.find("(Pass 00000001) was lost"), std::string::npos) << told;
  EXPECT_NE(told.find("(Pass 00000002) was lost"), std::string::npos) << told;
  // The line's sink still has both verdicts, with their numbers.
  ASSERT_EQ(events.size(), 2u);

  const std::size_t boxes = view.MessageBoxes().size();
  farm->ScanDrives();
  station->ScanDevices();
  station->OnSpaceKeyDown(false);
  ASSERT_EQ(view.MessageBoxes().size(), boxes + 1);
  EXPECT_NE(view.MessageBoxes().back().find("No run starts until produce.log"), std::string::npos);
  EXPECT_EQ(ReadProfileValue(station->ConfigPath(), "CID", "Product_SN", 20), "00000002");
}

// A disk another station holds: its row says so, the run counts it as not
// produced, it gets no command (not even the probe), and the other disks go
// on.
TEST_F(StationRecordsTest, ADiskHeldByAnotherStationIsLeftAloneFromTheStart) {
  BuildFarmText("[E]\nslot = 1\n[F]\nslot = 2\n");
  MakeStationWithSink();
  CopyExample("config.txt");
  station->Initialise();
  station->Tick();
  DiskClaimResult other = farm->ClaimDisk('E', "work directory /srv/other");
  ASSERT_TRUE(other.claim);
  const std::uint64_t commands = farm->Disk('E')->CommandCount();
  station->OnSpaceKeyDown(false);
  ASSERT_TRUE(TickUntilRunEnds());
  EXPECT_EQ(RowTexts()[0], "01-:[in use X]");
  EXPECT_EQ(RowTexts()[1], "02-:Pass");
  EXPECT_EQ(farm->Disk('E')->CommandCount(), commands);
  EXPECT_EQ(station->Model().run.failed, 1);
  EXPECT_EQ(station->Model().run.passed, 1);
  ASSERT_EQ(events.size(), 1u);  // no verdict of this station for the held disk
  EXPECT_EQ(events[0].driveLetter, 'F');
  EXPECT_NE(Notices().find("drive E: is in use"), std::string::npos);
}

// Closing during a run: every disk whose worker has not reached its verdict
// gets a FAIL record with its step's text and an event marked cut off; the
// close says which; nothing more is written afterwards.
TEST_F(StationRecordsTest, ClosingDuringARunRecordsEveryDiskCutOff) {
  BuildFarmText("[E]\nslot = 1\n[F]\nslot = 2\n[G]\nslot = 3\n");
  MakeStationWithSink();
  CopyExample("config.txt");
  UseGatedWorkers();
  station->Initialise();
  station->Tick();
  station->OnSpaceKeyDown(false);
  ASSERT_EQ(gated.WaitStarted(3).size(), 3u);
  EXPECT_EQ(station->Shutdown(), 3);
  EXPECT_EQ(station->Shutdown(), 0) << "a second close records nothing";
  gated.ReleaseAll();
  ASSERT_TRUE(gated.WaitFinished(3));

  const ProfileDocument log = ProfileDocument::Parse(ConfigTempDir::Read(station->LogPath()));
  const std::string text = ConfigTempDir::Read(station->LogPath());
  std::size_t failures = 0;
  for (std::size_t at = text.find("Result=FAIL"); at != std::string::npos;
       at = text.find("Result=FAIL", at + 1)) {
    ++failures;
  }
  EXPECT_EQ(failures, 3u);
  EXPECT_EQ(text.find("Result=Pass"), std::string::npos);
  EXPECT_NE(text.find("Error Code=USBErr_Config"), std::string::npos);
  ASSERT_EQ(events.size(), 3u);
  std::map<char, int> slots;
  for (const VerdictEvent& e : events) {
    EXPECT_TRUE(e.cutOff);
    EXPECT_EQ(e.errorCode, "USBErr_Config");
    slots[e.driveLetter] = e.slot;
  }
  EXPECT_EQ(slots, (std::map<char, int>{{'E', 1}, {'F', 2}, {'G', 3}}));
  const std::string told = Notices();
  EXPECT_NE(told.find("drive F: (slot 2) was cut off by closing the station: recorded as FAIL "
                      "USBErr_Config"),
            std::string::npos)
      << told;
  EXPECT_EQ(ConfigTempDir::Read(station->LogPath()), text) << "written after the close";
}

}  // namespace
}  // namespace kx20
