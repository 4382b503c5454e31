// Discovery driven through the simulated disk farm.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/memory_console_view.h"
#include "app/slot_table.h"
#include "common/virtual_clock.h"
#include "sim/farm.h"
#include "sim/farm_file.h"

namespace kx20 {
namespace {

class FarmDiscoveryTest : public ::testing::Test {
 protected:
  void Build(const FarmLayout& layout) {
    std::string error;
    farm = SimFarm::Create(layout, clock, &error);
    ASSERT_NE(farm, nullptr) << error;
    discovery = std::make_unique<SlotDiscovery>(*farm, table, flags, view);
  }
  void BuildFromText(const std::string& text) {
    FarmLayout layout;
    std::string error;
    ASSERT_TRUE(ParseFarmText(text, "farm.ini", ".", layout, error)) << error;
    Build(layout);
  }
  std::vector<std::string> RowTexts() {
    std::vector<std::string> texts;
    for (const auto& r : view.Rows()) texts.push_back(r.text);
    return texts;
  }
  std::vector<int> RowImages() {
    std::vector<int> images;
    for (const auto& r : view.Rows()) images.push_back(r.image);
    return images;
  }

  VirtualClock clock;
  std::unique_ptr<SimFarm> farm;
  SlotTable table;
  DiscoveryFlags flags;
  MemoryConsoleView view;
  std::unique_ptr<SlotDiscovery> discovery;
};

TEST_F(FarmDiscoveryTest, DefaultFarmFillsAllTenRows) {
  Build(DefaultFarmLayout());
  flags.autoRescan = 1;
  EXPECT_EQ(discovery->ScanDevices(), 10);
  const std::vector<std::string> expected = {"01-E:\\", "02-F:\\", "03-G:\\", "04-H:\\", "05-I:\\",
                                             "06-J:\\", "07-K:\\", "08-L:\\", "09-M:\\", "10-N:\\"};
  EXPECT_EQ(RowTexts(), expected);
  EXPECT_EQ(RowImages(), std::vector<int>(10, kImageAnswered));
  EXPECT_EQ(view.SelectionMark(), 0);
  EXPECT_EQ(table.SlotOfLetter('C'), 0);  // the system disk is no target
  EXPECT_STREQ(table.Find(10)->slotText, "10");
  EXPECT_STREQ(table.Find(1)->slotText, "01");
  EXPECT_EQ(flags.rescanPending.load(), 1);
  EXPECT_EQ(farm->OpenHandleCount(), 0u);
}

TEST_F(FarmDiscoveryTest, FaultsShowInTheRows) {
  BuildFromText(
      "[E]\nslot = 1\n"
      "[F]\nslot = 2\nfault = no-probe\n"
      "[G]\nslot = 3\nfault = os-failure\n"
      "[H]\nslot = 4\nfault = no-open\n"
      "[I]\nslot = 5\nvendor = vyn\n"
      "[J]\nslot = \"   7\"\n"
      "[K]\nslot = 40\n"
      "[L]\nslot = 0\n"
      "[M]\nslot = 15\n");
  EXPECT_EQ(discovery->ScanDevices(), 5);  // E, F, G, J and M
  const std::vector<std::string> expected = {"01-E:\\", "02-F:\\", "03-[device X]", "04-", "05-",
                                             "06-",     "07-J:\\", "08-",           "09-", "10-"};
  EXPECT_EQ(RowTexts(), expected);
  EXPECT_EQ(RowImages(), (std::vector<int>{1, 2, 7, 8, 8, 8, 1, 8, 8, 8}));
  EXPECT_EQ(table.Find(15)->driveLetter, 'M');
  EXPECT_EQ(table.SlotOfLetter('K'), 0);
  EXPECT_EQ(table.SlotOfLetter('L'), 0);
  EXPECT_EQ(farm->OpenHandleCount(), 0u);
}

TEST_F(FarmDiscoveryTest, RemovalWatchFollowsUnpluggedDisks) {
  // Discovery costs each target disk two commands (INQUIRY, probe); the next
  // probe finds the disk gone.
  BuildFromText(
      "[E]\nslot = 2\nfault = unplug-after=2\n"
      "[F]\nslot = 5\nfault = unplug-after=3\n"
      "[G]\nslot = 32\n");
  EXPECT_EQ(discovery->ScanDevices(), 3);
  flags.removalWatch = 1;

  discovery->PollRemoval();  // E: gone, F: answers its third command
  EXPECT_EQ(table.Find(2)->probeAnswered, 0);
  EXPECT_EQ(table.Find(5)->probeAnswered, 1);
  EXPECT_EQ(flags.removalWatch.load(), 1);
  EXPECT_EQ(flags.rescanPending.load(), 0);

  discovery->PollRemoval();  // F: gone too; G: in slot 32 does not count
  EXPECT_EQ(table.Find(5)->probeAnswered, 0);
  EXPECT_EQ(table.Find(32)->probeAnswered, 1);
  EXPECT_EQ(flags.removalWatch.load(), 0);
  EXPECT_EQ(flags.rescanPending.load(), 1);

  EXPECT_EQ(discovery->ScanDevices(), 1);  // only G: is left
  EXPECT_EQ(RowImages(), std::vector<int>(10, kImageEmpty));
}

}  // namespace
}  // namespace kx20
