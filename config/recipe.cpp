#include "config/recipe.h"

#include <cstdint>
#include <cstdio>
#include <string_view>

namespace kx20 {
namespace {

class Fnv1a64 {
 public:
  void Add(std::string_view bytes) {
    for (const char c : bytes) {
      hash_ ^= static_cast<std::uint8_t>(c);
      hash_ *= 0x100000001B3ull;
    }
  }
  // One value, closed so that neighbouring values cannot run into each other.
  void AddField(std::string_view name, std::string_view value) {
    Add(name);
    Add("=");
    Add(value);
    Add(std::string_view("\0", 1));
  }
  std::uint64_t Value() const { return hash_; }

 private:
  std::uint64_t hash_ = 0xCBF29CE484222325ull;
};

// Table offsets of the identification register's serial bytes (register
// bytes 12 down to 9) and of its CRC byte (register byte 15).
constexpr std::size_t kSerialFirstOffset = kCidOffset + 15 - 12;
constexpr std::size_t kSerialLastOffset = kCidOffset + 15 - 9;
constexpr std::size_t kCidCrcOffset = kCidOffset;

}  // namespace

std::string RecipeId(const ProductionSettings& settings, const ConfigTable& table) {
  ConfigTable shape = table;
  for (std::size_t i = kSerialFirstOffset; i <= kSerialLastOffset; ++i) shape[i] = 0;
  shape[kCidCrcOffset] = 0;

  Fnv1a64 hash;
  hash.Add("kx20 recipe 1");
  hash.AddField("table",
                std::string_view(reinterpret_cast<const char*>(shape.data()), shape.size()));
  hash.AddField("FLASH1", settings.flash1Type);
  hash.AddField("FLASH2", settings.flash2Type);
  hash.AddField("CCD_SELECT_DATA", settings.capacitySelection);
  hash.AddField("EraseFlash", settings.eraseFlashEnabled != 0 ? "1" : "0");
  hash.AddField("RWTest", settings.rwTestEnabled != 0 ? "1" : "0");
  // The percentage shapes nothing when the test does not run.
  if (settings.rwTestEnabled != 0) hash.AddField("RWValue", std::to_string(settings.rwTestPercent));

  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash.Value()));
  return text;
}

}  // namespace kx20
