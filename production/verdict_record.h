// produce.jsonl: the record of every disk, beside produce.log. One JSON
// object per verdict, on a line of its own, appended durably under the
// run's log lock right after the produce.log record of the same verdict
// (ProductionLogWriter::WriteVerdict). Keys, in this order (a key that is
// absent means "not known"; none is ever written with a made-up value):
//   "schema"            1
//   "station"           the line station's name; "" outside line mode
//   "host"              the host the station runs on
//   "slot", "letter"    1-based slot, drive letter
//   "lot", "operator"   --lot and --operator; absent when not given
//   "version"           the program's version
//   "recipe"            RecipeId of the settings (16 lower-case hex digits)
//   "serial"            the number in the table written; absent when none
//   "previous_serial"   the number the table carried before the serial
//                       step (a rework); absent when blank or unread
//   "capacity_sectors"  last LBA + 1; absent when not read
//   "result"            "Pass" or "FAIL"
//   "error"             "USBErr_..." (failures only)
//   "failed_step"       the step the failure happened in (failures only)
//   "cut_off"           true for a disk cut off by closing the station
//   "steps"             [{"step", "start", "ms"}, ...] in the order run
//   "rw_write_mbps", "rw_read_mbps", "image_write_mbps"
//                       MB/s (10^6 bytes per second), when measured
//   "started", "finished"  UTC, "YYYY-MM-DDTHH:MM:SS.mmmZ"
//   "log_section"       the produce.log section of the same verdict
#pragma once

#include <string>

#include "common/clock.h"
#include "production/verdict_event.h"

namespace kx20 {

inline constexpr const char* kVerdictRecordFileName = "produce.jsonl";
inline constexpr int kVerdictRecordSchema = 1;

// Where the station stands, the same for every record of the process.
struct RecordPlace {
  std::string station;  // the line station's name; empty outside line mode
  std::string host;
};

// "YYYY-MM-DDTHH:MM:SS.mmmZ" of a UTC time.
std::string UtcTimestampText(const CalendarTime& utc);

// The line of one verdict, without its line end. Texts that are not UTF-8
// (a lot typed in another code page) have their bad bytes replaced by
// U+FFFD rather than break the line.
std::string FormatVerdictRecord(const VerdictEvent& event, const RecordPlace& place,
                                const std::string& logSection);

}  // namespace kx20
