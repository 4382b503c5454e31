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

// Two stations on one computer, each with its own port: a disk one claims
// (by its identity, whatever the letter) is refused to the other and to a
// second claim of the first; released, it can be claimed again. A letter
// with no identity leads to no device and is no disk to claim.
TEST(Win32PortTest, ADiskIsClaimedByOneStationAtATime) {
  const auto identity = [](const std::string& path, char letter, PortHandle) -> std::string {
    if (letter == 'E' || path == "\\\\.\\PhysicalDrive7") return "\\Device\\Harddisk7\\DR9|test";
    if (letter == 'F') return "\\Device\\Harddisk8\\DR10|test";
    return std::string();
  };
  Win32Port first({{'E', "\\\\.\\PhysicalDrive7"}, {'F', "\\\\.\\PhysicalDrive8"}}, identity);
  Win32Port second({{'Q', "\\\\.\\PhysicalDrive7"}}, identity);
  DiskClaimResult held = first.ClaimDisk('E', "work directory C:\\line1");
  ASSERT_TRUE(held.claim) << held.refusal;
  for (auto [port, letter] : {std::pair<Win32Port*, char>{&second, 'Q'}, {&first, 'E'}}) {
    const DiskClaimResult refused = port->ClaimDisk(letter, "");
    EXPECT_FALSE(refused.claim);
    EXPECT_TRUE(refused.busy);
    EXPECT_NE(refused.refusal.find("in use by another station"), std::string::npos) << refused.refusal;
  }
  EXPECT_TRUE(first.ClaimDisk('F', "").claim);
  held.claim.reset();
  EXPECT_TRUE(second.ClaimDisk('Q', "").claim);
  EXPECT_NE(Win32Port::ClaimNameOf("a"), Win32Port::ClaimNameOf("b"));
  EXPECT_EQ(Win32Port::ClaimNameOf("a").rfind("Global\\kx20-disk-", 0), 0u);
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

// The identity check, with a fake identity query standing in for the one
// Wine cannot answer for removable disks: the letter leads to a plain file.
TEST(Win32PortTest, ALetterOpensOnlyTheDeviceItWasBoundTo) {
  char dir[MAX_PATH] = {};
  ASSERT_NE(::GetTempPathA(sizeof dir, dir), 0u);
  const std::string file = std::string(dir) + "kx20-identity-" + std::to_string(::GetCurrentProcessId());
  HANDLE f = ::CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  ::CloseHandle(f);

  struct Case {
    const char* name;
    std::string atBind;   // identity when the letters are assigned
    std::string atOpen;   // identity of the device the open reaches
    bool opens;
  };
  const Case cases[] = {
      {"the same volume", "\\Device\\HarddiskVolume7|device 7:2:1", "\\Device\\HarddiskVolume7|device 7:2:1", true},
      {"a new volume took the letter", "\\Device\\HarddiskVolume7|device 7:2:1",
       "\\Device\\HarddiskVolume9|device 7:2:1", false},
      {"another disk number", "\\Device\\HarddiskVolume7|device 7:2:1", "\\Device\\HarddiskVolume7|device 7:3:1",
       false},
      {"no identity could be learned", "", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string current = c.atBind;
    int queriesWithHandle = 0;
    Win32Port port({{'E', file}}, [&](const std::string& path, char letter, PortHandle handle) {
      if (letter != 'E') return std::string("a drive of the host");  // Wine's own C:, Z:
      EXPECT_EQ(path, file);
      if (IsOpenHandle(handle)) ++queriesWithHandle;
      return current;
    });
    EXPECT_EQ(port.BoundIdentity('E'), c.atBind);
    current = c.atOpen;
    std::uint32_t err = 0;
    const PortHandle h = port.Open('E', &err);
    EXPECT_EQ(IsOpenHandle(h), c.opens);
    EXPECT_EQ(queriesWithHandle, c.atBind.empty() ? 0 : 1);  // the handle itself was asked
    if (!c.opens) {
      EXPECT_EQ(err, static_cast<std::uint32_t>(ERROR_DEV_NOT_EXIST));
      DeviceSession session(port);
      EXPECT_EQ(session.Inquiry('E', nullptr), DevOpenFailed);
      // The next scan binds the letter to what is there now.
      port.ScanDrives();
      const PortHandle again = port.Open('E', nullptr);
      EXPECT_EQ(IsOpenHandle(again), !c.atOpen.empty());
      port.Close(again);
    }
    port.Close(h);
  }
  ::DeleteFileA(file.c_str());
}

TEST(Win32PortTest, MakeHostPortRefusesDuplicateLetters) {
  std::string error;
  EXPECT_EQ(MakeHostPort({{'E', "a"}, {'E', "b"}}, &error), nullptr);
  EXPECT_NE(error.find("twice"), std::string::npos);
}

}  // namespace
}  // namespace kx20
