// One station per work directory: the lock every program takes before it
// reads or writes a work directory's files (config.txt, produce.log, the
// line's journal and outbox), and holds until it ends.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "storage/file_lock.h"

namespace kx20 {

// The lock file in the work directory. While a station holds it, the file
// says who: "pid 1234 on host line-3 since 2026-12-08 23:30:05 (kx20-station)".
inline constexpr const char* kWorkDirLockFileName = "station.lock";

// Takes the lock of work directory `dir` ("" or "." for the current one) and
// writes who holds it (this process and `program`) into the lock file. The
// lock lasts as long as the returned object (a station keeps it for its
// whole life; the system releases it when the process ends, however it
// ends). Null with `refusal` in words for the operator when another process
// holds it (naming that process), or when no lock can be had there: a
// station never runs on a work directory without its lock.
std::unique_ptr<HeldFileLock> LockWorkDirectory(const std::string& dir, std::string_view program,
                                                std::string& refusal);

}  // namespace kx20
