#include "storage/profile_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "support/config_temp_dir.h"

namespace kx20 {
namespace {

using testing::ConfigTempDir;

TEST(ProfileFile, ReadsLikeTheProfileReader) {
  const ProfileDocument doc = ProfileDocument::Parse(
      "top=1\r\n  [ CID ]  \r\n Manufacturer_ID = 12 \r\nname=\"AB C\"\r\nopen=\"y\r\n"
      "bare\r\nshadowed\r\nshadowed=real\r\n;comment=3\r\n[cid]\r\nlater=x\r\n[OTHER]\nRWTest=1\n");
  struct Case {
    const char* section;
    const char* key;
    std::size_t size;
    const char* value;
  };
  const Case cases[] = {
      {"cid", "MANUFACTURER_ID", 256, "12"}, {"CID", "Manufacturer_ID", 2, "1"},
      {"CID", "Manufacturer_ID", 1, ""},     {"CID", "Manufacturer_ID", 0, ""},
      {"CID", "name", 256, "AB C"},          {"CID", "name", 3, "AB"},
      {"CID", "open", 256, "\"y"},           {"CID", "bare", 256, ""},
      {"CID", "shadowed", 256, "real"},
      {"CID", ";comment", 256, "3"},         {"CID", "later", 256, ""},  // second [cid] unseen
      {"other", "rwtest", 256, "1"},         {"", "top", 256, "1"},
      {"NONE", "x", 256, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(doc.Read(c.section, c.key, c.size), c.value) << c.section << "/" << c.key;
  }
  // Quotes come off before the value is cut.
  EXPECT_EQ(ProfileReadValue("\"abc\"", 4), "abc");
}

TEST(ProfileFile, WritesInPlaceAppendAndAddSections) {
  ProfileDocument doc = ProfileDocument::Parse("; head\n[CID]\nProduct_SN=1\n[OTHER]\nA=1\n");
  EXPECT_TRUE(doc.Set("cid", "PRODUCT_SN", "2"));
  EXPECT_FALSE(doc.Set("CID", "Product_SN", "2"));
  EXPECT_TRUE(doc.Set("CID", "New", "  v "));
  EXPECT_TRUE(doc.Set("Third", "K", ""));
  EXPECT_EQ(doc.Serialize(),
            "; head\r\n[CID]\r\nProduct_SN=2\r\nNew=v \r\n[OTHER]\r\nA=1\r\n[Third]\r\nK=\r\n");
}

TEST(ProfileFile, FileWritesAreAtomicReplacements) {
  ConfigTempDir dir;
  const std::string path = dir.File("config.txt");
  EXPECT_EQ(ReadProfileValue(path, "CID", "Product_SN", 20), "");
  ASSERT_TRUE(WriteProfileValue(path, "CID", "Product_SN", "00000001", Durability::kRelaxed));
  ASSERT_TRUE(WriteProfileValues(path,
                                 {{"CID", "Product_SN", "00000002"}, {"OTHER", "RWTest", "1"}},
                                 Durability::kDurable));
  EXPECT_EQ(ConfigTempDir::Read(path), "[CID]\r\nProduct_SN=00000002\r\n[OTHER]\r\nRWTest=1\r\n");
  // No temporary file stays behind after a completed write.
  int files = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.Path())) ++files;
  EXPECT_EQ(files, 1);
  // A write into a directory that does not exist fails and creates nothing.
  EXPECT_FALSE(WriteProfileValue(dir.File("none/config.txt"), "A", "k", "v", Durability::kRelaxed));
}

// A read-only settings file is respected: the rename that replaces it would
// otherwise bypass the mark. The writer refuses and says why.
TEST(ProfileFile, ReadOnlyFileIsRefusedWithAReason) {
  namespace fs = std::filesystem;
  ConfigTempDir dir;
  const std::string path = dir.File("config.txt");
  const std::string text = "[CID]\r\nProduct_SN=00000005\r\n";
  ConfigTempDir::Write(path, text);
  fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  std::string failure;
  EXPECT_FALSE(WriteProfileValue(path, "CID", "Product_SN", "00000006", Durability::kDurable,
                                 &failure));
  EXPECT_NE(failure.find("config.txt"), std::string::npos) << failure;
  EXPECT_NE(failure.find("read-only"), std::string::npos) << failure;
  EXPECT_EQ(ConfigTempDir::Read(path), text);
  int files = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.Path())) ++files;
  EXPECT_EQ(files, 1);
  fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
  EXPECT_TRUE(WriteProfileValue(path, "CID", "Product_SN", "00000006", Durability::kDurable));
}

