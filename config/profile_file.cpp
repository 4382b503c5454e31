#include "config/profile_file.h"

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

// Writers in this process take turns, so that two read-modify-write cycles on
// one file never lose each other's change (the platform's profile functions
// serialise their calls the same way).
std::mutex& WriterMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

ProfileDocument ProfileDocument::Parse(std::string_view text) {
  ProfileDocument doc;
  Section* current = nullptr;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty()) continue;

    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      if (close != std::string_view::npos) {
        doc.sections_.push_back(Section{std::string(Trim(line.substr(1, close - 1))), {}});
        current = &doc.sections_.back();
        continue;
      }
      // No closing bracket: an ordinary line.
    }
    if (current == nullptr) {
      doc.sections_.push_back(Section{std::string(), {}});
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
  return out;
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

std::optional<std::string> ProfileDocument::Find(std::string_view section,
                                                 std::string_view key) const {
  const Section* s = FindSection(section);
  if (s == nullptr) return std::nullopt;
  key = Trim(key);
  for (const Entry& e : s->entries) {
    if (EqualsNoCase(e.name, key)) return e.value ? *e.value : std::string();
  }
  return std::nullopt;
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
    sections_.push_back(Section{std::string(Trim(section)), {}});
    s = &sections_.back();
  }
  for (Entry& e : s->entries) {
    if (EqualsNoCase(e.name, name)) {
      if (e.value && *e.value == newValue) return false;
      e.value = newValue;
      return true;
    }
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

bool WriteProfileValues(const std::string& path, const std::vector<ProfileWrite>& writes,
                         Durability durability) {
  std::lock_guard<std::mutex> lock(WriterMutex());
  std::string text;
  const bool exists = ReadWholeFile(path, text);
  ProfileDocument doc = ProfileDocument::Parse(text);
  bool changed = false;
  for (const ProfileWrite& w : writes) {
    if (doc.Set(w.section, w.key, w.value)) changed = true;
  }
  if (exists && !changed) return true;
  return ReplaceFileAtomically(path, doc.Serialize(), durability);
}

bool WriteProfileValue(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value, Durability durability) {
  return WriteProfileValues(
      path, {ProfileWrite{std::string(section), std::string(key), std::string(value)}},
      durability);
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
                          const std::vector<ProfileEntry>& entries, Durability durability) {
  std::string text = FormatProfileSection(section, entries);
  // A torn or hand-edited last line must not swallow the new header.
  if (!FileEndsWithLineEnd(path)) text = std::string(kLineEnd) + text;
  return AppendToFile(path, text, durability);
}

}  // namespace kx20
