#include "config/card_registers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kx20 {
namespace {

std::vector<std::uint8_t> Bytes(const ConfigTable& t, std::size_t from, std::size_t count) {
  return std::vector<std::uint8_t>(t.begin() + static_cast<std::ptrdiff_t>(from),
                                   t.begin() + static_cast<std::ptrdiff_t>(from + count));
}

std::vector<std::uint8_t> HexBytes(const std::string& text) {
  std::vector<std::uint8_t> out(text.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<std::uint8_t>(std::stoi(text.substr(2 * i, 2), nullptr, 16));
  }
  return out;
}

// Bit by bit, straight from the generator polynomial x^7 + x^3 + 1.
std::uint8_t BitwiseCrc7(const std::uint8_t* data, std::size_t n) {
  unsigned crc = 0;
  for (std::size_t i = 0; i < n; ++i) {
    for (int bit = 7; bit >= 0; --bit) {
      const unsigned in = (data[i] >> bit) & 1u;
      const unsigned top = (crc >> 6) & 1u;
      crc = (crc << 1) & 0x7Fu;
      if (in ^ top) crc ^= 0x09u;
    }
  }
  return static_cast<std::uint8_t>((crc << 1) | 1u);
}

RegisterSettings WorkedExample() {
  RegisterSettings s;
  s.manufacturerId = "12";
  s.oemApplicationId = "AB12";
  s.productName = "DISK1";
  s.productRevision = "10";
  s.productSerial = "00000001";
  s.manufacturingYear = "2004";
  s.manufacturingMonth = "5";
  s.cardSpecificData = "004F01321B5981EFDE794F870A4000";
  return s;
}

TEST(CardRegisters, HeaderResetZeroesTheRestOfTheTable) {
  ConfigTable t;
  t.fill(0xEE);
  ResetConfigTableHeader(t);
  EXPECT_EQ(Bytes(t, 0, 16), (std::vector<std::uint8_t>{0x19, 0x01, 0x01, 0x00, 0x01, 0x03,
                                                         0x05, 0x30, 0, 0, 0, 0, 'K', 'E', 'M',
                                                         'U'}));
  for (std::size_t i = 16; i < t.size(); ++i) ASSERT_EQ(t[i], 0) << i;
}

TEST(CardRegisters, WorkedExampleGivesBothRegistersAndTheTableOffsets) {
  ConfigTable t;
  ResetConfigTableHeader(t);
  BuildConfigTable(t, WorkedExample());

  const auto cid = CidRegister(t);
  EXPECT_EQ(std::vector<std::uint8_t>(cid.begin(), cid.end()),
            HexBytes("12AB124449534B31100000000100453B"));
  EXPECT_EQ(Bytes(t, 16, 16), HexBytes("3B45000100000010314B53494412AB12"));
  EXPECT_EQ(Bytes(t, 32, 16), HexBytes("DF00400A874F79DEEF81591B32014F00"));
  EXPECT_EQ(t[48], 0xDF);
  EXPECT_EQ(t[49], 0x00);
  EXPECT_EQ(Bytes(t, 50, 5), (std::vector<std::uint8_t>{2, 10, 100, 100, 2}));
  for (std::size_t i = 55; i < t.size(); ++i) ASSERT_EQ(t[i], 0) << i;
}

TEST(CardRegisters, IdentificationFieldsEdgeCases) {
  struct Case {
    const char* what;
    RegisterSettings settings;
    std::size_t firstRegisterByte;
    std::string expected;  // register bytes from firstRegisterByte on, hex
  };
  auto with = [](auto change) {
    RegisterSettings s = WorkedExample();
    change(s);
    return s;
  };
  const std::vector<Case> cases = {
      {"short name is padded with spaces", with([](auto& s) { s.productName = "AB"; }), 3,
       "4142202020"},
      {"serial 99999999", with([](auto& s) { s.productSerial = "99999999"; }), 9, "99999999"},
      {"serial 00000010", with([](auto& s) { s.productSerial = "00000010"; }), 9, "00000010"},
      {"2003, month 1", with([](auto& s) { s.manufacturingYear = "2003"; s.manufacturingMonth = "1"; }),
       13, "0031"},
      {"2010, month 12", with([](auto& s) { s.manufacturingYear = "2010"; s.manufacturingMonth = "12"; }),
       13, "00AC"},
      {"2026, month 12 keeps its high year digit", with([](auto& s) {
         s.manufacturingYear = "2026";
         s.manufacturingMonth = "12";
       }),
       13, "01AC"},
      {"over-long OEM ID converts the first two bytes",
       with([](auto& s) { s.oemApplicationId = "ABCDEF0123456789ABCDEF0123456789ABCDEF"; }), 1,
       "ABCD444953"},
      {"over-long manufacturer ID touches only its byte",
       with([](auto& s) { s.manufacturerId = "345678"; }), 0, "34AB12"},
      {"over-long revision touches only its byte",
       with([](auto& s) { s.productRevision = "ABCDEF"; }), 7, "31AB00000001"},
      {"lower-case digits", with([](auto& s) { s.oemApplicationId = "ab12"; }), 1, "AB12"},
  };
  for (const Case& c : cases) {
    ConfigTable t;
    ResetConfigTableHeader(t);
    BuildConfigTable(t, c.settings);
    const auto cid = CidRegister(t);
    const auto expected = HexBytes(c.expected);
    EXPECT_EQ(std::vector<std::uint8_t>(cid.begin() + static_cast<std::ptrdiff_t>(c.firstRegisterByte),
                                        cid.begin() + static_cast<std::ptrdiff_t>(c.firstRegisterByte +
                                                                                  expected.size())),
              expected)
        << c.what;
    EXPECT_EQ(cid[15], BitwiseCrc7(cid.data(), 15)) << c.what;
  }
}

// The serial-number step rebuilds the table without a header reset: a year
// digit of an earlier build must not survive in register byte 13, and no
// year text, however absurd, may overflow the arithmetic.
TEST(CardRegisters, RebuildWithoutHeaderResetLeavesNoStaleYearDigit) {
  struct Case {
    const char* year;
    const char* month;
    std::uint8_t byte13;
  };
  const Case cases[] = {
      {"2010", "12", 0x00}, {"2003", "1", 0x00}, {"2026", "12", 0x01},
      {"2255", "1", 0x0F},  {"2256", "1", 0x00}, {"-2147483648", "5", 0x00},
      {"2147483647", "5", 0x00}, {"99999999999999999999", "5", 0x00}, {"", "", 0x00},
  };
  for (const Case& c : cases) {
    ConfigTable t;
    ResetConfigTableHeader(t);
    RegisterSettings s = WorkedExample();
    s.manufacturingYear = "2255";  // high year digit F in byte 13
    s.manufacturingMonth = "3";
    BuildConfigTable(t, s);
    ASSERT_EQ(CidRegister(t)[13], 0x0F);
    s.manufacturingYear = c.year;
    s.manufacturingMonth = c.month;
    BuildConfigTable(t, s);  // no header reset in between
    const auto cid = CidRegister(t);
    EXPECT_EQ(cid[13], c.byte13) << c.year;
    EXPECT_EQ(cid[15], BitwiseCrc7(cid.data(), 15)) << c.year;
  }
}

TEST(CardRegisters, EmptySettingsAfterAHeaderReset) {
  ConfigTable t;
  ResetConfigTableHeader(t);
  RegisterSettings s;
  s.manufacturingYear = "2004";
  s.manufacturingMonth = "5";
  BuildConfigTable(t, s);
  EXPECT_EQ(Bytes(t, 18, 14), HexBytes("0000000000002020202020000000"));
  const auto csd = CsdRegister(t);
  for (std::size_t k = 0; k < 15; ++k) EXPECT_EQ(csd[k], 0) << k;
  EXPECT_EQ(csd[15], BitwiseCrc7(csd.data(), 15));
}

TEST(CardRegisters, EmptyManufacturerIdAndRevisionKeepTheirBytes) {
  ConfigTable t;
  ResetConfigTableHeader(t);
  t[31] = 0x77;
  t[23] = 0x66;
  RegisterSettings s = WorkedExample();
  s.manufacturerId.clear();
  s.productRevision.clear();
  BuildConfigTable(t, s);
  EXPECT_EQ(t[31], 0x77);
  EXPECT_EQ(t[23], 0x66);
}

TEST(CardRegisters, ShortAndLongCardSpecificTexts) {
  ConfigTable t;
  ResetConfigTableHeader(t);
  RegisterSettings s = WorkedExample();
  s.cardSpecificData = "004F01321B5981EFDE794F870A40";  // 28 digits
  BuildConfigTable(t, s);
  auto csd = CsdRegister(t);
  EXPECT_EQ(csd[13], 0x40);
  EXPECT_EQ(csd[14], 0x00);
  EXPECT_EQ(csd[15], BitwiseCrc7(csd.data(), 15));

  // 39 digits (the longest the loader reads): bytes past 15 are dropped, the
  // fields beyond the register stay as they are.
  s.cardSpecificData = "004F01321B5981EFDE794F870A4000FFEEDDCCB";
  BuildConfigTable(t, s);
  csd = CsdRegister(t);
  EXPECT_EQ(csd[14], 0x00);
  EXPECT_EQ(Bytes(t, 48, 7), (std::vector<std::uint8_t>{csd[15], csd[14], 2, 10, 100, 100, 2}));
  EXPECT_EQ(t[55], 0);
}

TEST(CardRegisters, HexTextToBytesNeverWritesPastItsLimits) {
  std::uint8_t buf[20];
  std::fill(std::begin(buf), std::end(buf), 0xEE);
  EXPECT_EQ(HexTextToBytes("0123456789ABCDEF0123456789ABCDEF0123456789", buf, 20), 16u);
  EXPECT_EQ(buf[0], 0x01);
  EXPECT_EQ(buf[15], 0xEF);
  EXPECT_EQ(buf[16], 0xEE);
  std::fill(std::begin(buf), std::end(buf), 0xEE);
  EXPECT_EQ(HexTextToBytes("ABC", buf, 1), 1u);
  EXPECT_EQ(buf[0], 0xAB);
  EXPECT_EQ(buf[1], 0xEE);
  EXPECT_EQ(HexTextToBytes("A", buf, 4), 0u);
  EXPECT_EQ(buf[0], 0xAB);
}

TEST(CardRegisters, Crc7MatchesTheBitwiseDefinition) {
  EXPECT_EQ(Crc7(HexBytes("004F01321B5981EFDE794F870A4000").data()), 0xDF);
  std::uint32_t seed = 12345;
  for (int round = 0; round < 500; ++round) {
    std::uint8_t reg[15];
    for (auto& b : reg) {
      seed = seed * 1103515245u + 12345u;
      b = static_cast<std::uint8_t>(seed >> 16);
    }
    ASSERT_EQ(Crc7(reg), BitwiseCrc7(reg, 15)) << round;
  }
  for (const auto& e : CsdRegisterTable()) {
    const auto reg = HexBytes(e.registerText);
    EXPECT_EQ(Crc7(reg.data()), BitwiseCrc7(reg.data(), 15)) << e.label;
  }
}

TEST(CardRegisters, EveryTableRegisterEncodesItsLabelsCapacity) {
  struct Expect {
    const char* label;
    double mib;
    double maxShortfall;  // fraction below the label
  };
  // "8" and "16" are historic registers that fall 3.9 % and 3.1 % short.
  const std::vector<Expect> expected = {
      {"8", 7.6875, 0.04},    {"16", 15.5, 0.032},      {"32", 31.125, 0.03},
      {"48", 46.75, 0.03},    {"64", 62.25, 0.03},      {"80", 78.0, 0.03},
      {"96", 93.625, 0.03},   {"128", 124.75, 0.03},    {"144", 140.5, 0.03},
      {"160", 156.0, 0.03},   {"192", 187.25, 0.03},    {"256", 249.75, 0.03},
      {"128_2K", 124.875, 0.03}, {"256_2K", 249.875, 0.03}, {"384_2K", 374.875, 0.03},
      {"512_2K", 499.5, 0.03},   {"640_2K", 624.75, 0.03},  {"768_2K", 749.75, 0.03},
      {"1024_2K", 999.75, 0.03},
  };
  ASSERT_EQ(CsdRegisterTable().size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& e = CsdRegisterTable()[i];
    ASSERT_STREQ(e.label, expected[i].label);
    ASSERT_EQ(std::string(e.registerText).size(), 30u) << e.label;
    const auto reg = HexBytes(e.registerText);
    const double mib = static_cast<double>(CsdEncodedCapacityBytes(reg.data())) / (1 << 20);
    EXPECT_DOUBLE_EQ(mib, expected[i].mib) << e.label;
    const double label = std::stod(e.label);
    EXPECT_LE(mib, label) << e.label;
    EXPECT_GE(mib, label * (1.0 - expected[i].maxShortfall)) << e.label;
    if (i > 0) {
      // Version-1 register with the common timing fields.
      EXPECT_EQ(std::string(e.registerText).substr(0, 12), "004F01321B59") << e.label;
    }
  }
}

TEST(CardRegisters, CapacityLabels) {
  struct Case {
    const char* flash1;
    const char* flash2;
    const char* label;
    bool hasRegister;
  };
  const std::vector<Case> cases = {
      {"64", "16", "80", true},          {"128", "64", "192", true},
      {"128_2K", "0", "128_2K", true},   {"512_2K", "128_2K", "640_2K", true},
      {"128_2K", "16", "128_2K", true},  {"128_2K", "256_2K", "384_2K", true},
      {"256_2K", "256_2K", "512_2K", true}, {"512_2K", "0", "512_2K", true},
      {"512_2K", "512_2K", "1024_2K", true}, {"256_2K", "512_2K", "768_2K", true},
      {"64", "32", "96", true},          {"16", "0", "16", true},
      {"256", "16", "272", false},       {"256", "256", "512", false},
      {"", "", "0", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DeriveCapacityLabel(c.flash1, c.flash2), c.label) << c.flash1 << "+" << c.flash2;
    EXPECT_EQ(!LookupCsdRegister(c.label).empty(), c.hasRegister) << c.label;
  }
  EXPECT_EQ(LookupCsdRegister("128_2k"), "");  // case-sensitive
}

TEST(CardRegisters, PlainFlash1WithTwoKFlash2IsRefused) {
  EXPECT_TRUE(FlashCombinationError("64", "128_2K").has_value());
  EXPECT_TRUE(FlashCombinationError("128", "512_2K").has_value());
  EXPECT_FALSE(FlashCombinationError("128_2K", "64").has_value());
  EXPECT_FALSE(FlashCombinationError("64", "64").has_value());
  EXPECT_FALSE(FlashCombinationError("256_2K", "256_2K").has_value());
}

TEST(CardRegisters, LeadingInteger) {
  EXPECT_EQ(LeadingInteger("192M"), 192);
  EXPECT_EQ(LeadingInteger("  -12x"), -12);
  EXPECT_EQ(LeadingInteger("+7"), 7);
  EXPECT_EQ(LeadingInteger("abc"), 0);
  EXPECT_EQ(LeadingInteger(""), 0);
  EXPECT_EQ(LeadingInteger("99999999999999999999"), 2147483647);
  EXPECT_EQ(LeadingInteger("-99999999999999999999"), -2147483647 - 1);
}

}  // namespace
}  // namespace kx20
