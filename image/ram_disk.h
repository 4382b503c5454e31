// The in-memory disk in which the formatter lays out the first 512 sectors
// of a production disk.
#pragma once

#include <array>
#include <cstdint>

namespace kx20 {

inline constexpr std::uint32_t kSectorBytes = 512;
inline constexpr std::uint32_t kRamDiskSectors = 512;
inline constexpr std::uint32_t kRamDiskBytes = kRamDiskSectors * kSectorBytes;  // 262,144

struct RamDisk {
  std::array<std::uint8_t, kRamDiskBytes> bytes{};

  void Clear() { bytes.fill(0); }

  // Copies sectorCount sectors (sectorCount * 512 bytes) from `data` to
  // sector firstSector onward. Returns 0 on success. A range that does not
  // lie wholly inside the 512 sectors is refused (returns 1) and nothing is
  // written.
  int StoreSectors(std::uint32_t firstSector, std::uint32_t sectorCount, const std::uint8_t* data);

  const std::uint8_t* Sector(std::uint32_t n) const { return bytes.data() + n * kSectorBytes; }
};

}  // namespace kx20
