// Farm files: the keys, the faults, and every kind of bad input reported
// with file, line and problem.
#include <gtest/gtest.h>

#include <filesystem>

#include "sim/farm_file.h"

namespace kx20 {
namespace {

FarmLayout Parse(const std::string& text, const std::string& baseDir = "") {
  FarmLayout layout;
  std::string error;
  EXPECT_TRUE(ParseFarmText(text, "farm.ini", baseDir, layout, error)) << error;
  return layout;
}

TEST(SimFarmFile, ShippedDefaultFarmEqualsTheBuiltInOne) {
  FarmLayout layout;
  std::string error;
  ASSERT_TRUE(LoadFarmFile(KX20_SOURCE_DIR "/examples/farm-default.ini", layout, error)) << error;
  EXPECT_EQ(layout, DefaultFarmLayout());
  ASSERT_EQ(layout.disks.size(), 10u);
  EXPECT_EQ(layout.disks[0].letter, 'E');
  EXPECT_EQ(layout.disks[0].slot, "   1");
  EXPECT_EQ(layout.disks[9].letter, 'N');
  EXPECT_EQ(layout.disks[9].slot, "  10");
  EXPECT_EQ(layout.disks[9].lastLba, 262143u);
}

TEST(SimFarmFile, ShippedFaultFarmLoads) {
  FarmLayout layout;
  std::string error;
  ASSERT_TRUE(LoadFarmFile(KX20_SOURCE_DIR "/examples/farm-faults.ini", layout, error)) << error;
  EXPECT_EQ(layout.disks.size(), 10u);
  ASSERT_TRUE(LoadFarmFile(KX20_SOURCE_DIR "/examples/farm-replug.ini", layout, error)) << error;
  EXPECT_EQ(layout.disks.size(), 4u);
  EXPECT_EQ(layout.disks[2].arrival, kSimForeignArrival);
}

TEST(SimFarmFile, ReadsEveryKey) {
  const FarmLayout layout = Parse(
      "; a comment\n"
      "# another\n"
      "[farm]\n"
      "bus_mbps = 35.5\n"
      "\n"
      "[g]\r\n"
      "  slot=-3  \n"
      "vendor = vyn\n"
      "capacity_mb = 64\n"
      "flash_info = 1 2 3 4 5 c1 7 98 8\n"
      "backing = disks/g.img\n"
      "read_mbps = 20\n"
      "write_mbps = 7.5\n"
      "fault = no-probe, bad-sector=5, bad-sector=0x10, sense=28:9/80/00, unplug-after=100, "
      "code-flash-block=7\n"
      "[E]\n"
      "slot = \"7   \"\n"
      "last_lba = 0x1FFF\n",
      "/farms");
  EXPECT_DOUBLE_EQ(layout.busMbps, 35.5);
  ASSERT_EQ(layout.disks.size(), 2u);
  const SimDiskConfig& e = layout.disks[0];
  EXPECT_EQ(e.letter, 'E');
  EXPECT_EQ(e.slot, "7   ");
  EXPECT_EQ(e.lastLba, 0x1FFFu);
  EXPECT_EQ(e.vendor, "VYN");
  EXPECT_EQ(e.flashInfo, kSimDefaultFlashInfo);
  EXPECT_TRUE(e.backingFile.empty());
  const SimDiskConfig& g = layout.disks[1];
  EXPECT_EQ(g.letter, 'G');
  EXPECT_EQ(g.slot, "  -3");
  EXPECT_EQ(g.vendor, "vyn");
  EXPECT_EQ(g.lastLba, 64u * 2048 - 1);
  EXPECT_EQ(g.flashInfo, (std::array<std::uint8_t, 9>{1, 2, 3, 4, 5, 0xC1, 7, 0x98, 8}));
  EXPECT_EQ(std::filesystem::path(g.backingFile), std::filesystem::path("/farms/disks/g.img").lexically_normal());
  EXPECT_DOUBLE_EQ(g.readMbps, 20);
  EXPECT_DOUBLE_EQ(g.writeMbps, 7.5);
  EXPECT_TRUE(g.faults.noProbe);
  EXPECT_FALSE(g.faults.noOpen);
  EXPECT_EQ(g.faults.badSectors, (std::set<std::uint32_t>{5, 16}));
  EXPECT_EQ(g.faults.senses.at(0x28), (SimSense{9, 0x80, 0}));
  EXPECT_EQ(g.faults.unplugAfter, std::optional<std::uint64_t>(100));
  EXPECT_EQ(g.faults.codeFlashBlocks, (std::set<std::uint16_t>{7}));
}

TEST(SimFarmFile, EveryFlagFaultSetsItsOwnFlag) {
  struct Case {
    const char* name;
    bool SimFaults::*flag;
  };
  const Case cases[] = {
      {"no-open", &SimFaults::noOpen},         {"os-failure", &SimFaults::osFailure},
      {"os-failure-all", &SimFaults::osFailureAll}, {"no-probe", &SimFaults::noProbe},
      {"table-write", &SimFaults::tableWrite}, {"table-read", &SimFaults::tableRead},
      {"table-echo", &SimFaults::tableEcho},   {"table-header", &SimFaults::tableHeader},
      {"capacity", &SimFaults::capacity},      {"capacity-zero", &SimFaults::capacityZero},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimFaults faults;
    std::string error;
    ASSERT_TRUE(ParseFaultList(c.name, faults, error)) << error;
    for (const Case& other : cases) {
      EXPECT_EQ(faults.*(other.flag), other.flag == c.flag) << other.name;
    }
    EXPECT_TRUE(faults.badSectors.empty() && faults.codeFlashBlocks.empty() && faults.senses.empty());
    EXPECT_FALSE(faults.unplugAfter.has_value());
  }
}

TEST(SimFarmFile, BadInputNamesFileLineAndProblem) {
  struct Case {
    const char* text;
    int line;
    const char* problem;  // a part of the message
  };
  const Case cases[] = {
      {"[E]\nslot = 1\nspeed = 3\n", 3, "unknown key 'speed'"},
      {"[E]\nslot = 1\n[EE]\nslot = 2\n", 3, "bad drive letter 'EE'"},
      {"[1]\nslot = 1\n", 1, "bad drive letter '1'"},
      {"[C]\nslot = 1\n", 1, "system disk"},
      {"[E]\nslot = 1\n[e]\nslot = 2\n", 3, "duplicate section [E]"},
      {"[E]\nslot = 1\nslot = 2\n", 3, "duplicate key 'slot'"},
      {"slot = 1\n", 1, "outside a section"},
      {"[E\nslot = 1\n", 1, "closing ']'"},
      {"[E]\nslot 1\n", 2, "expected 'key = value'"},
      {"[E]\nslot = 12345\n", 2, "slot needs 1 to 4 characters"},
      {"[E]\nslot = 1\nflash_info = 01 11 22 33 44 EC 06 FF\n", 3, "9 hexadecimal bytes"},
      {"[E]\nslot = 1\nflash_info = 01 11 22 33 44 EC 06 FF FF 00\n", 3, "9 hexadecimal bytes"},
      {"[E]\nslot = 1\nflash_info = 01 11 22 33 44 EC 06 FF GG\n", 3, "9 hexadecimal bytes"},
      {"[E]\nslot = 1\nflash_info = 01 11 22 33 44 EC 06 FF 100\n", 3, "9 hexadecimal bytes"},
      {"[E]\nslot = 1\nfault = no-probe, melt\n", 3, "unknown fault 'melt'"},
      {"[E]\nslot = 1\nfault = no-probe,,capacity\n", 3, "empty entry"},
      {"[E]\nslot = 1\nfault = no-probe=1\n", 3, "takes no value"},
      {"[E]\nslot = 1\nfault = bad-sector=x\n", 3, "bad-sector needs a sector number"},
      {"[E]\nslot = 1\nfault = bad-sector=300000\n", 3, "beyond the last LBA 262143"},
      {"[E]\nslot = 1\nfault = code-flash-block=70000\n", 3, "code-flash-block needs"},
      {"[E]\nslot = 1\nfault = unplug-after=-1\n", 3, "unplug-after needs"},
      {"[E]\nslot = 1\nfault = sense=28:3/11\n", 3, "sense needs OPCODE:K/ASC/ASCQ"},
      {"[E]\nslot = 1\nfault = sense=28:13/11/00\n", 3, "sense needs OPCODE:K/ASC/ASCQ"},
      {"[E]\nslot = 1\nlast_lba = 12ab\n", 3, "last_lba needs a number"},
      {"[E]\nslot = 1\nlast_lba = 4294967296\n", 3, "last_lba needs a number"},
      {"[E]\nslot = 1\nlast_lba = -5\n", 3, "last_lba needs a number"},
      {"[E]\nslot = 1\ncapacity_mb = 0\n", 3, "capacity_mb needs"},
      {"[E]\nslot = 1\nlast_lba = 100\ncapacity_mb = 1\n", 4, "either last_lba or capacity_mb"},
      {"[E]\nslot = 1\nread_mbps = fast\n", 3, "read_mbps needs a rate"},
      {"[E]\nslot = 1\nwrite_mbps = -2\n", 3, "write_mbps needs a rate"},
      {"[farm]\nbus_mbps = 1e999\n", 2, "bus_mbps needs a rate"},
      {"[farm]\nslots = 3\n", 2, "unknown key 'slots' in [farm]"},
      {"[farm]\n[farm]\n", 2, "duplicate section [farm]"},
      {"[E]\nslot = 1\nvendor = TOOLONGVENDOR\n", 3, "vendor needs up to 8 characters"},
      {"[E]\nslot = 1\nbacking =\n", 3, "backing needs"},
      {"\n\n[E]\nvendor = VYN\n", 3, "has no slot"},
      {"[farm]\nhost = macos\n", 2, "host needs 'windows' or 'linux'"},
      {"[E]\nslot = 1\narrival = 12345\n", 3, "arrival needs a slot text"},
      {"[E]\nslot = 1\narrival = 5\n", 3, "arrival needs the fault unplug-after"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FarmLayout layout = DefaultFarmLayout();
    std::string error;
    EXPECT_FALSE(ParseFarmText(c.text, "bench/farm.ini", "", layout, error));
    EXPECT_EQ(error.rfind("bench/farm.ini:" + std::to_string(c.line) + ": ", 0), 0u) << error;
    EXPECT_NE(error.find(c.problem), std::string::npos) << error;
    EXPECT_EQ(layout, DefaultFarmLayout()) << "a failed parse leaves the output alone";
  }
}

TEST(SimFarmFile, HostStyleAndArrivalsAreRead) {
  struct Case {
    const char* text;
    SimHostStyle host;
    std::string arrival;
  };
  const Case cases[] = {
      {"[E]\nslot = 1\n", SimHostStyle::kWindows, ""},
      {"[farm]\nhost = Linux\n[E]\nslot = 1\nfault = unplug-after=9\narrival = 7\n", SimHostStyle::kLinux, "7"},
      {"[farm]\nhost = windows\n[E]\nslot = 1\nfault = unplug-after=9\narrival = FOREIGN\n",
       SimHostStyle::kWindows, kSimForeignArrival},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FarmLayout layout;
    std::string error;
    ASSERT_TRUE(ParseFarmText(c.text, "farm.ini", "", layout, error)) << error;
    EXPECT_EQ(layout.hostStyle, c.host);
    ASSERT_EQ(layout.disks.size(), 1u);
    EXPECT_EQ(layout.disks[0].arrival, c.arrival);
  }
}

TEST(SimFarmFile, MissingFileIsReported) {
  FarmLayout layout;
  std::string error;
  EXPECT_FALSE(LoadFarmFile("/nonexistent/dir/farm.ini", layout, error));
  EXPECT_NE(error.find("/nonexistent/dir/farm.ini"), std::string::npos);
}

TEST(SimFarmFile, EmptyFileIsAnEmptyFarm) {
  EXPECT_TRUE(Parse("; nothing here\n").disks.empty());
}

}  // namespace
}  // namespace kx20
