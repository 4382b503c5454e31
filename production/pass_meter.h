// PassMeter: how fast one disk is going and how long its production pass
// has left, measured on the console thread from the statuses its worker
// already posts (stamped with the console's clock as they are applied) and
// the capacity the worker leaves in a lock-free counter. Nothing here costs
// a worker anything.
//
// The rate is the disk's transfer rate: bytes written plus bytes read, over
// the time spent moving them (the pass's own pauses left out), measured over
// the last kWindowMs of the step under way (or since it began). It is
// measured in the read/write test and the image steps; a step too short to
// measure keeps the rate measured before it.
//
// The time left, from a status of those two steps: what the pass still has
// to move at the measured rate (the rest of the read/write test, the
// clearing of the file-system area, the image pieces) plus the pauses it
// still has (one per image piece, and the log record's).
#pragma once

#include <cstdint>
#include <deque>

#include "production/status_message.h"

namespace kx20 {

// What the meter needs to know of a disk's pass.
struct PassShape {
  std::uint32_t lastLba = 0;  // from READ CAPACITY; 0: not known yet
  bool rwTest = false;        // the settings' "Read Write Test"
  std::int32_t rwPercent = 0; // and its percentage
  std::uint32_t clearSectors = 0;  // sectors the clearing step writes (0: its limit)
};

class PassMeter {
 public:
  static constexpr std::uint64_t kWindowMs = 5000;
  // Less moving time than this measures nothing (the clock's resolution).
  static constexpr std::uint64_t kShortestMeasureMs = 10;

  // The disk's worker was started: nothing measured yet.
  void Start();
  // A status of the disk's worker, applied at `nowMs`, that put the disk in
  // `phase` with `value` (the status's own value: a percentage, a step).
  void Note(RowPhase phase, std::uint16_t value, std::uint64_t nowMs, const PassShape& shape);

  // Bytes per second; 0 until measured.
  double BytesPerSecond() const { return rate_; }
  // When the pass should end, on the console's clock; 0: no estimate (not
  // in a measured step, or no rate yet).
  std::uint64_t EstimatedEndMs() const { return endMs_; }

  // What a pass of `shape` moves and waits from a status of `phase` with
  // `value` on (exposed for the tests).
  struct Rest {
    std::uint64_t bytes = 0;
    std::uint64_t pauseMs = 0;
  };
  static Rest Remaining(RowPhase phase, std::uint16_t value, const PassShape& shape);
  // Bytes moved and pause time spent in `phase` up to a status with `value`.
  static Rest Done(RowPhase phase, std::uint16_t value, const PassShape& shape);

 private:
  struct Sample {
    std::uint64_t ms;
    std::uint64_t bytes;
    std::uint64_t pauseMs;
  };
  RowPhase phase_ = RowPhase::kNone;
  std::deque<Sample> samples_;
  double rate_ = 0;
  std::uint64_t endMs_ = 0;
};

}  // namespace kx20
