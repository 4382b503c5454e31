// The line's yield: verdict records in (from produce.log and produce.jsonl
// files or the line's database), counts out: by result, by error code, by
// hour (or day), by station and by slot, with the slots whose failure rate
// stands out marked; first-pass and final yield with the reworks listed;
// disks per hour; each slot's disk time (median and slowest tenth) with the
// slots that are slow though passing marked; a table by lot, operator,
// station, slot, hour or day; and the serial numbers that passed more than
// once, with where each pass was seen.
//
// A slot is a hub port of one station, so slots are told apart by station
// and slot number together. Records whose slot is not known (produce.log
// carries none) count under slot 0, "unknown", which is never marked.
//
// Records come in one at a time (Add) or already counted (AddCell, from the
// line's database, which groups them itself); both end in the same cells,
// so the figures do not depend on the way in.
#pragma once

#include <cmath>
#include <compare>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kx20 {

inline constexpr double kNoTime = std::numeric_limits<double>::quiet_NaN();

// One verdict as a report sees it.
struct VerdictRecord {
  std::string station;
  int slot = 0;           // 1-based; 0 when not known
  bool passed = false;
  std::string errorCode;  // the failure's error text; "" for a pass
  // Local date and time of the verdict (the tables group by it).
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  // The serial number the record gives (0: none) and where the record is,
  // in words ("st1/produce.log [2026/12/8  9:15:2]"), for the repeats.
  std::uint32_t serial = 0;
  std::string where;
  // Start and finish, seconds since 1970 UTC (kNoTime: not known). The
  // window takes a record by its finish.
  double startedAt = kNoTime;
  double finishedAt = kNoTime;
  // Start to verdict, seconds, when the source gives it; else from the two.
  double diskTime = kNoTime;
  std::string lot;           // "" when none
  std::string operatorName;  // "" when none
  // The serial number the disk's table held before this pass: a rework when
  // an earlier verdict gave that number.
  std::optional<std::uint32_t> previousSerial;
};

// A record that could not be read: where it was and why.
struct MalformedRecord {
  std::string source;   // file name or "database"
  std::string section;  // the section name, line number or row key
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
  void Add(bool pass, std::uint64_t n) { (pass ? passed : failed) += n; }
};

struct HourKey {
  int year = 0, month = 0, day = 0, hour = 0;
  auto operator<=>(const HourKey&) const = default;
};

// What a verdict is to the disk's history.
enum class ReworkClass : int {
  kFirstPass = 0,          // no earlier verdict gave its previous serial number
  kReworkAfterPass = 1,    // the latest earlier verdict with that number passed
  kReworkAfterFailure = 2  // ... failed
};

// First pass, rework and throughput of a set of verdicts.
//  - first-pass yield: passes among the verdicts that are not reworks;
//  - final yield: (first-pass passes + reworks that passed after a failure)
//    over the verdicts that are not reworks: the share of disks that came
//    out good in the end;
//  - disks per hour: verdicts over the hours from the first start to the
//    last finish; not known when a verdict's start is not (produce.log).
struct FlowStats {
  Tally all;
  Tally firstPass;
  Tally rework;
  std::uint64_t recovered = 0;  // reworks that passed after a failure
  std::uint64_t untimed = 0;    // verdicts whose start is not known
  double firstStart = kNoTime;
  double lastFinish = kNoTime;

