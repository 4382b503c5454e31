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
  // The number in the table written to the disk (as read back from it): set
  // for a pass and for a failure after the table step; 0 when no table with a
  // number was written.
  std::uint32_t serialNumber = 0;
  std::uint64_t capacitySectors = 0;  // last LBA + 1; 0 when not read
  std::string errorCode;              // "USBErr_..." for a failure; empty on a pass
  CalendarTime startedUtc;            // when the controller answered the probe
  CalendarTime finishedUtc;           // when the verdict was given
  // No verdict was reached: the station was closed during the disk's run and
  // the record was made for it then; errorCode is the text of the step it was
  // cut off in.
  bool cutOff = false;
};

using VerdictSink = std::function<void(const VerdictEvent&)>;

}  // namespace kx20
