#include "image/sample_source_image.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "image/source_image.h"

namespace kx20 {
namespace {

SourceSection MakeSection(const char* signature, std::uint32_t offset, std::uint32_t size, const char* name) {
  SourceSection s;
  std::memcpy(s.signature.data(), signature, 4);
  s.offset = offset;
  s.size = size;
  std::memcpy(s.name.data(), name, std::min(std::strlen(name), s.name.size()));
  return s;
}

// Fills an area with a banner line and then a reproducible byte stream, so
// a wrong offset or a short copy shows in any comparison.
void FillArea(std::uint8_t* area, std::size_t bytes, const std::string& banner, std::uint32_t seed) {
  std::uint32_t x = seed;
  for (std::size_t i = 0; i < bytes; ++i) {
    x = x * 1'664'525u + 1'013'904'223u;
    area[i] = static_cast<std::uint8_t>(x >> 24);
  }
  std::memcpy(area, banner.data(), banner.size());
}

}  // namespace

std::vector<std::uint8_t> BuildSampleSourceImage() {
  const std::size_t romBytes = std::size_t{kSampleRomSize} * 512;
  const std::size_t diskBytes = std::size_t{kSampleDiskSize} * 512;
  std::vector<std::uint8_t> file(std::size_t{kSampleDiskOffset} * 512 + diskBytes, 0);

  EncodeSourceSection(MakeSection("UROM", kSampleRomOffset, kSampleRomSize, kSampleRomName), file.data());
  EncodeSourceSection(MakeSection("DISK", kSampleDiskOffset, kSampleDiskSize, kSampleDiskName),
                      file.data() + kSourceSectionBytes);

  FillArea(file.data() + std::size_t{kSampleRomOffset} * 512, romBytes, "KX20 sample ROM area\r\n", 0x524F4D31u);
  FillArea(file.data() + std::size_t{kSampleDiskOffset} * 512, diskBytes, "KX20 sample DISK area\r\n", 0x4449534Bu);
  return file;
}

}  // namespace kx20
