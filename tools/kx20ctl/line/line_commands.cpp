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
#include "line/lease_journal.h"
#include "line/line_schema.h"
#include "line/line_station.h"
#include "line/line_link.h"

namespace kx20::ctl {
namespace {

constexpr const char* kUsage =
    "usage: kx20ctl line init CONNINFO [--next N [--force]]\n"
    "       kx20ctl line release CONNINFO STATION\n";

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
  std::string conninfo;
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
    } else if (conninfo.empty() && args[i].rfind("--", 0) != 0) {
      conninfo = args[i];
    } else {
      std::fprintf(stderr, "kx20ctl line init: unexpected argument '%s'\n%s", args[i].c_str(),
                   kUsage);
      return kExitUsage;
    }
  }
  if (conninfo.empty() || (options.force && !options.next)) {
    std::fprintf(stderr, "%s", kUsage);
    return kExitUsage;
  }
  const std::unique_ptr<LineLink> link = OpenLineLink(conninfo, 10, 30000);
  std::string message;
  if (!InitLineSchema(*link, options, message)) {
    std::fprintf(stderr, "kx20ctl line init: %s\n", message.c_str());
    return kExitFailed;
  }
  std::printf("%s\n", message.c_str());
  return kExitOk;
}

int ReleaseCommand(const std::vector<std::string>& args) {
  if (args.size() != 2 || args[0].rfind("--", 0) == 0 || args[1].rfind("--", 0) == 0) {
    std::fprintf(stderr, "%s", kUsage);
    return kExitUsage;
  }
  const std::string& station = args[1];
  if (!IsValidStationName(station)) {
    std::fprintf(stderr, "kx20ctl line release: '%s' is not a station name\n", station.c_str());
    return kExitUsage;
  }
  const std::unique_ptr<LineLink> link = OpenLineLink(args[0], 10, 30000);
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

KX20CTL_SUBCOMMAND("line", "init CONNINFO [--next N [--force]] | release CONNINFO STATION",
                   "init: create the line's database schema (kx20), migrate an older one, or "
                   "check it; --next sets the next serial number (refused at or below the "
                   "highest number taken unless --force; every change is recorded). release: "
                   "free a station's name from the journal that holds it, writing its unused "
                   "leased numbers off as gaps. CONNINFO: a libpq connection string or URI, or "
                   "an ODBC one (DSN=..., Driver=..., or after odbc:); on Windows always ODBC",
                   LineCommand);

}  // namespace kx20::ctl
