// Lock files on Windows: LockFileEx on a handle of the file. Windows locks
// byte ranges, and a locked range cannot be read through another handle, so
// the lock covers one byte far beyond anything written: the holder's text at
// the start stays readable for whoever is refused. Locks belong to the
// handle, so two opens of one lock file conflict in one process too.
#include <windows.h>

#include <cstdio>
#include <string>

#include "storage/file_lock.h"

namespace kx20 {
namespace {

// The locked byte: 2^62, beyond any text and within what file servers map
// onto their own locks.
constexpr DWORD kLockOffsetHigh = 0x40000000;

std::string ErrorText(DWORD error) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = "error " + std::to_string(error);
  if (n > 0 && text != nullptr) {
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
    message += " (" + s + ")";
  }
  if (text != nullptr) LocalFree(text);
  return message;
}

class LockFileHeld final : public HeldFileLock {
 public:
  explicit LockFileHeld(HANDLE h) : h_(h) {}
  ~LockFileHeld() override { CloseHandle(h_); }  // closing the handle ends the lock

  bool WriteHolder(std::string_view text, std::string* failure) override {
    LARGE_INTEGER zero{};
    DWORD written = 0;
    if (!SetFilePointerEx(h_, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(h_) ||
        !WriteFile(h_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size()) {
      if (failure != nullptr) *failure = ErrorText(GetLastError());
      return false;
    }
    return true;
  }

 private:
  HANDLE h_;
};

std::string ReadHolder(HANDLE h) {
  char buffer[512];
  DWORD got = 0;
  OVERLAPPED at{};  // from offset 0, whatever the file pointer
  if (!ReadFile(h, buffer, sizeof buffer, &got, &at) || got == 0) return {};
  std::string text(buffer, got);
  const std::size_t end = text.find_first_of("\r\n");
  if (end != std::string::npos) text.resize(end);
  return text;
}

}  // namespace

FileLockAttempt TryLockFile(const std::string& path, bool everyone) {
  static_cast<void>(everyone);  // a new file inherits its directory's permissions
  FileLockAttempt attempt;
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    // Another user's lock file that we may only read: a read handle locks too.
    h = CreateFileA(path.c_str(), GENERIC_READ, kShare, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (h == INVALID_HANDLE_VALUE) {
    attempt.error = path + " cannot be opened: " + ErrorText(GetLastError());
    return attempt;
  }
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    attempt.error = path + " is not a regular file";
    return attempt;
  }
  OVERLAPPED range{};
  range.OffsetHigh = kLockOffsetHigh;
  if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) {
    attempt.outcome = FileLockAttempt::Outcome::kLocked;
    attempt.lock = std::make_unique<LockFileHeld>(h);
    return attempt;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ||
      error == ERROR_SHARING_VIOLATION) {
    attempt.outcome = FileLockAttempt::Outcome::kHeld;
    attempt.holder = ReadHolder(h);
  } else {
    attempt.error = "the file system of " + path + " refuses locks (" + ErrorText(error) + ")";
  }
  CloseHandle(h);
  return attempt;
}

std::string ThisHostName() {
  char host[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof host;
  if (!GetComputerNameA(host, &size) || host[0] == '\0') return "unknown";
  return host;
}

std::string ThisProcessDescription() {
  const std::string host = ThisHostName();
  SYSTEMTIME t{};
  GetLocalTime(&t);
  char when[32];
  std::snprintf(when, sizeof when, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond);
  return "pid " + std::to_string(GetCurrentProcessId()) + " on host " + host + " since " + when;
}

}  // namespace kx20
