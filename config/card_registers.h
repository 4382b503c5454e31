// The controller presents itself to the host like a memory card and reports
// two 16-byte registers that we build from the settings: the card
// identification (manufacturer, OEM, product name and revision, serial number,
// date) and the card-specific data (timing, block sizes, capacity), each closed
// by a CRC7 byte. Both travel to the controller in the 512-byte ConfigTable.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kx20 {

// The controller's configuration table:
//   0-15  header (19 01 01 00  01 03 05 30  00 00 00 00  "KEMU")
//   16-31 card-identification register, byte order reversed (offset 31 = byte 0)
//   32-47 card-specific data register, byte order reversed (offset 47 = byte 0)
//   48-49 copies of offsets 32 and 33
//   50-54 02 0A 64 64 02
//   55-   zero
using ConfigTable = std::array<std::uint8_t, 512>;

inline constexpr std::size_t kCidOffset = 16;
inline constexpr std::size_t kCsdOffset = 32;

// Zeroes the table and writes the 16-byte header.
void ResetConfigTableHeader(ConfigTable& table);

// Converts pairs of hexadecimal digits to bytes: characters 2i and 2i+1 give
// byte i (high digit first); an odd last character is ignored. Writes at most
// min(text length / 2, destSize, 16) bytes and returns how many it wrote: a
// text longer than its field converts only the bytes that fit. Digits are
// '0'-'9' and 'A'-'F' (lower-case 'a'-'f' are taken as the same digits); any
// other character counts as 0.
std::size_t HexTextToBytes(std::string_view text, std::uint8_t* dest, std::size_t destSize);

// The SD/MMC CRC7 (x^7 + x^3 + 1, initial 0, most significant bit first) of
// the first 15 register bytes, returned as the register's last byte:
// (CRC7 << 1) | 1.
std::uint8_t Crc7(const std::uint8_t* registerBytes15);

// The setting texts the table is built from, as the settings loader read them.
struct RegisterSettings {
  std::string manufacturerId;     // "Manufacturer_ID", two hex digits
  std::string oemApplicationId;   // "OEM_Application_ID", four hex digits
  std::string productName;        // "Product_name", up to five characters
  std::string productRevision;    // "Product_revision", two hex digits
  std::string productSerial;      // "Product_SN", eight decimal digits (stored as hex)
  std::string manufacturingYear;  // "Manufacturing_year", e.g. "2004"
  std::string manufacturingMonth; // "Manufacturing_month", 1 to 12
  std::string cardSpecificData;   // "CCD_FIELD", 30 hex digits (register bytes 0-14)
};

// Fills offsets 16 to 54 of the table from the settings. Works on the table's
// current contents: an empty manufacturer ID or revision leaves its byte as it
// was (zero after a header reset). The date byte (register byte 14) holds
// year - 2000 in its high nibble and the month in its low nibble; for the
// years 2016 to 2255 the year's high digit goes to the low nibble of register
// byte 13, as in the SD layout (2026/12 gives bytes 13-14 = 01 AC).
void BuildConfigTable(ConfigTable& table, const RegisterSettings& settings);

// The register bytes 0-15 of the identification or card-specific register
// stored in the table (undoing the reversed order).
std::array<std::uint8_t, 16> CidRegister(const ConfigTable& table);
std::array<std::uint8_t, 16> CsdRegister(const ConfigTable& table);

// The product serial number a table carries (identification register bytes
// 9-12), as its eight digits: the decimal digits of "Product_SN" come back
// as they went in ("00000042"). Bytes that were not decimal digits show as
// the hexadecimal digits stored ("ABCDEF12").
std::string TableSerialText(const ConfigTable& table);
// The same as a number when all eight digits are decimal, else 0.
std::uint32_t TableSerialNumber(const ConfigTable& table);

// The serial number a table read from a controller carries, or nothing when
// the table is blank: a controller that was never programmed by this system
// (all zeros, all FFh, or anything else without this system's table), or a
// table whose identification register cannot be believed. A table carries
// a serial number when
//   - bytes 12-15 hold the header's "KEMU" (bytes 0-7 are the controller's
//     own and may come back changed, so they are not looked at),
//   - the identification register's CRC byte matches its bytes 0-14, and
//   - its eight serial digits are decimal and not 00000000 (no number is
//     ever handed out as 0).
std::optional<std::uint32_t> TableCarriedSerial(const ConfigTable& table);

// --- Card-specific registers by capacity label --------------------------------

struct CsdRegisterEntry {
  const char* label;         // capacity label, e.g. "128" or "256_2K"
  const char* registerText;  // register bytes 0-14 as 30 hex digits
};

// The registers the saver chooses from, in table order.
const std::array<CsdRegisterEntry, 19>& CsdRegisterTable();

// The register text for a label (exact, case-sensitive), or "" when none.
std::string LookupCsdRegister(std::string_view label);

// Capacity in bytes that a version-1 card-specific register encodes:
// (C_SIZE + 1) * 2^(C_SIZE_MULT + 2) * 512.
std::uint64_t CsdEncodedCapacityBytes(const std::uint8_t* registerBytes);

// The capacity label for the two flash types (FLASH1, FLASH2): the sum of the
// two chip sizes, with the suffix "_2K" when a 2 KB-page type is involved.
// 64 and 16 give "80", "128_2K" and "0" give "128_2K", "512_2K" and "128_2K"
// give "640_2K".
std::string DeriveCapacityLabel(std::string_view flash1, std::string_view flash2);

// The combinations the settings may not be saved with: a plain FLASH1 type
// with a 2 KB-page FLASH2 type has no capacity label. Returns the message to
// show the operator, or nothing when the combination is fine.
std::optional<std::string> FlashCombinationError(std::string_view flash1, std::string_view flash2);

// The decimal integer at the start of a text (white space, optional sign,
// digits; stops at the first other character; 0 when there is none),
// saturated to the 32-bit range.
std::int32_t LeadingInteger(std::string_view text);

}  // namespace kx20
