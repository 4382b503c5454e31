#include "app/work_directory.h"

#include <filesystem>

#include "config/serial_number.h"
#include "config/settings.h"
#include "storage/durable_file.h"
#include "storage/profile_file.h"
#include "storage/work_dir_lock.h"

namespace kx20 {

std::unique_ptr<HeldFileLock> OpenWorkDirectory(const std::string& dir, bool lineMode,
                                                std::string_view program, std::string& refusal) {
  std::unique_ptr<HeldFileLock> lock = LockWorkDirectory(dir, program, refusal);
  if (lock == nullptr) return nullptr;
  if (!lineMode) {
    if (const std::string found = LineWorkFileIn(dir); !found.empty()) {
      refusal = LineDirectoryRefusal(dir, found);
      return nullptr;
    }
    return lock;
  }
  const std::string configPath =
      dir.empty() || dir == "." ? std::string(kSettingsFileName)
                                : (std::filesystem::path(dir) / kSettingsFileName).string();
  std::string text;
  std::string why;
  switch (ReadFileContents(configPath, text, &why)) {
    case ReadOutcome::kRead:
      break;
    case ReadOutcome::kMissing:
      refusal = "line mode needs the settings file " + configPath +
                " (with Change_SN=1): there is none";
      return nullptr;
    case ReadOutcome::kFailed:
      refusal = configPath + " cannot be read: " + why;
      return nullptr;
  }
  if (ProfileDocument::Parse(text).Read("CID", "Change_SN", 20) != "1") {
    refusal = "line mode needs Change_SN=1 in " + configPath +
              ": every disk of a line gets a serial number from the line, none the file's "
              "Product_SN. Turn \"Change serial number\" on (Change_SN=1) and start again";
    return nullptr;
  }
  return lock;
}

}  // namespace kx20