// Temporary names are random, so a restarted process (same pid in a fresh
// container) never meets its own old names, and leftovers are recognised
// by their exact pattern only.
TEST(ProfileFile, TemporaryNamesAreUniqueAndLeftoversRemoved) {
  ConfigTempDir dir;
  const std::string path = dir.File("config.txt");
  std::set<std::string> names;
  for (int i = 0; i < 1000; ++i) names.insert(NewTemporaryName(path));
  EXPECT_EQ(names.size(), 1000u);
  const std::string one = *names.begin();
  EXPECT_TRUE(IsTemporaryOf(std::filesystem::path(one).filename().string(), "config.txt"));
  for (const char* other : {"config.txt", "config.txt.kx20-0123.tmp", "xconfig.txt.kx20-0123456789abcdef.tmp",
                            "config.txt.kx20-0123456789abcdeg.tmp", "config.txt.kx20-0123456789abcdef.tm"}) {
    EXPECT_FALSE(IsTemporaryOf(other, "config.txt")) << other;
  }
  ConfigTempDir::Write(path, "[A]\r\n");
  ConfigTempDir::Write(one, "stale");
  ConfigTempDir::Write(dir.File("config.txt.bak"), "keep");
  EXPECT_EQ(RemoveLeftoverTemporaries(path), 1);
  EXPECT_FALSE(std::filesystem::exists(one));
  EXPECT_TRUE(std::filesystem::exists(dir.File("config.txt.bak")));
}

TEST(ProfileFile, AppendedSectionsReadBack) {
  ConfigTempDir dir;
  const std::string path = dir.File("produce.log");
  ASSERT_TRUE(AppendProfileSection(path, "2004/5/3  14:7:9", {{"Result", "Pass"}, {"Error Code", ""}},
                                   Durability::kRelaxed));
  ASSERT_TRUE(AppendProfileSection(path, "2004/5/3  14:7:9", {{"Result", "FAIL"}},
                                   Durability::kRelaxed));
  EXPECT_EQ(ConfigTempDir::Read(path),
            "[2004/5/3  14:7:9]\r\nResult=Pass\r\nError Code=\r\n[2004/5/3  14:7:9]\r\nResult=FAIL\r\n");
  // Both records are kept; the reader sees the first of a name.
  EXPECT_EQ(ReadProfileValue(path, "2004/5/3  14:7:9", "Result", 10), "Pass");
}

// Text of UTF-16 code units, little or big endian.
std::string Utf16(std::u16string_view units, bool bigEndian) {
  std::string out;
  for (char16_t u : units) {
    const char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
    out += bigEndian ? hi : lo;
    out += bigEndian ? lo : hi;
  }
  return out;
}

// Every form an operator's editor may leave: each must read as the plain
// file does, keep its encoding and line structure through a write, and lose
// nothing of what was written by hand.
TEST(ProfileFile, EveryEncodingAndLineEndReadsAndWritesBackInItsOwnForm) {
  struct Form {
    const char* name;
    std::string bytes;            // the file as the editor left it
    ProfileEncoding encoding;
    std::string afterWrite;       // the file after Product_SN=00000043, as bytes
  };
  const std::string canonical =
      "; line 3\r\n[CID] ; counter\r\nProduct_SN=00000043\r\nUnknown=keep\r\n[OTHER]\r\nRWTest=1\r\n";
  const std::u16string canonical16 =
      u"; line 3\r\n[CID] ; counter\r\nProduct_SN=00000043\r\nUnknown=keep\r\n[OTHER]\r\nRWTest=1\r\n";
  const std::u16string source16 =
      u"; line 3\r\n[CID] ; counter\r\nProduct_SN=00000042\r\nUnknown=keep\r\n[OTHER]\r\nRWTest=1\r\n";
  const Form forms[] = {
      {"plain CRLF",
       "; line 3\r\n[CID] ; counter\r\nProduct_SN=00000042\r\nUnknown=keep\r\n[OTHER]\r\nRWTest=1\r\n",
       ProfileEncoding::kPlain, canonical},
      {"LF", "; line 3\n[CID] ; counter\nProduct_SN=00000042\nUnknown=keep\n[OTHER]\nRWTest=1\n",
       ProfileEncoding::kPlain, canonical},
      {"CR only", "; line 3\r[CID] ; counter\rProduct_SN=00000042\rUnknown=keep\r[OTHER]\rRWTest=1",
       ProfileEncoding::kPlain, canonical},
      {"mixed line ends",
       "; line 3\r[CID] ; counter\nProduct_SN=00000042\r\n\r\nUnknown=keep\n\r[OTHER]\rRWTest=1\n",
       ProfileEncoding::kPlain, canonical},
      {"UTF-8 mark",
       "\xEF\xBB\xBF; line 3\r\n[CID] ; counter\r\nProduct_SN=00000042\r\nUnknown=keep\r\n[OTHER]\r\nRWTest=1\r\n",
       ProfileEncoding::kUtf8Bom, "\xEF\xBB\xBF" + canonical},
      {"UTF-16LE", "\xFF\xFE" + Utf16(source16, false), ProfileEncoding::kUtf16Le,
       "\xFF\xFE" + Utf16(canonical16, false)},
      {"UTF-16BE", "\xFE\xFF" + Utf16(source16, true), ProfileEncoding::kUtf16Be,
       "\xFE\xFF" + Utf16(canonical16, true)},
  };
  for (const Form& f : forms) {
    SCOPED_TRACE(f.name);
    ProfileDocument doc = ProfileDocument::Parse(f.bytes);
    EXPECT_EQ(doc.Encoding(), f.encoding);
    EXPECT_EQ(doc.Read("CID", "Product_SN", 20), "00000042");
    EXPECT_EQ(doc.Read("CID", "Unknown", 20), "keep");
    EXPECT_EQ(doc.Read("OTHER", "RWTest", 20), "1");
    EXPECT_TRUE(doc.Set("CID", "Product_SN", "00000043"));
    EXPECT_EQ(doc.Serialize(), f.afterWrite);

    ConfigTempDir dir;
    const std::string path = dir.File("config.txt");
    ConfigTempDir::Write(path, f.bytes);
    ASSERT_TRUE(WriteProfileValue(path, "cid", "product_sn", "00000043", Durability::kRelaxed));
    EXPECT_EQ(ConfigTempDir::Read(path), f.afterWrite);
    EXPECT_EQ(ReadProfileValue(path, "CID", "Product_SN", 20), "00000043");
  }
}

