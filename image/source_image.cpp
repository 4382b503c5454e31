#include "image/source_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ios>

#include "common/byte_order.h"

namespace kx20 {
namespace {

// Reads up to `count` bytes; returns how many arrived (0 on any error).
std::size_t ReadSome(std::ifstream& file, std::uint8_t* out, std::size_t count) {
  if (!file) return 0;
  file.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count));
  const std::streamsize got = file.gcount();
  return got > 0 ? static_cast<std::size_t>(got) : 0;
}

// Moves to a byte position given in sectors; false when the stream refuses.
bool SeekSector(std::ifstream& file, std::uint32_t sector) {
  file.clear();
  file.seekg(static_cast<std::streamoff>(std::uint64_t{sector} * 512), std::ios::beg);
  return static_cast<bool>(file);
}

// Opens the source image for reading, only if it is a regular file. False
// with `failure` (when given) in words, left empty for a missing file.
bool OpenSourceFile(const std::string& path, std::ifstream& file, std::string* failure) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  const std::string name = fs::path(path).filename().string();
  const auto fail = [&](const std::string& why) {
    if (failure != nullptr) *failure = name + " cannot be read: " + why;
    return false;
  };
  if (status.type() == fs::file_type::not_found) return false;
  if (error) return fail(error.message());
  if (status.type() == fs::file_type::directory) return fail("it is a directory");
  if (status.type() != fs::file_type::regular) return fail("it is not a regular file");
  file.open(path, std::ios::binary);
  if (!file) return fail("it cannot be opened");
  return true;
}

}  // namespace

bool SourceSection::HasSignature(const char* expected) const {
  return std::memcmp(signature.data(), expected, signature.size()) == 0;
}

std::string SourceSection::Name() const {
  const auto end = std::find(name.begin(), name.end(), '\0');
  return std::string(name.begin(), end);
}

SourceSection ParseSourceSection(const std::uint8_t* bytes) {
  SourceSection s;
  std::memcpy(s.signature.data(), bytes, 4);
  s.offset = GetLe32(bytes + 4);
  s.size = GetLe32(bytes + 8);
  std::memcpy(s.name.data(), bytes + 16, kSourceNameBytes);
  return s;
}

SourceImageHeader ParseSourceImageHeader(const std::uint8_t* bytes) {
  return SourceImageHeader{ParseSourceSection(bytes), ParseSourceSection(bytes + kSourceSectionBytes)};
}

void EncodeSourceSection(const SourceSection& section, std::uint8_t* bytes) {
  std::memset(bytes, 0, kSourceSectionBytes);
  std::memcpy(bytes, section.signature.data(), 4);
  PutLe32(bytes + 4, section.offset);
  PutLe32(bytes + 8, section.size);
  std::memcpy(bytes + 16, section.name.data(), kSourceNameBytes);
}

std::string FormatSourceInfoLine(const SourceSection& section, const char* emptyText) {
  if (section.size == 0) return emptyText;
  // The numbers show as signed decimals, as the window always showed them.
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, " cap[%d],offset[%d]", static_cast<std::int32_t>(section.size),
                static_cast<std::int32_t>(section.offset));
  std::string line = section.Name();
  if (line.size() < kSourceNameBytes) line.append(kSourceNameBytes - line.size(), ' ');
  return line + numbers;
}

bool ReadSourceFileInfo(const std::string& path, std::string& diskInfoText, std::string& romInfoText,
                        std::string* failure) {
  std::ifstream file;
  if (!OpenSourceFile(path, file, failure)) return false;
  std::array<std::uint8_t, kSourceHeaderBytes> header{};
  if (ReadSome(file, header.data(), header.size()) < header.size()) return true;
  const SourceImageHeader h = ParseSourceImageHeader(header.data());
  if (h.rom.HasSignature("UROM")) romInfoText = FormatSourceInfoLine(h.rom, "No ROM info");
  if (h.disk.HasSignature("DISK")) diskInfoText = FormatSourceInfoLine(h.disk, "No DISK info");
  return true;
}

bool LoadCodeFlashData(const std::string& path, CodeFlashData& data) {
  std::ifstream file;
  if (!OpenSourceFile(path, file, nullptr)) return false;
  data.fill(0);

  std::array<std::uint8_t, kSourceHeaderBytes> header{};
  if (ReadSome(file, header.data(), header.size()) < header.size()) return true;
  const SourceImageHeader h = ParseSourceImageHeader(header.data());

  // ROM area from byte 0; an area longer than the buffer is cut at its end.
  if (h.rom.HasSignature("UROM") && h.rom.size != 0 && SeekSector(file, h.rom.offset)) {
    const std::uint64_t wanted = std::uint64_t{h.rom.size} * 512;
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, data.size()));
    ReadSome(file, data.data(), count);
  }

  // DISK area in 16 KB chunks from byte 16,384, until the running total
  // exceeds the area's size or the buffer is full.
  if (h.disk.HasSignature("DISK") && h.disk.size != 0 && SeekSector(file, h.disk.offset)) {
    const std::uint64_t limit = std::uint64_t{h.disk.size} * 512;
    std::uint64_t total = 0;
    for (std::size_t chunk = 1; chunk <= kCodeFlashDiskChunks; ++chunk) {
      const std::size_t got = ReadSome(file, data.data() + chunk * kCodeFlashChunkBytes, kCodeFlashChunkBytes);
      total += got;
      if (total > limit || got == 0) break;
    }
  }
  return true;
}

}  // namespace kx20
