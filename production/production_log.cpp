#include "production/production_log.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <utility>
#include <vector>

#include "storage/profile_file.h"

namespace kx20 {
namespace {

template <std::size_t N>
void CopyField(char (&field)[N], std::string_view text) {
  const std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

// Less free space than this and no run starts: a record is a few hundred
// bytes, a run writes ten.
constexpr std::uintmax_t kLeastFreeBytes = 64 * 1024;

const char kSeparatorKey[] = "------------------------------------------------";
static_assert(sizeof kSeparatorKey - 1 == 48, "the separator is 48 hyphens");

}  // namespace

LogRecord MakePassRecord(std::uint32_t serialNumber, std::uint32_t lastLba) {
  LogRecord r;
  char serial[16];
  std::snprintf(serial, sizeof serial, "%8.u", static_cast<unsigned>(serialNumber));
  for (std::size_t i = 0; i < 8 && serial[i] != '\0'; ++i) {
    if (serial[i] == ' ') serial[i] = '0';
  }
  CopyField(r.serialNumber, serial);
  std::snprintf(r.capacity, sizeof r.capacity, "%.1f", lastLba / 2048.0);
  CopyField(r.result, "Pass");
  return r;
}

LogRecord MakePassRecordText(std::string_view serialText, std::uint32_t lastLba) {
  LogRecord r = MakePassRecord(0, lastLba);
  CopyField(r.serialNumber, serialText);
  return r;
}

LogRecord MakeFailRecord(std::string_view errorText) {
  LogRecord r;
  CopyField(r.result, "FAIL");
  CopyField(r.errorCode, errorText);
  return r;
}

std::string FormatLogSectionName(const CalendarTime& t) {
  char name[80];
  std::snprintf(name, sizeof name, "%i/%i/%i  %i:%i:%i", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return name;
}

namespace {

template <std::size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

std::vector<ProfileEntry> RecordEntries(const LogRecord& r) {
  return {
      {"Serial Number", FieldText(r.serialNumber)},
      {"Capacity", FieldText(r.capacity)},
      {"Result", FieldText(r.result)},
      {"Error Code", FieldText(r.errorCode)},
      {kSeparatorKey, ""},
  };
}

}  // namespace

std::string FormatLogRecord(const CalendarTime& localTime, const LogRecord& record) {
  return FormatProfileSection(FormatLogSectionName(localTime), RecordEntries(record));
}


namespace {

// The step a verdict failed in when it could not be recorded.
constexpr const char* kStepRecord = "record";

std::string SiblingPath(const std::string& path, const char* name) {
  std::filesystem::path p(path);
  p.replace_filename(name);
  return p.string();
}

// What a lost record or line was, for the operator: "Pass 00000012",
// "FAIL USBErr_Pnf".
std::string RecordWhat(const LogRecord& record) {
  std::string what = FieldText(record.result);
  if (record.serialNumber[0] != '\0') what += " " + FieldText(record.serialNumber);
  if (record.errorCode[0] != '\0') what += " " + FieldText(record.errorCode);
  return what;
}

}  // namespace

ProductionLogWriter::ProductionLogWriter(Clock& clock, std::string path, Durability durability)
    : clock_(clock),
      path_(std::move(path)),
      recordPath_(SiblingPath(path_, kVerdictRecordFileName)),
      durability_(durability) {}

bool ProductionLogWriter::CheckWritable(std::string* failure) const {
  return Writable(path_, failure) && Writable(recordPath_, failure);
}

bool ProductionLogWriter::Writable(const std::string& path, std::string* failure) const {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (status.type() == std::filesystem::file_type::not_found) return true;
  if (status.type() == std::filesystem::file_type::directory) {
    if (failure != nullptr) *failure = NameOfPath(path) + " cannot be written: it is a directory";
    return false;
  }
  if (error || status.type() != std::filesystem::file_type::regular) {
    if (failure != nullptr) *failure = NameOfPath(path) + " cannot be written: it is not a regular file";
    return false;
  }
  // An append of nothing: opens the file as a record would, writes nothing.
  if (!AppendToFile(path, std::string_view(), Durability::kRelaxed, failure)) return false;
  // A full disk opens the file all the same and refuses only the record.
  const std::filesystem::space_info space =
      std::filesystem::space(std::filesystem::path(DirectoryOfPath(path)), error);
  if (!error && space.available < kLeastFreeBytes) {
    if (failure != nullptr) *failure = NameOfPath(path) + " cannot be written: no space left on the disk";
    return false;
  }
  return true;
}

bool ProductionLogWriter::WriteRecord(const LogRecord& record, std::string* sectionName) {
  clock_.SleepMs(kLogRecordPauseMs);
  const std::string section = FormatLogSectionName(clock_.LocalNow());
  if (sectionName != nullptr) *sectionName = section;
  std::string failure;
  lastWriteOk_ =
      AppendProfileSection(path_, section, RecordEntries(record), durability_, &failure);
  if (!lastWriteOk_ && notices_ != nullptr) {
    notices_->Post(failure + ": the record [" + section + "] (" + RecordWhat(record) + ") was lost");
  }
  return lastWriteOk_;
}

bool ProductionLogWriter::AppendVerdictLine(const std::string& line, std::string* failure) {
  std::string text;
  text.reserve(line.size() + 2);
  // A last line without its end (cut by a power loss) keeps its damage to
  // itself: the new object starts on a line of its own.
  FileEnds ends;
  if (ReadFileEnds(recordPath_, 1, ends) && ends.size > 0 && !ends.tail.empty() &&
      ends.tail.back() != '\n') {
    text += '\n';
  }
  text += line;
  text += '\n';
  return AppendToFile(recordPath_, text, durability_, failure);
}

bool ProductionLogWriter::WriteVerdict(const LogRecord& record, const VerdictEvent& event) {
  std::string section;
  const bool logged = WriteRecord(record, &section);
  std::string failure;
  bool lined = false;
  try {
    if (logged || !event.passed) {
      lined = AppendVerdictLine(FormatVerdictRecord(event, place_, section), &failure);
    } else {
      // A pass whose produce.log record was lost is no pass for the
      // operator (the row says that its verdict was not recorded): its line
      // says the same, so that no reader counts it as a good disk.
      VerdictEvent unrecorded = event;
      unrecorded.passed = false;
      unrecorded.failedStep = kStepRecord;
      lined = AppendVerdictLine(FormatVerdictRecord(unrecorded, place_, section), &failure);
    }
  } catch (const std::exception& e) {
    failure = NameOfPath(recordPath_) + " cannot be written: " + e.what();
  }
  if (!lined && notices_ != nullptr) {
    notices_->Post(failure + ": the line of record [" + section + "] (" + RecordWhat(record) +
                   ") was lost");
  }
  return logged && lined;
}

}  // namespace kx20
