// The simulated controller's answers to every command the station sends, and
// every injectable fault, driven through the farm's pass-through port.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <map>
#include <vector>

#include "common/virtual_clock.h"
#include "sim/farm.h"
#include "support/sim_requests.h"

namespace kx20 {
namespace {

using testing::Cdb;
using testing::RawReply;
using testing::SendOnce;
using testing::SendRaw;
using testing::VendorCdb;

std::unique_ptr<SimFarm> FarmWith(const std::string& faults, std::uint32_t lastLba = 262143) {
  SimDiskConfig disk;
  disk.letter = 'E';
  disk.slot = "   7";
  disk.lastLba = lastLba;
  if (!faults.empty()) {
    std::string error;
    EXPECT_TRUE(ParseFaultList(faults, disk.faults, error)) << error;
  }
  FarmLayout layout;
  layout.disks.push_back(disk);
  static VirtualClock clock;
  std::string error;
  auto farm = SimFarm::Create(layout, clock, &error);
  EXPECT_TRUE(farm) << error;
  return farm;
}

std::vector<std::uint8_t> Rw10(std::uint8_t op, std::uint32_t lba, std::uint16_t count) {
  return Cdb({op, 0, static_cast<std::uint8_t>(lba >> 24), static_cast<std::uint8_t>(lba >> 16),
              static_cast<std::uint8_t>(lba >> 8), static_cast<std::uint8_t>(lba), 0,
              static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count), 0});
}

std::vector<std::uint8_t> Erase(std::uint32_t address) {
  auto cdb = VendorCdb(0xF9, 0x62, 0x04);
  cdb[5] = static_cast<std::uint8_t>(address >> 24);
  cdb[6] = static_cast<std::uint8_t>(address >> 16);
  cdb[7] = static_cast<std::uint8_t>(address >> 8);
  cdb[8] = static_cast<std::uint8_t>(address);
  return cdb;
}

std::vector<std::uint8_t> CodeFlashWrite(std::uint16_t block) {
  auto cdb = VendorCdb(0xDB, 0x2A);
  cdb[2] = static_cast<std::uint8_t>(block >> 8);
  cdb[3] = static_cast<std::uint8_t>(block);
  return cdb;
}

std::vector<std::uint8_t> CodeFlashControl(std::uint8_t mode) {
  auto cdb = VendorCdb(0xD8, 0x01, 0x06);
  cdb[4] = mode;
  return cdb;
}

// --- Status and sense of every command ------------------------------------------

struct CommandCase {
  const char* name;
  std::vector<std::uint8_t> cdb;
  std::uint8_t cdbLength;
  bool dataIn;
  std::uint32_t length;
  std::uint8_t status;  // 0 good, 2 check condition
  SimSense sense;       // when status is 2
  std::uint32_t moved;
};

TEST(SimController, AnswersEveryCommandWithTheRightStatusAndSense) {
  const std::vector<CommandCase> cases = {
      {"test unit ready", Cdb({0x00}), 6, true, 0, 0, {}, 0},
      {"inquiry 32", Cdb({0x12, 0, 0, 0, 0x20}), 10, true, 32, 0, {}, 32},
      {"inquiry alloc 36 buffer 32", Cdb({0x12, 0, 0, 0, 0x24}), 10, true, 32, 0, {}, 32},
      {"read capacity", Cdb({0x25}), 10, true, 8, 0, {}, 8},
      {"read 128 at 0", Rw10(0x28, 0, 128), 16, true, 65536, 0, {}, 65536},
      {"read last sector", Rw10(0x28, 262143, 1), 16, true, 512, 0, {}, 512},
      {"read past the end", Rw10(0x28, 262143, 2), 16, true, 1024, 2, kSenseLbaOutOfRange, 0},
      {"read far past the end", Rw10(0x28, 0xFFFFFFFF, 1), 16, true, 512, 2, kSenseLbaOutOfRange, 0},
      {"read buffer too small", Rw10(0x28, 0, 2), 16, true, 512, 2, kSenseInvalidField, 0},
      {"read with data out", Rw10(0x28, 0, 1), 16, false, 512, 2, kSenseInvalidField, 0},
      {"read of 0 blocks", Rw10(0x28, 0, 0), 16, true, 0, 0, {}, 0},
      {"write 128 at 262016", Rw10(0x2A, 262016, 128), 16, false, 65536, 0, {}, 65536},
      {"write past the end", Rw10(0x2A, 262017, 128), 16, false, 65536, 2, kSenseLbaOutOfRange, 0},
      {"write with data in", Rw10(0x2A, 0, 1), 16, true, 512, 2, kSenseInvalidField, 0},
      {"verify leading blocks", Rw10(0x2F, 0, 512), 16, true, 0, 0, {}, 0},
      {"verify past the end", Rw10(0x2F, 262000, 512), 16, true, 0, 2, kSenseLbaOutOfRange, 0},
      {"probe", VendorCdb(0xF9, 0x6F), 16, true, 0, 0, {}, 0},
      {"probe without signature", Cdb({0xF9, 0x6F}), 16, true, 0, 2, kSenseInvalidField, 0},
      {"probe in a 10-byte CDB", VendorCdb(0xF9, 0x6F), 10, true, 0, 2, kSenseInvalidField, 0},
      {"flash info", VendorCdb(0xF9, 0x60, 0x04), 16, true, 512, 0, {}, 512},
      {"flash info short buffer", VendorCdb(0xF9, 0x60, 0x04), 16, true, 100, 2, kSenseInvalidField, 0},
      {"table read", VendorCdb(0xF9, 0x60, 0x00), 16, true, 512, 0, {}, 512},
      {"table write", VendorCdb(0xF9, 0x61, 0x00), 16, false, 512, 0, {}, 512},
      {"table write with data in", VendorCdb(0xF9, 0x61, 0x00), 16, true, 512, 2, kSenseInvalidField, 0},
      {"erase", Erase(256), 16, true, 0, 0, {}, 0},
      {"flash control 03", VendorCdb(0xF9, 0x62, 0x03), 16, true, 0, 0, {}, 0},
      {"flash control 08", VendorCdb(0xF9, 0x62, 0x08), 16, true, 0, 0, {}, 0},
      {"controller control 01", VendorCdb(0xF9, 0x01), 16, true, 0, 0, {}, 0},
      {"signal pass", VendorCdb(0xF9, 0x03), 16, true, 0, 0, {}, 0},
      {"signal fail", VendorCdb(0xF9, 0x04), 16, true, 0, 0, {}, 0},
      {"code-flash block 31", CodeFlashWrite(31), 16, false, 16384, 0, {}, 16384},
      {"code-flash block 32", CodeFlashWrite(32), 16, false, 16384, 2, kSenseInvalidField, 0},
      {"code-flash short buffer", CodeFlashWrite(0), 16, false, 512, 2, kSenseInvalidField, 0},
      {"code-flash control 4", CodeFlashControl(4), 16, false, 0, 0, {}, 0},
      {"unknown F9 sub-command", VendorCdb(0xF9, 0x77), 16, true, 0, 2, kSenseInvalidOpcode, 0},
      {"unknown opcode", Cdb({0x1B}), 6, true, 0, 2, kSenseInvalidOpcode, 0},
      {"unknown vendor opcode", VendorCdb(0xFA, 0x00), 16, true, 0, 2, kSenseInvalidOpcode, 0},
  };
  auto farm = FarmWith("");
  std::vector<std::uint8_t> buffer(65536, 0);
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.name);
    const RawReply r = SendOnce(*farm, 'E', c.cdb, c.cdbLength, c.dataIn, c.length ? buffer.data() : nullptr,
                                c.length);
    ASSERT_TRUE(r.sent);
    EXPECT_EQ(r.status, c.status);
    if (c.status == 2) {
      EXPECT_EQ((SimSense{r.key, r.asc, r.ascq}), c.sense);
    }
    EXPECT_EQ(r.moved, c.moved);
  }
  EXPECT_EQ(farm->OpenHandleCount(), 0u);
}

