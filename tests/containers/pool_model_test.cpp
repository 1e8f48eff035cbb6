// Random allocation and free sequences on pools, checked after every step:
// no element is handed out twice or overlaps another, contents survive while
// out, chunks go back exactly when their last element does, and a refused
// chunk falls back to a single element. Seeded and repeatable.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <map>
#include <vector>

#include "containers/pool.h"
#include "pool_helpers.h"
#include "support/alloc_seam.h"

namespace {

struct Rng {
  uint64_t state;
  uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
  }
  int below(int n) { return static_cast<int>(next() % static_cast<uint32_t>(n)); }
};

// Every payload byte of an element out carries its tag.
void stamp(void *element, int32_t bytes, unsigned char tag) { memset(element, tag, static_cast<size_t>(bytes)); }
bool stamped(const void *element, int32_t bytes, unsigned char tag) {
  const unsigned char *p = static_cast<const unsigned char *>(element);
  for (int32_t i = 0; i < bytes; ++i)
    if (p[i] != tag) return false;
  return true;
}

struct Config {
  int32_t size, min_chunk, max_chunk, flags;
  int limit;  // most elements out at once
};

void run_pool_model(uint64_t seed, const Config &c, int steps) {
  Rng rng{seed};
  Pool *pool = pool_create(c.size, c.min_chunk, c.max_chunk, c.flags);
  ASSERT_NE(pool, nullptr);
  const int32_t payload = pool->stride - static_cast<int32_t>(sizeof(void *));
  std::map<char *, unsigned char> out;  // element -> tag
  unsigned char next_tag = 1;

  for (int step = 0; step < steps; ++step) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " step " << step);
    // Phases of mostly allocating and mostly freeing, so that pools grow
    // through many chunk sizes and then give chunks back.
    int grow_percent = (step / 700) % 2 == 0 ? 80 : 20;
    int op = rng.below(1000);
    bool grow = static_cast<int>(out.size()) < c.limit && (op < 10 * grow_percent || out.empty());
    if (grow) {
      char *e;
      int mode = rng.below(20);
      int32_t total_before = pool->total_elements;
      bool had_open = pool->open_chunks != nullptr;
      if (mode == 0) {  // the heap refuses a chunk, then grants one element
        AllocFailure refuse(1);
        e = static_cast<char *>(pool_alloc(pool));
        ASSERT_NE(e, nullptr);
        if (!had_open) {
          EXPECT_EQ(chunk_of(e)->capacity, 1);
          EXPECT_EQ(pool->total_elements, total_before + 1);
        }
      } else if (mode == 1) {  // the heap refuses everything
        AllocFailure refuse(1, true);
        e = static_cast<char *>(pool_alloc(pool));
        if (!had_open) {
          EXPECT_EQ(e, nullptr);
          EXPECT_EQ(pool->total_elements, total_before);
          continue;
        }
        ASSERT_NE(e, nullptr);
      } else {
        e = static_cast<char *>(mode == 2 ? pool_alloc_zeroed(pool) : pool_alloc(pool));
        ASSERT_NE(e, nullptr);
        if (mode == 2) {
          EXPECT_TRUE(stamped(e, payload, 0));
        }
      }
      // No overlap with the neighbours in address order.
      auto after = out.lower_bound(e);
      ASSERT_TRUE(after == out.end() || after->first >= e + pool->stride) << "overlaps the next element";
      ASSERT_TRUE(after == out.begin() || std::prev(after)->first + pool->stride <= e) << "overlaps the previous";
      unsigned char tag = next_tag++;
      if (next_tag == 0) next_tag = 1;
      stamp(e, payload, tag);
      out[e] = tag;
    } else if (op < 999 || out.empty()) {
      auto it = out.begin();
      std::advance(it, rng.below(static_cast<int>(out.size())));
      ASSERT_TRUE(stamped(it->first, payload, it->second)) << "contents changed while out";
      PoolChunk *chunk = chunk_of(it->first);
      int32_t out_of_chunk = chunk->used - chunk->free_count;
      int32_t total_before = pool->total_elements;
      int32_t capacity = chunk->capacity;
      pool_free(pool, it->first);
      out.erase(it);
      if (out_of_chunk == 1)
        EXPECT_EQ(pool->total_elements, total_before - capacity) << "the last element back releases the chunk";
      else
        EXPECT_EQ(pool->total_elements, total_before);
    } else {
      pool_free_all(pool);
      out.clear();
      EXPECT_EQ(pool->total_elements, 0);
    }
    ASSERT_EQ(check_pool(pool), static_cast<long>(out.size()));
    if (payload > 0) {
      for (const auto &[element, tag] : out) ASSERT_EQ(static_cast<unsigned char>(*element), tag);
    }
    if (::testing::Test::HasFailure()) break;
  }
  for (const auto &entry : out) pool_free(pool, entry.first);
  EXPECT_EQ(pool->total_elements, 0) << "no element out, no chunk held";
  EXPECT_EQ(pool->open_chunks, nullptr);
  EXPECT_EQ(pool->full_chunks, nullptr);
  pool_destroy(pool);
}

TEST(PoolModel, RandomSequencesKeepElementsApartAndReleaseChunksExactly) {
  const Config configs[] = {
      {5, 4, 64, 0, 300},       // small chunks, many releases
      {24, 16, 65536, 0, 700},  // the maps' growth rule
      {32, 16, 256, 2, 500},    // the event queue's pool
      {0, 1, 3, POOL_LOCKED, 60},
  };
  uint64_t seed = 11;
  for (const Config &c : configs) {
    SCOPED_TRACE(c.size);
    run_pool_model(seed++, c, 6000);
  }
}

}  // namespace
