// kx20ctl: the service tool for the bench. Dispatches to the subcommands that
// the tool's other source files register.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/version.h"
#include "subcommand.h"

namespace kx20::ctl {
namespace {

std::vector<Subcommand>& Table() {
  static std::vector<Subcommand> table;
  return table;
}

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "usage: kx20ctl COMMAND [ARGS]\n\ncommands:\n");
  for (const Subcommand& s : Table()) {
    std::fprintf(out, "  %s %s\n      %s\n", s.name, s.usage, s.summary);
  }
}

}  // namespace

bool RegisterSubcommand(const Subcommand& subcommand) {
  Table().push_back(subcommand);
  return true;
}

const std::vector<Subcommand>& Subcommands() { return Table(); }

void PrintSubcommandHelp(const Subcommand& s) {
  std::printf("usage: kx20ctl %s %s\n\n%s\n", s.name, s.usage, s.summary);
  if (s.help != nullptr) std::printf("\n%s", s.help);
}

}  // namespace kx20::ctl

int main(int argc, char** argv) {
  using namespace kx20::ctl;
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  const std::string name = argv[1];
  if (name == "--version") {
    std::printf("kx20ctl %s\n", kx20::kVersion);
    return kExitOk;
  }
  if (name == "help" || name == "--help" || name == "-h") {
    PrintUsage(stdout);
    return kExitOk;
  }
  for (const Subcommand& s : Subcommands()) {
    if (name == s.name) {
      std::vector<std::string> args(argv + 2, argv + argc);
      // --help anywhere before a "--", or -h alone: the usage, nothing run.
      for (const std::string& a : args) {
        if (a == "--") break;
        if (a == "--help" || (a == "-h" && args.size() == 1)) {
          PrintSubcommandHelp(s);
          return kExitOk;
        }
      }
      return s.run(args);
    }
  }
  std::fprintf(stderr, "kx20ctl: unknown command '%s'\n\n", name.c_str());
  PrintUsage(stderr);
  return kExitUsage;
}
