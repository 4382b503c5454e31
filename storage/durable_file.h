// Whole-file reads, atomic replacement and durable appends: the few file
// operations the settings file and the production log need.
//
// The replacement is one protocol written once (durable_file.cpp) over a
// narrow FileSystem seam: create the new contents under a temporary name and
// flush them, rename over the file, make the rename durable. The platform
// files (platform/*/durable_file.cpp) implement the seam; tests substitute a
// simulated file system that can lose, at any chosen point, everything not yet
// flushed, as a power loss does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kx20 {

// How hard a write pushes its data to the disk.
enum class Durability {
  // Flush the file (and, for a replacement, the directory) to the disk before
  // returning: after a power loss the file holds the old or the new contents.
  kDurable,
  // Leave the data in the operating system's cache. A killed process still
  // leaves the old or the new contents, a power loss may not. For tests and
  // scratch files only.
  kRelaxed,
};

// How a whole-file read ended.
enum class ReadOutcome {
  kRead,     // the contents are there
  kMissing,  // no file of that name
  kFailed,   // it exists but could not be read (a directory, a FIFO, an I/O error, ...)
};

// The outcome of one file-system operation.
struct FileOpResult {
  bool ok = true;
  bool nameTaken = false;  // CreateNewFile: the name exists already
  std::string error;       // what went wrong, in words (empty when ok)

  static FileOpResult Ok() { return {}; }
  static FileOpResult Failed(std::string error) { return {false, false, std::move(error)}; }
};

// The file operations the replacement and the append are built from. Every
// operation reports failure; none throws. The real one is SystemFileSystem().
// Calls for one file come from one thread at a time (the profile writer's
// lock); the system implementation is safe to call from any thread.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The whole file. kMissing when there is no such file; kFailed when it
  // exists but cannot be read, with `failure` (when given) saying why in
  // words ("it is a directory", "it is not a regular file", an OS error).
  // `contents` is empty unless kRead. Only regular files are read, and
  // nothing else is opened in a way that could block (a FIFO is refused).
  virtual ReadOutcome ReadContents(const std::string& path, std::string& contents,
                                   std::string* failure) = 0;

  // The whole file; false (contents empty) when it is missing or cannot be
  // read. Callers that must tell the two apart use ReadContents.
  bool ReadFile(const std::string& path, std::string& contents) {
    return ReadContents(path, contents, nullptr) == ReadOutcome::kRead;
  }

  // True when the file exists and is marked read-only (Windows: the
  // read-only attribute; POSIX: no write permission for its owner, or none
  // for us). A missing file is not read-only.
  virtual bool IsReadOnly(const std::string& path) = 0;

  // Creates `path`, which must not exist (nameTaken when it does), writes
  // `contents` and, when `flush`, flushes them to the disk before closing.
  // The new file takes the permissions of `likeFile` when that exists.
  virtual FileOpResult CreateNewFile(const std::string& path, std::string_view contents,
                                     bool flush, const std::string& likeFile) = 0;

  // Renames `from` over `to` in one step: `to` names the old or the new file
  // at every instant.
  virtual FileOpResult Rename(const std::string& from, const std::string& to) = 0;

  // Makes a rename to `path` durable: after it returns, a power loss leaves
  // `path` naming the renamed file.
  virtual FileOpResult SyncRename(const std::string& path) = 0;

  virtual FileOpResult Remove(const std::string& path) = 0;

  // The names (without directory) of the files in `directory` ("" or "." for
  // the current one).
  virtual std::vector<std::string> ListDirectory(const std::string& directory) = 0;

  // Appends `data` at the end of the file, creating it when missing; when
  // `flush`, flushes it (and a newly created file's directory entry).
  virtual FileOpResult Append(const std::string& path, std::string_view data, bool flush) = 0;
};

// The host's file system (POSIX or Win32). Any thread.
FileSystem& SystemFileSystem();

// Reads the whole file into `contents` (SystemFileSystem().ReadContents):
// never throws, never blocks on a FIFO. False (and `contents` emptied) when
// the file is missing or cannot be read; `failure` (when given) says why.
bool ReadWholeFile(const std::string& path, std::string& contents, std::string* failure = nullptr);
ReadOutcome ReadFileContents(const std::string& path, std::string& contents,
                             std::string* failure = nullptr);

// True when the file exists, is a regular file and can be opened for
// reading.
bool FileIsReadable(const std::string& path);

// The first and last bytes of a file (up to `count` each) and its size, for
// appending without reading the whole file. False when it cannot be opened
// or is not a regular file (a missing file: size 0, no bytes).
struct FileEnds {
  std::uint64_t size = 0;
  std::string head;
  std::string tail;
};
bool ReadFileEnds(const std::string& path, std::size_t count, FileEnds& ends);

// Replaces the file's contents atomically: writes a temporary file with a
// unique name in the same directory ("<name>.kx20-<16 hex digits>.tmp"),
// flushes it, renames it over `path` and, when durable, makes the rename
// durable. At every instant the file holds either its old or its new
// contents; a durable replacement that returned true survives a power loss.
// Creates the file when missing. A file marked read-only is refused, not
// bypassed. Every step's result is checked.
// Returns false when any step failed, with `failure` (when given) saying why
// in words for the operator. `path` then holds its old contents, except when
// only the final step (making the rename durable) failed: it may then hold the
// new contents without the guarantee that they survive a power loss, and the
// caller must act as if the write had not happened (never hand out what it
// wrote).
bool ReplaceFileAtomically(FileSystem& files, const std::string& path, std::string_view contents,
                           Durability durability, std::string* failure = nullptr);
bool ReplaceFileAtomically(const std::string& path, std::string_view contents,
                           Durability durability, std::string* failure = nullptr);

// Removes the temporary files that interrupted replacements of `path` left
// beside it (a crash or power loss between writing and renaming). Call at
// start, before any write of `path`. Returns how many it removed.
int RemoveLeftoverTemporaries(FileSystem& files, const std::string& path);
int RemoveLeftoverTemporaries(const std::string& path);

// True when `name` (a file name without directory) is a temporary file of a
// replacement of the file named `target` (also without directory).
bool IsTemporaryOf(std::string_view name, std::string_view target);

// A fresh temporary name for a replacement of `path`, in its directory. The
// name comes from a random source, never from the process id (a container
// restarted with the same pid would meet its own leftovers).
std::string NewTemporaryName(const std::string& path);

// Appends `data` at the end of the file, creating it when missing, and flushes
// it when durable. Returns false when the file could not be opened or written,
// with `failure` (when given) saying why.
bool AppendToFile(FileSystem& files, const std::string& path, std::string_view data,
                  Durability durability, std::string* failure = nullptr);
bool AppendToFile(const std::string& path, std::string_view data, Durability durability,
                  std::string* failure = nullptr);

// The directory part of a path ("." when it has none), and the name part.
// Both '/' and, on Windows, '\' separate.
std::string DirectoryOfPath(const std::string& path);
std::string NameOfPath(const std::string& path);

}  // namespace kx20
