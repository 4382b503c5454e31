// The report's record of one disk: produce.jsonl, the window, first-pass and
// final yield with reworks, disks per hour, each slot's disk time and the
// slow-slot rule, and texts that never reach a terminal raw.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "production/production_log.h"
#include "report/production_log_reader.h"
#include "report/report_render.h"
#include "report/report_time.h"
#include "report/verdict_jsonl_reader.h"
#include "report/yield_report.h"
#include "support/calendar_time.h"

namespace kx20 {
namespace {

// 2026-12-08 00:00:00 UTC.
constexpr double kDay = 1796688000.0;

std::string Stamp(double t) {
  const double whole = std::floor(t);
  const auto days = static_cast<std::int64_t>(std::floor(whole / 86400));
  const auto secs = static_cast<std::int64_t>(whole) - days * 86400;
  int y, mo, d;
  CivilFromDays(days, y, mo, d);
  char out[40];
  std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", y, mo, d,
                static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                static_cast<int>(secs % 60), static_cast<int>(std::lround((t - whole) * 1000)) % 1000);
  return out;
}

// One produce.jsonl line as the station writes it.
struct Line {
  int slot = 1;
  bool pass = true;
  double finished = kDay + 3600;
  double seconds = 60;  // disk time
  long serial = 0;
  long previous = -1;
  std::string lot;
  std::string error = "USBErr_RW_Compare";
  std::string section;
  std::string Json() const {
    std::string j = "{\"schema\":1,\"station\":\"s1\",\"host\":\"h\",\"slot\":" + std::to_string(slot) +
                    ",\"letter\":\"E\",\"version\":\"1.0\",\"recipe\":\"ab12\"";
    if (!lot.empty()) j += ",\"lot\":\"" + lot + "\"";
    if (serial > 0) j += ",\"serial\":" + std::to_string(serial);
    if (previous >= 0) j += ",\"previous_serial\":" + std::to_string(previous);
    j += std::string(",\"result\":\"") + (pass ? "Pass" : "FAIL") + "\"";
    if (!pass) j += ",\"error\":\"" + error + "\",\"failed_step\":\"rw_test\"";
    j += ",\"steps\":[],\"started\":\"" + Stamp(finished - seconds) + "\",\"finished\":\"" +
         Stamp(finished) + "\"";
    if (!section.empty()) j += ",\"log_section\":\"" + section + "\"";
    return j + "}\n";
  }
};

// The i-th pass of station A's slot, finished in the hour from 01:00 on
// 8 December 2026 (70 s apart), that took `seconds`.
VerdictRecord PassOfA(int slot, int i, double seconds) {
  VerdictRecord r;
  r.station = "A";
  r.slot = slot;
  r.passed = true;
  r.year = 2026, r.month = 12, r.day = 8, r.hour = 1;
  r.finishedAt = kDay + 3600 + i * 70;
  r.startedAt = r.finishedAt - seconds;
  return r;
}

TEST(ReportRecords, TimesAndSpans) {
  struct Case {
    const char* text;
    std::optional<double> window, record, span;
  };
  const Case cases[] = {
      {"2026-12-08", kDay, std::nullopt, std::nullopt},
      {"2026-12-08T06:00", kDay + 6 * 3600, std::nullopt, std::nullopt},
      {"2026-12-08 06:00:30Z", kDay + 6 * 3600 + 30, std::nullopt, std::nullopt},
      {"2026-12-08T06:00:30.250Z", std::nullopt, kDay + 6 * 3600 + 30.25, std::nullopt},
      {"2026-12-08T06:00:30Z", kDay + 6 * 3600 + 30, kDay + 6 * 3600 + 30, std::nullopt},
      {"2024-02-29T00:00", 1709164800.0, std::nullopt, std::nullopt},
      {"2026-02-29", std::nullopt, std::nullopt, std::nullopt},
      {"2026-12-08T24:00", std::nullopt, std::nullopt, std::nullopt},
      {"2026-12-08T06", std::nullopt, std::nullopt, std::nullopt},
      {"2026-12-8", std::nullopt, std::nullopt, std::nullopt},
      {"2026-12-08T06:00:30.Z", std::nullopt, std::nullopt, std::nullopt},
      {"2026-12-08T06:00:30.000", std::nullopt, std::nullopt, std::nullopt},
      {"24h", std::nullopt, std::nullopt, 86400.0},
      {"90m", std::nullopt, std::nullopt, 5400.0},
      {"7d", std::nullopt, std::nullopt, 7 * 86400.0},
      {"0h", std::nullopt, std::nullopt, std::nullopt},
      {"24", std::nullopt, std::nullopt, std::nullopt},
      {"h", std::nullopt, std::nullopt, std::nullopt},
      {"-3h", std::nullopt, std::nullopt, std::nullopt},
      {"2w", std::nullopt, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseWindowTime(c.text), c.window);
    EXPECT_EQ(ParseRecordTimestamp(c.text), c.record);
    EXPECT_EQ(ParseDuration(c.text), c.span);
  }
  EXPECT_EQ(FormatUtc(kDay + 6 * 3600 + 30.9), "2026-12-08 06:00:30 UTC");
}

TEST(ReportRecords, JsonlLinesAreRecordsOrCountedNeverGuessed) {
  const std::string good = Line{}.Json();
  std::string cut = Line{}.Json();
  cut.resize(cut.size() / 2);
  struct Case {
    const char* what;
    std::string text;
    std::uint64_t records, damaged, malformed;
    const char* reason = nullptr;
  };
  const Case cases[] = {
      {"two good lines", good + good, 2, 0, 0},
      {"CRLF, a mark and blank lines", "\xEF\xBB\xBF" + good.substr(0, good.size() - 1) + "\r\n\n  \n" + good, 2, 0, 0},
      {"last line cut by a power loss", good + cut, 1, 1, 1, "damaged line"},
      {"a cut line in the middle", good + cut + "\n" + good, 2, 1, 1, "damaged line"},
      {"bytes that are no JSON", "\x01\xFF garbage\n" + good, 1, 1, 1, "damaged line"},
      {"an array", "[1,2]\n" + good, 1, 0, 1, "not a JSON object"},
      {"no schema", "{\"result\":\"Pass\",\"finished\":\"2026-12-08T01:00:00.000Z\"}\n", 0, 0, 1, "no schema"},
      {"a later schema", "{\"schema\":2,\"result\":\"Pass\",\"finished\":\"2026-12-08T01:00:00.000Z\"}\n", 0, 0, 1, "not known"},
      {"a result that is neither", "{\"schema\":1,\"result\":\"Maybe\",\"finished\":\"2026-12-08T01:00:00.000Z\"}\n", 0, 0, 1, "neither Pass nor FAIL"},
      {"no finish", "{\"schema\":1,\"result\":\"Pass\"}\n", 0, 0, 1, "no finish time"},
      {"a slot as text", "{\"schema\":1,\"result\":\"Pass\",\"slot\":\"3\",\"finished\":\"2026-12-08T01:00:00.000Z\"}\n", 0, 0, 1, "slot"},
      {"a serial out of range", "{\"schema\":1,\"result\":\"Pass\",\"serial\":123456789,\"finished\":\"2026-12-08T01:00:00.000Z\"}\n", 0, 0, 1, "serial"},
      {"a pass with an error", "{\"schema\":1,\"result\":\"Pass\",\"error\":\"USBErr_Pnf\",\"finished\":\"2026-12-08T01:00:00.000Z\"}\n", 0, 0, 1, "a pass with"},
      {"a lot that is a number", "{\"schema\":1,\"result\":\"FAIL\",\"lot\":7,\"finished\":\"2026-12-08T01:00:00.000Z\"}\n", 0, 0, 1, "not a text"},
      {"empty", "", 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    YieldReportBuilder b;
    EXPECT_EQ(ReadVerdictJsonlText(c.text, "A", "p.jsonl", b), c.records);
    const YieldReport r = b.Build();
    EXPECT_EQ(r.overall.Total(), c.records);
    EXPECT_EQ(r.damagedLines, c.damaged);
    EXPECT_EQ(r.malformedCount, c.malformed);
    if (c.reason != nullptr) {
      ASSERT_FALSE(r.malformed.empty());
      EXPECT_NE(r.malformed[0].reason.find(c.reason), std::string::npos) << r.malformed[0].reason;
    }
    const std::string text = RenderReportText(r);
    EXPECT_NE(text.find("damaged produce.jsonl lines skipped: " + std::to_string(c.damaged) + "\n"),
              std::string::npos);
  }
}

// Cut at every byte: each line is a record, damaged or malformed, nothing else.
TEST(ReportRecords, JsonlCutAtEveryByte) {
  std::string text;
  for (int i = 0; i < 3; ++i) {
    Line l;
    l.slot = i + 1;
    l.serial = 100 + i;
    l.pass = i != 1;
    text += l.Json();
  }
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    YieldReportBuilder b;
    const std::string part = text.substr(0, cut);
    const std::uint64_t n = ReadVerdictJsonlText(part, "A", "p.jsonl", b);
    const YieldReport r = b.Build();
    std::size_t lines = 0;
    for (std::size_t at = 0; at < part.size();) {
      const std::size_t nl = part.find('\n', at);
      ++lines;
      at = nl == std::string::npos ? part.size() : nl + 1;
    }
    EXPECT_EQ(n + r.malformedCount, lines) << cut;
    EXPECT_LE(r.damagedLines, 1u);
  }
}

// A log begun before the station kept a .jsonl: its early sections count
// from the log, the rest from the .jsonl (with their slots), none twice.
TEST(ReportRecords, ALogReadWithTheJsonlBesideIt) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(KX20_BINARY_DIR) / "report-records-test";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const auto name = [](int s) { return FormatLogSectionName(testing::At(2026, 12, 8, 9, 0, s)); };
  std::string log;
  for (int s = 1; s <= 4; ++s) {
    log += FormatLogRecord(testing::At(2026, 12, 8, 9, 0, s),
                           s == 2 ? MakeFailRecord("USBErr_Pnf") : MakePassRecord(s, 262143));
  }
  std::string jsonl;
  for (int s = 3; s <= 4; ++s) {
    Line l;
    l.slot = 5;
    l.serial = s;
    l.section = name(s);
    jsonl += l.Json();
  }
  jsonl += "{\"schema\":1,\"res";  // the last line cut
  std::ofstream(dir / "produce.log", std::ios::binary) << log;
  std::ofstream(dir / "produce.jsonl", std::ios::binary) << jsonl;

