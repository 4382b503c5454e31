#include "production/config_check.h"

namespace kx20 {
namespace {

bool IsCapacityIndex(std::uint8_t b) { return b <= 8; }

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// Each text is taken up to its first 10 characters.
std::string First10(const std::string& text) { return text.substr(0, 10); }

}  // namespace

std::uint32_t LeadingNumber(const std::string& text) {
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 100000000u) break;  // far beyond any capacity; keeps the arithmetic bounded
  }
  return value;
}

ConfigCheckResult CheckFlashConfiguration(const std::uint8_t* info, const std::string& flash1Text,
                                          const std::string& flash2Text,
                                          const std::string& capacityText) {
  const std::string flash1 = First10(flash1Text);
  const std::string flash2 = First10(flash2Text);
  const std::string capacity = First10(capacityText);
  ConfigCheckResult result;
  bool bad = false;

  // 1-2: status byte and the non-zero marker.
  if (info[0] != 1) bad = true;
  if (info[1] == 0 && info[2] == 0 && info[3] == 0 && info[4] == 0) bad = true;

  // 3: both maker codes known (at least two matches among the ten comparisons).
  static const std::uint8_t kMakers[] = {0xC1, 0x98, 0xEC, 0x04, 0xFF};
  int matches = 0;
  for (std::uint8_t m : kMakers) {
    if (info[5] == m) ++matches;
    if (info[7] == m) ++matches;
  }
  if (matches < 2) bad = true;

  // 4: chip count and capacities.
  const int n = IsCapacityIndex(info[8]) ? 2 : (IsCapacityIndex(info[6]) ? 1 : 0);
  const std::uint8_t x1 = IsCapacityIndex(info[6]) ? info[6] : 0;
  const std::uint8_t x2 = IsCapacityIndex(info[8]) ? info[8] : 0;
  const std::uint32_t c = kChipCapacityTable[x1];
  const std::uint32_t t = static_cast<std::uint32_t>(n) * c;
  result.chipCount = n;
  result.totalMegabytes = t;

  // 5: the total matches the capacity selection.
  if (t != LeadingNumber(capacity)) bad = true;

  // 6: the last characters of the capacity selection and FLASH1 agree.
  const char lastCapacity = capacity.empty() ? '\0' : capacity.back();
  const char lastFlash1 = flash1.empty() ? '\0' : flash1.back();
  if (lastCapacity != lastFlash1) bad = true;

  auto twoKRules = [&](const std::string& type) {
    if (StartsWith(type, "128_2K") && x1 < 6) bad = true;
    if (StartsWith(type, "256_2K") && x1 < 7) bad = true;
    if (StartsWith(type, "512_2K") && x1 < 8) bad = true;
  };

  if (n == 1) {
    if (StartsWith(flash1, "128_2K")) {
      if (x1 < 6) bad = true;
    } else if (StartsWith(flash1, "128")) {
      if (x1 > 5) bad = true;
    }
    if (StartsWith(flash1, "256_2K") && x1 < 7) bad = true;
    if (StartsWith(flash1, "512_2K") && x1 < 8) bad = true;
    if (LeadingNumber(flash1) != c) bad = true;
    if (LeadingNumber(flash2) != 0) return result;  // fails at once
  } else if (n == 2) {
    twoKRules(flash1);
    twoKRules(flash2);
    if (LeadingNumber(flash1) != c) bad = true;
    if (LeadingNumber(flash2) != kChipCapacityTable[x2]) return result;  // fails at once
  }

  result.ok = !bad;
  return result;
}

}  // namespace kx20
