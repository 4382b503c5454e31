#include "report/yield_report.h"

#include <algorithm>
#include <cstdio>

#include "common/utf8.h"
#include "report/report_time.h"

namespace kx20 {

double Tally::YieldPercent() const {
  return Total() == 0 ? 0.0 : 100.0 * static_cast<double>(passed) / static_cast<double>(Total());
}

double Tally::FailRate() const {
  return Total() == 0 ? 0.0 : static_cast<double>(failed) / static_cast<double>(Total());
}

double FlowStats::FinalYield() const {
  if (firstPass.Total() == 0) return 0.0;
  return 100.0 * static_cast<double>(firstPass.passed + recovered) /
         static_cast<double>(firstPass.Total());
}

double FlowStats::DisksPerHour() const {
  const double span = lastFinish - firstStart;
  if (untimed > 0 || !(span >= 1.0)) return kNoTime;
  return static_cast<double>(all.Total()) * 3600.0 / span;
}

namespace {

double MinTime(double a, double b) { return std::isnan(a) ? b : std::isnan(b) ? a : std::min(a, b); }
double MaxTime(double a, double b) { return std::isnan(a) ? b : std::isnan(b) ? a : std::max(a, b); }

}  // namespace

void FlowStats::Merge(const FlowStats& o) {
  all.passed += o.all.passed;
  all.failed += o.all.failed;
  firstPass.passed += o.firstPass.passed;
  firstPass.failed += o.firstPass.failed;
  rework.passed += o.rework.passed;
  rework.failed += o.rework.failed;
  recovered += o.recovered;
  untimed += o.untimed;
  firstStart = MinTime(firstStart, o.firstStart);
  lastFinish = MaxTime(lastFinish, o.lastFinish);
}

bool ReportWindow::Contains(double t) const {
  if (Open()) return true;
  if (std::isnan(t)) return false;
  return (std::isnan(since) || t >= since) && (std::isnan(until) || t < until);
}

std::optional<GroupBy> ParseGroupBy(const std::string& name) {
  static const std::pair<const char*, GroupBy> kNames[] = {
      {"lot", GroupBy::kLot},   {"operator", GroupBy::kOperator}, {"station", GroupBy::kStation},
      {"slot", GroupBy::kSlot}, {"hour", GroupBy::kHour},         {"day", GroupBy::kDay}};
  for (const auto& [n, by] : kNames) {
    if (name == n) return by;
  }
  return std::nullopt;
}

const char* GroupByName(GroupBy by) {
  switch (by) {
    case GroupBy::kLot: return "lot";
    case GroupBy::kOperator: return "operator";
    case GroupBy::kStation: return "station";
    case GroupBy::kSlot: return "slot";
    case GroupBy::kHour: return "hour";
    case GroupBy::kDay: return "day";
    case GroupBy::kNone: break;
  }
  return "none";
}

double BinomialUpperTail(std::uint64_t n, std::uint64_t k, double p) {
  if (k == 0) return 1.0;
  if (k > n || p <= 0.0) return 0.0;
  if (p >= 1.0) return 1.0;
  const double dn = static_cast<double>(n);
  const double logP = std::log(p);
  const double logQ = std::log1p(-p);
  const double logNFact = std::lgamma(dn + 1.0);
  double sum = 0.0;
  for (std::uint64_t i = k; i <= n; ++i) {
    const double di = static_cast<double>(i);
    const double logTerm = logNFact - std::lgamma(di + 1.0) - std::lgamma(dn - di + 1.0) +
                           di * logP + (dn - di) * logQ;
    const double term = std::exp(logTerm);
    sum += term;
    // Past the mode the terms only shrink: stop once they no longer count.
    if (di > dn * p && term < sum * 1e-17) break;
  }
  return std::min(sum, 1.0);
}

double PercentileCont(const std::vector<double>& v, double fraction) {
  if (v.empty()) return kNoTime;
  const double pos = fraction * static_cast<double>(v.size() - 1);
  const std::size_t lo = static_cast<std::size_t>(std::floor(pos));
  const std::size_t hi = static_cast<std::size_t>(std::ceil(pos));
  return v[lo] + (pos - static_cast<double>(lo)) * (v[hi] - v[lo]);
}

double HistogramPercentile(const TimeHistogram& counts, double fraction) {
  std::uint64_t n = 0;
  for (const auto& [value, count] : counts) n += count;
  if (n == 0) return kNoTime;
  const double pos = fraction * static_cast<double>(n - 1);
  const auto lo = static_cast<std::uint64_t>(std::floor(pos));
  const auto hi = static_cast<std::uint64_t>(std::ceil(pos));
  // The values at ranks lo and hi (0-based).
  double atLo = kNoTime, atHi = kNoTime;
  std::uint64_t below = 0;
  for (const auto& [value, count] : counts) {
    if (count == 0) continue;
    if (std::isnan(atLo) && lo < below + count) atLo = value;
    if (hi < below + count) {
      atHi = value;
      break;
    }
    below += count;
  }
  return atLo + (pos - static_cast<double>(lo)) * (atHi - atLo);
}

double TypicalDiskTime(std::vector<double> medians) {
  std::sort(medians.begin(), medians.end());
  return PercentileCont(medians, 0.5);
}

std::string CleanText(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  const auto escape = [&](unsigned char c) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    out += hex;
  };
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7F) {
      escape(c);
      ++i;
      continue;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    // A whole, shortest UTF-8 sequence, or escaped byte by byte; U+0080..U+009F
    // (C2 80..C2 9F) are control characters too. A C2 lead byte is escaped
    // with the byte after it.
    const std::size_t len = Utf8SequenceAt(s, i);
    if (len == 0 || (c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0)) {
      const std::size_t n = c == 0xC2 && i + 1 < s.size() ? 2 : 1;
      for (std::size_t k = 0; k < n; ++k) escape(static_cast<unsigned char>(s[i + k]));
      i += n;
      continue;
    }
    out.append(s.substr(i, len));
    i += len;
  }
  return out;
}

