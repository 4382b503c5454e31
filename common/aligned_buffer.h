// Heap memory at a chosen alignment on every build. An over-aligned type
// given to `new` or make_unique is not enough: where the compiler believes
// the C runtime's malloc already aligns to 16 but it aligns to 8 only (the
// 32-bit Windows runtime), such a type lands on an 8-byte boundary. Buffers
// that must be aligned (the transfer buffers handed to the pass-through
// port, the prepared image) are allocated here instead.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

namespace kx20 {

// At least `bytes` bytes at a multiple of `alignment` (a power of two).
// Throws std::bad_alloc when out of memory; never returns null.
void* AllocateAligned(std::size_t bytes, std::size_t alignment);
// Memory from AllocateAligned (null: nothing).
void FreeAligned(void* memory);

template <typename T>
struct AlignedDelete {
  void operator()(T* object) const {
    if (object == nullptr) return;
    object->~T();
    FreeAligned(object);
  }
};
template <typename T>
using AlignedPtr = std::unique_ptr<T, AlignedDelete<T>>;

// A T built in memory aligned to `Alignment` (and at least to alignof(T)).
template <typename T, std::size_t Alignment = alignof(T), typename... Args>
AlignedPtr<T> MakeAligned(Args&&... args) {
  void* memory = AllocateAligned(sizeof(T), std::max(Alignment, alignof(T)));
  try {
    return AlignedPtr<T>(new (memory) T(std::forward<Args>(args)...));
  } catch (...) {
    FreeAligned(memory);
    throw;
  }
}

// A zero-filled byte buffer of a fixed size at the given alignment.
class AlignedBytes {
 public:
  AlignedBytes(std::size_t size, std::size_t alignment);

  std::uint8_t* data() { return bytes_.get(); }
  const std::uint8_t* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  std::uint8_t* begin() { return data(); }
  std::uint8_t* end() { return data() + size_; }
  std::uint8_t& operator[](std::size_t i) { return bytes_.get()[i]; }
  const std::uint8_t& operator[](std::size_t i) const { return bytes_.get()[i]; }

 private:
  struct Free {
    void operator()(std::uint8_t* p) const { FreeAligned(p); }
  };
  std::unique_ptr<std::uint8_t, Free> bytes_;
  std::size_t size_;
};

}  // namespace kx20
