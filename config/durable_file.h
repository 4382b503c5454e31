// Whole-file reads, atomic replacement and durable appends: the few file
// operations the settings file and the production log need. The replacement
// and the append are implemented once per platform (platform/*/durable_file.cpp).
#pragma once

#include <string>
#include <string_view>

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

// Reads the whole file into `contents`. False (and `contents` emptied) when the
// file cannot be opened.
bool ReadWholeFile(const std::string& path, std::string& contents);

// True when the file exists and can be opened for reading.
bool FileIsReadable(const std::string& path);

// True when the file is missing, empty, or its last byte is a line feed.
bool FileEndsWithLineEnd(const std::string& path);

// Replaces the file's contents atomically: writes a temporary file in the same
// directory, flushes it, and renames it over `path`. At every instant the file
// holds either its old or its new contents. Creates the file when missing.
// Returns false when any step failed; `path` is then unchanged.
bool ReplaceFileAtomically(const std::string& path, std::string_view contents,
                           Durability durability);

// Appends `data` at the end of the file, creating it when missing, and flushes
// it when durable. Returns false when the file could not be opened or written.
bool AppendToFile(const std::string& path, std::string_view data, Durability durability);

}  // namespace kx20
