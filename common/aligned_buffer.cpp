#include "common/aligned_buffer.h"

#include <cstdlib>
#include <cstring>

namespace kx20 {

// The block from malloc is larger by the alignment and one pointer; the
// aligned address handed out has the block's own address stored just below it.
void* AllocateAligned(std::size_t bytes, std::size_t alignment) {
  if (alignment < alignof(void*)) alignment = alignof(void*);
  if ((alignment & (alignment - 1)) != 0) throw std::bad_alloc();
  const std::size_t extra = alignment + sizeof(void*);
  if (bytes > static_cast<std::size_t>(-1) - extra) throw std::bad_alloc();
  void* block = std::malloc(bytes + extra);
  if (block == nullptr) throw std::bad_alloc();
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(block) + sizeof(void*);
  const std::uintptr_t aligned = (first + alignment - 1) & ~(static_cast<std::uintptr_t>(alignment) - 1);
  void** slot = reinterpret_cast<void**>(aligned) - 1;
  *slot = block;
  return reinterpret_cast<void*>(aligned);
}

void FreeAligned(void* memory) {
  if (memory == nullptr) return;
  std::free(*(static_cast<void**>(memory) - 1));
}

AlignedBytes::AlignedBytes(std::size_t size, std::size_t alignment)
    : bytes_(static_cast<std::uint8_t*>(AllocateAligned(size, alignment))), size_(size) {
  std::memset(bytes_.get(), 0, size_);
}

}  // namespace kx20
