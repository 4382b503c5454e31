#include "storage/profile_file.h"

#include <cstdint>
#include <mutex>

namespace kx20 {
namespace {

bool IsProfileSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == 0x1a;
}

std::string_view TrimLeft(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && IsProfileSpace(s[i])) ++i;
  return s.substr(i);
}

std::string_view TrimRight(std::string_view s) {
  std::size_t n = s.size();
  while (n > 0 && IsProfileSpace(s[n - 1])) --n;
  return s.substr(0, n);
}

std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

constexpr std::string_view kLineEnd = "\r\n";

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeMark = "\xFF\xFE";
constexpr std::string_view kUtf16BeMark = "\xFE\xFF";

std::string_view MarkOf(ProfileEncoding encoding) {
  switch (encoding) {
    case ProfileEncoding::kUtf8Bom: return kUtf8Mark;
    case ProfileEncoding::kUtf16Le: return kUtf16LeMark;
    case ProfileEncoding::kUtf16Be: return kUtf16BeMark;
    case ProfileEncoding::kPlain: break;
  }
  return {};
}

bool IsUtf16(ProfileEncoding e) {
  return e == ProfileEncoding::kUtf16Le || e == ProfileEncoding::kUtf16Be;
}

// Code points to UTF-8. Lone surrogates get their three-byte form, so that a
// UTF-16 file that is not well formed still comes back unchanged.
void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The next code point of UTF-8 text at `i` (advanced past it). A byte that
// starts no valid sequence stands for itself (as Latin-1), so any bytes a
// caller hands in are written somehow rather than dropped.
std::uint32_t NextCodePoint(std::string_view s, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  const auto cont = [&](std::size_t k) { return k < s.size() && (byte(k) & 0xC0) == 0x80; };
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  if (b0 >= 0xC2 && b0 <= 0xDF && cont(i + 1)) {
    const std::uint32_t cp = ((b0 & 0x1Fu) << 6) | (byte(i + 1) & 0x3Fu);
    i += 2;
    return cp;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF && cont(i + 1) && cont(i + 2)) {
    const std::uint32_t cp =
        ((b0 & 0x0Fu) << 12) | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
    if (cp >= 0x800) {
      i += 3;
      return cp;
    }
  }
  if (b0 >= 0xF0 && b0 <= 0xF4 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
    const std::uint32_t cp = ((b0 & 0x07u) << 18) | ((byte(i + 1) & 0x3Fu) << 12) |
                             ((byte(i + 2) & 0x3Fu) << 6) | (byte(i + 3) & 0x3Fu);
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
      i += 4;
      return cp;
    }
  }
  ++i;
  return b0;
}

void AppendUnit(std::string& out, std::uint32_t unit, bool bigEndian) {
  const char lo = static_cast<char>(unit & 0xFF);
  const char hi = static_cast<char>((unit >> 8) & 0xFF);
  if (bigEndian) {
    out += hi;
    out += lo;
  } else {
    out += lo;
    out += hi;
  }
}

// Writers in this process take turns, so that two read-modify-write cycles on
// one file never lose each other's change (the platform's profile functions
// serialise their calls the same way).
std::mutex& WriterMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

ProfileEncoding DetectProfileEncoding(std::string_view bytes) {
  if (bytes.substr(0, 3) == kUtf8Mark) return ProfileEncoding::kUtf8Bom;
  if (bytes.substr(0, 2) == kUtf16LeMark) return ProfileEncoding::kUtf16Le;
  if (bytes.substr(0, 2) == kUtf16BeMark) return ProfileEncoding::kUtf16Be;
  return ProfileEncoding::kPlain;
}

