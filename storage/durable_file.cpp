#include "storage/durable_file.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

namespace kx20 {
namespace {

constexpr std::string_view kTempInfix = ".kx20-";
constexpr std::string_view kTempSuffix = ".tmp";
constexpr std::size_t kTempDigits = 16;

std::uint64_t RandomToken() {
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t seed = 0;
  try {
    std::random_device device;
    seed = (static_cast<std::uint64_t>(device()) << 32) ^ device();
  } catch (...) {
    // No random device: the clock and the counter below still differ.
  }
  seed ^= static_cast<std::uint64_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count());
  seed += 0x9E3779B97F4A7C15ull * (counter.fetch_add(1) + 1);
  // splitmix64 finaliser: spreads the bits over the whole name.
  seed = (seed ^ (seed >> 30)) * 0xBF58476D1CE4E5B9ull;
  seed = (seed ^ (seed >> 27)) * 0x94D049BB133111EBull;
  return seed ^ (seed >> 31);
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

}  // namespace

ReadOutcome ReadFileContents(const std::string& path, std::string& contents, std::string* failure) {
  return SystemFileSystem().ReadContents(path, contents, failure);
}

bool ReadWholeFile(const std::string& path, std::string& contents, std::string* failure) {
  return ReadFileContents(path, contents, failure) == ReadOutcome::kRead;
}

bool FileIsReadable(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return false;
  std::ifstream in(path, std::ios::binary);
  return static_cast<bool>(in);
}

bool ReadFileEnds(const std::string& path, std::size_t count, FileEnds& ends) {
  ends = FileEnds{};
  // Only a regular file is opened: a FIFO would block the open, and a
  // directory is no file to append to.
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (status.type() == std::filesystem::file_type::not_found) return false;
  if (error || status.type() != std::filesystem::file_type::regular) return false;
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamoff size = in.tellg();
  if (size <= 0) return true;
  ends.size = static_cast<std::uint64_t>(size);
  const std::size_t n = ends.size < count ? static_cast<std::size_t>(ends.size) : count;
  ends.head.resize(n);
  ends.tail.resize(n);
  in.seekg(0);
  in.read(ends.head.data(), static_cast<std::streamsize>(n));
  in.seekg(size - static_cast<std::streamoff>(n));
  in.read(ends.tail.data(), static_cast<std::streamsize>(n));
  if (!in) {
    ends = FileEnds{};
    return false;
  }
  return true;
}

std::string NewTemporaryName(const std::string& path) {
  char digits[kTempDigits + 1];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(RandomToken()));
  return path + std::string(kTempInfix) + digits + std::string(kTempSuffix);
}

bool IsTemporaryOf(std::string_view name, std::string_view target) {
  const std::size_t expected = target.size() + kTempInfix.size() + kTempDigits + kTempSuffix.size();
  if (name.size() != expected) return false;
  if (name.substr(0, target.size()) != target) return false;
  name.remove_prefix(target.size());
  if (name.substr(0, kTempInfix.size()) != kTempInfix) return false;
  name.remove_prefix(kTempInfix.size());
  for (std::size_t i = 0; i < kTempDigits; ++i) {
    if (!IsHexDigit(name[i])) return false;
  }
  return name.substr(kTempDigits) == kTempSuffix;
}

std::string DirectoryOfPath(const std::string& path) {
#ifdef _WIN32
  const auto slash = path.find_last_of("/\\");
#else
  const auto slash = path.find_last_of('/');
#endif
  if (slash == std::string::npos) return ".";
  if (slash == 0) return path.substr(0, 1);
  return path.substr(0, slash);
}

std::string NameOfPath(const std::string& path) {
#ifdef _WIN32
  const auto slash = path.find_last_of("/\\");
#else
  const auto slash = path.find_last_of('/');
#endif
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int RemoveLeftoverTemporaries(FileSystem& files, const std::string& path) {
  const std::string dir = DirectoryOfPath(path);
  const std::string name = NameOfPath(path);
  const bool hasDir = path.size() != name.size();
  int removed = 0;
  for (const std::string& entry : files.ListDirectory(dir)) {
    if (!IsTemporaryOf(entry, name)) continue;
    const std::string full = hasDir ? path.substr(0, path.size() - name.size()) + entry : entry;
    if (files.Remove(full).ok) ++removed;
  }
  return removed;
}

int RemoveLeftoverTemporaries(const std::string& path) {
  return RemoveLeftoverTemporaries(SystemFileSystem(), path);
}

namespace {

void Explain(std::string* failure, const std::string& path, const std::string& what) {
  if (failure != nullptr) *failure = NameOfPath(path) + " could not be written: " + what;
}

}  // namespace

bool ReplaceFileAtomically(FileSystem& files, const std::string& path, std::string_view contents,
                           Durability durability, std::string* failure) {
  // A rename would replace a read-only file as if it were writable: the mark
  // an operator (or an administrator) set is respected instead.
  if (files.IsReadOnly(path)) {
    Explain(failure, path, "the file is read-only");
    return false;
  }
  const bool flush = durability == Durability::kDurable;
  std::string temp;
  FileOpResult created;
  for (int attempt = 0; attempt < 8; ++attempt) {
    temp = NewTemporaryName(path);
    created = files.CreateNewFile(temp, contents, flush, path);
    if (!created.nameTaken) break;
  }
  if (!created.ok) {
    files.Remove(temp);
    Explain(failure, path, created.error);
    return false;
  }
  const FileOpResult renamed = files.Rename(temp, path);
  if (!renamed.ok) {
    files.Remove(temp);
    Explain(failure, path, renamed.error);
    return false;
  }
  if (flush) {
    const FileOpResult synced = files.SyncRename(path);
    if (!synced.ok) {
      Explain(failure, path, synced.error);
      return false;
    }
  }
  return true;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view contents,
                           Durability durability, std::string* failure) {
  return ReplaceFileAtomically(SystemFileSystem(), path, contents, durability, failure);
}

bool AppendToFile(FileSystem& files, const std::string& path, std::string_view data,
                  Durability durability, std::string* failure) {
  const FileOpResult r = files.Append(path, data, durability == Durability::kDurable);
  if (!r.ok) Explain(failure, path, r.error);
  return r.ok;
}

bool AppendToFile(const std::string& path, std::string_view data, Durability durability,
                  std::string* failure) {
  return AppendToFile(SystemFileSystem(), path, data, durability, failure);
}

}  // namespace kx20
