#include "app/event_stream_view.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/virtual_clock.h"

namespace kx20 {
namespace {

using Json = nlohmann::json;

// The lines written to a temporary file, each parsed.
std::vector<Json> Written(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::vector<Json> objects;
  std::string line;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    objects.push_back(Json::parse(line));  // throws on anything but one JSON object
    line.clear();
  }
  EXPECT_TRUE(line.empty()) << "a line without its newline";
  return objects;
}

RowModel Row(const std::string& text, int image, StatusClass verdict) {
  RowModel r;
  r.letter = 'F';
  r.slotLabel = "02";
  r.text = text;
  r.image = image;
  r.verdict = verdict;
  return r;
}

TEST(EventStream, OneObjectPerRowChangeAndPerVerdictWithEveryField) {
  VirtualClock clock;
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  EventStreamView events(file, clock);
  clock.Advance(1500);

  RowModel scanned = Row("02-F:\\\\", 1, StatusClass::kNone);
  events.ShowRow(1, scanned);
  events.ShowRow(1, scanned);  // a scan rebuilding the same row: nothing new

  RowModel testing = Row("02-(rw-test) 37 %", 5, StatusClass::kInProgress);
  testing.inRun = true;
  testing.phase = RowPhase::kRwTest;
  testing.progress = 37;
  testing.rate = 12.34e6;
  testing.estimatedEndMs = clock.MonotonicMs() + 41500;
  events.ShowRow(1, testing);
  testing.rate = 13e6;  // the rate alone: no new object
  events.ShowRow(1, testing);

  RowModel passed = Row("02-:Pass", 6, StatusClass::kPass);
  passed.inRun = true;
  passed.phase = RowPhase::kImage;
  passed.progress = 100;
  passed.rate = 13e6;
  events.ShowRow(1, passed);
  events.ShowVerdict(1, passed);
  EXPECT_TRUE(events.Healthy());

  const std::vector<Json> lines = Written(file);
  ASSERT_EQ(lines.size(), 4u);
  const char* keys[] = {"schema", "event", "time", "elapsed_ms", "row", "slot", "letter", "state",
                        "image", "text", "phase", "progress", "rate", "left_s"};
  for (const Json& j : lines) {
    for (const char* key : keys) EXPECT_TRUE(j.contains(key)) << key << " in " << j.dump();
    EXPECT_EQ(j["schema"], kEventSchemaVersion);
    EXPECT_EQ(j["row"], 1);
    EXPECT_EQ(j["slot"], 2);
    EXPECT_EQ(j["letter"], "F");
    EXPECT_EQ(j["time"], "2026-12-08T08:00:01.500Z") << "the virtual clock's start plus 1.5 s";
    EXPECT_EQ(j["elapsed_ms"], 1500);
  }
  EXPECT_EQ(lines[0]["event"], "row");
  EXPECT_EQ(lines[0]["state"], "idle");
  EXPECT_EQ(lines[0]["text"], "02-F:\\\\");
  EXPECT_TRUE(lines[0]["phase"].is_null());
  EXPECT_TRUE(lines[0]["progress"].is_null());
  EXPECT_TRUE(lines[0]["rate"].is_null());
  EXPECT_TRUE(lines[0]["left_s"].is_null());

  EXPECT_EQ(lines[1]["state"], "working");
  EXPECT_EQ(lines[1]["phase"], "rw-test");
  EXPECT_EQ(lines[1]["progress"], 37);
  EXPECT_DOUBLE_EQ(lines[1]["rate"].get<double>(), 12.3);  // MB/s, one decimal
  EXPECT_EQ(lines[1]["left_s"], 42);                        // rounded up
  EXPECT_EQ(lines[1]["image"], 5);

  EXPECT_EQ(lines[2]["event"], "row");
  EXPECT_EQ(lines[2]["state"], "pass");
  EXPECT_TRUE(lines[2]["left_s"].is_null());
  EXPECT_EQ(lines[3]["event"], "verdict");
  EXPECT_EQ(lines[3]["text"], "02-:Pass");
  EXPECT_DOUBLE_EQ(lines[3]["rate"].get<double>(), 13.0);
  std::fclose(file);
}

// A row's text carries bytes from the disk (its slot label): bytes that are
// not UTF-8 do not break the stream.
TEST(EventStream, BytesThatAreNotUtf8StayOneValidObject) {
  VirtualClock clock;
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  EventStreamView events(file, clock);
  RowModel odd = Row(std::string("0\xff-:Pass"), 6, StatusClass::kPass);
  odd.letter = 0;
  events.ShowRow(0, odd);
  const std::vector<Json> lines = Written(file);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["text"], "0\xEF\xBF\xBD-:Pass");  // U+FFFD
  EXPECT_TRUE(lines[0]["letter"].is_null());
  std::fclose(file);
}

#ifndef _WIN32
// A stream that cannot take a line (a full disk, a reader gone) leaves the
// station running and says so.
TEST(EventStream, AWriteThatFailsIsNoted) {
  VirtualClock clock;
  std::FILE* full = std::fopen("/dev/full", "w");
  if (full == nullptr) GTEST_SKIP() << "no /dev/full";
  EventStreamView events(full, clock);
  EXPECT_TRUE(events.Healthy());
  events.ShowVerdict(0, Row("01-:Pass", 6, StatusClass::kPass));
  EXPECT_FALSE(events.Healthy());
  std::fclose(full);
}
#endif

TEST(EventStream, AFileThatCannotBeOpenedIsSaid) {
  VirtualClock clock;
  std::string error;
  EXPECT_EQ(EventStreamView::Open("/nonexistent-dir/events.jsonl", clock, error), nullptr);
  EXPECT_NE(error.find("/nonexistent-dir/events.jsonl"), std::string::npos);
}

}  // namespace
}  // namespace kx20