  double FirstPassYield() const { return firstPass.YieldPercent(); }
  double FinalYield() const;
  // NaN when a start is not known or the span is under a second.
  double DisksPerHour() const;
  void Merge(const FlowStats& other);
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

// When a slot is slow though its disks pass. The disk time (start to
// verdict) of the passes of every slot with at least `minPasses` timed
// passes gives the slot's median; the line's typical time T is the median of
// those medians (robust to a few slow slots). A slot is marked when
//  - its median is at least `minExcess` (20 %) over T (slow enough to matter),
//  - and a sign test says it is not chance: if the slot were like the line,
//    each of its passes would be over T or under it with even odds; the
//    binomial tail P(X >= passes over T) at p = 1/2 for its passes not equal
//    to T is below `alpha` divided by the number of slots tested.
// Two or more slots with timed passes are needed to compare.
struct SlowSlotRule {
  std::uint64_t minPasses = 5;
  double minExcess = 0.20;
  double alpha = 0.01;
};

// A slot's disk times: what both ways in (every row, or the database's
// aggregates) give.
struct SlotTiming {
  std::uint64_t passes = 0;  // timed passes
  double median = kNoTime;   // seconds
  double tenth = kNoTime;    // 90th percentile: the slowest tenth take longer
  std::uint64_t over = 0;    // passes slower than the line's typical time
  std::uint64_t under = 0;   // faster
};

struct SlotStats {
  std::string station;
  int slot = 0;  // 0: unknown
  Tally tally;
  // The binomial tail against the rest (1 when not tested).
  double tailProbability = 1.0;
  bool outlier = false;
  SlotTiming timing;
  double slowTail = 1.0;  // the sign test's tail (1 when not tested)
  bool slow = false;
};

// A serial number in more than one pass record: a number on two disks (or a
// verdict counted from two sources that recorded the same disk).
struct RepeatedSerial {
  std::uint32_t serial = 0;
  std::uint64_t times = 0;
  std::vector<std::string> seenAt;  // pass records with it, in the order read (at most 20)
};

// A verdict of a disk made again.
struct ReworkEntry {
  std::string where;
  std::uint32_t serial = 0;
  std::uint32_t previousSerial = 0;
  bool passed = false;
  std::string errorCode;
  bool earlierPassed = false;
  double earlierFinished = kNoTime;
};

enum class GroupBy { kNone, kLot, kOperator, kStation, kSlot, kHour, kDay };
// "lot", ...; nothing for an unknown name.
std::optional<GroupBy> ParseGroupBy(const std::string& name);
const char* GroupByName(GroupBy by);

struct GroupRow {
  std::string label;
  FlowStats flow;
};

// The window: verdicts finished at or after `since` and before `until`
// (seconds since 1970 UTC; NaN: open).
struct ReportWindow {
  double since = kNoTime;
  double until = kNoTime;
  bool Open() const { return std::isnan(since) && std::isnan(until); }
  bool Contains(double finishedAt) const;
};

// How the time table groups: by hour, by day, or as the span asks (by day
// when the first and last hours are more than two days apart).
enum class TimeBuckets { kAuto, kHour, kDay };

struct YieldReport {
  Tally overall;
  FlowStats flow;
  std::map<std::string, std::uint64_t> failuresByErrorCode;
  bool daily = false;               // byTime's keys are days (hour 0)
  std::map<HourKey, FlowStats> byTime;  // chronological
  std::map<std::string, Tally> byStation;
  std::vector<SlotStats> bySlot;  // by station, then slot number
  GroupBy groupBy = GroupBy::kNone;
  std::vector<GroupRow> groups;  // in the key's order
  std::vector<ReworkEntry> reworks;  // at most kReworksListed, in the order read
  std::uint64_t reworkCount = 0;
  std::vector<MalformedRecord> malformed;  // at most kMalformedKept
  std::uint64_t malformedCount = 0;
  std::uint64_t damagedLines = 0;  // produce.jsonl lines skipped
  bool readJsonl = false;
  std::vector<std::string> sources;  // what was read, in order
  std::vector<RepeatedSerial> repeatedSerials;  // by serial number
  ReportWindow window;
  double typicalDiskTime = kNoTime;  // the slow-slot rule's T
  std::size_t slotsTimed = 0;
  OutlierRule rule;
  SlowSlotRule slowRule;
};

inline constexpr std::size_t kReworksListed = 50;
inline constexpr std::size_t kMalformedKept = 200;
inline constexpr std::size_t kSightingsListed = 20;

// P(X >= k) for X binomial with n trials of probability p.
double BinomialUpperTail(std::uint64_t n, std::uint64_t k, double p);

// percentile_cont of sorted values: linear between the two nearest ranks.
double PercentileCont(const std::vector<double>& sorted, double fraction);

// Disk times counted by value: how many passes took each (whole) number of
// seconds. The same percentile_cont as over the values one by one.
using TimeHistogram = std::map<double, std::uint64_t>;
double HistogramPercentile(const TimeHistogram& counts, double fraction);

// A disk time as the report counts it: whole seconds, cut down (so that
// counts kept by the line's database per second give the same figures as
// every row read).
inline double WholeSeconds(double seconds) { return std::floor(seconds); }

// The slow-slot rule's typical time T from the slots' medians.
double TypicalDiskTime(std::vector<double> medians);

// Replaces control characters (C0, DEL, C1, and bytes that are no UTF-8)
// by a visible "\xHH", so that no text from a record reaches a terminal raw.
std::string CleanText(std::string_view text);

// The counted form of verdicts: every way in ends here.
struct CellKey {
  std::string station;
  int slot = 0;
  HourKey time;  // hour, or day (hour 0) when counted by day
  bool passed = false;
  std::string errorCode;
  std::string group;  // the lot or operator for --by lot/operator, else ""
  ReworkClass rework = ReworkClass::kFirstPass;
  auto operator<=>(const CellKey&) const = default;
};
struct CellValue {
  std::uint64_t count = 0;
  std::uint64_t untimed = 0;  // of them, verdicts whose start is not known
  double firstStart = kNoTime;
  double lastFinish = kNoTime;
};

// Collects records and makes the report.
class YieldReportBuilder {
 public:
  YieldReportBuilder() = default;
  YieldReportBuilder(ReportWindow window, GroupBy by, TimeBuckets buckets = TimeBuckets::kAuto)
      : window_(window), by_(by), buckets_(buckets) {}

