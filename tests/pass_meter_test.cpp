#include "production/pass_meter.h"

#include <gtest/gtest.h>

#include "common/virtual_clock.h"

namespace kx20 {
namespace {

constexpr std::uint64_t kChunk = 65536;

// The default simulated disk: last LBA 262143, 2047 chunks, divisor 20; the
// example settings test 10 %: chunks 0 to 220 (the first past 10 % ends it).
PassShape DefaultShape() {
  PassShape s;
  s.lastLba = 262143;
  s.rwTest = true;
  s.rwPercent = 10;
  s.clearSectors = 1056;  // 9 chunks cleared
  return s;
}

TEST(PassMeter, WhatThePassHasDoneAndHasLeft) {
  struct Case {
    RowPhase phase;
    std::uint16_t value;
    std::uint64_t doneBytes;
    std::uint64_t leftBytes;
    std::uint64_t leftPauseMs;
  };
  const Case cases[] = {
      // rw-test p: p * 20 + 1 chunks written and read back of 221.
      {RowPhase::kRwTest, 0, 1 * 2 * kChunk, (220 * 2 + 9 + 4 * 2) * kChunk, 5000},
      {RowPhase::kRwTest, 5, 101 * 2 * kChunk, (120 * 2 + 9 + 4 * 2) * kChunk, 5000},
      {RowPhase::kRwTest, 10, 201 * 2 * kChunk, (20 * 2 + 9 + 4 * 2) * kChunk, 5000},
      // image piece k: written, paused, read back.
      {RowPhase::kImage, 1, 1 * 2 * kChunk, 3 * 2 * kChunk, 4000},
      {RowPhase::kImage, 4, 4 * 2 * kChunk, 0, 1000},
      {RowPhase::kImage, 9, 4 * 2 * kChunk, 0, 1000},  // no such piece: the last
      {RowPhase::kErase, 50, 0, 0, 0},
      {RowPhase::kTable, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const auto done = PassMeter::Done(c.phase, c.value, DefaultShape());
    const auto left = PassMeter::Remaining(c.phase, c.value, DefaultShape());
    EXPECT_EQ(done.bytes, c.doneBytes) << PhaseName(c.phase) << " " << c.value;
    EXPECT_EQ(left.bytes, c.leftBytes) << PhaseName(c.phase) << " " << c.value;
    EXPECT_EQ(left.pauseMs, c.leftPauseMs) << PhaseName(c.phase) << " " << c.value;
  }
  PassShape noTest = DefaultShape();
  noTest.rwTest = false;
  noTest.clearSectors = 0;  // unknown: the clearing step's limit, 100 chunks
  EXPECT_EQ(PassMeter::Remaining(RowPhase::kRwTest, 0, noTest).bytes, (100 + 8) * kChunk);
  PassShape whole = DefaultShape();
  whole.rwPercent = 100;  // up to the first chunk past 100 %: chunk 2020 of 2047
  EXPECT_EQ(PassMeter::Remaining(RowPhase::kRwTest, 0, whole).bytes, (2020 * 2 + 9 + 8) * kChunk);
}

// A known schedule on the virtual clock: statuses as a disk moving
// 10,000,000 bytes a second would post them (each percentage of the test,
// 20 chunks written and read back, takes 262.144 ms), then its image pieces.
TEST(PassMeter, RateAndEstimateFollowAKnownSchedule) {
  VirtualClock clock;
  const PassShape shape = DefaultShape();
  const double rate = 10e6;
  const auto msFor = [&](std::uint64_t bytes) {
    return static_cast<std::uint64_t>(static_cast<double>(bytes) * 1000.0 / rate + 0.5);
  };
  PassMeter meter;
  meter.Start();
  meter.Note(RowPhase::kTable, 0, clock.MonotonicMs(), shape);
  EXPECT_EQ(meter.BytesPerSecond(), 0);
  EXPECT_EQ(meter.EstimatedEndMs(), 0u);

  const std::uint64_t testStart = clock.MonotonicMs();
  for (std::uint16_t p = 0; p <= 10; ++p) {
    // Every chunk posts; only the first post of a percentage counts.
    for (int repeat = 0; repeat < 3; ++repeat) {
      meter.Note(RowPhase::kRwTest, p, clock.MonotonicMs(), shape);
    }
    if (p == 0) {
      EXPECT_EQ(meter.BytesPerSecond(), 0) << "one status measures nothing";
    } else {
      EXPECT_NEAR(meter.BytesPerSecond(), rate, rate * 0.01) << p;
      // The end: what is left at this rate, plus the pauses.
      const auto left = PassMeter::Remaining(RowPhase::kRwTest, p, shape);
      EXPECT_NEAR(static_cast<double>(meter.EstimatedEndMs()),
                  static_cast<double>(clock.MonotonicMs() + msFor(left.bytes) + left.pauseMs), 2.0)
          << p;
    }
    clock.Advance(msFor(20 * 2 * kChunk));
  }
  // The whole schedule: the end the first estimate promised is when the
  // pass really ends.
  const std::uint64_t clearAndPieces = msFor((9 + 8) * kChunk);
  const std::uint64_t realEnd = testStart + msFor(220 * 2 * kChunk) + clearAndPieces + 5000;
  meter.Note(RowPhase::kRwTest, 10, clock.MonotonicMs(), shape);
  EXPECT_NEAR(static_cast<double>(meter.EstimatedEndMs()), static_cast<double>(realEnd),
              static_cast<double>(msFor(20 * 2 * kChunk)) + 2.0);

  // The image pieces: 1000 ms pause each. A piece's transfer alone (13 ms
  // at this rate) is measured without its pause.
  const std::uint64_t piece = msFor(2 * kChunk) + 1000;
  clock.Advance(msFor(9 * kChunk) + piece);
  meter.Note(RowPhase::kImage, 1, clock.MonotonicMs(), shape);
  EXPECT_NEAR(meter.BytesPerSecond(), rate, rate * 0.01) << "kept from the test";
  EXPECT_EQ(meter.EstimatedEndMs(), clock.MonotonicMs() + 3 * piece + 1000);
  clock.Advance(piece);
  meter.Note(RowPhase::kImage, 2, clock.MonotonicMs(), shape);
  EXPECT_NEAR(meter.BytesPerSecond(), rate, rate * 0.05);
  EXPECT_NEAR(static_cast<double>(meter.EstimatedEndMs()),
              static_cast<double>(clock.MonotonicMs() + 2 * piece + 1000), 2.0);
}

// The rate is the last few seconds', not the whole step's: a disk that
// slows down shows it within the window.
TEST(PassMeter, TheRateFollowsTheLastFewSeconds) {
  PassShape shape = DefaultShape();
  shape.rwPercent = 100;
  PassMeter meter;
  meter.Start();
  std::uint64_t now = 1000;
  const std::uint64_t step = 20 * 2 * kChunk;  // bytes per percentage
  for (std::uint16_t p = 0; p <= 40; ++p) {
    meter.Note(RowPhase::kRwTest, p, now, shape);
    now += p < 20 ? 100 : 400;  // 26.2 MB/s, then 6.55 MB/s
  }
  const double slow = static_cast<double>(step) * 1000.0 / 400.0;
  EXPECT_NEAR(meter.BytesPerSecond(), slow, slow * 0.01);
  // A stall with no new percentage leaves the last measured rate; a new
  // step starts its own window.
  meter.Note(RowPhase::kImage, 1, now + 60000, shape);
  EXPECT_NEAR(meter.BytesPerSecond(), slow, slow * 0.01);
  meter.Start();
  EXPECT_EQ(meter.BytesPerSecond(), 0);
}

}  // namespace
}  // namespace kx20
