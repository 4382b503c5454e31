// kx20ctl line: the line's database (built where line mode is: libpq or
// ODBC on Linux, ODBC on Windows).
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "../subcommand.h"
#include "line/line_schema.h"
#include "line/line_link.h"

namespace kx20::ctl {
namespace {

int LineCommand(const std::vector<std::string>& args) {
  if (args.empty() || args[0] != "init") {
    std::fprintf(stderr, "usage: kx20ctl line init CONNINFO [--next N]\n");
    return kExitUsage;
  }
  std::string conninfo;
  std::optional<std::uint32_t> next;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--next" && i + 1 < args.size()) {
      const std::string& text = args[++i];
      char* end = nullptr;
      const unsigned long value = std::strtoul(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || text[0] == '-' || value < 1 || value > 99999999) {
        std::fprintf(stderr, "kx20ctl line init: --next takes 1 to 99999999, not '%s'\n",
                     text.c_str());
        return kExitUsage;
      }
      next = static_cast<std::uint32_t>(value);
    } else if (conninfo.empty() && args[i].rfind("--", 0) != 0) {
      conninfo = args[i];
    } else {
      std::fprintf(stderr, "kx20ctl line init: unexpected argument '%s'\n", args[i].c_str());
      return kExitUsage;
    }
  }
  if (conninfo.empty()) {
    std::fprintf(stderr, "usage: kx20ctl line init CONNINFO [--next N]\n");
    return kExitUsage;
  }
  const std::unique_ptr<LineLink> link = OpenLineLink(conninfo, 10, 30000);
  std::string message;
  if (!InitLineSchema(*link, next, message)) {
    std::fprintf(stderr, "kx20ctl line init: %s\n", message.c_str());
    return kExitFailed;
  }
  std::printf("%s\n", message.c_str());
  return kExitOk;
}

}  // namespace

KX20CTL_SUBCOMMAND("line", "init CONNINFO [--next N]",
                   "create the line's database schema (kx20) or check it; --next sets the "
                   "next serial number the line hands out (default 1 on creation; an "
                   "existing counter is kept unless --next is given). CONNINFO: a libpq "
                   "connection string or URI, or an ODBC one (DSN=..., Driver=..., or "
                   "after odbc:); on Windows always ODBC",
                   LineCommand);

}  // namespace kx20::ctl
