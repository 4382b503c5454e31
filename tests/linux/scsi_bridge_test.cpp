// The target's SCSI side without any PDU: what reaches the controller, what
// the target answers itself, and the status, sense and residual of each.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/byte_order.h"
#include "common/virtual_clock.h"
#include "sim/farm.h"
#include "sim/farm_file.h"
#include "sim/iscsi/scsi_bridge.h"

namespace kx20::iscsi {
namespace {

ScsiCommand Command(std::vector<std::uint8_t> cdb, std::uint32_t edtl, bool read, bool write, bool lunZero = true) {
  ScsiCommand c;
  std::copy(cdb.begin(), cdb.end(), c.cdb.begin());
  c.expectedLength = edtl;
  c.read = read;
  c.write = write;
  c.lunZero = lunZero;
  return c;
}

std::vector<std::uint8_t> Rw16(std::uint8_t op, std::uint64_t lba, std::uint32_t count) {
  std::vector<std::uint8_t> cdb(16);
  cdb[0] = op;
  PutBe64(&cdb[2], lba);
  PutBe32(&cdb[10], count);
  return cdb;
}

std::vector<std::uint8_t> Rw10(std::uint8_t op, std::uint32_t lba, std::uint16_t count) {
  std::vector<std::uint8_t> cdb(10);
  cdb[0] = op;
  PutBe32(&cdb[2], lba);
  PutBe16(&cdb[7], count);
  return cdb;
}

class ScsiBridgeTest : public ::testing::Test {
 protected:
  void MakeFarm(const std::string& faultsE = "") {
    FarmLayout layout = DefaultFarmLayout();
    std::string error;
    if (!faultsE.empty()) {
      ASSERT_TRUE(ParseFaultList(faultsE, layout.disks[0].faults, error)) << error;
    }
    farm_ = SimFarm::Create(layout, clock_, &error);
    ASSERT_TRUE(farm_) << error;
    disk_ = farm_->Disk('E');
  }
  ScsiBridge Bridge() {
    return ScsiBridge(disk_, [this](const std::string& l) { log_.push_back(l); }, false);
  }
  // The last command the controller received.
  SimCommand LastReceived() { return disk_->History().back(); }

  VirtualClock clock_;
  std::unique_ptr<SimFarm> farm_;
  SimDisk* disk_ = nullptr;
  std::vector<std::string> log_;
};

TEST_F(ScsiBridgeTest, SixteenByteReadsAndWritesReachTheControllerAsTenByteOnes) {
  MakeFarm();
  ScsiBridge bridge = Bridge();
  std::vector<std::uint8_t> data(1024);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13 + 1);
  ScsiResult w = bridge.Run(Command(Rw16(0x8A, 70000, 2), 1024, false, true), data);
  EXPECT_EQ(w.status, 0);
  EXPECT_TRUE(w.dataIn.empty());
  SimCommand got = LastReceived();
  EXPECT_EQ(got.cdb[0], 0x2A);
  EXPECT_EQ(got.cdbLength, 10);
  EXPECT_EQ(GetBe32(&got.cdb[2]), 70000u);
  EXPECT_EQ(GetBe16(&got.cdb[7]), 2u);
  EXPECT_EQ(disk_->ReadStored(70000, 2), data);

