#include "image/fat_formatter.h"

#include <algorithm>
#include <cstring>

#include "common/byte_order.h"
#include "image/boot_code.h"

namespace kx20 {
namespace {

constexpr std::uint32_t kChunkSectors = 32;
constexpr std::uint32_t kFat12MaxClusters = 4'084;
constexpr std::uint32_t kFat16MinClusters = 4'085;
constexpr std::uint32_t kFat16MaxClusters = 65'524;

std::uint32_t HeadsFor(std::uint32_t lastLba) {
  if (lastLba < 0x10000) return 2;
  if (lastLba < 0x80000) return 16;
  if (lastLba < 0x100000) return 32;
  return 64;
}

}  // namespace

const char* FatTypeName(FatType type) { return type == FatType::Fat12 ? "FAT12" : "FAT16"; }

FatLayout ComputeFatLayout(std::uint32_t lastLba, std::uint32_t sectorsPerTrack) {
  FatLayout l;
  l.lastLba = lastLba;
  l.sectorsPerTrack = sectorsPerTrack;
  l.heads = HeadsFor(lastLba);
  const std::uint64_t s = sectorsPerTrack;
  const std::uint64_t cylinderSectors = l.heads * s;
  l.cylinders = cylinderSectors == 0 ? 0 : static_cast<std::uint32_t>(lastLba / cylinderSectors);
  const std::uint64_t usedSectors = l.cylinders * cylinderSectors;  // at most L
  l.partitionSectors = usedSectors > s ? static_cast<std::uint32_t>(usedSectors - s) : 0;

  const std::uint64_t n = std::uint64_t{lastLba} + 1;
  l.partitionType = n < 0x8000 ? 0x01 : n < 0x10000 ? 0x04 : 0x06;

  const std::uint32_t p = l.partitionSectors;
  if (p < 0x8000) {
    l.fatType = FatType::Fat12;
    l.sectorsPerCluster = 8;
  } else {
    l.fatType = FatType::Fat16;
    l.sectorsPerCluster = p < 0x40000 ? 4 : p < 0x80000 ? 8 : p < 0x100000 ? 16 : p < 0x200000 ? 32 : 64;
  }
  // All partition sectors count here, reserved and FAT sectors included.
  const std::uint64_t k = p / l.sectorsPerCluster;
  l.sectorsPerFat = static_cast<std::uint32_t>(l.fatType == FatType::Fat16 ? 2 * k / 512 + 1 : 3 * k / 1024 + 1);

  l.fat1Sector = sectorsPerTrack + 1;
  l.fat2Sector = l.fat1Sector + l.sectorsPerFat;
  l.rootSector = l.fat2Sector + l.sectorsPerFat;
  l.rootSectors = 64 - l.rootSector % 32;
  l.rootEntries = 16 * l.rootSectors;
  l.dataSector = l.rootSector + l.rootSectors;

  const std::uint64_t partitionEnd = s + p;  // first sector after the partition
  l.clusterCount =
      partitionEnd > l.dataSector ? static_cast<std::uint32_t>((partitionEnd - l.dataSector) / l.sectorsPerCluster) : 0;
  return l;
}

bool LayoutIsSound(const FatLayout& l) {
  if (l.sectorsPerTrack < 1 || l.sectorsPerTrack > 63) return false;
  if (l.cylinders < 2 || l.clusterCount < 1) return false;
  // FAT entries 0 and 1 are reserved; every cluster needs one more.
  const std::uint64_t entriesNeeded = std::uint64_t{l.clusterCount} + 2;
  if (l.fatType == FatType::Fat12) {
    if (l.clusterCount > kFat12MaxClusters) return false;
    if (std::uint64_t{l.sectorsPerFat} * 512 * 2 / 3 < entriesNeeded) return false;
  } else {
    if (l.clusterCount < kFat16MinClusters || l.clusterCount > kFat16MaxClusters) return false;
    if (std::uint64_t{l.sectorsPerFat} * 256 < entriesNeeded) return false;
  }
  // The formatter writes whole 32-sector chunks up to the one holding the
  // head of FAT 2; that chunk must end inside the RamDisk.
  return l.fat2Sector < kRamDiskSectors;
}

bool IsSupportedLastLba(std::uint32_t lastLba) {
  return LayoutIsSound(ComputeFatLayout(lastLba, kImageSectorsPerTrack));
}

namespace {

std::array<std::uint8_t, 16> EntryBytes(const FatLayout& l) {
  std::array<std::uint8_t, 16> e{};
  e[0] = 0x00;  // not active
  e[1] = 1;     // start head
  e[2] = 1;     // start sector 1, cylinder bits 8-9 zero
  e[3] = 0;     // start cylinder
  e[4] = l.partitionType;
  e[5] = static_cast<std::uint8_t>(l.heads - 1);
  const std::uint32_t endCylinder = l.cylinders - 1;  // only its low 10 bits are kept
  e[6] = static_cast<std::uint8_t>((l.sectorsPerTrack & 0x3F) | (((endCylinder >> 8) & 3) << 6));
  e[7] = static_cast<std::uint8_t>(endCylinder & 0xFF);
  PutLe32(&e[8], l.sectorsPerTrack);
  PutLe32(&e[12], l.partitionSectors);
  return e;
}

}  // namespace

PartitionEntry BuildPartitionEntry(std::uint32_t lastLba, std::uint32_t sectorsPerTrack) {
  const FatLayout l = ComputeFatLayout(lastLba, sectorsPerTrack);
  return PartitionEntry{EntryBytes(l), l.partitionSectors};
}

std::uint32_t VolumeSerialNumber(const CalendarTime& utc) {
  const auto low = static_cast<std::uint32_t>(utc.hour * 2048 + utc.minute * 32 + utc.second * 2) & 0xFFFF;
  const auto high = static_cast<std::uint32_t>((utc.year + 68) * 512 + utc.month * 32 + utc.day) & 0xFFFF;
  return (high << 16) | low;
}

std::array<std::uint8_t, 512> BuildBootSector(const FatLayout& l, std::uint32_t volumeSerial) {
  std::array<std::uint8_t, 512> b = BootSectorTemplate;
  const bool small = l.partitionSectors < 0x10000;
  b[13] = static_cast<std::uint8_t>(l.sectorsPerCluster);
  PutLe16(&b[17], static_cast<std::uint16_t>(l.rootEntries));
  PutLe16(&b[19], static_cast<std::uint16_t>(small ? l.partitionSectors : 0));
  PutLe16(&b[22], static_cast<std::uint16_t>(l.sectorsPerFat));
  PutLe16(&b[24], static_cast<std::uint16_t>(l.sectorsPerTrack));
  PutLe16(&b[26], 255);  // always 255, whatever H is
  PutLe32(&b[28], l.sectorsPerTrack);
  PutLe32(&b[32], small ? 0 : l.partitionSectors);
  PutLe32(&b[39], volumeSerial);
  std::memcpy(&b[54], l.fatType == FatType::Fat12 ? "FAT12   " : "FAT16   ", 8);
  return b;
}

std::array<std::uint8_t, 512> BuildMasterBootRecord(const FatLayout& l) {
  std::array<std::uint8_t, 512> m = MbrTemplate;
  const auto entry = EntryBytes(l);
  std::copy(entry.begin(), entry.end(), m.begin() + kMbrPartitionTable);
  return m;
}

std::optional<std::uint32_t> FormatRamDisk(FormatContext& context, std::uint32_t sectorsPerTrack, Clock& clock) {
  const FatLayout l = ComputeFatLayout(context.lastLba, sectorsPerTrack);
  if (!LayoutIsSound(l)) return std::nullopt;

  const auto mbr = BuildMasterBootRecord(l);
  const auto boot = BuildBootSector(l, VolumeSerialNumber(clock.UtcNow()));
  std::array<std::uint8_t, 512> fatHead{};
  fatHead[0] = 0xF8;
  fatHead[1] = 0xFF;
  fatHead[2] = 0xFF;
  if (l.fatType == FatType::Fat16) fatHead[3] = 0xFF;

  struct Placed {
    std::uint32_t sector;
    const std::uint8_t* data;
  };
  const Placed placed[] = {
      {0, mbr.data()}, {l.sectorsPerTrack, boot.data()}, {l.fat1Sector, fatHead.data()}, {l.fat2Sector, fatHead.data()}};

  std::array<std::uint8_t, kChunkSectors * kSectorBytes> chunk;
  for (std::uint32_t c = 0;; c += kChunkSectors) {
    chunk.fill(0);
    for (const Placed& item : placed) {
      if (item.sector >= c && item.sector < c + kChunkSectors) {
        std::memcpy(chunk.data() + (item.sector - c) * kSectorBytes, item.data, kSectorBytes);
      }
    }
    if (context.ramDisk.StoreSectors(c, kChunkSectors, chunk.data()) != 0) return std::nullopt;
    if (l.fat2Sector < c + kChunkSectors) break;
  }
  return l.rootSector;
}

}  // namespace kx20
