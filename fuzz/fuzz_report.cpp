// The yield report over any produce.log bytes: never a crash; every section
// is either a record or counted as malformed; the counts add up; the HTML
// page carries no markup from the input.
#include <string>

#include "storage/profile_file.h"
#include "fuzz_support.h"
#include "report/production_log_reader.h"
#include "report/report_render.h"
#include "report/verdict_jsonl_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kx20;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  YieldReportBuilder builder;
  const std::uint64_t records = ReadProductionLogText(bytes, "<st>", "fuzz.log", builder);
  const YieldReport report = builder.Build();

  FUZZ_CHECK(report.overall.Total() == records);
  FUZZ_CHECK(records + report.malformedCount == ProfileDocument::Parse(bytes).SectionCount());
  std::uint64_t inHours = 0, inSlots = 0, failures = 0;
  for (const auto& [hour, t] : report.byTime) inHours += t.all.Total();
  for (const SlotStats& s : report.bySlot) {
    inSlots += s.tally.Total();
    FUZZ_CHECK(!s.outlier);  // a log has no known slots
  }
  for (const auto& [code, n] : report.failuresByErrorCode) failures += n;
  FUZZ_CHECK(inHours == records && inSlots == records && failures == report.overall.failed);
  FUZZ_CHECK(report.overall.YieldPercent() >= 0.0 && report.overall.YieldPercent() <= 100.0);

  RenderReportText(report);
  const std::string html = RenderReportHtml(report, "fuzz");
  FUZZ_CHECK(html.find("<st>") == std::string::npos);
  FUZZ_CHECK(html.find("<script") == std::string::npos);

  // The same bytes as produce.jsonl: every line a record, damaged or malformed.
  YieldReportBuilder lines;
  const std::uint64_t objects = ReadVerdictJsonlText(bytes, "<st>", "fuzz.jsonl", lines);
  const YieldReport fromLines = lines.Build();
  FUZZ_CHECK(fromLines.overall.Total() == objects);
  FUZZ_CHECK(fromLines.damagedLines <= fromLines.malformedCount);
  const std::string text = RenderReportText(fromLines);
  for (const char c : text) FUZZ_CHECK(c == '\n' || static_cast<unsigned char>(c) >= 0x20);
  FUZZ_CHECK(RenderReportHtml(fromLines, "fuzz").find("<st>") == std::string::npos);
  return 0;
}
