// What the terminal controller's widget files share: the layout constants,
// the system menu's entries and small text helpers. Internal to
// app/terminal/terminal_*.cpp.
#pragma once

#include <cctype>
#include <string>
#include <vector>

#include "app/terminal/terminal_screen.h"

namespace kx20::terminal::widgets {

inline constexpr int kUpdateWidth = 12;
inline constexpr const char* kLegend =
    "Space:Start Tab:Next Enter:Press/Log F2:Configure F1:About F10:Menu Esc:Quit";
inline constexpr const char* kAppIconTop = ".''''.";
inline constexpr const char* kAppIconBottom = "|KX20|";

struct MenuEntry {
  const char* label;  // "" for a separator
  int item;           // MenuItem, -1 for a separator
};
// The system menu: the standard item, then what the window appends.
inline const MenuEntry kMenu[] = {
    {"Close               Esc", 0},
    {"", -1},
    {"Configure           F2", 1},
    {"", -1},
    {"About KX20 ProductionTools  F1", 2},
};
inline constexpr int kMenuCount = static_cast<int>(sizeof kMenu / sizeof kMenu[0]);

inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else if (c != '\r') {
      line += c;
    }
  }
  lines.push_back(line);
  return lines;
}

inline bool IsTextField(FieldKind kind) {
  return kind == FieldKind::kEdit || kind == FieldKind::kUpperEdit ||
         kind == FieldKind::kCombo || kind == FieldKind::kPercent;
}

inline std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace kx20::terminal::widgets
