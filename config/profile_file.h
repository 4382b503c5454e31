// The settings file and the production log are private-profile (INI) files:
// "[section]" lines, then "key=value" lines. This is our own implementation of
// the two profile calls the station needs, with the semantics of the Windows
// profile functions as the station uses them, the same on every platform:
//
//  - section and key names match without regard to case (ASCII), after
//    trimming white space around them;
//  - only the first section of a name is looked at, and its first key of a name;
//  - an absent key, or a key line without "=", reads as the empty string;
//  - a value enclosed in matching quotes (' or ") is read without them;
//  - a value is cut to the read size minus one characters;
//  - a write replaces an existing key's value in place (the key keeps its
//    spelling), adds a new key at the end of its section, or a new section at
//    the end of the file; leading white space of a written value is dropped;
//  - a write rewrites the file in its canonical form: lines end in CRLF, white
//    space around names and values and blank lines are dropped, comments and
//    every other line are kept in their order;
//  - CRLF and LF files both read.
//
// Every write that changes the file replaces it atomically (see
// config/durable_file.h), so a killed process or a power loss leaves either
// the old or the new file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/durable_file.h"

namespace kx20 {

// One profile file held in memory.
class ProfileDocument {
 public:
  // Parses the text of a file (any line endings).
  static ProfileDocument Parse(std::string_view text);

  // The canonical text of the document: CRLF line endings.
  std::string Serialize() const;

  // The raw value of the first matching key in the first matching section, or
  // nothing when the section or key is absent. A key line without "=" gives "".
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;

  // What the profile reader returns: the value without enclosing quotes, cut
  // to `readSize` - 1 characters ("" when absent or when readSize is 0).
  std::string Read(std::string_view section, std::string_view key, std::size_t readSize) const;

  // Sets a value as the profile writer does. Returns true when the document
  // changed (false when the key already held exactly this value).
  bool Set(std::string_view section, std::string_view key, std::string_view value);

  // True when a section of this name exists.
  bool HasSection(std::string_view section) const;

 private:
  struct Entry {
    std::string name;
    std::optional<std::string> value;  // nothing: a line without "="
  };
  struct Section {
    std::string name;  // "" for the lines before the first section header
    std::vector<Entry> entries;
  };

  Section* FindSection(std::string_view name);
  const Section* FindSection(std::string_view name) const;

  std::vector<Section> sections_;
};

// Strips quotes and cuts a raw value as the profile reader does.
std::string ProfileReadValue(std::string_view raw, std::size_t readSize);

// GetPrivateProfileStringA(section, key, "", buffer, readSize, path): the value
// cut to readSize - 1 characters; "" when the file or the key is missing.
std::string ReadProfileValue(const std::string& path, std::string_view section,
                              std::string_view key, std::size_t readSize);

using ProfileEntry = std::pair<std::string, std::string>;  // key, value

struct ProfileWrite {
  std::string section;
  std::string key;
  std::string value;
};

// WritePrivateProfileStringA(section, key, value, path): creates the file when
// missing. Returns true when the file holds the value afterwards.
bool WriteProfileValue(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value, Durability durability = Durability::kDurable);

// Applies several writes, in order, as one atomic replacement of the file:
// the result is the file the writes would give one by one, and a crash leaves
// either all of them or none. Returns true when the file was written (or
// already held every value).
bool WriteProfileValues(const std::string& path, const std::vector<ProfileWrite>& writes,
                         Durability durability = Durability::kDurable);

// Appends one new section with its keys at the end of the file (creating the
// file when missing) without reading or rewriting what is there, so the cost
// does not grow with the file. The text is what the profile writer would add
// for a new section. A file whose last line lacks its line end gets one first.
// A section of the same name earlier in the file is not merged: both stay.
bool AppendProfileSection(const std::string& path, std::string_view section,
                          const std::vector<ProfileEntry>& entries,
                          Durability durability = Durability::kDurable);

// The text AppendProfileSection adds (without the possible leading line end).
std::string FormatProfileSection(std::string_view section, const std::vector<ProfileEntry>& entries);

}  // namespace kx20
