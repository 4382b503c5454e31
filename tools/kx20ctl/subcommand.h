// kx20ctl subcommands register themselves here: each source file of the tool
// defines its subcommands with a static KX20CTL_SUBCOMMAND registration.
//
// Exit status convention: 0 success, 1 the device command (or the operation)
// failed, 2 usage or input error.
#pragma once

#include <string>
#include <vector>

namespace kx20::ctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Receives the arguments after the subcommand's name.
using SubcommandFn = int (*)(const std::vector<std::string>& args);

struct Subcommand {
  const char* name;
  const char* usage;    // argument synopsis, e.g. "[--sim[=FARM]] L"
  const char* summary;  // one line for the help text
  SubcommandFn run;
  const char* help = nullptr;  // more for `kx20ctl NAME --help` (lines ending in newlines)
};

// `kx20ctl NAME --help` (or -h as the only argument): the command's usage,
// summary and help, on stdout.
void PrintSubcommandHelp(const Subcommand& subcommand);

// Adds a subcommand to the tool's table; returns true (for static initialisers).
bool RegisterSubcommand(const Subcommand& subcommand);
const std::vector<Subcommand>& Subcommands();

}  // namespace kx20::ctl

#define KX20CTL_CONCAT_INNER(a, b) a##b
#define KX20CTL_CONCAT(a, b) KX20CTL_CONCAT_INNER(a, b)
#define KX20CTL_SUBCOMMAND(name, usage, summary, fn)                                         \
  static const bool KX20CTL_CONCAT(kx20ctlRegistered_, __LINE__) [[maybe_unused]] =          \
      ::kx20::ctl::RegisterSubcommand(::kx20::ctl::Subcommand{name, usage, summary, fn})
#define KX20CTL_SUBCOMMAND_HELP(name, usage, summary, help, fn)                               \
  static const bool KX20CTL_CONCAT(kx20ctlRegistered_, __LINE__) [[maybe_unused]] =          \
      ::kx20::ctl::RegisterSubcommand(::kx20::ctl::Subcommand{name, usage, summary, fn, help})
