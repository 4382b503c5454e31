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
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/clock.h"

namespace kx20 {

// The steps of a production pass whose start and duration a record keeps,
// and the names a record gives them (also the step a failure happened in).
// A failure can also name "open" (the disk's claim or probe) or "record"
// (the verdict could not be recorded).
inline constexpr const char* kStepConfigCheck = "config_check";
inline constexpr const char* kStepErase = "erase";
inline constexpr const char* kStepTable = "table";  // serial step, write, read-back, compare
// The post-configuration commands and pause, READ CAPACITY, the disk check
// after the reopen, the image build.
inline constexpr const char* kStepCapacity = "capacity";
inline constexpr const char* kStepRwTest = "rw_test";
inline constexpr const char* kStepImage = "image";  // clearing, writing and verifying the image

struct StepTiming {
  std::string step;        // one of the kStep... names
  CalendarTime startedUtc;
  std::uint32_t durationMs = 0;
  bool operator==(const StepTiming&) const = default;
};

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

  // What makes the disk traceable (filled by the worker and the station).
  std::string lot;              // work order / lot of the run (--lot); empty: none given
  std::string operatorName;     // operator of the run (--operator); empty: none given
  std::string softwareVersion;  // kVersion of the program that made the disk
  std::string recipeId;         // hash of the settings that shape the disk (not the counter)
  // The serial number the controller's table carried before this pass's
  // serial step (read back with ReadConfigTable): a rework. Empty when the
  // table was blank or could not be read.
  std::optional<std::uint32_t> previousSerial;
  std::string failedStep;       // a kStep... name (or open/capacity/record); empty on a pass
  std::vector<StepTiming> steps;  // the steps the pass ran, in order
  // MB/s (10^6 bytes per second) reached, when the step ran and moved data.
  std::optional<double> rwWriteMBps;
  std::optional<double> rwReadMBps;
  std::optional<double> imageWriteMBps;
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
