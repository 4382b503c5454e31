#include "config/durable_file.h"

#include <fstream>
#include <iterator>

namespace kx20 {

bool ReadWholeFile(const std::string& path, std::string& contents) {
  contents.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool FileIsReadable(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return static_cast<bool>(in);
}

bool FileEndsWithLineEnd(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return true;
  const std::streamoff size = in.tellg();
  if (size <= 0) return true;
  in.seekg(size - 1);
  char last = 0;
  in.get(last);
  return !in || last == '\n';
}

}  // namespace kx20
