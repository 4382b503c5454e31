#include "report/yield_report.h"

#include <algorithm>
#include <cmath>

namespace kx20 {

double Tally::YieldPercent() const {
  return Total() == 0 ? 0.0 : 100.0 * static_cast<double>(passed) / static_cast<double>(Total());
}

double Tally::FailRate() const {
  return Total() == 0 ? 0.0 : static_cast<double>(failed) / static_cast<double>(Total());
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

void YieldReportBuilder::Add(const VerdictRecord& r) {
  report_.overall.Add(r.passed);
  if (!r.passed) ++report_.failuresByErrorCode[r.errorCode.empty() ? "(none)" : r.errorCode];
  report_.byHour[HourKey{r.year, r.month, r.day, r.hour}].Add(r.passed);
  report_.byStation[r.station].Add(r.passed);
  slots_[{r.station, r.slot < 0 ? 0 : r.slot}].Add(r.passed);
  if (r.passed && r.serial != 0) passSerials_[r.serial].push_back(r.where);
}

YieldReport YieldReportBuilder::Build(const OutlierRule& rule) const {
  YieldReport report = report_;
  report.rule = rule;
  report.bySlot.clear();
  for (const auto& [serial, seenAt] : passSerials_) {
    if (seenAt.size() > 1) report.repeatedSerials.push_back(RepeatedSerial{serial, seenAt});
  }
  std::sort(report.repeatedSerials.begin(), report.repeatedSerials.end(),
            [](const RepeatedSerial& a, const RepeatedSerial& b) { return a.serial < b.serial; });

  Tally known;
  std::size_t knownSlots = 0;
  for (const auto& [key, tally] : slots_) {
    report.bySlot.push_back(SlotStats{key.first, key.second, tally, 1.0, false});
    if (key.second != 0) {
      known.passed += tally.passed;
      known.failed += tally.failed;
      ++knownSlots;
    }
  }
  if (knownSlots < 2) return report;  // nothing to compare a slot with

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
  return report;
}

}  // namespace kx20
