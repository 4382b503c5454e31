// The hexadecimal and register codecs: hex text converts back to the bytes it
// came from, never writes past its destination, and every table built from
// any settings texts carries registers whose CRC7 bytes are right.
#include <algorithm>
#include <cctype>
#include <climits>
#include <vector>

#include "config/card_registers.h"
#include "fuzz_support.h"

namespace {

std::string ToHex(const std::uint8_t* bytes, std::size_t n, bool lower) {
  static const char* upperDigits = "0123456789ABCDEF";
  static const char* lowerDigits = "0123456789abcdef";
  const char* d = lower ? lowerDigits : upperDigits;
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += d[bytes[i] >> 4];
    s += d[bytes[i] & 15];
  }
  return s;
}

// Digits after an optional sign at the very start, saturated to 32 bits; nothing
// when the text does not start that way.
std::optional<std::int32_t> SimpleLeadingInteger(std::string_view t) {
  std::size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  if (i >= t.size() || !std::isdigit(static_cast<unsigned char>(t[i]))) return std::nullopt;
  std::int64_t v = 0;
  for (; i < t.size() && std::isdigit(static_cast<unsigned char>(t[i])); ++i) {
    v = std::min<std::int64_t>(v * 10 + (t[i] - '0'), std::int64_t{INT32_MAX} + 1);
  }
  if (negative) v = -v;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kx20;
  fuzz::Input in(data, size);

  // Bytes -> hex -> bytes, into a buffer of exactly the field's size.
  std::uint8_t original[16];
  const std::size_t n = in.Byte() % 17;
  in.Bytes(original, n);
  const bool lower = in.Byte() & 1;
  std::vector<std::uint8_t> field(n);
  FUZZ_CHECK(HexTextToBytes(ToHex(original, n, lower), field.data(), n) == n);
  FUZZ_CHECK(std::equal(field.begin(), field.end(), original));

  // Any text into any field: bounded by the field, the text and 16.
  const std::string text = in.String(48);
  const std::size_t destSize = in.Byte() % 20;
  std::vector<std::uint8_t> dest(destSize);
  const std::size_t wrote = HexTextToBytes(text, dest.data(), destSize);
  FUZZ_CHECK(wrote <= destSize && wrote <= text.size() / 2 && wrote <= 16);

  // The settings texts as the loader reads them: anything.
  RegisterSettings s;
  s.manufacturerId = in.String(6);
  s.oemApplicationId = in.String(8);
  s.productName = in.String(10);
  s.productRevision = in.String(6);
  s.productSerial = in.String(12);
  s.manufacturingYear = in.String(6);
  s.manufacturingMonth = in.String(4);
  s.cardSpecificData = in.String(40);
  ConfigTable table;
  ResetConfigTableHeader(table);
  BuildConfigTable(table, s);
  for (const auto& reg : {CidRegister(table), CsdRegister(table)}) {
    FUZZ_CHECK(reg[15] == Crc7(reg.data()));
    FUZZ_CHECK((reg[15] & 1) == 1);
  }
  (void)CsdEncodedCapacityBytes(CsdRegister(table).data());

  const std::string a = in.String(10), b = in.String(10);
  const std::string label = DeriveCapacityLabel(a, b);
  const std::string reg = LookupCsdRegister(label);
  FUZZ_CHECK(reg.empty() || reg.size() == 30);
  (void)FlashCombinationError(a, b);
  if (const auto expected = SimpleLeadingInteger(a)) FUZZ_CHECK(LeadingInteger(a) == *expected);
  return 0;
}
