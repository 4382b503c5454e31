// Small helpers shared by the fuzz targets: a byte reader over the fuzzer's
// input and a check that stops the run with a message (an abort is what the
// fuzzer records as a crash, with the input that caused it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kx20::fuzz {

[[noreturn]] inline void Fail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  std::abort();
}

#define FUZZ_CHECK(cond) \
  do {                   \
    if (!(cond)) ::kx20::fuzz::Fail(__FILE__, __LINE__, #cond); \
  } while (0)

// Takes values off the front of the input; past its end everything reads 0.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::size_t Left() const { return size_ - pos_; }

  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  template <typename T>
  T Value() {
    T v{};
    const std::size_t n = sizeof v < Left() ? sizeof v : Left();
    std::memcpy(&v, data_ + pos_, n);
    pos_ += n;
    return v;
  }

  void Bytes(void* out, std::size_t n) {
    const std::size_t take = n < Left() ? n : Left();
    std::memcpy(out, data_ + pos_, take);
    std::memset(static_cast<std::uint8_t*>(out) + take, 0, n - take);
    pos_ += take;
  }

  // A string of up to `maxLength` bytes (its length comes first).
  std::string String(std::size_t maxLength) {
    std::size_t n = Byte() % (maxLength + 1);
    if (n > Left()) n = Left();
    std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return s;
  }

  std::string Rest() {
    std::string s(reinterpret_cast<const char*>(data_ + pos_), Left());
    pos_ = size_;
    return s;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

}  // namespace kx20::fuzz
