// File-backed simulated disks keep what the station programs into the
// controller (configuration table, code flash) across restarts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/virtual_clock.h"
#include "sim/sim_disk.h"

namespace kx20 {
namespace {

std::vector<std::uint8_t> VendorCdb(std::uint8_t op, std::uint8_t sub, std::uint8_t qual) {
  std::vector<std::uint8_t> c(16, 0);
  c[0] = op;
  c[1] = sub;
  c[2] = qual;
  c[14] = 'V';
  c[15] = 'Y';
  return c;
}

TEST(SimStateFile, TableAndCodeFlashSurviveARestart) {
  const auto dir = std::filesystem::temp_directory_path() / ("kx20-state-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  SimDiskConfig config;
  config.backingFile = (dir / "e.img").string();
  config.lastLba = 4095;
  VirtualClock clock;
  std::array<std::uint8_t, 512> table{};
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<std::uint8_t>(i ^ 0x5A);
  std::vector<std::uint8_t> block(16384, 0xC3);
  {
    SimDisk disk(config, clock);
    ASSERT_TRUE(disk.Attach(nullptr));
    auto write = VendorCdb(0xF9, 0x61, 0x00);
    EXPECT_EQ(disk.Execute(write.data(), 16, false, table.data(), 512).scsiStatus, 0);
    auto flash = VendorCdb(0xDB, 0x2A, 0x00);
    flash[3] = 3;  // block 3
    EXPECT_EQ(disk.Execute(flash.data(), 16, false, block.data(), 16384).scsiStatus, 0);
  }
  {
    SimDisk disk(config, clock);
    ASSERT_TRUE(disk.Attach(nullptr));
    EXPECT_TRUE(disk.ConfigTableWritten());
    EXPECT_EQ(disk.StoredConfigTable(), table);
    const auto blocks = disk.CodeFlashBlocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks.at(3), block);
    auto read = VendorCdb(0xF9, 0x60, 0x00);
    std::array<std::uint8_t, 512> back{};
    EXPECT_EQ(disk.Execute(read.data(), 16, true, back.data(), 512).scsiStatus, 0);
    EXPECT_EQ(back, table);
  }
  // A damaged state file is ignored: the controller starts blank.
  {
    std::ofstream(config.backingFile + ".state", std::ios::binary | std::ios::trunc) << "KX20CTL1\x01short";
    SimDisk disk(config, clock);
    ASSERT_TRUE(disk.Attach(nullptr));
    EXPECT_FALSE(disk.ConfigTableWritten());
    EXPECT_TRUE(disk.CodeFlashBlocks().empty());
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kx20
