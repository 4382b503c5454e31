// Worker status messages: how a worker tells the console what happened to its
// disk, and how the console turns that into a slot row's text and image.
#pragma once

#include <array>
#include <cstddef>
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

// How many codes the status table holds (1 to kStatusCodes).
inline constexpr std::size_t kStatusCodes = 22;

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

// What a status code says about its disk.
//   kPass:       the production run passed the disk (StatusPass)
//   kEmpty:      a code-flash run emptied the disk (StatusEmpty)
//   kFail:       a failure verdict (codes 2-5, 8, 12-16, 18), a disk refused
//                as in use by another station (21), a verdict not recorded (22)
//   kInProgress: a step under way (codes 6, 9, 10, 11, 17, 19, 20)
//   kNone:       no code of this system (0, 23 and above)
enum class StatusClass { kNone, kInProgress, kPass, kFail, kEmpty };

// The step of a pass a disk is in, as its statuses show it.
enum class RowPhase : std::uint8_t {
  kNone,    // no worker, or a code that says nothing about the step
  kTable,   // configuration check, serial number, configuration table
  kErase,   // erasing the flash (also the code-flash run)
  kRwTest,  // the read/write test
  kImage,   // writing and verifying the image pieces
};
// "table", "erase", "rw-test", "image"; "" for kNone.
const char* PhaseName(RowPhase phase);

// How a code's value shapes its row.
enum class StatusValue : std::uint8_t {
  kUnused,   // one text; the value is not shown
  kCount,    // the text shows the value ("%3d")
  kPercent,  // "%3d %%" below 100, the done text at 100; the image is set at value 0 only
  kSteps,    // values 1-4 pick a step text (and the step phase); any other value the text
};

// One code's row of the status table: the one place that says what a code
// means. The station's rows, every front end's counts and phases, and the
// batch summary all read it.
struct StatusEntry {
  std::uint16_t code;
  StatusClass statusClass;
  // The row text's format: "%s" the slot label, or "%c" the drive letter
  // (byLetter); "%3d" the value. Null: the row is left as it is (code 17).
  const char* text;
  bool byLetter;
  StatusValue value;
  const char* doneText;                 // kPercent: the text at 100
  std::array<const char*, 4> stepTexts; // kSteps: the texts of values 1-4
  int image;                            // the state image it sets; -1: unchanged
  RowPhase phase;                       // kNone: the phase is left as it is
  RowPhase stepPhase;                   // kSteps: the phase of values 1-4
};

// The table: codes 1 to 20, in code order.
const std::array<StatusEntry, kStatusCodes>& StatusTable();
// The entry of `code`; 0 and codes above 20 get an entry that blanks the
// row's text and changes nothing else.
const StatusEntry& LookUpStatus(std::uint16_t code);

StatusClass ClassifyStatus(std::uint16_t code);

// The row for a status entry and value. `slotLabel` is the two-digit slot
// text of the disk's slot (empty when no slot carries the letter).
RowUpdate FormatStatusRow(const StatusEntry& entry, std::uint16_t value,
                          const std::string& slotLabel, char driveLetter);
RowUpdate FormatStatusRow(std::uint16_t code, std::uint16_t value, const std::string& slotLabel,
                          char driveLetter);

// The phase a status puts its disk in (kNone: unchanged), and how far the
// disk is within it in percent (-1: the status does not say).
RowPhase StatusPhase(const StatusEntry& entry, std::uint16_t value);
int StatusPhaseProgress(const StatusEntry& entry, std::uint16_t value);

}  // namespace kx20
