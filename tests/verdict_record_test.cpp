// The record of one disk: the run's lot and operator as given on the command
// line, the recipe id, the serial number a controller's table carries before
// a pass, and the produce.jsonl line of a verdict.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#ifdef _WIN32
#include <windows.h>
#endif

#include "app/device_options.h"
#include "config/card_registers.h"
#include "config/recipe.h"
#include "production/verdict_record.h"
#include "support/calendar_time.h"

namespace kx20 {
namespace {

using testing::At;

TEST(RecordOptions, TakesLotAndOperatorAndLeavesTheRest) {
  std::vector<std::string> args = {"--batch", "--lot", "L1", "--operator=OP-07", "--sim"};
  RecordOptions options;
  std::string error;
  ASSERT_TRUE(ParseRecordOptions(args, options, error)) << error;
  EXPECT_EQ(options.lot, "L1");
  EXPECT_EQ(options.operatorName, "OP-07");
  EXPECT_EQ(args, (std::vector<std::string>{"--batch", "--sim"}));

  // Neither is needed; 64 characters are; a UTF-8 character counts once.
  const std::string umlauts = std::string(63, 'x') + "\xC3\xBC";  // 63 + "ü": 64 characters
  std::vector<std::string> more = {"--lot", std::string(64, 'A'), "--operator", umlauts};
  RecordOptions wide;
  ASSERT_TRUE(ParseRecordOptions(more, wide, error)) << error;
  EXPECT_EQ(wide.operatorName, umlauts);
  std::vector<std::string> none = {"--quiet"};
  RecordOptions empty;
  ASSERT_TRUE(ParseRecordOptions(none, empty, error));
  EXPECT_TRUE(empty.lot.empty() && empty.operatorName.empty());
}

TEST(RecordOptions, RefusesControlCharactersLongTextsAndMissingValues) {
  struct Case {
    std::vector<std::string> args;
    const char* problem;  // in the message
  };
  const std::vector<Case> cases = {
      {{"--lot", "L\x1B[2J"}, "--lot refused: the text holds a control character (1Bh)"},
      {{"--operator", "OP\t7"}, "--operator refused: the text holds a control character (09h)"},
      {{"--lot=A\nB"}, "control character (0Ah)"},
      {{"--lot", "A\x7F"}, "control character (7Fh)"},
      {{"--operator", "x\xC2\x9B"}, "control character (9Bh)"},  // U+009B, the C1 escape
      {{"--lot", std::string(65, 'L')}, "--lot refused: the text is longer than 64 characters (65)"},
      {{"--operator", std::string(64, 'x') + "\xC3\xBC"}, "longer than 64 characters (65)"},
      {{"--lot"}, "--lot needs a text"},
      {{"--operator="}, "--operator needs a text"},
      {{"--lot", ""}, "--lot needs a text"},
      {{"--lot", "A", "--lot=B"}, "--lot given more than once"},
#ifndef _WIN32
      // Not UTF-8 (Windows reads such a text in its ANSI code page instead):
      // a Latin-1 "é", a stray continuation byte, an overlong "/", a
      // surrogate, a sequence cut short.
      {{"--operator", "Ren\xE9"}, "--operator refused: the text is not UTF-8 text"},
      {{"--lot", "L\x80"}, "is not UTF-8"},
      {{"--lot", "\xC0\xAF"}, "is not UTF-8"},
      {{"--lot", "\xED\xA0\x80"}, "is not UTF-8"},
      {{"--lot", "L\xE2\x82"}, "is not UTF-8"},
#endif
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    RecordOptions options;
    std::string error;
    EXPECT_FALSE(ParseRecordOptions(args, options, error)) << c.problem;
    EXPECT_NE(error.find(c.problem), std::string::npos) << "\"" << error << "\" lacks \"" << c.problem << "\"";
  }
}

#ifdef _WIN32
// Windows passes the command line in its ANSI code page: a lot or an operator
// typed there reaches the records as the same characters in UTF-8.
TEST(RecordOptions, AWindowsCodePageTextIsTakenAsUtf8) {
  const std::wstring name = L"M\u00FCller-\u00E9";
  BOOL lost = FALSE;
  char ansi[64] = {};
  const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name.c_str(), -1, ansi,
                                    sizeof ansi, nullptr, GetACP() == CP_UTF8 ? nullptr : &lost);
  if (n <= 0 || lost) GTEST_SKIP() << "the ANSI code page " << GetACP() << " lacks the letters";
  std::vector<std::string> args = {"--operator", ansi, "--lot=L\xC3\xBC"};
  RecordOptions options;
  std::string error;
  ASSERT_TRUE(ParseRecordOptions(args, options, error)) << error;
  EXPECT_EQ(options.operatorName, "M\xC3\xBCller-\xC3\xA9");
  EXPECT_EQ(options.lot, "L\xC3\xBC");  // UTF-8 already: as it is
}
#endif

RegisterSettings Registers() {
  RegisterSettings s;
  s.manufacturerId = "12";
  s.oemApplicationId = "AB12";
  s.productName = "DISK1";
  s.productRevision = "10";
  s.productSerial = "00000001";
  s.manufacturingYear = "2026";
  s.manufacturingMonth = "5";
  s.cardSpecificData = "004F01321B5981EFDE794F870A4000";
  return s;
}

ProductionSettings Settings(const RegisterSettings& registers) {
  ProductionSettings s;
  s.flash1Type = "K9F1G08U0A";
  s.flash2Type = "NONE";
  s.capacitySelection = "128M";
  s.capacityMegabytes = 128;
  s.rwTestEnabled = 1;
  s.rwTestPercent = 10;
  s.eraseFlashEnabled = 0;
  ResetConfigTableHeader(s.publishedConfigTable);
  BuildConfigTable(s.publishedConfigTable, registers);
  return s;
}

TEST(RecipeId, ChangesWithWhatShapesTheDiskAndNotWithTheCounter) {
  const ProductionSettings base = Settings(Registers());
  const std::string id = RecipeId(base);
  ASSERT_EQ(id.size(), 16u);
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
  EXPECT_EQ(RecipeId(Settings(Registers())), id);  // the same settings, the same id

  struct Case {
    const char* name;
    std::function<void(ProductionSettings&, RegisterSettings&)> change;
    bool changesId;
  };
  const Case cases[] = {
      {"serial counter", [](ProductionSettings&, RegisterSettings& r) { r.productSerial = "00004711"; }, false},
      {"last number taken", [](ProductionSettings& s, RegisterSettings&) { s.currentSerialNumber = 99; }, false},
      {"product name", [](ProductionSettings&, RegisterSettings& r) { r.productName = "DISK2"; }, true},
      {"manufacturer", [](ProductionSettings&, RegisterSettings& r) { r.manufacturerId = "13"; }, true},
      {"month", [](ProductionSettings&, RegisterSettings& r) { r.manufacturingMonth = "6"; }, true},
      {"card-specific data",
       [](ProductionSettings&, RegisterSettings& r) { r.cardSpecificData = "004F01321B5981EFDE794F870A4001"; }, true},
      {"capacity choice", [](ProductionSettings& s, RegisterSettings&) { s.capacitySelection = "256M"; }, true},
      {"flash type", [](ProductionSettings& s, RegisterSettings&) { s.flash2Type = "K9F1G08U0A"; }, true},
      {"erase", [](ProductionSettings& s, RegisterSettings&) { s.eraseFlashEnabled = 1; }, true},
      {"read/write test off", [](ProductionSettings& s, RegisterSettings&) { s.rwTestEnabled = 0; }, true},
      {"read/write percentage", [](ProductionSettings& s, RegisterSettings&) { s.rwTestPercent = 20; }, true},
  };
  std::set<std::string> ids = {id};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RegisterSettings registers = Registers();
    ProductionSettings settings = base;
    c.change(settings, registers);
    ResetConfigTableHeader(settings.publishedConfigTable);
    BuildConfigTable(settings.publishedConfigTable, registers);
    const std::string changed = RecipeId(settings);
    if (c.changesId) {
      EXPECT_NE(changed, id);
      EXPECT_TRUE(ids.insert(changed).second) << "two changes give the same id " << changed;
    } else {
      EXPECT_EQ(changed, id);
    }
  }
  // The percentage counts only when the test runs: off at 10 % and off at
  // 50 % are the same recipe.
  ProductionSettings off10 = base;
  off10.rwTestEnabled = 0;
  ProductionSettings off50 = off10;
  off50.rwTestPercent = 50;
  EXPECT_EQ(RecipeId(off10), RecipeId(off50));
}

