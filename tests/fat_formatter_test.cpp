#include "image/fat_formatter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/virtual_clock.h"
#include "image/boot_code.h"
#include "support/calendar_time.h"

namespace kx20 {
namespace {

constexpr std::uint32_t S = kImageSectorsPerTrack;

std::uint32_t Get16(const std::uint8_t* p) { return p[0] | p[1] << 8; }
std::uint32_t Get32(const std::uint8_t* p) { return Get16(p) | Get16(p + 2) << 16; }

using testing::At;

bool SectorIsZero(const RamDisk& disk, std::uint32_t sector) {
  const std::uint8_t* p = disk.Sector(sector);
  for (std::uint32_t i = 0; i < kSectorBytes; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

struct LayoutRow {
  std::uint32_t n;
  std::uint32_t heads, cylinders, partitionSectors;
  std::uint8_t type;
  FatType fat;
  std::uint32_t spc, fatSectors, fat2, root, rootSectors, rootEntries, data;
};

// N = L + 1 sectors, S = 32.
const LayoutRow kLayoutRows[] = {
    {8'192, 2, 127, 8'096, 0x01, FatType::Fat12, 8, 3, 36, 39, 57, 912, 96},
    {32'768, 2, 511, 32'672, 0x04, FatType::Fat12, 8, 12, 45, 57, 39, 624, 96},
    {65'536, 2, 1'023, 65'440, 0x06, FatType::Fat16, 4, 64, 97, 161, 63, 1008, 224},
    {131'072, 16, 255, 130'528, 0x06, FatType::Fat16, 4, 128, 161, 289, 63, 1008, 352},
    {524'288, 16, 1'023, 523'744, 0x06, FatType::Fat16, 8, 256, 289, 545, 63, 1008, 608},
    {4'194'304, 64, 2'047, 4'192'224, 0x06, FatType::Fat16, 64, 256, 289, 545, 63, 1008, 608},
};

TEST(FatLayoutTest, EdgeCaseTable) {
  for (const LayoutRow& row : kLayoutRows) {
    SCOPED_TRACE(row.n);
    const FatLayout l = ComputeFatLayout(row.n - 1, S);
    EXPECT_EQ(l.heads, row.heads);
    EXPECT_EQ(l.cylinders, row.cylinders);
    EXPECT_EQ(l.partitionSectors, row.partitionSectors);
    EXPECT_EQ(l.partitionType, row.type);
    EXPECT_EQ(l.fatType, row.fat);
    EXPECT_EQ(l.sectorsPerCluster, row.spc);
    EXPECT_EQ(l.sectorsPerFat, row.fatSectors);
    EXPECT_EQ(l.fat1Sector, S + 1);
    EXPECT_EQ(l.fat2Sector, row.fat2);
    EXPECT_EQ(l.rootSector, row.root);
    EXPECT_EQ(l.rootSectors, row.rootSectors);
    EXPECT_EQ(l.rootEntries, row.rootEntries);
    EXPECT_EQ(l.dataSector, row.data);
    EXPECT_TRUE(LayoutIsSound(l));
  }
}

// The accepted range with 32 sectors per track is exactly 128..4,194,303:
// below it no data cluster (or a negative partition), above it more than
// 65,524 clusters and, further on, a FAT 2 head beyond the RamDisk.
TEST(FatLayoutTest, SoundExactlyInsideTheSupportedRange) {
  std::uint32_t mismatches = 0;
  for (std::uint32_t lba = 0; lba < 8'000'000; ++lba) {
    const FatLayout l = ComputeFatLayout(lba, S);
    const bool sound = LayoutIsSound(l);
    if (sound != (lba >= kMinImageLastLba && lba <= kMaxImageLastLba)) {
      if (++mismatches < 5) ADD_FAILURE() << "last LBA " << lba << " sound=" << sound;
    }
    if (sound && lba % 4099 == 0) {  // invariants of every accepted layout
      EXPECT_EQ(l.rootEntries % 16, 0u);
      EXPECT_GE(l.rootEntries, 528u);
      EXPECT_LE(l.rootEntries, 1024u);
      EXPECT_EQ(l.dataSector % 32, 0u);
      EXPECT_EQ(l.dataSector, l.rootSector + l.rootSectors);
      EXPECT_LE(S + l.partitionSectors, lba + 1);
    }
  }
  EXPECT_EQ(mismatches, 0u);
  for (std::uint32_t lba : {0xFFFF'FFFFu, 0x8000'0000u, 7'833'600u}) {
    EXPECT_FALSE(IsSupportedLastLba(lba)) << lba;
  }
  // Partition size never goes negative (wraps) for tiny disks.
  EXPECT_EQ(ComputeFatLayout(0, S).partitionSectors, 0u);
  EXPECT_EQ(ComputeFatLayout(63, S).partitionSectors, 0u);
  EXPECT_EQ(ComputeFatLayout(64, S).partitionSectors, 32u);
  // Sectors per track outside 1..63 do not fit the partition entry.
  EXPECT_FALSE(LayoutIsSound(ComputeFatLayout(65'535, 0)));
  EXPECT_FALSE(LayoutIsSound(ComputeFatLayout(65'535, 64)));
}

TEST(FatLayoutTest, PartitionTypeByDiskSizeFatTypeByPartitionSize) {
  // N = 32,768 gets type 0x04 while its partition is FAT12.
  const FatLayout l = ComputeFatLayout(32'767, S);
  EXPECT_EQ(l.partitionType, 0x04);
  EXPECT_EQ(l.fatType, FatType::Fat12);
  EXPECT_EQ(ComputeFatLayout(32'766, S).partitionType, 0x01);
  EXPECT_EQ(ComputeFatLayout(65'535, S).partitionType, 0x06);
}

TEST(PartitionEntryTest, Bytes) {
  const std::uint8_t expected65536[16] = {0x00, 0x01, 0x01, 0x00, 0x06, 0x01, 0xE0, 0xFE,
                                          0x20, 0x00, 0x00, 0x00, 0xA0, 0xFF, 0x00, 0x00};
  const PartitionEntry e = BuildPartitionEntry(65'535, S);
  EXPECT_EQ(std::vector<std::uint8_t>(e.bytes.begin(), e.bytes.end()),
            std::vector<std::uint8_t>(std::begin(expected65536), std::end(expected65536)));
  EXPECT_EQ(e.partitionSectors, 65'440u);

  // End cylinder 2046 keeps only its low 10 bits: 0x3FE.
  const PartitionEntry big = BuildPartitionEntry(4'194'303, S);
  EXPECT_EQ(big.bytes[5], 0x3F);
  EXPECT_EQ(big.bytes[6], 0xE0);
  EXPECT_EQ(big.bytes[7], 0xFE);
  EXPECT_EQ(Get32(&big.bytes[8]), S);
  EXPECT_EQ(Get32(&big.bytes[12]), 4'192'224u);
  EXPECT_EQ(big.partitionSectors, 4'192'224u);
}

TEST(VolumeSerialTest, FromUtcTime) {
  EXPECT_EQ(VolumeSerialNumber(At(2010, 6, 15, 9, 30, 20)), 0x3CCF4BE8u);
  // The seconds overflow into the minute bits.
  EXPECT_EQ(VolumeSerialNumber(At(2012, 12, 31, 23, 59, 59)), 0x419FBFD6u);
}

class FormatRamDiskTest : public ::testing::Test {
 protected:
  std::unique_ptr<FormatContext> context = std::make_unique<FormatContext>();
  VirtualClock clock{At(2010, 6, 15, 9, 30, 20)};

  std::optional<std::uint32_t> Format(std::uint32_t lastLba) {
    context->ramDisk.Clear();
    context->lastLba = lastLba;
    return FormatRamDisk(*context, S, clock);
  }
};

TEST_F(FormatRamDiskTest, OnlyMbrBootSectorAndFatHeadsAreNonZero) {
  struct Row {
    std::uint32_t n;
    std::vector<std::uint32_t> nonZero;
  };
  const Row rows[] = {{8'192, {0, 32, 33, 36}}, {65'536, {0, 32, 33, 97}}, {4'194'304, {0, 32, 33, 289}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.n);
    ASSERT_TRUE(Format(row.n - 1).has_value());
    std::vector<std::uint32_t> nonZero;
    for (std::uint32_t s = 0; s < kRamDiskSectors; ++s) {
      if (!SectorIsZero(context->ramDisk, s)) nonZero.push_back(s);
    }
    EXPECT_EQ(nonZero, row.nonZero);
  }
}

// The formatter stores whole 32-sector chunks from sector 0 up to the chunk
// holding the head of FAT 2, and nothing after it: on a RamDisk filled with
// a marker, exactly those chunks are overwritten.
TEST_F(FormatRamDiskTest, StoresChunksUpToTheHeadOfFat2) {
  struct Row {
    std::uint32_t n;
    std::uint32_t chunks;
  };
  for (const Row& row : {Row{129, 2}, Row{8'192, 2}, Row{65'536, 4}, Row{131'072, 6}, Row{4'194'304, 10}}) {
    SCOPED_TRACE(row.n);
    context->ramDisk.bytes.fill(0xCC);
    context->lastLba = row.n - 1;
    ASSERT_TRUE(FormatRamDisk(*context, S, clock).has_value());
    for (std::uint32_t s = 0; s < kRamDiskSectors; ++s) {
      const bool marker = context->ramDisk.Sector(s)[511] == 0xCC;
      ASSERT_EQ(marker, s >= row.chunks * 32) << "sector " << s;
    }
  }
}

TEST_F(FormatRamDiskTest, ReturnsRootSector) {
  for (const LayoutRow& row : kLayoutRows) {
    EXPECT_EQ(Format(row.n - 1), std::optional<std::uint32_t>(row.root)) << row.n;
  }
}

TEST_F(FormatRamDiskTest, RefusesUnsoundCapacitiesWithoutWriting) {
  for (std::uint32_t lba : {0u, 63u, 64u, 127u, 4'194'304u, 7'833'600u, 0xFFFF'FFFFu}) {
    SCOPED_TRACE(lba);
    context->ramDisk.bytes.fill(0xCC);
    context->lastLba = lba;
    EXPECT_FALSE(FormatRamDisk(*context, S, clock).has_value());
    for (std::uint8_t b : context->ramDisk.bytes) ASSERT_EQ(b, 0xCC);
  }
  EXPECT_TRUE(Format(kMinImageLastLba).has_value());
  EXPECT_TRUE(Format(kMaxImageLastLba).has_value());
}

TEST_F(FormatRamDiskTest, MasterBootRecord) {
  ASSERT_TRUE(Format(65'535).has_value());
  const std::uint8_t* mbr = context->ramDisk.Sector(0);
  EXPECT_EQ(std::memcmp(mbr, MbrTemplate.data(), 446), 0);
  EXPECT_EQ(std::memcmp(mbr + 446, BuildPartitionEntry(65'535, S).bytes.data(), 16), 0);
  for (int i = 462; i < 510; ++i) EXPECT_EQ(mbr[i], 0) << i;
  EXPECT_EQ(mbr[510], 0x55);
  EXPECT_EQ(mbr[511], 0xAA);
}

TEST_F(FormatRamDiskTest, BootSectorFields) {
  struct Row {
    std::uint32_t n;
    std::uint32_t total16, total32;
    const char* fsType;
  };
  const Row rows[] = {{8'192, 8'096, 0, "FAT12   "},
                      {65'536, 65'440, 0, "FAT16   "},
                      {131'072, 0, 130'528, "FAT16   "},
                      {4'194'304, 0, 4'192'224, "FAT16   "}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.n);
    ASSERT_TRUE(Format(row.n - 1).has_value());
    const FatLayout l = ComputeFatLayout(row.n - 1, S);
    const std::uint8_t* b = context->ramDisk.Sector(S);
    EXPECT_EQ(std::memcmp(b, "\xEB\x3E\x90MSWIN4.1", 11), 0);
    EXPECT_EQ(Get16(b + 11), 512u);
    EXPECT_EQ(b[13], l.sectorsPerCluster);
    EXPECT_EQ(Get16(b + 14), 1u);
    EXPECT_EQ(b[16], 2);
    EXPECT_EQ(Get16(b + 17), l.rootEntries);
    EXPECT_EQ(Get16(b + 19), row.total16);
    EXPECT_EQ(b[21], 0xF8);
    EXPECT_EQ(Get16(b + 22), l.sectorsPerFat);
    EXPECT_EQ(Get16(b + 24), S);
    EXPECT_EQ(Get16(b + 26), 255u);
    EXPECT_EQ(Get32(b + 28), S);
    EXPECT_EQ(Get32(b + 32), row.total32);
    EXPECT_EQ(b[36], 0x80);
    EXPECT_EQ(b[37], 0);
    EXPECT_EQ(b[38], 0x29);
    EXPECT_EQ(std::memcmp(b + 39, "\xE8\x4B\xCF\x3C", 4), 0);  // 2010-06-15 09:30:20 UTC
    EXPECT_EQ(std::memcmp(b + 43, "NO NAME    ", 11), 0);
    EXPECT_EQ(std::memcmp(b + 54, row.fsType, 8), 0);
    EXPECT_EQ(std::memcmp(b + 62, BootSectorTemplate.data() + 62, 450), 0);  // boot code and signature

    const std::uint8_t fat12Head[] = {0xF8, 0xFF, 0xFF, 0x00};
    const std::uint8_t fat16Head[] = {0xF8, 0xFF, 0xFF, 0xFF};
    const std::uint8_t* head = l.fatType == FatType::Fat12 ? fat12Head : fat16Head;
    for (std::uint32_t sector : {l.fat1Sector, l.fat2Sector}) {
      const std::uint8_t* f = context->ramDisk.Sector(sector);
      EXPECT_EQ(std::memcmp(f, head, 4), 0) << sector;
      for (int i = 4; i < 512; ++i) ASSERT_EQ(f[i], 0) << sector;
    }
  }
}

TEST_F(FormatRamDiskTest, EachFormatReadsTheClock) {
  ASSERT_TRUE(Format(65'535).has_value());
  const RamDisk first = context->ramDisk;
  clock.Advance(2'000);
  ASSERT_TRUE(Format(65'535).has_value());
  const RamDisk& second = context->ramDisk;
  // Only the serial number differs: 20 s -> 22 s adds 2 * 2 to the low half.
  EXPECT_EQ(Get32(second.Sector(S) + 39), Get32(first.Sector(S) + 39) + 4);
  RamDisk patched = second;
  std::memcpy(patched.bytes.data() + S * 512 + 39, first.Sector(S) + 39, 4);
  EXPECT_TRUE(patched.bytes == first.bytes);
}

TEST(RamDiskTest, StoreSectorsStaysInside) {
  auto disk = std::make_unique<RamDisk>();
  std::vector<std::uint8_t> data(64 * 512, 0x5A);
  EXPECT_EQ(disk->StoreSectors(480, 32, data.data()), 0);
  EXPECT_EQ(disk->Sector(511)[511], 0x5A);
  EXPECT_EQ(disk->Sector(479)[511], 0x00);
  EXPECT_NE(disk->StoreSectors(481, 32, data.data()), 0);
  EXPECT_NE(disk->StoreSectors(0xFFFF'FFF0u, 32, data.data()), 0);  // sum would wrap
  EXPECT_NE(disk->StoreSectors(0, 0x8000'0001u, data.data()), 0);
  EXPECT_EQ(disk->Sector(0)[0], 0x00);
}

}  // namespace
}  // namespace kx20
