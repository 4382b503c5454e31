// The file system seam on POSIX: open(2) with O_EXCL, write(2), fsync(2),
// rename(2), and fsync(2) of the directory to make a rename durable.
//
// What a durable replacement guarantees here: the new file's data is on the
// disk (fsync) before the rename; rename(2) replaces the name atomically; the
// directory's fsync then puts the rename itself on the disk. Each result is
// checked, so a true return means a power loss can no longer bring the old
// contents back (on file systems that honour fsync: ext4, xfs, btrfs).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "storage/durable_file.h"

namespace kx20 {
namespace {

std::string ErrorText(const char* what, int error) {
  if (error == ENOSPC || error == EDQUOT) return std::string(what) + ": no space left on the disk";
  if (error == EROFS) return std::string(what) + ": the disk is read-only";
  if (error == EACCES || error == EPERM) return std::string(what) + ": permission denied";
  return std::string(what) + ": " + std::strerror(error);
}

bool WriteAll(int fd, std::string_view data) {
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

FileOpResult SyncDirectory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return FileOpResult::Failed(ErrorText("opening its directory to flush it", errno));
  const bool ok = ::fsync(fd) == 0;
  const int error = errno;
  ::close(fd);
  if (!ok) return FileOpResult::Failed(ErrorText("flushing its directory to the disk", error));
  return FileOpResult::Ok();
}

class PosixFileSystem final : public FileSystem {
 public:
  ReadOutcome ReadContents(const std::string& path, std::string& contents,
                           std::string* failure) override {
    contents.clear();
    const auto failed = [&](std::string why) {
      if (failure != nullptr) *failure = std::move(why);
      contents.clear();
      return ReadOutcome::kFailed;
    };
    // O_NONBLOCK: a FIFO (or a device) under the name must not hold the
    // open until a writer appears; it is refused below. For a regular file
    // the flag changes nothing.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
      const int error = errno;
      if (error == ENOENT || error == ENOTDIR) {
        if (failure != nullptr) *failure = "it does not exist";
        return ReadOutcome::kMissing;
      }
      return failed(ErrorText("opening it", error));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      const int error = errno;
      ::close(fd);
      return failed(ErrorText("looking at it", error));
    }
    if (!S_ISREG(st.st_mode)) {
      ::close(fd);
      return failed(S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file");
    }
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        const int error = errno;
        ::close(fd);
        return failed(ErrorText("reading it", error));
      }
      contents.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ReadOutcome::kRead;
  }

  bool IsReadOnly(const std::string& path) override {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    // The owner's write bit is the file's read-only mark (as chmod a-w sets
    // it); root would pass access(2) regardless, so the bit is looked at too.
    return (st.st_mode & S_IWUSR) == 0 || ::access(path.c_str(), W_OK) != 0;
  }

  FileOpResult CreateNewFile(const std::string& path, std::string_view contents, bool flush,
                             const std::string& likeFile) override {
    mode_t mode = 0644;
    struct stat st {};
    if (::stat(likeFile.c_str(), &st) == 0) mode = st.st_mode & 07777;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
      FileOpResult r = FileOpResult::Failed(ErrorText("creating a temporary file", errno));
      r.nameTaken = errno == EEXIST;
      return r;
    }
    // The mode given to open(2) is cut by the umask; the copy keeps the
    // original's permissions exactly.
    if (::fchmod(fd, mode) != 0) {
      const int error = errno;
      ::close(fd);
      return FileOpResult::Failed(ErrorText("setting the temporary file's permissions", error));
    }
    if (!WriteAll(fd, contents)) {
      const int error = errno;
      ::close(fd);
      return FileOpResult::Failed(ErrorText("writing the temporary file", error));
    }
    if (flush && ::fsync(fd) != 0) {
      const int error = errno;
      ::close(fd);
      return FileOpResult::Failed(ErrorText("flushing the temporary file to the disk", error));
    }
    if (::close(fd) != 0) return FileOpResult::Failed(ErrorText("closing the temporary file", errno));
    return FileOpResult::Ok();
  }

  FileOpResult Rename(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) {
      return FileOpResult::Failed(ErrorText("renaming the temporary file over it", errno));
    }
    return FileOpResult::Ok();
  }

  FileOpResult SyncRename(const std::string& path) override {
    return SyncDirectory(DirectoryOfPath(path));
  }

  FileOpResult Remove(const std::string& path) override {
    if (::unlink(path.c_str()) != 0) return FileOpResult::Failed(ErrorText("removing", errno));
    return FileOpResult::Ok();
  }

  std::vector<std::string> ListDirectory(const std::string& directory) override {
    std::vector<std::string> names;
    DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
    if (dir == nullptr) return names;
    while (const dirent* e = ::readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    return names;
  }

  FileOpResult Append(const std::string& path, std::string_view data, bool flush) override {
    const bool created = ::access(path.c_str(), F_OK) != 0;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return FileOpResult::Failed(ErrorText("opening it for appending", errno));
    if (!WriteAll(fd, data)) {
      const int error = errno;
      ::close(fd);
      return FileOpResult::Failed(ErrorText("appending to it", error));
    }
    if (flush && ::fdatasync(fd) != 0) {
      const int error = errno;
      ::close(fd);
      return FileOpResult::Failed(ErrorText("flushing it to the disk", error));
    }
    if (::close(fd) != 0) return FileOpResult::Failed(ErrorText("closing it", errno));
    if (flush && created) return SyncDirectory(DirectoryOfPath(path));
    return FileOpResult::Ok();
  }
};

}  // namespace

FileSystem& SystemFileSystem() {
  static PosixFileSystem files;
  return files;
}

}  // namespace kx20
