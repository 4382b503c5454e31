#include <gtest/gtest.h>

#include "production/config_check.h"

namespace kx20 {
namespace {

struct CheckCase {
  const char* name;
  std::array<std::uint8_t, 9> info;
  const char* flash1;
  const char* flash2;
  const char* capacity;
  bool ok;
};

constexpr std::array<std::uint8_t, 9> OneChip(std::uint8_t index) {
  return {0x01, 0x11, 0x22, 0x33, 0x44, 0xEC, index, 0xFF, 0xFF};
}
constexpr std::array<std::uint8_t, 9> TwoChips(std::uint8_t first, std::uint8_t second) {
  return {0x01, 0x11, 0x22, 0x33, 0x44, 0xEC, first, 0xEC, second};
}

TEST(ConfigurationCheck, FlashInformationAgainstTheSettings) {
  const CheckCase cases[] = {
      {"one 2K-page chip", OneChip(6), "128_2K", "0", "128_2K", true},
      {"small-page index for a 2K type", OneChip(5), "128_2K", "0", "128_2K", false},
      {"small-page 128", OneChip(5), "128", "0", "128", true},
      {"2K-page index for a small-page type", OneChip(6), "128", "0", "128", false},
      {"one chip with a second type", OneChip(6), "128_2K", "128_2K", "128_2K", false},
      {"two 2K-page chips", TwoChips(6, 6), "128_2K", "128_2K", "256_2K", true},
      {"second chip bigger than its type", TwoChips(6, 7), "128_2K", "128_2K", "256_2K", false},
      {"last characters differ", TwoChips(4, 4), "64", "64", "128", false},
      {"total differs from the selection", OneChip(6), "128_2K", "0", "256_2K", false},
      {"256_2K needs index 7", OneChip(6), "256_2K", "0", "128_2K", false},
      {"512_2K chip", OneChip(8), "512_2K", "0", "512_2K", true},
      {"status byte not 1", {0x00, 0x11, 0x22, 0x33, 0x44, 0xEC, 6, 0xFF, 0xFF}, "128_2K", "0", "128_2K", false},
      {"marker all zero", {0x01, 0, 0, 0, 0, 0xEC, 6, 0xFF, 0xFF}, "128_2K", "0", "128_2K", false},
      {"unknown maker codes", {0x01, 0x11, 0x22, 0x33, 0x44, 0x12, 6, 0x34, 0xFF}, "128_2K", "0", "128_2K", false},
      {"no chip and no selection", {0x01, 0x11, 0x22, 0x33, 0x44, 0xEC, 0xFF, 0xFF, 0xFF}, "0", "0", "0", true},
      {"texts compared on their first ten characters", OneChip(6), "128_2K    X", "0", "128_2K    Y", true},
  };
  for (const auto& c : cases) {
    const ConfigCheckResult r = CheckFlashConfiguration(c.info.data(), c.flash1, c.flash2, c.capacity);
    EXPECT_EQ(r.ok, c.ok) << c.name;
  }
}

TEST(ConfigurationCheck, ChipCountAndTotal) {
  EXPECT_EQ(CheckFlashConfiguration(OneChip(6).data(), "128_2K", "0", "128_2K").totalMegabytes, 128u);
  const auto two = CheckFlashConfiguration(TwoChips(7, 7).data(), "256_2K", "256_2K", "512_2K");
  EXPECT_EQ(two.chipCount, 2);
  EXPECT_EQ(two.totalMegabytes, 512u);
}

TEST(ConfigurationCheck, LeadingNumber) {
  EXPECT_EQ(LeadingNumber("128_2K"), 128u);
  EXPECT_EQ(LeadingNumber("0"), 0u);
  EXPECT_EQ(LeadingNumber(""), 0u);
  EXPECT_EQ(LeadingNumber("x12"), 0u);
  EXPECT_LE(LeadingNumber("99999999999999999999"), 1000000000u);  // bounded, no overflow
}

}  // namespace
}  // namespace kx20
