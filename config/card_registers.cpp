#include "config/card_registers.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace kx20 {
namespace {

constexpr std::uint8_t kHeader[16] = {0x19, 0x01, 0x01, 0x00, 0x01, 0x03, 0x05, 0x30,
                                      0x00, 0x00, 0x00, 0x00, 'K',  'E',  'M',  'U'};

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

// The CRC7 lookup table, built from the generator's 8-bit form 89h.
struct Crc7Table {
  std::uint8_t entries[256];
  Crc7Table() {
    constexpr std::uint8_t kPoly = 0x89;
    for (int i = 0; i < 256; ++i) {
      int v = (i & 0x80) ? (i ^ kPoly) : i;
      for (int bit = 1; bit < 8; ++bit) {
        v <<= 1;
        if (v & 0x80) v ^= kPoly;
      }
      entries[i] = static_cast<std::uint8_t>(v & 0xFF);
    }
  }
};

// Register bytes 0-14 read from a reversed 16-byte field: byte k sits at
// offset fieldOffset + 15 - k.
void RegisterBytes(const ConfigTable& table, std::size_t fieldOffset, std::uint8_t* out15) {
  for (std::size_t k = 0; k < 15; ++k) out15[k] = table[fieldOffset + 15 - k];
}

constexpr std::array<CsdRegisterEntry, 19> kCsdRegisters = {{
    {"8", "8C0E002A0FF980F5E4D903E78A4000"},
    {"16", "004F01321B5981EFDE794F870A4000"},
    {"32", "004F01321B5981F1DE79CF870A4000"},
    {"48", "004F01321B5982EBDE79CF870A4000"},
    {"64", "004F01321B5981F1DE7A4F8F0A4000"},
    {"80", "004F01321B59826FDE7A4F870A4000"},
    // 2996 blocks of 32 KiB: 93.63 MiB, half the "192" register.
    {"96", "004F01321B5982ECDE7A4F870A4000"},
    {"128", "004F01321B5983E5DE7A4F8F0A4000"},
    {"144", "004F01321B598231DE7ACF870A4000"},
    {"160", "004F01321B59826FDE7ACF8F0A4000"},
    {"192", "004F01321B5982ECDE7ACF8F0A4000"},
    {"256", "004F01321B5983E6DE7ACF8F0A4000"},
    {"128_2K", "004F01321B5981F35E7AFF810A4000"},
    {"256_2K", "004F01321B5983E75E7AFF810A4000"},
    {"384_2K", "004F01321B5982ED9E7B7F810A4000"},
    // 1998 blocks of 256 KiB: 499.50 MiB, four times the "128_2K" register.
    {"512_2K", "004F01321B5981F35E7BFF830A4000"},
    {"640_2K", "004F01321B5982709E7BFF830A4000"},
    {"768_2K", "004F01321B5982ED9E7BFF830A4000"},
    {"1024_2K", "004F01321B5983E79E7BFF830A4000"},
}};

bool IsTwoKType(std::string_view type) {
  return type == "128_2K" || type == "256_2K" || type == "512_2K";
}

// The date byte for years 2000 to 2015: the text made of the first hex digit
// of the year offset and of the month, converted.
void WriteDateText(ConfigTable& table, std::int64_t yearOffset, std::int32_t month) {
  char yearHex[24];
  char monthHex[16];
  std::snprintf(yearHex, sizeof yearHex, "%llX", static_cast<unsigned long long>(yearOffset));
  std::snprintf(monthHex, sizeof monthHex, "%X", static_cast<unsigned>(month));
  const char dateText[2] = {yearHex[0], monthHex[0]};
  HexTextToBytes(std::string_view(dateText, 2), &table[17], 1);
}

}  // namespace

void ResetConfigTableHeader(ConfigTable& table) {
  table.fill(0);
  std::memcpy(table.data(), kHeader, sizeof kHeader);
}

std::size_t HexTextToBytes(std::string_view text, std::uint8_t* dest, std::size_t destSize) {
  std::size_t count = text.size() / 2;
  if (count > destSize) count = destSize;
  if (count > 16) count = 16;
  for (std::size_t i = 0; i < count; ++i) {
    dest[i] = static_cast<std::uint8_t>(HexDigitValue(text[2 * i]) * 16 +
                                        HexDigitValue(text[2 * i + 1]));
  }
  return count;
}

std::uint8_t Crc7(const std::uint8_t* registerBytes15) {
  static const Crc7Table table;
  std::uint8_t crc = 0;
  for (std::size_t i = 0; i < 15; ++i) {
    crc = table.entries[static_cast<std::uint8_t>((crc << 1) ^ registerBytes15[i])];
  }
  return static_cast<std::uint8_t>((crc << 1) | 1);
}

