#pragma once
// UTF-8 as the records hold it: whole, shortest sequences only.

#include <cstddef>
#include <string_view>

namespace kx20 {

// The length of the UTF-8 sequence that starts at s[i]: 1 for ASCII, 2-4 for
// a whole, shortest sequence of a code point up to U+10FFFF, 0 where the
// bytes there are none (a stray continuation byte, an overlong form, a
// surrogate, a sequence cut short, a byte that never starts one).
inline std::size_t Utf8SequenceAt(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) return 1;
  const std::size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
                          : c >= 0xF0 && c <= 0xF4                             ? 4
                                                                               : 0;
  if (len == 0 || i + len > s.size()) return 0;
  for (std::size_t j = 1; j < len; ++j) {
    if ((byte(i + j) & 0xC0) != 0x80) return 0;
  }
  const unsigned char c1 = byte(i + 1);
  if (len == 3 && ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 >= 0xA0))) return 0;
  if (len == 4 && ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 >= 0x90))) return 0;
  return len;
}

// Whether all of `s` is UTF-8 (see Utf8SequenceAt).
inline bool IsUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t len = Utf8SequenceAt(s, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

}  // namespace kx20