TEST(SimController, InquiryCarriesVendorAndRightAlignedSlot) {
  auto farm = FarmWith("");
  std::uint8_t reply[32] = {};
  ASSERT_TRUE(SendOnce(*farm, 'E', Cdb({0x12, 0, 0, 0, 0x20}), 10, true, reply, 32).sent);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply + 8), 8), "VYN     ");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply + 24), 4), "   7");
  EXPECT_EQ(reply[0] & 0x1F, 0);  // direct-access device

  std::uint8_t system[32] = {};
  ASSERT_TRUE(SendOnce(*farm, 'C', Cdb({0x12, 0, 0, 0, 0x20}), 10, true, system, 32).sent);
  EXPECT_NE(std::string(reinterpret_cast<char*>(system + 8), 3), "VYN");
}

TEST(SimController, ReadCapacityReportsLastLbaAndBlockLength) {
  for (std::uint32_t lastLba : {262143u, 127u, 0x00F00000u}) {
    auto farm = FarmWith("", lastLba);
    std::uint8_t reply[8] = {};
    ASSERT_EQ(SendOnce(*farm, 'E', Cdb({0x25}), 10, true, reply, 8).status, 0);
    EXPECT_EQ((std::uint32_t{reply[0]} << 24) | (reply[1] << 16) | (reply[2] << 8) | reply[3], lastLba);
    EXPECT_EQ((std::uint32_t{reply[4]} << 24) | (reply[5] << 16) | (reply[6] << 8) | reply[7], 512u);
  }
}

