#include "config/serial_number.h"

#include <cstdio>

#include "config/profile_file.h"

namespace kx20 {
namespace {

constexpr std::uint32_t kLargestSerial = 99999999;

// The decimal value at the start of the text (white space, optional sign,
// digits). Returns false for values without an eight-digit form: negative or
// above 99999999.
bool ParseLastSerial(std::string_view text, std::uint32_t& value) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::uint64_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + static_cast<unsigned>(text[i] - '0');
    if (v > kLargestSerial) return false;
  }
  if (negative && v != 0) return false;
  value = static_cast<std::uint32_t>(v);
  return true;
}

}  // namespace

std::uint32_t NextSerialNumber(std::uint32_t last) {
  return last >= kLargestSerial ? 1 : last + 1;
}

SerialStepResult AdvanceSerialNumber(const SerialStepContext& ctx) {
  SerialStepResult result;
  result.serialNumber = ctx.store->Snapshot()->currentSerialNumber;
  if (ctx.changeSerialNumber != 1) return result;

  std::string text;
  if (!ReadWholeFile(ctx.configPath, text)) {
    result.status = SerialStepStatus::kNoSettingsFile;
    return result;
  }
  const std::string stored = ProfileDocument::Parse(text).Read("CID", "Product_SN", 20);

  std::uint32_t last = 0;
  if (!ParseLastSerial(stored, last)) {
    result.status = SerialStepStatus::kOutOfRange;
    return result;
  }
  const std::uint32_t next = NextSerialNumber(last);
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08u", static_cast<unsigned>(next));

  if (ctx.writer) {
    ctx.writer(ctx.configPath, "CID", "Product_SN", digits);
  } else {
    WriteProfileValue(ctx.configPath, "CID", "Product_SN", digits, ctx.durability);
  }
  // Only a number that is in the file is handed out: otherwise the next step
  // would read the old value again and give the same number twice.
  std::string written;
  if (!ReadWholeFile(ctx.configPath, written)) {
    result.status = SerialStepStatus::kNoSettingsFile;
    return result;
  }
  if (ProfileDocument::Parse(written).Read("CID", "Product_SN", 20) != digits) {
    result.status = SerialStepStatus::kWriteFailed;
    return result;
  }

  ctx.store->Update([next](ProductionSettings& s) { s.currentSerialNumber = next; });
  LoadSettingsText(written, *ctx.view, *ctx.table, *ctx.store);
  result.status = SerialStepStatus::kAllocated;
  result.serialNumber = next;
  return result;
}

}  // namespace kx20
