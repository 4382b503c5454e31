#include "app/win32/win32_console_view.h"

#include <commctrl.h>

#include <cstdint>

namespace kx20 {
namespace {

constexpr int kCidGroup = 1025;
constexpr int kOtherGroup = 1049;
constexpr int kSlotList = 1007;

std::string WindowText(HWND window) {
  if (window == nullptr) return {};
  const int length = GetWindowTextLengthA(window);
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  const int n = GetWindowTextA(window, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(n > 0 ? n : 0));
  return text;
}

std::string ClassName(HWND window) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return name;
}

}  // namespace

Win32ConsoleView::Win32ConsoleView() : start_(std::chrono::steady_clock::now()) {}

void Win32ConsoleView::Attach(HWND dialog) {
  dialog_ = dialog;
}

void Win32ConsoleView::Detach() { detached_ = true; }

void Win32ConsoleView::SetShownDifferently(std::function<void(int, const std::string&)> report) {
  shownDifferently_ = std::move(report);
}

bool Win32ConsoleView::OpenRowTrace(const std::string& path) {
  trace_.open(path, std::ios::app);
  return trace_.is_open();
}

void Win32ConsoleView::Post(const std::function<void()>& body) {
  if (!detached_) body();
}

void Win32ConsoleView::Ask(const std::function<void()>& body) {
  if (!detached_) body();
}

HWND Win32ConsoleView::Item(int id) const { return GetDlgItem(dialog_, id); }
HWND Win32ConsoleView::List() const { return GetDlgItem(dialog_, kSlotList); }

// --- Controls --------------------------------------------------------------------

void Win32ConsoleView::SetControlText(int id, const std::string& text) {
  Post([this, id, text] {
    const HWND control = Item(id);
    if (control == nullptr) return;
    if (ClassName(control) == "ComboBox" &&
        (GetWindowLongA(control, GWL_STYLE) & 0x3) == CBS_DROPDOWNLIST) {
      // A list without an edit part shows the entry of that text, if any.
      const LRESULT index =
          SendMessageA(control, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                       reinterpret_cast<LPARAM>(text.c_str()));
      SendMessageA(control, CB_SETCURSEL, index == CB_ERR ? static_cast<WPARAM>(-1)
                                                          : static_cast<WPARAM>(index), 0);
      // No notification comes for that: the list tells what it shows.
      if (index == CB_ERR && shownDifferently_) shownDifferently_(id, std::string());
      return;
    }
    SetWindowTextA(control, text.c_str());
  });
}

std::string Win32ConsoleView::GetControlText(int id) {
  std::string text;
  Ask([&] { text = WindowText(Item(id)); });
  return text;
}

