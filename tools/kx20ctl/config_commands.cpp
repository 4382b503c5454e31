// kx20ctl config-table / csd-label: the settings file's card registers,
// without a disk.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/memory_console_view.h"
#include "config/card_registers.h"
#include "config/settings.h"
#include "subcommand.h"

namespace kx20::ctl {
namespace {

int ConfigTableCommand(const std::vector<std::string>& args) {
  std::string configPath = kSettingsFileName;
  std::string outPath;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--config" && i + 1 < args.size()) {
      configPath = args[++i];
    } else if (a.rfind("--config=", 0) == 0) {
      configPath = a.substr(9);
    } else if (a == "-o" && i + 1 < args.size()) {
      outPath = args[++i];
    } else {
      std::fprintf(stderr, "kx20ctl config-table: unexpected argument '%s'\n", a.c_str());
      return kExitUsage;
    }
  }
  if (outPath.empty()) {
    std::fprintf(stderr, "kx20ctl config-table: -o OUT is required\n");
    return kExitUsage;
  }

  MemoryConsoleView view;
  ConfigTable table{};
  SettingsStore store;
  ResetConfigTableHeader(table);
  if (!LoadSettings(configPath, view, table, store)) {
    std::fprintf(stderr, "kx20ctl config-table: cannot open settings file '%s'\n",
                 configPath.c_str());
    return kExitFailed;
  }
  const auto settings = store.Snapshot();
  std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(settings->publishedConfigTable.data()),
            static_cast<std::streamsize>(settings->publishedConfigTable.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "kx20ctl config-table: cannot write '%s'\n", outPath.c_str());
    return kExitFailed;
  }
  return kExitOk;
}

int CsdLabelCommand(const std::vector<std::string>& args) {
  if (args.size() != 2) {
    std::fprintf(stderr, "usage: kx20ctl csd-label FLASH1 FLASH2\n");
    return kExitUsage;
  }
  if (const auto error = FlashCombinationError(args[0], args[1])) {
    std::fprintf(stderr, "kx20ctl csd-label: %s\n", error->c_str());
    return kExitUsage;
  }
  const std::string label = DeriveCapacityLabel(args[0], args[1]);
  std::printf("%s\n%s\n", label.c_str(), LookupCsdRegister(label).c_str());
  return kExitOk;
}

}  // namespace

KX20CTL_SUBCOMMAND("config-table", "[--config FILE] -o OUT",
                   "load the settings file (default config.txt) and write its 512-byte "
                   "configuration table to OUT",
                   ConfigTableCommand);
KX20CTL_SUBCOMMAND("csd-label", "FLASH1 FLASH2",
                   "print the capacity label and the card-specific register text the "
                   "settings saver derives from two flash types",
                   CsdLabelCommand);

}  // namespace kx20::ctl
