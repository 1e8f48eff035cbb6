// Memory blocks and sized blocks, including refused allocations.
#include <gtest/gtest.h>

#include <cstring>

#include "core/memblock.h"
#include "support/alloc_seam.h"

namespace {

bool all_bytes(const void *p, NativeInt n, unsigned char value) {
  const unsigned char *b = static_cast<const unsigned char *>(p);
  for (NativeInt i = 0; i < n; ++i)
    if (b[i] != value) return false;
  return true;
}

TEST(MemBlock, ZeroSizedBlockHasAHeaderReadingZero) {
  void *h = block_alloc(0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(block_length(h), 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(h) % sizeof(NativeInt), 0u)
      << "payload sits one NativeInt behind an aligned block";
  block_free(h);
}

TEST(MemBlock, ResizeZeroesExactlyTheGrownPayload) {
  unsigned char *h = static_cast<unsigned char *>(block_alloc(10));
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(all_bytes(h, 10, 0));
  memset(h, 0xAB, 10);
  h = static_cast<unsigned char *>(block_resize(h, 20));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(block_length(h), 20);
  EXPECT_TRUE(all_bytes(h, 10, 0xAB));
  EXPECT_TRUE(all_bytes(h + 10, 10, 0));
  // Shrinking fills nothing and records the new length.
  h = static_cast<unsigned char *>(block_resize(h, 4));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(block_length(h), 4);
  EXPECT_TRUE(all_bytes(h, 4, 0xAB));
  h = static_cast<unsigned char *>(block_resize_raw(h, 8));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(block_length(h), 8);
  EXPECT_TRUE(all_bytes(h, 4, 0xAB));
  block_free(h);
}

TEST(MemBlock, ReallocZerofillFillsOnlyWhenGrowing) {
  unsigned char *p = static_cast<unsigned char *>(mem_alloc(8));
  ASSERT_NE(p, nullptr);
  memset(p, 0x5A, 8);
  p = static_cast<unsigned char *>(mem_realloc_zerofill(p, 8, 8));
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(all_bytes(p, 8, 0x5A));
  p = static_cast<unsigned char *>(mem_realloc_zerofill(p, 8, 16));
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(all_bytes(p, 8, 0x5A));
  EXPECT_TRUE(all_bytes(p + 8, 8, 0));
  mem_free(p);
  mem_free(nullptr);
  block_free(nullptr);
  unsigned char *z = static_cast<unsigned char *>(mem_alloc_zeroed(33));
  ASSERT_NE(z, nullptr);
  EXPECT_TRUE(all_bytes(z, 33, 0));
  mem_free(z);
}

TEST(MemBlock, NullHandlesAndImpossibleLengthsGiveNullWithoutAllocating) {
  AllocCounter counter;
  EXPECT_EQ(block_resize(nullptr, 10), nullptr);
  EXPECT_EQ(block_resize_raw(nullptr, 10), nullptr);
  EXPECT_EQ(block_alloc(-1), nullptr);
  EXPECT_EQ(block_alloc(NATIVEINT_MAX), nullptr);
  EXPECT_EQ(block_alloc_raw(NATIVEINT_MAX - 1), nullptr);
  EXPECT_EQ(counter.calls(), 0);
}

TEST(MemBlock, RefusedAllocationsGiveNullAndKeepTheOldBlock) {
  void *h = block_alloc(16);
  ASSERT_NE(h, nullptr);
  memset(h, 0x11, 16);
  {
    AllocFailure fail(1, true);
    EXPECT_EQ(block_alloc(4), nullptr);
    EXPECT_EQ(block_alloc_raw(4), nullptr);
    EXPECT_EQ(mem_alloc_zeroed(4), nullptr);
    EXPECT_EQ(mem_alloc(4), nullptr);
    EXPECT_EQ(block_resize(h, 64), nullptr);
    EXPECT_EQ(block_resize_raw(h, 64), nullptr);
    EXPECT_EQ(alloc_seam_failures(), 6);
  }
  EXPECT_EQ(block_length(h), 16);
  EXPECT_TRUE(all_bytes(h, 16, 0x11));
  block_free(h);
}

}  // namespace
