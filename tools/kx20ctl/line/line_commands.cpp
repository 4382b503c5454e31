// kx20ctl line: the line's database (built where line mode is: libpq or
// ODBC on Linux, ODBC on Windows).
#ifdef _WIN32
#include <windows.h>
#else
#include <pwd.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../subcommand.h"
#include "line/connection_string.h"
#include "line/lease_journal.h"
#include "line/line_schema.h"
#include "line/line_station.h"
#include "line/line_link.h"

namespace kx20::ctl {
namespace {

constexpr const char* kUsage =
    "usage: kx20ctl line init {CONNINFO | --line-file FILE} [--next N [--force]]\n"
    "                         [--station-role NAME] [--report-role NAME] [--print-sql]\n"
    "       kx20ctl line init --print-sql [--station-role NAME] [--report-role NAME]\n"
    "       kx20ctl line release {CONNINFO | --line-file FILE} STATION\n"
    "CONNINFO may be \"\" or service=NAME (libpq's environment or service file);\n"
    "--line-file reads it from a file that not every user may read, so no password\n"
    "stands on the command line. --print-sql prints the SQL that makes the roles\n"
    "(kx20_station, kx20_report) and gives them their rights, for a DBA.\n";

// The connection string: CONNINFO as given (possibly empty), or read from
// --line-file. False with the message printed.
bool Connection(const char* command, bool fromFile, const std::string& value,
                std::string& conninfo) {
  std::string error;
  if (fromFile) {
    if (!ReadConnectionFile(value, conninfo, error)) {
      std::fprintf(stderr, "kx20ctl line %s: %s\n", command, error.c_str());
      return false;
    }
  } else {
    conninfo = value;
    const std::string warning = CommandLinePasswordWarning(value);
    if (!warning.empty()) std::fprintf(stderr, "kx20ctl line %s: %s\n", command, warning.c_str());
  }
  if (!CheckConnectTimeout(conninfo, error)) {
    std::fprintf(stderr, "kx20ctl line %s: %s\n", command, error.c_str());
    return false;
  }
  return true;
}

// Who runs the command, as recorded with a change on the line: the login
// (the one behind sudo too) and the host.
std::string WhoAmI() {
  std::string user;
#ifdef _WIN32
  char name[256] = {};
  DWORD size = sizeof name;
  user = GetUserNameA(name, &size) != 0 && name[0] != '\0' ? name : "unknown";
#else
  if (const char* sudo = std::getenv("SUDO_USER"); sudo != nullptr && *sudo != '\0') {
    user = sudo;
  } else if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_name != nullptr) {
    user = pw->pw_name;
  } else {
    user = "uid " + std::to_string(getuid());
  }
#endif
  return "kx20ctl " + user + "@" + HomeOf(".").host;
}

int InitCommand(const std::vector<std::string>& args) {
  std::string given;
  bool haveConnection = false;
  bool fromFile = false;
  bool printSql = false;
  LineInitOptions options;
  options.who = WhoAmI();
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--next" && i + 1 < args.size()) {
      const std::string& text = args[++i];
      char* end = nullptr;
      const unsigned long value = std::strtoul(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || text[0] == '-' || value < 1 || value > 99999999) {
        std::fprintf(stderr, "kx20ctl line init: --next takes 1 to 99999999, not '%s'\n",
                     text.c_str());
        return kExitUsage;
      }
      options.next = static_cast<std::uint32_t>(value);
    } else if (args[i] == "--force") {
      options.force = true;
    } else if (args[i] == "--print-sql") {
      printSql = true;
    } else if ((args[i] == "--station-role" || args[i] == "--report-role") &&
               i + 1 < args.size()) {
      std::string& role = args[i] == "--station-role" ? options.stationRole : options.reportRole;
      role = args[++i];
      if (!IsValidRoleName(role)) {
        std::fprintf(stderr,
                     "kx20ctl line init: the role name '%s' is not 1 to 63 lower-case letters, "
                     "digits and '_' (not starting with a digit)\n",
                     role.c_str());
        return kExitUsage;
      }
    } else if (args[i] == "--line-file" && i + 1 < args.size() && !haveConnection) {
      given = args[++i];
      haveConnection = true;
      fromFile = true;
    } else if (!haveConnection && args[i].rfind("--", 0) != 0) {
      given = args[i];
      haveConnection = true;
    } else {
      std::fprintf(stderr, "kx20ctl line init: unexpected argument '%s'\n%s", args[i].c_str(),
                   kUsage);
      return kExitUsage;
    }
  }
  if (options.stationRole == options.reportRole) {
    std::fprintf(stderr, "kx20ctl line init: the station role and the report role must differ\n");
    return kExitUsage;
  }
  if (printSql && !haveConnection) {
    if (options.next || options.force) {
      std::fprintf(stderr, "%s", kUsage);
      return kExitUsage;
    }
    std::printf("%s", LineRolesSql(options.stationRole, options.reportRole).c_str());
    return kExitOk;
  }
  if (!haveConnection || (options.force && !options.next)) {
    std::fprintf(stderr, "%s", kUsage);
    return kExitUsage;
  }
  std::string conninfo;
  if (!Connection("init", fromFile, given, conninfo)) return kExitUsage;
  // A migration counts every verdict the line holds (a year of a line: tens
  // of minutes on a modest server), so a statement may take up to two hours.
  const std::unique_ptr<LineLink> link = OpenLineLink(conninfo, 10, 7200000);
  std::string message;
  if (!InitLineSchema(*link, options, message)) {
    std::fprintf(stderr, "kx20ctl line init: %s\n", message.c_str());
    if (printSql) std::printf("%s", LineRolesSql(options.stationRole, options.reportRole).c_str());
    return kExitFailed;
  }
  std::printf("%s\n", message.c_str());
  if (printSql) std::printf("%s", LineRolesSql(options.stationRole, options.reportRole).c_str());
  return kExitOk;
}

