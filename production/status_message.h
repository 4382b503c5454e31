// Worker status messages: how a worker tells the console what happened to its
// disk, and how the console turns that into a slot row's text and image.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kx20 {

inline constexpr unsigned kWorkerStatusMessage = 4024;

enum WorkerStatusCode : std::uint16_t {
  StatusPass = 1,
  StatusSizeFail = 2,
  StatusCompareFail = 3,
  StatusOpenFail = 4,
  StatusSourceFail = 5,
  StatusBusy = 6,
  StatusEmpty = 7,
  StatusReadFail = 8,
  StatusEraseProgress = 9,
  StatusRwTestProgress = 10,
  StatusEraseCapacity = 11,
  StatusRwTableFail = 12,
  StatusTableCompareFail = 13,
  StatusRwCompareFail = 14,
  StatusPnfFail = 15,
  StatusCapacityFail = 16,
  StatusBuildImage = 17,
  StatusConfigFail = 18,
  StatusNextSerial = 19,
  StatusProcess = 20,
};

// State image indexes used by the status display.
inline constexpr int kImageErasing = 4;
inline constexpr int kImageWorking = 5;
inline constexpr int kImagePassed = 6;
inline constexpr int kImageFailed = 7;

// One posted message: window message 4024 with its two parameters.
//   wParam: drive letter in bits 8-15, list row index in bits 0-7.
//   lParam: status code in bits 16-31, value in bits 0-15.
struct WorkerStatusMessage {
  std::uint32_t wParam = 0;
  std::uint32_t lParam = 0;

  static WorkerStatusMessage Make(char driveLetter, int row, std::uint16_t code, std::uint16_t value);
  char DriveLetter() const { return static_cast<char>((wParam >> 8) & 0xFF); }
  int Row() const { return static_cast<int>(wParam & 0xFF); }
  std::uint16_t Code() const { return static_cast<std::uint16_t>(lParam >> 16); }
  std::uint16_t Value() const { return static_cast<std::uint16_t>(lParam & 0xFFFF); }
};

// What one message does to its row.
struct RowUpdate {
  std::string text;          // the row's new text
  std::optional<int> image;  // the row's new state image, when the code sets one
  bool setText = true;       // false for the code that leaves the row unchanged
};

// What a status code says about its disk. The one place that decides: the
// station's rows, every front end's counts and the batch summary use it.
//   kPass:       the production run passed the disk (StatusPass)
//   kEmpty:      a code-flash run emptied the disk (StatusEmpty)
//   kFail:       a failure verdict (codes 2-5, 8, 12-16, 18)
//   kInProgress: a step under way (codes 6, 9, 10, 11, 17, 19, 20)
//   kNone:       no code of this system (0, 21 and above)
enum class StatusClass { kNone, kInProgress, kPass, kFail, kEmpty };
StatusClass ClassifyStatus(std::uint16_t code);

// Formats the row for a status code and value. `slotLabel` is the two-digit
// slot text of the disk's slot (empty when no slot carries the letter).
RowUpdate FormatStatusRow(std::uint16_t code, std::uint16_t value, const std::string& slotLabel,
                          char driveLetter);

}  // namespace kx20