TEST(SimController, FlashInfoBlockStartsWithTheConfiguredBytes) {
  SimDiskConfig disk;
  disk.letter = 'F';
  disk.flashInfo = {0x01, 0xAA, 0, 0, 0, 0x98, 0x05, 0xFF, 0xFF};
  FarmLayout layout;
  layout.disks = {disk};
  VirtualClock clock;
  auto farm = SimFarm::Create(layout, clock, nullptr);
  std::vector<std::uint8_t> block(512, 0xEE);
  ASSERT_EQ(SendOnce(*farm, 'F', VendorCdb(0xF9, 0x60, 0x04), 16, true, block.data(), 512).status, 0);
  EXPECT_EQ(std::vector<std::uint8_t>(block.begin(), block.begin() + 9),
            std::vector<std::uint8_t>(disk.flashInfo.begin(), disk.flashInfo.end()));
  EXPECT_EQ(std::count(block.begin() + 9, block.end(), 0), 503);
}

TEST(SimController, TableReadBackReturnsWhatWasWritten) {
  auto farm = FarmWith("");
  std::vector<std::uint8_t> table(512);
  for (int i = 0; i < 512; ++i) table[i] = static_cast<std::uint8_t>(i * 7 + 3);
  ASSERT_EQ(SendOnce(*farm, 'E', VendorCdb(0xF9, 0x61), 16, false, table.data(), 512).status, 0);
  std::vector<std::uint8_t> back(512, 0);
  ASSERT_EQ(SendOnce(*farm, 'E', VendorCdb(0xF9, 0x60), 16, true, back.data(), 512).status, 0);
  EXPECT_EQ(back, table);
  const auto stored = farm->Disk('E')->StoredConfigTable();
  EXPECT_TRUE(std::equal(stored.begin(), stored.end(), table.begin()));
  EXPECT_TRUE(farm->Disk('E')->ConfigTableWritten());
}

