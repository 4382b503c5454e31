#include "report/report_render.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "report/report_time.h"

namespace kx20 {
namespace {

// MinGW's C++ runtime formats the C99 way (%zu, %llu): check against that.
#if defined(__MINGW32__) && !defined(__clang__)
#define KX20_PRINTF_FORMAT gnu_printf
#else
#define KX20_PRINTF_FORMAT printf
#endif
std::string Format(const char* format, ...) __attribute__((format(KX20_PRINTF_FORMAT, 1, 2)));
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(out.data(), out.size() + 1, format, again);
  va_end(again);
  return out;
}

std::string Percent(double value) { return Format("%.1f %%", value); }

std::string Padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string RightAligned(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

constexpr std::size_t kMalformedListed = 50;

std::string SerialText(std::uint32_t serial) { return Format("%08u", serial); }

std::uint64_t RepeatCount(const YieldReport& r) { return r.repeatedSerials.size(); }

std::string Rate(double perHour) {
  return std::isnan(perHour) ? std::string("-") : Format("%.1f", perHour);
}

std::string SecondsText(double s) { return std::isnan(s) ? std::string("-") : Format("%.1f s", s); }

std::string TimeKey(const HourKey& h, bool daily) {
  return daily ? Format("%04d-%02d-%02d", h.year, h.month, h.day) : FormatHour(h);
}

std::string WindowText(const ReportWindow& w) {
  if (w.Open()) return "all records";
  return (std::isnan(w.since) ? std::string("the first record") : FormatUtc(w.since)) + " to " +
         (std::isnan(w.until) ? std::string("the last record") : FormatUtc(w.until)) +
         " (finished in it)";
}

std::string Flow(const FlowStats& f) {
  return Format("first-pass yield: %s   final yield: %s   reworks: %llu (%llu passed)   disks/h: %s",
                Percent(f.FirstPassYield()).c_str(), Percent(f.FinalYield()).c_str(),
                static_cast<unsigned long long>(f.rework.Total()),
                static_cast<unsigned long long>(f.rework.passed), Rate(f.DisksPerHour()).c_str());
}

}  // namespace

std::string FormatHour(const HourKey& h) {
  return Format("%04d-%02d-%02d %02d:00", h.year, h.month, h.day, h.hour);
}

std::string SlotLabel(int slot) { return slot == 0 ? "unknown" : std::to_string(slot); }

std::string DescribeSlowRule(const YieldReport& r) {
  if (r.slotsTimed < 2) {
    return "no slot is marked slow: that takes two or more slots with at least " +
           std::to_string(r.slowRule.minPasses) +
           " timed passes (start and finish known: produce.jsonl or the line's database)";
  }
  return Format(
      "a slot is marked slow when its median disk time is at least %.0f %% over the line's typical "
      "time T = %.1f s (the median of the %zu slots' medians) and, were it like the line, so many "
      "of its passes over T would be unlikely: sign test, binomial tail at p = 1/2 below %g / %zu "
      "slots",
      100.0 * r.slowRule.minExcess, r.typicalDiskTime, r.slotsTimed, r.slowRule.alpha,
      r.slotsTimed);
}

std::string DescribeOutlierRule(const YieldReport& report) {
  std::size_t knownSlots = 0;
  for (const SlotStats& s : report.bySlot) knownSlots += s.slot != 0 ? 1 : 0;
  if (knownSlots < 2) {
    return "no slot is marked: that takes records of two or more known slots (produce.log "
           "records carry no slot; the line's database does)";
  }
  return Format(
      "a slot is marked when it has at least %llu records and %llu failures and the chance of "
      "that many failures at the failure rate of the other slots (binomial tail) is below "
      "%g / %zu slots",
      static_cast<unsigned long long>(report.rule.minRecords),
      static_cast<unsigned long long>(report.rule.minFailures), report.rule.alpha, knownSlots);
}

std::string RenderReportText(const YieldReport& r) {
  std::string out = "kx20 yield report\n";
  if (!r.sources.empty()) {
    out += "sources:";
    for (const std::string& s : r.sources) out += " " + s;
    out += "\n";
  }
  out += Format("records: %llu   passed: %llu   failed: %llu   yield: %s\n",
                static_cast<unsigned long long>(r.overall.Total()),
                static_cast<unsigned long long>(r.overall.passed),
                static_cast<unsigned long long>(r.overall.failed),
                Percent(r.overall.YieldPercent()).c_str());
  out += Format("malformed sections: %llu\n", static_cast<unsigned long long>(r.malformedCount));
  if (r.readJsonl) {
    out += Format("damaged produce.jsonl lines skipped: %llu\n",
                  static_cast<unsigned long long>(r.damagedLines));
  }
  out += Format("repeated serial numbers: %llu\n",
                static_cast<unsigned long long>(RepeatCount(r)));
  out += "window: " + WindowText(r.window) + "\n";
  out += Flow(r.flow) + "\n";

  const auto tallyColumns = [](const Tally& t) {
    return Format("%8llu %8llu %8llu %9s", static_cast<unsigned long long>(t.Total()),
                  static_cast<unsigned long long>(t.passed),
                  static_cast<unsigned long long>(t.failed), Percent(t.YieldPercent()).c_str());
  };
  const std::string tallyHeader = Format("%8s %8s %8s %9s", "total", "passed", "failed", "yield");

  out += "\nby error code\n";
  std::size_t codeWidth = 10;
  for (const auto& [code, n] : r.failuresByErrorCode) codeWidth = std::max(codeWidth, code.size());
  out += "  " + Padded("error code", codeWidth) + Format(" %8s %9s\n", "failures", "share");
  if (r.failuresByErrorCode.empty()) out += "  (no failures)\n";
  for (const auto& [code, n] : r.failuresByErrorCode) {
    const double share = 100.0 * static_cast<double>(n) / static_cast<double>(r.overall.failed);
    out += "  " + Padded(code, codeWidth) +
           Format(" %8llu %9s\n", static_cast<unsigned long long>(n), Percent(share).c_str());
  }

  out += r.daily ? "\nby day\n" : "\nby hour\n";
  out += "  " + Padded(r.daily ? "day" : "hour", 16) + " " + tallyHeader + Format(" %8s", "disks/h") + "\n";
  for (const auto& [hour, f] : r.byTime) {
    out += "  " + Padded(TimeKey(hour, r.daily), 16) + " " + tallyColumns(f.all) +
           Format(" %8s", Rate(f.DisksPerHour()).c_str()) + "\n";
  }

  std::size_t stationWidth = 7;
  for (const auto& [station, t] : r.byStation) stationWidth = std::max(stationWidth, station.size());

  out += "\nby station\n";
  out += "  " + Padded("station", stationWidth) + " " + tallyHeader + "\n";
  for (const auto& [station, t] : r.byStation) {
    out += "  " + Padded(station, stationWidth) + " " + tallyColumns(t) + "\n";
  }

  out += "\nby slot\n";
  out += "  " + Padded("station", stationWidth) + " " + RightAligned("slot", 7) + " " +
         Format("%8s %8s %8s %9s %9s", "total", "passed", "failed", "fail rate", "tail") + "\n";
  for (const SlotStats& s : r.bySlot) {
    out += "  " + Padded(s.station, stationWidth) + " " + RightAligned(SlotLabel(s.slot), 7) + " " +
           Format("%8llu %8llu %8llu %9s", static_cast<unsigned long long>(s.tally.Total()),
                  static_cast<unsigned long long>(s.tally.passed),
                  static_cast<unsigned long long>(s.tally.failed),
                  Percent(100.0 * s.tally.FailRate()).c_str());
    out += s.slot == 0 ? Format(" %9s", "-") : Format(" %9.2g", s.tailProbability);
    if (s.outlier) out += "  STANDS OUT: check this hub port";
    out += "\n";
  }
  out += "  (" + DescribeOutlierRule(r) + ")\n";

  out += "\ndisk time by slot (passes, start to verdict)\n";
  out += "  " + Padded("station", stationWidth) + " " + RightAligned("slot", 7) + " " +
         Format("%8s %9s %9s %6s %6s %9s", "passes", "median", "90th %", "over", "under", "tail") + "\n";
  for (const SlotStats& s : r.bySlot) {
    if (s.timing.passes == 0) continue;
    out += "  " + Padded(s.station, stationWidth) + " " + RightAligned(SlotLabel(s.slot), 7) + " " +
           Format("%8llu %9s %9s %6llu %6llu", static_cast<unsigned long long>(s.timing.passes),
                  SecondsText(s.timing.median).c_str(), SecondsText(s.timing.tenth).c_str(),
                  static_cast<unsigned long long>(s.timing.over),
                  static_cast<unsigned long long>(s.timing.under));
    out += s.slowTail < 1.0 ? Format(" %9.2g", s.slowTail) : Format(" %9s", "-");
    if (s.slow) out += "  SLOW: check this hub port";
    out += "\n";
  }
  out += "  (" + DescribeSlowRule(r) + ")\n";

  if (r.groupBy != GroupBy::kNone) {
    std::size_t w = 8;
    for (const GroupRow& g : r.groups) w = std::max(w, g.label.size());
    out += std::string("\nby ") + GroupByName(r.groupBy) + "\n";
    out += "  " + Padded(GroupByName(r.groupBy), w) + " " + tallyHeader +
           Format(" %10s %9s %8s %8s", "first pass", "final", "reworks", "disks/h") + "\n";
    for (const GroupRow& g : r.groups) {
      out += "  " + Padded(g.label, w) + " " + tallyColumns(g.flow.all) +
             Format(" %10s %9s %8llu %8s", Percent(g.flow.FirstPassYield()).c_str(),
                    Percent(g.flow.FinalYield()).c_str(),
                    static_cast<unsigned long long>(g.flow.rework.Total()),
                    Rate(g.flow.DisksPerHour()).c_str()) + "\n";
    }
  }

  out += Format("\nreworks (a disk whose previous serial number an earlier verdict gave): %llu\n",
                static_cast<unsigned long long>(r.reworkCount));
  for (const ReworkEntry& e : r.reworks) {
    out += "  " + e.where + ": " + (e.passed ? std::string("Pass") : "FAIL " + e.errorCode) +
           Format(", serial %s, was %s (%s at %s)\n", SerialText(e.serial).c_str(),
                  SerialText(e.previousSerial).c_str(), e.earlierPassed ? "passed" : "failed",
                  std::isnan(e.earlierFinished) ? "?" : FormatUtc(e.earlierFinished).c_str());
  }
  if (r.reworkCount > r.reworks.size()) {
    out += Format("  ... and %llu more\n",
                  static_cast<unsigned long long>(r.reworkCount - r.reworks.size()));
  }

  out += "\nrepeated serial numbers (a pass serial seen more than once)\n";
  if (r.repeatedSerials.empty()) out += "  none\n";
  for (const RepeatedSerial& repeat : r.repeatedSerials) {
    out += Format("  %s  seen %llu times:\n", SerialText(repeat.serial).c_str(),
                  static_cast<unsigned long long>(repeat.times));
    for (const std::string& place : repeat.seenAt) out += "    " + place + "\n";
    if (repeat.times > repeat.seenAt.size()) {
      out += Format("    ... and %llu more\n",
                    static_cast<unsigned long long>(repeat.times - repeat.seenAt.size()));
    }
  }

  if (!r.malformed.empty()) {
    out += "\nmalformed sections\n";
    for (std::size_t i = 0; i < r.malformed.size() && i < kMalformedListed; ++i) {
      const MalformedRecord& m = r.malformed[i];
      out += "  " + m.source + " [" + m.section + "]: " + m.reason + "\n";
    }
    const std::size_t listed = std::min(r.malformed.size(), kMalformedListed);
    if (r.malformedCount > listed) {
      out += Format("  ... and %llu more\n", static_cast<unsigned long long>(r.malformedCount - listed));
    }
  }
  // Nothing from a record reaches the terminal raw (the readers clean the
  // records' texts; this catches any other way in, such as a source's name).
  std::string clean;
  clean.reserve(out.size());
  std::size_t start = 0;
  for (std::size_t nl = out.find('\n'); nl != std::string::npos; nl = out.find('\n', start)) {
    clean += CleanText(std::string_view(out).substr(start, nl - start)) + "\n";
    start = nl + 1;
  }
  clean += CleanText(std::string_view(out).substr(start));
  return clean;
}

// ---------------------------------------------------------------------------
// HTML

namespace {

std::string Escape(std::string_view raw) {
  const std::string text = CleanText(raw);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default:
        // Control characters have no place in the page.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t') {
          out += ' ';
        } else {
          out += c;
        }
    }
  }
  return out;
}

