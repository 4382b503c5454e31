// File-backed simulated disks stay sparse on the host: a 128 MB disk with a
// few written chunks takes only those chunks' space.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/virtual_clock.h"
#include "device/device_session.h"
#include "sim/farm.h"

namespace kx20 {
namespace {

TEST(SimSparseFile, OnlyWrittenChunksTakeSpace) {
  const auto dir = std::filesystem::temp_directory_path() / "kx20_sim_sparse";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  SimDiskConfig disk;
  disk.letter = 'E';
  disk.slot = "1";
  disk.backingFile = (dir / "e.img").string();
  FarmLayout layout;
  layout.disks = {disk};
  VirtualClock clock;
  auto farm = SimFarm::Create(layout, clock, nullptr);
  ASSERT_TRUE(farm);
  DeviceSession session(*farm);
  ASSERT_TRUE(session.Open('E'));
  std::vector<std::uint8_t> data(65536, 0xA5);
  for (std::uint32_t lba : {0u, 131072u, 262016u}) {
    ASSERT_EQ(session.WriteSectors(data.data(), lba, 128, nullptr), DevOk);
  }
  session.Close();
  farm.reset();

  struct stat st {};
  ASSERT_EQ(::stat(disk.backingFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 262144 * 512);
  EXPECT_LE(static_cast<long long>(st.st_blocks) * 512, 4LL * 1024 * 1024)
      << "the backing file is not sparse";
  EXPECT_GE(static_cast<long long>(st.st_blocks) * 512, 3LL * 65536);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kx20
