// The two boot records of the prepared disk image, assembled at build time
// from image/boot/mbr.asm and image/boot/boot_sector.asm.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kx20 {

// Master boot record: boot code in bytes 0-439 (messages at 139, 163 and
// 194), bytes 440-445 zero, an empty partition table, 0x55 0xAA.
extern const std::array<std::uint8_t, 512> MbrTemplate;

// FAT boot sector: EB 3E 90, "MSWIN4.1", default parameter block, boot code
// from offset 64, 0x55 0xAA. The formatter fills in the computed fields.
extern const std::array<std::uint8_t, 512> BootSectorTemplate;

// Offsets of the master boot record's messages.
inline constexpr std::size_t kMbrMsgInvalidTable = 139;
inline constexpr std::size_t kMbrMsgLoadError = 163;
inline constexpr std::size_t kMbrMsgMissingOs = 194;
inline constexpr std::size_t kMbrPartitionTable = 446;

}  // namespace kx20