void Win32ConsoleView::SetCheck(int id, bool checked) {
  Post([this, id, checked] {
    SendMessageA(Item(id), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  });
}

bool Win32ConsoleView::GetCheck(int id) {
  bool checked = false;
  Ask([&] { checked = SendMessageA(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; });
  return checked;
}

void Win32ConsoleView::SetEnabled(int id, bool enabled) {
  Post([this, id, enabled] { EnableWindow(Item(id), enabled ? TRUE : FALSE); });
}

bool Win32ConsoleView::IsEnabled(int id) {
  bool enabled = false;
  Ask([&] { enabled = IsWindowEnabled(Item(id)) != FALSE; });
  return enabled;
}

void Win32ConsoleView::SetVisible(int id, bool visible) {
  Post([this, id, visible] { ShowWindow(Item(id), visible ? SW_SHOW : SW_HIDE); });
}

bool Win32ConsoleView::IsVisible(int id) {
  bool visible = false;
  Ask([&] {
    const HWND control = Item(id);
    visible = control != nullptr && (GetWindowLongA(control, GWL_STYLE) & WS_VISIBLE) != 0;
  });
  return visible;
}

void Win32ConsoleView::SetFocus(int id) {
  Post([this, id] {
    // Keyboard focus on a hidden or disabled control would leave the
    // operator's keys nowhere useful: such a request leaves the focus alone.
    const HWND control = Item(id);
    if (control == nullptr || !IsWindowVisible(control) || !IsWindowEnabled(control)) return;
    SendMessageA(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
  });
}

void Win32ConsoleView::AddComboEntry(int id, const std::string& entry) {
  Post([this, id, entry] {
    SendMessageA(Item(id), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
  });
}

void Win32ConsoleView::SetTextLimit(int id, int maxChars) {
  Post([this, id, maxChars] {
    const HWND control = Item(id);
    if (ClassName(control) == "Edit") {
      SendMessageA(control, EM_LIMITTEXT, static_cast<WPARAM>(maxChars), 0);
    }
  });
}

// --- Slot list ---------------------------------------------------------------------

void Win32ConsoleView::TraceRow(int) { rowsChanged_ = true; }

void Win32ConsoleView::FlushRowTrace() {
  if (!rowsChanged_) return;
  rowsChanged_ = false;
  if (!trace_.is_open()) return;
  const int count = static_cast<int>(SendMessageA(List(), LVM_GETITEMCOUNT, 0, 0));
  std::vector<MemoryConsoleView::Row> rows;
  for (int row = 0; row < count; ++row) {
    char text[260] = {};
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_IMAGE;
    item.iItem = row;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    SendMessageA(List(), LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    rows.push_back({text, item.iImage});
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start_);
  for (const RowChangeTracker::Change& c : tracker_.Update(rows)) {
    trace_ << FormatRowLine(static_cast<std::uint64_t>(elapsed.count()), c.row, c.image, c.text)
           << '\n';
  }
  trace_.flush();
}

void Win32ConsoleView::ClearRows() {
  Post([this] { SendMessageA(List(), LVM_DELETEALLITEMS, 0, 0); });
}

void Win32ConsoleView::InsertRow(int row, const std::string& text, int image) {
  Post([this, row, text, image] {
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_IMAGE;
    item.iItem = row;
    item.pszText = const_cast<char*>(text.c_str());
    item.iImage = image;
    const LRESULT index = SendMessageA(List(), LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
    if (index >= 0) TraceRow(static_cast<int>(index));
  });
}

void Win32ConsoleView::SetRowText(int row, const std::string& text) {
  Post([this, row, text] {
    LVITEMA item{};
    item.iSubItem = 0;
    item.pszText = const_cast<char*>(text.c_str());
    SendMessageA(List(), LVM_SETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    SendMessageA(List(), LVM_REDRAWITEMS, static_cast<WPARAM>(row), static_cast<LPARAM>(row));
    TraceRow(row);
  });
}

std::string Win32ConsoleView::GetRowText(int row) {
  std::string result;
  Ask([&] {
    char text[260] = {};
    LVITEMA item{};
    item.iSubItem = 0;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    SendMessageA(List(), LVM_GETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    result = text;
  });
  return result;
}

void Win32ConsoleView::SetRowImage(int row, int image) {
  Post([this, row, image] {
    LVITEMA item{};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    item.iImage = image;
    SendMessageA(List(), LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    SendMessageA(List(), LVM_REDRAWITEMS, static_cast<WPARAM>(row), static_cast<LPARAM>(row));
    TraceRow(row);
  });
}

int Win32ConsoleView::GetRowImage(int row) {
  int image = -1;
  Ask([&] {
    LVITEMA item{};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    if (SendMessageA(List(), LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item)) != FALSE) {
      image = item.iImage;
    }
  });
  return image;
}

int Win32ConsoleView::RowCount() {
  int count = 0;
  Ask([&] { count = static_cast<int>(SendMessageA(List(), LVM_GETITEMCOUNT, 0, 0)); });
  return count;
}

void Win32ConsoleView::SetSelectionMark(int row) {
  Post([this, row] { SendMessageA(List(), LVM_SETSELECTIONMARK, 0, static_cast<LPARAM>(row)); });
}

// --- Window -----------------------------------------------------------------------------

void Win32ConsoleView::ShowMessageBox(const std::string& text, const std::string& caption) {
  Ask([&] { MessageBoxA(dialog_, text.c_str(), caption.c_str(), MB_OK); });
}

int Win32ConsoleView::CollapsedHeight() {
  RECT window{}, cid{};
  GetWindowRect(dialog_, &window);
  GetWindowRect(Item(kCidGroup), &cid);
  return cid.top - window.top;
}

int Win32ConsoleView::ExpandedHeight() {
  RECT window{}, other{};
  GetWindowRect(dialog_, &window);
  GetWindowRect(Item(kOtherGroup), &other);
  return other.bottom - window.top + 10;
}

void Win32ConsoleView::MoveToCentreTopmost() {
  RECT window{};
  GetWindowRect(dialog_, &window);
  const int width = window.right - window.left;
  const int height = window.bottom - window.top;
  const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  SetWindowPos(dialog_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
  SetWindowPos(dialog_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32ConsoleView::SetPanelExpanded(bool expanded) {
  Post([this, expanded] {
    RECT window{};
    GetWindowRect(dialog_, &window);
    const int height = expanded ? ExpandedHeight() : CollapsedHeight();
    SetWindowPos(dialog_, nullptr, 0, 0, window.right - window.left, height,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    expanded_ = expanded;
    MoveToCentreTopmost();
  });
}

bool Win32ConsoleView::IsPanelExpanded() {
  bool expanded = false;
  Ask([&] { expanded = expanded_; });
  return expanded;
}

}  // namespace kx20
