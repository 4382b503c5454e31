// The checks every station program makes before it uses a work directory.
#include "app/work_directory.h"

#include <gtest/gtest.h>

#include <string>

#include "config/serial_number.h"
#include "storage/work_dir_lock.h"
#include "support/config_temp_dir.h"

namespace kx20 {
namespace {

using testing::ConfigTempDir;

TEST(OpenWorkDirectory, EachModeGetsOnlyADirectoryFitForIt) {
  struct Case {
    const char* name;
    const char* changeSn;  // nullptr: no config.txt
    const char* lineFile;  // nullptr: none
    bool lineMode;
    const char* refusal;   // nullptr: opened
  };
  const Case cases[] = {
      {"local production", "1", nullptr, false, nullptr},
      {"local production, option off", "0", nullptr, false, nullptr},
      {"a line's directory without --line", "1", kLineMarkerFileName, false,
       "has served a line (line.marker is there)"},
      {"a line's journal without --line", "0", "serial_lease.journal", false,
       "--line CONNINFO --station NAME"},
      {"line mode", "1", kLineMarkerFileName, true, nullptr},
      {"line mode in a fresh directory", "1", nullptr, true, nullptr},
      {"line mode with the option off", "0", nullptr, true, "line mode needs Change_SN=1"},
      {"line mode without config.txt", nullptr, nullptr, true, "there is none"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigTempDir dir;
    if (c.changeSn != nullptr) {
      ConfigTempDir::Write(dir.File("config.txt"),
                           std::string("[CID]\r\nChange_SN=") + c.changeSn + "\r\nProduct_SN=00000007\r\n");
    }
    if (c.lineFile != nullptr) ConfigTempDir::Write(dir.File(c.lineFile), "");
    std::string refusal;
    std::unique_ptr<HeldFileLock> lock =
        OpenWorkDirectory(dir.Path().string(), c.lineMode, "test", refusal);
    if (c.refusal == nullptr) {
      EXPECT_NE(lock, nullptr) << refusal;
      // Held: a second station is refused whatever its mode.
      std::string second;
      EXPECT_EQ(OpenWorkDirectory(dir.Path().string(), c.lineMode, "test", second), nullptr);
      EXPECT_NE(second.find("in use by another station"), std::string::npos) << second;
    } else {
      EXPECT_EQ(lock, nullptr);
      EXPECT_NE(refusal.find(c.refusal), std::string::npos) << refusal;
      // A refusal lets the directory go again.
      std::string again;
      EXPECT_NE(LockWorkDirectory(dir.Path().string(), "test", again), nullptr) << again;
    }
  }
}

}  // namespace
}  // namespace kx20
