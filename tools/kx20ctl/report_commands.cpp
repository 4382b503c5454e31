// kx20ctl report: the yield of one or more produce.log files, or of the
// line's database.
#include <cstdio>
#include <string>
#include <vector>

#include "storage/durable_file.h"
#include "report/line_verdicts.h"
#include "report/production_log_reader.h"
#include "report/report_render.h"
#include "subcommand.h"

namespace kx20::ctl {
namespace {

struct LogSource {
  std::string station;
  std::string path;
};

int ReportCommand(const std::vector<std::string>& args) {
  std::vector<LogSource> logs;
  std::vector<std::string> lines;
  std::string htmlPath;
  std::string title = "kx20 yield report";
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto value = [&](const char* option, std::string& out) {
      const std::string prefix = std::string(option) + "=";
      if (a == option && i + 1 < args.size()) {
        out = args[++i];
        return true;
      }
      if (a.rfind(prefix, 0) == 0) {
        out = a.substr(prefix.size());
        return true;
      }
      return false;
    };
    std::string v;
    if (value("--html", htmlPath) || value("--title", title)) continue;
    if (value("--line", v)) {
      lines.push_back(v);
      continue;
    }
    if (a.rfind("--", 0) == 0) {
      std::fprintf(stderr, "kx20ctl report: unexpected argument '%s'\n", a.c_str());
      return kExitUsage;
    }
    // NAME=FILE names the station; a file whose own name holds "=" is taken whole.
    const std::size_t eq = a.find('=');
    if (eq != std::string::npos && eq > 0 && !FileIsReadable(a)) {
      logs.push_back(LogSource{a.substr(0, eq), a.substr(eq + 1)});
    } else {
      logs.push_back(LogSource{a, a});
    }
  }
  if (logs.empty() && lines.empty()) {
    std::fprintf(stderr,
                 "usage: kx20ctl report [--html OUT] [--title TEXT] "
                 "{[STATION=]PRODUCE.LOG ... | --line CONNINFO}\n");
    return kExitUsage;
  }
  if (!lines.empty() && !LineDatabaseAvailable()) {
    std::fprintf(stderr,
                 "kx20ctl report: --line is not available in this build "
                 "(built without the PostgreSQL client library)\n");
    return kExitUsage;
  }

  YieldReportBuilder builder;
  for (const LogSource& log : logs) {
    std::string error;
    if (!ReadProductionLogFile(log.path, log.station, builder, error)) {
      std::fprintf(stderr, "kx20ctl report: %s\n", error.c_str());
      return kExitFailed;
    }
  }
  for (const std::string& conninfo : lines) {
    std::string error;
    if (!ReadLineVerdicts(conninfo, builder, error)) {
      std::fprintf(stderr, "kx20ctl report: %s\n", error.c_str());
      return kExitFailed;
    }
  }

  const YieldReport report = builder.Build();
  const std::string text = RenderReportText(report);
  std::fwrite(text.data(), 1, text.size(), stdout);
  if (!htmlPath.empty()) {
    std::string failure;
    if (!ReplaceFileAtomically(htmlPath, RenderReportHtml(report, title), Durability::kRelaxed,
                               &failure)) {
      std::fprintf(stderr, "kx20ctl report: cannot write '%s': %s\n", htmlPath.c_str(),
                   failure.c_str());
      return kExitFailed;
    }
    std::printf("\nwrote %s\n", htmlPath.c_str());
  }
  return kExitOk;
}

}  // namespace

KX20CTL_SUBCOMMAND("report",
                   "[--html OUT] [--title TEXT] {[STATION=]PRODUCE.LOG ... | --line CONNINFO}",
                   LineDatabaseAvailable()
                       ? "the yield by result, error code, hour, station and slot from "
                         "produce.log files or the line's database (kx20.verdicts); --html "
                         "writes a page with charts"
                       : "the yield by result, error code, hour, station and slot from "
                         "produce.log files; --html writes a page with charts (this build has "
                         "no line mode: --line is not available)",
                   ReportCommand);

}  // namespace kx20::ctl
