#include "app/terminal/terminal_screen.h"

#include <algorithm>
#include <cstdio>

#include "app/station.h"
#include "app/station_report.h"
#include "config/settings.h"

namespace kx20::terminal {

// --- Canvas -----------------------------------------------------------------------

Canvas::Canvas(int width, int height)
    : width_(std::max(width, 0)),
      height_(std::max(height, 0)),
      cells_(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_)) {}

void Canvas::Put(int y, int x, const std::string& text, Style style, int maxWidth) {
  if (y < 0 || y >= height_) return;
  const int n = maxWidth < 0 ? static_cast<int>(text.size())
                             : std::min(static_cast<int>(text.size()), maxWidth);
  for (int i = 0; i < n; ++i) {
    const int cx = x + i;
    if (cx < 0 || cx >= width_) continue;
    char ch = text[static_cast<std::size_t>(i)];
    // Control characters would move the terminal's cursor: draw them as '?'.
    if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) >= 0x7F) ch = '?';
    cells_[static_cast<std::size_t>(y * width_ + cx)] = Cell{ch, style};
  }
}

void Canvas::Fill(int y, int x, int width, char ch, Style style) {
  if (width <= 0) return;
  Put(y, x, std::string(static_cast<std::size_t>(width), ch), style);
}

void Canvas::Frame(int y, int x, int height, int width, Style style, const std::string& title) {
  if (height < 2 || width < 2) return;
  std::string edge(static_cast<std::size_t>(width), '-');
  edge.front() = '+';
  edge.back() = '+';
  Put(y, x, edge, style);
  Put(y + height - 1, x, edge, style);
  for (int i = 1; i < height - 1; ++i) {
    Put(y + i, x, "|", style);
    Put(y + i, x + width - 1, "|", style);
  }
  if (!title.empty()) Put(y, x + 2, title, style, width - 4);
}

const Cell& Canvas::At(int y, int x) const {
  static const Cell kOutside{};
  if (y < 0 || y >= height_ || x < 0 || x >= width_) return kOutside;
  return cells_[static_cast<std::size_t>(y * width_ + x)];
}

std::string Canvas::Line(int y) const {
  std::string line;
  if (y < 0 || y >= height_) return line;
  line.reserve(static_cast<std::size_t>(width_));
  for (int x = 0; x < width_; ++x) line += At(y, x).ch;
  return line;
}

std::string Canvas::Text() const {
  std::string text;
  for (int y = 0; y < height_; ++y) {
    std::string line = Line(y);
    line.erase(line.find_last_not_of(' ') + 1);
    text += line;
    text += '\n';
  }
  return text;
}

// --- State images -------------------------------------------------------------------

StateImage StateImageFor(int index) {
  // Chips have pins on top; flash cards a cut corner. Each picture is told
  // apart by its characters alone, the colour only adds to it.
  switch (index) {
    case 0: return {".'''.", "|#42|", Style::kImageChip, Style::kImageChip};
    case 1: return {"/```]", "[_+_]", Style::kImageCardOk, Style::kImageCardOk};
    case 2: return {"/```]", "[_o_]", Style::kImageCardGrey, Style::kImageCardGrey};
    case 3: return {".'''.", "|###|", Style::kImageChipRed, Style::kImageChipRed};
    case 4: return {"^v^v^", "|###|", Style::kImageChipRed, Style::kImageFlames};
    case 5: return {"[=].'", "[=]>#", Style::kImageWork, Style::kImageWork};
    case 6: return {".---.", "|ok!|", Style::kImagePass, Style::kImagePass};
    case 7: return {".'?'.", "|_?_|", Style::kImageQuestion, Style::kImageQuestion};
    case 8: return {"/`X`]", "[_X_]", Style::kImageEmpty, Style::kImageEmpty};
    default: return {"     ", "     ", Style::kNormal, Style::kNormal};
  }
}

// --- Geometry ------------------------------------------------------------------------

SlotCellPos SlotCellPosition(int row, bool compact) {
  const int line = row / kSlotColumns;
  const int column = row % kSlotColumns;
  return {2 + line * (compact ? 2 : 3), 1 + column * kSlotCellWidth};
}

int ListBottom(bool compact) {
  const int lines = (kListRows + kSlotColumns - 1) / kSlotColumns;
  // Frame top at line 1, the slot lines, frame bottom.
  return 2 + lines * (compact ? 2 : 3) - (compact ? 0 : 1) + 1;
}

int PanelTop() { return ListBottom(true) + 3; }

