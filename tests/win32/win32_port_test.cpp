#include "platform/win32/win32_port.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "device/device_session.h"

namespace kx20 {
namespace {

// A letter the host does not have, or 0 when all exist.
char MissingLetter(std::uint32_t drives) {
  for (char c = 'Z'; c >= 'D'; --c) {
    if ((drives & (1u << (c - 'A'))) == 0) return c;
  }
  return 0;
}

TEST(Win32PortTest, LogicalDrivesReportsTheSystemDrive) {
  Win32Port port({});
  EXPECT_NE(port.LogicalDrives() & (1u << ('C' - 'A')), 0u);
  EXPECT_EQ(port.LogicalDrives(), static_cast<std::uint32_t>(::GetLogicalDrives()));
}

TEST(Win32PortTest, DevicePathsFollowTheLetterOrTheMap) {
  Win32Port port({{'E', "\\\\.\\PhysicalDrive7"}});
  EXPECT_EQ(port.DevicePath('F'), "\\\\.\\F:");
  EXPECT_EQ(port.DevicePath('E'), "\\\\.\\PhysicalDrive7");
  EXPECT_NE(port.LogicalDrives() & (1u << ('E' - 'A')), 0u);
}

TEST(Win32PortTest, OpeningAMissingLetterFailsWithAnErrorCode) {
  auto port = MakeHostPort({}, nullptr);
  ASSERT_NE(port, nullptr);
  const char missing = MissingLetter(port->LogicalDrives());
  ASSERT_NE(missing, 0);
  std::uint32_t err = 0;
  EXPECT_EQ(port->Open(missing, &err), kInvalidPortHandle);
  EXPECT_NE(err, 0u);
  EXPECT_EQ(port->Open('!', &err), kInvalidPortHandle);

  DeviceSession session(*port);
  EXPECT_EQ(session.Inquiry(missing, nullptr), DevOpenFailed);
  EXPECT_EQ(session.deviceHandle, kInvalidPortHandle);
}

TEST(Win32PortTest, RequestsOnClosedHandlesFailAtOsLevel) {
  Win32Port port({});
  PassThroughRequest direct{};
  BufferedPassThroughRequest buffered{};
  for (PortHandle h : {kNullPortHandle, kInvalidPortHandle}) {
    std::uint32_t err = 0;
    EXPECT_FALSE(port.SendDirect(h, direct, &err));
    EXPECT_EQ(err, static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));
    err = 0;
    EXPECT_FALSE(port.SendBuffered(h, buffered, &err));
    EXPECT_EQ(err, static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));
    port.Close(h);  // does nothing
  }
  DeviceSession session(port);
  std::uint16_t word = 0;
  EXPECT_FALSE(session.ProbeController(word));
  EXPECT_EQ(word, 2);
}

TEST(Win32PortTest, MakeHostPortRefusesDuplicateLetters) {
  std::string error;
  EXPECT_EQ(MakeHostPort({{'E', "a"}, {'E', "b"}}, &error), nullptr);
  EXPECT_NE(error.find("twice"), std::string::npos);
}

}  // namespace
}  // namespace kx20
