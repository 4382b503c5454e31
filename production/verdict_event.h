// A verdict as the worker gives it, with what produce.log does not keep
// (slot, drive letter, times): for sinks beside the log, such as the line's
// database. The worker calls the sink right after the log record, on its
// own thread and under the run's log lock (so a station closed during the
// run has every recorded verdict in its sink too); closing the station
// calls it for the disks it cuts off. A sink must not block for long and
// must not throw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>

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

// The sink: any callable taking a VerdictEvent. One that returns bool says
// whether the verdict is recorded (false: the disk's row shows that its
// verdict could not be recorded, as for a lost log record); one that
// returns nothing counts as recording every verdict.
class VerdictSink {
 public:
  VerdictSink() = default;
  VerdictSink(std::nullptr_t) {}
  template <typename F,
            typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, VerdictSink> &&
                                        std::is_invocable_v<F&, const VerdictEvent&>>>
  VerdictSink(F f) {
    if constexpr (std::is_same_v<std::invoke_result_t<F&, const VerdictEvent&>, void>) {
      sink_ = [f = std::move(f)](const VerdictEvent& event) mutable {
        f(event);
        return true;
      };
    } else {
      sink_ = [f = std::move(f)](const VerdictEvent& event) mutable {
        return static_cast<bool>(f(event));
      };
    }
  }

  explicit operator bool() const { return static_cast<bool>(sink_); }
  // True when the verdict is recorded.
  bool operator()(const VerdictEvent& event) const { return sink_(event); }

 private:
  std::function<bool(const VerdictEvent&)> sink_;
};

}  // namespace kx20
