#include "app/slot_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/memory_console_view.h"
#include "support/fake_port.h"

namespace kx20 {
namespace {

using test::FakePort;
using test::FakeReply;
using test::RecordedRequest;

// A disk as the fake port presents it.
struct FakeDisk {
  std::string vendor = "VYN";
  std::string slotChars = "  01";  // INQUIRY bytes 24..27
  FakeReply probe = FakeReply::Good();
};

class DiscoveryTest : public ::testing::Test {
 protected:
  DiscoveryTest() {
    port.SetResponder([this](const RecordedRequest& r) {
      const auto it = disks.find(r.letter);
      if (it == disks.end()) return FakeReply::Good();
      if (r.cdb[0] == 0x12) {
        std::vector<std::uint8_t> data(32, ' ');
        data[0] = 0;
        std::memcpy(&data[8], it->second.vendor.data(), std::min<std::size_t>(3, it->second.vendor.size()));
        std::memcpy(&data[24], it->second.slotChars.data(), 4);
        return FakeReply::Data(data);
      }
      if (r.cdb[0] == 0xF9 && r.cdb[1] == 0x6F) return it->second.probe;
      return FakeReply::Good();
    });
  }

  void Plug(char letter, FakeDisk disk) {
    disks[letter] = std::move(disk);
    port.AddDrive(letter);
  }
  void PlugSlot(char letter, int slot) {
    char chars[8];
    std::snprintf(chars, sizeof chars, "%4d", slot);
    FakeDisk d;
    d.slotChars = chars;
    Plug(letter, d);
  }
  void Unplug(char letter) {
    disks.erase(letter);
    port.RemoveDrive(letter);
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

  FakePort port;
  std::map<char, FakeDisk> disks;
  SlotTable table;
  DiscoveryFlags flags;
  MemoryConsoleView view;
  SlotDiscovery discovery{port, table, flags, view};
};

TEST(ParseInquirySlotTest, Table) {
  struct Case { const char* chars; int slot; };
  const Case cases[] = {
      {"   7", 7}, {"0012", 12}, {" 12 ", 12}, {"32  ", 32}, {"\t\n 5", 5}, {"+9  ", 9},
      {"-3  ", -3}, {"  -0", 0}, {"abcd", 0}, {"    ", 0}, {"9999", 9999}, {"1x23", 1},
      {"- 12", 0}, {"++12", 0},
  };
  for (const Case& c : cases) {
    std::uint8_t inquiry[32] = {};
    std::memcpy(inquiry + 24, c.chars, 4);
    EXPECT_EQ(ParseInquirySlot(inquiry), c.slot) << '"' << c.chars << '"';
  }
}

TEST(SlotRowTest, TextsAndImages) {
  SlotRecord empty;
  EXPECT_EQ(SlotRowText(3, empty), "03-");
  EXPECT_EQ(SlotRowImage(empty), kImageEmpty);
  SlotRecord found;
  found.driveLetter = 'F';
  found.present = 1;
  EXPECT_EQ(SlotRowText(3, found), "03-F:\\");
  EXPECT_EQ(SlotRowImage(found), kImageNoAnswer);
  found.probeAnswered = 1;
  EXPECT_EQ(SlotRowImage(found), kImageAnswered);
  found.probeOsFailure = 2;
  EXPECT_EQ(SlotRowText(10, found), "10-[device X]");
  EXPECT_EQ(SlotRowImage(found), kImageQuestion);
}

TEST_F(DiscoveryTest, NoTargetDiskGivesTenEmptyRowsAndNoSelection) {
  FakeDisk other;
  other.vendor = "ACM";
  Plug('E', other);
  port.AddDrive('C');  // a fixed disk that answers INQUIRY with zeros
  EXPECT_EQ(discovery.ScanDevices(), 0);
  const std::vector<std::string> expected = {"01-", "02-", "03-", "04-", "05-",
                                             "06-", "07-", "08-", "09-", "10-"};
  EXPECT_EQ(RowTexts(), expected);
  EXPECT_EQ(RowImages(), std::vector<int>(10, kImageEmpty));
  EXPECT_EQ(view.SelectionMark(), -1);
  EXPECT_EQ(port.OpenHandles(), 0);
}

TEST_F(DiscoveryTest, SlotNumbersAndSlotTexts) {
  struct Case { const char* chars; int slot; const char* slotText; };
  const Case cases[] = {{"   7", 7, "07"}, {"0012", 12, "12"}, {" 3  ", 3, "00"}, {"+9 1", 9, "01"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.chars);
    disks.clear();
    FakeDisk d;
    d.slotChars = c.chars;
    Plug('F', d);
    EXPECT_EQ(discovery.ScanDevices(), 1);
    const SlotRecord* r = table.Find(c.slot);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->driveLetter, 'F');
    EXPECT_STREQ(r->slotText, c.slotText);
    EXPECT_EQ(r->present, 1);
    EXPECT_EQ(r->probeAnswered, 1);
    EXPECT_EQ(table.SlotOfLetter('F'), c.slot);
  }
}

TEST_F(DiscoveryTest, RowsShowAnsweringFailingAndOsFailedProbes) {
  PlugSlot('E', 1);
  FakeDisk silent;
  silent.slotChars = "   3";
  silent.probe = FakeReply::Check(5, 0x20, 0);
  Plug('F', silent);
  FakeDisk broken;
  broken.slotChars = "   4";
  broken.probe = FakeReply::OsFailure(1117);
  Plug('G', broken);
  EXPECT_EQ(discovery.ScanDevices(), 3);
  const std::vector<std::string> expected = {"01-E:\\", "02-", "03-F:\\", "04-[device X]", "05-",
                                             "06-",     "07-", "08-",     "09-",           "10-"};
  EXPECT_EQ(RowTexts(), expected);
  EXPECT_EQ(RowImages(), (std::vector<int>{1, 8, 2, 7, 8, 8, 8, 8, 8, 8}));
  EXPECT_EQ(view.SelectionMark(), 0);
  EXPECT_EQ(table.FirstAnsweringSlot(), 1);
  table.Find(1)->probeAnswered = 0;
  EXPECT_EQ(table.FirstAnsweringSlot(), 0);  // F: and G: never answered
  table.Find(2)->driveLetter = 'F';           // a letter in two slots: the last wins
  EXPECT_EQ(table.SlotOfLetter('F'), 3);
  EXPECT_EQ(table.Find(4)->probeOsFailure, 2);
  EXPECT_EQ(table.Find(4)->probeAnswered, 0);
  EXPECT_EQ(table.Find(3)->probeOsFailure, 0);
  EXPECT_EQ(port.OpenHandles(), 0);
}

TEST_F(DiscoveryTest, OnlyExactUpperCaseVendorIsATarget) {
  for (const char* vendor : {"vyn", "VYn", "VY", "XYN"}) {
    SCOPED_TRACE(vendor);
    FakeDisk d;
    d.vendor = vendor;
    Plug('E', d);
    EXPECT_EQ(discovery.ScanDevices(), 0);
    EXPECT_EQ(table.Find(1)->driveLetter, 0);
  }
}

TEST_F(DiscoveryTest, DrivesAOrBAndBitsBeyondZAreNeverExamined) {
  PlugSlot('A', 1);
  PlugSlot('B', 2);
  port.SetExtraDriveBits(0xFC000000u);  // bits 26..31
  EXPECT_EQ(discovery.ScanDevices(), 0);
  EXPECT_TRUE(port.OpenedLetters().empty());
  EXPECT_TRUE(port.Requests().empty());
}

TEST_F(DiscoveryTest, SameSlotTwiceKeepsTheLaterLetter) {
  PlugSlot('E', 6);
  PlugSlot('H', 6);
  EXPECT_EQ(discovery.ScanDevices(), 2);
  EXPECT_EQ(table.Find(6)->driveLetter, 'H');
  EXPECT_EQ(view.Rows()[5].text, "06-H:\\");
}

TEST_F(DiscoveryTest, SlotAboveTenIsRecordedButHasNoRow) {
  PlugSlot('E', 15);
  EXPECT_EQ(discovery.ScanDevices(), 1);
  EXPECT_EQ(table.Find(15)->driveLetter, 'E');
  EXPECT_EQ(view.RowCount(), 10);
  EXPECT_EQ(RowImages(), std::vector<int>(10, kImageEmpty));
  EXPECT_EQ(view.SelectionMark(), 0);
}

TEST_F(DiscoveryTest, SlotNumbersOutsideTheTableAreIgnored) {
  for (const char* chars : {"   0", "  -1", "  33", "9999", "-999", "    "}) {
    SCOPED_TRACE(chars);
    disks.clear();
    FakeDisk d;
    d.slotChars = chars;
    Plug('E', d);
    port.ClearRequests();
    EXPECT_EQ(discovery.ScanDevices(), 0);
    for (int slot = 1; slot <= kSlotCount; ++slot) EXPECT_EQ(table.Find(slot)->driveLetter, 0) << slot;
    EXPECT_EQ(view.SelectionMark(), -1);
    for (const RecordedRequest& r : port.Requests()) EXPECT_NE(r.cdb[0], 0xF9);  // not probed
  }
}

TEST_F(DiscoveryTest, ScanClearsTheTableAndFollowsAutoRescan) {
  PlugSlot('E', 2);
  discovery.ScanDevices();
  table.Find(2)->codeFlashReady = 1;
  EXPECT_EQ(flags.rescanPending.load(), 0);  // autoRescan not yet set
  flags.autoRescan = 1;
  Unplug('E');
  EXPECT_EQ(discovery.ScanDevices(), 0);
  EXPECT_EQ(table.Find(2)->driveLetter, 0);
  EXPECT_EQ(table.Find(2)->codeFlashReady, 0);
  EXPECT_EQ(flags.rescanPending.load(), 1);
}

TEST_F(DiscoveryTest, ProbeDeviceOpenFailureKeepsTheMarker) {
  FakeDisk broken;
  broken.probe = FakeReply::OsFailure(5);
  Plug('E', broken);
  EXPECT_FALSE(discovery.ProbeDevice('E'));
  EXPECT_EQ(discovery.probeOsFailureMarker(), 2);
  EXPECT_FALSE(discovery.ProbeDevice('Q'));  // cannot be opened
  EXPECT_EQ(discovery.probeOsFailureMarker(), 2);
  disks['E'].probe = FakeReply::Good();
  EXPECT_TRUE(discovery.ProbeDevice('E'));
  EXPECT_EQ(discovery.probeOsFailureMarker(), 0);
  EXPECT_EQ(port.OpenHandles(), 0);
}

TEST_F(DiscoveryTest, RemovalWatchEndsWhenEveryPolledDiskIsGone) {
  PlugSlot('E', 2);
  PlugSlot('F', 5);
  discovery.ScanDevices();
  const auto rowsBefore = view.Rows().size();
  flags.rescanPending = 0;
  flags.removalWatch = 1;

  Unplug('E');
  discovery.PollRemoval();
  EXPECT_EQ(table.Find(2)->probeAnswered, 0);
  EXPECT_EQ(table.Find(5)->probeAnswered, 1);
  EXPECT_EQ(flags.removalWatch.load(), 1);
  EXPECT_EQ(flags.rescanPending.load(), 0);

  Unplug('F');
  discovery.PollRemoval();
  EXPECT_EQ(flags.removalWatch.load(), 0);
  EXPECT_EQ(flags.rescanPending.load(), 1);
  EXPECT_EQ(view.Rows().size(), rowsBefore);
  EXPECT_EQ(view.Rows()[1].text, "02-E:\\");  // the list is not touched
}

TEST_F(DiscoveryTest, DiskInSlot32DoesNotHoldBackTheRescan) {
  PlugSlot('E', 32);
  PlugSlot('F', 31);
  discovery.ScanDevices();
  ASSERT_EQ(table.Find(32)->probeAnswered, 1);
  flags.removalWatch = 1;
  discovery.PollRemoval();
  EXPECT_EQ(flags.removalWatch.load(), 1);  // slot 31 still answers
  Unplug('F');
  port.ClearRequests();
  discovery.PollRemoval();
  EXPECT_EQ(flags.removalWatch.load(), 0);
  EXPECT_EQ(flags.rescanPending.load(), 1);
  for (const RecordedRequest& r : port.Requests()) EXPECT_NE(r.letter, 'E');
}

}  // namespace
}  // namespace kx20