std::string DecodeProfileText(std::string_view bytes, ProfileEncoding encoding) {
  const std::string_view mark = MarkOf(encoding);
  if (bytes.substr(0, mark.size()) == mark) bytes.remove_prefix(mark.size());
  if (!IsUtf16(encoding)) return std::string(bytes);

  const bool bigEndian = encoding == ProfileEncoding::kUtf16Be;
  const auto unitAt = [&](std::size_t k) -> std::uint32_t {
    const auto b0 = static_cast<unsigned char>(bytes[k]);
    const auto b1 = static_cast<unsigned char>(bytes[k + 1]);
    return bigEndian ? (b0 << 8) | b1 : (b1 << 8) | b0;
  };
  std::string out;
  out.reserve(bytes.size() / 2);
  // An odd last byte is half a character of a damaged file: it is dropped.
  for (std::size_t k = 0; k + 1 < bytes.size(); k += 2) {
    std::uint32_t cp = unitAt(k);
    if (cp >= 0xD800 && cp <= 0xDBFF && k + 3 < bytes.size()) {
      const std::uint32_t low = unitAt(k + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        k += 2;
      }
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::string EncodeProfileText(std::string_view text, ProfileEncoding encoding, bool withMark) {
  std::string out(withMark ? MarkOf(encoding) : std::string_view());
  if (!IsUtf16(encoding)) {
    out += text;
    return out;
  }
  const bool bigEndian = encoding == ProfileEncoding::kUtf16Be;
  out.reserve(out.size() + text.size() * 2);
  for (std::size_t i = 0; i < text.size();) {
    const std::uint32_t cp = NextCodePoint(text, i);
    if (cp >= 0x10000) {
      AppendUnit(out, 0xD800 + ((cp - 0x10000) >> 10), bigEndian);
      AppendUnit(out, 0xDC00 + ((cp - 0x10000) & 0x3FF), bigEndian);
    } else {
      AppendUnit(out, cp, bigEndian);
    }
  }
  return out;
}

ProfileDocument ProfileDocument::Parse(std::string_view bytes) {
  ProfileDocument doc;
  doc.encoding_ = DetectProfileEncoding(bytes);
  const std::string decoded = DecodeProfileText(bytes, doc.encoding_);
  const std::string_view text = decoded;
  Section* current = nullptr;
  std::size_t pos = 0;
  while (pos < text.size()) {
    // A line ends at CR, at LF or at both: files from every editor read alike.
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty()) continue;

    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      if (close != std::string_view::npos) {
        doc.sections_.push_back(Section{std::string(Trim(line.substr(1, close - 1))),
                                        std::string(line.substr(close + 1)), {}});
        current = &doc.sections_.back();
        continue;
      }
      // No closing bracket: an ordinary line.
    }
    if (current == nullptr) {
      doc.sections_.push_back(Section{std::string(), std::string(), {}});
      current = &doc.sections_.back();
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      current->entries.push_back(Entry{std::string(line), std::nullopt});
    } else {
      current->entries.push_back(Entry{std::string(TrimRight(line.substr(0, eq))),
                                       std::string(TrimLeft(line.substr(eq + 1)))});
    }
  }
  return doc;
}

std::string ProfileDocument::Serialize() const {
  std::string out;
  for (const Section& s : sections_) {
    if (!s.name.empty()) {
      out += '[';
      out += s.name;
      out += ']';
      out += s.tail;
      out += kLineEnd;
    }
    for (const Entry& e : s.entries) {
      out += e.name;
      if (e.value) {
        out += '=';
        out += *e.value;
      }
      out += kLineEnd;
    }
  }
  // A file without a mark whose first line (after tidying away blank ones)
  // starts with the bytes of one would be read as another encoding next
  // time: keep a blank line in front so it stays what it was.
  if (encoding_ == ProfileEncoding::kPlain && DetectProfileEncoding(out) != ProfileEncoding::kPlain) {
    out.insert(0, kLineEnd);
  }
  return EncodeProfileText(out, encoding_, /*withMark=*/true);
}

ProfileDocument::Section* ProfileDocument::FindSection(std::string_view name) {
  name = Trim(name);
  for (Section& s : sections_) {
    if (EqualsNoCase(s.name, name)) return &s;
  }
  return nullptr;
}

const ProfileDocument::Section* ProfileDocument::FindSection(std::string_view name) const {
  return const_cast<ProfileDocument*>(this)->FindSection(name);
}

bool ProfileDocument::HasSection(std::string_view section) const {
  return FindSection(section) != nullptr;
}

namespace {

// The first "key=value" line of `key`; "" when only bare "key" lines exist.
template <class Entries>
std::optional<std::string> FindEntry(const Entries& entries, std::string_view key) {
  key = Trim(key);
  bool bare = false;
  for (const auto& e : entries) {
    if (!EqualsNoCase(e.name, key)) continue;
    // A line without "=" is damage, not a value: it must not hide the real
    // key after it (an empty "Product_SN" would restart the numbering).
    if (!e.value) {
      bare = true;
      continue;
    }
    return *e.value;
  }
  if (bare) return std::string();
  return std::nullopt;
}

}  // namespace

std::optional<std::string> ProfileDocument::Find(std::string_view section,
                                                 std::string_view key) const {
  const Section* s = FindSection(section);
  if (s == nullptr) return std::nullopt;
  return FindEntry(s->entries, key);
}

std::optional<std::string> ProfileDocument::FindAt(std::size_t index, std::string_view key) const {
  return FindEntry(sections_.at(index).entries, key);
}

std::string ProfileReadValue(std::string_view raw, std::size_t readSize) {
  if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') && raw.back() == raw.front()) {
    raw = raw.substr(1, raw.size() - 2);
  }
  if (readSize == 0) return std::string();
  if (raw.size() > readSize - 1) raw = raw.substr(0, readSize - 1);
  return std::string(raw);
}