int ReleaseCommand(const std::vector<std::string>& args) {
  std::vector<std::string> plain;
  bool fromFile = false;
  std::string file;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--line-file" && i + 1 < args.size() && !fromFile) {
      fromFile = true;
      file = args[++i];
    } else if (args[i].rfind("--", 0) == 0) {
      std::fprintf(stderr, "%s", kUsage);
      return kExitUsage;
    } else {
      plain.push_back(args[i]);
    }
  }
  if (plain.size() != (fromFile ? 1u : 2u)) {
    std::fprintf(stderr, "%s", kUsage);
    return kExitUsage;
  }
  const std::string& station = plain.back();
  if (!IsValidStationName(station)) {
    std::fprintf(stderr, "kx20ctl line release: '%s' is not a station name\n", station.c_str());
    return kExitUsage;
  }
  std::string conninfo;
  if (!Connection("release", fromFile, fromFile ? file : plain.front(), conninfo)) {
    return kExitUsage;
  }
  const std::unique_ptr<LineLink> link = OpenLineLink(conninfo, 10, 30000);
  ReleaseResult result;
  std::string error;
  if (!ReleaseStation(*link, station, WhoAmI(), result, error)) {
    std::fprintf(stderr, "kx20ctl line release: %s\n", error.c_str());
    return kExitFailed;
  }
  std::printf("station %s released: its journal %s (host %s, work directory %s) no longer holds "
              "the name\n",
              station.c_str(), result.instanceId.c_str(), result.host.c_str(),
              result.directory.c_str());
  if (result.gaps.empty()) {
    std::printf("no unused leased number to write off\n");
  } else {
    std::printf("%llu unused leased number(s) written off as gaps (kx20.serial_gaps):",
                static_cast<unsigned long long>(result.numbersWrittenOff));
    for (const auto& [first, count] : result.gaps) {
      if (count == 1) {
        std::printf(" %u", first);
      } else {
        const Lease run{first, count, 0};
        std::printf(" %u-%u", first, run.Last());
      }
    }
    std::printf("\n");
  }
  std::printf("a station started under this name now begins a new journal; the old journal is "
              "refused wherever it starts\n");
  return kExitOk;
}

int LineCommand(const std::vector<std::string>& args) {
  if (!args.empty() && args[0] == "init") {
    return InitCommand(std::vector<std::string>(args.begin() + 1, args.end()));
  }
  if (!args.empty() && args[0] == "release") {
    return ReleaseCommand(std::vector<std::string>(args.begin() + 1, args.end()));
  }
  std::fprintf(stderr, "%s", kUsage);
  return kExitUsage;
}

}  // namespace

KX20CTL_SUBCOMMAND("line",
                   "init {CONNINFO | --line-file F} [--next N [--force]] [--print-sql] | "
                   "release {CONNINFO | --line-file F} STATION",
                   "init: create the line's database schema (kx20), migrate an older one, or "
                   "check it, and set the rights of its station and report roles (or print their "
                   "SQL with --print-sql); --next sets the next serial number (refused at or "
                   "below the highest number taken unless --force; every change is recorded). "
                   "release: "
                   "free a station's name from the journal that holds it, writing its unused "
                   "leased numbers off as gaps. CONNINFO: a libpq connection string or URI, or "
                   "an ODBC one (DSN=..., Driver=..., or after odbc:); on Windows always ODBC",
                   LineCommand);

}  // namespace kx20::ctl
