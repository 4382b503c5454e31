#include "config/profile_file.h"

#include <gtest/gtest.h>

#include <string>

#include "support/config_temp_dir.h"

namespace kx20 {
namespace {

using testing::ConfigTempDir;

TEST(ProfileFile, ReadsLikeTheProfileReader) {
  const ProfileDocument doc = ProfileDocument::Parse(
      "top=1\r\n  [ CID ]  \r\n Manufacturer_ID = 12 \r\nname=\"AB C\"\r\nopen=\"y\r\n"
      "bare\r\n;comment=3\r\n[cid]\r\nlater=x\r\n[OTHER]\nRWTest=1\n");
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

}  // namespace
}  // namespace kx20
