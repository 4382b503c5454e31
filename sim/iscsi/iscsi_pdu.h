// iSCSI protocol data units: the 48-byte basic header segment, its fields,
// and the text key=value lists that login and text requests carry.
//
// Everything here works on plain byte spans and never reads outside them, so
// it can be fed any bytes at all (the fuzz targets do).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/byte_order.h"

namespace kx20::iscsi {

inline constexpr std::size_t kBhsSize = 48;

// Operation codes (byte 0, bits 0-5).
enum Opcode : std::uint8_t {
  kOpNopOut = 0x00,
  kOpScsiCommand = 0x01,
  kOpTaskMgmtRequest = 0x02,
  kOpLoginRequest = 0x03,
  kOpTextRequest = 0x04,
  kOpDataOut = 0x05,
  kOpLogoutRequest = 0x06,
  kOpSnackRequest = 0x10,
  kOpNopIn = 0x20,
  kOpScsiResponse = 0x21,
  kOpTaskMgmtResponse = 0x22,
  kOpLoginResponse = 0x23,
  kOpTextResponse = 0x24,
  kOpDataIn = 0x25,
  kOpLogoutResponse = 0x26,
  kOpR2T = 0x31,
  kOpReject = 0x3F,
};

inline constexpr std::uint32_t kReservedTag = 0xFFFFFFFFu;

// Reject reasons.
inline constexpr std::uint8_t kRejectCommandNotSupported = 0x05;
inline constexpr std::uint8_t kRejectProtocolError = 0x04;
inline constexpr std::uint8_t kRejectInvalidPduField = 0x09;

// A basic header segment with typed access to its common fields. Setters and
// getters use network byte order; fields beyond these are reached with
// Get32/Put32 at their RFC offsets.
struct Bhs {
  std::array<std::uint8_t, kBhsSize> b{};

  std::uint8_t Opcode() const { return b[0] & 0x3F; }
  bool Immediate() const { return (b[0] & 0x40) != 0; }
  bool Final() const { return (b[1] & 0x80) != 0; }
  std::uint32_t TotalAhsLength() const { return std::uint32_t{b[4]} * 4; }
  std::uint32_t DataSegmentLength() const { return GetBe24(&b[5]); }
  std::uint32_t InitiatorTaskTag() const { return Get32(16); }

  std::uint32_t Get32(std::size_t at) const { return GetBe32(&b[at]); }
  std::uint16_t Get16(std::size_t at) const { return GetBe16(&b[at]); }
  void Put32(std::size_t at, std::uint32_t v) { PutBe32(&b[at], v); }
  void Put16(std::size_t at, std::uint16_t v) { PutBe16(&b[at], v); }
  void SetDataSegmentLength(std::uint32_t n) { PutBe24(&b[5], n); }
  // LUN 0 in any addressing method has all eight bytes zero.
  bool LunIsZero() const {
    for (int i = 8; i < 16; ++i) {
      if (b[i] != 0) return false;
    }
    return true;
  }
};

// Bytes a data segment of `n` bytes takes on the wire (padded to 4).
inline std::uint32_t PaddedLength(std::uint32_t n) { return (n + 3u) & ~3u; }

// Reads a header from `bytes` (at least 48 bytes). Checks what holds for
// every PDU an initiator may send: a known initiator opcode, a data segment
// no longer than `maxDataSegment`. Returns false with the problem otherwise.
bool ParseBhs(std::span<const std::uint8_t> bytes, std::uint32_t maxDataSegment, Bhs& out,
              std::string& problem);

// Whether `op` is one an initiator sends.
bool IsInitiatorOpcode(std::uint8_t op);

// --- Text keys ------------------------------------------------------------

using KeyValue = std::pair<std::string, std::string>;

// Splits a text data segment ("key=value\0key=value\0...") into pairs, in
// order. Trailing zero padding is allowed. Fails on an entry without '=', an
// empty or over-long key (63 characters) or value (8192 characters), a key
// with characters outside the RFC's set, or more than kMaxKeys entries.
inline constexpr std::size_t kMaxKeys = 256;
bool ParseTextKeys(std::span<const std::uint8_t> data, std::vector<KeyValue>& out,
                   std::string& problem);

// Joins pairs into a text data segment (each "key=value\0").
std::vector<std::uint8_t> FormatTextKeys(const std::vector<KeyValue>& keys);

// Parses an RFC decimal or hexadecimal (0x...) number up to `max`.
bool ParseKeyNumber(const std::string& value, std::uint64_t max, std::uint64_t& out);

}  // namespace kx20::iscsi
