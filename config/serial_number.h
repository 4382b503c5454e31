// Serial-number allocation: "Product_SN" in section "CID" of the settings file
// holds the last number handed out (eight decimal digits). Each disk produced
// with the change-serial-number option on takes the next one; the number is
// written back at once and the settings are reloaded so that the table the
// worker is about to send carries it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "config/card_registers.h"
#include "storage/durable_file.h"
#include "config/settings.h"

namespace kx20 {

enum class SerialStepStatus {
  kDisabled,         // option off: nothing read, written or rebuilt
  kAllocated,        // a new number is in the file, the table and the settings
  kNoSettingsFile,   // the settings file cannot be opened: no number allocated
  kNotANumber,       // "Product_SN" absent, empty or not decimal: refused, file untouched
  kOutOfRange,       // "Product_SN" is negative or above 99999999: refused, file untouched
  kWriteFailed,      // the new number did not durably reach the file: not handed out
  kNoSource,         // line mode: the line gave no number (unreachable, refused)
  kNotAllowed,       // this directory may not number disks this way: refused, file untouched
                     // (line mode with the option off; local numbering in a
                     // directory that has served a line)
};

struct SerialStepResult {
  SerialStepStatus status = SerialStepStatus::kDisabled;
  // The allocated number (kAllocated), else the last one allocated before.
  std::uint32_t serialNumber = 0;
  // Why the step failed, in words for the operator (empty unless Failed()).
  std::string reason;
  // kAllocated: the table built with this number, as published.
  ConfigTable table{};

  // True when the disk must not be programmed: with the option on, a table
  // without a fresh number would repeat an earlier disk's serial number. The
  // worker fails such a disk with "USBErr_RWTable".
  bool Failed() const {
    return status != SerialStepStatus::kDisabled && status != SerialStepStatus::kAllocated;
  }
};

// A work directory that has served a line holds this file (written by line
// mode before it hands out any number), beside the lease journal
// "serial_lease.journal" and the verdict outbox "verdicts.outbox". A directory
// with any of the three must not number disks from config.txt's counter: its
// numbers come from the line.
inline constexpr const char* kLineMarkerFileName = "line.marker";
inline constexpr const char* kLineWorkFiles[] = {kLineMarkerFileName, "serial_lease.journal",
                                                 "verdicts.outbox"};

// The first of kLineWorkFiles found in `directory` ("" or "." for the
// current one), or "" when it has served no line.
std::string LineWorkFileIn(FileSystem& files, const std::string& directory);
std::string LineWorkFileIn(const std::string& directory);

// What a station says when it would number disks from config.txt in a
// directory that has served a line (`found` is the file that tells).
std::string LineDirectoryRefusal(const std::string& directory, const std::string& found);

// The disk a serial-number step is for (who takes the number).
struct SerialRequest {
  char driveLetter = '?';
  int slot = 0;  // 1-based
};

// Where numbers come from instead of the settings file's counter (line mode):
// puts the next number (1..99999999) into `number`, or returns false with
// `reason` in words for the operator. A number it returned counts as handed
// out, whatever happens to the disk afterwards.
using SerialNumberSource =
    std::function<bool(const SerialRequest& request, std::uint32_t& number, std::string& reason)>;

// Writes one profile value (WritePrivateProfileStringA semantics). Tests
// substitute a failing one.
using ProfileValueWriter = std::function<bool(const std::string& path, std::string_view section,
                                              std::string_view key, std::string_view value)>;

struct SerialStepContext {
  std::int32_t changeSerialNumber = 0;  // the panel's change-serial-number member
  std::string configPath = kSettingsFileName;
  PanelControlSink* view = nullptr; // where the reload puts the panel's control contents
  ConfigTable* table = nullptr;     // the window's working table
  SettingsStore* store = nullptr;   // where the new number and table are published
  Durability durability = Durability::kDurable;
  ProfileValueWriter writer;        // empty: the profile file writer
  FileSystem* files = nullptr;      // where the file lives; null: the host's file system
  // Line mode: the number comes from `source` (for the disk `request`), not
  // from "Product_SN" + 1; it is still written to "Product_SN" and the
  // settings are reloaded, so the panel and the file show it.
  SerialNumberSource source;
  SerialRequest request;
};

// The serial-number step. The caller holds the lock that serialises it with
// the table write (SetupLock). The step also serialises itself: its read of
// the counter, the write of the next number and the reload that builds the
// table happen under a process-wide lock of its own, so two callers never
// read the same number even where a caller forgot SetupLock.
// On kAllocated, "Product_SN" holds the new number as eight digits, durably
// (when the context asks for durability: a power loss from now on cannot
// bring the old number back), the settings were reloaded (without a header
// reset), and the store's currentSerialNumber and publishedConfigTable carry
// it. A "Product_SN" that is absent, empty or not a decimal number is refused
// rather than counted as 0: counting it as 0 would restart the numbering and
// hand out numbers again. With a source (line mode) the file's old value is
// not read as a counter; a source that refuses fails the step (kNoSource),
// and a number taken but not written to the file is a gap, never reused.
// Refused (kNotAllowed), whatever the option: numbering from the file's
// counter in a directory that has served a line (its numbers come from the
// line), and line mode with the option off (every disk of a line gets a
// number of the line; the file's "Product_SN" on every disk would repeat).
SerialStepResult AdvanceSerialNumber(const SerialStepContext& context);

// The next number after `last`: last + 1, or 1 after 99999999.
std::uint32_t NextSerialNumber(std::uint32_t last);

}  // namespace kx20