std::string ProfileDocument::Read(std::string_view section, std::string_view key,
                                  std::size_t readSize) const {
  const std::optional<std::string> raw = Find(section, key);
  if (!raw) return std::string();
  return ProfileReadValue(*raw, readSize);
}

bool ProfileDocument::Set(std::string_view section, std::string_view key,
                          std::string_view value) {
  const std::string_view name = Trim(key);
  const std::string newValue(TrimLeft(value));
  Section* s = FindSection(section);
  if (s == nullptr) {
    sections_.push_back(Section{std::string(Trim(section)), std::string(), {}});
    s = &sections_.back();
  }
  // The key Find reads: the first "key=value" line; a bare "key" line only
  // when there is no such line.
  Entry* bare = nullptr;
  for (Entry& e : s->entries) {
    if (!EqualsNoCase(e.name, name)) continue;
    if (!e.value) {
      if (bare == nullptr) bare = &e;
      continue;
    }
    if (*e.value == newValue) return false;
    e.value = newValue;
    return true;
  }
  if (bare != nullptr) {
    bare->value = newValue;
    return true;
  }
  s->entries.push_back(Entry{std::string(name), newValue});
  return true;
}

std::string ReadProfileValue(const std::string& path, std::string_view section,
                              std::string_view key, std::size_t readSize) {
  std::string text;
  if (!ReadWholeFile(path, text)) return std::string();
  return ProfileDocument::Parse(text).Read(section, key, readSize);
}

bool WriteProfileValues(FileSystem& files, const std::string& path,
                         const std::vector<ProfileWrite>& writes, Durability durability,
                         std::string* failure) {
  std::lock_guard<std::mutex> lock(WriterMutex());
  std::string text;
  std::string why;
  const ReadOutcome read = files.ReadContents(path, text, &why);
  // A file that is there but cannot be read is never replaced by one made
  // from nothing: that would throw away every other value it holds.
  if (read == ReadOutcome::kFailed) {
    if (failure != nullptr) *failure = NameOfPath(path) + " cannot be read: " + why;
    return false;
  }
  const bool exists = read == ReadOutcome::kRead;
  ProfileDocument doc = ProfileDocument::Parse(text);
  bool changed = false;
  for (const ProfileWrite& w : writes) {
    if (doc.Set(w.section, w.key, w.value)) changed = true;
  }
  if (exists && !changed) return true;
  return ReplaceFileAtomically(files, path, doc.Serialize(), durability, failure);
}

bool WriteProfileValues(const std::string& path, const std::vector<ProfileWrite>& writes,
                         Durability durability, std::string* failure) {
  return WriteProfileValues(SystemFileSystem(), path, writes, durability, failure);
}

bool WriteProfileValue(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value, Durability durability, std::string* failure) {
  return WriteProfileValues(
      path, {ProfileWrite{std::string(section), std::string(key), std::string(value)}},
      durability, failure);
}

std::string FormatProfileSection(std::string_view section,
                                 const std::vector<ProfileEntry>& entries) {
  std::string out;
  out += '[';
  out += Trim(section);
  out += ']';
  out += kLineEnd;
  for (const ProfileEntry& e : entries) {
    out += Trim(e.first);
    out += '=';
    out += TrimLeft(e.second);
    out += kLineEnd;
  }
  return out;
}

bool AppendProfileSection(const std::string& path, std::string_view section,
                          const std::vector<ProfileEntry>& entries, Durability durability,
                          std::string* failure) {
  std::string text = FormatProfileSection(section, entries);
  FileEnds ends;
  ReadFileEnds(path, 3, ends);
  const ProfileEncoding encoding = DetectProfileEncoding(ends.head);
  // A torn or hand-edited last line must not swallow the new header.
  const std::size_t unit = IsUtf16(encoding) ? 2 : 1;
  const std::string last = DecodeProfileText(
      ends.tail.size() >= unit ? std::string_view(ends.tail).substr(ends.tail.size() - unit)
                               : std::string_view(),
      IsUtf16(encoding) ? encoding : ProfileEncoding::kPlain);
  const bool onlyMark = ends.size <= MarkOf(encoding).size();
  if (!onlyMark && !last.empty() && last.back() != '\n' && last.back() != '\r') {
    text = std::string(kLineEnd) + text;
  }
  // A new file, or one that holds nothing yet, is plain text; anything else
  // gets the new section in its own encoding.
  return AppendToFile(path, EncodeProfileText(text, encoding, /*withMark=*/false), durability,
                      failure);
}

}  // namespace kx20