  const ReportWindow& Window() const { return window_; }
  GroupBy By() const { return by_; }
  TimeBuckets Buckets() const { return buckets_; }
  void SetBuckets(TimeBuckets buckets) { buckets_ = buckets; }

  void AddSource(std::string name) { report_.sources.push_back(CleanText(name)); }
  // A record: counted when the window takes it; its serial number is kept
  // either way, for telling reworks (an earlier verdict may lie before the
  // window).
  void Add(const VerdictRecord& record);
  void AddMalformed(MalformedRecord record);
  void AddDamagedLine(MalformedRecord record);
  void SetReadJsonl() { report_.readJsonl = true; }

  // Already counted (the database): cells, passes of a slot that took
  // `seconds` (whole), the repeats and the reworks listed (with their
  // count), malformed rows counted beyond those listed.
  void AddCell(CellKey key, const CellValue& value);
  void AddPassTimes(const std::string& station, int slot, double seconds, std::uint64_t passes);
  void AddRepeatedSerial(RepeatedSerial repeat) { repeats_.push_back(std::move(repeat)); }
  void AddRework(ReworkEntry entry) { reworks_.push_back(std::move(entry)); }
  void SetMalformedCount(std::uint64_t n) { report_.malformedCount = n; }

  std::uint64_t RecordCount() const { return records_; }

  YieldReport Build(const OutlierRule& rule = {}, const SlowSlotRule& slowRule = {}) const;

 private:
  struct Sighting {
    double finishedAt;
    bool passed;
  };
  ReportWindow window_;
  GroupBy by_ = GroupBy::kNone;
  TimeBuckets buckets_ = TimeBuckets::kAuto;
  YieldReport report_;
  std::uint64_t records_ = 0;
  std::map<CellKey, CellValue> cells_;
  // Passes' disk times by slot, from records or counted.
  std::map<std::pair<std::string, int>, TimeHistogram> diskTimes_;
  // From records one at a time.
  std::unordered_map<std::uint32_t, std::vector<std::string>> passSerials_;
  std::unordered_map<std::uint32_t, std::vector<Sighting>> serialHistory_;
  std::vector<VerdictRecord> reworkCandidates_;
  // Already counted.
  std::vector<RepeatedSerial> repeats_;
  std::vector<ReworkEntry> reworks_;
};

}  // namespace kx20
