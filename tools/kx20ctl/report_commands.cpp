// kx20ctl report: the yield of produce.log / produce.jsonl files, or of the
// line's database.
#include <cmath>
#include <cstdio>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "report/line_verdicts.h"
#include "report/production_log_reader.h"
#include "report/report_render.h"
#include "report/report_time.h"
#include "storage/durable_file.h"
#include "subcommand.h"
#if defined(KX20CTL_HAVE_LINE)
#include "line/connection_string.h"
#endif

namespace kx20::ctl {
namespace {

struct LogSource {
  std::string station;
  std::string path;
};

constexpr const char* kUsage =
    "[--since UTC] [--until UTC] [--last N{m|h|d}] [--by lot|operator|station|slot|hour|day] "
    "[--html OUT] [--title TEXT] {[STATION=]FILE ... | {--line CONNINFO | --line-file FILE} [--read-rows]}";

constexpr const char* kHelp =
    "FILE is a produce.log or a produce.jsonl; a produce.log with a produce.jsonl beside it is\n"
    "read with it. A file's records count under STATION (default: the path).\n"
    "  --since UTC       only verdicts finished at or after UTC: 2026-12-01, 2026-12-01T06:00\n"
    "                    or 2026-12-01T06:00:30 (a space for the T and a final Z allowed)\n"
    "  --until UTC       only verdicts finished before UTC\n"
    "  --last N{m|h|d}   the last N minutes, hours or days (up to --until, or now)\n"
    "  --by KEY          a table by lot, operator, station, slot, hour or day: yield,\n"
    "                    first-pass and final yield, reworks, disks per hour\n"
    "  --html OUT        also write a self-contained page with charts to OUT\n"
    "  --title TEXT      the page's title\n"
    "  --line CONNINFO   the line's database (libpq conninfo or URI, or an ODBC string);\n"
    "                    counted in the database, only the groups fetched\n"
    "  --line-file FILE  the same string read from FILE (not readable by every user), so\n"
    "                    that no password stands on the command line\n"
    "  --read-rows       read every row of the line and count here instead (slow; the same\n"
    "                    figures; used as well when files are read with the line)\n"
    "Times in the tables are local (for the line: the session's zone, PGTZ chooses it).\n";

int Usage(const char* why, const std::string& what) {
  std::fprintf(stderr, "kx20ctl report: %s%s\nusage: kx20ctl report %s\n", why, what.c_str(), kUsage);
  return kExitUsage;
}

int ReportCommand(const std::vector<std::string>& args) {
  std::vector<LogSource> logs;
  std::vector<std::string> lines;
  std::string htmlPath;
  std::string title = "kx20 yield report";
  std::string since, until, last, by;
  bool readRows = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool missing = false;
    const auto value = [&](const char* option, std::string& out) {
      const std::string prefix = std::string(option) + "=";
      if (a == option) {
        if (i + 1 >= args.size()) {
          missing = true;
          return false;
        }
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
    if (value("--html", htmlPath) || value("--title", title) || value("--since", since) ||
        value("--until", until) || value("--last", last) || value("--by", by)) {
      continue;
    }
    if (value("--line", v)) {
#if defined(KX20CTL_HAVE_LINE)
      const std::string warning = CommandLinePasswordWarning(v);
      if (!warning.empty()) std::fprintf(stderr, "kx20ctl report: %s\n", warning.c_str());
#endif
      lines.push_back(v);
      continue;
    }
    if (value("--line-file", v)) {
#if defined(KX20CTL_HAVE_LINE)
      std::string conninfo, error;
      if (!ReadConnectionFile(v, conninfo, error)) {
        std::fprintf(stderr, "kx20ctl report: %s\n", error.c_str());
        return kExitUsage;
      }
      lines.push_back(conninfo);
#else
      std::fprintf(stderr,
                   "kx20ctl report: --line-file is not available in this build "
                   "(built without line mode)\n");
      return kExitUsage;
#endif
      continue;
    }
    if (missing) return Usage("missing value after ", a);
    if (a == "--read-rows") {
      readRows = true;
      continue;
    }
    if (a.rfind("--", 0) == 0) return Usage("unexpected argument ", "'" + a + "'");
    // NAME=FILE names the station; a file whose own name holds "=" is taken whole.
    const std::size_t eq = a.find('=');
    if (eq != std::string::npos && eq > 0 && !FileIsReadable(a)) {
      logs.push_back(LogSource{a.substr(0, eq), a.substr(eq + 1)});
    } else {
      logs.push_back(LogSource{a, a});
    }
  }
  if (logs.empty() && lines.empty()) return Usage("nothing to report: ", "name files or --line");
  if (!lines.empty() && !LineDatabaseAvailable()) {
    std::fprintf(stderr,
                 "kx20ctl report: --line is not available in this build "
                 "(built without the PostgreSQL client library)\n");
    return kExitUsage;
  }

  ReportWindow window;
  if (!since.empty()) {
    const std::optional<double> t = ParseWindowTime(since);
    if (!t) return Usage("--since is no UTC time (2026-12-01 or 2026-12-01T06:00): ", since);
    window.since = *t;
  }
  if (!until.empty()) {
    const std::optional<double> t = ParseWindowTime(until);
    if (!t) return Usage("--until is no UTC time (2026-12-01 or 2026-12-01T06:00): ", until);
    window.until = *t;
  }
  if (!last.empty()) {
    if (!since.empty()) return Usage("--last and --since ", "cannot be given together");
    const std::optional<double> d = ParseDuration(last);
    if (!d) return Usage("--last is no span (such as 90m, 24h, 7d): ", last);
    if (std::isnan(window.until)) window.until = static_cast<double>(std::time(nullptr));
    window.since = window.until - *d;
  }
  if (!std::isnan(window.since) && !std::isnan(window.until) && window.since >= window.until) {
    return Usage("the window is empty: ", "--since must come before --until");
  }
  GroupBy groupBy = GroupBy::kNone;
  if (!by.empty()) {
    const std::optional<GroupBy> g = ParseGroupBy(by);
    if (!g) return Usage("--by takes lot, operator, station, slot, hour or day, not ", "'" + by + "'");
    groupBy = *g;
  }

  YieldReportBuilder builder(window, groupBy);
  // A produce.log reads the produce.jsonl beside it: that .jsonl named too
  // is not read again (logs first, so that either order works).
  std::set<std::string> read;
  std::vector<LogSource> ordered;
  for (const LogSource& log : logs) {
    if (log.path.size() < 6 || log.path.compare(log.path.size() - 6, 6, ".jsonl") != 0) {
      ordered.push_back(log);
    }
  }
  for (const LogSource& log : logs) {
    if (log.path.size() >= 6 && log.path.compare(log.path.size() - 6, 6, ".jsonl") == 0) {
      ordered.push_back(log);
    }
  }
  for (const LogSource& log : ordered) {
    std::string error;
    if (!ReadRecordFile(log.path, log.station, builder, read, error)) {
      std::fprintf(stderr, "kx20ctl report: %s\n", error.c_str());
      return kExitFailed;
    }
  }
  // One line alone is counted by its database; with files or other lines,
  // every row is read (repeated serial numbers across them).
  const bool aggregate = !readRows && logs.empty() && lines.size() == 1;
  for (const std::string& conninfo : lines) {
    std::string error;
    const bool ok = aggregate ? AggregateLineVerdicts(conninfo, builder, error)
                              : ReadLineVerdicts(conninfo, builder, error);
    if (!ok) {
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
    std::printf("\nwrote %s\n", CleanText(htmlPath).c_str());
  }
  return kExitOk;
}

}  // namespace

KX20CTL_SUBCOMMAND_HELP("report", kUsage,
                        LineDatabaseAvailable()
                            ? "the yield by result, error code, hour, station and slot, first-pass "
                              "and final yield, reworks, disks per hour and each slot's disk time, "
                              "from produce.log/produce.jsonl files or the line's database "
                              "(kx20.verdicts); --html writes a page with charts"
                            : "the yield by result, error code, hour, station and slot, first-pass "
                              "and final yield, reworks, disks per hour and each slot's disk time, "
                              "from produce.log/produce.jsonl files; --html writes a page with "
                              "charts (this build has no line mode: --line is not available)",
                        kHelp, ReportCommand);

}  // namespace kx20::ctl