  std::vector<std::uint8_t> none;
  ScsiResult r = bridge.Run(Command(Rw16(0x88, 70000, 2), 1024, true, false), none);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(std::vector<std::uint8_t>(r.dataIn.begin(), r.dataIn.end()), data);
  EXPECT_EQ(LastReceived().cdb[0], 0x28);
}

// Everything the target answers without the controller, or refuses before
// it: the data that goes back, the status and sense, the residual.
TEST_F(ScsiBridgeTest, AnswersOfTheTargetItself) {
  struct Case {
    const char* what;
    const char* faults;
    ScsiCommand cmd;
    std::uint8_t status;
    SimSense sense;                  // with status 2
    std::vector<std::uint8_t> data;  // the Data-In expected (prefix checked when shorter)
    std::size_t dataSize;
    std::uint8_t residualFlags;
    std::uint32_t residual;
  };
  std::vector<std::uint8_t> reportLuns = {0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0};
  std::vector<std::uint8_t> reportLunsShort = reportLuns;
  reportLunsShort[9] = 8;
  std::vector<std::uint8_t> rc16(16);
  rc16[0] = 0x9E;
  rc16[1] = 0x10;
  PutBe32(&rc16[10], 32);
  const Case cases[] = {
      {"READ(16) beyond 32-bit LBAs", "", Command(Rw16(0x88, 0x100000000ull, 1), 512, true, false), 2,
       kSenseLbaOutOfRange, {}, 0, 0, 0},
      {"WRITE(16) of more than 65535 blocks", "", Command(Rw16(0x8A, 0, 0x10000), 0, false, false), 2,
       kSenseInvalidField, {}, 0, 0, 0},
      {"REPORT LUNS", "", Command(reportLuns, 16, true, false), 0, {}, {0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 16, 0, 0},
      {"REPORT LUNS, longer buffer", "", Command(reportLuns, 64, true, false), 0, {}, {0, 0, 0, 8}, 16,
       kResidualUnderflow, 48},
      {"REPORT LUNS, allocation below 16", "", Command(reportLunsShort, 16, true, false), 2, kSenseInvalidField, {}, 0, 0, 0},
      {"REPORT LUNS of a pulled disk", "unplug-after=0", Command(reportLuns, 16, true, false), 0, {}, {0, 0, 0, 0}, 8,
       kResidualUnderflow, 8},
      {"REQUEST SENSE: nothing pending", "", Command({0x03, 0, 0, 0, 18, 0}, 18, true, false), 0, {},
       {0x70, 0, 0, 0, 0, 0, 0, 10}, 18, 0, 0},
      {"REQUEST SENSE, short allocation", "", Command({0x03, 0, 0, 0, 8, 0}, 18, true, false), 0, {}, {0x70}, 8,
       kResidualUnderflow, 10},
      {"INQUIRY of LUN 1", "", Command({0x12, 0, 0, 0, 36, 0}, 36, true, false, false), 0, {},
       {0x7F, 0, 0x05, 0x02, 31}, 36, 0, 0},
      {"TEST UNIT READY of LUN 1", "", Command({0x00, 0, 0, 0, 0, 0}, 0, false, false, false), 2,
       {0x05, 0x25, 0x00}, {}, 0, 0, 0},
      {"READ(10) of a pulled disk", "unplug-after=0", Command(Rw10(0x28, 0, 1), 512, true, false), 2,
       {0x05, 0x25, 0x00}, {}, 0, 0, 0},
      {"READ CAPACITY(16)", "", Command(rc16, 32, true, false), 0, {},
       {0, 0, 0, 0, 0, 0x03, 0xFF, 0xFF, 0, 0, 0x02, 0x00}, 32, 0, 0},
      {"READ CAPACITY(16) with the capacity fault", "capacity", Command(rc16, 32, true, false), 2,
       kSenseHardwareFailure, {}, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MakeFarm(c.faults);
    ScsiBridge bridge = Bridge();
    std::vector<std::uint8_t> none;
    const ScsiResult r = bridge.Run(c.cmd, none);
    EXPECT_EQ(r.response, kResponseCompleted);
    EXPECT_EQ(r.status, c.status);
    if (c.status == 2) {
      ASSERT_TRUE(r.sense.has_value());
      EXPECT_EQ(*r.sense, c.sense);
    }
    ASSERT_EQ(r.dataIn.size(), c.dataSize);
    EXPECT_TRUE(std::equal(c.data.begin(), c.data.end(), r.dataIn.begin()));
    EXPECT_EQ(r.residualFlags, c.residualFlags);
    EXPECT_EQ(r.residual, c.residual);
  }
}

// The expected length and the CDB disagree: what moves, and the residual.
TEST_F(ScsiBridgeTest, ResidualsOfReadsAndWrites) {
  struct Case {
    const char* what;
    ScsiCommand cmd;
    std::uint8_t status;
    std::size_t dataIn;
    std::uint8_t residualFlags;
    std::uint32_t residual;
    std::uint16_t blocksWritten;  // the WRITE(10) count the controller received (0: none)
  };
  const Case cases[] = {
      {"read as asked", Command(Rw10(0x28, 10, 2), 1024, true, false), 0, 1024, 0, 0, 0},
      {"read into a shorter buffer", Command(Rw10(0x28, 10, 2), 512, true, false), 0, 512, kResidualOverflow, 512, 0},
      {"read into a longer buffer", Command(Rw10(0x28, 10, 2), 2048, true, false), 0, 1024, kResidualUnderflow, 1024, 0},
      {"write of fewer blocks than the CDB", Command(Rw10(0x2A, 10, 4), 1024, false, true), 0, 0, kResidualOverflow, 1024, 2},
      {"write of a part block", Command(Rw10(0x2A, 10, 2), 700, false, true), 2, 0, kResidualOverflow, 324, 0},
      {"write with data to spare", Command(Rw10(0x2A, 10, 1), 1024, false, true), 0, 0, kResidualUnderflow, 512, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MakeFarm();
    ScsiBridge bridge = Bridge();
    const std::uint64_t before = disk_->CommandCount();
    std::vector<std::uint8_t> out(c.cmd.write ? c.cmd.expectedLength : 0, 0x5A);
    const ScsiResult r = bridge.Run(c.cmd, out);
    EXPECT_EQ(r.status, c.status);
    if (c.status == 2) {
      EXPECT_EQ(r.sense, (SimSense{0x05, 0x0E, 0x03}));
    }
    EXPECT_EQ(r.dataIn.size(), c.dataIn);
    EXPECT_EQ(r.residualFlags, c.residualFlags);
    EXPECT_EQ(r.residual, c.residual);
    if (c.blocksWritten) {
      EXPECT_EQ(LastReceived().cdb[0], 0x2A);
      EXPECT_EQ(GetBe16(&LastReceived().cdb[7]), c.blocksWritten);
      EXPECT_EQ(disk_->ReadStored(10, c.blocksWritten), std::vector<std::uint8_t>(512u * c.blocksWritten, 0x5A));
    } else if (c.cmd.write) {
      EXPECT_EQ(disk_->CommandCount(), before);  // refused before the controller
    }
  }
}

TEST_F(ScsiBridgeTest, ControllerFailuresAndFaultLines) {
  MakeFarm("os-failure, bad-sector=5");
  ScsiBridge bridge = Bridge();
  std::vector<std::uint8_t> none;
  const std::vector<std::uint8_t> probe = {0xF9, 0x6F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'V', 'Y'};
  EXPECT_EQ(bridge.Run(Command(probe, 0, false, false), none).response, kResponseTargetFailure);
  const ScsiResult r = bridge.Run(Command(Rw10(0x28, 4, 2), 1024, true, false), none);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.dataIn.size(), 1024u);
  ASSERT_EQ(log_.size(), 2u);
  EXPECT_EQ(log_[0], "fault E: os-failure (operation F9)");
  EXPECT_EQ(log_[1], "fault E: bad-sector=5 (operation 28)");
}

}  // namespace
}  // namespace kx20::iscsi
