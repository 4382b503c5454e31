// The audit of what every simulated disk received during full batches run by
// the station (scan, start, workers, end of run) on farms with every fault,
// disks that leave mid-run and others that arrive on the devices they freed:
// no disk but a probed target ever receives more than INQUIRY, and no write
// ever reaches a disk that was not probed.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "device/device_session.h"
#include "support/station_fixture.h"

namespace kx20 {
namespace {

using testing::StationFixture;

class DiskAuditTest : public StationFixture {};

constexpr std::uint8_t kOpInquiryCode = 0x12;
constexpr std::uint8_t kOpWriteCode = 0x2A;

struct AuditFarm {
  const char* name;
  const char* text;
  // Rows whose verdict the batch must show (row index -> row text).
  std::map<int, std::string> rows;
};

const AuditFarm kFarms[] = {
    {"windows host: disks leave and others take their letters",
     "[farm]\nhost = windows\n"
     "[E]\nslot = 1\n"
     "[F]\nslot = 2\nfault = unplug-after=8\narrival = 7\n"        // leaves before the capacity reopen
     "[G]\nslot = 3\nfault = unplug-after=15\narrival = foreign\n"  // leaves right after the guard
     "[H]\nslot = 4\nfault = unplug-after=40\narrival = 4\n"        // leaves mid-write; same slot arrives
     "[I]\nslot = 5\nfault = unplug-after=2000\narrival = 5\n"      // leaves in the read/write test
     "[J]\nslot = 6\nfault = table-echo\n"
     "[K]\nslot = 7\nvendor = ACME\n"                                // another make on the host
     "[L]\nslot = 8\nfault = no-probe\n"
     "[M]\nslot = 9\nfault = os-failure\n"
     "[N]\nslot = 10\nfault = bad-sector=40\n",
     {{0, "01-:Pass"}, {1, "02-:[capacity X]"}, {2, "03-:[rw-compare X]"}, {5, "06-:[tab-compare X]"},
      {9, "10-:[rw-compare X]"}}},
    {"linux host: the sg map renumbers and new devices take freed numbers",
     "[farm]\nhost = linux\n"
     "[E]\nslot = 1\nfault = unplug-after=15\n"                     // later disks move down a letter
     "[F]\nslot = 2\n"
     "[G]\nslot = 3\nfault = unplug-after=12\narrival = 6\n"        // gone at the capacity reopen
     "[H]\nslot = 4\nfault = unplug-after=30\narrival = foreign\n"
     "[I]\nslot = 5\nfault = capacity\n"
     "[J]\nslot = 6\nfault = capacity-zero\n"
     "[K]\nslot = 7\nfault = table-write\n"
     "[L]\nslot = 8\nfault = table-read\n"
     "[M]\nslot = 9\nfault = table-header\n"
     "[N]\nslot = 10\nfault = sense=2A:3/0C/00\n",
     {{0, "01-:[rw-compare X]"}, {1, "02-:Pass"}, {2, "03-:[capacity X]"}, {4, "05-:[capacity X]"},
      {5, "06-:[capacity X]"}, {6, "07-:[rw-table X]"}, {7, "08-:[rw-table X]"}, {8, "09-:Pass"}}},
    {"requests fail at OS level, opens fail, a disk leaves for good",
     "[E]\nslot = 1\nfault = os-failure-all\n"
     "[F]\nslot = 2\nfault = no-open\n"
     "[G]\nslot = 3\nfault = unplug-after=3\n"
     "[H]\nslot = 4\nfault = code-flash-block=1\n"
     "[I]\nslot = 5\nfault = unplug-after=12\narrival = 1\n"
     "[J]\nslot = 12\n"                                               // recorded, no row, no worker
     "[K]\nslot = 0\n"                                                // no slot record at all
     "[L]\nslot = 2\nvendor = vyn\n",                                 // lower case: not a target
     {{3, "04-:Pass"}}},
};

TEST_F(DiskAuditTest, OnlyProbedTargetsEverReceiveMoreThanInquiry) {
  for (const AuditFarm& f : kFarms) {
    SCOPED_TRACE(f.name);
    farm.reset();
    port.reset();
    station.reset();
    BuildFarmText(f.text);
    CopyExample("config.txt");
    MakeStation();
    station->Initialise();
    station->Tick();  // the scan

    // The disks the scan probed: the targets (only they were sent the probe).
    std::set<SimDisk*> probed;
    for (SimDisk* d : farm->AllDisks()) {
      const auto received = d->ReceivedOpcodes();
      for (const auto& [op, n] : received) {
        EXPECT_TRUE(op == kOpInquiryCode || op == kOpVendor) << d->Config().slot;
      }
      if (received.count(kOpVendor) != 0) probed.insert(d);
      EXPECT_EQ(d->SectorsWritten(), 0u);
    }

    station->OnSpaceKeyDown(false);
    ASSERT_TRUE(TickUntilRunEnds());  // never a hang

    for (SimDisk* d : farm->AllDisks()) {
      if (probed.count(d) != 0) continue;
      SCOPED_TRACE("disk \"" + d->Config().vendor + "\" slot \"" + d->Config().slot + "\" on " +
                   std::string(1, d->Letter()));
      for (const auto& [op, n] : d->ReceivedOpcodes()) {
        EXPECT_EQ(op, kOpInquiryCode) << "operation code " << int{op} << " received " << n << " times";
      }
      EXPECT_EQ(d->SectorsWritten(), 0u);
      EXPECT_FALSE(d->ConfigTableWritten());
      EXPECT_EQ(d->LastSignal(), SimSignal::None);
      EXPECT_EQ(d->ReceivedOpcodes().count(kOpWriteCode), 0u);
    }
    const std::vector<std::string> rows = RowTexts();
    for (const auto& [row, text] : f.rows) EXPECT_EQ(rows.at(static_cast<std::size_t>(row)), text);
    station.reset();  // joins the workers before the farm goes
  }
}

// Letters are bound afresh only by a scan, and no scan runs while a worker
// does: neither the timer (closing the settings panel during a run sets the
// rescan flag) nor the "Target Device" button.
TEST_F(DiskAuditTest, NoScanRebindsLettersUnderARunningWorker) {
  BuildFarmText("[E]\nslot = 1\n[F]\nslot = 2\n");
  CopyExample("config.txt");
  MakeStation();
  UseGatedWorkers();  // bodies that wait and never clear the rescan flag
  station->Initialise();
  station->Tick();
  station->OnSpaceKeyDown(false);
  gated.WaitStarted(2);
  auto inquiries = [&] { return farm->Disk('E')->ReceivedOpcodes()[kOpInquiryCode]; };
  const auto before = inquiries();
  station->ToggleSettingsPanel();
  station->ToggleSettingsPanel();  // closed again: a scan is pending
  ASSERT_EQ(station->Flags().rescanPending.load(), 1);
  for (int i = 0; i < 3; ++i) {
    station->Tick();
    station->ScanDevices();
  }
  EXPECT_EQ(inquiries(), before);
  gated.ReleaseAll();
  ASSERT_TRUE(TickUntilRunEnds());  // the scan held back runs once no worker is left
  EXPECT_GT(inquiries(), before);
}

}  // namespace
}  // namespace kx20
