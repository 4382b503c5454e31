// The INI profile reader and writer: any text parses; the canonical form is a
// fixed point (parse(serialize(d)) serializes the same); a value written with
// Set reads back through a serialize/parse round trip.
#include <string>

#include "storage/profile_file.h"
#include "fuzz_support.h"

namespace {

// Names and values the station writes: ASCII (its section and key names are
// fixed ASCII and its values digits, hex and labels), no line breaks, no '='
// in names, no brackets, no white space at either end, no quotes around the
// value. (Bytes above 0x7F that are not UTF-8 go into a UTF-16 file as
// Latin-1 and read back as UTF-8, so they are outside what round-trips.)
std::string Clean(std::string s, bool name) {
  std::string out;
  for (char c : s) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7F || c == '=' || c == '[' || c == ']' || c == ';' || c == '"' || c == '\'') {
      continue;
    }
    if (name && c == ' ') continue;
    out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  while (!out.empty() && out.front() == ' ') out.erase(out.begin());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kx20;
  fuzz::Input in(data, size);
  const std::string section = Clean(in.String(16), true);
  const std::string key = Clean(in.String(16), true);
  const std::string value = Clean(in.String(40), false);
  const std::string text = in.Rest();

  ProfileDocument doc = ProfileDocument::Parse(text);
  const std::string canonical = doc.Serialize();
  const std::string again = ProfileDocument::Parse(canonical).Serialize();
  FUZZ_CHECK(again == canonical);

  // Whatever the parsed file held, reading never returns more than asked.
  const std::string cut = doc.Read(section, key, 5);
  FUZZ_CHECK(cut.size() <= 4);

  if (section.empty() || key.empty()) return 0;
  doc.Set(section, key, value);
  FUZZ_CHECK(doc.HasSection(section));
  const ProfileDocument reread = ProfileDocument::Parse(doc.Serialize());
  FUZZ_CHECK(reread.Read(section, key, value.size() + 1) == value);
  FUZZ_CHECK(reread.Serialize() == doc.Serialize());
  // A second write of the same value changes nothing.
  FUZZ_CHECK(!doc.Set(section, key, value));
  return 0;
}
