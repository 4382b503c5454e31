// FAT formatter: lays out the first sectors of a production disk (master boot
// record, one partition at sector S, an empty FAT12 or FAT16 volume) in a
// RamDisk. The whole layout follows from the disk's last block address.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "common/clock.h"
#include "image/ram_disk.h"

namespace kx20 {

enum class FatType { Fat12, Fat16 };

const char* FatTypeName(FatType type);  // "FAT12" or "FAT16"

// Everything the formatter derives from the last block address L and the
// sectors per track S. Sector numbers are absolute (sector 0 = the MBR).
struct FatLayout {
  std::uint32_t lastLba = 0;            // L
  std::uint32_t sectorsPerTrack = 0;    // S
  std::uint32_t heads = 0;              // H
  std::uint32_t cylinders = 0;          // C = L / (H * S)
  std::uint32_t partitionSectors = 0;   // P = C * H * S - S (0 when C * H * S <= S)
  std::uint8_t partitionType = 0;       // 0x01, 0x04 or 0x06, by N = L + 1
  FatType fatType = FatType::Fat12;     // by P
  std::uint32_t sectorsPerCluster = 0;  // by P
  std::uint32_t sectorsPerFat = 0;      // F
  std::uint32_t fat1Sector = 0;         // S + 1
  std::uint32_t fat2Sector = 0;         // S + 1 + F
  std::uint32_t rootSector = 0;         // R = S + 1 + 2F
  std::uint32_t rootSectors = 0;        // 64 - R mod 32
  std::uint32_t rootEntries = 0;        // 16 per root sector
  std::uint32_t dataSector = 0;         // D = R + root sectors, a multiple of 32
  std::uint32_t clusterCount = 0;       // whole clusters between D and the partition's end
};

// Derives the layout. Defined for every L and for S from 1 to 63; outside the
// range where LayoutIsSound holds the values describe no usable volume.
FatLayout ComputeFatLayout(std::uint32_t lastLba, std::uint32_t sectorsPerTrack);

// True when the layout is a valid volume that the formatter can write: S in
// 1..63, at least one data cluster, a cluster count that readers take for
// the chosen FAT type (FAT12 at most 4,084, FAT16 4,085 to 65,524), FATs
// large enough for it, and the head of FAT 2 inside the RamDisk.
bool LayoutIsSound(const FatLayout& layout);

// The sectors per track of every production image, and the range of last
// block addresses for which its layout is sound.
inline constexpr std::uint32_t kImageSectorsPerTrack = 32;
inline constexpr std::uint32_t kMinImageLastLba = 128;
inline constexpr std::uint32_t kMaxImageLastLba = 4'194'303;
bool IsSupportedLastLba(std::uint32_t lastLba);  // the layout with S = 32 is sound

struct PartitionEntry {
  std::array<std::uint8_t, 16> bytes{};
  std::uint32_t partitionSectors = 0;  // P
};

// The 16-byte entry of the one partition: inactive, CHS start 0/1/1, the
// type, the CHS end (end cylinder kept to its low 10 bits), LBA start S and
// the sector count P.
PartitionEntry BuildPartitionEntry(std::uint32_t lastLba, std::uint32_t sectorsPerTrack);

// Volume serial number from a UTC time: high half (year + 68) * 512 +
// month * 32 + day, low half hour * 2048 + minute * 32 + second * 2, each
// taken modulo 65,536.
std::uint32_t VolumeSerialNumber(const CalendarTime& utc);

// The volume's boot sector: BootSectorTemplate with the computed fields.
std::array<std::uint8_t, 512> BuildBootSector(const FatLayout& layout, std::uint32_t volumeSerial);

// The master boot record: MbrTemplate with partition entry 1.
std::array<std::uint8_t, 512> BuildMasterBootRecord(const FatLayout& layout);

// One format job: the disk's last block address and the RamDisk it is laid
// out in. Large (256 KB): keep it on the heap.
struct FormatContext {
  std::uint32_t lastLba = 0;
  RamDisk ramDisk;
};

// Writes the master boot record (sector 0), the boot sector (S) and the FAT
// heads (S + 1, S + 1 + F) into the context's RamDisk, which the caller has
// cleared, in chunks of 32 sectors from sector 0 up to the chunk holding the
// head of FAT 2. Reads the clock once for the volume serial number.
// Returns the root-directory sector R, or nothing, with the RamDisk
// untouched, when the layout for this capacity is not sound.
std::optional<std::uint32_t> FormatRamDisk(FormatContext& context, std::uint32_t sectorsPerTrack, Clock& clock);

}  // namespace kx20