void YieldReportBuilder::AddMalformed(MalformedRecord m) {
  ++report_.malformedCount;
  if (report_.malformed.size() < kMalformedKept) {
    report_.malformed.push_back(
        MalformedRecord{CleanText(m.source), CleanText(m.section), CleanText(m.reason)});
  }
}

void YieldReportBuilder::AddDamagedLine(MalformedRecord m) {
  ++report_.damagedLines;
  AddMalformed(std::move(m));
}

namespace {

std::string GroupValue(const VerdictRecord& r, GroupBy by) {
  if (by == GroupBy::kLot) return r.lot;
  if (by == GroupBy::kOperator) return r.operatorName;
  return {};
}

}  // namespace

void YieldReportBuilder::Add(const VerdictRecord& in) {
  const bool counted = window_.Contains(in.finishedAt);
  if (in.serial != 0) serialHistory_[in.serial].push_back(Sighting{in.finishedAt, in.passed});
  if (!counted) return;
  ++records_;
  VerdictRecord r = in;
  r.station = CleanText(r.station);
  r.errorCode = CleanText(r.errorCode);
  r.where = CleanText(r.where);
  r.lot = CleanText(r.lot);
  r.operatorName = CleanText(r.operatorName);
  if (r.slot < 0) r.slot = 0;
  if (r.passed && r.serial != 0) passSerials_[r.serial].push_back(r.where);
  const double diskTime = std::isnan(r.diskTime) ? r.finishedAt - r.startedAt : r.diskTime;
  if (r.passed && r.slot != 0 && !std::isnan(diskTime)) {
    ++diskTimes_[{r.station, r.slot}][WholeSeconds(diskTime)];
  }
  if (r.previousSerial) {
    reworkCandidates_.push_back(std::move(r));  // told at the end, when every record is in
    return;
  }
  AddCell(CellKey{r.station, r.slot, HourKey{r.year, r.month, r.day, r.hour}, r.passed,
                  r.passed ? std::string() : r.errorCode, GroupValue(r, by_), ReworkClass::kFirstPass},
          CellValue{1, std::isnan(r.startedAt) ? 1u : 0u, r.startedAt, r.finishedAt});
  --records_;  // AddCell counted it again
}

void YieldReportBuilder::AddCell(CellKey key, const CellValue& value) {
  key.station = CleanText(key.station);
  key.errorCode = CleanText(key.errorCode);
  key.group = CleanText(key.group);
  if (key.slot < 0) key.slot = 0;
  records_ += value.count;
  CellValue& cell = cells_[std::move(key)];
  cell.count += value.count;
  cell.untimed += value.untimed;
  cell.firstStart = MinTime(cell.firstStart, value.firstStart);
  cell.lastFinish = MaxTime(cell.lastFinish, value.lastFinish);
}

void YieldReportBuilder::AddPassTimes(const std::string& station, int slot, double seconds,
                                      std::uint64_t passes) {
  if (slot <= 0 || passes == 0 || std::isnan(seconds)) return;
  diskTimes_[{CleanText(station), slot}][WholeSeconds(seconds)] += passes;
}

