// EventStreamView: what the station shows, as a stream of JSON objects, one
// per line (JSON Lines), for those who automate a line: stack lights, PLCs,
// line displays. It is one more ConsoleView, told by the model writer like
// every other view, so its objects come in the order the station makes the
// changes: one for each change of a row (its text, state image, state, step
// or disk) and one for each verdict, right after the row that shows it.
//
// Each object (schema 1; docs/operator-guide.md lists the fields):
//   {"schema":1,"event":"row"|"verdict","time":"2026-12-08T05:47:15.123Z",
//    "elapsed_ms":1234,"row":0,"slot":1,"letter":"E"|null,
//    "state":"idle"|"working"|"pass"|"fail"|"empty","image":5,
//    "text":"01-(rw-test) 37 %","phase":"table"|"erase"|"rw-test"|"image"|null,
//    "progress":37|null,"rate":12.3|null,"left_s":42|null}
//
// Console thread only. Each line is flushed as it is written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/console_view.h"
#include "common/clock.h"

namespace kx20 {

inline constexpr int kEventSchemaVersion = 1;

class EventStreamView final : public ConsoleView {
 public:
  // Writes to `out` (not closed by the view).
  EventStreamView(std::FILE* out, Clock& clock);
  ~EventStreamView() override;
  // "-": standard output; anything else a file, appended to. Null with
  // `error` set when the file cannot be opened.
  static std::unique_ptr<EventStreamView> Open(const std::string& path, Clock& clock,
                                               std::string& error);

  // The line of one row's change or verdict (exposed for the tests).
  std::string Line(const char* event, int row, const RowModel& state);
  // True while every line so far was written whole.
  bool Healthy() const { return healthy_; }

  void ShowRow(int row, const RowModel& state) override;
  void ShowVerdict(int row, const RowModel& state) override;

  // The rest of the window is not part of the stream.
  void SetControlText(int, const std::string&) override {}
  void SetCheck(int, bool) override {}
  void SetEnabled(int, bool) override {}
  void SetVisible(int, bool) override {}
  void SetFocus(int) override {}
  void AddComboEntry(int, const std::string&) override {}
  void SetTextLimit(int, int) override {}
  void ClearRows() override {}
  void InsertRow(int, const std::string&, int) override {}
  void SetRowText(int, const std::string&) override {}
  void SetRowImage(int, int) override {}
  void SetSelectionMark(int) override {}
  void ShowMessageBox(const std::string&, const std::string&) override {}
  void SetPanelExpanded(bool) override {}

 private:
  // What a row's last "row" object said: a row object is written only when
  // one of these changed.
  struct Shown {
    std::string text;
    int image = -1;
    StatusClass verdict = StatusClass::kNone;
    RowPhase phase = RowPhase::kNone;
    char letter = 0;
    bool written = false;
  };
  void Write(const std::string& line);

  std::FILE* out_;
  bool owned_ = false;
  Clock& clock_;
  std::uint64_t startMs_;
  bool healthy_ = true;
  std::vector<Shown> shown_;
};

}  // namespace kx20