  struct Case {
    const char* what;
    std::vector<std::string> files;
  };
  const Case cases[] = {
      {"the log", {(dir / "produce.log").string()}},
      {"the log and its .jsonl", {(dir / "produce.log").string(), (dir / "produce.jsonl").string()}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    YieldReportBuilder b;
    std::set<std::string> read;
    for (const std::string& f : c.files) {
      std::string error;
      ASSERT_TRUE(ReadRecordFile(f, "A", b, read, error)) << error;
    }
    const YieldReport r = b.Build();
    EXPECT_EQ(r.overall.passed, 3u);
    EXPECT_EQ(r.overall.failed, 1u);
    EXPECT_EQ(r.damagedLines, 1u);
    std::map<int, std::uint64_t> slots;
    for (const SlotStats& s : r.bySlot) slots[s.slot] = s.tally.Total();
    EXPECT_EQ(slots, (std::map<int, std::uint64_t>{{0, 2}, {5, 2}}));
    // The log's records have no start: no rate is made up for them.
    EXPECT_TRUE(std::isnan(r.flow.DisksPerHour()));
    EXPECT_FALSE(std::isnan(r.byTime.begin()->second.lastFinish));
  }
  // The .jsonl alone.
  YieldReportBuilder alone;
  std::set<std::string> read;
  std::string error;
  ASSERT_TRUE(ReadRecordFile((dir / "produce.jsonl").string(), "A", alone, read, error));
  EXPECT_EQ(alone.Build().overall.Total(), 2u);
}

// Disk 10 fails with its number written, is made again and passes (a
// recovered rework); disk 11 passes and comes back (a rework after a pass);
// a disk whose previous number no verdict gave, or only a later one, is a
// first pass. The window may leave the earlier verdict out.
TEST(ReportRecords, FirstPassAndFinalYieldWithReworks) {
  struct Case {
    const char* what;
    ReportWindow window;
    std::uint64_t firstPass, firstPassPassed, reworks, recovered;
  };
  const double t0 = kDay + 3600;
  std::vector<Line> lines;
  const auto add = [&](double at, bool pass, long serial, long previous, const char* lot) {
    Line l;
    l.finished = at;
    l.pass = pass;
    l.serial = serial;
    l.previous = previous;
    l.lot = lot;
    lines.push_back(l);
  };
  add(t0, false, 10, -1, "L1");        // fails after its number was written
  add(t0 + 10, true, 11, -1, "L1");
  add(t0 + 20, true, 12, 99, "L1");    // 99: no verdict gave it
  add(t0 + 30, true, 13, 14, "L1");    // 14 is given later only
  add(t0 + 40, true, 14, -1, "L1");
  add(t0 + 7200, true, 20, 10, "L2");  // disk 10 again: recovered
  add(t0 + 7210, false, 21, 11, "L2"); // disk 11 back, fails
  std::string text;
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) text += it->Json();  // any order
  const Case cases[] = {
      {"everything", {}, 5, 4, 2, 1},
      {"the second hour only", {t0 + 3600, kNoTime}, 0, 0, 2, 1},
      {"the first hour only", {kNoTime, t0 + 3600}, 5, 4, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    YieldReportBuilder b(c.window, GroupBy::kLot);
    ReadVerdictJsonlText(text, "A", "p.jsonl", b);
    const YieldReport r = b.Build();
    EXPECT_EQ(r.flow.firstPass.Total(), c.firstPass);
    EXPECT_EQ(r.flow.firstPass.passed, c.firstPassPassed);
    EXPECT_EQ(r.reworkCount, c.reworks);
    EXPECT_EQ(r.flow.recovered, c.recovered);
    EXPECT_EQ(r.reworks.size(), c.reworks);
  }
  YieldReportBuilder b({}, GroupBy::kLot);
  ReadVerdictJsonlText(text, "A", "p.jsonl", b);
  const YieldReport r = b.Build();
  EXPECT_DOUBLE_EQ(r.flow.FirstPassYield(), 80.0);
  EXPECT_DOUBLE_EQ(r.flow.FinalYield(), 100.0);  // 4 first-pass passes + disk 10 recovered, of 5
  ASSERT_EQ(r.groups.size(), 2u);
  EXPECT_EQ(r.groups[0].label, "L1");
  EXPECT_EQ(r.groups[1].label, "L2");
  EXPECT_EQ(r.groups[1].flow.rework.Total(), 2u);
  // 5 verdicts from the first start (t0 - 60) to the last finish (t0 + 40).
  EXPECT_NEAR(r.groups[0].flow.DisksPerHour(), 5 * 36.0, 1e-9);
  ASSERT_EQ(r.reworks.size(), 2u);
  // In the order read (the file is backwards): disk 11 back, then disk 10.
  EXPECT_EQ(r.reworks[0].previousSerial, 11u);
  EXPECT_FALSE(r.reworks[0].passed);
  EXPECT_TRUE(r.reworks[0].earlierPassed);
  EXPECT_EQ(r.reworks[1].previousSerial, 10u);
  EXPECT_TRUE(r.reworks[1].passed);
  EXPECT_FALSE(r.reworks[1].earlierPassed);
  const std::string report = RenderReportText(r);
  EXPECT_NE(report.find("first-pass yield: 80.0 %   final yield: 100.0 %   reworks: 2 (1 passed)"),
            std::string::npos) << report;
  EXPECT_NE(report.find("\nby lot\n"), std::string::npos);
}

// Ten slots of ~60 s disks; the rule marks a slot only when it is both
// clearly slower (20 %) and not by chance.
TEST(ReportRecords, SlowSlotRule) {
  struct Case {
    const char* what;
    double slowSeconds;  // slot 3's disk time
    int passes;          // per slot
    bool jitter;         // slot 3's times spread around its centre
    bool marked;
  };
  const Case cases[] = {
      {"a clearly slow port", 80, 20, false, true},
      {"slow but too few passes", 80, 4, false, false},
      {"10 % slower: not enough to matter", 66, 50, false, false},
      {"as fast as the rest", 60, 50, true, false},
      {"a little slow, many passes", 70, 200, true, false},
      {"twice as slow, ten passes", 120, 10, true, true},
      // All 9 over T: 1/2^9 is not below 0.01 / 10 slots; the test needs ten.
      {"twice as slow, nine passes: too few to tell", 120, 9, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    YieldReportBuilder b;
    for (int slot = 1; slot <= 10; ++slot) {
      for (int i = 0; i < c.passes; ++i) {
        // Every slot spreads +-3 s around its centre.
        const double spread = (i % 7) - 3.0;
        b.Add(PassOfA(slot, i, slot == 3 ? c.slowSeconds + (c.jitter ? spread : 0) : 60 + spread));
      }
    }
    const YieldReport r = b.Build();
    std::vector<int> slow;
    for (const SlotStats& s : r.bySlot) {
      if (s.slow) slow.push_back(s.slot);
    }
    EXPECT_EQ(slow, c.marked ? std::vector<int>{3} : std::vector<int>{});
    if (c.passes >= 5) {
      EXPECT_NEAR(r.typicalDiskTime, 60.0, 1.0);
      EXPECT_EQ(r.slotsTimed, 10u);
    }
    EXPECT_EQ(RenderReportText(r).find("SLOW: check") != std::string::npos, c.marked);
  }
}

TEST(ReportRecords, PercentilesAreTheDatabasesInterpolation) {
  const std::vector<double> v{1, 2, 3, 4, 10};
  EXPECT_DOUBLE_EQ(PercentileCont(v, 0.5), 3);
  EXPECT_DOUBLE_EQ(PercentileCont(v, 0.9), 4 + 0.6 * 6);
  EXPECT_DOUBLE_EQ(PercentileCont({7}, 0.9), 7);
  EXPECT_TRUE(std::isnan(PercentileCont({}, 0.5)));
  EXPECT_DOUBLE_EQ(TypicalDiskTime({60, 90, 58, 61}), 60.5);
}

// The database counts passes per whole second; the percentiles taken from
// those counts must be the ones taken from the values one by one.
TEST(ReportRecords, PercentilesFromCountsAreThoseOfTheValues) {
  const std::vector<TimeHistogram> histograms = {
      {{7, 1}},
      {{60, 5}},
      {{1, 1}, {2, 1}, {3, 1}, {4, 1}, {10, 1}},
      {{58, 3}, {59, 0}, {61, 7}, {90, 2}},
      {{-2, 1}, {40, 1000}, {41, 1}, {300, 3}},
      {{50, 2}, {51, 2}},
  };
  for (const TimeHistogram& h : histograms) {
    std::vector<double> values;
    for (const auto& [value, count] : h) values.insert(values.end(), count, value);
    for (const double fraction : {0.0, 0.1, 0.5, 0.9, 0.99, 1.0}) {
      SCOPED_TRACE(::testing::Message() << values.size() << " values, fraction " << fraction);
      EXPECT_DOUBLE_EQ(HistogramPercentile(h, fraction), PercentileCont(values, fraction));
    }
  }
  EXPECT_TRUE(std::isnan(HistogramPercentile({}, 0.5)));
  EXPECT_TRUE(std::isnan(HistogramPercentile({{60, 0}}, 0.5)));
}

// Records read one by one and the same passes counted by the second (as
// the line's database keeps them) give the same disk times, over/under
// counts and SLOW mark; a time is counted in whole seconds, cut down.
TEST(ReportRecords, DiskTimesFromRowsAndFromCountsAgree) {
  YieldReportBuilder rows, counted;
  std::map<std::pair<int, double>, std::uint64_t> perSecond;
  for (int slot = 1; slot <= 4; ++slot) {
    for (int i = 0; i < 30; ++i) {
      const double seconds = (slot == 4 ? 90.0 : 60.0) + (i % 5) * 0.4 - 0.7;
      const VerdictRecord r = PassOfA(slot, i, seconds);
      rows.Add(r);
      ++perSecond[{slot, std::floor(seconds)}];
      counted.AddCell(CellKey{"A", slot, HourKey{2026, 12, 8, 1}, true, "", "", ReworkClass::kFirstPass},
                      CellValue{1, 0, r.startedAt, r.finishedAt});
    }
  }
  for (const auto& [key, n] : perSecond) counted.AddPassTimes("A", key.first, key.second, n);
  const YieldReport a = rows.Build(), b = counted.Build();
  ASSERT_EQ(a.bySlot.size(), 4u);
  ASSERT_EQ(b.bySlot.size(), 4u);
  EXPECT_DOUBLE_EQ(a.typicalDiskTime, b.typicalDiskTime);
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(a.bySlot[i].timing.passes, 30u);
    EXPECT_DOUBLE_EQ(a.bySlot[i].timing.median, b.bySlot[i].timing.median);
    EXPECT_DOUBLE_EQ(a.bySlot[i].timing.tenth, b.bySlot[i].timing.tenth);
    EXPECT_EQ(a.bySlot[i].timing.over, b.bySlot[i].timing.over);
    EXPECT_EQ(a.bySlot[i].timing.under, b.bySlot[i].timing.under);
    EXPECT_EQ(a.bySlot[i].slow, b.bySlot[i].slow);
  }
  // 59.3 .. 60.9 s count as 59 (12 passes) and 60 (18); the slowest tenth
  // of 89.3 .. 90.9 s is 90, not 90.9.
  EXPECT_DOUBLE_EQ(a.bySlot[0].timing.median, 60);
  EXPECT_EQ(a.bySlot[0].timing.under, 12u);
  EXPECT_DOUBLE_EQ(a.bySlot[3].timing.tenth, 90);
  EXPECT_TRUE(a.bySlot[3].slow);
}

TEST(ReportRecords, ControlCharactersNeverReachTheTerminalRaw) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"\x1b[2J\x1b]0;pwned\x07", "\\x1B[2J\\x1B]0;pwned\\x07"},
      {"tab\there\r\n", "tab\\x09here\\x0D\\x0A"},
      {"del\x7f", "del\\x7F"},
      {"C1 \xc2\x9b" "31m", "C1 \\xC2\\x9B31m"},
      {"raw \x9b" "31m", "raw \\x9B31m"},
      {"Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80", "Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"cut \xe2\x82", "cut \\xE2\\x82"},
      {"overlong \xc0\xaf", "overlong \\xC0\\xAF"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CleanText(c.in), c.out);
  }
  // A log whose texts carry escape sequences: none reaches the report raw.
  const std::string log = "[2026/12/8  9:0:1]\r\nResult=FAIL\r\nError Code=USBErr_\x1b[31mX\r\n"
                          "[\x1b]2;title\x07]\r\nResult=Pass\r\n";
  YieldReportBuilder b;
  b.AddSource("st\x1b[1m.log");
  ReadProductionLogText(log, "line\x1b[5m", "st\x1b[1m.log", b);
  const YieldReport r = b.Build();
  const std::string text = RenderReportText(r);
  for (const char ch : text) {
    EXPECT_TRUE(ch == '\n' || static_cast<unsigned char>(ch) >= 0x20) << static_cast<int>(ch);
  }
  EXPECT_NE(text.find("USBErr_\\x1B[31mX"), std::string::npos) << text;
  const std::string html = RenderReportHtml(r, "t\x1b[0m");
  EXPECT_EQ(html.find('\x1b'), std::string::npos);
  EXPECT_NE(html.find("USBErr_\\x1B[31mX"), std::string::npos);
}

