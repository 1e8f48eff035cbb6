// The inline fast paths of pool.h against pool_alloc and pool_free: two pools
// of the same configuration run the same random sequence of allocations and
// frees, one through each pair of entry points, and after every step they
// must hand out the same element (same chunk, same index) and hold the same
// chunks in the same lists with the same counters and free lists.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "containers/pool.h"
#include "pool_helpers.h"

namespace {

// One chunk as the test compares it: its counters and the element indices on
// its free list, head first.
struct ChunkView {
  int32_t capacity, used, free_count;
  std::vector<NativeInt> free_list;
  bool operator==(const ChunkView &o) const {
    return capacity == o.capacity && used == o.used && free_count == o.free_count && free_list == o.free_list;
  }
};

NativeInt index_in_chunk(const Pool *pool, PoolChunk *chunk, void *header) {
  return (static_cast<char *>(header) - pool_chunk_elements(chunk)) / pool->stride;
}

std::vector<ChunkView> view_list(const Pool *pool, PoolChunk *head) {
  std::vector<ChunkView> views;
  for (PoolChunk *c : chunk_list(head)) {
    ChunkView v{c->capacity, c->used, c->free_count, {}};
    for (void *e = c->free_head; e != nullptr; e = *static_cast<void **>(e))
      v.free_list.push_back(index_in_chunk(pool, c, e));
    views.push_back(v);
  }
  return views;
}

// Where an element lies: its chunk's list (0 open, 1 full), the chunk's place
// in that list, and the element's index in the chunk.
std::vector<NativeInt> place_of(const Pool *pool, void *element) {
  PoolChunk *chunk = chunk_of(element);
  for (int full = 0; full < 2; ++full) {
    NativeInt at = 0;
    for (PoolChunk *c : chunk_list(full ? pool->full_chunks : pool->open_chunks)) {
      if (c == chunk) return {full, at, index_in_chunk(pool, chunk, static_cast<char *>(element) - POOL_HEADER_WORD)};
      ++at;
    }
  }
  return {-1, -1, -1};
}

struct Row {
  int32_t element_size, min_chunk, max_chunk, flags;
  int max_out;     // elements out at most
  int free_share;  // percent of steps that free (when something is out)
  const char *why;
};

const Row kRows[] = {
    {32, 16, 65536, 0, 400, 50, "map node pool: growth and release of many chunks"},
    {48, 16, 256, 2, 3000, 45, "event record pool: chunks capped at 256"},
    {0, 1, 1, 0, 40, 50, "one-element chunks: every chunk is full at once and released by its only free"},
    {5, 2, 2, 0, 40, 50, "two-element chunks: fill, reopen and release at every turn"},
    {8, 16, 65536, POOL_LOCKED, 200, 50, "a locked pool always takes the out-of-line path"},
    {24, 16, 64, 0, 60, 80, "frees outnumber allocations: chunks emptied one by one"},
    {24, 16, 64, 0, 2000, 20, "allocations outnumber frees: untouched tails and full chunks"},
};

TEST(PoolInline, SameElementsAndChunksAsTheFunctions) {
  for (const Row &row : kRows) {
    SCOPED_TRACE(row.why);
    Pool *plain = pool_create(row.element_size, row.min_chunk, row.max_chunk, row.flags);
    Pool *fast = pool_create(row.element_size, row.min_chunk, row.max_chunk, row.flags);
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(fast, nullptr);
    std::mt19937 rng(static_cast<uint32_t>(row.element_size * 131 + row.max_out));
    std::vector<void *> out_plain, out_fast;
    for (int step = 0; step < 20000; ++step) {
      bool do_free = !out_plain.empty() &&
                     (static_cast<int>(out_plain.size()) >= row.max_out || static_cast<int>(rng() % 100) < row.free_share);
      if (do_free) {
        size_t k = rng() % out_plain.size();
        pool_free(plain, out_plain[k]);
        pool_free_inline(fast, out_fast[k]);
        out_plain[k] = out_plain.back();
        out_plain.pop_back();
        out_fast[k] = out_fast.back();
        out_fast.pop_back();
      } else {
        void *a = pool_alloc(plain);
        void *b = pool_alloc_inline(fast);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        ASSERT_EQ(place_of(plain, a), place_of(fast, b)) << "step " << step;
        out_plain.push_back(a);
        out_fast.push_back(b);
      }
      ASSERT_EQ(plain->total_elements, fast->total_elements) << "step " << step;
      ASSERT_TRUE(view_list(plain, plain->open_chunks) == view_list(fast, fast->open_chunks)) << "step " << step;
      ASSERT_TRUE(view_list(plain, plain->full_chunks) == view_list(fast, fast->full_chunks)) << "step " << step;
    }
    EXPECT_EQ(check_pool(fast), static_cast<long>(out_fast.size()));
    for (size_t k = 0; k < out_plain.size(); ++k) {
      pool_free(plain, out_plain[k]);
      pool_free_inline(fast, out_fast[k]);
    }
    EXPECT_EQ(fast->total_elements, 0) << "the last free releases the last chunk";
    EXPECT_EQ(fast->open_chunks, nullptr);
    EXPECT_EQ(fast->full_chunks, nullptr);
    pool_destroy(plain);
    pool_destroy(fast);
  }
}

// The payload the fast path hands out is the element's own: writing all of it
// disturbs neither the chunk header nor a neighbour (AddressSanitizer and the
// free checks see every element in the builds that call the functions).
TEST(PoolInline, PayloadsDoNotOverlap) {
  Pool *pool = pool_create(20, 16, 64, 0);
  ASSERT_NE(pool, nullptr);
  std::vector<unsigned char *> out;
  for (int i = 0; i < 300; ++i) {
    auto *p = static_cast<unsigned char *>(pool_alloc_inline(pool));
    ASSERT_NE(p, nullptr);
    memset(p, i & 0xFF, 20);
    out.push_back(p);
  }
  for (int i = 0; i < 300; ++i)
    for (int b = 0; b < 20; ++b) ASSERT_EQ(out[static_cast<size_t>(i)][b], i & 0xFF) << "element " << i;
  EXPECT_EQ(check_pool(pool), 300);
  for (unsigned char *p : out) pool_free_inline(pool, p);
  EXPECT_EQ(pool->total_elements, 0);
  pool_destroy(pool);
}

}  // namespace
