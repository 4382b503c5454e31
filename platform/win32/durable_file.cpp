// Atomic replacement and durable appends on Windows: WriteFile,
// FlushFileBuffers and MoveFileExA with replace and write-through.
#include <windows.h>

#include <atomic>
#include <string>

#include "config/durable_file.h"

namespace kx20 {
namespace {

bool WriteAll(HANDLE h, std::string_view data) {
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const DWORD chunk = left > 0x10000000u ? 0x10000000u : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(h, p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    left -= written;
  }
  return true;
}

std::atomic<unsigned> tempCounter{0};

}  // namespace

bool ReplaceFileAtomically(const std::string& path, std::string_view contents,
                           Durability durability) {
  const std::string temp = path + ".tmp" + std::to_string(GetCurrentProcessId()) + "." +
                           std::to_string(tempCounter.fetch_add(1));
  HANDLE h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteAll(h, contents);
  if (ok && durability == Durability::kDurable) ok = FlushFileBuffers(h) != 0;
  if (!CloseHandle(h)) ok = false;
  if (ok) {
    DWORD flags = MOVEFILE_REPLACE_EXISTING;
    if (durability == Durability::kDurable) flags |= MOVEFILE_WRITE_THROUGH;
    // A reader that has the file open at this moment blocks the replacement
    // on Windows; readers hold it only for a moment, so try again briefly.
    for (int attempt = 0;; ++attempt) {
      ok = MoveFileExA(temp.c_str(), path.c_str(), flags) != 0;
      if (ok || attempt == 50) break;
      const DWORD error = GetLastError();
      if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) break;
      Sleep(2);
    }
  }
  if (!ok) DeleteFileA(temp.c_str());
  return ok;
}

bool AppendToFile(const std::string& path, std::string_view data, Durability durability) {
  HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteAll(h, data);
  if (ok && durability == Durability::kDurable) ok = FlushFileBuffers(h) != 0;
  if (!CloseHandle(h)) ok = false;
  return ok;
}

}  // namespace kx20
