// kx20ctl format, source-info, sample-source: the disk image and the source
// image file at the bench.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/virtual_clock.h"
#include "image/disk_image.h"
#include "image/sample_source_image.h"
#include "image/source_image.h"
#include "subcommand.h"

namespace kx20::ctl {
namespace {

bool ParseLastLba(const std::string& text, std::uint32_t& out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || value > 0xFFFFFFFFull) return false;
  out = static_cast<std::uint32_t>(value);
  return true;
}

// "YYYY-MM-DD hh:mm:ss"
bool ParseUtc(const std::string& text, CalendarTime& out) {
  CalendarTime t;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &t.year, &t.month, &t.day, &t.hour, &t.minute,
                  &t.second, &tail) != 6) {
    return false;
  }
  if (t.year < 1980 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59 ||
      t.second > 59 || t.hour < 0 || t.minute < 0 || t.second < 0) {
    return false;
  }
  out = t;
  return true;
}

bool WriteAt(std::fstream& file, std::uint64_t offset, const std::uint8_t* data, std::size_t bytes) {
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(bytes));
  return static_cast<bool>(file);
}

// A disk file as the production worker leaves the disk: (L + 1) * 512 bytes,
// the sectors below min(R + 1024, 12800) cleared in 128-sector pieces, then
// the image written to sectors 0-511. Only what lies inside the disk is
// written; the rest of the file stays a hole.
bool WriteDiskFile(const std::string& path, const PreparedImageSnapshot& image) {
  const std::uint64_t diskSectors = std::uint64_t{image.imageCapacity} + 1;
  {
    std::ofstream create(path, std::ios::binary | std::ios::trunc);
    if (!create) return false;
  }
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!file) return false;

  static const std::vector<std::uint8_t> zeros(128 * 512, 0);
  const std::uint64_t clearEnd = std::min<std::uint64_t>(std::uint64_t{image.imageRootSector} + 1024, 12800);
  for (std::uint64_t a = 0; a < clearEnd && a < diskSectors; a += 128) {
    const std::uint64_t sectors = std::min<std::uint64_t>(128, diskSectors - a);
    if (!WriteAt(file, a * 512, zeros.data(), sectors * 512)) return false;
  }
  const std::uint64_t imageSectors = std::min<std::uint64_t>(kPreparedImageSectors, diskSectors);
  if (!WriteAt(file, 0, image.preparedImage.data(), imageSectors * 512)) return false;
  // Extend to the disk's full size with a single byte at its end (sparse).
  if (diskSectors > imageSectors && diskSectors > clearEnd) {
    const std::uint8_t zero = 0;
    if (!WriteAt(file, diskSectors * 512 - 1, &zero, 1)) return false;
  }
  file.flush();
  return static_cast<bool>(file);
}