TEST(SimController, WrittenSectorsReadBackAndUnwrittenOnesAreZero) {
  auto farm = FarmWith("");
  std::vector<std::uint8_t> pattern(65536);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = (i & 1) ? 0xAA : 0x55;
  // Straddles two 64 KB chunks.
  ASSERT_EQ(SendOnce(*farm, 'E', Rw10(0x2A, 64, 128), 16, false, pattern.data(), 65536).status, 0);
  std::vector<std::uint8_t> back(65536, 0xEE);
  ASSERT_EQ(SendOnce(*farm, 'E', Rw10(0x28, 64, 128), 16, true, back.data(), 65536).status, 0);
  EXPECT_EQ(back, pattern);
  ASSERT_EQ(SendOnce(*farm, 'E', Rw10(0x28, 0, 64), 16, true, back.data(), 32768).status, 0);
  EXPECT_EQ(std::count(back.begin(), back.begin() + 32768, 0), 32768);
  EXPECT_EQ(farm->Disk('E')->ReadStored(64, 128), pattern);
  EXPECT_EQ(farm->Disk('E')->StoredChunkCount(), 2u);
}

TEST(SimController, ZerosOverUnwrittenChunksStayUnstored) {
  auto farm = FarmWith("");
  std::vector<std::uint8_t> zeros(65536, 0);
  for (std::uint32_t lba = 0; lba < 12800; lba += 128) {
    ASSERT_EQ(SendOnce(*farm, 'E', Rw10(0x2A, lba, 128), 16, false, zeros.data(), 65536).status, 0);
  }
  EXPECT_EQ(farm->Disk('E')->StoredChunkCount(), 0u);
}

TEST(SimController, RecordsSignalsErasesCodeFlashAndControlMode) {
  auto farm = FarmWith("");
  SimDisk& disk = *farm->Disk('E');
  EXPECT_EQ(disk.LastSignal(), SimSignal::None);
  SendOnce(*farm, 'E', VendorCdb(0xF9, 0x04), 16, true, nullptr, 0);
  EXPECT_EQ(disk.LastSignal(), SimSignal::Fail);
  SendOnce(*farm, 'E', VendorCdb(0xF9, 0x03), 16, true, nullptr, 0);
  EXPECT_EQ(disk.LastSignal(), SimSignal::Pass);

  for (std::uint32_t a : {0u, 32u, 256u, 0x01020304u}) SendOnce(*farm, 'E', Erase(a), 16, true, nullptr, 0);
  EXPECT_EQ(disk.EraseAddresses(), (std::vector<std::uint32_t>{0, 32, 256, 0x01020304u}));

  std::vector<std::uint8_t> block(16384, 0x3C);
  SendOnce(*farm, 'E', CodeFlashWrite(5), 16, false, block.data(), 16384);
  const auto blocks = disk.CodeFlashBlocks();
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks.at(5), block);
  EXPECT_FALSE(disk.LastCodeFlashControlMode().has_value());
  SendOnce(*farm, 'E', CodeFlashControl(4), 16, false, nullptr, 0);
  EXPECT_EQ(disk.LastCodeFlashControlMode(), std::optional<std::uint8_t>(4));
  EXPECT_EQ(disk.CommandCount(), 8u);
  const auto history = disk.History();
  ASSERT_EQ(history.size(), 8u);
  EXPECT_EQ(history.front().cdb[1], 0x04);
  EXPECT_EQ(history.back().cdb[0], 0xD8);
}

TEST(SimController, SystemDiskRefusesVendorCommandsButTakesWritesLikeARealDisk) {
  auto farm = FarmWith("");
  std::vector<std::uint8_t> sector(512, 1);
  RawReply r = SendOnce(*farm, 'C', VendorCdb(0xF9, 0x6F), 16, true, nullptr, 0);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ((SimSense{r.key, r.asc, r.ascq}), kSenseInvalidOpcode);
  EXPECT_EQ(SendOnce(*farm, 'C', Rw10(0x2A, 7, 1), 16, false, sector.data(), 512).status, 0);
  EXPECT_EQ(farm->Disk('C')->ReadStored(7, 1), sector);
  // Everything it received is on record, by operation code.
  const auto received = farm->Disk('C')->ReceivedOpcodes();
  EXPECT_EQ(received, (std::map<std::uint8_t, std::uint64_t>{{0xF9, 1}, {0x2A, 1}}));
  EXPECT_EQ(farm->Disk('C')->SectorsWritten(), 1u);
}

