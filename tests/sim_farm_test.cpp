// The simulated farm as a pass-through port: handles, drive letters, file
// backing, concurrent use.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "common/virtual_clock.h"
#include "sim/farm.h"
#include "support/sim_requests.h"

namespace kx20 {
namespace {

using testing::Cdb;
using testing::SendOnce;
using testing::SendRaw;
using testing::VendorCdb;

std::vector<std::uint8_t> Rw10(std::uint8_t op, std::uint32_t lba, std::uint16_t count) {
  return Cdb({op, 0, static_cast<std::uint8_t>(lba >> 24), static_cast<std::uint8_t>(lba >> 16),
              static_cast<std::uint8_t>(lba >> 8), static_cast<std::uint8_t>(lba), 0,
              static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count), 0});
}

std::filesystem::path TempDir(const std::string& name) {
  auto dir = std::filesystem::temp_directory_path() / ("kx20_sim_" + name);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

TEST(SimFarm, DefaultFarmShowsTenLettersPlusTheSystemDisk) {
  VirtualClock clock;
  auto farm = SimFarm::Create(DefaultFarmLayout(), clock, nullptr);
  ASSERT_TRUE(farm);
  std::uint32_t expected = 1u << 2;  // C:
  for (char l = 'E'; l <= 'N'; ++l) expected |= 1u << (l - 'A');
  EXPECT_EQ(farm->LogicalDrives(), expected);
  EXPECT_EQ(farm->Letters(), (std::vector<char>{'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N'}));
  std::uint8_t reply[32] = {};
  for (char l = 'E'; l <= 'N'; ++l) {
    ASSERT_EQ(SendOnce(*farm, l, Cdb({0x12, 0, 0, 0, 0x20}), 10, true, reply, 32).status, 0);
    EXPECT_EQ(std::atoi(std::string(reinterpret_cast<char*>(reply + 24), 4).c_str()), l - 'E' + 1);
  }
}

// What the host shows under each letter after a disk leaves, and what a
// letter opens: the disk bound at the last scan, or nothing.
TEST(SimFarm, DisksThatLeaveAndArriveFollowTheHostStyle) {
  struct Case {
    const char* name;
    SimHostStyle host;
    std::string arrival;
    std::string hostF;  // INQUIRY slot field the host shows under F: after F's disk left
    std::string hostG;
  };
  const Case cases[] = {
      {"windows: the letter stays free", SimHostStyle::kWindows, "", "", "   3"},
      {"windows: a new disk takes the freed letter", SimHostStyle::kWindows, "7", "   7", "   3"},
      {"linux: later disks move down a letter", SimHostStyle::kLinux, "", "   3", ""},
      {"linux: a new disk takes the freed node", SimHostStyle::kLinux, "9", "   9", "   3"},
      {"a foreign disk arrives", SimHostStyle::kWindows, kSimForeignArrival, "", "   3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualClock clock;
    FarmLayout layout = DefaultFarmLayout();
    layout.disks.resize(3);  // E, F, G
    layout.hostStyle = c.host;
    layout.disks[1].faults.unplugAfter = 1;
    layout.disks[1].arrival = c.arrival;
    auto farm = SimFarm::Create(layout, clock, nullptr);
    ASSERT_TRUE(farm);
    SimDisk* leaving = farm->Disk('F');
    std::uint8_t reply[32] = {};
    ASSERT_EQ(SendOnce(*farm, 'F', Cdb({0x12, 0, 0, 0, 0x20}), 10, true, reply, 32).status, 0);
    ASSERT_TRUE(leaving->Unplugged());

    auto slotOn = [&](char letter) {
      SimDisk* d = farm->HostDisk(letter);
      return d == nullptr ? std::string() : d->Config().slot;
    };
    EXPECT_EQ(slotOn('F'), c.hostF);
    EXPECT_EQ(slotOn('G'), c.hostG);
    if (c.arrival == kSimForeignArrival) {
      ASSERT_NE(farm->HostDisk('F'), nullptr);
      EXPECT_EQ(farm->HostDisk('F')->Config().vendor, "ACME");
    }
    // Until the next scan, F opens nothing and G still opens its own disk.
    std::uint32_t err = 0;
    EXPECT_EQ(farm->Open('F', &err), kInvalidPortHandle);
    EXPECT_EQ(err, kSimErrorFileNotFound);
    const auto gBefore = farm->Disk('G')->CommandCount();
    ASSERT_EQ(SendOnce(*farm, 'G', Cdb({0x00}), 6, true, nullptr, 0).status, 0);
    EXPECT_EQ(farm->Disk('G')->CommandCount(), gBefore + 1);
    // The scan binds the letters to what the host shows now.
    farm->ScanDrives();
    const PortHandle f = farm->Open('F', &err);
    EXPECT_EQ(IsOpenHandle(f), !c.hostF.empty() || c.arrival == kSimForeignArrival);
    farm->Close(f);
  }
}

TEST(SimFarm, HandlesAreFreshPerOpenAndDeadAfterClose) {
  VirtualClock clock;
  auto farm = SimFarm::Create(DefaultFarmLayout(), clock, nullptr);
  std::uint32_t err = 0;
  const PortHandle a = farm->Open('E', &err);
  const PortHandle b = farm->Open('E', &err);
  ASSERT_TRUE(IsOpenHandle(a));
  ASSERT_TRUE(IsOpenHandle(b));
  EXPECT_NE(a, b);
  EXPECT_EQ(farm->OpenHandleCount(), 2u);
  farm->Close(a);
  EXPECT_EQ(farm->OpenHandleCount(), 1u);

  struct Case {
    const char* name;
    PortHandle handle;
    bool sent;
  };
  for (const Case& c : {Case{"closed", a, false}, Case{"still open", b, true}, Case{"null", kNullPortHandle, false},
                        Case{"invalid", kInvalidPortHandle, false}, Case{"never issued", 12345, false}}) {
    SCOPED_TRACE(c.name);
    err = 0;
    const auto r = SendRaw(*farm, c.handle, Cdb({0x00}), 6, true, nullptr, 0);
    EXPECT_EQ(r.sent, c.sent);
    if (!c.sent) {
      EXPECT_EQ(r.osError, kSimErrorInvalidHandle);
    }
    BufferedPassThroughRequest buffered{};
    buffered.spt.cdbLength = 6;
    buffered.spt.dataIn = 1;
    buffered.spt.dataBufferOffset = offsetof(BufferedPassThroughRequest, data);
    EXPECT_EQ(farm->SendBuffered(c.handle, buffered, &err), c.sent);
    if (c.sent) {
      EXPECT_EQ(buffered.spt.scsiStatus, 0);
    } else {
      EXPECT_EQ(err, kSimErrorInvalidHandle);
    }
  }
  farm->Close(b);
  farm->Close(b);  // closing twice is harmless
  EXPECT_EQ(farm->OpenHandleCount(), 0u);
  EXPECT_EQ(farm->Open('Q', &err), kInvalidPortHandle);
  EXPECT_EQ(err, kSimErrorFileNotFound);
}

TEST(SimFarm, CheckConditionFillsFixedFormatSenseUpToSenseInfoLength) {
  VirtualClock clock;
  auto farm = SimFarm::Create(DefaultFarmLayout(), clock, nullptr);
  PortHandle h = farm->Open('E', nullptr);
  PassThroughRequest r{};
  r.sptd.cdbLength = 6;
  r.sptd.cdb[0] = 0x1B;  // unknown here
  r.sptd.scsiStatus = 0xFF;
  r.sptd.senseInfoLength = 14;
  std::memset(r.sense, 0xEE, sizeof r.sense);
  ASSERT_TRUE(farm->SendDirect(h, r, nullptr));
  EXPECT_EQ(r.sptd.scsiStatus, 2);
  EXPECT_EQ(r.sense[0], 0x70);
  EXPECT_EQ(r.sense[2], 0x05);
  EXPECT_EQ(r.sense[12], 0x20);
  EXPECT_EQ(r.sense[13], 0x00);
  EXPECT_EQ(r.sense[14], 0xEE);  // nothing beyond SenseInfoLength
  farm->Close(h);
}

TEST(SimFarm, SparseFileBackingHasTheDiskSizeAndKeepsWrites) {
  const auto dir = TempDir("backing");
  SimDiskConfig disk;
  disk.letter = 'G';
  disk.slot = "   3";
  disk.lastLba = 20479;  // 10 MB
  disk.backingFile = (dir / "g.img").string();
  FarmLayout layout;
  layout.disks = {disk};
  VirtualClock clock;
  std::vector<std::uint8_t> data(65536);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13);
  {
    auto farm = SimFarm::Create(layout, clock, nullptr);
    ASSERT_TRUE(farm);
    EXPECT_EQ(std::filesystem::file_size(disk.backingFile), 20480u * 512);
    ASSERT_EQ(SendOnce(*farm, 'G', Rw10(0x2A, 1000, 128), 16, false, data.data(), 65536).status, 0);
    std::vector<std::uint8_t> back(65536, 0);
    ASSERT_EQ(SendOnce(*farm, 'G', Rw10(0x28, 1000, 128), 16, true, back.data(), 65536).status, 0);
    EXPECT_EQ(back, data);
  }
  EXPECT_EQ(std::filesystem::file_size(disk.backingFile), 20480u * 512);
  std::ifstream file(disk.backingFile, std::ios::binary);
  file.seekg(1000 * 512);
  std::vector<std::uint8_t> onDisk(65536);
  file.read(reinterpret_cast<char*>(onDisk.data()), 65536);
  EXPECT_EQ(onDisk, data);
  file.seekg(0);
  std::vector<std::uint8_t> head(512, 0xEE);
  file.read(reinterpret_cast<char*>(head.data()), 512);
  EXPECT_EQ(head, std::vector<std::uint8_t>(512, 0));
  file.close();

  // A new farm on the same file keeps the disk's data, as a real disk would.
  auto again = SimFarm::Create(layout, clock, nullptr);
  EXPECT_EQ(again->Disk('G')->ReadStored(1000, 128), data);
  again.reset();
  std::filesystem::remove_all(dir);
}

TEST(SimFarm, BackingFileThatCannotBeCreatedIsReported) {
  SimDiskConfig disk;
  disk.letter = 'G';
  disk.slot = "1";
  disk.backingFile = (TempDir("nodir") / "missing" / "sub" / "g.img").string();
  FarmLayout layout;
  layout.disks = {disk};
  VirtualClock clock;
  std::string error;
  EXPECT_FALSE(SimFarm::Create(layout, clock, &error));
  EXPECT_NE(error.find("g.img"), std::string::npos) << error;
}

TEST(SimFarm, SpeedModelSleepsForTheTransferTime) {
  SimDiskConfig disk;
  disk.letter = 'E';
  disk.slot = "1";
  disk.readMbps = 2;     // 65536 bytes -> 32.768 ms
  disk.writeMbps = 0.5;  // 65536 bytes -> 131.072 ms
  FarmLayout layout;
  layout.disks = {disk};
  VirtualClock clock;
  auto farm = SimFarm::Create(layout, clock, nullptr);
  std::vector<std::uint8_t> data(65536, 1);
  const auto start = clock.Elapsed();
  for (int i = 0; i < 10; ++i) SendOnce(*farm, 'E', Rw10(0x28, 0, 128), 16, true, data.data(), 65536);
  EXPECT_EQ(clock.Elapsed() - start, 327u);  // 327.68 ms, the remainder carried
  const auto mid = clock.Elapsed();
  SendOnce(*farm, 'E', Rw10(0x2A, 0, 128), 16, false, data.data(), 65536);
  EXPECT_EQ(clock.Elapsed() - mid, 131u);
  const auto end = clock.Elapsed();
  SendOnce(*farm, 'E', VendorCdb(0xF9, 0x6F), 16, true, nullptr, 0);  // no data: no pause
  EXPECT_EQ(clock.Elapsed(), end);
}

TEST(SimFarm, SharedBusQueuesTransfersThatStartTogether) {
  VirtualClock clock;
  SimBus bus(1, clock);  // 1 MB/s: 65536 bytes take 65536 us
  EXPECT_DOUBLE_EQ(bus.Book(65536), 65536.0);
  EXPECT_DOUBLE_EQ(bus.Book(65536), 131072.0);  // waits for the first
  clock.Advance(1);  // 1 ms later the bus is still booked until 131072 us
  EXPECT_DOUBLE_EQ(bus.Book(65536), 131072.0 + 65536.0 - 1000.0);
  clock.Advance(1000);  // long after, the bus is free again
  EXPECT_DOUBLE_EQ(bus.Book(1000), 1000.0);
}

TEST(SimFarm, SharedBusLimitsDisksWithoutRatesOfTheirOwn) {
  FarmLayout layout = DefaultFarmLayout();
  layout.busMbps = 1;  // 65536 bytes -> 65.536 ms on the bus
  VirtualClock clock;
  auto farm = SimFarm::Create(layout, clock, nullptr);
  std::vector<std::uint8_t> data(65536, 1);
  const auto start = clock.Elapsed();
  SendOnce(*farm, 'E', Rw10(0x28, 0, 128), 16, true, data.data(), 65536);
  SendOnce(*farm, 'F', Rw10(0x28, 0, 128), 16, true, data.data(), 65536);
  // Sequential transfers on a free bus each take their own bus time.
  EXPECT_GE(clock.Elapsed() - start, 130u);
  EXPECT_LE(clock.Elapsed() - start, 132u);
}

TEST(SimFarm, TwoThreadsDriveTwoDisksAtOnce) {
  VirtualClock clock;
  auto farm = SimFarm::Create(DefaultFarmLayout(), clock, nullptr);
  auto worker = [&](char letter, std::uint8_t fill, bool* ok) {
    std::vector<std::uint8_t> data(65536, fill);
    std::vector<std::uint8_t> back(65536);
    const PortHandle h = farm->Open(letter, nullptr);
    *ok = IsOpenHandle(h);
    for (std::uint32_t lba = 0; lba < 128 * 40 && *ok; lba += 128) {
      *ok = SendRaw(*farm, h, Rw10(0x2A, lba, 128), 16, false, data.data(), 65536).status == 0 &&
            SendRaw(*farm, h, Rw10(0x28, lba, 128), 16, true, back.data(), 65536).status == 0 && back == data;
      // Discovery-style traffic on the same disks from this thread too.
      *ok = *ok && SendOnce(*farm, letter == 'E' ? 'F' : 'E', VendorCdb(0xF9, 0x6F), 16, true, nullptr, 0).status == 0;
    }
    farm->Close(h);
  };
  bool okE = false, okF = false;
  std::thread a(worker, 'E', 0x11, &okE);
  std::thread b(worker, 'F', 0x22, &okF);
  a.join();
  b.join();
  EXPECT_TRUE(okE);
  EXPECT_TRUE(okF);
  EXPECT_EQ(farm->Disk('E')->ReadStored(128 * 39, 128), std::vector<std::uint8_t>(65536, 0x11));
  EXPECT_EQ(farm->Disk('F')->ReadStored(0, 128), std::vector<std::uint8_t>(65536, 0x22));
  EXPECT_EQ(farm->OpenHandleCount(), 0u);
}

}  // namespace
}  // namespace kx20
