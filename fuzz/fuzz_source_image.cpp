// The source image: any 512-byte header parses, its sections encode back to
// the same bytes and name at most 16 characters; LoadCodeFlashData reads any
// file (short, long, lying offsets and sizes) without leaving its buffer, and
// takes its ROM area from the file where the header says it is.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "image/source_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kx20;
  std::uint8_t header[512] = {};
  std::memcpy(header, data, size < sizeof header ? size : sizeof header);

  const SourceImageHeader parsed = ParseSourceImageHeader(header);
  const SourceSection* sections[2] = {&parsed.rom, &parsed.disk};
  for (int i = 0; i < 2; ++i) {
    std::uint8_t encoded[32] = {};
    EncodeSourceSection(*sections[i], encoded);
    // Signature, offset, size and name round-trip (bytes 12-15 are unused).
    FUZZ_CHECK(std::memcmp(encoded, header + 32 * i, 12) == 0);
    FUZZ_CHECK(std::memcmp(encoded + 16, header + 32 * i + 16, 16) == 0);
    FUZZ_CHECK(sections[i]->Name().size() <= kSourceNameBytes);
    const std::string line = FormatSourceInfoLine(*sections[i], "empty");
    FUZZ_CHECK(!line.empty());
  }

  // The whole input as a file.
  static const std::string path = "/tmp/kx20-fuzz-source-" + std::to_string(getpid()) + ".img";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
  std::fclose(f);

  auto flash = std::make_unique<CodeFlashData>();
  flash->fill(0xA5);
  FUZZ_CHECK(LoadCodeFlashData(path, *flash));
  // ROM bytes that no DISK chunk covers come from the file at the ROM offset,
  // or are zero where the file ends.
  const std::size_t romStart = static_cast<std::size_t>(parsed.rom.offset) * 512;
  const std::size_t romBytes = static_cast<std::size_t>(parsed.rom.size) * 512;
  if (size >= 512 && parsed.rom.HasSignature("UROM")) {
    for (std::size_t k = 0; k < kCodeFlashChunkBytes && k < romBytes; ++k) {
      const std::uint8_t expected = romStart + k < size ? data[romStart + k] : 0;
      FUZZ_CHECK((*flash)[k] == expected);
    }
  }
  std::string diskLine = "unchanged", romLine = "unchanged";
  ReadSourceFileInfo(path, diskLine, romLine);
  if (size < 512) FUZZ_CHECK(diskLine == "unchanged" && romLine == "unchanged");
  std::remove(path.c_str());
  return 0;
}
