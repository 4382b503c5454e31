// Comparing words the way the files and connection strings we read do:
// ASCII letters without regard to case.
#pragma once

#include <cctype>
#include <cstddef>
#include <string_view>

namespace kx20 {

inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace kx20
