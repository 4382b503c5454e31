// The production worker: one thread per disk that takes a disk whose
// controller answers to a verdict, and the code-flash worker that empties a
// controller's code flash. Workers report only through posted status
// messages, and write their verdict to the production log.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "common/clock.h"
#include "config/serial_number.h"
#include "config/settings.h"
#include "device/pass_through_port.h"
#include "image/disk_image.h"
#include "production/production_log.h"
#include "production/status_poster.h"
#include "production/operator_notices.h"
#include "production/verdict_event.h"
#include "production/worker_ledger.h"

namespace kx20 {

// The two locks of a production run. A run's workers share one RunLocks; the
// console keeps it while any worker runs (a start during a run reuses it) and
// drops it when the run has ended.
//   setupLock: the serial-number step with the table write, read-back and
//              compare, and every image rebuild.
//   logLock:   one log record at a time.
// Lock order: setupLock before logLock, never the other way round.
struct RunLocks {
  std::mutex setupLock;
  std::mutex logLock;
};

// The shape of a production pass from READ CAPACITY on, which the console's
// estimate of a disk's time left follows: the read/write test and the
// clearing of the file-system area in 64 KB transfers, then the image
// pieces, each written, a pause, read back.
inline constexpr std::uint16_t kPassChunkSectors = 128;          // 65,536 bytes
inline constexpr std::uint32_t kPassClearLimitSector = 12800;    // clearing stops below it
inline constexpr std::uint32_t kPassImagePieces = 4;
inline constexpr std::uint32_t kPassImageVerifyPauseMs = 1000;   // per piece
// List rows whose disk's capacity the workers leave for the console.
inline constexpr int kCapacityRows = 32;

// Everything the workers share with the console and with each other. Owned by
// the console; must outlive every worker started with it.
struct ProductionEnvironment {
  PassThroughPort* port = nullptr;
  Clock* clock = nullptr;
  StatusPoster* poster = nullptr;
  SettingsStore* settings = nullptr;      // ProductionSettings snapshots
  DiskImageStore* images = nullptr;       // the prepared image
  ProductionLogWriter* log = nullptr;     // produce.log
  std::atomic<int>* rescanPending = nullptr;  // cleared by every worker at its start
  // The capacity (last LBA) the prepared image was last built for.
  std::atomic<std::uint32_t> imageCapacity{0};
  // The last LBA each list row's disk reported to READ CAPACITY (0: not
  // yet), for the console's estimate of its time left. Written by the row's
  // worker, cleared by the console when it starts one; no lock.
  std::array<std::atomic<std::uint32_t>, kCapacityRows> rowLastLba{};
  // The serial-number step for one disk; called with setupLock held. Empty:
  // no step.
  std::function<SerialStepResult(const SerialRequest&)> advanceSerialNumber;
  // Called with every verdict right after its log record, under the log
  // lock (line mode). Empty: none.
  VerdictSink recordVerdict;
  // Where the workers say what the operator must know beside the rows (a
  // disk refused as in use, a verdict the sink did not take). May be null.
  OperatorNotices* notices = nullptr;
  // Who the workers claim their disks for, as the holder texts show it
  // (the station's work directory).
  std::string claimant;
  // The page each production worker keeps for the close. May be null (no
  // cut-off records).
  WorkerLedger* ledger = nullptr;
  // The work order / lot and the operator every verdict of the station
  // names (empty: none given). Set before the first worker starts; never
  // changed while one runs.
  std::string lot;
  std::string operatorName;
};

// Start value of a worker: drive letter in bits 16-23, list row in bits 0-15.
inline std::uint32_t MakeStartValue(char letter, int row) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(letter)) << 16) |
         (static_cast<std::uint32_t>(row) & 0xFFFF);
}

// One production pass over the disk named by `startValue`, on the calling
// thread. Returns when the verdict is posted and logged (or at once when the
// disk cannot be opened or probed, or is in use by another station). The
// disk is claimed (PassThroughPort::ClaimDisk) for the whole pass, before
// the first command; a disk another station holds gets no command, no
// record and the row "[in use X]".
// The verdict's record (VerdictEvent, produce.jsonl) carries the steps the
// pass ran, each with its start and duration on the environment's clock
// (kStepConfigCheck, kStepErase, kStepTable, kStepCapacity, kStepRwTest,
// kStepImage; one step ends where the next begins, so their durations add
// up to the time from the probe's answer to the verdict), the rates of the
// transfers (the read/write test's writes and reads, and the image step's
// writes: the clearing and the image pieces; bytes over the time spent in
// those commands alone, no pause counted), and the number the disk's table
// carried before the serial step (TableCarriedSerial of a ReadConfigTable
// sent first in the table step, outside setupLock; a failed read only means
// no previous number, never another verdict).
void RunProductionWorker(ProductionEnvironment& env, RunLocks& locks, std::uint32_t startValue);

// One code-flash pass: zero blocks over the code flash (16 blocks when
// `size256K`, else 32), then control mode 4; posts erase progress and
// "empty" on success. The disk is claimed for the pass as in production.
void RunCodeFlashWorker(PassThroughPort& port, StatusPoster& poster, std::uint32_t startValue,
                        bool size256K);

}  // namespace kx20
