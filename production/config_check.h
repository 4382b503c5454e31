// The configuration check: does the controller's flash information block
// (bytes 0-8 of the 512 bytes that READ FLASH INFO returns) match the flash
// types and capacity selection of the settings?
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kx20 {

// Capacity index (0-8) to chip capacity in MB. Indexes 6, 7 and 8 are the
// 2 KB-page chips ("128_2K", "256_2K", "512_2K").
inline constexpr std::array<std::uint32_t, 9> kChipCapacityTable = {4, 8, 16, 32, 64, 128, 128, 256, 512};

struct ConfigCheckResult {
  bool ok = false;
  int chipCount = 0;              // n
  std::uint32_t totalMegabytes = 0;  // T = n * C
};

// The decimal integer at the start of `text` (digits only, stopping at the
// first non-digit); 0 when there is none.
std::uint32_t LeadingNumber(const std::string& text);

ConfigCheckResult CheckFlashConfiguration(const std::uint8_t* flashInfo, const std::string& flash1,
                                          const std::string& flash2,
                                          const std::string& capacitySelection);

}  // namespace kx20