TEST(TableCarriedSerial, TellsAProgrammedTableFromABlankOne) {
  ConfigTable programmed;
  ResetConfigTableHeader(programmed);
  RegisterSettings registers = Registers();
  registers.productSerial = "00004711";
  BuildConfigTable(programmed, registers);

  struct Case {
    const char* name;
    std::function<void(ConfigTable&)> make;
    std::optional<std::uint32_t> serial;
  };
  const Case cases[] = {
      {"programmed", [&](ConfigTable& t) { t = programmed; }, 4711u},
      {"controller's own header bytes changed",
       [&](ConfigTable& t) { t = programmed; for (int i = 0; i < 8; ++i) t[i] = 0xA5; }, 4711u},
      {"erased to zeros", [](ConfigTable& t) { t.fill(0x00); }, std::nullopt},
      {"erased to FFh", [](ConfigTable& t) { t.fill(0xFF); }, std::nullopt},
      {"header reset only", [](ConfigTable& t) { ResetConfigTableHeader(t); }, std::nullopt},
      {"another maker's table", [&](ConfigTable& t) { t = programmed; t[12] = 'X'; }, std::nullopt},
      {"identification damaged (CRC)", [&](ConfigTable& t) { t = programmed; t[kCidOffset + 3] ^= 0x01; },
       std::nullopt},
      {"serial 00000000", [&](ConfigTable& t) {
         RegisterSettings r = Registers();
         r.productSerial = "00000000";
         ResetConfigTableHeader(t);
         BuildConfigTable(t, r);
       }, std::nullopt},
      {"serial not decimal", [&](ConfigTable& t) {
         RegisterSettings r = Registers();
         r.productSerial = "0000ABCD";
         ResetConfigTableHeader(t);
         BuildConfigTable(t, r);
       }, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConfigTable t{};
    c.make(t);
    EXPECT_EQ(TableCarriedSerial(t), c.serial);
  }
}

VerdictEvent FullEvent() {
  VerdictEvent e;
  e.driveLetter = 'G';
  e.slot = 3;
  e.passed = true;
  e.serialNumber = 12;
  e.capacitySectors = 262144;
  e.startedUtc = At(2026, 12, 9, 3, 4, 5);
  e.startedUtc.millisecond = 7;
  e.finishedUtc = At(2026, 12, 9, 3, 4, 40);
  e.lot = "L1";
  e.operatorName = "OP-07";
  e.softwareVersion = "1.2.3";
  e.recipeId = "0123456789abcdef";
  e.previousSerial = 3;
  e.steps = {{kStepConfigCheck, e.startedUtc, 10}, {kStepTable, At(2026, 12, 9, 3, 4, 6), 250}};
  e.rwWriteMBps = 12.3456;
  e.rwReadMBps = 30.0;
  e.imageWriteMBps = 11.999;
  return e;
}

std::vector<std::string> Keys(const nlohmann::ordered_json& j) {
  std::vector<std::string> keys;
  for (const auto& item : j.items()) keys.push_back(item.key());
  return keys;
}

TEST(VerdictRecordLine, PassFailAndCutOffCarryExactlyTheirKeys) {
  const RecordPlace place{"st-01", "host-a"};
  {
    const std::string line = FormatVerdictRecord(FullEvent(), place, "2026/12/9  4:4:41");
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const auto j = nlohmann::ordered_json::parse(line);
    EXPECT_EQ(Keys(j), (std::vector<std::string>{
                           "schema", "station", "host", "slot", "letter", "lot", "operator", "version",
                           "recipe", "serial", "previous_serial", "capacity_sectors", "result", "steps",
                           "rw_write_mbps", "rw_read_mbps", "image_write_mbps", "started", "finished",
                           "log_section"}));
    EXPECT_EQ(j["schema"], 1);
    EXPECT_EQ(j["station"], "st-01");
    EXPECT_EQ(j["host"], "host-a");
    EXPECT_EQ(j["slot"], 3);
    EXPECT_EQ(j["letter"], "G");
    EXPECT_EQ(j["lot"], "L1");
    EXPECT_EQ(j["operator"], "OP-07");
    EXPECT_EQ(j["serial"], 12);
    EXPECT_EQ(j["previous_serial"], 3);
    EXPECT_EQ(j["capacity_sectors"], 262144);
    EXPECT_EQ(j["result"], "Pass");
    EXPECT_EQ(j["rw_write_mbps"], 12.35);
    EXPECT_EQ(j["image_write_mbps"], 12.0);
    EXPECT_EQ(j["started"], "2026-12-09T03:04:05.007Z");
    EXPECT_EQ(j["finished"], "2026-12-09T03:04:40.000Z");
    EXPECT_EQ(j["log_section"], "2026/12/9  4:4:41");
    ASSERT_EQ(j["steps"].size(), 2u);
    EXPECT_EQ(j["steps"][1]["step"], "table");
    EXPECT_EQ(j["steps"][1]["start"], "2026-12-09T03:04:06.000Z");
    EXPECT_EQ(j["steps"][1]["ms"], 250);
  }
  {
    // A failure before the table: no serial, no capacity, no rates; the
    // error and the step it happened in.
    VerdictEvent e = FullEvent();
    e.passed = false;
    e.errorCode = "USBErr_Config";
    e.failedStep = kStepConfigCheck;
    e.serialNumber = 0;
    e.capacitySectors = 0;
    e.previousSerial.reset();
    e.lot.clear();
    e.operatorName.clear();
    e.rwWriteMBps.reset();
    e.rwReadMBps = 0.0;  // nothing moved: not a rate
    e.imageWriteMBps.reset();
    const auto j = nlohmann::ordered_json::parse(FormatVerdictRecord(e, RecordPlace{"", "h"}, "s"));
    EXPECT_EQ(Keys(j), (std::vector<std::string>{"schema", "station", "host", "slot", "letter",
                                                 "version", "recipe", "result", "error",
                                                 "failed_step", "steps", "started", "finished",
                                                 "log_section"}));
    EXPECT_EQ(j["station"], "");
    EXPECT_EQ(j["result"], "FAIL");
    EXPECT_EQ(j["error"], "USBErr_Config");
    EXPECT_EQ(j["failed_step"], "config_check");
  }
  {
    // Cut off by the close; a lot typed in another code page does not break
    // the line.
    VerdictEvent e = FullEvent();
    e.passed = false;
    e.cutOff = true;
    e.errorCode = "USBErr_RW_Compare";
    e.failedStep = kStepRwTest;
    e.lot = "L\xFC" "1";
    const auto j = nlohmann::ordered_json::parse(FormatVerdictRecord(e, place, "s"));
    EXPECT_EQ(j["cut_off"], true);
    EXPECT_EQ(j["failed_step"], "rw_test");
    EXPECT_EQ(j["lot"], "L\xEF\xBF\xBD" "1");
    const auto pass = nlohmann::ordered_json::parse(FormatVerdictRecord(FullEvent(), place, "s"));
    EXPECT_FALSE(pass.contains("cut_off"));
    EXPECT_FALSE(pass.contains("error"));
    EXPECT_FALSE(pass.contains("failed_step"));
  }
}

}  // namespace
}  // namespace kx20
