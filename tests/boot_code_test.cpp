#include "image/boot_code.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace kx20 {
namespace {

std::string Text(const std::array<std::uint8_t, 512>& sector, std::size_t at) {
  const char* p = reinterpret_cast<const char*>(sector.data() + at);
  return std::string(p, strnlen(p, 512 - at));
}

bool Contains(const std::array<std::uint8_t, 512>& sector, const std::string& bytes) {
  const std::vector<std::uint8_t> wanted(bytes.begin(), bytes.end());
  return std::search(sector.begin(), sector.end(), wanted.begin(), wanted.end()) != sector.end();
}

TEST(MbrTemplateTest, Layout) {
  EXPECT_EQ(Text(MbrTemplate, kMbrMsgInvalidTable), "Invalid partition table");
  EXPECT_EQ(Text(MbrTemplate, kMbrMsgLoadError), "Error loading operating system");
  EXPECT_EQ(Text(MbrTemplate, kMbrMsgMissingOs), "Missing operating system");
  // The messages follow each other, each with its terminator.
  EXPECT_EQ(kMbrMsgInvalidTable + 24, kMbrMsgLoadError);
  EXPECT_EQ(kMbrMsgLoadError + 31, kMbrMsgMissingOs);
  for (std::size_t i = 440; i < 510; ++i) EXPECT_EQ(MbrTemplate[i], 0) << i;
  EXPECT_EQ(MbrTemplate[510], 0x55);
  EXPECT_EQ(MbrTemplate[511], 0xAA);
  // Boot code before the messages: it starts with CLI and relocates to 0600h
  // (the far jump's segment 0000 and an offset inside the 0600h copy).
  EXPECT_EQ(MbrTemplate[0], 0xFA);
  EXPECT_TRUE(Contains(MbrTemplate, std::string("\xBF\x00\x06", 3)));  // MOV DI, 0600h
  EXPECT_TRUE(Contains(MbrTemplate, std::string("\xCD\x18", 2)));      // INT 18h
}

TEST(BootSectorTemplateTest, Layout) {
  const auto& b = BootSectorTemplate;
  EXPECT_EQ(b[0], 0xEB);
  EXPECT_EQ(b[1], 0x3E);
  EXPECT_EQ(b[2], 0x90);
  EXPECT_EQ(std::memcmp(&b[3], "MSWIN4.1", 8), 0);
  EXPECT_EQ(b[11] | b[12] << 8, 512);  // bytes per sector
  EXPECT_EQ(b[14] | b[15] << 8, 1);    // reserved sectors
  EXPECT_EQ(b[16], 2);                 // FATs
  EXPECT_EQ(b[21], 0xF8);              // media
  EXPECT_EQ(b[36], 0x80);              // drive number
  EXPECT_EQ(b[37], 0);
  EXPECT_EQ(b[38], 0x29);              // extended boot signature
  EXPECT_EQ(std::memcmp(&b[43], "NO NAME    ", 11), 0);
  EXPECT_EQ(b[64], 0xFA);              // the jump lands on the boot code (CLI)
  for (const char* name : {"IO      SYS", "MSDOS   SYS", "WINBOOT SYS"}) {
    EXPECT_TRUE(Contains(b, name)) << name;
  }
  EXPECT_TRUE(Contains(b, "\r\nInvalid system disk\xFF"));
  EXPECT_TRUE(Contains(b, "\r\nDisk I/O error\xFF"));
  EXPECT_TRUE(Contains(b, std::string("\r\nReplace the disk, and then press any key\r\n\0", 45)));
  EXPECT_EQ(b[510], 0x55);
  EXPECT_EQ(b[511], 0xAA);
}

}  // namespace
}  // namespace kx20
