// Worker status messages: how a worker tells the console what happened to its
// disk, and how the console turns that into a slot row's text and image.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kx20 {

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
  // Codes of this station beyond the window's twenty:
  // The disk is driven by another station (or cannot be claimed): it was
  // refused before any command, and has no verdict of this station.
  StatusDiskInUse = 21,
  // The disk's verdict could not be recorded (produce.log, or the line's
  // record, refused it): whatever the disk's own result, a failure.
  StatusRecordFail = 22,
};

// State image indexes used by the status display.
inline constexpr int kImageErasing = 4;
inline constexpr int kImageWorking = 5;
inline constexpr int kImagePassed = 6;
inline constexpr int kImageFailed = 7;

// One worker status, posted to the console thread: which disk (drive letter
// and list row), what happened (code) and how far (value: a percentage, a
// step number or a count, as the code says). How a front end carries it
// (the Windows window packs it into message 4024) is the front end's own.
struct WorkerStatus {
  char driveLetter = 0;
  int row = 0;
  std::uint16_t code = 0;
  std::uint16_t value = 0;

  static WorkerStatus Make(char letter, int listRow, std::uint16_t statusCode,
                           std::uint16_t statusValue) {
    return WorkerStatus{letter, listRow, statusCode, statusValue};
  }
  char DriveLetter() const { return driveLetter; }
  int Row() const { return row; }
  std::uint16_t Code() const { return code; }
  std::uint16_t Value() const { return value; }
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
//   kFail:       a failure verdict (codes 2-5, 8, 12-16, 18), a disk refused
//                as in use by another station (21), a verdict not recorded (22)
//   kInProgress: a step under way (codes 6, 9, 10, 11, 17, 19, 20)
//   kNone:       no code of this system (0, 23 and above)
enum class StatusClass { kNone, kInProgress, kPass, kFail, kEmpty };
StatusClass ClassifyStatus(std::uint16_t code);

// Formats the row for a status code and value. `slotLabel` is the two-digit
// slot text of the disk's slot (empty when no slot carries the letter).
RowUpdate FormatStatusRow(std::uint16_t code, std::uint16_t value, const std::string& slotLabel,
                          char driveLetter);

}  // namespace kx20
