#include "app/event_stream_view.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace kx20 {
namespace {

const char* StateName(StatusClass c) {
  switch (c) {
    case StatusClass::kInProgress: return "working";
    case StatusClass::kPass: return "pass";
    case StatusClass::kFail: return "fail";
    case StatusClass::kEmpty: return "empty";
    case StatusClass::kNone: break;
  }
  return "idle";
}

std::string IsoTime(const CalendarTime& t) {
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.millisecond);
  return text;
}

}  // namespace

EventStreamView::EventStreamView(std::FILE* out, Clock& clock)
    : out_(out), clock_(clock), startMs_(clock.MonotonicMs()) {}

EventStreamView::~EventStreamView() {
  if (owned_ && out_ != nullptr) std::fclose(out_);
}

std::unique_ptr<EventStreamView> EventStreamView::Open(const std::string& path, Clock& clock,
                                                       std::string& error) {
  if (path == "-") return std::make_unique<EventStreamView>(stdout, clock);
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) {
    error = "cannot open " + path + " for the event stream";
    return nullptr;
  }
  auto view = std::make_unique<EventStreamView>(file, clock);
  view->owned_ = true;
  return view;
}

std::string EventStreamView::Line(const char* event, int row, const RowModel& state) {
  using Json = nlohmann::ordered_json;
  const bool settled = state.Settled();
  const bool measured = state.rate > 0;
  Json j;
  j["schema"] = kEventSchemaVersion;
  j["event"] = event;
  j["time"] = IsoTime(clock_.UtcNow());
  j["elapsed_ms"] = clock_.MonotonicMs() - startMs_;
  j["row"] = row;
  j["slot"] = row + 1;  // row r shows slot r + 1
  j["letter"] = state.letter != 0 ? Json(std::string(1, state.letter)) : Json(nullptr);
  j["state"] = StateName(state.verdict);
  j["image"] = state.image;
  j["text"] = state.text;
  j["phase"] = state.phase != RowPhase::kNone ? Json(PhaseName(state.phase)) : Json(nullptr);
  j["progress"] = state.inRun && state.progress >= 0 ? Json(state.progress) : Json(nullptr);
  j["rate"] = measured ? Json(std::round(state.rate / 1e5) / 10.0) : Json(nullptr);  // MB/s
  const std::uint64_t now = clock_.MonotonicMs();
  j["left_s"] = !settled && state.estimatedEndMs != 0
                    ? Json(state.estimatedEndMs > now ? (state.estimatedEndMs - now + 999) / 1000 : 0)
                    : Json(nullptr);
  // Row texts carry bytes from the disks (the slot label): any that are not
  // UTF-8 become U+FFFD rather than break the line.
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void EventStreamView::Write(const std::string& line) {
  if (out_ == nullptr) return;
  const bool whole = std::fwrite(line.data(), 1, line.size(), out_) == line.size() &&
                     std::fputc('\n', out_) != EOF && std::fflush(out_) == 0;
  if (!whole) healthy_ = false;
}

void EventStreamView::ShowRow(int row, const RowModel& state) {
  if (row < 0) return;
  if (static_cast<std::size_t>(row) >= shown_.size()) shown_.resize(static_cast<std::size_t>(row) + 1);
  Shown& last = shown_[static_cast<std::size_t>(row)];
  if (last.written && last.text == state.text && last.image == state.image &&
      last.verdict == state.verdict && last.phase == state.phase && last.letter == state.letter) {
    return;
  }
  last = {state.text, state.image, state.verdict, state.phase, state.letter, true};
  Write(Line("row", row, state));
}

void EventStreamView::ShowVerdict(int row, const RowModel& state) {
  if (row < 0) return;
  Write(Line("verdict", row, state));
}

}  // namespace kx20
