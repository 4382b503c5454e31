#include "device/host_port.h"

namespace kx20 {

namespace {

void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

}  // namespace

std::optional<DriveMapping> ParseDriveMapping(std::string_view text, std::string* error) {
  const std::size_t eq = text.find('=');
  if (eq == std::string_view::npos) {
    SetError(error, "drive mapping '" + std::string(text) + "' has no '=' (expected e.g. E=/dev/sg2)");
    return std::nullopt;
  }
  std::string_view left = text.substr(0, eq);
  if (left.size() == 2 && left[1] == ':') left.remove_suffix(1);
  if (left.size() != 1) {
    SetError(error, "drive mapping '" + std::string(text) + "': '" + std::string(text.substr(0, eq)) +
                        "' is not a single drive letter");
    return std::nullopt;
  }
  char letter = left[0];
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter < 'A' || letter > 'Z') {
    SetError(error, "drive mapping '" + std::string(text) + "': drive letter must be A to Z");
    return std::nullopt;
  }
  const std::string_view path = text.substr(eq + 1);
  if (path.empty()) {
    SetError(error, "drive mapping '" + std::string(text) + "': empty device path");
    return std::nullopt;
  }
  for (char c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      SetError(error, "drive mapping '" + std::string(text) + "': control character in device path");
      return std::nullopt;
    }
  }
  return DriveMapping{letter, std::string(path)};
}

bool ValidateDriveMap(const std::vector<DriveMapping>& map, std::string* error) {
  bool seen[26] = {};
  for (const DriveMapping& m : map) {
    if (m.letter < 'A' || m.letter > 'Z') {
      SetError(error, std::string("drive mapping for an invalid letter (code ") +
                          std::to_string(static_cast<unsigned char>(m.letter)) + ")");
      return false;
    }
    if (m.path.empty()) {
      SetError(error, std::string("drive ") + m.letter + ": mapped to an empty path");
      return false;
    }
    if (seen[m.letter - 'A']) {
      SetError(error, std::string("drive ") + m.letter + ": mapped twice");
      return false;
    }
    seen[m.letter - 'A'] = true;
  }
  return true;
}

}  // namespace kx20
