#include "image/disk_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "common/virtual_clock.h"
#include "image/boot_code.h"

namespace kx20 {
namespace {

std::uint32_t Get32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

std::uint32_t SerialOf(const PreparedImageSnapshot& s) { return Get32(s.preparedImage.data() + 32 * 512 + 39); }

class DiskImageStoreTest : public ::testing::Test {
 protected:
  VirtualClock clock;
  DiskImageStore store{clock};
};

TEST_F(DiskImageStoreTest, ImageForLastLba65535) {
  EXPECT_EQ(store.Current(), nullptr);
  const auto image = store.BuildDiskImage(65'535);
  ASSERT_NE(image, nullptr);
  EXPECT_FALSE(store.ImageBuildFailed());
  EXPECT_EQ(store.Current(), image);
  EXPECT_EQ(image->imageCapacity, 65'535u);
  EXPECT_EQ(image->imageRootSector, 161u);

  const std::uint8_t* bytes = image->preparedImage.data();
  EXPECT_EQ(std::memcmp(bytes, MbrTemplate.data(), 446), 0);
  EXPECT_EQ(Get32(bytes + 446 + 12), 65'440u);  // partition size
  EXPECT_EQ(std::memcmp(bytes + 32 * 512, "\xEB\x3E\x90MSWIN4.1", 11), 0);
  EXPECT_EQ(Get32(bytes + 33 * 512), 0xFFFFFFF8u);  // FAT16 heads
  EXPECT_EQ(Get32(bytes + 97 * 512), 0xFFFFFFF8u);
  std::size_t nonZeroSectors = 0;
  for (std::uint32_t s = 0; s < kPreparedImageSectors; ++s) {
    const std::uint8_t* p = bytes + s * 512;
    if (std::any_of(p, p + 512, [](std::uint8_t b) { return b != 0; })) ++nonZeroSectors;
  }
  EXPECT_EQ(nonZeroSectors, 4u);
}

TEST_F(DiskImageStoreTest, SameCapacityReusesTheImage) {
  const auto first = store.BuildDiskImage(262'143);
  ASSERT_NE(first, nullptr);
  clock.Advance(60'000);
  const auto second = store.BuildDiskImage(262'143);
  EXPECT_EQ(second, first);  // not rebuilt: the same serial number too
  EXPECT_EQ(SerialOf(*second), SerialOf(*first));
}

TEST_F(DiskImageStoreTest, DifferentCapacityRebuildsForThatCapacity) {
  const auto small = store.BuildDiskImage(65'535);
  clock.Advance(4'000);
  const auto large = store.BuildDiskImage(4'194'303);
  ASSERT_NE(small, nullptr);
  ASSERT_NE(large, nullptr);
  EXPECT_EQ(large->imageCapacity, 4'194'303u);
  EXPECT_EQ(large->imageRootSector, 545u);
  EXPECT_EQ(Get32(large->preparedImage.data() + 446 + 12), 4'192'224u);
  EXPECT_EQ(SerialOf(*large), SerialOf(*small) + 8);  // built 4 s later
  EXPECT_EQ(store.Current(), large);
  // Back to the first capacity: built anew.
  const auto again = store.BuildDiskImage(65'535);
  EXPECT_NE(again, small);
  EXPECT_EQ(again->imageRootSector, 161u);
}

TEST_F(DiskImageStoreTest, FailedBuildKeepsThePreviousImage) {
  const auto good = store.BuildDiskImage(131'071);
  ASSERT_NE(good, nullptr);
  // No capacity (READ CAPACITY failed) and capacities outside the range.
  for (std::uint32_t lba : {0u, 127u, 4'194'304u, 0xFFFF'FFFFu}) {
    SCOPED_TRACE(lba);
    EXPECT_EQ(store.BuildDiskImage(lba), nullptr);
    EXPECT_TRUE(store.ImageBuildFailed());
    EXPECT_EQ(store.Current(), good);
    // Asking again for the same capacity fails again: a failed build never
    // leaves an image of another capacity standing in for it.
    EXPECT_EQ(store.BuildDiskImage(lba), nullptr);
    EXPECT_TRUE(store.ImageBuildFailed());
  }
  EXPECT_EQ(store.BuildDiskImage(131'071), good);
  EXPECT_FALSE(store.ImageBuildFailed());
}

// Readers take a snapshot while builds for other capacities replace it: the
// image, the root sector and the capacity of one snapshot always belong
// together.
TEST_F(DiskImageStoreTest, ReadersNeverSeeAMixedSnapshot) {
  const std::uint32_t capacities[] = {8'191, 65'535, 262'143, 1'048'575, 4'194'303};
  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0};
  std::atomic<int> seen{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!done.load()) {
        const auto s = store.Current();
        if (!s) continue;
        const FatLayout l = ComputeFatLayout(s->imageCapacity, kImageSectorsPerTrack);
        const std::uint8_t* bytes = s->preparedImage.data();
        if (s->imageRootSector != l.rootSector || Get32(bytes + 446 + 12) != l.partitionSectors ||
            Get32(bytes + l.fat2Sector * 512) == 0) {
          ++mismatches;
        }
        ++seen;
      }
    });
  }
  for (int round = 0; round < 40; ++round) {
    std::vector<std::thread> builders;
    for (std::uint32_t c : capacities) {
      builders.emplace_back([&, c] { EXPECT_NE(store.BuildDiskImage(c), nullptr); });
    }
    for (auto& t : builders) t.join();
  }
  while (seen.load() == 0) std::this_thread::yield();
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace kx20
