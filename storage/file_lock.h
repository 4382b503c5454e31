// Exclusive locks on lock files, seen by every process of the host (and, for
// a file on a network share, by every host that mounts it): what keeps two
// stations off one work directory and off one disk. Declared here and
// implemented by the platform library (platform/*/file_lock.cpp):
//   Linux:   flock(2), LOCK_EX | LOCK_NB. The lock belongs to the open file,
//            so a second attempt conflicts even inside the same process; the
//            NFS client hands it to the server as a whole-file lock.
//   Windows: LockFileEx, exclusive and failing at once, on one byte far
//            beyond the file's contents, so that whoever is refused can still
//            read what the holder wrote into the file.
// Nothing ever waits for a lock. The system releases a lock when its holder
// ends, however it ends (a crash, a kill, a power loss of the holder's host
// for a lock on a share once the server notices).
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace kx20 {

// A lock this process holds; destroying it releases the lock.
class HeldFileLock {
 public:
  virtual ~HeldFileLock() = default;
  // Replaces the lock file's contents with `text`: who holds the lock, for
  // whoever is refused to read. False (with `failure` in words) when it
  // could not be written; the lock is held all the same.
  virtual bool WriteHolder(std::string_view text, std::string* failure) = 0;
};

struct FileLockAttempt {
  enum class Outcome {
    kLocked,  // `lock` is ours
    kHeld,    // another holder has it; `holder` is what it wrote ("" when nothing yet)
    kFailed,  // no lock can be had here; `error` says why in words
  };
  Outcome outcome = Outcome::kFailed;
  std::unique_ptr<HeldFileLock> lock;
  std::string holder;
  std::string error;
};

// Opens `path` (creating it when missing; with `everyone`, readable and
// writable for every user, for lock files that stations of several users
// share) and tries to lock it exclusively, at once. A name that is not a
// regular file, or a file system that refuses locks, gives kFailed. Any
// thread.
FileLockAttempt TryLockFile(const std::string& path, bool everyone = false);

// Who this process is, for the texts holders write: "pid 1234 on host line-3
// since 2026-12-08 23:30:05" (local time of the call).
std::string ThisProcessDescription();

// The name of this host ("unknown" when the system does not say).
std::string ThisHostName();

}  // namespace kx20
