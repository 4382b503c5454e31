// The farm file parser: any text either parses into a farm whose disks have
// distinct drive letters in order, or fails with a "FILE:LINE: problem".
#include <string>

#include "fuzz_support.h"
#include "sim/farm_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kx20;
  const std::string text(reinterpret_cast<const char*>(data), size);
  FarmLayout layout;
  std::string error;
  if (!ParseFarmText(text, "farm.ini", "/nonexistent-dir", layout, error)) {
    FUZZ_CHECK(error.rfind("farm.ini:", 0) == 0);
    return 0;
  }
  for (std::size_t i = 1; i < layout.disks.size(); ++i) {
    FUZZ_CHECK(layout.disks[i - 1].letter < layout.disks[i].letter);
  }
  for (const SimDiskConfig& d : layout.disks) {
    FUZZ_CHECK(d.letter >= 'A' && d.letter <= 'Z' && d.letter != 'C');
    FUZZ_CHECK(d.readMbps >= 0 && d.writeMbps >= 0);
  }
  FUZZ_CHECK(layout.busMbps >= 0);
  return 0;
}
