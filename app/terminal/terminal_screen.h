// The terminal console's picture of the main window, drawn into a plain
// character grid (Canvas) that the ncurses layer copies to the screen. Nothing
// here talks to a terminal, so the layout can be checked in tests.
//
// Layout at the smallest size, 80 x 24:
//   line 0      the window caption
//   lines 1-13  the slot list: ten slots in icon-view order, three per line,
//               each with its state image, row text and, under the text, its
//               run's step, bar and time (or its rate and time left)
//               (with the panel open the blank lines between slots go, 1-10)
//   next 3      the two source-image lines and the "Update" button
//   next 8      the settings panel, when open
//   line h-3    at the end of a run: which slots to pull and which failed
//   line h-2    the run's and the session's counts
//   line h-1    the key legend
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/station_model.h"

namespace kx20::terminal {

inline constexpr int kMinWidth = 80;
inline constexpr int kMinHeight = 24;

// How a cell is drawn. The ncurses layer maps each style to colours and
// attributes; every style is also readable without colour.
enum class Style : std::uint8_t {
  kNormal,
  kCaption,         // the window caption bar
  kFrame,           // group boxes, list frame
  kLabel,
  kField,           // an edit or drop-down's text
  kFieldFocus,      // the focused field
  kFieldDisabled,
  kButton,
  kButtonFocus,
  kButtonDisabled,
  kRowText,
  kRowSelected,     // the list's selection mark
  kRowSelectedFocus,
  kImageChip,       // 0: controller chip with a number
  kImageCardOk,     // 1: flash card on green
  kImageCardGrey,   // 2: grey flash card with a grey dot
  kImageChipRed,    // 3: dark red chip
  kImageFlames,     // 4: flames over a chip
  kImageWork,       // 5: document with an arrow into a chip
  kImagePass,       // 6: green "ok"
  kImageQuestion,   // 7: chip with a red question mark
  kImageEmpty,      // 8: flash card crossed out in red
  kBarDone,
  kBarTodo,
  kBarFailed,
  kStatus,
  kLegend,
  kBox,             // message boxes and menus
  kBoxTitle,
  kMenuSelected,
  kSearchHit,
};

struct Cell {
  char ch = ' ';
  Style style = Style::kNormal;
};

// A width x height grid of characters with a style each. Writes outside the
// grid are clipped.
class Canvas {
 public:
  Canvas(int width, int height);
  int Width() const { return width_; }
  int Height() const { return height_; }
  void Put(int y, int x, const std::string& text, Style style, int maxWidth = -1);
  void Fill(int y, int x, int width, char ch, Style style);
  // A frame of '+', '-' and '|' with an optional title in the top edge.
  void Frame(int y, int x, int height, int width, Style style, const std::string& title = "");
  const Cell& At(int y, int x) const;
  // One line as plain text (trailing spaces kept).
  std::string Line(int y) const;
  // The whole grid as text, one line per row, trailing spaces removed.
  std::string Text() const;

 private:
  int width_;
  int height_;
  std::vector<Cell> cells_;
};

// --- State images ------------------------------------------------------------

inline constexpr int kImageWidth = 5;
struct StateImage {
  const char* top;
  const char* bottom;
  Style style;
  Style topStyle;  // the flames are drawn apart from their chip
};
// The picture of state image `index` (0-8); any other index draws blank.
StateImage StateImageFor(int index);

// --- Slot list geometry ---------------------------------------------------------

inline constexpr int kSlotColumns = 3;
inline constexpr int kSlotCellWidth = 26;
inline constexpr int kRowTextWidth = 19;  // the longest row text: "01-:[tab-compare X]"
inline constexpr int kListRows = 10;

struct SlotCellPos {
  int y;  // first line (image top, row text)
  int x;  // image column; the text starts kImageWidth + 1 further
};
// Where row `row` (0-9) sits; `compact` drops the blank lines between lines of
// slots (the settings panel is open).
SlotCellPos SlotCellPosition(int row, bool compact);
// First line below the slot list's frame.
int ListBottom(bool compact);

// --- Settings panel geometry ------------------------------------------------------

enum class FieldKind { kEdit, kUpperEdit, kCombo, kCheck, kPercent, kButton };

struct PanelField {
  int id;
  FieldKind kind;
  const char* label;  // drawn before the field ("" none); a check box's caption after it
  int line;           // panel line, 0-7
  int labelX;
  int x;              // the field's column
  int width;          // the field's width (check box: 3)
};
// Every panel control that can be shown, in the layout order (the focus
// order of Tab).
const std::vector<PanelField>& PanelFields();
const PanelField* FindPanelField(int id);
inline constexpr int kPanelLines = 8;
// First line of the panel (the panel is open).
int PanelTop();

// --- The line under a row -------------------------------------------------------

// "mm:ss" (or "h:mm:ss" from an hour on).
std::string FormatElapsed(std::uint64_t ms);
// The line under a row's text, at most kRowTextWidth characters, drawn from
// the row's run in the model; empty for a row without a worker in the run.
//   while the read/write test or the image steps are measured:
//     the rate and the time left ("12.3MB/s 00:42 left")
//   otherwise: the step's letter (T table, E erase, R read/write test,
//     I image; = passed, X failed), a bar of the progress within the step,
//     and the time since the worker started (stopped at the verdict):
//     "R[###.....] 00:12"
std::string ProgressLine(const RowModel& row, std::uint64_t nowMs);

}  // namespace kx20::terminal
