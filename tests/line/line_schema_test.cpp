#include "line/line_schema.h"

#include <gtest/gtest.h>

#include "line/line_link.h"

namespace kx20 {
namespace {

// Role names go into the SQL init runs and prints: only plain lower-case
// identifiers are taken, so none needs quoting or can carry SQL of its own.
TEST(LineSchema, RoleNamesArePlainIdentifiers) {
  struct Case {
    const char* name;
    bool valid;
  };
  const Case cases[] = {
      {"kx20_station", true},
      {"line3_report", true},
      {"_x", true},
      {"a", true},
      {"", false},
      {"3station", false},
      {"Station", false},                      // would need quotes to keep its case
      {"st-1", false},
      {"st x", false},
      {"st;DROP SCHEMA kx20", false},
      {"st\"x", false},
      {"st'x", false},
      {"abcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghija12", true},  // 63
      {"abcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdefghija123", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsValidRoleName(c.name), c.valid);
  }
  // Init refuses a bad name before it touches the database.
  std::string message;
  LineInitOptions options;
  options.stationRole = "st;x";
  const auto link = OpenLineLink("host=/nonexistent-kx20 port=1 dbname=line", 1, 1000);
  EXPECT_FALSE(InitLineSchema(*link, options, message));
  EXPECT_NE(message.find("is not 1 to 63 lower-case letters"), std::string::npos) << message;
}

}  // namespace
}  // namespace kx20
