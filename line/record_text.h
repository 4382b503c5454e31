// The line's own files (journal, outbox) keep one record per line, fields
// separated by tabs: a value is escaped so that no backslash, tab or line
// break in it can split a record, and read back exactly.
#pragma once

#include <charconv>
#include <cstddef>
#include <string>
#include <system_error>

namespace kx20 {

inline std::string EscapeRecordField(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\') out += "\\\\";
    else if (c == '\t') out += "\\t";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

// False for a dangling or unknown escape.
inline bool UnescapeRecordField(const std::string& s, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    if (++i == s.size()) return false;
    switch (s[i]) {
      case '\\': out += '\\'; break;
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      default: return false;
    }
  }
  return true;
}

// A whole field as a number of type T: false for an empty field, a sign or
// anything after the digits, and for a value T cannot hold.
template <typename T>
bool ParseRecordNumber(const std::string& text, T& value) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace kx20
