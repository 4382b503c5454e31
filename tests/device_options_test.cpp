// Device options: --sim, --sim=FARM, --drive L=DEV, and the port they choose.
#include "app/device_options.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/virtual_clock.h"
#include "sim/farm.h"

namespace kx20 {
namespace {

using Source = DeviceOptions::Source;

TEST(DeviceOptions, ParsesAndRemovesTheDeviceOptions) {
  struct Case {
    std::vector<std::string> args;
    Source source;
    std::string farmFile;
    std::vector<std::pair<char, std::string>> drives;
    std::vector<std::string> rest;
  };
  const std::vector<Case> cases = {
      {{}, Source::Host, "", {}, {}},
      {{"E"}, Source::Host, "", {}, {"E"}},
      {{"--sim", "E"}, Source::SimDefault, "", {}, {"E"}},
      {{"E", "--sim=farms/bench.ini", "-v"}, Source::SimFile, "farms/bench.ini", {}, {"E", "-v"}},
      {{"--drive", "E=/dev/sg2", "--drive=f=/dev/sg3", "scan"},
       Source::Host,
       "",
       {{'E', "/dev/sg2"}, {'F', "/dev/sg3"}},
       {"scan"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    DeviceOptions options;
    std::string error;
    ASSERT_TRUE(ParseDeviceOptions(args, options, error)) << error;
    EXPECT_EQ(options.source, c.source);
    EXPECT_EQ(options.farmFile, c.farmFile);
    ASSERT_EQ(options.drives.size(), c.drives.size());
    for (std::size_t i = 0; i < c.drives.size(); ++i) {
      EXPECT_EQ(options.drives[i].letter, c.drives[i].first);
      EXPECT_EQ(options.drives[i].path, c.drives[i].second);
    }
    EXPECT_EQ(args, c.rest);
  }
}

TEST(DeviceOptions, RefusesContradictoryOrIncompleteOptions) {
  struct Case {
    std::vector<std::string> args;
    const char* problem;
  };
  const std::vector<Case> cases = {
      {{"--sim", "--sim=a.ini"}, "more than once"},
      {{"--sim", "--drive", "E=/dev/sg1"}, "cannot be combined with --sim"},
      {{"--drive=E=/dev/sg1", "--sim=x.ini"}, "cannot be combined with --sim"},
      {{"E", "--drive"}, "needs a mapping"},
      {{"--drive", "bogus"}, "--drive bogus"},
      {{"--drive", "E=/dev/sg1", "--drive", "E=/dev/sg2"}, "--drive"},
      {{"--sim="}, "needs a farm file"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    DeviceOptions options;
    options.farmFile = "untouched";
    std::string error;
    EXPECT_FALSE(ParseDeviceOptions(args, options, error)) << c.args.size();
    EXPECT_NE(error.find(c.problem), std::string::npos) << error;
    EXPECT_EQ(args, c.args);
    EXPECT_EQ(options.farmFile, "untouched");
  }
}

TEST(DeviceOptions, OutputOptionsTakeTheEventStreamAndQuiet) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
    std::string events;
    bool quiet;
    std::vector<std::string> rest;
  };
  const std::vector<Case> cases = {
      {{"--batch"}, true, "", false, {"--batch"}},
      {{"--events", "-", "--batch"}, true, "-", false, {"--batch"}},
      {{"--quiet", "--events=run.jsonl", "x"}, true, "run.jsonl", true, {"x"}},
      {{"--batch", "--events"}, false, "", false, {"--batch", "--events"}},
      {{"--events="}, false, "", false, {"--events="}},
      {{"--events", ""}, false, "", false, {"--events", ""}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    StationOutputOptions options;
    std::string error;
    EXPECT_EQ(ParseStationOutputOptions(args, options, error), c.ok) << c.args.size();
    if (!c.ok) {
      EXPECT_NE(error.find("--events needs a file"), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(options.eventsFile, c.events);
    EXPECT_EQ(options.quiet, c.quiet);
    EXPECT_EQ(args, c.rest);
  }
}

TEST(DeviceOptions, SimulatedPortsComeFromTheDefaultFarmOrAFile) {
  VirtualClock clock;
  std::string error;
  DeviceOptions options;
  options.source = Source::SimDefault;
  auto port = OpenDevicePort(options, clock, error);
  ASSERT_TRUE(port) << error;
  EXPECT_NE(dynamic_cast<SimFarm*>(port.get()), nullptr);
  EXPECT_EQ(port->LogicalDrives(), 0x3FF0u | 0x4u);  // E: to N:, and C:

  const auto dir = std::filesystem::temp_directory_path() / "kx20_device_options";
  std::filesystem::create_directories(dir);
  const auto good = dir / "good.ini";
  const auto bad = dir / "bad.ini";
  std::ofstream(good) << "[X]\nslot = 4\n";
  std::ofstream(bad) << "[X]\nslot = 4\nfault = melt\n";

  options.source = Source::SimFile;
  options.farmFile = good.string();
  port = OpenDevicePort(options, clock, error);
  ASSERT_TRUE(port) << error;
  EXPECT_EQ(port->LogicalDrives(), (1u << ('X' - 'A')) | 0x4u);

  options.farmFile = bad.string();
  EXPECT_FALSE(OpenDevicePort(options, clock, error));
  EXPECT_EQ(error, bad.string() + ":3: unknown fault 'melt'");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kx20