constexpr const char* kPassColour = "#2e9d4a";
constexpr const char* kFailColour = "#d9822b";
constexpr const char* kOutlierColour = "#c62828";
constexpr const char* kRecoveredColour = "#9ccc65";
constexpr const char* kSpreadColour = "#90a4ae";
constexpr const char* kAxisColour = "#555";
constexpr const char* kGridColour = "#ddd";

// A label cut to `width` characters in the middle, where paths and names
// differ least ("line-1/st~/produce.log").
std::string Shortened(const std::string& label, std::size_t width) {
  if (label.size() <= width) return label;
  const auto continuation = [&](std::size_t i) {
    return (static_cast<unsigned char>(label[i]) & 0xC0) == 0x80;
  };
  std::size_t head = (width - 1) / 2;
  std::size_t tailStart = label.size() - (width - 1 - head);
  // Never cut a UTF-8 character in two.
  while (head > 0 && continuation(head)) --head;
  while (tailStart < label.size() && continuation(tailStart)) ++tailStart;
  return label.substr(0, head) + "~" + label.substr(tailStart);
}

// The smallest of 1, 2, 5 x 10^n (n >= 0) at or above `value`.
double NiceCeiling(double value) {
  if (value <= 1) return 1;
  double step = 1;
  while (step * 10 < value) step *= 10;
  for (const double m : {1.0, 2.0, 5.0, 10.0}) {
    if (m * step >= value) return m * step;
  }
  return 10 * step;
}

