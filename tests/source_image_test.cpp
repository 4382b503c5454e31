#include "image/source_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "image/sample_source_image.h"

namespace kx20 {
namespace {

namespace fs = std::filesystem;

// Builds source files: a header with the given descriptors, then areas.
class SourceFile {
 public:
  explicit SourceFile(std::size_t bytes) : bytes_(bytes, 0) {}

  SourceFile& Section(std::size_t slot, const char* signature, std::uint32_t offset, std::uint32_t size,
                      const char* name, std::size_t nameBytes = 0) {
    SourceSection s;
    std::memcpy(s.signature.data(), signature, 4);
    s.offset = offset;
    s.size = size;
    std::memcpy(s.name.data(), name, nameBytes ? nameBytes : std::strlen(name));
    EncodeSourceSection(s, bytes_.data() + slot * 32);
    return *this;
  }
  SourceFile& Rom(std::uint32_t offset, std::uint32_t size, const char* name = "FW") {
    return Section(0, "UROM", offset, size, name);
  }
  SourceFile& Disk(std::uint32_t offset, std::uint32_t size, const char* name = "DISK0") {
    return Section(1, "DISK", offset, size, name);
  }
  // Every byte after the header carries a pattern of its position.
  SourceFile& Pattern() {
    for (std::size_t i = 512; i < bytes_.size(); ++i) bytes_[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
    return *this;
  }
  std::uint8_t At(std::size_t i) const { return bytes_[i]; }

  std::string Write(const std::string& name) const {
    const fs::path dir = fs::temp_directory_path() / "kx20_source_image_test";
    fs::create_directories(dir);
    const fs::path path = dir / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()));
    return path.string();
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

struct Lines {
  std::string disk = "disk before";
  std::string rom = "rom before";
};

Lines Read(const std::string& path) {
  Lines l;
  ReadSourceFileInfo(path, l.disk, l.rom);
  return l;
}

TEST(SourceFileInfoTest, InfoLines) {
  struct Row {
    const char* what;
    SourceFile file;
    std::string disk, rom;
  };
  const std::string named16(16, 'N');
  std::vector<Row> rows;
  rows.push_back({"both areas", SourceFile(512).Rom(1, 32).Disk(33, 64, "DISK-IMAGE-0001"),
                  "DISK-IMAGE-0001  cap[64],offset[33]", "FW               cap[32],offset[1]"});
  rows.push_back({"empty ROM, no DISK signature", SourceFile(512).Rom(1, 0), "disk before", "No ROM info"});
  rows.push_back({"empty DISK, no ROM signature", SourceFile(512).Disk(5, 0), "No DISK info", "rom before"});
  rows.push_back({"wrong signatures", SourceFile(512).Section(0, "UR0M", 1, 2, "X").Section(1, "disk", 1, 2, "Y"),
                  "disk before", "rom before"});
  rows.push_back({"16-byte name without terminator", SourceFile(512).Section(0, "UROM", 2, 3, named16.c_str(), 16),
                  "disk before", named16 + " cap[3],offset[2]"});
  rows.push_back({"numbers shown signed", SourceFile(512).Disk(0xFFFFFFFFu, 0x80000000u, "D"), 
                  "D                cap[-2147483648],offset[-1]", "rom before"});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const Lines l = Read(row.file.Write("info.img"));
    EXPECT_EQ(l.disk, row.disk);
    EXPECT_EQ(l.rom, row.rom);
  }
}

TEST(SourceFileInfoTest, MissingOrShortFileChangesNothing) {
  const Lines missing = Read((fs::temp_directory_path() / "kx20_no_such_file.img").string());
  EXPECT_EQ(missing.disk, "disk before");
  EXPECT_EQ(missing.rom, "rom before");
  SourceFile shortFile(511);
  shortFile.Rom(1, 32).Disk(2, 3);
  const Lines l = Read(shortFile.Write("short.img"));
  EXPECT_EQ(l.disk, "disk before");
  EXPECT_EQ(l.rom, "rom before");
}

class CodeFlashTest : public ::testing::Test {
 protected:
  std::unique_ptr<CodeFlashData> data = std::make_unique<CodeFlashData>();
  void SetUp() override { data->fill(0xEE); }

