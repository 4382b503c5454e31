// The settings file and the production log are private-profile (INI) files:
// "[section]" lines, then "key=value" lines. This is our own implementation of
// the two profile calls the station needs, with the semantics of the Windows
// profile functions as the station uses them, the same on every platform:
//
//  - section and key names match without regard to case (ASCII), after
//    trimming white space around them;
//  - only the first section of a name is looked at, and its first key of a name;
//  - an absent key reads as the empty string; a key line without "=" (a
//    damaged line such as "Product_SN" alone) is kept but never hides a real
//    "key=value" line of the same name after it;
//  - a value enclosed in matching quotes (' or ") is read without them;
//  - a value is cut to the read size minus one characters;
//  - a write replaces an existing key's value in place (the key keeps its
//    spelling), adds a new key at the end of its section, or a new section at
//    the end of the file; leading white space of a written value is dropped;
//  - a write rewrites the file in its canonical form: lines end in CRLF, white
//    space around names and values and blank lines are dropped; comments,
//    unknown keys, other sections and text after a section's "]" are kept, in
//    their order;
//  - lines may end in CRLF, LF or CR alone;
//  - the file's encoding is kept: ANSI/UTF-8 without a byte-order mark, UTF-8
//    with one, or UTF-16 (little or big endian, with its mark), as the
//    platform's profile functions and the editors operators use write them.
//    In memory the text is UTF-8; UTF-16 text that is not well formed (a lone
//    surrogate) passes through unchanged.
//
// Every write that changes the file replaces it atomically (see
// storage/durable_file.h), so a killed process or a power loss leaves either
// the old or the new file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/durable_file.h"

namespace kx20 {

// How a profile file's bytes encode its text, told by its byte-order mark.
enum class ProfileEncoding {
  kPlain,    // no mark: ANSI or UTF-8, kept byte for byte
  kUtf8Bom,  // EF BB BF
  kUtf16Le,  // FF FE
  kUtf16Be,  // FE FF
};

// The encoding a file's first bytes announce.
ProfileEncoding DetectProfileEncoding(std::string_view bytes);

// The file's bytes as UTF-8 text, without the mark.
std::string DecodeProfileText(std::string_view bytes, ProfileEncoding encoding);

// UTF-8 text as the bytes of a file in `encoding`; with the mark when
// `withMark` (the start of a file), without it for text appended to one.
std::string EncodeProfileText(std::string_view text, ProfileEncoding encoding, bool withMark);

// One profile file held in memory.
class ProfileDocument {
 public:
  // Parses the bytes of a file (any encoding of ProfileEncoding, any line
  // endings).
  static ProfileDocument Parse(std::string_view bytes);

  // The canonical bytes of the document: CRLF line endings, in the encoding
  // the parsed file had (with its mark).
  std::string Serialize() const;

  ProfileEncoding Encoding() const { return encoding_; }

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

  // Every section in file order, for readers of files that hold many
  // sections of one shape whose names may repeat (the production log), where
  // Find would only see the first. Lines before the first section header
  // form a section of their own with an empty name.
  std::size_t SectionCount() const { return sections_.size(); }
  const std::string& SectionName(std::size_t index) const { return sections_[index].name; }
  // Find's answer for the section at `index` (0 <= index < SectionCount()).
  std::optional<std::string> FindAt(std::size_t index, std::string_view key) const;

 private:
  struct Entry {
    std::string name;
    std::optional<std::string> value;  // nothing: a line without "="
  };
  struct Section {
    std::string name;  // "" for the lines before the first section header
    std::string tail;  // what followed the "]" on the header line, as written
    std::vector<Entry> entries;
  };

  Section* FindSection(std::string_view name);
  const Section* FindSection(std::string_view name) const;

  std::vector<Section> sections_;
  ProfileEncoding encoding_ = ProfileEncoding::kPlain;
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
// missing. Returns true when the file holds the value afterwards; otherwise
// `failure` (when given) says why, in words for the operator.
bool WriteProfileValue(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value, Durability durability = Durability::kDurable,
                        std::string* failure = nullptr);

// Applies several writes, in order, as one atomic replacement of the file:
// the result is the file the writes would give one by one, and a crash leaves
// either all of them or none. Returns true when the file was written (or
// already held every value).
bool WriteProfileValues(FileSystem& files, const std::string& path,
                         const std::vector<ProfileWrite>& writes, Durability durability,
                         std::string* failure = nullptr);
bool WriteProfileValues(const std::string& path, const std::vector<ProfileWrite>& writes,
                         Durability durability = Durability::kDurable,
                         std::string* failure = nullptr);

// Appends one new section with its keys at the end of the file (creating the
// file when missing) without reading or rewriting what is there, so the cost
// does not grow with the file. The text is what the profile writer would add
// for a new section, in the file's encoding (told by its first bytes). A file
// whose last line lacks its line end gets one first.
// A section of the same name earlier in the file is not merged: both stay.
bool AppendProfileSection(const std::string& path, std::string_view section,
                          const std::vector<ProfileEntry>& entries,
                          Durability durability = Durability::kDurable,
                          std::string* failure = nullptr);

// The text AppendProfileSection adds (without the possible leading line end).
std::string FormatProfileSection(std::string_view section, const std::vector<ProfileEntry>& entries);

}  // namespace kx20