// The slot chart keeps every bar's label and note clear of the next: 20 slots
// with "310/5274" over each, 200 slots, and a month of hours (drawn by day).
TEST(ReportRecords, ChartsStayReadableAtEverySize) {
  struct Case {
    const char* what;
    int slots;
    int hours;
    bool daily;
  };
  const Case cases[] = {{"20 slots", 20, 1, false}, {"200 slots", 200, 1, false},
                        {"a month of hours", 10, 720, true}, {"two days of hours", 10, 48, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    YieldReportBuilder b;
    for (int h = 0; h < c.hours; ++h) {
      for (int s = 1; s <= c.slots; ++s) {
        CellKey k{"station-" + std::to_string(s % 20), s, {}, true, "", "", ReworkClass::kFirstPass};
        int y, mo, d;
        CivilFromDays(DaysFromCivil(2026, 11, 1) + h / 24, y, mo, d);
        k.time = HourKey{y, mo, d, h % 24};
        b.AddCell(k, CellValue{5274 / static_cast<std::uint64_t>(c.hours) + 1, 0, kNoTime, kNoTime});
        k.passed = false;
        k.errorCode = "USBErr_RW_Compare";
        b.AddCell(k, CellValue{310 / static_cast<std::uint64_t>(c.hours) + 1, 0, kNoTime, kNoTime});
      }
    }
    const YieldReport r = b.Build();
    EXPECT_EQ(r.daily, c.daily);
    EXPECT_EQ(r.byTime.size(), static_cast<std::size_t>(c.daily ? 30 : c.hours));
    const std::string html = RenderReportHtml(r, "t");
    // Each chart: the x of every rotated axis label and note, in order.
    for (std::size_t at = html.find("<svg"); at != std::string::npos; at = html.find("<svg", at + 1)) {
      const std::string svg = html.substr(at, html.find("</svg>", at) - at);
      std::vector<double> labels;
      double lastNote = -1e9;
      std::size_t lastNoteChars = 0;
      for (std::size_t t = svg.find("<text x=\""); t != std::string::npos; t = svg.find("<text x=\"", t + 1)) {
        const double x = std::strtod(svg.c_str() + t + 9, nullptr);
        const std::size_t close = svg.find('>', t), end = svg.find("</text>", t);
        const std::string tag = svg.substr(t, close - t);
        const std::size_t chars = end - close - 1;
        if (tag.find("rotate(") != std::string::npos) labels.push_back(x);
        if (tag.find("class=\"nt\" text-anchor=\"middle\"") != std::string::npos) {
          // Centred notes: half of each width on either side, 6.4 px a character at most.
          EXPECT_GE(x - lastNote, 3.2 * static_cast<double>(chars + lastNoteChars)) << svg.substr(t, 80);
          lastNote = x;
          lastNoteChars = chars;
        }
      }
      for (std::size_t i = 1; i < labels.size(); ++i) {
        EXPECT_GE(labels[i] - labels[i - 1], 14.0);  // a rotated 11 px label's line and a gap
      }
    }
  }
}

}  // namespace
}  // namespace kx20
