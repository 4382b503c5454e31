// The production log produce.log: one INI section per verdict, named by the
// local date and time of writing, with the keys "Serial Number", "Capacity",
// "Result", "Error Code" and a line of 48 hyphens as separator.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "storage/durable_file.h"
#include "production/operator_notices.h"
#include "production/verdict_event.h"
#include "production/verdict_record.h"

namespace kx20 {

inline constexpr const char* kProductionLogFileName = "produce.log";

// One verdict, four zero-terminated texts of fixed width. The capacity field
// holds 12 bytes so that every capacity a 32-bit block address can give
// ("2097152.0") fits with its terminator.
struct LogRecord {
  char serialNumber[10] = {};  // eight digits, zero-padded; empty for a failure
  char capacity[12] = {};      // megabytes, "%.1f"; empty for a failure
  char result[10] = {};        // "Pass" or "FAIL"
  char errorCode[20] = {};     // "USBErr_..." for a failure; empty for a pass
};

// A pass record: serial number as eight digits ("%8.d" with spaces turned into
// zeros: 12 gives "00000012", 0 gives "00000000"), capacity = lastLba / 2048
// megabytes with one decimal (262143 gives "128.0").
LogRecord MakePassRecord(std::uint32_t serialNumber, std::uint32_t lastLba);
// The same with the serial number's eight digits as read back from the
// disk's table (TableSerialText).
LogRecord MakePassRecordText(std::string_view serialText, std::uint32_t lastLba);

// A failure record: Result "FAIL" and the error text; no serial or capacity.
LogRecord MakeFailRecord(std::string_view errorText);

// "%i/%i/%i  %i:%i:%i" of year, month, day, hour, minute, second
// (3 May 2004, 14:07:09 gives "2004/5/3  14:7:9").
std::string FormatLogSectionName(const CalendarTime& localTime);

// The text one record adds to the log.
std::string FormatLogRecord(const CalendarTime& localTime, const LogRecord& record);

// The pause before each record.
inline constexpr std::uint32_t kLogRecordPauseMs = 1000;

// Writes records to the log, and each verdict's line to produce.jsonl in the
// same directory. The caller holds LogLock around WriteRecord and
// WriteVerdict.
class ProductionLogWriter {
 public:
  explicit ProductionLogWriter(Clock& clock, std::string path = kProductionLogFileName,
                               Durability durability = Durability::kDurable);

  // Pauses 1000 ms (so that records written in turn never share a section
  // name), then appends the record as a new section at the end of the file,
  // creating the file when missing, and flushes it. The cost does not depend
  // on the size of the log. Returns true when the record reached the file.
  // A record that could not be written is never lost silently: the notices
  // (when set) say why and which record it was, and the caller shows the
  // disk as a failure whose verdict was not recorded.
  // `section` (when given) receives the record's section name, whether or
  // not the record reached the file.
  bool WriteRecord(const LogRecord& record, std::string* section = nullptr);

  // A verdict: its record in produce.log (as WriteRecord), then right after
  // it its line in produce.jsonl (FormatVerdictRecord, naming the record's
  // section), appended and flushed like the record; a line cut short by a
  // power loss is closed first, so the new one stands on its own line.
  // Returns true when both reached their files. A line that could not be
  // written is reported like a lost record, and the caller shows the disk
  // as a failure whose verdict was not recorded. A pass whose record was
  // lost gets a line all the same, as "FAIL" with the failed step "record".
  bool WriteVerdict(const LogRecord& record, const VerdictEvent& event);

  // The station and host every line names; set before the first verdict.
  void SetRecordPlace(RecordPlace place) { place_ = std::move(place); }
  const std::string& RecordPath() const { return recordPath_; }

  // Whether a record could be appended now, to produce.log and to
  // produce.jsonl: false, with `failure` in words, when a file exists but
  // cannot be opened for appending (a directory of that name, no
  // permission, a read-only disk). A missing file is fine (the first record
  // creates it). Writes nothing. Any thread.
  bool CheckWritable(std::string* failure) const;

  // Where a lost record is reported; set before the first WriteRecord.
  void SetNotices(OperatorNotices* notices) { notices_ = notices; }

  // True when the last WriteRecord reached the file (for diagnostics).
  bool LastWriteSucceeded() const { return lastWriteOk_; }

 private:
  bool Writable(const std::string& path, std::string* failure) const;
  bool AppendVerdictLine(const std::string& line, std::string* failure);

  Clock& clock_;
  const std::string path_;
  const std::string recordPath_;  // produce.jsonl beside the log
  Durability durability_;
  RecordPlace place_;
  OperatorNotices* notices_ = nullptr;
  bool lastWriteOk_ = false;
};

}  // namespace kx20
