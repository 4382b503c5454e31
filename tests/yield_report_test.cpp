#include "report/yield_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/profile_file.h"
#include "production/production_log.h"
#include "report/production_log_reader.h"
#include "report/report_render.h"
#include "support/calendar_time.h"

namespace kx20 {
namespace {

using testing::At;

// A log as the station's own writer makes it.
std::string PassAt(const CalendarTime& t, std::uint32_t serial = 1) {
  return FormatLogRecord(t, MakePassRecord(serial, 262143));
}
std::string FailAt(const CalendarTime& t, const char* code) {
  return FormatLogRecord(t, MakeFailRecord(code));
}

VerdictRecord Record(const std::string& station, int slot, bool passed, const char* code = "") {
  VerdictRecord r;
  r.station = station;
  r.slot = slot;
  r.passed = passed;
  r.errorCode = code;
  r.year = 2026;
  r.month = 12;
  r.day = 8;
  r.hour = 10;
  return r;
}

TEST(YieldReport, SectionTimes) {
  struct Case {
    const char* name;
    bool ok;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  };
  const Case cases[] = {
      {"2004/5/3  14:7:9", true, 2004, 5, 3, 14, 7, 9},
      {"2026/12/31  23:59:59", true, 2026, 12, 31, 23, 59, 59},
      {"2026/01/02 03:04:05", true, 2026, 1, 2, 3, 4, 5},  // padded, one space
      {"2024/2/29  0:0:0", true, 2024, 2, 29, 0, 0, 0},    // leap day
      {"2026/6/30  23:59:60", true, 2026, 6, 30, 23, 59, 60},  // leap second
      {"2026/2/29  0:0:0", false},
      {"2026/13/1  1:1:1", false},
      {"2026/4/31  1:1:1", false},
      {"2026/5/3  24:0:0", false},
      {"2026/5/3  14:60:0", false},
      {"2026/5/3", false},
      {"2026/5/3  14:7", false},
      {"2026/5/314:7:9", false},
      {"2026/5/3  14:7:9x", false},
      {"20260/5/3  14:7:9", false},
      {"-1/5/3  14:7:9", false},
      {"", false},
      {"Settings", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VerdictRecord r;
    ASSERT_EQ(ParseLogSectionTime(c.name, r), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(r.year, c.y);
    EXPECT_EQ(r.month, c.mo);
    EXPECT_EQ(r.day, c.d);
    EXPECT_EQ(r.hour, c.h);
    EXPECT_EQ(r.minute, c.mi);
    EXPECT_EQ(r.second, c.s);
  }
}

TEST(YieldReport, CountsFromTheStationsOwnLog) {
  const std::string log = PassAt(At(2026, 12, 8, 9, 0, 1), 1) + PassAt(At(2026, 12, 8, 9, 0, 2), 2) +
                          FailAt(At(2026, 12, 8, 9, 0, 3), "USBErr_Config") +
                          FailAt(At(2026, 12, 8, 10, 5, 0), "USBErr_RW_Compare") +
                          FailAt(At(2026, 12, 8, 10, 5, 1), "USBErr_RW_Compare") +
                          PassAt(At(2026, 12, 8, 10, 5, 2), 3);
  YieldReportBuilder b;
  EXPECT_EQ(ReadProductionLogText(log, "A", "a.log", b), 6u);
  const YieldReport r = b.Build();
  EXPECT_EQ(r.overall.passed, 3u);
  EXPECT_EQ(r.overall.failed, 3u);
  EXPECT_DOUBLE_EQ(r.overall.YieldPercent(), 50.0);
  EXPECT_TRUE(r.malformed.empty());
  const std::map<std::string, std::uint64_t> codes{{"USBErr_Config", 1}, {"USBErr_RW_Compare", 2}};
  EXPECT_EQ(r.failuresByErrorCode, codes);
  ASSERT_EQ(r.byTime.size(), 2u);
  EXPECT_EQ(r.byTime.at(HourKey{2026, 12, 8, 9}).all.passed, 2u);
  EXPECT_EQ(r.byTime.at(HourKey{2026, 12, 8, 10}).all.failed, 2u);
  ASSERT_EQ(r.bySlot.size(), 1u);
  EXPECT_EQ(r.bySlot[0].slot, 0);  // the log has no slots
  EXPECT_EQ(r.bySlot[0].station, "A");
  EXPECT_FALSE(r.bySlot[0].outlier);
}

TEST(YieldReport, EncodingsAndLineEndingsReadAlike) {
  const std::string text = PassAt(At(2026, 12, 8, 9, 0, 1)) +
                           FailAt(At(2026, 12, 8, 9, 0, 2), "USBErr_Pnf") +
                           PassAt(At(2026, 12, 8, 9, 0, 3));
  const auto withEnds = [&](const char* end) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text.compare(i, 2, "\r\n") == 0) {
        out += end;
        ++i;
      } else {
        out += text[i];
      }
    }
    return out;
  };
  struct Case {
    const char* what;
    std::string bytes;
  };
  const Case cases[] = {
      {"plain CRLF", text},
      {"plain LF", withEnds("\n")},
      {"plain CR", withEnds("\r")},
      {"UTF-8 mark", EncodeProfileText(text, ProfileEncoding::kUtf8Bom, true)},
      {"UTF-16LE", EncodeProfileText(text, ProfileEncoding::kUtf16Le, true)},
      {"UTF-16BE LF", EncodeProfileText(withEnds("\n"), ProfileEncoding::kUtf16Be, true)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    YieldReportBuilder b;
    EXPECT_EQ(ReadProductionLogText(c.bytes, "A", "a.log", b), 3u);
    const YieldReport r = b.Build();
    EXPECT_EQ(r.overall.passed, 2u);
    EXPECT_EQ(r.overall.failed, 1u);
    EXPECT_EQ(r.failuresByErrorCode.count("USBErr_Pnf"), 1u);
    EXPECT_TRUE(r.malformed.empty());
  }
}

TEST(YieldReport, MalformedSectionsAreCountedWithTheirReason) {
  struct Case {
    const char* what;
    std::string text;
    std::uint64_t records;
    const char* reason;  // of the one malformed section; nullptr: none
  };
  const std::string good = PassAt(At(2026, 12, 8, 9, 0, 1));
  const Case cases[] = {
      {"text before the first section", "Result=Pass\r\n" + good, 1,
       "text before the first section"},
      {"not a time", "[yesterday]\r\nResult=Pass\r\n" + good, 1, "not a date and time"},
      {"no result", "[2026/12/8  9:0:0]\r\nSerial Number=00000001\r\n" + good, 1, "no Result"},
      {"torn after the header", good + "[2026/12/8  9:0:5]\r\n", 1, "no Result"},
      {"other result", "[2026/12/8  9:0:0]\r\nResult=Maybe\r\n" + good, 1, "neither Pass nor FAIL"},
      {"pass with an error", "[2026/12/8  9:0:0]\r\nResult=Pass\r\nError Code=USBErr_Pnf\r\n" + good,
       1, "a pass with the error code"},
      {"bare result line", "[2026/12/8  9:0:0]\r\nResult\r\n" + good, 1, "neither Pass nor FAIL"},
      {"quoted and lower case", "[2026/12/8  9:0:0]\r\nresult=\"pass\"\r\n" + good, 2, nullptr},
      {"a failure without a code", "[2026/12/8  9:0:0]\r\nResult=FAIL\r\n" + good, 2, nullptr},
      {"same name twice", good + good, 2, nullptr},
      {"empty file", "", 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    YieldReportBuilder b;
    EXPECT_EQ(ReadProductionLogText(c.text, "A", "a.log", b), c.records);
    const YieldReport r = b.Build();
    EXPECT_EQ(r.overall.Total(), c.records);
    if (c.reason == nullptr) {
      EXPECT_TRUE(r.malformed.empty()) << r.malformed[0].reason;
    } else {
      ASSERT_EQ(r.malformed.size(), 1u);
      EXPECT_NE(r.malformed[0].reason.find(c.reason), std::string::npos) << r.malformed[0].reason;
      EXPECT_EQ(r.malformed[0].source, "a.log");
    }
  }
  YieldReportBuilder b;
  ReadProductionLogText("[2026/12/8  9:0:0]\r\nResult=FAIL\r\n", "A", "a.log", b);
  EXPECT_EQ(b.Build().failuresByErrorCode.count("(none)"), 1u);
}

// A log cut at every byte (a power loss mid-write) or with bytes damaged never
// crashes the reader, and every section is either a record or malformed.
TEST(YieldReport, TornAndDamagedLogsAreReadSafely) {
  std::string log;
  for (int i = 0; i < 4; ++i) log += PassAt(At(2026, 12, 8, 9, 0, i));
  log += FailAt(At(2026, 12, 8, 9, 1, 0), "USBErr_Config");
  for (const ProfileEncoding e : {ProfileEncoding::kPlain, ProfileEncoding::kUtf16Le}) {
    const std::string bytes = EncodeProfileText(log, e, true);
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
      YieldReportBuilder b;
      const std::uint64_t n = ReadProductionLogText(bytes.substr(0, cut), "A", "a.log", b);
      EXPECT_LE(n, 5u);
      const YieldReport r = b.Build();
      EXPECT_EQ(r.overall.Total(), n);
    }
    std::string damaged = bytes;
    for (std::size_t i = 0; i < damaged.size(); i += 7) damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
    YieldReportBuilder b;
    const std::uint64_t n = ReadProductionLogText(damaged, "A", "a.log", b);
    EXPECT_LE(n, 5u);
  }
}

TEST(YieldReport, HoursAcrossMidnightAndYearEndStayInOrder) {
  const std::string log = PassAt(At(2026, 12, 31, 23, 59, 58)) +
                          FailAt(At(2026, 12, 31, 23, 59, 59), "USBErr_Pnf") +
                          PassAt(At(2027, 1, 1, 0, 0, 0)) + PassAt(At(2027, 1, 1, 0, 0, 1)) +
                          PassAt(At(2026, 12, 9, 8, 0, 0)) + PassAt(At(2026, 12, 10, 8, 0, 0));
  YieldReportBuilder b({}, GroupBy::kNone, TimeBuckets::kHour);
  ReadProductionLogText(log, "A", "a.log", b);
  const YieldReport r = b.Build();
  std::vector<std::string> hours;
  for (const auto& [h, t] : r.byTime) hours.push_back(FormatHour(h) + " " + std::to_string(t.all.Total()));
  const std::vector<std::string> expected{"2026-12-09 08:00 1", "2026-12-10 08:00 1",
                                          "2026-12-31 23:00 2", "2027-01-01 00:00 2"};
  EXPECT_EQ(hours, expected);
  EXPECT_DOUBLE_EQ(r.byTime.at(HourKey{2026, 12, 31, 23}).all.YieldPercent(), 50.0);
  // Left to itself, a span of more than two days is counted by day.
  YieldReportBuilder days;
  ReadProductionLogText(log, "A", "a.log", days);
  const YieldReport d = days.Build();
  EXPECT_TRUE(d.daily);
  ASSERT_EQ(d.byTime.size(), 4u);
  EXPECT_EQ(d.byTime.begin()->first, (HourKey{2026, 12, 9, 0}));
  EXPECT_NE(RenderReportText(d).find("\nby day\n  day "), std::string::npos);
}

TEST(YieldReport, BinomialTail) {
  struct Case {
    std::uint64_t n, k;
    double p, expected;
  };
  const Case cases[] = {
      {10, 0, 0.3, 1.0},         {10, 11, 0.3, 0.0},          {10, 1, 0.0, 0.0},
      {10, 10, 1.0, 1.0},        {10, 10, 0.5, 1.0 / 1024},   {5, 3, 0.5, 0.5},
      {4, 2, 0.1, 0.0523},       {1000, 500, 0.5, 0.51261},  {100000, 1000, 0.005, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.n) + " " + std::to_string(c.k) + " " + std::to_string(c.p));
    EXPECT_NEAR(BinomialUpperTail(c.n, c.k, c.p), c.expected, 1e-4);
  }
}

TEST(YieldReport, OutlierRule) {
  struct SlotSpec {
    const char* station;
    int slot;
    int passed, failed;
  };
  struct Case {
    const char* what;
    std::vector<SlotSpec> slots;
    std::vector<int> outliers;  // slot numbers expected to stand out
  };
  const auto tenSlots = [](int badSlot, int badFails, int records, int otherFails) {
    std::vector<SlotSpec> s;
    for (int slot = 1; slot <= 10; ++slot) {
      const int f = slot == badSlot ? badFails : otherFails;
      s.push_back({"A", slot, records - f, f});
    }
    return s;
  };
  const Case cases[] = {
      {"one bad port among clean ones", tenSlots(3, 5, 10, 0), {3}},
      {"three failures out of five, rest clean", tenSlots(7, 3, 5, 0), {7}},
      {"the same rate everywhere", tenSlots(3, 1, 10, 1), {}},
      {"slightly worse: not enough to say", tenSlots(3, 3, 20, 2), {}},
      {"too few records", tenSlots(3, 2, 2, 0), {}},
      {"one failure never marks", tenSlots(3, 1, 100, 0), {}},
      {"two failures never mark, however clean the rest",
       {{"A", 1, 3, 2}, {"A", 2, 900, 0}, {"A", 3, 900, 0}},
       {}},
      {"a clearly bad port in a noisy line", tenSlots(5, 30, 100, 5), {5}},
      {"one known slot: nothing to compare", {{"A", 1, 0, 10}}, {}},
      {"unknown slots are never marked", {{"A", 0, 0, 50}, {"A", 1, 50, 0}, {"A", 2, 50, 0}}, {}},
      {"same slot number on another station is another port",
       {{"A", 1, 50, 0}, {"A", 2, 50, 0}, {"B", 1, 40, 10}, {"B", 2, 50, 0}},
       {1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    YieldReportBuilder b;
    for (const SlotSpec& s : c.slots) {
      for (int i = 0; i < s.passed; ++i) b.Add(Record(s.station, s.slot, true));
      for (int i = 0; i < s.failed; ++i) b.Add(Record(s.station, s.slot, false, "USBErr_RWTable"));
    }
    const YieldReport r = b.Build();
    std::vector<int> marked;
    for (const SlotStats& s : r.bySlot) {
      if (s.outlier) marked.push_back(s.slot);
    }
    EXPECT_EQ(marked, c.outliers);
  }
}

TEST(YieldReport, RenderedOutputsShowOutliersAndEscapeTexts) {
  YieldReportBuilder b;
  for (int slot = 1; slot <= 4; ++slot) {
    for (int i = 0; i < 10; ++i) {
      const bool fail = slot == 2 && i < 6;
      b.Add(Record("<b>&line", slot, !fail, fail ? "USBErr_RW_Compare" : ""));
    }
  }
  b.AddMalformed(MalformedRecord{"x.log", "<script>", "no Result"});
  const YieldReport r = b.Build();
  ASSERT_TRUE(r.bySlot[1].outlier);

  const std::string text = RenderReportText(r);
  EXPECT_NE(text.find("STANDS OUT"), std::string::npos);
  EXPECT_NE(text.find("yield: 85.0 %"), std::string::npos);
  EXPECT_NE(text.find("x.log [<script>]: no Result"), std::string::npos);

  const std::string html = RenderReportHtml(r, "Line <1>");
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("<b>&line"), std::string::npos);
  EXPECT_NE(html.find("&lt;b&gt;&amp;line"), std::string::npos);
  EXPECT_NE(html.find("Line &lt;1&gt;"), std::string::npos);
  EXPECT_NE(html.find("<tr class=\"out\">"), std::string::npos);
  // Six charts (yield and disks per hour, error codes, failure rate and disk
  // time by slot, stations), and nothing fetched from elsewhere.
  std::size_t charts = 0;
  for (std::size_t at = html.find("<svg"); at != std::string::npos; at = html.find("<svg", at + 1)) {
    ++charts;
  }
  EXPECT_EQ(charts, 6u);
  EXPECT_EQ(html.find("src="), std::string::npos);
  EXPECT_EQ(html.find("href="), std::string::npos);
}


// A pass serial seen twice, in one log, across logs, or with a record from
// elsewhere, is listed with every place it was seen; failures, serials seen
// once and passes without a number are not.
TEST(YieldReport, RepeatedPassSerialsAreListedWithWhereEachWasSeen) {
  const std::string logA = PassAt(At(2026, 12, 8, 9, 0, 0), 5) +
                           PassAt(At(2026, 12, 8, 9, 0, 1), 6) +
                           PassAt(At(2026, 12, 8, 9, 0, 2), 5) +   // 5 again, same log
                           FailAt(At(2026, 12, 8, 9, 0, 3), "USBErr_RW_Compare") +
                           PassAt(At(2026, 12, 8, 9, 0, 4), 0);    // no number
  const std::string logB = PassAt(At(2026, 12, 8, 10, 0, 0), 6) +  // 6 again, other log
                           PassAt(At(2026, 12, 8, 10, 0, 1), 7) +
                           PassAt(At(2026, 12, 8, 10, 0, 2), 0);
  YieldReportBuilder b;
  ReadProductionLogText(logA, "A", "a/produce.log", b);
  ReadProductionLogText(logB, "B", "b/produce.log", b);
  VerdictRecord line = Record("st3", 4, true);
  line.serial = 7;
  line.where = "database: station st3 slot 4";
  b.Add(line);
  VerdictRecord failed = Record("st3", 5, false, "USBErr_Pnf");
  failed.serial = 8;
  b.Add(failed);
  b.Add(failed);  // a failure's serial is no repeat

  const YieldReport r = b.Build();
  ASSERT_EQ(r.repeatedSerials.size(), 3u);
  EXPECT_EQ(r.repeatedSerials[0].serial, 5u);
  EXPECT_EQ(r.repeatedSerials[0].seenAt,
            (std::vector<std::string>{"a/produce.log [2026/12/8  9:0:0]",
                                      "a/produce.log [2026/12/8  9:0:2]"}));
  EXPECT_EQ(r.repeatedSerials[1].serial, 6u);
  EXPECT_EQ(r.repeatedSerials[1].seenAt,
            (std::vector<std::string>{"a/produce.log [2026/12/8  9:0:1]",
                                      "b/produce.log [2026/12/8  10:0:0]"}));
  EXPECT_EQ(r.repeatedSerials[2].serial, 7u);
  EXPECT_EQ(r.repeatedSerials[2].seenAt.back(), "database: station st3 slot 4");

  const std::string text = RenderReportText(r);
  EXPECT_NE(text.find("repeated serial numbers: 3\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  00000006  seen 2 times:\n    a/produce.log [2026/12/8  9:0:1]\n"
                      "    b/produce.log [2026/12/8  10:0:0]\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("00000008"), std::string::npos);
  const std::string html = RenderReportHtml(r, "t");
  EXPECT_NE(html.find("<h2>Repeated serial numbers</h2>"), std::string::npos);
  EXPECT_NE(html.find("<td>00000005</td><td>2</td>"), std::string::npos);

  YieldReportBuilder clean;
  ReadProductionLogText(PassAt(At(2026, 12, 8, 9, 0, 0), 5), "A", "a.log", clean);
  const std::string none = RenderReportText(clean.Build());
  EXPECT_NE(none.find("repeated serial numbers: 0\n"), std::string::npos);
  EXPECT_NE(none.find("(a pass serial seen more than once)\n  none\n"), std::string::npos);
}

TEST(YieldReport, ASerialRepeatedOnManyDisksListsTheFirstPlacesAndCountsTheRest) {
  YieldReportBuilder b;
  for (int i = 0; i < 25; ++i) {
    VerdictRecord r = Record("A", 1, true);
    r.serial = 42;
    r.where = "place " + std::to_string(i);
    b.Add(r);
  }
  const std::string text = RenderReportText(b.Build());
  EXPECT_NE(text.find("00000042  seen 25 times:"), std::string::npos);
  EXPECT_NE(text.find("    place 19\n    ... and 5 more\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("place 20"), std::string::npos);
}

}  // namespace
}  // namespace kx20