struct Bar {
  std::string label;
  double value = 0;       // in the chart's unit
  std::string note;       // shown above or after the bar
  const char* colour = kPassColour;
  std::string tooltip;    // <title>, shown on hover
};

// About how wide a text of `chars` characters is at 11 px.
double TextWidth(std::size_t chars) { return 6.4 * static_cast<double>(chars); }

// A vertical bar chart, 0..maxValue on the y axis, one bar per label. Every
// bar keeps room for its label (the chart grows wider, the page scrolls);
// the notes above the bars are shown when each fits over its bar without
// touching the next, else left to the bars' tooltips and the table.
std::string VerticalBars(const std::string& title, const std::vector<Bar>& bars, double maxValue,
                         const std::string& unit) {
  constexpr double kMinPitch = 18;    // a rotated label's line height and a gap
  constexpr double kMaxNotedWidth = 2400;
  const int height = 340, left = 56, right = 16, top = 36, bottom = 100;
  std::size_t noteChars = 0;
  for (const Bar& b : bars) noteChars = std::max(noteChars, b.note.size());
  const double notedPitch = std::max(kMinPitch, TextWidth(noteChars) + 8);
  const double n = static_cast<double>(bars.size());
  bool notes = noteChars > 0 && left + right + n * notedPitch <= kMaxNotedWidth;
  const double pitchNeeded = notes ? notedPitch : kMinPitch;
  const int width = std::max(960, static_cast<int>(std::ceil(left + right + n * pitchNeeded)));
  const int plotW = width - left - right, plotH = height - top - bottom;
  std::string svg = Format(
      "<div class=\"wide\"><svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
      "viewBox=\"0 0 %d %d\" role=\"img\"><title>%s</title>\n",
      width, height, width, height, Escape(title).c_str());
  svg += Format("<text x=\"%d\" y=\"22\" class=\"ct\">%s</text>\n", left, Escape(title).c_str());
  if (maxValue <= 0) maxValue = 1;
  for (int i = 0; i <= 4; ++i) {
    const double v = maxValue * i / 4;
    const double y = top + plotH - plotH * i / 4.0;
    svg += Format(
        "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"%s\"/>"
        "<text x=\"%d\" y=\"%.1f\" class=\"ax\" text-anchor=\"end\">%.4g%s</text>\n",
        left, y, left + plotW, y, i == 0 ? kAxisColour : kGridColour, left - 6, y + 4, v,
        Escape(unit).c_str());
  }
  if (bars.empty()) {
    svg += Format("<text x=\"%d\" y=\"%d\" class=\"ax\">no records</text>\n", left + 10,
                  top + plotH / 2);
  }
  const double pitch = bars.empty() ? 0 : static_cast<double>(plotW) / n;
  const double barW = std::clamp(pitch * 0.7, 1.0, 48.0);
  for (std::size_t i = 0; i < bars.size(); ++i) {
    const Bar& b = bars[i];
    const double h = std::clamp(b.value / maxValue, 0.0, 1.0) * plotH;
    const double x = left + pitch * i + (pitch - barW) / 2;
    const double y = top + plotH - h;
    svg += Format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\">",
                  x, y, barW, std::max(h, 0.5), b.colour);
    svg += "<title>" + Escape(b.tooltip.empty() ? b.label : b.tooltip) + "</title></rect>\n";
    if (notes && !b.note.empty()) {
      svg += Format("<text x=\"%.1f\" y=\"%.1f\" class=\"nt\" text-anchor=\"middle\">%s</text>\n",
                    x + barW / 2, std::max(y - 4, static_cast<double>(top) - 2), Escape(b.note).c_str());
    }
    const double lx = x + barW / 2 + 4, ly = top + plotH + 14;
    svg += Format(
        "<text x=\"%.1f\" y=\"%.1f\" class=\"ax\" text-anchor=\"end\" "
        "transform=\"rotate(-50 %.1f %.1f)\">%s</text>\n",
        lx, ly, lx, ly, Escape(Shortened(b.label, 20)).c_str());
  }
  svg += "</svg></div>\n";
  return svg;
}