// --- Faults -------------------------------------------------------------------------

enum class Expect { Good, Check, OsFailure };

struct FaultCase {
  const char* fault;
  const char* command;
  std::vector<std::uint8_t> cdb;
  bool dataIn;
  std::uint32_t length;
  Expect expect;
  SimSense sense;  // for Check
};

TEST(SimController, EachFaultHitsOnlyItsCommands) {
  const std::vector<FaultCase> cases = {
      {"os-failure", "probe", VendorCdb(0xF9, 0x6F), true, 0, Expect::OsFailure, {}},
      {"os-failure", "table write", VendorCdb(0xF9, 0x61), false, 512, Expect::OsFailure, {}},
      {"os-failure", "code-flash write", CodeFlashWrite(0), false, 16384, Expect::OsFailure, {}},
      {"os-failure", "code-flash control", CodeFlashControl(4), false, 0, Expect::OsFailure, {}},
      {"os-failure", "inquiry", Cdb({0x12, 0, 0, 0, 0x20}), true, 32, Expect::Good, {}},
      {"os-failure", "read", Rw10(0x28, 0, 1), true, 512, Expect::Good, {}},
      {"os-failure-all", "inquiry", Cdb({0x12, 0, 0, 0, 0x20}), true, 32, Expect::OsFailure, {}},
      {"os-failure-all", "test unit ready", Cdb({0x00}), true, 0, Expect::OsFailure, {}},
      {"no-probe", "probe", VendorCdb(0xF9, 0x6F), true, 0, Expect::Check, kSenseInvalidOpcode},
      {"no-probe", "flash info", VendorCdb(0xF9, 0x60, 0x04), true, 512, Expect::Good, {}},
      {"table-write", "table write", VendorCdb(0xF9, 0x61), false, 512, Expect::Check, kSenseControllerFailure},
      {"table-write", "table read", VendorCdb(0xF9, 0x60), true, 512, Expect::Good, {}},
      {"table-read", "table read", VendorCdb(0xF9, 0x60), true, 512, Expect::Check, kSenseControllerFailure},
      {"table-read", "table write", VendorCdb(0xF9, 0x61), false, 512, Expect::Good, {}},
      {"capacity", "read capacity", Cdb({0x25}), true, 8, Expect::Check, kSenseHardwareFailure},
      {"capacity", "read", Rw10(0x28, 0, 1), true, 512, Expect::Good, {}},
      {"code-flash-block=3", "code-flash block 3", CodeFlashWrite(3), false, 16384, Expect::Check,
       kSenseControllerFailure},
      {"code-flash-block=3", "code-flash block 2", CodeFlashWrite(2), false, 16384, Expect::Good, {}},
      {"sense=28:3/11/00", "read", Rw10(0x28, 0, 1), true, 512, Expect::Check, {0x03, 0x11, 0x00}},
      {"sense=28:3/11/00", "write", Rw10(0x2A, 0, 1), false, 512, Expect::Good, {}},
      {"sense=F9:9/86/00", "probe", VendorCdb(0xF9, 0x6F), true, 0, Expect::Check, {0x09, 0x86, 0x00}},
      {"sense=2a:0/0/0", "write", Rw10(0x2A, 0, 1), false, 512, Expect::Check, {0, 0, 0}},
      {"sense=0:2/3A/00", "test unit ready", Cdb({0x00}), true, 0, Expect::Check, {0x02, 0x3A, 0x00}},
  };
  std::vector<std::uint8_t> buffer(16384, 0);
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(std::string(c.fault) + " / " + c.command);
    auto farm = FarmWith(c.fault);
    const RawReply r = SendOnce(*farm, 'E', c.cdb, 16, c.dataIn, c.length ? buffer.data() : nullptr, c.length);
    switch (c.expect) {
      case Expect::Good:
        EXPECT_TRUE(r.sent);
        EXPECT_EQ(r.status, 0);
        break;
      case Expect::OsFailure:
        EXPECT_FALSE(r.sent);
        EXPECT_NE(r.osError, 0u);
        break;
      case Expect::Check:
        ASSERT_TRUE(r.sent);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ((SimSense{r.key, r.asc, r.ascq}), c.sense);
        EXPECT_EQ(r.moved, 0u);
        break;
    }
  }
}