  // Expects data[from, to) to be the file's bytes starting at fileOffset.
  void ExpectCopied(const SourceFile& f, std::size_t from, std::size_t to, std::size_t fileOffset) {
    for (std::size_t i = from; i < to; ++i) {
      ASSERT_EQ((*data)[i], f.At(fileOffset + i - from)) << "byte " << i;
    }
  }
  void ExpectZero(std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) ASSERT_EQ((*data)[i], 0) << "byte " << i;
  }
};

TEST_F(CodeFlashTest, MissingFileIsRefusedAndLeavesDataAlone) {
  EXPECT_FALSE(LoadCodeFlashData((fs::temp_directory_path() / "kx20_no_such_file.img").string(), *data));
  EXPECT_EQ((*data)[0], 0xEE);
}

TEST_F(CodeFlashTest, ShortHeaderGivesAllZero) {
  SourceFile f(100);
  EXPECT_TRUE(LoadCodeFlashData(f.Write("short.img"), *data));
  ExpectZero(0, kCodeFlashBytes);
}

TEST_F(CodeFlashTest, DiskAreaOfOneChunkReadsTwoChunks) {
  // 32 sectors = one chunk; the total then equals the size, not more, so a
  // second chunk is read from the rest of the file.
  SourceFile f(512 + 3 * 16'384);
  f.Disk(1, 32).Pattern();
  EXPECT_TRUE(LoadCodeFlashData(f.Write("disk32.img"), *data));
  ExpectZero(0, 16'384);
  ExpectCopied(f, 16'384, 49'152, 512);
  ExpectZero(49'152, kCodeFlashBytes);
}

TEST_F(CodeFlashTest, RomOf40SectorsIsOverwrittenByTheDiskArea) {
  SourceFile f(512 + 40 * 512 + 16'384);
  f.Rom(1, 40).Disk(41, 1).Pattern();
  EXPECT_TRUE(LoadCodeFlashData(f.Write("rom40.img"), *data));
  ExpectCopied(f, 0, 16'384, 512);
  ExpectCopied(f, 16'384, 32'768, 41 * 512);  // the DISK chunk wins
  ExpectZero(32'768, kCodeFlashBytes);
}

TEST_F(CodeFlashTest, RomAloneBeyond32Sectors) {
  SourceFile f(512 + 40 * 512);
  f.Rom(1, 40).Pattern();
  EXPECT_TRUE(LoadCodeFlashData(f.Write("rom40only.img"), *data));
  ExpectCopied(f, 0, 20'480, 512);
  ExpectZero(20'480, kCodeFlashBytes);
}

TEST_F(CodeFlashTest, OverlongAreasAreCutAtTheBuffer) {
  // A ROM area of 2,000 sectors (1 MB) and a DISK area far longer than the
  // 31 chunks: nothing is read or written past the 512 KB.
  SourceFile f(512 + 2'000 * 512);
  f.Rom(1, 2'000).Pattern();
  EXPECT_TRUE(LoadCodeFlashData(f.Write("romhuge.img"), *data));
  ExpectCopied(f, 0, kCodeFlashBytes, 512);

  SourceFile g(512 + 2'000 * 512);
  g.Disk(1, 0xFFFFFFFFu).Pattern();
  EXPECT_TRUE(LoadCodeFlashData(g.Write("diskhuge.img"), *data));
  ExpectZero(0, 16'384);
  ExpectCopied(g, 16'384, kCodeFlashBytes, 512);
}

TEST_F(CodeFlashTest, AreasBeyondTheFileStayZero) {
  SourceFile f(512 + 1'024);
  f.Rom(0xFFFFFFFFu, 32).Disk(0x7FFFFFu, 64).Pattern();
  EXPECT_TRUE(LoadCodeFlashData(f.Write("beyond.img"), *data));
  ExpectZero(0, kCodeFlashBytes);
  // An area that starts inside the file and runs past its end: what exists.
  SourceFile g(512 + 1'000);
  g.Rom(1, 32).Pattern();
  EXPECT_TRUE(LoadCodeFlashData(g.Write("partial.img"), *data));
  ExpectCopied(g, 0, 1'000, 512);
  ExpectZero(1'000, kCodeFlashBytes);
}

TEST(SampleSourceImageTest, CheckedInFileMatchesTheGenerator) {
  const std::vector<std::uint8_t> generated = BuildSampleSourceImage();
  std::ifstream in(std::string(KX20_SOURCE_DIR) + "/examples/Pelorin.img", std::ios::binary);
  ASSERT_TRUE(in) << "examples/Pelorin.img missing";
  const std::vector<std::uint8_t> stored((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(stored == generated);
}

TEST(SampleSourceImageTest, InfoLinesAndCodeFlashData) {
  const std::vector<std::uint8_t> bytes = BuildSampleSourceImage();
  const fs::path path = fs::temp_directory_path() / "kx20_source_image_test" / "sample.img";
  fs::create_directories(path.parent_path());
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  std::string disk, rom;
  ReadSourceFileInfo(path.string(), disk, rom);
  EXPECT_EQ(rom, "KX20-FW 1.04     cap[32],offset[1]");
  EXPECT_EQ(disk, "KX20-DISK-A      cap[64],offset[33]");

  auto data = std::make_unique<CodeFlashData>();
  ASSERT_TRUE(LoadCodeFlashData(path.string(), *data));
  EXPECT_EQ(std::memcmp(data->data(), bytes.data() + 512, 16'384), 0);
  EXPECT_EQ(std::memcmp(data->data() + 16'384, bytes.data() + 33 * 512, 32'768), 0);
  EXPECT_EQ(std::memcmp(data->data(), "KX20 sample ROM area", 20), 0);
  for (std::size_t i = 16'384 + 32'768; i < kCodeFlashBytes; ++i) ASSERT_EQ((*data)[i], 0) << i;
}

}  // namespace
}  // namespace kx20