// A horizontal chart: one row per label, each row one or more segments.
struct Row {
  std::string label;
  std::vector<std::pair<double, const char*>> segments;  // value, colour
  std::string note;
};

std::string HorizontalBars(const std::string& title, const std::vector<Row>& rows,
                           double maxValue) {
  std::size_t labelChars = 8;
  for (const Row& r : rows) labelChars = std::max(labelChars, std::min<std::size_t>(r.label.size(), 40));
  const int rowH = 26, top = 36, width = 960;
  const int left = 16 + static_cast<int>(labelChars) * 7, right = 180;
  const int plotW = width - left - right;
  const int height = top + rowH * static_cast<int>(std::max<std::size_t>(rows.size(), 1)) + 16;
  std::string svg = Format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
      "role=\"img\"><title>%s</title>\n",
      width, height, width, height, Escape(title).c_str());
  svg += Format("<text x=\"16\" y=\"22\" class=\"ct\">%s</text>\n", Escape(title).c_str());
  if (rows.empty()) {
    svg += Format("<text x=\"%d\" y=\"%d\" class=\"ax\">none</text>\n", left, top + 16);
  }
  if (maxValue <= 0) maxValue = 1;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    const double y = top + rowH * static_cast<double>(i);
    svg += Format("<text x=\"%d\" y=\"%.1f\" class=\"ax\" text-anchor=\"end\">%s</text>\n",
                  left - 8, y + 16, Escape(Shortened(r.label, 40)).c_str());
    double x = left;
    for (const auto& [value, colour] : r.segments) {
      const double w = std::clamp(value / maxValue, 0.0, 1.0) * plotW;
      if (w > 0) {
        svg += Format(
            "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%d\" fill=\"%s\"/>\n", x,
            y + 4, w, rowH - 8, colour);
      }
      x += w;
    }
    svg += Format("<text x=\"%.1f\" y=\"%.1f\" class=\"nt\">%s</text>\n", x + 6, y + 16,
                  Escape(r.note).c_str());
  }
  svg += "</svg>\n";
  return svg;
}

