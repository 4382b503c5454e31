// Names that lead to no regular file: a FIFO where config.txt, produce.log,
// a lock file or the source image should be is refused at once, never
// opened in a way that waits for a writer.
#include <sys/stat.h>
#include <sys/types.h>

#include <gtest/gtest.h>

#include <string>

#include "image/source_image.h"
#include "production/production_log.h"
#include "storage/durable_file.h"
#include "storage/file_lock.h"
#include "support/station_fixture.h"

namespace kx20 {
namespace {

using testing::ConfigTempDir;

class FifoFilesTest : public testing::StationFixture {
 protected:
  std::string Fifo(const std::string& name) {
    const std::string path = dir.File(name);
    EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
    return path;
  }
};

TEST_F(FifoFilesTest, EveryReaderRefusesAFifoWithoutWaiting) {
  const std::string config = Fifo("config.txt");
  std::string text;
  std::string why;
  EXPECT_EQ(ReadFileContents(config, text, &why), ReadOutcome::kFailed);
  EXPECT_EQ(why, "it is not a regular file");
  EXPECT_FALSE(FileIsReadable(config));
  FileEnds ends;
  EXPECT_FALSE(ReadFileEnds(config, 3, ends));

  const std::string image = Fifo("Pelorin.img");
  std::string disk, rom, failure;
  EXPECT_FALSE(ReadSourceFileInfo(image, disk, rom, &failure));
  EXPECT_EQ(failure, "Pelorin.img cannot be read: it is not a regular file");
  CodeFlashData data{};
  EXPECT_FALSE(LoadCodeFlashData(image, data));

  EXPECT_EQ(TryLockFile(Fifo("station.lock")).outcome, FileLockAttempt::Outcome::kFailed);

  ProductionLogWriter log(clock, Fifo("produce.log"), Durability::kRelaxed);
  EXPECT_FALSE(log.CheckWritable(&why));
  EXPECT_EQ(why, "produce.log cannot be written: it is not a regular file");
}

// The station starts with a FIFO named Pelorin.img: it says why the image
// lines stay empty, and a run goes on without them.
TEST_F(FifoFilesTest, TheStationStartsAndRunsBesideAFifoSourceImage) {
  Fifo("Pelorin.img");
  BuildFarmText("[E]\nslot = 1\n");
  StationOptions options;
  options.workDir = dir.Path().string();
  options.durability = Durability::kRelaxed;
  options.noticesOnScreen = false;
  station = std::make_unique<Station>(*port, clock, view, shell, options);
  CopyExample("config.txt");
  station->Initialise();
  const std::vector<std::string> told = station->TakeNotices();
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0], "Pelorin.img cannot be read: it is not a regular file");
  station->Tick();
  station->OnSpaceKeyDown(false);
  ASSERT_TRUE(TickUntilRunEnds());
  EXPECT_EQ(RowTexts()[0], "01-:Pass");
}

}  // namespace
}  // namespace kx20
