// Line mode for the station programs (kx20-station, kx20-station.exe and
// kx20-console.exe): the options --line, --line-file, --station and --lease,
// the line station behind them, and its wiring into the Station's hooks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "app/station.h"
#include "line/connection_string.h"
#include "line/line_station.h"

namespace kx20 {

struct LineModeOptions {
  bool on = false;      // line mode: --line or --line-file was given
  // The line's database; may be empty (libpq: every setting from the
  // environment, PGSERVICE, PGHOST, ...).
  std::string line;
  std::string station;  // this station's name in the line
  std::uint32_t lease = 0;  // numbers per take into the journal (0: one per disk)
};

#ifdef _WIN32
inline constexpr const char* kLineModeUsage =
    "line mode (several stations share one serial sequence and record):\n"
    "  --line CONNSTR  the line's PostgreSQL database through ODBC: DSN=NAME, or\n"
#if defined(_WIN64)
    "                  Driver={PostgreSQL Unicode(x64)};Server=HOST;Database=NAME\n"
#else
    "                  Driver={PostgreSQL Unicode};Server=HOST;Database=NAME\n"
#endif
    "                  (keep the password in the DSN or the driver's password file)\n"
    "  --line-file F   the connection string from the file F instead\n"
    "  --station NAME  this station's name in the line (needed with --line)\n"
    "  --lease N       take N serial numbers at a time into a local journal, so a\n"
    "                  short database outage does not stop the station\n";
#else
inline constexpr const char* kLineModeUsage =
    "line mode (several stations share one serial sequence and record):\n"
    "  --line CONNINFO the line's PostgreSQL database: a libpq connection string or\n"
    "                  URI, or an ODBC connection string (DSN=NAME, Driver=..., or\n"
    "                  anything after odbc:): serial numbers come from it, verdicts\n"
    "                  go to it; \"\" or service=NAME: settings from libpq's\n"
    "                  environment or service file\n"
    "  --line-file F   the connection string from the file F (not readable by\n"
    "                  every user), so no password stands on the command line\n"
    "  --station NAME  this station's name in the line (needed with --line)\n"
    "  --lease N       take N serial numbers at a time into a local journal, so a\n"
    "                  short database outage does not stop the station\n";
#endif

// Takes args[i] (and its value) when it is a line option; false when it is
// not one. `error` is set when it is one with a bad value.
inline bool TakeLineOption(const std::vector<std::string>& args, std::size_t& i,
                           LineModeOptions& options, std::string& error) {
  const std::string& a = args[i];
  if ((a != "--line" && a != "--line-file" && a != "--station" && a != "--lease") ||
      i + 1 >= args.size()) {
    return false;
  }
  const std::string& value = args[++i];
  if (a == "--line" || a == "--line-file") {
    if (options.on) {
      error = "give the line's database once (--line or --line-file)";
      return true;
    }
    options.on = true;
    if (a == "--line") {
      options.line = value;
      const std::string warning = CommandLinePasswordWarning(value);
      if (!warning.empty()) std::fprintf(stderr, "kx20-station: %s\n", warning.c_str());
    } else if (!ReadConnectionFile(value, options.line, error)) {
      return true;
    }
    CheckConnectTimeout(options.line, error);
  } else if (a == "--station") {
    options.station = value;
  } else {
    char* end = nullptr;
    const unsigned long n = std::strtoul(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || value[0] == '-' || n < 1 || n > 100000) {
      error = "--lease takes 1 to 100000 numbers, not '" + value + "'";
    } else {
      options.lease = static_cast<std::uint32_t>(n);
    }
  }
  return true;
}

// The options together: --line needs --station, and the others need --line.
inline bool CheckLineOptions(const LineModeOptions& options, std::string& error) {
  if (options.on && options.station.empty()) {
    error = "--line needs --station NAME (who takes the serial numbers)";
    return false;
  }
  if (!options.on && (!options.station.empty() || options.lease != 0)) {
    error = "--station and --lease need --line CONNINFO (or --line-file FILE)";
    return false;
  }
  return true;
}

// Opens the line station and hooks it into `hooks` (serial numbers from the
// line, every verdict to it, the station's name in the records). The station is never destroyed: a worker may
// still use it when the program ends. Null with `error` when the journal or
// the outbox is damaged.
inline LineStation* OpenLineMode(const LineModeOptions& options, const std::string& workDir,
                                 std::function<void(const std::string&)> notify,
                                 int lookIntervalMs, StationOptions& hooks, std::string& error) {
  LineOptions lineOptions;
  lineOptions.conninfo = options.line;
  lineOptions.station = options.station;
  lineOptions.workDir = workDir;
  lineOptions.lease = options.lease;
  lineOptions.notify = std::move(notify);
  lineOptions.lookIntervalMs = lookIntervalMs;
  LineStation* line = LineStation::Open(std::move(lineOptions), error).release();
  if (line == nullptr) return nullptr;
  hooks.serialSource = [line](const SerialRequest& request, std::uint32_t& number,
                              std::string& reason) {
    return line->TakeSerial(request, number, reason);
  };
  hooks.stationName = options.station;  // named by every produce.jsonl line
  // (returns what RecordVerdict returns: whether the line's outbox took it)
  hooks.verdictSink = [line](const VerdictEvent& event) { return line->RecordVerdict(event); };
  return line;
}

// Before the program ends: what waits in the outbox is sent if it can be
// within `timeoutMs`; what cannot stays there for the next start.
inline void FlushLineMode(LineStation* line, int timeoutMs = 5000) {
  if (line == nullptr) return;
  if (const std::size_t left = line->Flush(timeoutMs); left > 0) {
    std::fprintf(stderr,
                 "kx20-station: line: %zu verdict(s) stay in the outbox; they are sent at the "
                 "next start\n",
                 left);
  }
}

}  // namespace kx20
