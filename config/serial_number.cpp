#include "config/serial_number.h"

#include <cstdio>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "storage/profile_file.h"

namespace kx20 {
namespace {

constexpr std::uint32_t kLargestSerial = 99999999;

// The counter's value: optional white space, an optional '+', one to eight
// decimal digits (leading zeros allowed), optional white space, nothing else.
SerialStepStatus ParseLastSerial(std::string_view text, std::uint32_t& value) {
  const auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  std::size_t i = 0;
  while (i < text.size() && space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t digitsStart = i;
  std::uint64_t v = 0;
  bool tooLarge = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    v = v * 10 + static_cast<unsigned>(text[i] - '0');
    if (v > kLargestSerial) {
      tooLarge = true;
      v = kLargestSerial + 1;  // stays bounded however many digits follow
    }
  }
  const std::size_t digitsEnd = i;
  while (i < text.size() && space(text[i])) ++i;
  if (digitsEnd == digitsStart || i != text.size()) return SerialStepStatus::kNotANumber;
  if (negative || tooLarge) return SerialStepStatus::kOutOfRange;
  value = static_cast<std::uint32_t>(v);
  return SerialStepStatus::kAllocated;
}

// The next number from the file's counter ("Product_SN" + 1); a failed
// result when the counter cannot be trusted.
SerialStepResult CountFromFile(const std::string& text, const std::string& name,
                               std::uint32_t& next) {
  const auto Refused = [](SerialStepStatus status, std::string reason) {
    SerialStepResult result;
    result.status = status;
    result.reason = std::move(reason);
    return result;
  };
  const ProfileDocument document = ProfileDocument::Parse(text);
  const std::optional<std::string> raw = document.Find("CID", "Product_SN");
  const std::string stored = document.Read("CID", "Product_SN", 20);

  std::uint32_t last = 0;
  switch (ParseLastSerial(stored, last)) {
    case SerialStepStatus::kAllocated:
      break;
    case SerialStepStatus::kNotANumber:
      if (!raw) {
        return Refused(SerialStepStatus::kNotANumber,
                    "Product_SN is missing from [CID] in " + name +
                        ": the serial counter would restart; set the last number handed out");
      }
      return Refused(SerialStepStatus::kNotANumber,
                  "Product_SN in " + name + " is " +
                      (stored.empty() ? std::string("empty") : "\"" + stored + "\", not a number") +
                      ": the serial counter would restart; set the last number handed out");
    default:
      return Refused(SerialStepStatus::kOutOfRange,
                  "Product_SN \"" + stored + "\" in " + name +
                      " is not a serial number of eight digits (00000000 to 99999999)");
  }
  next = NextSerialNumber(last);
  return {};
}

}  // namespace

std::string LineWorkFileIn(FileSystem& files, const std::string& directory) {
  const std::vector<std::string> names = files.ListDirectory(directory.empty() ? "." : directory);
  for (const char* marker : kLineWorkFiles) {
    for (const std::string& name : names) {
      if (name == marker) return name;
    }
  }
  return {};
}

std::string LineWorkFileIn(const std::string& directory) {
  return LineWorkFileIn(SystemFileSystem(), directory);
}

std::string LineDirectoryRefusal(const std::string& directory, const std::string& found) {
  const std::string shown =
      directory.empty() || directory == "." ? std::string("the current directory") : directory;
  return "work directory " + shown + " has served a line (" + found +
         " is there): its serial numbers come from the line, not from config.txt's counter. "
         "Start the station in line mode (--line CONNINFO --station NAME), or give local "
         "production a work directory of its own";
}

std::uint32_t NextSerialNumber(std::uint32_t last) {
  return last >= kLargestSerial ? 1 : last + 1;
}

SerialStepResult AdvanceSerialNumber(const SerialStepContext& ctx) {
  SerialStepResult result;
  result.serialNumber = ctx.store->Snapshot()->currentSerialNumber;
  FileSystem& files = ctx.files != nullptr ? *ctx.files : SystemFileSystem();
  const auto fail = [&](SerialStepStatus status, std::string reason) {
    result.status = status;
    result.reason = std::move(reason);
    return result;
  };
  if (!ctx.source) {
    // One source of numbers per directory: a line's numbers are never
    // handed out again from the file's counter, nor its last one put on
    // every disk with the option off.
    const std::string directory = DirectoryOfPath(ctx.configPath);
    if (const std::string found = LineWorkFileIn(files, directory); !found.empty()) {
      return fail(SerialStepStatus::kNotAllowed, LineDirectoryRefusal(directory, found));
    }
  } else if (ctx.changeSerialNumber != 1) {
    return fail(SerialStepStatus::kNotAllowed,
                "line mode with Change_SN off: every disk of a line needs a number from the "
                "line; turn \"Change serial number\" on (Change_SN=1 in config.txt)");
  }
  if (ctx.changeSerialNumber != 1) return result;

  // Read, write, read back and reload as one step (see the header).
  static std::mutex stepLock;
  std::lock_guard<std::mutex> stepGuard(stepLock);

  const std::string name = NameOfPath(ctx.configPath);

  std::string text;
  std::string why;
  switch (files.ReadContents(ctx.configPath, text, &why)) {
    case ReadOutcome::kRead:
      break;
    case ReadOutcome::kMissing:
      return fail(SerialStepStatus::kNoSettingsFile,
                  name + " cannot be opened: no serial number can be handed out");
    case ReadOutcome::kFailed:
      return fail(SerialStepStatus::kNoSettingsFile,
                  name + " cannot be read: " + why + ": no serial number can be handed out");
  }
  std::uint32_t next = 0;
  if (ctx.source) {
    std::string reason;
    if (!ctx.source(ctx.request, next, reason)) {
      return fail(SerialStepStatus::kNoSource, reason + ": no serial number was handed out");
    }
    if (next < 1 || next > kLargestSerial) {
      return fail(SerialStepStatus::kNoSource, "the line gave the serial number " +
                                                   std::to_string(next) + ", out of range");
    }
  } else {
    const SerialStepResult counted = CountFromFile(text, name, next);
    if (counted.Failed()) return fail(counted.status, counted.reason);
  }
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08u", static_cast<unsigned>(next));

  std::string failure;
  bool written = false;
  if (ctx.writer) {
    written = ctx.writer(ctx.configPath, "CID", "Product_SN", digits);
    if (!written) failure = name + " could not be written";
  } else {
    written = WriteProfileValues(files, ctx.configPath, {{"CID", "Product_SN", digits}},
                                 ctx.durability, &failure);
  }
  if (!written) {
    return fail(SerialStepStatus::kWriteFailed,
                failure + ": serial number " + digits + " was not handed out");
  }
  // Only a number that is in the file is handed out: otherwise the next step
  // would read the old value again and give the same number twice.
  std::string after;
  if (!files.ReadFile(ctx.configPath, after)) {
    return fail(SerialStepStatus::kNoSettingsFile,
                name + " cannot be read back after writing serial number " + digits);
  }
  if (ProfileDocument::Parse(after).Read("CID", "Product_SN", 20) != digits) {
    return fail(SerialStepStatus::kWriteFailed, std::string("serial number ") + digits +
                                                    " did not reach " + name +
                                                    ": it was not handed out");
  }

  ctx.store->Update([next](ProductionSettings& s) { s.currentSerialNumber = next; });
  LoadSettingsText(after, *ctx.view, *ctx.table, *ctx.store);
  result.table = *ctx.table;
  result.status = SerialStepStatus::kAllocated;
  result.serialNumber = next;
  return result;
}

}  // namespace kx20