int RunFormat(const std::vector<std::string>& args) {
  std::uint32_t lastLba = 0;
  bool haveLba = false;
  bool disk = false;
  std::string output;
  std::unique_ptr<Clock> clock;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--last-lba" && hasValue) {
      if (!ParseLastLba(args[++i], lastLba)) {
        std::fprintf(stderr, "kx20ctl format: --last-lba needs a number from 0 to 4294967295\n");
        return kExitUsage;
      }
      haveLba = true;
    } else if (a == "--utc" && hasValue) {
      CalendarTime utc;
      if (!ParseUtc(args[++i], utc)) {
        std::fprintf(stderr, "kx20ctl format: --utc needs \"YYYY-MM-DD hh:mm:ss\"\n");
        return kExitUsage;
      }
      clock = std::make_unique<VirtualClock>(utc);
    } else if (a == "-o" && hasValue) {
      output = args[++i];
    } else if (a == "--disk") {
      disk = true;
    } else {
      std::fprintf(stderr, "kx20ctl format: unexpected argument '%s'\n", a.c_str());
      return kExitUsage;
    }
  }
  if (!haveLba || output.empty()) {
    std::fprintf(stderr, "usage: kx20ctl format --last-lba L [--utc \"YYYY-MM-DD hh:mm:ss\"] [--disk] -o FILE\n");
    return kExitUsage;
  }
  if (!IsSupportedLastLba(lastLba)) {
    std::fprintf(stderr,
                 "kx20ctl format: last LBA %" PRIu32 " is outside the supported range %" PRIu32 " to %" PRIu32
                 " (the station fails such a disk with USBErr_Capacity)\n",
                 lastLba, kMinImageLastLba, kMaxImageLastLba);
    return kExitFailed;
  }
  if (!clock) clock = MakeSystemClock();

  auto scratch = std::make_unique<FormatContext>();
  const auto image = FormatPreparedImage(lastLba, *clock, *scratch);
  if (!image) {
    std::fprintf(stderr, "kx20ctl format: no image for last LBA %" PRIu32 "\n", lastLba);
    return kExitFailed;
  }

  bool written = false;
  if (disk) {
    written = WriteDiskFile(output, *image);
  } else {
    std::ofstream file(output, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(image->preparedImage.data()), kPreparedImageBytes);
    written = static_cast<bool>(file.flush());
  }
  if (!written) {
    std::fprintf(stderr, "kx20ctl format: cannot write '%s'\n", output.c_str());
    return kExitFailed;
  }

  const FatLayout& l = image->layout;
  std::printf("heads=%" PRIu32 "\n", l.heads);
  std::printf("cylinders=%" PRIu32 "\n", l.cylinders);
  std::printf("partition_sectors=%" PRIu32 "\n", l.partitionSectors);
  std::printf("partition_type=0x%02X\n", static_cast<unsigned>(l.partitionType));
  std::printf("fat_type=%s\n", FatTypeName(l.fatType));
  std::printf("sectors_per_cluster=%" PRIu32 "\n", l.sectorsPerCluster);
  std::printf("sectors_per_fat=%" PRIu32 "\n", l.sectorsPerFat);
  std::printf("root_sector=%" PRIu32 "\n", l.rootSector);
  std::printf("root_entries=%" PRIu32 "\n", l.rootEntries);
  std::printf("data_sector=%" PRIu32 "\n", l.dataSector);
  return kExitOk;
}

int RunSourceInfo(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: kx20ctl source-info FILE\n");
    return kExitUsage;
  }
  std::string diskInfoText;
  std::string romInfoText;
  std::string failure;
  if (!ReadSourceFileInfo(args[0], diskInfoText, romInfoText, &failure)) {
    std::fprintf(stderr, "kx20ctl source-info: %s\n",
                 failure.empty() ? ("cannot open '" + args[0] + "'").c_str() : failure.c_str());
    return kExitFailed;
  }
  std::printf("%s\n%s\n", diskInfoText.c_str(), romInfoText.c_str());
  return kExitOk;
}

int RunSampleSource(const std::vector<std::string>& args) {
  if (args.size() != 2 || args[0] != "-o") {
    std::fprintf(stderr, "usage: kx20ctl sample-source -o FILE\n");
    return kExitUsage;
  }
  const std::vector<std::uint8_t> bytes = BuildSampleSourceImage();
  std::ofstream file(args[1], std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!file.flush()) {
    std::fprintf(stderr, "kx20ctl sample-source: cannot write '%s'\n", args[1].c_str());
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

KX20CTL_SUBCOMMAND("format", "--last-lba L [--utc \"YYYY-MM-DD hh:mm:ss\"] [--disk] -o FILE",
                   "write the prepared 256 KB image for last LBA L (--disk: a whole sparse disk file)", RunFormat);
KX20CTL_SUBCOMMAND("source-info", "FILE", "print the DISK and ROM info lines of a source image file",
                   RunSourceInfo);
KX20CTL_SUBCOMMAND("sample-source", "-o FILE", "write the sample source image (examples/Pelorin.img)",
                   RunSampleSource);

}  // namespace kx20::ctl
