#include "production/pass_meter.h"

#include <algorithm>

#include "device/device_session.h"
#include "production/production_log.h"
#include "production/production_worker.h"

namespace kx20 {
namespace {

constexpr std::uint64_t kChunkBytes = std::uint64_t{kPassChunkSectors} * kSectorSize;

std::uint64_t Chunks(const PassShape& s) { return s.lastLba / kPassChunkSectors; }

// The read/write test's percentage divisor, as the worker computes it.
std::uint64_t Divisor(const PassShape& s) { return Chunks(s) / 100; }

// Chunks the read/write test writes and reads back in all: it stops after
// the first chunk whose percentage passes the settings' one.
std::uint64_t RwTestChunks(const PassShape& s) {
  if (!s.rwTest) return 0;
  const std::uint64_t limit = static_cast<std::uint64_t>(std::clamp(s.rwPercent, -1, 100) + 1);
  return std::min(Chunks(s), limit * Divisor(s) + 1);
}

// Chunks done when the worker posts percentage `value` (first post of it).
std::uint64_t RwTestChunksDone(std::uint16_t value, const PassShape& s) {
  return std::min(RwTestChunks(s), value * Divisor(s) + 1);
}

std::uint64_t ClearBytes(const PassShape& s) {
  const std::uint64_t sectors =
      std::min<std::uint64_t>(s.clearSectors == 0 ? kPassClearLimitSector : s.clearSectors,
                              kPassClearLimitSector);
  return (sectors + kPassChunkSectors - 1) / kPassChunkSectors * kChunkBytes;
}

std::uint64_t ImagePieces(std::uint16_t value) {
  return std::min<std::uint64_t>(value, kPassImagePieces);
}

}  // namespace

PassMeter::Rest PassMeter::Done(RowPhase phase, std::uint16_t value, const PassShape& shape) {
  if (phase == RowPhase::kRwTest) return {RwTestChunksDone(value, shape) * 2 * kChunkBytes, 0};
  if (phase == RowPhase::kImage) {
    const std::uint64_t k = ImagePieces(value);
    return {k * 2 * kChunkBytes, k * kPassImageVerifyPauseMs};
  }
  return {};
}

PassMeter::Rest PassMeter::Remaining(RowPhase phase, std::uint16_t value, const PassShape& shape) {
  Rest rest;
  std::uint64_t pieces = kPassImagePieces;
  if (phase == RowPhase::kRwTest) {
    rest.bytes = (RwTestChunks(shape) - RwTestChunksDone(value, shape)) * 2 * kChunkBytes +
                 ClearBytes(shape);
  } else if (phase == RowPhase::kImage) {
    pieces -= ImagePieces(value);
  } else {
    return rest;
  }
  rest.bytes += pieces * 2 * kChunkBytes;
  rest.pauseMs = pieces * kPassImageVerifyPauseMs + kLogRecordPauseMs;
  return rest;
}

void PassMeter::Start() { *this = PassMeter{}; }

void PassMeter::Note(RowPhase phase, std::uint16_t value, std::uint64_t nowMs,
                     const PassShape& shape) {
  const bool measured = phase == RowPhase::kRwTest || phase == RowPhase::kImage;
  if (phase != phase_) {
    samples_.clear();  // a new step: its rate starts afresh (the last one shows until then)
    phase_ = phase;
  }
  if (!measured || shape.lastLba == 0) {
    endMs_ = 0;
    return;
  }
  const Rest done = Done(phase, value, shape);
  // Repeated posts of one percentage say nothing new: the first one marks
  // when the disk got there.
  if (samples_.empty() || done.bytes != samples_.back().bytes) {
    samples_.push_back({nowMs, done.bytes, done.pauseMs});
  }
  // The oldest sample kept is the newest one at least a window before the
  // last (or the step's first).
  const Sample& last = samples_.back();
  while (samples_.size() > 2 && samples_[1].ms + kWindowMs <= last.ms) samples_.pop_front();
  const Sample& first = samples_.front();
  const std::uint64_t spent = last.ms - first.ms;
  const std::uint64_t paused = last.pauseMs - first.pauseMs;
  if (samples_.size() >= 2 && spent > paused && spent - paused >= kShortestMeasureMs &&
      last.bytes > first.bytes) {
    rate_ = static_cast<double>(last.bytes - first.bytes) * 1000.0 /
            static_cast<double>(spent - paused);
  }
  if (rate_ <= 0) {
    endMs_ = 0;
    return;
  }
  const Rest rest = Remaining(phase, value, shape);
  endMs_ = nowMs + rest.pauseMs +
           static_cast<std::uint64_t>(static_cast<double>(rest.bytes) * 1000.0 / rate_ + 0.5);
}

}  // namespace kx20