std::string FlowCells(const FlowStats& f) {
  return "<td>" + Percent(f.FirstPassYield()) + "</td><td>" + Percent(f.FinalYield()) + "</td><td>" +
         Rate(f.DisksPerHour()) + "</td>";
}

std::string TallyCells(const Tally& t) {
  return Format("<td>%llu</td><td>%llu</td><td>%llu</td><td>%s</td>",
                static_cast<unsigned long long>(t.Total()),
                static_cast<unsigned long long>(t.passed),
                static_cast<unsigned long long>(t.failed), Percent(t.YieldPercent()).c_str());
}

const char kStyle[] =
    "body{font-family:sans-serif;margin:24px;color:#222;background:#fff}"
    "h1{font-size:22px;margin:0 0 8px}h2{font-size:17px;margin:28px 0 6px}"
    ".sum{display:flex;flex-wrap:wrap;gap:12px;margin:12px 0}"
    ".box{border:1px solid #ccc;border-radius:6px;padding:8px 16px;min-width:110px}"
    ".box b{display:block;font-size:24px}"
    ".yield b{color:#2e9d4a}.fail b{color:#d9822b}.bad b{color:#c62828}"
    "table{border-collapse:collapse;font-size:13px;margin-top:6px}"
    "td,th{border:1px solid #ccc;padding:3px 8px;text-align:right}"
    "td:first-child,th:first-child{text-align:left}"
    "tr.out td{background:#fde0dc;font-weight:bold}table.l td,table.l th{text-align:left}"
    "svg{display:block;margin-top:4px;background:#fafafa;border:1px solid #eee}"
    ".wide{overflow-x:auto;max-width:100%}"
    ".ct{font-size:15px;font-weight:bold;fill:#222}.ax{font-size:11px;fill:#555}"
    ".nt{font-size:11px;fill:#222}.small{font-size:12px;color:#555}";

}  // namespace

