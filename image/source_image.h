// The source image file ("Pelorin.img"): a 512-byte header with a ROM and a
// DISK descriptor, followed by the areas they describe. The main window shows
// two info lines from the header; the code-flash start loads both areas into
// the 512 KB CodeFlashData.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kx20 {

inline constexpr const char* kSourceImageFileName = "Pelorin.img";
inline constexpr std::size_t kSourceHeaderBytes = 512;
inline constexpr std::size_t kSourceSectionBytes = 32;
inline constexpr std::size_t kSourceNameBytes = 16;

inline constexpr std::size_t kCodeFlashBytes = 524'288;      // 512 KB
inline constexpr std::size_t kCodeFlashChunkBytes = 16'384;  // ROM area start; DISK chunk size
inline constexpr std::size_t kCodeFlashDiskChunks = 31;      // bytes 16,384 to the end

using CodeFlashData = std::array<std::uint8_t, kCodeFlashBytes>;

// One 32-byte descriptor (little-endian integers).
struct SourceSection {
  std::array<char, 4> signature{};  // "UROM" or "DISK", no terminator
  std::uint32_t offset = 0;         // in 512-byte sectors from the file's start
  std::uint32_t size = 0;           // in 512-byte sectors; 0 = empty area
  std::array<char, kSourceNameBytes> name{};  // NUL-terminated, or all 16 used

  bool HasSignature(const char* expected) const;  // four letters
  std::string Name() const;                       // up to the NUL, at most 16 characters
};

struct SourceImageHeader {
  SourceSection rom;   // bytes 0-31
  SourceSection disk;  // bytes 32-63
};

SourceSection ParseSourceSection(const std::uint8_t* bytes);                        // 32 bytes
SourceImageHeader ParseSourceImageHeader(const std::uint8_t* bytes);                // 512 bytes
void EncodeSourceSection(const SourceSection& section, std::uint8_t* bytes);        // 32 bytes

// "%-16s cap[%d],offset[%d]" with the name, size and offset, or `emptyText`
// when the size is 0.
std::string FormatSourceInfoLine(const SourceSection& section, const char* emptyText);

// Reads the header of `path` and updates the info lines: the ROM line when the
// ROM descriptor carries "UROM" ("No ROM info" for an empty area), the DISK
// line likewise ("DISK", "No DISK info"). A file that does not open or is
// shorter than 512 bytes changes nothing. Only a regular file is opened (a
// FIFO of that name would hold the open until a writer came). Returns false
// when the file could not be read; `failure` (when given) then says why for
// the operator ("Pelorin.img cannot be read: it is not a regular file"), and
// stays empty for a file that simply is not there. Never throws.
bool ReadSourceFileInfo(const std::string& path, std::string& diskInfoText, std::string& romInfoText,
                        std::string* failure = nullptr);

// Loads the ROM area to bytes 0 onward and the DISK area in 16 KB chunks to
// bytes 16,384 onward (the DISK data wins where the two overlap); bytes the
// file does not supply are zero. Returns false, leaving `data` unchanged,
// only when the file does not open (missing, or not a regular file: it is
// never opened then). Every read is bounded by the buffer; a
// failed seek or read ends that area, keeping what arrived before it.
bool LoadCodeFlashData(const std::string& path, CodeFlashData& data);

}  // namespace kx20
