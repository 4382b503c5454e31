// The device session against the simulated farm: every command the station
// uses, healthy and with each injected fault, down to the DeviceStatus the
// callers see. This is the path every higher-level test takes.
#include <gtest/gtest.h>

#include <functional>

#include "common/virtual_clock.h"
#include "device/device_session.h"
#include "sim/farm.h"

namespace kx20 {
namespace {

std::unique_ptr<SimFarm> FarmWith(const std::string& faults, VirtualClock& clock) {
  SimDiskConfig disk;
  disk.letter = 'E';
  disk.slot = "   7";
  std::string error;
  if (!faults.empty()) {
    EXPECT_TRUE(ParseFaultList(faults, disk.faults, error)) << error;
  }
  FarmLayout layout;
  layout.disks = {disk};
  return SimFarm::Create(layout, clock, &error);
}

struct SessionCase {
  const char* fault;
  const char* command;
  std::function<DeviceStatus(DeviceSession&)> run;  // on a session opened on E:
  DeviceStatus expected;
};

std::vector<std::uint8_t>& Buffer() {
  static std::vector<std::uint8_t> buffer(65536, 0);
  return buffer;
}

TEST(SimSession, EveryCommandEndsWithTheStatusTheStationExpects) {
  auto read = [](std::uint32_t lba) {
    return [lba](DeviceSession& s) { return s.ReadSectors(Buffer().data(), lba, 128, nullptr); };
  };
  auto write = [](std::uint32_t lba) {
    return [lba](DeviceSession& s) { return s.WriteSectors(Buffer().data(), lba, 128, nullptr); };
  };
  auto table = [](DeviceSession& s) { return s.WriteConfigTable(Buffer().data(), 512, nullptr); };
  auto readTable = [](DeviceSession& s) { return s.ReadConfigTable(Buffer().data(), 512, nullptr); };
  auto flashInfo = [](DeviceSession& s) { return s.ReadFlashInfo(Buffer().data(), 512, nullptr); };
  auto codeFlash = [](std::uint16_t block) {
    return [block](DeviceSession& s) { return s.WriteCodeFlashBlock(Buffer().data(), block, nullptr); };
  };
  auto capacity = [](DeviceSession& s) {
    std::uint32_t last = 0;
    return s.ReadCapacity(last, 'E');
  };
  auto tur = [](DeviceSession& s) { return s.TestUnitReady(); };
  auto inquiry = [](DeviceSession& s) {
    std::uint8_t reply[32];
    return s.Inquiry('E', reply);
  };

  const std::vector<SessionCase> cases = {
      {"", "inquiry", inquiry, DevOk},
      {"", "test unit ready", tur, DevOk},
      {"", "read capacity", capacity, DevOk},
      {"", "verify leading blocks", [](DeviceSession& s) { return s.VerifyLeadingBlocks(); }, DevOk},
      {"", "read", read(0), DevOk},
      {"", "read of the last chunk", read(262016), DevOk},
      {"", "read past the end", read(262017), DevUnknownSense},  // 5/21/00 is not in the map
      {"", "write", write(128), DevOk},
      {"", "flash info", flashInfo, DevOk},
      {"", "table write", table, DevOk},
      {"", "table read", readTable, DevOk},
      {"", "erase", [](DeviceSession& s) { return s.EraseFlashBlock(256); }, DevOk},
      {"", "flash control 03", [](DeviceSession& s) { return s.FlashControl03(); }, DevOk},
      {"", "flash control 08", [](DeviceSession& s) { return s.FlashControl08(); }, DevOk},
      {"", "controller control 01", [](DeviceSession& s) { return s.ControllerControl01(); }, DevOk},
      {"", "probe status", [](DeviceSession& s) { return s.ProbeControllerStatus(); }, DevOk},
      {"", "signal pass", [](DeviceSession& s) { return s.SignalPass(); }, DevOk},
      {"", "signal fail", [](DeviceSession& s) { return s.SignalFail(); }, DevOk},
      {"", "code-flash block 31", codeFlash(31), DevOk},
      {"", "code-flash control", [](DeviceSession& s) { return s.CodeFlashControl(4); }, DevOk},
      {"no-open", "inquiry", inquiry, DevOpenFailed},
      {"no-open", "read capacity", capacity, DevOpenFailed},
      {"os-failure-all", "inquiry", inquiry, DevOsFailure},
      {"os-failure-all", "test unit ready", tur, DevOsFailure},
      {"os-failure-all", "read", read(0), DevOsFailure},
      {"os-failure", "read", read(0), DevOk},
      {"os-failure", "flash info", flashInfo, DevOsFailure},
      {"os-failure", "table write", table, DevOsFailure},
      {"no-probe", "probe status", [](DeviceSession& s) { return s.ProbeControllerStatus(); }, DevInvalidOpcode},
      {"table-write", "table write", table, DevVendorSense80},
      {"table-read", "table read", readTable, DevVendorSense80},
      {"capacity", "read capacity", capacity, DevCheckCondition},
      {"code-flash-block=3", "code-flash block 3", codeFlash(3), DevVendorSense80},
      {"sense=28:0/00/00", "read, sense all zero", read(0), DevReadFailed},
      {"sense=2A:0/00/00", "write, sense all zero", write(0), DevWriteFailed},
      {"sense=F9:0/00/00", "table write, sense all zero", table, DevTableWriteFailed},
      {"sense=F9:0/00/00", "flash info, sense all zero", flashInfo, DevVendorCommandFailed},
      {"sense=DB:0/00/00", "code-flash, sense all zero", codeFlash(0), DevCodeFlashWriteFailed},
      {"sense=D8:0/00/00", "code-flash control, sense all zero",
       [](DeviceSession& s) { return s.CodeFlashControl(4); }, DevNoSense},
      {"sense=0:2/3A/00", "test unit ready, medium not present", tur, DevOk},
      {"sense=0:6/28/00", "test unit ready, medium changed", tur, DevMediumChanged},
      {"sense=28:9/84/00", "read, vendor sense 84", read(0), DevVendorSense84},
      {"sense=12:5/24/00", "inquiry, any check condition", inquiry, DevCheckCondition},
  };
  for (const SessionCase& c : cases) {
    SCOPED_TRACE(std::string(c.fault) + " / " + c.command);
    VirtualClock clock;
    auto farm = FarmWith(c.fault, clock);
    ASSERT_TRUE(farm);
    DeviceSession session(*farm);
    session.driveLetter = 'E';
    session.Open('E');
    EXPECT_EQ(c.run(session), c.expected);
    session.Close();
    EXPECT_EQ(farm->OpenHandleCount(), 0u);
  }
}

TEST(SimSession, ProbeOnceReportsOsFailureOnlyForFailedRequests) {
  struct Case {
    const char* fault;
    bool answered;
    std::uint16_t word;  // starts at 0x77
  };
  for (const Case& c : {Case{"", true, 0x77}, Case{"no-probe", false, 0x77}, Case{"os-failure", false, 2},
                        Case{"no-open", false, 0x77}}) {
    SCOPED_TRACE(c.fault);
    VirtualClock clock;
    auto farm = FarmWith(c.fault, clock);
    DeviceSession session(*farm);
    session.driveLetter = 'E';
    std::uint16_t word = 0x77;
    EXPECT_EQ(session.ProbeControllerOnce(word), c.answered);
    EXPECT_EQ(word, c.word);
    EXPECT_FALSE(session.IsOpen());
  }
}

TEST(SimSession, ReplyContentsReachTheCaller) {
  VirtualClock clock;
  auto farm = FarmWith("", clock);
  DeviceSession session(*farm);
  std::uint8_t inquiry[32] = {};
  ASSERT_EQ(session.Inquiry('E', inquiry), DevOk);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry + 8), 3), "VYN");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry + 24), 4), "   7");

  std::uint32_t last = 0;
  ASSERT_EQ(session.ReadCapacity(last, 'E'), DevOk);
  EXPECT_EQ(last, 262143u);
  EXPECT_TRUE(session.IsOpen());  // ReadCapacity leaves the handle open

  std::vector<std::uint8_t> table(512);
  for (int i = 0; i < 512; ++i) table[i] = static_cast<std::uint8_t>(i);
  ASSERT_EQ(session.WriteConfigTable(table.data(), 512, nullptr), DevOk);
  std::vector<std::uint8_t> back(512, 0);
  ASSERT_EQ(session.ReadConfigTable(back.data(), 512, nullptr), DevOk);
  EXPECT_EQ(back, table);

  std::vector<std::uint8_t> pattern(65536);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = (i & 1) ? 0xAA : 0x55;
  ASSERT_EQ(session.WriteSectors(pattern.data(), 256, 128, nullptr), DevOk);
  std::vector<std::uint8_t> read(65536, 0);
  ASSERT_EQ(session.ReadSectors(read.data(), 256, 128, nullptr), DevOk);
  EXPECT_EQ(read, pattern);
  ASSERT_EQ(session.SignalPass(), DevOk);
  EXPECT_EQ(farm->Disk('E')->LastSignal(), SimSignal::Pass);
}

TEST(SimSession, UnpluggedDiskFailsAtOsLevelOnItsOpenHandle) {
  VirtualClock clock;
  auto farm = FarmWith("unplug-after=2", clock);
  DeviceSession session(*farm);
  ASSERT_TRUE(session.Open('E'));
  std::uint32_t osError = 0;
  EXPECT_EQ(session.ReadSectors(Buffer().data(), 0, 128, &osError), DevOk);
  EXPECT_EQ(session.ReadSectors(Buffer().data(), 0, 128, &osError), DevOk);
  EXPECT_EQ(session.ReadSectors(Buffer().data(), 0, 128, &osError), DevOsFailure);
  EXPECT_EQ(osError, kSimErrorNotConnected);
  EXPECT_EQ(session.lastTransferError, kSimErrorNotConnected);
  EXPECT_FALSE(session.Open('E'));
}

}  // namespace
}  // namespace kx20
