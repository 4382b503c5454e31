// The recipe of a disk: the settings that shape it, as one short id that the
// records carry, so that disks made alike can be told from disks made
// otherwise. What goes in:
//   - the configuration table the disk is programmed with, all 512 bytes,
//     except the serial number (identification register bytes 9-12) and
//     the identification register's CRC byte, which follows the serial
//     number: everything of config.txt that enters the table (manufacturer,
//     OEM, product name and revision, date, the card-specific register);
//   - the capacity choice and the flash types ("CCD_SELECT_DATA", "FLASH1",
//     "FLASH2");
//   - the tests: "EraseFlash", "RWTest" and, when the test runs, "RWValue".
// Not in it: the serial counter ("Product_SN") and the settings that shape
// nothing on the disk ("Change_SN", "Ecc", "wdelay").
//
// The id is the 64-bit FNV-1a hash of those values in a fixed form, as 16
// lower-case hexadecimal digits; the same settings give the same id on every
// host and in every version that keeps that form.
#pragma once

#include <string>

#include "config/card_registers.h"
#include "config/settings.h"

namespace kx20 {

// The recipe of a disk programmed with `table` under `settings`.
std::string RecipeId(const ProductionSettings& settings, const ConfigTable& table);

// The recipe of the settings' own published table.
inline std::string RecipeId(const ProductionSettings& settings) {
  return RecipeId(settings, settings.publishedConfigTable);
}

}  // namespace kx20
