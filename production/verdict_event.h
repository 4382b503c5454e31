// A verdict as the worker gives it, with what produce.log does not keep
// (slot, drive letter, times): for sinks beside the log, such as the line's
// database. The worker calls the sink after the log record, on its own
// thread; a sink must not block for long and must not throw.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/clock.h"

namespace kx20 {

struct VerdictEvent {
  char driveLetter = '?';
  int slot = 0;                       // 1-based (the row's slot)
  bool passed = false;
  std::uint32_t serialNumber = 0;     // the number programmed; 0 for a failure
  std::uint64_t capacitySectors = 0;  // last LBA + 1; 0 when not read
  std::string errorCode;              // "USBErr_..." for a failure; empty on a pass
  CalendarTime startedUtc;            // when the controller answered the probe
  CalendarTime finishedUtc;           // when the verdict was given
};

using VerdictSink = std::function<void(const VerdictEvent&)>;

}  // namespace kx20
