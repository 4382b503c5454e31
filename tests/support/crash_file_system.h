// A file system in memory that can lose power. It keeps two states of every
// file: what a running process sees, and what is on the disk (only what was
// flushed: a file's data after its flush, a directory's names after the
// directory's flush). CrashAfter(n) lets n more steps happen; the step after
// them finds the power gone: it and every later operation fail, as for a
// process that no longer runs. PowerLoss() then brings back what was on the
// disk, as a reboot would find it.
//
// Steps: writing a new file, flushing it, a rename, flushing a rename, a
// removal, an append, flushing an append. Reads and listings are not steps.
#pragma once

#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "storage/durable_file.h"

namespace kx20::testing {

class CrashFileSystem final : public FileSystem {
 public:
  // Faults a broken implementation would have: to show that a test notices.
  struct Faults {
    bool fileFlushIgnored = false;    // data never reaches the disk before the rename
    bool renameSyncIgnored = false;   // the directory is never flushed
  };

  CrashFileSystem() = default;
  explicit CrashFileSystem(Faults faults) : faults_(faults) {}

  // A file as it stands on the disk already (flushed, name and data).
  void Put(const std::string& path, const std::string& contents);

  void CrashAfter(long steps) { stepsLeft_ = steps; }
  void PowerLoss();
  bool PowerGone() const { return stepsLeft_ < 0; }
  long Steps() const { return steps_; }
  void SetReadOnly(const std::string& path) { readOnly_.insert(path); }

  ReadOutcome ReadContents(const std::string& path, std::string& contents,
                           std::string* failure) override;
  bool IsReadOnly(const std::string& path) override;
  FileOpResult CreateNewFile(const std::string& path, std::string_view contents, bool flush,
                             const std::string& likeFile) override;
  FileOpResult Rename(const std::string& from, const std::string& to) override;
  FileOpResult SyncRename(const std::string& path) override;
  FileOpResult Remove(const std::string& path) override;
  std::vector<std::string> ListDirectory(const std::string& directory) override;
  FileOpResult Append(const std::string& path, std::string_view data, bool flush) override;

 private:
  struct Inode {
    std::string data;     // what a reader sees
    std::string durable;  // what is on the disk
  };

  // Takes one step; false when the power is gone.
  bool Step();
  void SyncDirectoryOf(const std::string& path);

  Faults faults_{};
  std::vector<Inode> inodes_;
  std::map<std::string, std::size_t> names_;         // seen by the process
  std::map<std::string, std::size_t> durableNames_;  // on the disk
  std::set<std::string> readOnly_;
  long stepsLeft_ = std::numeric_limits<long>::max();
  long steps_ = 0;
};

}  // namespace kx20::testing
