// The file system seam on Windows: CreateFileA with CREATE_NEW, WriteFile,
// FlushFileBuffers, MoveFileExA, and FlushFileBuffers on the renamed file and
// on its directory to make a rename durable.
//
// What a durable replacement guarantees here, from what the platform
// documents: FlushFileBuffers (an IRP_MJ_FLUSH_BUFFERS of type 0) writes "file
// data and metadata in the file cache" and has "the underlying storage
// synchronized to flush its cache" on NTFS, ReFS, FAT and exFAT. MoveFileExA
// with MOVEFILE_WRITE_THROUGH promises a flush only for a move done as copy
// and delete (another volume), not for the rename a same-volume move is. So
// after the rename we flush the file under its new name (its own metadata:
// the name and parent in its file record) and the directory, opened with
// FILE_FLAG_BACKUP_SEMANTICS and write access (the directory's index that
// now holds the new name). Every result is checked: if either flush fails,
// the replacement reports failure and the caller hands nothing out.
#include <windows.h>

#include <string>

#include "storage/durable_file.h"

namespace kx20 {
namespace {

std::string ErrorText(const char* what, DWORD error) {
  switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return std::string(what) + ": no space left on the disk";
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return std::string(what) + ": the file is held open by another program";
    case ERROR_ACCESS_DENIED:
      return std::string(what) + ": access denied (read-only, or held open by another program)";
    case ERROR_WRITE_PROTECT:
      return std::string(what) + ": the disk is write-protected";
    default:
      break;
  }
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = std::string(what) + ": error " + std::to_string(error);
  if (n > 0 && text != nullptr) {
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
    message += " (" + s + ")";
  }
  if (text != nullptr) LocalFree(text);
  return message;
}

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

// Opens `path` (a file or, with backup semantics, a directory) with write
// access, sharing everything, and flushes it.
FileOpResult FlushByName(const std::string& path, bool directory, const char* what) {
  const DWORD flags = directory ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FileOpResult::Failed(ErrorText(what, GetLastError()));
  const bool ok = FlushFileBuffers(h) != 0;
  const DWORD error = GetLastError();
  CloseHandle(h);
  if (!ok) return FileOpResult::Failed(ErrorText(what, error));
  return FileOpResult::Ok();
}

class Win32FileSystem final : public FileSystem {
 public:
  ReadOutcome ReadContents(const std::string& path, std::string& contents,
                           std::string* failure) override {
    contents.clear();
    const auto failed = [&](std::string why) {
      if (failure != nullptr) *failure = std::move(why);
      contents.clear();
      return ReadOutcome::kFailed;
    };
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
          error == ERROR_INVALID_NAME) {
        if (failure != nullptr) *failure = "it does not exist";
        return ReadOutcome::kMissing;
      }
      return failed(ErrorText("looking at it", error));
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return failed("it is a directory");
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        if (failure != nullptr) *failure = "it does not exist";
        return ReadOutcome::kMissing;
      }
      return failed(ErrorText("opening it", error));
    }
    // A pipe or a device under the name is no settings file or log.
    if (GetFileType(h) != FILE_TYPE_DISK) {
      CloseHandle(h);
      return failed("it is not a regular file");
    }
    char buffer[65536];
    for (;;) {
      DWORD got = 0;
      if (!::ReadFile(h, buffer, sizeof buffer, &got, nullptr)) {
        const DWORD error = GetLastError();
        CloseHandle(h);
        return failed(ErrorText("reading it", error));
      }
      if (got == 0) break;
      contents.append(buffer, got);
    }
    CloseHandle(h);
    return ReadOutcome::kRead;
  }

  bool IsReadOnly(const std::string& path) override {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  }

  FileOpResult CreateNewFile(const std::string& path, std::string_view contents, bool flush,
                             const std::string&) override {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      FileOpResult r = FileOpResult::Failed(ErrorText("creating a temporary file", error));
      r.nameTaken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
      return r;
    }
    if (!WriteAll(h, contents)) {
      const DWORD error = GetLastError();
      CloseHandle(h);
      return FileOpResult::Failed(ErrorText("writing the temporary file", error));
    }
    if (flush && !FlushFileBuffers(h)) {
      const DWORD error = GetLastError();
      CloseHandle(h);
      return FileOpResult::Failed(ErrorText("flushing the temporary file to the disk", error));
    }
    if (!CloseHandle(h)) {
      return FileOpResult::Failed(ErrorText("closing the temporary file", GetLastError()));
    }
    return FileOpResult::Ok();
  }

  FileOpResult Rename(const std::string& from, const std::string& to) override {
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    // A reader that has the file open at this moment blocks the replacement;
    // our own readers hold it only for a moment, so try again briefly. A
    // program that keeps it open (an editor, a virus scanner) is reported.
    for (int attempt = 0;; ++attempt) {
      if (MoveFileExA(from.c_str(), to.c_str(), flags)) return FileOpResult::Ok();
      const DWORD error = GetLastError();
      const bool busy = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                        error == ERROR_LOCK_VIOLATION;
      if (!busy || attempt == 50) {
        return FileOpResult::Failed(ErrorText("replacing it with the new contents", error));
      }
      Sleep(2);
    }
  }

  FileOpResult SyncRename(const std::string& path) override {
    FileOpResult r = FlushByName(path, false, "flushing it to the disk");
    if (!r.ok) return r;
    return FlushByName(DirectoryOfPath(path), true, "flushing its directory to the disk");
  }

  FileOpResult Remove(const std::string& path) override {
    if (!DeleteFileA(path.c_str())) return FileOpResult::Failed(ErrorText("removing", GetLastError()));
    return FileOpResult::Ok();
  }

  std::vector<std::string> ListDirectory(const std::string& directory) override {
    std::vector<std::string> names;
    const std::string pattern = (directory.empty() ? std::string(".") : directory) + "\\*";
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      const std::string name = data.cFileName;
      if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return names;
  }

  FileOpResult Append(const std::string& path, std::string_view data, bool flush) override {
    HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      return FileOpResult::Failed(ErrorText("opening it for appending", GetLastError()));
    }
    const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
    if (!WriteAll(h, data)) {
      const DWORD error = GetLastError();
      CloseHandle(h);
      return FileOpResult::Failed(ErrorText("appending to it", error));
    }
    if (flush && !FlushFileBuffers(h)) {
      const DWORD error = GetLastError();
      CloseHandle(h);
      return FileOpResult::Failed(ErrorText("flushing it to the disk", error));
    }
    if (!CloseHandle(h)) return FileOpResult::Failed(ErrorText("closing it", GetLastError()));
    if (flush && created) {
      return FlushByName(DirectoryOfPath(path), true, "flushing its directory to the disk");
    }
    return FileOpResult::Ok();
  }
};

}  // namespace

FileSystem& SystemFileSystem() {
  static Win32FileSystem files;
  return files;
}

}  // namespace kx20