const std::vector<PanelField>& PanelFields() {
  namespace sc = settings_control;
  namespace ctl = station_control;
  static const std::vector<PanelField> kFields = {
      // "CID Info " group, columns 0-37.
      {sc::kProductName, FieldKind::kEdit, "PDU NAME", 1, 1, 10, 8},
      {sc::kManufacturerId, FieldKind::kUpperEdit, "MID", 2, 1, 10, 3},
      {sc::kOemApplicationId, FieldKind::kUpperEdit, "OEM ID", 2, 16, 23, 5},
      {sc::kProductRevision, FieldKind::kUpperEdit, "PRV", 3, 1, 10, 3},
      {sc::kManufacturingYear, FieldKind::kCombo, "DATE", 3, 16, 23, 6},
      {sc::kManufacturingMonth, FieldKind::kCombo, "", 3, 0, 30, 4},
      {sc::kChangeSerialNumber, FieldKind::kCheck, "Change serial number", 4, 1, 22, 3},
      {sc::kProductSerial, FieldKind::kUpperEdit, "PSN", 5, 1, 10, 8},
      // "CSD Info" group, columns 38-79.
      {sc::kCapacityShown, FieldKind::kEdit, "CSD DATA", 1, 40, 49, 10},
      {sc::kCapacitySelection, FieldKind::kCombo, "", 1, 0, 40, 8},
      {sc::kCardSpecificData, FieldKind::kUpperEdit, "", 2, 0, 49, 30},
      {sc::kFlash1, FieldKind::kCombo, "FLASH 1", 3, 40, 48, 8},
      {sc::kFlash2, FieldKind::kCombo, "FLASH 2", 3, 58, 66, 8},
      {sc::kWriteDelay, FieldKind::kEdit, "DELAY", 3, 40, 48, 3},
      {sc::kEcc, FieldKind::kCombo, "ECC", 3, 58, 66, 3},
      // "Other Info" group.
      {sc::kRwTest, FieldKind::kCheck, "Read Write Test", 6, 43, 39, 3},
      {sc::kRwValue, FieldKind::kPercent, "", 6, 0, 59, 3},
      {sc::kEraseFlash, FieldKind::kCheck, "Erase Flash", 6, 68, 64, 3},
      // Below the "CID Info " group.
      {ctl::kSaveConfigure, FieldKind::kButton, "Save configure", 7, 0, 1, 18},
  };
  return kFields;
}

const PanelField* FindPanelField(int id) {
  for (const PanelField& f : PanelFields()) {
    if (f.id == id) return &f;
  }
  return nullptr;
}

// --- The line under a row -----------------------------------------------------------

std::string FormatElapsed(std::uint64_t ms) {
  const std::uint64_t seconds = ms / 1000;
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02u:%02u",
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%02u:%02u", static_cast<unsigned>(seconds / 60),
                  static_cast<unsigned>(seconds % 60));
  }
  return text;
}

std::string ProgressLine(const RowModel& row, std::uint64_t nowMs) {
  if (!row.inRun) return "";
  const bool settled = row.Settled();
  const bool measured = row.phase == RowPhase::kRwTest || row.phase == RowPhase::kImage;
  if (!settled && measured && row.rate > 0 && row.estimatedEndMs != 0) {
    const std::uint64_t left = row.estimatedEndMs > nowMs ? row.estimatedEndMs - nowMs : 0;
    std::string line = FormatRate(row.rate) + " " + FormatElapsed(left);
    if (line.size() + 5 <= static_cast<std::size_t>(kRowTextWidth)) line += " left";
    if (static_cast<int>(line.size()) > kRowTextWidth) line.resize(kRowTextWidth);
    return line;
  }
  char phase = 'T';  // table steps
  switch (row.phase) {
    case RowPhase::kErase: phase = 'E'; break;
    case RowPhase::kRwTest: phase = 'R'; break;
    case RowPhase::kImage: phase = 'I'; break;
    default: break;
  }
  if (settled) phase = row.verdict == StatusClass::kFail ? 'X' : '=';
  constexpr int kBar = 8;
  const int filled = std::clamp(row.progress, 0, 100) * kBar / 100;
  std::string line(1, phase);
  line += '[';
  line += std::string(static_cast<std::size_t>(filled), '#');
  line += std::string(static_cast<std::size_t>(kBar - filled), '.');
  line += "] ";
  const std::uint64_t end = settled ? row.endMs : nowMs;
  line += FormatElapsed(end >= row.startMs ? end - row.startMs : 0);
  if (static_cast<int>(line.size()) > kRowTextWidth) line.resize(kRowTextWidth);
  return line;
}

}  // namespace kx20::terminal
