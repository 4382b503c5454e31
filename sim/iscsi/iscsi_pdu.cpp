#include "sim/iscsi/iscsi_pdu.h"

#include <cstring>

namespace kx20::iscsi {

bool IsInitiatorOpcode(std::uint8_t op) {
  switch (op) {
    case kOpNopOut:
    case kOpScsiCommand:
    case kOpTaskMgmtRequest:
    case kOpLoginRequest:
    case kOpTextRequest:
    case kOpDataOut:
    case kOpLogoutRequest:
    case kOpSnackRequest:
      return true;
    default:
      return false;
  }
}

bool ParseBhs(std::span<const std::uint8_t> bytes, std::uint32_t maxDataSegment, Bhs& out,
              std::string& problem) {
  if (bytes.size() < kBhsSize) {
    problem = "header shorter than 48 bytes";
    return false;
  }
  Bhs h;
  std::memcpy(h.b.data(), bytes.data(), kBhsSize);
  if (!IsInitiatorOpcode(h.Opcode())) {
    char text[64];
    std::snprintf(text, sizeof text, "opcode 0x%02X is not an initiator opcode", h.Opcode());
    problem = text;
    return false;
  }
  if (h.DataSegmentLength() > maxDataSegment) {
    problem = "data segment of " + std::to_string(h.DataSegmentLength()) + " bytes exceeds the limit of " +
              std::to_string(maxDataSegment);
    return false;
  }
  out = h;
  return true;
}

namespace {

bool KeyCharOk(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '+' || c == '@' || c == '_';
}

}  // namespace

bool ParseTextKeys(std::span<const std::uint8_t> data, std::vector<KeyValue>& out,
                   std::string& problem) {
  std::vector<KeyValue> result;
  std::size_t at = 0;
  while (at < data.size()) {
    if (data[at] == 0) {
      // Only padding (zeros) may follow the last entry.
      for (std::size_t i = at; i < data.size(); ++i) {
        if (data[i] != 0) {
          problem = "empty text entry";
          return false;
        }
      }
      break;
    }
    std::size_t end = at;
    while (end < data.size() && data[end] != 0) ++end;
    if (end == data.size()) {
      problem = "text entry without terminating zero";
      return false;
    }
    const std::string entry(reinterpret_cast<const char*>(data.data() + at), end - at);
    const auto eq = entry.find('=');
    if (eq == std::string::npos) {
      problem = "text entry without '='";
      return false;
    }
    std::string key = entry.substr(0, eq);
    std::string value = entry.substr(eq + 1);
    if (key.empty() || key.size() > 63) {
      problem = "text key empty or longer than 63 characters";
      return false;
    }
    for (char c : key) {
      if (!KeyCharOk(c)) {
        problem = "text key with a character outside the key set";
        return false;
      }
    }
    if (value.size() > 8192) {
      problem = "text value longer than 8192 characters";
      return false;
    }
    if (result.size() >= kMaxKeys) {
      problem = "more than " + std::to_string(kMaxKeys) + " text keys";
      return false;
    }
    result.emplace_back(std::move(key), std::move(value));
    at = end + 1;
  }
  out = std::move(result);
  return true;
}

std::vector<std::uint8_t> FormatTextKeys(const std::vector<KeyValue>& keys) {
  std::vector<std::uint8_t> out;
  for (const auto& [k, v] : keys) {
    out.insert(out.end(), k.begin(), k.end());
    out.push_back('=');
    out.insert(out.end(), v.begin(), v.end());
    out.push_back(0);
  }
  return out;
}

bool ParseKeyNumber(const std::string& value, std::uint64_t max, std::uint64_t& out) {
  if (value.empty() || value.size() > 20) return false;
  std::uint64_t n = 0;
  std::size_t i = 0;
  int base = 10;
  if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
    base = 16;
    i = 2;
  }
  for (; i < value.size(); ++i) {
    const char c = value[i];
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return false;
    }
    n = n * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    if (n > max) return false;
  }
  out = n;
  return true;
}

}  // namespace kx20::iscsi
