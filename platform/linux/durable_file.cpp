// Atomic replacement and durable appends on POSIX: write(2), fsync(2), rename(2).
#include "config/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace kx20 {
namespace {

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

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool SyncDirectory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

std::atomic<unsigned> tempCounter{0};

}  // namespace

bool ReplaceFileAtomically(const std::string& path, std::string_view contents,
                           Durability durability) {
  mode_t mode = 0644;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;

  const std::string temp = path + ".tmp" + std::to_string(::getpid()) + "." +
                           std::to_string(tempCounter.fetch_add(1));
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, contents);
  if (ok && durability == Durability::kDurable) ok = ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself is made durable by flushing the directory entry.
  if (durability == Durability::kDurable) SyncDirectory(DirectoryOf(path));
  return true;
}

bool AppendToFile(const std::string& path, std::string_view data, Durability durability) {
  bool created = ::access(path.c_str(), F_OK) != 0;
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, data);
  if (ok && durability == Durability::kDurable) ok = ::fdatasync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (ok && created && durability == Durability::kDurable) SyncDirectory(DirectoryOf(path));
  return ok;
}

}  // namespace kx20
