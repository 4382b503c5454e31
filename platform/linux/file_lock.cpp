// Lock files on POSIX: flock(2) on a descriptor of the file. flock locks
// belong to the open file description, so two opens of one lock file
// conflict whether they come from one process or two.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "storage/file_lock.h"

namespace kx20 {
namespace {

std::string Errno(int error) { return std::strerror(error); }

class FlockHeld final : public HeldFileLock {
 public:
  explicit FlockHeld(int fd) : fd_(fd) {}
  ~FlockHeld() override { ::close(fd_); }  // closing the last descriptor ends the lock

  bool WriteHolder(std::string_view text, std::string* failure) override {
    if (::ftruncate(fd_, 0) != 0) {
      if (failure != nullptr) *failure = Errno(errno);
      return false;
    }
    const char* p = text.data();
    std::size_t left = text.size();
    off_t at = 0;
    while (left > 0) {
      const ssize_t n = ::pwrite(fd_, p, left, at);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (failure != nullptr) *failure = Errno(errno);
        return false;
      }
      p += n;
      at += n;
      left -= static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  int fd_;
};

// What the holder wrote: the file's first bytes, up to a line.
std::string ReadHolder(int fd) {
  char buffer[512];
  ssize_t n;
  do {
    n = ::pread(fd, buffer, sizeof buffer, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return {};
  std::string text(buffer, static_cast<std::size_t>(n));
  const std::size_t end = text.find_first_of("\r\n");
  if (end != std::string::npos) text.resize(end);
  return text;
}

// Opens the lock file: the existing one, else a new one. Never follows a
// symlink and never blocks (a FIFO of that name is refused afterwards).
// Read-only when the file is someone else's and not writable for us: a
// read-only descriptor still takes an flock.
int OpenLockFile(const std::string& path, bool everyone, int& error) {
  constexpr int kFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
  for (int attempt = 0; attempt < 4; ++attempt) {
    int fd = ::open(path.c_str(), O_RDWR | kFlags);
    if (fd >= 0) return fd;
    error = errno;
    if (error == EACCES || error == EPERM || error == EROFS) {
      fd = ::open(path.c_str(), O_RDONLY | kFlags);
      if (fd >= 0) return fd;
      error = errno;
      return -1;
    }
    if (error != ENOENT) return -1;
    // Created apart from the open above (O_EXCL): opening an existing file
    // of another user with O_CREAT in a sticky directory such as /run/lock
    // is refused where fs.protected_regular is set.
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | kFlags, 0644);
    if (fd >= 0) {
      if (everyone) ::fchmod(fd, 0666);  // not cut by the umask
      return fd;
    }
    error = errno;
    if (error != EEXIST) return -1;  // another process created it: open that one
  }
  return -1;
}

}  // namespace

FileLockAttempt TryLockFile(const std::string& path, bool everyone) {
  FileLockAttempt attempt;
  int error = 0;
  const int fd = OpenLockFile(path, everyone, error);
  if (fd < 0) {
    attempt.error = path + " cannot be opened: " + Errno(error);
    return attempt;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    attempt.error = path + " is not a regular file";
    return attempt;
  }
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    attempt.outcome = FileLockAttempt::Outcome::kLocked;
    attempt.lock = std::make_unique<FlockHeld>(fd);
    return attempt;
  }
  error = errno;
  if (error == EWOULDBLOCK) {
    attempt.outcome = FileLockAttempt::Outcome::kHeld;
    attempt.holder = ReadHolder(fd);
  } else {
    // ENOLCK, EOPNOTSUPP, EINVAL, ...: this file system (a share mounted
    // without a lock service, a FUSE file system) keeps no locks.
    attempt.error = "the file system of " + path + " refuses locks (" + Errno(error) + ")";
  }
  ::close(fd);
  return attempt;
}

std::string ThisHostName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "unknown";
  return host;
}

std::string ThisProcessDescription() {
  const std::string host = ThisHostName();
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char when[32] = "?";
  if (::localtime_r(&now, &local) != nullptr) {
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
  }
  return "pid " + std::to_string(::getpid()) + " on host " + host + " since " + when;
}

}  // namespace kx20
