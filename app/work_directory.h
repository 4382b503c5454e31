// What every station program makes sure of before it touches a work
// directory's files, and keeps for its whole life:
//   1. the work directory's lock (storage/work_dir_lock.h): one station per
//      work directory, in every mode and front end;
//   2. one source of serial numbers per directory: a directory that has
//      served a line (line.marker, the lease journal or the verdict outbox
//      is there) runs in line mode only;
//   3. line mode numbers every disk: it needs Change_SN=1 in config.txt.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "storage/file_lock.h"

namespace kx20 {

// Takes the lock of `dir` for `program` and checks the directory for the
// mode (`lineMode`). Returns the lock, to be kept until the process ends, or
// null with `refusal` in words for the operator (what is wrong and what to
// do); nothing in the directory was read or written then, the lock file
// aside.
std::unique_ptr<HeldFileLock> OpenWorkDirectory(const std::string& dir, bool lineMode,
                                                std::string_view program, std::string& refusal);

}  // namespace kx20
