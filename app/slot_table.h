// The station's slots: the 32-record SlotTable filled by device discovery,
// the rows of the slot list built from it, and the removal watch that runs
// after a production run.
//
// Threads: ScanDevices, ProbeDevice and PollRemoval run on the console
// thread only. The table itself has no lock: workers read it while scans are
// paused (workers clear rescanPending when they start; scans resume only
// after every worker has ended and the answering disks are gone).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "app/console_view.h"
#include "device/pass_through_port.h"

namespace kx20 {

inline constexpr int kSlotCount = 32;  // slot numbers 1..32
inline constexpr int kSlotRows = 10;   // list rows 0..9 show slots 1..10

// State images of the slot list, in image-list order.
enum SlotImage : int {
  kImageController = 0,   // icon 131
  kImageAnswered = 1,     // icon 135: target disk answered the probe
  kImageNoAnswer = 2,     // icon 136: target disk found, probe failed; new rows
  kImageDarkChip = 3,     // icon 134
  kImageFlames = 4,       // icon 144
  kImageWriting = 5,      // icon 143
  kImageOk = 6,           // icon 141
  kImageQuestion = 7,     // icon 142: "[device X]" and errors
  kImageEmpty = 8,        // icon 149: empty slot
};

// The icon resource behind each state image, by index.
inline constexpr std::array<int, 9> kSlotImageIcons = {131, 135, 136, 134, 144, 143, 141, 142, 149};

struct SlotRecord {
  char driveLetter = 0;             // upper-case letter; 0 = empty slot
  char slotText[3] = {0, 0, 0};     // two digits from INQUIRY, then 0
  std::int32_t probeAnswered = 0;   // 1: the controller answered the probe
  std::int32_t present = 0;         // 1: the last scan found a target disk here
  std::int32_t codeFlashReady = 0;  // code-flash selection; cleared by every scan
  std::int32_t probeOsFailure = 0;  // 2: the probe request failed at OS level
};

class SlotTable {
 public:
  // The record of slot number `slot` (1..32), or null outside that range.
  SlotRecord* Find(int slot);
  const SlotRecord* Find(int slot) const;
  // The slot number holding `letter` (the last one in table order when
  // several do), or 0.
  int SlotOfLetter(char letter) const;
  // The first slot, in order 1..32, with a drive letter whose controller
  // answered the probe; 0 when there is none.
  int FirstAnsweringSlot() const;
  // Zeroes every record.
  void Clear();

 private:
  std::array<SlotRecord, kSlotCount> records_{};
};

// The process-wide discovery flags (one instance, passed to whoever needs
// it). Workers store into rescanPending from their own threads.
struct DiscoveryFlags {
  std::atomic<int> autoRescan{0};
  std::atomic<int> rescanPending{0};
  std::atomic<int> removalWatch{0};
};

// Row text and image of slot `slot` (1..32) as a scan shows it:
// "03-F:\" / "03-" for an empty slot / "03-[device X]" after an OS failure.
std::string SlotRowText(int slot, const SlotRecord& record);
int SlotRowImage(const SlotRecord& record);

// The slot number carried by INQUIRY bytes 24..27 as decimal text: leading
// white space skipped, one optional sign, digits up to the first non-digit.
// Returns 0 when there are no digits.
int ParseInquirySlot(const std::uint8_t* inquiry);

// Discovery over one port, one table, one set of flags and one view.
class SlotDiscovery {
 public:
  SlotDiscovery(PassThroughPort& port, SlotTable& table, DiscoveryFlags& flags, ConsoleView& view);

  // The full discovery pass: rebuilds the table and the ten rows. Returns the
  // number of target disks recorded.
  int ScanDevices();
  // Probes the controller behind `letter`; sets probeOsFailureMarker() to the
  // probe's status word (2 after an OS-level failure) unless the open fails.
  bool ProbeDevice(char letter);
  // One pass of the removal watch.
  void PollRemoval();

  std::uint16_t probeOsFailureMarker() const { return osFailureMarker_; }

 private:
  PassThroughPort& port_;
  SlotTable& table_;
  DiscoveryFlags& flags_;
  ConsoleView& view_;
  std::uint16_t osFailureMarker_ = 0;
};

}  // namespace kx20
