// The line's yield: verdict records in (from produce.log files or the line's
// database), counts out: by result, by error code, by hour, by station and by
// slot, with the slots whose failure rate stands out marked; and the serial
// numbers that passed more than once, with where each pass was seen.
//
// A slot is a hub port of one station, so slots are told apart by station
// and slot number together. Records whose slot is not known (produce.log
// carries none) count under slot 0, "unknown", which is never marked.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kx20 {

// One verdict as a report sees it.
struct VerdictRecord {
  std::string station;
  int slot = 0;           // 1-based; 0 when not known
  bool passed = false;
  std::string errorCode;  // the failure's error text; "" for a pass
  // Local date and time of the verdict.
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  // The serial number the record gives (0: none) and where the record is,
  // in words ("st1/produce.log [2026/12/8  9:15:2]"), for the repeats.
  std::uint32_t serial = 0;
  std::string where;
};

// A record that could not be read: where it was and why.
struct MalformedRecord {
  std::string source;   // file name or "database"
  std::string section;  // the section name (or row key) as written
  std::string reason;
};

struct Tally {
  std::uint64_t passed = 0;
  std::uint64_t failed = 0;

  std::uint64_t Total() const { return passed + failed; }
  // Pass share in percent; 0 when there is nothing to count.
  double YieldPercent() const;
  // Fail share in 0..1; 0 when there is nothing to count.
  double FailRate() const;
  void Add(bool pass) { pass ? ++passed : ++failed; }
};

struct HourKey {
  int year = 0, month = 0, day = 0, hour = 0;
  auto operator<=>(const HourKey&) const = default;
};

// When a slot's failure rate stands out. A slot is marked when it has at
// least `minRecords` records and `minFailures` failures, fails more often
// than the rest of the line, and so many failures would be unlikely if it
// failed as often as the rest: the binomial tail P(X >= failures) for its
// record count at the rest's failure rate is below `alpha` divided by the
// number of known slots (one test per slot). The rest's rate is taken as
// (failures + 0.5) / (records + 1), so that a flawless rest still leaves a
// small chance of failure and one failure never marks a slot on its own.
struct OutlierRule {
  std::uint64_t minRecords = 5;
  std::uint64_t minFailures = 3;
  double alpha = 0.01;
};

struct SlotStats {
  std::string station;
  int slot = 0;  // 0: unknown
  Tally tally;
  // The binomial tail against the rest (1 when not tested).
  double tailProbability = 1.0;
  bool outlier = false;
};

// A serial number in more than one pass record: a number on two disks (or a
// verdict counted from two sources that recorded the same disk).
struct RepeatedSerial {
  std::uint32_t serial = 0;
  std::vector<std::string> seenAt;  // every pass record with it, in the order read
};

struct YieldReport {
  Tally overall;
  std::map<std::string, std::uint64_t> failuresByErrorCode;
  std::map<HourKey, Tally> byHour;  // chronological
  std::map<std::string, Tally> byStation;
  std::vector<SlotStats> bySlot;  // by station, then slot number
  std::vector<MalformedRecord> malformed;
  std::vector<std::string> sources;  // what was read, in order
  std::vector<RepeatedSerial> repeatedSerials;  // by serial number
  OutlierRule rule;
};

// P(X >= k) for X binomial with n trials of probability p.
double BinomialUpperTail(std::uint64_t n, std::uint64_t k, double p);

// Collects records and makes the report. Counts as it goes; only the serial
// numbers of passes are kept (with where each was seen) to find repeats.
class YieldReportBuilder {
 public:
  void AddSource(std::string name) { report_.sources.push_back(std::move(name)); }
  void Add(const VerdictRecord& record);
  void AddMalformed(MalformedRecord record) { report_.malformed.push_back(std::move(record)); }

  std::uint64_t RecordCount() const { return report_.overall.Total(); }

  YieldReport Build(const OutlierRule& rule = {}) const;

 private:
  YieldReport report_;
  std::map<std::pair<std::string, int>, Tally> slots_;
  // Serial number -> where its passes were seen.
  std::unordered_map<std::uint32_t, std::vector<std::string>> passSerials_;
};

}  // namespace kx20
