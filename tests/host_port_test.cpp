#include "device/host_port.h"

#include <gtest/gtest.h>

namespace kx20 {
namespace {

TEST(ParseDriveMappingTest, Table) {
  struct Case { const char* text; bool ok; char letter; const char* path; const char* errorPart; };
  const Case cases[] = {
      {"E=/dev/sg2", true, 'E', "/dev/sg2", ""},
      {"e=/dev/sg2", true, 'E', "/dev/sg2", ""},
      {"Z:=/dev/sg10", true, 'Z', "/dev/sg10", ""},
      {"C=\\\\.\\PhysicalDrive1", true, 'C', "\\\\.\\PhysicalDrive1", ""},
      {"E/dev/sg2", false, 0, "", "no '='"},
      {"=/dev/sg2", false, 0, "", "not a single drive letter"},
      {"EF=/dev/sg2", false, 0, "", "not a single drive letter"},
      {"1=/dev/sg2", false, 0, "", "A to Z"},
      {"\xC4=/dev/sg2", false, 0, "", "A to Z"},
      {"E=", false, 0, "", "empty device path"},
      {"E=/dev/sg\n2", false, 0, "", "control character"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error;
    const auto m = ParseDriveMapping(c.text, &error);
    ASSERT_EQ(m.has_value(), c.ok) << error;
    if (c.ok) {
      EXPECT_EQ(m->letter, c.letter);
      EXPECT_EQ(m->path, c.path);
    } else {
      EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
    }
  }
}

TEST(ValidateDriveMapTest, RefusesDuplicatesAndBadEntries) {
  std::string error;
  EXPECT_TRUE(ValidateDriveMap({}, &error));
  EXPECT_TRUE(ValidateDriveMap({{'E', "a"}, {'F', "b"}}, &error));
  EXPECT_FALSE(ValidateDriveMap({{'E', "a"}, {'E', "b"}}, &error));
  EXPECT_NE(error.find("E: mapped twice"), std::string::npos) << error;
  EXPECT_FALSE(ValidateDriveMap({{'e', "a"}}, &error));
  EXPECT_FALSE(ValidateDriveMap({{'E', ""}}, &error));
}

}  // namespace
}  // namespace kx20
