// CHAP for the iSCSI login (RFC 7143 section 12.1.3, RFC 1994) with MD5
// (RFC 1321), the one algorithm every iSCSI initiator offers: the digest,
// the response a peer must give to a challenge, and the binary values of
// the text keys (0x hex or 0b base64).
//
// MD5 is written here rather than taken from a library so the simulated
// target needs nothing beyond the C++ library; it is checked against the
// RFC's test suite and, in the program tests, against libiscsi and QEMU.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kx20::iscsi {

using Md5Digest = std::array<std::uint8_t, 16>;

Md5Digest Md5(std::span<const std::uint8_t> data);

// The response to a CHAP challenge: MD5 over the identifier, the secret and
// the challenge, in that order.
Md5Digest ChapResponse(std::uint8_t identifier, const std::string& secret, std::span<const std::uint8_t> challenge);

// "0x" and lower-case hex digits.
std::string HexValue(std::span<const std::uint8_t> bytes);

// Decodes an RFC 7143 binary value: "0x"/"0X" with hex digits (an odd count
// has a leading zero implied) or "0b"/"0B" with base64. Nullopt when it is
// neither, or empty.
std::optional<std::vector<std::uint8_t>> ParseBinaryValue(const std::string& value);

}  // namespace kx20::iscsi