TEST(SimController, NoOpenFaultRefusesTheOpen) {
  auto farm = FarmWith("no-open");
  std::uint32_t err = 0;
  EXPECT_EQ(farm->Open('E', &err), kInvalidPortHandle);
  EXPECT_NE(err, 0u);
  EXPECT_NE(farm->LogicalDrives() & (1u << ('E' - 'A')), 0u);  // the letter still exists
}

TEST(SimController, CapacityZeroReportsLastLbaZero) {
  auto farm = FarmWith("capacity-zero");
  std::uint8_t reply[8] = {0xEE, 0xEE, 0xEE, 0xEE};
  ASSERT_EQ(SendOnce(*farm, 'E', Cdb({0x25}), 10, true, reply, 8).status, 0);
  EXPECT_EQ(reply[0] | reply[1] | reply[2] | reply[3], 0);
}

TEST(SimController, TableFaultsAlterTheReadBackWhereStated) {
  struct Case {
    const char* fault;
    bool headerDiffers;
    bool bodyDiffers;
  };
  for (const Case& c : {Case{"table-echo", false, true}, Case{"table-header", true, false}}) {
    SCOPED_TRACE(c.fault);
    auto farm = FarmWith(c.fault);
    std::vector<std::uint8_t> table(512, 0x42);
    SendOnce(*farm, 'E', VendorCdb(0xF9, 0x61), 16, false, table.data(), 512);
    std::vector<std::uint8_t> back(512, 0);
    ASSERT_EQ(SendOnce(*farm, 'E', VendorCdb(0xF9, 0x60), 16, true, back.data(), 512).status, 0);
    EXPECT_EQ(!std::equal(back.begin(), back.begin() + 8, table.begin()), c.headerDiffers);
    EXPECT_EQ(!std::equal(back.begin() + 8, back.end(), table.begin() + 8), c.bodyDiffers);
  }
}

TEST(SimController, BadSectorAltersOnlyThatSectorOnRead) {
  auto farm = FarmWith("bad-sector=130");
  std::vector<std::uint8_t> data(65536, 0x55);
  SendOnce(*farm, 'E', Rw10(0x2A, 128, 128), 16, false, data.data(), 65536);
  std::vector<std::uint8_t> back(65536, 0);
  ASSERT_EQ(SendOnce(*farm, 'E', Rw10(0x28, 128, 128), 16, true, back.data(), 65536).status, 0);
  for (std::uint32_t s = 0; s < 128; ++s) {
    const bool same = std::equal(back.begin() + s * 512, back.begin() + (s + 1) * 512, data.begin() + s * 512);
    EXPECT_EQ(same, s != 2) << "sector " << 128 + s;
  }
  EXPECT_EQ(farm->Disk('E')->ReadStored(130, 1), std::vector<std::uint8_t>(512, 0x55));  // stored intact
}

TEST(SimController, UnplugAfterEndsTheDiskAfterThatManyCommands) {
  auto farm = FarmWith("unplug-after=3");
  std::uint32_t err = 0;
  const PortHandle h = farm->Open('E', &err);
  ASSERT_TRUE(IsOpenHandle(h));
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(SendRaw(*farm, h, Cdb({0x00}), 6, true, nullptr, 0).sent) << "command " << i;
  }
  const RawReply gone = SendRaw(*farm, h, Cdb({0x00}), 6, true, nullptr, 0);
  EXPECT_FALSE(gone.sent);
  EXPECT_EQ(gone.osError, kSimErrorNotConnected);
  EXPECT_EQ(farm->Open('E', &err), kInvalidPortHandle);
  EXPECT_EQ(farm->LogicalDrives() & (1u << ('E' - 'A')), 0u);
  farm->Close(h);
}

}  // namespace
}  // namespace kx20
