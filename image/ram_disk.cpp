#include "image/ram_disk.h"

#include <cstring>

namespace kx20 {

int RamDisk::StoreSectors(std::uint32_t firstSector, std::uint32_t sectorCount, const std::uint8_t* data) {
  // Both values are checked on their own first, so the sum cannot wrap.
  if (firstSector > kRamDiskSectors || sectorCount > kRamDiskSectors ||
      firstSector + sectorCount > kRamDiskSectors) {
    return 1;
  }
  if (sectorCount != 0) {
    std::memcpy(bytes.data() + firstSector * kSectorBytes, data, sectorCount * kSectorBytes);
  }
  return 0;
}

}  // namespace kx20
