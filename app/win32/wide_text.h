#pragma once
// Text between the Windows code pages and UTF-16 (Windows only).

#include <windows.h>

#include <string>

namespace kx20 {

// `text` read in `codePage` as UTF-16; empty when it is empty or cannot be
// read (`flags` as MultiByteToWideChar takes them, e.g. MB_ERR_INVALID_CHARS).
inline std::wstring WideFromCodePage(const std::string& text, UINT codePage, DWORD flags = 0) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(codePage, flags, text.data(), size, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(codePage, flags, text.data(), size, wide.data(), length);
  return wide;
}

// UTF-16 as UTF-8; empty when it is empty or cannot be converted.
inline std::string Utf8FromWide(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string utf8(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), length, nullptr, nullptr);
  return utf8;
}

}  // namespace kx20
