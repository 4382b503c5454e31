// Big- and little-endian loads and stores of 16, 24, 32 and 64-bit values at
// any byte address (no alignment needed). CDB fields and iSCSI headers are
// big-endian; on-disk structures (boot sector, FAT, partition table) and the
// source image header are little-endian. Every file uses these; none keeps a
// private copy of shifts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx20 {

// Big-endian loads.
constexpr std::uint16_t GetBe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((std::uint16_t{p[0]} << 8) | p[1]);
}
constexpr std::uint32_t GetBe24(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
}
constexpr std::uint32_t GetBe32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         p[3];
}
constexpr std::uint64_t GetBe64(const std::uint8_t* p) {
  return (std::uint64_t{GetBe32(p)} << 32) | GetBe32(p + 4);
}

// Big-endian stores.
constexpr void PutBe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
constexpr void PutBe24(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 16);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v);
}
constexpr void PutBe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}
constexpr void PutBe64(std::uint8_t* p, std::uint64_t v) {
  PutBe32(p, static_cast<std::uint32_t>(v >> 32));
  PutBe32(p + 4, static_cast<std::uint32_t>(v));
}

// Little-endian loads.
constexpr std::uint16_t GetLe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (std::uint16_t{p[1]} << 8));
}
constexpr std::uint32_t GetLe32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

// Little-endian stores.
constexpr void PutLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
constexpr void PutLe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

}  // namespace kx20
