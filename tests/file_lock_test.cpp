// Lock files and the work directory's lock; whole-file reads that tell a
// missing file from one that cannot be read, and never throw.
#include "storage/file_lock.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/virtual_clock.h"
#include "sim/farm.h"
#include "storage/durable_file.h"
#include "storage/profile_file.h"
#include "storage/work_dir_lock.h"
#include "support/config_temp_dir.h"

namespace kx20 {
namespace {

using testing::ConfigTempDir;
namespace fs = std::filesystem;

TEST(FileLock, OneHolderAtATimeAndWhoItIsForTheOthers) {
  ConfigTempDir dir;
  const std::string path = dir.File("some.lock");
  FileLockAttempt first = TryLockFile(path);
  ASSERT_EQ(first.outcome, FileLockAttempt::Outcome::kLocked) << first.error;
  std::string failure;
  ASSERT_TRUE(first.lock->WriteHolder("the first holder\nmore", &failure)) << failure;
  // A second open of the file, even in this process, is refused at once.
  const FileLockAttempt second = TryLockFile(path);
  EXPECT_EQ(second.outcome, FileLockAttempt::Outcome::kHeld);
  EXPECT_EQ(second.holder, "the first holder");
  EXPECT_FALSE(second.lock);
  first.lock.reset();
  FileLockAttempt third = TryLockFile(path);
  EXPECT_EQ(third.outcome, FileLockAttempt::Outcome::kLocked) << third.error;
}

TEST(FileLock, WhatIsNoLockFileIsRefused) {
  ConfigTempDir dir;
  for (const std::string& path : {dir.Path().string(), dir.File("missing-dir/some.lock")}) {
    const FileLockAttempt a = TryLockFile(path);
    EXPECT_EQ(a.outcome, FileLockAttempt::Outcome::kFailed) << path;
    EXPECT_FALSE(a.error.empty());
  }
}

TEST(WorkDirLock, ASecondStationIsToldWhoHasTheDirectory) {
  ConfigTempDir dir;
  std::string refusal;
  std::unique_ptr<HeldFileLock> held = LockWorkDirectory(dir.Path().string(), "kx20-station, batch", refusal);
  ASSERT_NE(held, nullptr) << refusal;
  EXPECT_TRUE(fs::exists(dir.File(kWorkDirLockFileName)));
  EXPECT_EQ(LockWorkDirectory(dir.Path().string(), "kx20-station, terminal console", refusal), nullptr);
  for (const char* part : {"is in use by another station", "pid ", " on host ", " since ",
                           "(kx20-station, batch)", "end that station first"}) {
    EXPECT_NE(refusal.find(part), std::string::npos) << part << " not in: " << refusal;
  }
  held.reset();
  refusal.clear();
  EXPECT_NE(LockWorkDirectory(dir.Path().string(), "kx20-station", refusal), nullptr) << refusal;
}

TEST(WorkDirLock, NoLockNoStation) {
  ConfigTempDir dir;
  std::string refusal;
  EXPECT_EQ(LockWorkDirectory(dir.File("no-such-directory"), "kx20-station", refusal), nullptr);
  EXPECT_NE(refusal.find("cannot be locked"), std::string::npos) << refusal;
}

TEST(ReadFileContents, TellsMissingFromUnreadableAndNeverThrows) {
  ConfigTempDir dir;
  ConfigTempDir::Write(dir.File("plain.txt"), "[CID]\nProduct_SN=00000001\n");
  fs::create_directory(dir.File("config.txt"));
  struct Case {
    std::string path;
    ReadOutcome outcome;
    const char* why;
  };
  const Case cases[] = {
      {dir.File("plain.txt"), ReadOutcome::kRead, ""},
      {dir.File("absent.txt"), ReadOutcome::kMissing, "does not exist"},
      {dir.File("absent-dir/absent.txt"), ReadOutcome::kMissing, "does not exist"},
      {dir.File("config.txt"), ReadOutcome::kFailed, "it is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string text = "stale";
    std::string why;
    EXPECT_EQ(ReadFileContents(c.path, text, &why), c.outcome);
    if (c.outcome == ReadOutcome::kRead) {
      EXPECT_EQ(text, "[CID]\nProduct_SN=00000001\n");
    } else {
      EXPECT_EQ(text, "");
      EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
  }
}

// A settings file that cannot be read is never replaced by one made from
// nothing (which would drop every other value in it).
TEST(ReadFileContents, AnUnreadableFileIsNotReplacedByAWrite) {
  ConfigTempDir dir;
  const std::string path = dir.File("config.txt");
  fs::create_directory(path);
  ConfigTempDir::Write(dir.File("config.txt/inside"), "kept");
  std::string failure;
  EXPECT_FALSE(WriteProfileValues(path, {{"CID", "Product_SN", "00000002"}}, Durability::kRelaxed,
                                  &failure));
  EXPECT_NE(failure.find("config.txt cannot be read: it is a directory"), std::string::npos)
      << failure;
  EXPECT_EQ(ConfigTempDir::Read(dir.File("config.txt/inside")), "kept");
}

// Two farms on the same files (two station processes on one farm file)
// share their disks' claims through the backing files' lock files.
TEST(SimFarmClaims, TwoFarmsOnOneBackingFileClaimEachDiskOnce) {
  ConfigTempDir dir;
  VirtualClock clock;
  FarmLayout layout;
  SimDiskConfig disk;
  disk.letter = 'E';
  disk.lastLba = 4095;
  disk.backingFile = dir.File("e.img");
  layout.disks.push_back(disk);
  disk.letter = 'F';
  disk.slot = "2";
  disk.backingFile = "";  // in memory: only this farm's
  layout.disks.push_back(disk);
  std::string error;
  auto first = SimFarm::Create(layout, clock, &error);
  auto second = SimFarm::Create(layout, clock, &error);
  ASSERT_TRUE(first && second) << error;

  DiskClaimResult held = first->ClaimDisk('E', "work directory /srv/a");
  ASSERT_TRUE(held.claim) << held.refusal;
  const DiskClaimResult refused = second->ClaimDisk('E', "work directory /srv/b");
  EXPECT_FALSE(refused.claim);
  EXPECT_TRUE(refused.busy);
  EXPECT_NE(refused.refusal.find("work directory /srv/a"), std::string::npos) << refused.refusal;
  EXPECT_NE(refused.refusal.find("pid "), std::string::npos) << refused.refusal;
  // Within one farm the claim holds too; a disk in memory is each farm's own.
  EXPECT_FALSE(first->ClaimDisk('E', "").claim);
  DiskClaimResult memoryDisk = first->ClaimDisk('F', "");
  EXPECT_TRUE(memoryDisk.claim);
  EXPECT_TRUE(second->ClaimDisk('F', "").claim);
  EXPECT_FALSE(first->ClaimDisk('F', "").claim);
  held.claim.reset();
  EXPECT_TRUE(second->ClaimDisk('E', "").claim);
}

}  // namespace
}  // namespace kx20