TEST(ProfileFile, Utf16TextOutsideAsciiSurvivesUnchanged) {
  // "Ä", a character outside the basic plane (a surrogate pair) and a lone
  // surrogate: a damaged or exotic file still comes back byte for byte.
  const std::u16string text = u"[A]\r\nname=\u00C4\U0001F600\r\nodd=x\xD800y\r\n";
  for (bool bigEndian : {false, true}) {
    const std::string bytes = (bigEndian ? "\xFE\xFF" : "\xFF\xFE") + Utf16(text, bigEndian);
    const ProfileDocument doc = ProfileDocument::Parse(bytes);
    EXPECT_EQ(doc.Read("A", "name", 20), "\xC3\x84\xF0\x9F\x98\x80");
    EXPECT_EQ(doc.Serialize(), bytes) << bigEndian;
  }
}

// Found by the profile fuzzer: tidying away a leading blank line must not
// turn a plain file into one that starts with the bytes of a mark (it would
// be read as UTF-16 or UTF-8 text next time).
TEST(ProfileFile, APlainFileNeverGainsAMarkOnRewrite) {
  for (const std::string& mark : {std::string("\xFF\xFE"), std::string("\xFE\xFF"),
                                 std::string("\xEF\xBB\xBF")}) {
    const std::string bytes = "\r\n" + mark + "; note\r\n[A]\r\nkey=1\r\n";
    ProfileDocument doc = ProfileDocument::Parse(bytes);
    doc.Set("A", "key", "2");
    const std::string saved = doc.Serialize();
    EXPECT_EQ(DetectProfileEncoding(saved), ProfileEncoding::kPlain);
    const ProfileDocument again = ProfileDocument::Parse(saved);
    EXPECT_EQ(again.Read("A", "key", 10), "2");
    EXPECT_EQ(again.Serialize(), saved);
  }
}

TEST(ProfileFile, LogSectionsAppendInTheLogsOwnEncoding) {
  struct Case {
    const char* name;
    std::string initial;
    std::string expected;
  };
  const std::string record = "[2004/5/3  14:7:9]\r\nResult=Pass\r\n";
  const std::u16string record16 = u"[2004/5/3  14:7:9]\r\nResult=Pass\r\n";
  const Case cases[] = {
      {"missing", "", record},
      {"plain without last line end", "[old]\r\nk=v", "[old]\r\nk=v\r\n" + record},
      {"CR only", "[old]\rk=v\r", "[old]\rk=v\r" + record},
      {"UTF-8 mark only", "\xEF\xBB\xBF", "\xEF\xBB\xBF" + record},
      {"UTF-16LE", "\xFF\xFE" + Utf16(u"[old]\r\nk=v\r\n", false),
       "\xFF\xFE" + Utf16(u"[old]\r\nk=v\r\n", false) + Utf16(record16, false)},
      {"UTF-16LE without last line end", "\xFF\xFE" + Utf16(u"[old]\r\nk=v", false),
       "\xFF\xFE" + Utf16(u"[old]\r\nk=v\r\n", false) + Utf16(record16, false)},
      {"UTF-16BE mark only", "\xFE\xFF", "\xFE\xFF" + Utf16(record16, true)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigTempDir dir;
    const std::string path = dir.File("produce.log");
    if (!c.initial.empty()) ConfigTempDir::Write(path, c.initial);
    ASSERT_TRUE(AppendProfileSection(path, "2004/5/3  14:7:9", {{"Result", "Pass"}},
                                     Durability::kRelaxed));
    EXPECT_EQ(ConfigTempDir::Read(path), c.expected);
  }
}

}  // namespace
}  // namespace kx20