void BuildConfigTable(ConfigTable& table, const RegisterSettings& s) {
  std::uint8_t scratch[16];

  // Identification register, stored reversed in offsets 16-31.
  HexTextToBytes(s.manufacturerId, &table[31], 1);

  std::memset(scratch, 0, sizeof scratch);
  HexTextToBytes(s.oemApplicationId, scratch, sizeof scratch);
  table[30] = scratch[0];
  table[29] = scratch[1];

  for (std::size_t j = 0; j < 5; ++j) {
    const char c = j < s.productName.size() ? s.productName[j] : '\0';
    table[28 - j] = static_cast<std::uint8_t>(c == '\0' ? ' ' : c);
  }

  HexTextToBytes(s.productRevision, &table[23], 1);

  std::memset(scratch, 0, sizeof scratch);
  HexTextToBytes(s.productSerial, scratch, sizeof scratch);
  table[22] = scratch[0];
  table[21] = scratch[1];
  table[20] = scratch[2];
  table[19] = scratch[3];

  // Date: first hex digit of (year - 2000), first hex digit of the month.
  // Years 2016 to 2255 need a second year digit: as the SD layout has it, the
  // high digit goes to the low nibble of register byte 13 (offset 18). Byte
  // 13 is written on every build (its reserved high nibble 0), so a reload
  // without a header reset never keeps a year digit of an earlier build.
  // The offset is taken in 64 bits: any year the text can hold fits.
  const std::int64_t yearOffset64 = static_cast<std::int64_t>(LeadingInteger(s.manufacturingYear)) - 2000;
  const std::int32_t month = LeadingInteger(s.manufacturingMonth);
  if (yearOffset64 >= 16 && yearOffset64 <= 255 && month >= 1 && month <= 12) {
    const auto yearOffset = static_cast<std::int32_t>(yearOffset64);
    table[18] = static_cast<std::uint8_t>(yearOffset >> 4);
    table[17] = static_cast<std::uint8_t>(((yearOffset & 0x0F) << 4) | month);
  } else {
    table[18] = 0;
    WriteDateText(table, yearOffset64, month);
  }

  std::uint8_t reg[15];
  RegisterBytes(table, kCidOffset, reg);
  table[16] = Crc7(reg);

  // Card-specific register, stored reversed in offsets 32-47.
  std::memset(scratch, 0, sizeof scratch);
  HexTextToBytes(s.cardSpecificData, scratch, sizeof scratch);
  for (std::size_t k = 0; k < 15; ++k) table[47 - k] = scratch[k];
  RegisterBytes(table, kCsdOffset, reg);
  table[32] = Crc7(reg);

  table[48] = table[32];
  table[49] = table[33];
  table[50] = 2;
  table[51] = 10;
  table[52] = 100;
  table[53] = 100;
  table[54] = 2;
}

std::array<std::uint8_t, 16> CidRegister(const ConfigTable& table) {
  std::array<std::uint8_t, 16> r{};
  for (std::size_t k = 0; k < 16; ++k) r[k] = table[kCidOffset + 15 - k];
  return r;
}

std::array<std::uint8_t, 16> CsdRegister(const ConfigTable& table) {
  std::array<std::uint8_t, 16> r{};
  for (std::size_t k = 0; k < 16; ++k) r[k] = table[kCsdOffset + 15 - k];
  return r;
}

std::string TableSerialText(const ConfigTable& table) {
  const std::array<std::uint8_t, 16> cid = CidRegister(table);
  char text[9];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X", cid[9], cid[10], cid[11], cid[12]);
  return text;
}

std::uint32_t TableSerialNumber(const ConfigTable& table) {
  std::uint32_t n = 0;
  for (const char c : TableSerialText(table)) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return n;
}

std::optional<std::uint32_t> TableCarriedSerial(const ConfigTable& table) {
  if (std::memcmp(table.data() + 12, kHeader + 12, 4) != 0) return std::nullopt;  // "KEMU"
  const std::array<std::uint8_t, 16> cid = CidRegister(table);
  if (Crc7(cid.data()) != cid[15]) return std::nullopt;
  const std::uint32_t serial = TableSerialNumber(table);
  if (serial == 0) return std::nullopt;  // not decimal, or no number given
  return serial;
}

const std::array<CsdRegisterEntry, 19>& CsdRegisterTable() { return kCsdRegisters; }

std::string LookupCsdRegister(std::string_view label) {
  for (const CsdRegisterEntry& e : kCsdRegisters) {
    if (label == e.label) return e.registerText;
  }
  return std::string();
}

std::uint64_t CsdEncodedCapacityBytes(const std::uint8_t* r) {
  // C_SIZE: register bits 73-62; C_SIZE_MULT: bits 49-47 (byte 0 holds bits 127-120).
  const unsigned cSize = ((r[6] & 0x03u) << 10) | (static_cast<unsigned>(r[7]) << 2) | (r[8] >> 6);
  const unsigned cSizeMult = ((r[9] & 0x03u) << 1) | (r[10] >> 7);
  return static_cast<std::uint64_t>(cSize + 1) << (cSizeMult + 2 + 9);
}

std::string DeriveCapacityLabel(std::string_view flash1, std::string_view flash2) {
  int s1 = 0;
  int s2 = 0;
  bool twoK = false;
  if (flash1 == "128_2K") s1 = 128, twoK = true;
  if (flash1 == "256_2K") s1 = 256, twoK = true;
  if (flash1 == "512_2K") s1 = 512, twoK = true;
  if (flash2 == "128_2K") s2 = 128, twoK = true;
  if (flash2 == "256_2K") s2 = 256, twoK = true;

  if (flash2 == "512_2K") return std::to_string(s1 + 512) + "_2K";
  if (twoK) return std::to_string(s1 + s2) + "_2K";
  const long long sum =
      static_cast<long long>(LeadingInteger(flash2)) + LeadingInteger(flash1);
  return std::to_string(sum);
}

std::optional<std::string> FlashCombinationError(std::string_view flash1,
                                                 std::string_view flash2) {
  if (!IsTwoKType(flash1) && IsTwoKType(flash2)) {
    return "FLASH 2 can be a 2K-page type (128_2K, 256_2K or 512_2K) only when FLASH 1 is "
           "one too.";
  }
  return std::nullopt;
}

std::int32_t LeadingInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  if (value < INT_MIN) value = INT_MIN;
  return static_cast<std::int32_t>(value);
}

}  // namespace kx20
