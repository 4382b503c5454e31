#include "sim/iscsi/chap.h"

#include <cstring>

#include "common/byte_order.h"

namespace kx20::iscsi {
namespace {

constexpr std::uint32_t Rotl(std::uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

// Per-round shift amounts and the sine-derived constants of RFC 1321.
constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

void Block(std::uint32_t state[4], const std::uint8_t* block) {
  std::uint32_t m[16];
  for (int i = 0; i < 16; ++i) m[i] = GetLe32(block + 4 * i);
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; ++i) {
    std::uint32_t f = 0;
    int g = 0;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    const std::uint32_t next = d;
    d = c;
    c = b;
    b = b + Rotl(a + f + kSine[i] + m[g], kShift[i]);
    a = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int Base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

Md5Digest Md5(std::span<const std::uint8_t> data) {
  std::uint32_t state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  std::size_t at = 0;
  for (; data.size() - at >= 64; at += 64) Block(state, data.data() + at);
  // The tail, a 1 bit, zeros, and the length in bits (little-endian).
  std::uint8_t last[128] = {};
  const std::size_t tail = data.size() - at;
  if (tail > 0) std::memcpy(last, data.data() + at, tail);
  last[tail] = 0x80;
  const std::size_t blocks = tail < 56 ? 1 : 2;
  const std::uint64_t bits = static_cast<std::uint64_t>(data.size()) * 8;
  PutLe32(last + blocks * 64 - 8, static_cast<std::uint32_t>(bits));
  PutLe32(last + blocks * 64 - 4, static_cast<std::uint32_t>(bits >> 32));
  for (std::size_t i = 0; i < blocks; ++i) Block(state, last + 64 * i);
  Md5Digest out{};
  for (int i = 0; i < 4; ++i) PutLe32(out.data() + 4 * i, state[i]);
  return out;
}

Md5Digest ChapResponse(std::uint8_t identifier, const std::string& secret, std::span<const std::uint8_t> challenge) {
  std::vector<std::uint8_t> message;
  message.reserve(1 + secret.size() + challenge.size());
  message.push_back(identifier);
  message.insert(message.end(), secret.begin(), secret.end());
  message.insert(message.end(), challenge.begin(), challenge.end());
  return Md5(message);
}

std::string HexValue(std::span<const std::uint8_t> bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out = "0x";
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> ParseBinaryValue(const std::string& value) {
  if (value.size() < 3 || value[0] != '0') return std::nullopt;
  const std::string body = value.substr(2);
  std::vector<std::uint8_t> out;
  if (value[1] == 'x' || value[1] == 'X') {
    std::size_t i = 0;
    if (body.size() % 2 == 1) {
      const int d = HexDigit(body[0]);
      if (d < 0) return std::nullopt;
      out.push_back(static_cast<std::uint8_t>(d));
      i = 1;
    }
    for (; i < body.size(); i += 2) {
      const int hi = HexDigit(body[i]);
      const int lo = HexDigit(body[i + 1]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return out;
  }
  if (value[1] == 'b' || value[1] == 'B') {
    if (body.size() % 4 != 0) return std::nullopt;
    for (std::size_t i = 0; i < body.size(); i += 4) {
      int d[4];
      int pad = 0;
      for (int k = 0; k < 4; ++k) {
        const char c = body[i + k];
        if (c == '=' && i + 4 == body.size() && k >= 2) {
          d[k] = 0;
          ++pad;
          continue;
        }
        if (pad > 0) return std::nullopt;  // data after padding
        d[k] = Base64Digit(c);
        if (d[k] < 0) return std::nullopt;
      }
      const std::uint32_t group = (std::uint32_t(d[0]) << 18) | (std::uint32_t(d[1]) << 12) |
                                  (std::uint32_t(d[2]) << 6) | std::uint32_t(d[3]);
      out.push_back(static_cast<std::uint8_t>(group >> 16));
      if (pad < 2) out.push_back(static_cast<std::uint8_t>(group >> 8));
      if (pad < 1) out.push_back(static_cast<std::uint8_t>(group));
    }
    return out;
  }
  return std::nullopt;
}

}  // namespace kx20::iscsi
