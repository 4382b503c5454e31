// The FAT formatter over random last block addresses (and sectors per track):
// every layout it calls sound is a volume FAT readers accept and that fits
// the disk, the supported range is exactly where the production layout is
// sound, and the formatter writes what the layout says, or nothing at all.
#include <memory>

#include "common/virtual_clock.h"
#include "fuzz_support.h"
#include "image/fat_formatter.h"

namespace {

std::uint32_t Get16(const std::uint8_t* p) { return p[0] | (p[1] << 8); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kx20;
  fuzz::Input in(data, size);
  std::uint32_t lastLba = in.Value<std::uint32_t>();
  const std::uint8_t shape = in.Byte();
  // Half the inputs near the supported range, where the layout changes type.
  if (shape & 0x80) lastLba %= 2 * kMaxImageLastLba;
  const std::uint32_t spt = (shape & 0x40) ? 1 + (shape & 0x3F) % 63 : kImageSectorsPerTrack;

  const FatLayout layout = ComputeFatLayout(lastLba, spt);
  const bool sound = LayoutIsSound(layout);
  if (spt == kImageSectorsPerTrack) {
    FUZZ_CHECK(sound == IsSupportedLastLba(lastLba));
    if (sound) FUZZ_CHECK(lastLba >= kMinImageLastLba && lastLba <= kMaxImageLastLba);
  }
  if (sound) {
    const std::uint64_t S = spt, F = layout.sectorsPerFat;
    FUZZ_CHECK(layout.fat1Sector == S + 1);
    FUZZ_CHECK(layout.fat2Sector == layout.fat1Sector + F);
    FUZZ_CHECK(layout.rootSector == layout.fat2Sector + F);
    FUZZ_CHECK(layout.dataSector == layout.rootSector + layout.rootSectors);
    FUZZ_CHECK(layout.dataSector % 32 == 0);
    FUZZ_CHECK(layout.rootEntries == 16 * layout.rootSectors);
    // The partition lies on the disk, the clusters in the partition.
    FUZZ_CHECK(S + layout.partitionSectors <= std::uint64_t{lastLba} + 1);
    FUZZ_CHECK(layout.clusterCount >= 1);
    const std::uint32_t spc = layout.sectorsPerCluster;
    FUZZ_CHECK(spc != 0 && (spc & (spc - 1)) == 0 && spc <= 128);
    FUZZ_CHECK(layout.dataSector + std::uint64_t{layout.clusterCount} * spc <= S + layout.partitionSectors);
    // The cluster count makes readers take the FAT type the layout chose, and
    // each FAT has an entry for every cluster.
    const bool fat16 = layout.fatType == FatType::Fat16;
    if (fat16) {
      FUZZ_CHECK(layout.clusterCount >= 4085 && layout.clusterCount <= 65524);
    } else {
      FUZZ_CHECK(layout.clusterCount <= 4084);
    }
    FUZZ_CHECK(F * 512 * 8 / (fat16 ? 16 : 12) >= std::uint64_t{layout.clusterCount} + 2);
    FUZZ_CHECK((layout.fat2Sector + 1) * std::uint64_t{kSectorBytes} <= kRamDiskBytes);
  }

  // The formatter itself (production sectors per track only: it is slow).
  if (spt != kImageSectorsPerTrack || (shape & 0x0F) != 0) return 0;
  auto context = std::make_unique<FormatContext>();
  context->lastLba = lastLba;
  VirtualClock clock;
  const std::optional<std::uint32_t> root = FormatRamDisk(*context, spt, clock);
  FUZZ_CHECK(root.has_value() == sound);
  const std::uint8_t* disk = context->ramDisk.bytes.data();
  if (!root) {
    static const RamDisk zero{};
    FUZZ_CHECK(std::memcmp(disk, zero.bytes.data(), kRamDiskBytes) == 0);
    return 0;
  }
  FUZZ_CHECK(*root == layout.rootSector);
  const std::uint8_t* mbr = context->ramDisk.Sector(0);
  const std::uint8_t* boot = context->ramDisk.Sector(spt);
  FUZZ_CHECK(mbr[510] == 0x55 && mbr[511] == 0xAA);
  FUZZ_CHECK(boot[510] == 0x55 && boot[511] == 0xAA);
  FUZZ_CHECK(Get16(boot + 11) == 512);
  FUZZ_CHECK(boot[13] == layout.sectorsPerCluster);
  FUZZ_CHECK(Get16(boot + 14) == 1);
  FUZZ_CHECK(boot[16] == 2);
  FUZZ_CHECK(Get16(boot + 17) == layout.rootEntries);
  FUZZ_CHECK(Get16(boot + 22) == layout.sectorsPerFat);
  // Both FAT heads begin with the media byte and match.
  const std::uint8_t* fat1 = context->ramDisk.Sector(layout.fat1Sector);
  const std::uint8_t* fat2 = context->ramDisk.Sector(layout.fat2Sector);
  FUZZ_CHECK(fat1[0] == boot[21] && std::memcmp(fat1, fat2, 4) == 0);
  // The partition entry describes the same partition.
  const std::uint8_t* entry = mbr + 446;
  const std::uint32_t start = entry[8] | (entry[9] << 8) | (entry[10] << 16) | (std::uint32_t{entry[11]} << 24);
  const std::uint32_t count = entry[12] | (entry[13] << 8) | (entry[14] << 16) | (std::uint32_t{entry[15]} << 24);
  FUZZ_CHECK(start == spt && count == layout.partitionSectors);
  return 0;
}