std::string RenderReportHtml(const YieldReport& r, const std::string& title) {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>" +
      Escape(title) + "</title>\n<style>" + kStyle + "</style></head>\n<body>\n";
  html += "<h1>" + Escape(title) + "</h1>\n";
  if (!r.sources.empty()) {
    html += "<div class=\"small\">sources:";
    for (const std::string& s : r.sources) html += " " + Escape(s);
    html += "</div>\n";
  }
  std::size_t outliers = 0;
  for (const SlotStats& s : r.bySlot) outliers += s.outlier ? 1 : 0;
  html += "<div class=\"sum\">";
  html += Format("<div class=\"box yield\">yield<b>%s</b></div>",
                 Percent(r.overall.YieldPercent()).c_str());
  html += Format("<div class=\"box\">records<b>%llu</b></div>",
                 static_cast<unsigned long long>(r.overall.Total()));
  html += Format("<div class=\"box\">passed<b>%llu</b></div>",
                 static_cast<unsigned long long>(r.overall.passed));
  html += Format("<div class=\"box fail\">failed<b>%llu</b></div>",
                 static_cast<unsigned long long>(r.overall.failed));
  html += Format("<div class=\"box%s\">slots standing out<b>%zu</b></div>",
                 outliers ? " bad" : "", outliers);
  html += Format("<div class=\"box%s\">malformed sections<b>%llu</b></div>",
                 r.malformedCount == 0 ? "" : " bad",
                 static_cast<unsigned long long>(r.malformedCount));
  html += Format("<div class=\"box%s\">repeated serial numbers<b>%llu</b></div>",
                 r.repeatedSerials.empty() ? "" : " bad",
                 static_cast<unsigned long long>(RepeatCount(r)));
  html += "</div>\n<div class=\"sum\">";
  std::size_t slow = 0;
  for (const SlotStats& s : r.bySlot) slow += s.slow ? 1 : 0;
  html += Format("<div class=\"box yield\">first-pass yield<b>%s</b></div>",
                 Percent(r.flow.FirstPassYield()).c_str());
  html += Format("<div class=\"box yield\">final yield<b>%s</b></div>",
                 Percent(r.flow.FinalYield()).c_str());
  html += Format("<div class=\"box\">reworks<b>%llu</b></div>",
                 static_cast<unsigned long long>(r.reworkCount));
  html += Format("<div class=\"box\">disks per hour<b>%s</b></div>",
                 Rate(r.flow.DisksPerHour()).c_str());
  html += Format("<div class=\"box%s\">slow slots<b>%zu</b></div>", slow ? " bad" : "", slow);
  if (r.readJsonl) {
    html += Format("<div class=\"box%s\">damaged produce.jsonl lines<b>%llu</b></div>",
                   r.damagedLines ? " bad" : "", static_cast<unsigned long long>(r.damagedLines));
  }
  html += "</div>\n<p class=\"small\">window: " + Escape(WindowText(r.window)) + "</p>\n";

  // Yield and disks per hour (per day over longer spans).
  const std::string per = r.daily ? "day" : "hour";
  std::vector<Bar> hours, rates;
  double maxRate = 0;
  for (const auto& [hour, f] : r.byTime) {
    const Tally& t = f.all;
    const std::string key = TimeKey(hour, r.daily);
    hours.push_back(Bar{key, t.YieldPercent(), std::to_string(t.Total()),
                        t.failed ? kFailColour : kPassColour,
                        key + ": " + Percent(t.YieldPercent()) + " of " + std::to_string(t.Total())});
    const double rate = f.DisksPerHour();
    rates.push_back(Bar{key, std::isnan(rate) ? 0.0 : rate, "", kPassColour,
                        key + ": " + Rate(rate) + " disks per hour"});
    if (!std::isnan(rate)) maxRate = std::max(maxRate, rate);
  }
  html += "<h2>Yield per " + per + "</h2>\n" +
          VerticalBars("Yield per " + per + " (bar: yield; above: records)", hours, 100.0, "%");
  html += "<h2>Disks per hour, by " + per + "</h2>\n" +
          VerticalBars("Disks per hour (verdicts over the " + per + "'s first start to last finish)",
                       rates, NiceCeiling(maxRate), "");
  html += "<table><tr><th>" + per + "</th><th>total</th><th>passed</th><th>failed</th><th>yield</th>"
          "<th>first-pass yield</th><th>final yield</th><th>disks/h</th></tr>\n";
  for (const auto& [hour, f] : r.byTime) {
    html += "<tr><td>" + TimeKey(hour, r.daily) + "</td>" + TallyCells(f.all) +
            FlowCells(f) + "</tr>\n";
  }
  html += "</table>\n";

  // Failures by error code, most frequent first.
  std::vector<std::pair<std::string, std::uint64_t>> codes(r.failuresByErrorCode.begin(),
                                                           r.failuresByErrorCode.end());
  std::stable_sort(codes.begin(), codes.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  std::vector<Row> codeRows;
  double maxCode = 0;
  for (const auto& [code, n] : codes) {
    codeRows.push_back(Row{code, {{static_cast<double>(n), kFailColour}}, std::to_string(n)});
    maxCode = std::max(maxCode, static_cast<double>(n));
  }
  html += "<h2>Failures by error code</h2>\n" +
          HorizontalBars("Failures by error code", codeRows, maxCode);

  // Failure rate by slot.
  std::vector<Bar> slots;
  double maxFailRate = 0;
  for (const SlotStats& s : r.bySlot) maxFailRate = std::max(maxFailRate, 100.0 * s.tally.FailRate());
  for (const SlotStats& s : r.bySlot) {
    const std::string label = s.station + " #" + (s.slot == 0 ? "?" : std::to_string(s.slot));
    const double rate = 100.0 * s.tally.FailRate();
    slots.push_back(Bar{label, rate,
                        (s.outlier ? "! " : "") + Format("%llu/%llu",
                            static_cast<unsigned long long>(s.tally.failed),
                            static_cast<unsigned long long>(s.tally.Total())),
                        s.outlier ? kOutlierColour : kFailColour,
                        label + ": " + Percent(rate) + " failed" +
                            (s.outlier ? " (stands out)" : "")});
  }
  html += "<h2>Failure rate by slot</h2>\n" +
          VerticalBars("Failure rate by slot (red, !: stands out; above: failed/records)", slots,
                       std::min(100.0, NiceCeiling(maxFailRate)), "%");
  html += "<p class=\"small\">" + Escape(DescribeOutlierRule(r)) + ".</p>\n";
  html += "<table><tr><th>station</th><th>slot</th><th>total</th><th>passed</th><th>failed</th>"
          "<th>fail rate</th><th>tail</th><th></th></tr>\n";
  for (const SlotStats& s : r.bySlot) {
    html += std::string(s.outlier ? "<tr class=\"out\">" : "<tr>") + "<td>" + Escape(s.station) +
            "</td><td>" + SlotLabel(s.slot) + "</td>" +
            Format("<td>%llu</td><td>%llu</td><td>%llu</td><td>%s</td>",
                   static_cast<unsigned long long>(s.tally.Total()),
                   static_cast<unsigned long long>(s.tally.passed),
                   static_cast<unsigned long long>(s.tally.failed),
                   Percent(100.0 * s.tally.FailRate()).c_str()) +
            (s.slot == 0 ? std::string("<td>-</td>") : Format("<td>%.2g</td>", s.tailProbability)) +
            "<td>" + (s.outlier ? "stands out: check this hub port" : "") + "</td></tr>\n";
  }
  html += "</table>\n";

  // Disk time by slot.
  std::vector<Row> timeRows;
  double maxTime = 0;
  for (const SlotStats& s : r.bySlot) {
    if (s.timing.passes == 0) continue;
    const std::string label = s.station + " #" + (s.slot == 0 ? "?" : std::to_string(s.slot));
    timeRows.push_back(Row{label,
                           {{s.timing.median, s.slow ? kOutlierColour : kPassColour},
                            {std::max(0.0, s.timing.tenth - s.timing.median), kSpreadColour}},
                           (s.slow ? "SLOW " : "") + SecondsText(s.timing.median) + " / " +
                               SecondsText(s.timing.tenth)});
    maxTime = std::max(maxTime, s.timing.tenth);
  }
  html += "<h2>Disk time by slot</h2>\n" +
          HorizontalBars("Disk time of passes: median (green; red: slow), to the slowest tenth (grey)",
                         timeRows, NiceCeiling(maxTime));
  html += "<p class=\"small\">" + Escape(DescribeSlowRule(r)) + ".</p>\n";
  html += "<table><tr><th>station</th><th>slot</th><th>passes</th><th>median</th><th>90th %</th>"
          "<th>over T</th><th>under T</th><th>tail</th><th></th></tr>\n";
  for (const SlotStats& s : r.bySlot) {
    if (s.timing.passes == 0) continue;
    html += std::string(s.slow ? "<tr class=\"out\">" : "<tr>") + "<td>" + Escape(s.station) +
            "</td><td>" + SlotLabel(s.slot) + "</td>" +
            Format("<td>%llu</td><td>%s</td><td>%s</td><td>%llu</td><td>%llu</td>",
                   static_cast<unsigned long long>(s.timing.passes),
                   SecondsText(s.timing.median).c_str(), SecondsText(s.timing.tenth).c_str(),
                   static_cast<unsigned long long>(s.timing.over),
                   static_cast<unsigned long long>(s.timing.under)) +
            (s.slowTail < 1.0 ? Format("<td>%.2g</td>", s.slowTail) : std::string("<td>-</td>")) +
            "<td>" + (s.slow ? "slow: check this hub port" : "") + "</td></tr>\n";
  }
  html += "</table>\n";

  if (r.groupBy != GroupBy::kNone) {
    const std::string by = GroupByName(r.groupBy);
    std::vector<Row> groupRows;
    for (const GroupRow& g : r.groups) {
      const double fp = g.flow.FirstPassYield(), fin = g.flow.FinalYield();
      groupRows.push_back(Row{g.label,
                              {{fp, kPassColour}, {std::max(0.0, fin - fp), kRecoveredColour}},
                              "first pass " + Percent(fp) + ", final " + Percent(fin) + ", " +
                                  Rate(g.flow.DisksPerHour()) + " disks/h"});
    }
    html += "<h2>By " + by + "</h2>\n" +
            HorizontalBars("First-pass yield (green) and final yield (light green: reworks "
                           "that passed after a failure) by " + by, groupRows, 100.0);
    html += "<table><tr><th>" + by + "</th><th>total</th><th>passed</th><th>failed</th><th>yield</th>"
            "<th>first-pass yield</th><th>final yield</th><th>disks/h</th><th>reworks</th></tr>\n";
    for (const GroupRow& g : r.groups) {
      html += "<tr><td>" + Escape(g.label) + "</td>" + TallyCells(g.flow.all) + FlowCells(g.flow) +
              "<td>" + std::to_string(g.flow.rework.Total()) + "</td></tr>\n";
    }
    html += "</table>\n";
  }

  html += Format("<h2>Reworks</h2>\n<p>%llu verdicts of disks made again (an earlier verdict gave "
                 "their previous serial number).</p>\n",
                 static_cast<unsigned long long>(r.reworkCount));
  if (!r.reworks.empty()) {
    html += "<table class=\"l\"><tr><th>verdict</th><th>result</th><th>serial</th>"
            "<th>previous serial</th><th>earlier verdict</th></tr>\n";
    for (const ReworkEntry& e : r.reworks) {
      html += "<tr><td>" + Escape(e.where) + "</td><td>" +
              (e.passed ? std::string("Pass") : "FAIL " + Escape(e.errorCode)) + "</td><td>" +
              SerialText(e.serial) + "</td><td>" + SerialText(e.previousSerial) + "</td><td>" +
              (e.earlierPassed ? "passed" : "failed") +
              (std::isnan(e.earlierFinished) ? std::string() : " " + FormatUtc(e.earlierFinished)) +
              "</td></tr>\n";
    }
    html += "</table>\n";
    if (r.reworkCount > r.reworks.size()) {
      html += Format("<p class=\"small\">... and %llu more</p>\n",
                     static_cast<unsigned long long>(r.reworkCount - r.reworks.size()));
    }
  }

  // By station.
  std::vector<Row> stations;
  double maxStation = 0;
  for (const auto& [station, t] : r.byStation) {
    stations.push_back(Row{station,
                           {{static_cast<double>(t.passed), kPassColour},
                            {static_cast<double>(t.failed), kFailColour}},
                           Percent(t.YieldPercent()) + " of " + std::to_string(t.Total())});
    maxStation = std::max(maxStation, static_cast<double>(t.Total()));
  }
  html += "<h2>By station</h2>\n" +
          HorizontalBars("Passed (green) and failed (orange) by station", stations, maxStation);
  html += "<table><tr><th>station</th><th>total</th><th>passed</th><th>failed</th><th>yield</th></tr>\n";
  for (const auto& [station, t] : r.byStation) {
    html += "<tr><td>" + Escape(station) + "</td>" + TallyCells(t) + "</tr>\n";
  }
  html += "</table>\n";

  html += "<h2>Repeated serial numbers</h2>\n";
  if (r.repeatedSerials.empty()) {
    html += "<p>No pass serial number was seen more than once.</p>\n";
  } else {
    html += "<table class=\"l\"><tr><th>serial number</th><th>times</th><th>seen at</th></tr>\n";
    for (const RepeatedSerial& repeat : r.repeatedSerials) {
      std::string places;
      for (std::size_t i = 0; i < repeat.seenAt.size(); ++i) {
        places += (i > 0 ? "<br>" : "") + Escape(repeat.seenAt[i]);
      }
      if (repeat.times > repeat.seenAt.size()) {
        places += Format("<br>... and %llu more",
                         static_cast<unsigned long long>(repeat.times - repeat.seenAt.size()));
      }
      html += "<tr class=\"out\"><td>" + SerialText(repeat.serial) + "</td><td>" +
              std::to_string(repeat.times) + "</td><td>" + places + "</td></tr>\n";
    }
    html += "</table>\n";
  }

  if (!r.malformed.empty()) {
    html += "<h2>Malformed sections</h2>\n<table class=\"l\"><tr><th>source</th><th>section</th><th>reason</th></tr>\n";
    for (std::size_t i = 0; i < r.malformed.size() && i < kMalformedListed; ++i) {
      const MalformedRecord& m = r.malformed[i];
      html += "<tr><td>" + Escape(m.source) + "</td><td>" + Escape(m.section) + "</td><td>" +
              Escape(m.reason) + "</td></tr>\n";
    }
    html += "</table>\n";
    const std::size_t listed = std::min(r.malformed.size(), kMalformedListed);
    if (r.malformedCount > listed) {
      html += Format("<p class=\"small\">... and %llu more</p>\n",
                     static_cast<unsigned long long>(r.malformedCount - listed));
    }
  }
  html += "</body></html>\n";
  return html;
}

}  // namespace kx20
