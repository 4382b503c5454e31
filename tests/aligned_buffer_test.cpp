#include "common/aligned_buffer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace kx20 {
namespace {

bool AlignedTo(const void* p, std::size_t alignment) {
  return reinterpret_cast<std::uintptr_t>(p) % alignment == 0;
}

// Allocations interleaved with odd-sized plain ones, so the heap hands out
// every kind of address: each buffer is aligned all the same, zero-filled,
// and writable to its last byte.
TEST(AlignedBuffer, AlignedWhereverTheHeapPutsIt) {
  const std::size_t alignments[] = {1, 8, 16, 64, 4096};
  const std::size_t sizes[] = {0, 1, 7, 512, 65536};
  std::vector<void*> noise;
  std::vector<AlignedBytes> kept;
  for (int round = 0; round < 8; ++round) {
    for (std::size_t alignment : alignments) {
      for (std::size_t size : sizes) {
        noise.push_back(std::malloc(static_cast<std::size_t>(round) * 3 + 1));
        AlignedBytes bytes(size, alignment);
        EXPECT_TRUE(AlignedTo(bytes.data(), alignment)) << alignment << "/" << size;
        EXPECT_EQ(bytes.size(), size);
        for (std::size_t i = 0; i < size; ++i) ASSERT_EQ(bytes[i], 0) << i;
        if (size > 0) bytes[size - 1] = 0xA5;
        kept.push_back(std::move(bytes));
      }
    }
  }
  for (void* p : noise) std::free(p);
}

struct alignas(16) Sixteen {
  explicit Sixteen(int v) : value(v) {}
  int value;
  unsigned char bytes[48] = {};
};

TEST(AlignedBuffer, MakeAlignedBuildsAndDestroysTheObject) {
  static int destroyed = 0;
  struct Counted {
    ~Counted() { ++destroyed; }
    std::uint64_t words[3] = {};
  };
  for (int i = 0; i < 32; ++i) {
    auto s = MakeAligned<Sixteen>(i);
    EXPECT_TRUE(AlignedTo(s.get(), 16));
    EXPECT_EQ(s->value, i);
    auto wide = MakeAligned<Counted, 4096>();
    EXPECT_TRUE(AlignedTo(wide.get(), 4096));
  }
  EXPECT_EQ(destroyed, 32);
  std::shared_ptr<const Sixteen> shared = MakeAligned<Sixteen>(7);  // as the image store keeps it
  EXPECT_TRUE(AlignedTo(shared.get(), 16));
}

TEST(AlignedBuffer, ImpossibleRequestsThrow) {
  EXPECT_THROW(AllocateAligned(static_cast<std::size_t>(-1) - 4, 16), std::bad_alloc);
  EXPECT_THROW(AllocateAligned(16, 24), std::bad_alloc);  // not a power of two
  FreeAligned(nullptr);
}

}  // namespace
}  // namespace kx20
