#include "storage/work_dir_lock.h"

#include "storage/durable_file.h"

namespace kx20 {

std::unique_ptr<HeldFileLock> LockWorkDirectory(const std::string& dir, std::string_view program,
                                                std::string& refusal) {
  const bool here = dir.empty() || dir == ".";
  const std::string shown = here ? std::string("the current directory") : dir;
  std::string path = kWorkDirLockFileName;
  if (!here) {
    path = dir;
    const char last = path.back();
    if (last != '/' && last != '\\') path += '/';
    path += kWorkDirLockFileName;
  }
  FileLockAttempt attempt = TryLockFile(path);
  switch (attempt.outcome) {
    case FileLockAttempt::Outcome::kLocked:
      break;
    case FileLockAttempt::Outcome::kHeld:
      refusal = "work directory " + shown + " is in use by another station (" +
                (attempt.holder.empty() ? std::string("it has not said who it is yet")
                                        : attempt.holder) +
                "). One work directory serves one station at a time: end that station "
                "first, or give this one a work directory of its own";
      return nullptr;
    case FileLockAttempt::Outcome::kFailed:
      refusal = "work directory " + shown + " cannot be locked for this station: " + attempt.error +
                ". A station does not run without that lock, since another station could "
                "then use the same directory and hand out the same serial numbers";
      return nullptr;
  }
  std::string who = ThisProcessDescription();
  if (!program.empty()) who += " (" + std::string(program) + ")";
  std::string ignored;
  // Only the refused one's message depends on it: the lock stands even when
  // the text cannot be written (a lock file we may only read).
  attempt.lock->WriteHolder(who + "\n", &ignored);
  return std::move(attempt.lock);
}

}  // namespace kx20
