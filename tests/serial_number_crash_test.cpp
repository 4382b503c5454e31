// The serial-number step against a power loss at every point of its file
// writes. A batch of disks takes numbers until the power fails; after the
// "reboot" the station cleans up and takes numbers again. Whatever the crash
// point: no number that was handed out to a disk comes out again, the
// settings file is one complete version with everything else the operator
// wrote, and no temporary file is left behind once the station has started.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "app/memory_console_view.h"
#include "storage/profile_file.h"
#include "config/serial_number.h"
#include "support/crash_file_system.h"

namespace kx20 {
namespace {

using testing::CrashFileSystem;

const char kPath[] = "line3/config.txt";
const char kStart[] = "00000041";

std::string Settings() {
  return "; line 3, do not edit during a run\r\n[CID] ; counter below\r\nProduct_name=DISK1\r\n"
         "Manufacturer_ID=12\r\nChange_SN=1\r\nProduct_SN=" +
         std::string(kStart) +
         "\r\nSite=Hall 2\r\n[CSD]\r\nCCD_FIELD=004F01321B5981EFDE794F870A4000\r\n"
         "CCD_SELECT_DATA=16\r\n[OTHER]\r\nFLASH1=16\r\nFLASH2=0\r\n";
}

constexpr int kDisksPerBatch = 3;

struct Outcome {
  long crashPoint = 0;
  std::vector<std::uint32_t> programmed;  // numbers handed to disks before the crash
  std::vector<std::string> problems;
};

// One batch with the power failing after `crashPoint` steps, a reboot, and a
// second batch. Returns what went wrong.
Outcome RunCrashPoint(CrashFileSystem::Faults faults, long crashPoint) {
  Outcome out;
  out.crashPoint = crashPoint;
  CrashFileSystem files(faults);
  files.Put(kPath, Settings());
  files.Put("line3/produce.log", "");

  MemoryConsoleView view;
  ConfigTable table{};
  SettingsStore store;
  SerialStepContext context;
  context.changeSerialNumber = 1;
  context.configPath = kPath;
  context.view = &view;
  context.table = &table;
  context.store = &store;
  context.durability = Durability::kDurable;
  context.files = &files;

  files.CrashAfter(crashPoint);
  for (int disk = 0; disk < kDisksPerBatch; ++disk) {
    const SerialStepResult r = AdvanceSerialNumber(context);
    if (r.status != SerialStepStatus::kAllocated) break;  // the disk is not programmed
    out.programmed.push_back(r.serialNumber);
  }
  files.PowerLoss();

  // The station starts again.
  RemoveLeftoverTemporaries(files, kPath);
  for (const std::string& name : files.ListDirectory("line3")) {
    if (name != "config.txt" && name != "produce.log") out.problems.push_back("left over: " + name);
  }
  std::string text;
  if (!files.ReadFile(kPath, text)) {
    out.problems.push_back("config.txt is gone");
    return out;
  }
  // One complete version: the original with some Product_SN.
  ProfileDocument doc = ProfileDocument::Parse(text);
  const std::string onDisk = doc.Read("CID", "Product_SN", 20);
  doc.Set("CID", "Product_SN", kStart);
  if (doc.Serialize() != Settings()) out.problems.push_back("torn or altered file:\n" + text);

  std::set<std::uint32_t> seen(out.programmed.begin(), out.programmed.end());
  for (int disk = 0; disk < kDisksPerBatch; ++disk) {
    const SerialStepResult r = AdvanceSerialNumber(context);
    if (r.status != SerialStepStatus::kAllocated) {
      out.problems.push_back("after the reboot the step failed (file holds \"" + onDisk +
                             "\"): " + r.reason);
      break;
    }
    if (!seen.insert(r.serialNumber).second) {
      out.problems.push_back("serial number " + std::to_string(r.serialNumber) +
                             " handed out twice");
    }
  }
  return out;
}

// The number of steps a whole batch takes without a crash: the crash points.
long StepsOfOneBatch(CrashFileSystem::Faults faults) {
  CrashFileSystem files(faults);
  files.Put(kPath, Settings());
  MemoryConsoleView view;
  ConfigTable table{};
  SettingsStore store;
  SerialStepContext context;
  context.changeSerialNumber = 1;
  context.configPath = kPath;
  context.view = &view;
  context.table = &table;
  context.store = &store;
  context.files = &files;
  for (int disk = 0; disk < kDisksPerBatch; ++disk) AdvanceSerialNumber(context);
  return files.Steps();
}

TEST(SerialNumberCrash, NoNumberComesOutTwiceWhereverThePowerFails) {
  struct Layer {
    const char* name;
    CrashFileSystem::Faults faults;
    bool sound;  // false: a broken layer the test must catch
  };
  const Layer layers[] = {
      {"flush file, rename, flush directory", {}, true},
      {"rename never made durable", {false, true}, false},
      {"file data never flushed", {true, false}, false},
  };
  for (const Layer& layer : layers) {
    SCOPED_TRACE(layer.name);
    const long steps = StepsOfOneBatch(layer.faults);
    ASSERT_GT(steps, 0);
    int failedPoints = 0;
    std::size_t numbersChecked = 0;
    std::string firstProblem;
    // Every crash point, from before the first step to after the last.
    for (long point = 0; point <= steps; ++point) {
      const Outcome o = RunCrashPoint(layer.faults, point);
      numbersChecked += o.programmed.size() + kDisksPerBatch;
      if (!o.problems.empty()) {
        ++failedPoints;
        if (firstProblem.empty()) {
          firstProblem = "crash after step " + std::to_string(point) + ": " + o.problems.front();
        }
      }
    }
    std::printf("%s: %ld crash points, %zu serial numbers checked, %d points failed\n",
                layer.name, steps + 1, numbersChecked, failedPoints);
    if (layer.sound) {
      EXPECT_EQ(failedPoints, 0) << firstProblem;
    } else {
      EXPECT_GT(failedPoints, 0) << "the crash test does not notice: " << layer.name;
    }
  }
}

// A crash in the middle of a replacement leaves a temporary file; it does
// not stop the next start, which removes it, and the counter goes on.
TEST(SerialNumberCrash, LeftoversOfACrashedWriteAreRemovedAtStart) {
  CrashFileSystem files;
  files.Put(kPath, Settings());
  files.Put("line3/config.txt.kx20-0123456789abcdef.tmp", "stale");
  files.Put("line3/config.txt.kx20-nothex0000000000.tmp", "not ours");
  files.Put("line3/other.txt.kx20-0123456789abcdef.tmp", "not ours either");
  EXPECT_EQ(RemoveLeftoverTemporaries(files, kPath), 1);
  const std::vector<std::string> names = files.ListDirectory("line3");
  EXPECT_EQ(std::count(names.begin(), names.end(), "config.txt.kx20-0123456789abcdef.tmp"), 0);
  EXPECT_EQ(names.size(), 3u);
}

}  // namespace
}  // namespace kx20