namespace {

std::string TwoDigits(int v) {
  char b[16];
  std::snprintf(b, sizeof b, "%02d", v);
  return b;
}

std::string DayText(const HourKey& h) {
  char b[32];
  std::snprintf(b, sizeof b, "%04d-%02d-%02d", h.year, h.month, h.day);
  return b;
}

// Hours between two keys (for the choice of hours or days).
double HoursBetween(const HourKey& a, const HourKey& b) {
  return static_cast<double>(DaysFromCivil(b.year, b.month, b.day) -
                             DaysFromCivil(a.year, a.month, a.day)) * 24.0 + (b.hour - a.hour);
}

void AddToFlow(FlowStats& f, const CellKey& k, const CellValue& v) {
  f.all.Add(k.passed, v.count);
  if (k.rework == ReworkClass::kFirstPass) {
    f.firstPass.Add(k.passed, v.count);
  } else {
    f.rework.Add(k.passed, v.count);
    if (k.passed && k.rework == ReworkClass::kReworkAfterFailure) f.recovered += v.count;
  }
  f.untimed += v.untimed;
  f.firstStart = MinTime(f.firstStart, v.firstStart);
  f.lastFinish = MaxTime(f.lastFinish, v.lastFinish);
}

}  // namespace

YieldReport YieldReportBuilder::Build(const OutlierRule& rule, const SlowSlotRule& slowRule) const {
  YieldReport report = report_;
  report.rule = rule;
  report.slowRule = slowRule;
  report.window = window_;
  report.groupBy = by_;

  // Reworks: the latest earlier verdict with the previous serial number.
  // (The reworks' cells apart: every sum below only adds cells up, and a
  // copy of all cells would double the memory of a large report.)
  std::map<CellKey, CellValue> reworkCells;
  std::vector<ReworkEntry> reworks = reworks_;
  const auto addCell = [&](CellKey key, const CellValue& value) {
    CellValue& cell = reworkCells[std::move(key)];
    cell.count += value.count;
    cell.untimed += value.untimed;
    cell.firstStart = MinTime(cell.firstStart, value.firstStart);
    cell.lastFinish = MaxTime(cell.lastFinish, value.lastFinish);
  };
  for (const VerdictRecord& r : reworkCandidates_) {
    ReworkClass rework = ReworkClass::kFirstPass;
    const Sighting* earlier = nullptr;
    const auto found = serialHistory_.find(*r.previousSerial);
    if (found != serialHistory_.end()) {
      for (const Sighting& s : found->second) {
        if (s.finishedAt < r.finishedAt && (earlier == nullptr || s.finishedAt >= earlier->finishedAt)) {
          earlier = &s;
        }
      }
    }
    if (earlier != nullptr) {
      rework = earlier->passed ? ReworkClass::kReworkAfterPass : ReworkClass::kReworkAfterFailure;
      if (reworks.size() < kReworksListed) {
        reworks.push_back(ReworkEntry{r.where, r.serial, *r.previousSerial, r.passed,
                                      r.passed ? std::string() : r.errorCode, earlier->passed,
                                      earlier->finishedAt});
      }
    }
    addCell(CellKey{r.station, r.slot, HourKey{r.year, r.month, r.day, r.hour}, r.passed,
                    r.passed ? std::string() : r.errorCode, GroupValue(r, by_), rework},
            CellValue{1, std::isnan(r.startedAt) ? 1u : 0u, r.startedAt, r.finishedAt});
  }
  report.reworks = std::move(reworks);

  // Hours or days.
  bool daily = buckets_ == TimeBuckets::kDay;
  const std::map<CellKey, CellValue>* const parts[] = {&cells_, &reworkCells};
  if (buckets_ == TimeBuckets::kAuto && !(cells_.empty() && reworkCells.empty())) {
    HourKey first = (cells_.empty() ? reworkCells : cells_).begin()->first.time, last = first;
    for (const auto* part : parts) {
      for (const auto& [k, v] : *part) {
        first = std::min(first, k.time);
        last = std::max(last, k.time);
      }
    }
    daily = HoursBetween(first, last) > 48 && by_ != GroupBy::kHour;
  }
  report.daily = daily;

  std::map<std::pair<std::string, int>, Tally> slots;
  std::map<std::string, GroupRow> groups;
  for (const auto* part : parts) {
    for (const auto& [k, v] : *part) {
      report.overall.Add(k.passed, v.count);
      AddToFlow(report.flow, k, v);
      if (!k.passed) report.failuresByErrorCode[k.errorCode.empty() ? "(none)" : k.errorCode] += v.count;
      HourKey t = k.time;
      if (daily) t.hour = 0;
      AddToFlow(report.byTime[t], k, v);
      report.byStation[k.station].Add(k.passed, v.count);
      slots[{k.station, k.slot}].Add(k.passed, v.count);
      if (by_ == GroupBy::kNone) continue;
      std::string sortKey, label;
      switch (by_) {
        case GroupBy::kLot:
        case GroupBy::kOperator:
          label = k.group.empty() ? "(none)" : k.group;
          sortKey = k.group;
          break;
        case GroupBy::kStation:
          label = sortKey = k.station;
          break;
        case GroupBy::kSlot: {
          char padded[16];
          std::snprintf(padded, sizeof padded, "%08d", k.slot);
          sortKey = k.station + '\x01' + padded;
          label = k.station + " #" + (k.slot == 0 ? std::string("?") : std::to_string(k.slot));
          break;
        }
        case GroupBy::kHour:
          label = sortKey = DayText(k.time) + " " + TwoDigits(k.time.hour) + ":00";
          break;
        case GroupBy::kDay:
          label = sortKey = DayText(k.time);
          break;
        case GroupBy::kNone:
          break;
      }
      GroupRow& row = groups[sortKey];
      row.label = label;
      AddToFlow(row.flow, k, v);
    }
  }
  for (auto& [key, row] : groups) report.groups.push_back(std::move(row));
  report.reworkCount = report.flow.rework.Total();

  // Repeated pass serial numbers.
  for (const auto& [serial, seenAt] : passSerials_) {
    if (seenAt.size() < 2) continue;
    RepeatedSerial repeat{serial, seenAt.size(), {}};
    for (std::size_t i = 0; i < seenAt.size() && i < kSightingsListed; ++i) {
      repeat.seenAt.push_back(seenAt[i]);
    }
    report.repeatedSerials.push_back(std::move(repeat));
  }
  for (const RepeatedSerial& r : repeats_) report.repeatedSerials.push_back(r);
  std::sort(report.repeatedSerials.begin(), report.repeatedSerials.end(),
            [](const RepeatedSerial& a, const RepeatedSerial& b) { return a.serial < b.serial; });

  // Failure outliers.
  Tally known;
  std::size_t knownSlots = 0;
  for (const auto& [key, tally] : slots) {
    report.bySlot.push_back(SlotStats{key.first, key.second, tally, 1.0, false, {}, 1.0, false});
    if (key.second != 0) {
      known.passed += tally.passed;
      known.failed += tally.failed;
      ++knownSlots;
    }
  }
  if (knownSlots >= 2) {
    const double alpha = rule.alpha / static_cast<double>(knownSlots);
    for (SlotStats& s : report.bySlot) {
      if (s.slot == 0) continue;
      const std::uint64_t restFailed = known.failed - s.tally.failed;
      const std::uint64_t restTotal = known.Total() - s.tally.Total();
      const double restRate =
          (static_cast<double>(restFailed) + 0.5) / (static_cast<double>(restTotal) + 1.0);
      s.tailProbability = BinomialUpperTail(s.tally.Total(), s.tally.failed, restRate);
      s.outlier = s.tally.Total() >= rule.minRecords && s.tally.failed >= rule.minFailures &&
                  s.tally.FailRate() > restRate && s.tailProbability < alpha;
    }
  }

  // Disk times, from the records' own times or as the database counted them.
  std::map<std::pair<std::string, int>, SlotTiming> timings;
  for (const auto& [key, counts] : diskTimes_) {
    SlotTiming& t = timings[key];
    for (const auto& [value, count] : counts) t.passes += count;
    t.median = HistogramPercentile(counts, 0.5);
    t.tenth = HistogramPercentile(counts, 0.9);
  }
  std::vector<double> medians;
  for (const auto& [key, t] : timings) {
    if (t.passes >= slowRule.minPasses) medians.push_back(t.median);
  }
  report.slotsTimed = medians.size();
  report.typicalDiskTime = TypicalDiskTime(medians);
  for (const auto& [key, counts] : diskTimes_) {
    SlotTiming& t = timings[key];
    for (const auto& [value, count] : counts) {
      if (value > report.typicalDiskTime) t.over += count;
      if (value < report.typicalDiskTime) t.under += count;
    }
  }
  const double slowAlpha = slowRule.alpha / static_cast<double>(std::max<std::size_t>(medians.size(), 1));
  for (SlotStats& s : report.bySlot) {
    const auto found = timings.find({s.station, s.slot});
    if (found == timings.end()) continue;
    s.timing = found->second;
    if (medians.size() < 2 || s.timing.passes < slowRule.minPasses) continue;
    s.slowTail = BinomialUpperTail(s.timing.over + s.timing.under, s.timing.over, 0.5);
    s.slow = s.timing.median >= (1.0 + slowRule.minExcess) * report.typicalDiskTime &&
             s.slowTail < slowAlpha;
  }
  return report;
}

}  // namespace kx20
