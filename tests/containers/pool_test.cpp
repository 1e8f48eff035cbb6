// Element pools: strides, chunk lists, growth, release, the one-element
// fallback, shared pools and their registry, and the checks on bad frees.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "containers/pool.h"
#include "pool_helpers.h"
#include "support/alloc_seam.h"

namespace {

constexpr bool k32 = sizeof(void *) == 4;
constexpr int32_t kWord = static_cast<int32_t>(sizeof(void *));

TEST(PoolPlatform, RecordSizes) {
  // Printed for whoever reads a failing log from the other width.
  printf("pointer bits %d, sizeof Pool %zu, PoolChunk %zu, PoolRegistryEntry %zu\n", KRT_POINTER_BITS,
         sizeof(Pool), sizeof(PoolChunk), sizeof(PoolRegistryEntry));
  EXPECT_EQ(sizeof(PoolChunk), k32 ? 24u : 40u) << "three links and three 32-bit counts";
  EXPECT_EQ(sizeof(PoolChunk) % sizeof(void *), 0u) << "elements directly behind the header stay aligned";
}

TEST(Pool, StrideRoundsToTheWordAndAddsTheHeaderWord) {
  struct Row {
    int32_t size, want32, want64;
    const char *why;
  } rows[] = {
      {0, 4, 8, "an empty payload is just the header word"},
      {1, 8, 16, "rounds up to one word"},
      {4, 8, 16, "a whole 32-bit word"},
      {5, 12, 16, "5..8 share a stride on 32 bits"},
      {8, 12, 16, "8 is a multiple of both words"},
      {9, 16, 24, "one byte more needs one more word"},
      {32, 36, 40, "the event record on 32 bits"},
      {-3, 4, 8, "a negative size counts as 0"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.why);
    Pool *pool = pool_create(r.size, 16, 256, 0);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->stride, k32 ? r.want32 : r.want64) << "size " << r.size;
    EXPECT_EQ(pool->total_elements, 0);
    EXPECT_EQ(pool->open_chunks, nullptr) << "no chunk before the first allocation";
    EXPECT_EQ(pool->full_chunks, nullptr);
    EXPECT_EQ(pool->registry_entry, nullptr);
    pool_destroy(pool);
  }
}

TEST(Pool, OnlyLockingModeOneGetsAMutex) {
  struct Row {
    int32_t flags;
    uint32_t locked;
  } rows[] = {{0, 0}, {1, 1}, {2, 0}, {3, 0}, {1 | 8, 1}, {2 | 16, 0}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.flags);
    Pool *pool = pool_create(8, 4, 8, r.flags);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->locked, r.locked);
    if (r.locked) {
      // Recursive: the owner can take it again.
      EXPECT_EQ(pthread_mutex_trylock(&pool->mutex), 0);
      EXPECT_EQ(pthread_mutex_trylock(&pool->mutex), 0);
      pthread_mutex_unlock(&pool->mutex);
      pthread_mutex_unlock(&pool->mutex);
    }
    void *e = pool_alloc(pool);
    ASSERT_NE(e, nullptr);
    pool_free(pool, e);
    pool_destroy(pool);
  }
}

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override { pool = pool_create(5, 16, 65536, 0); }
  void TearDown() override {
    check_pool(pool);
    pool_destroy(pool);
  }
  std::vector<void *> take(int n) {
    std::vector<void *> v;
    for (int i = 0; i < n; ++i) v.push_back(pool_alloc(pool));
    return v;
  }
  Pool *pool = nullptr;
};

TEST_F(PoolTest, FirstAllocationMakesAChunkOfMinChunkAndHandsOutItsFirstElement) {
  void *e = pool_alloc(pool);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(pool->total_elements, 16);
  ASSERT_NE(pool->open_chunks, nullptr);
  PoolChunk *c = pool->open_chunks;
  EXPECT_EQ(chunk_of(e), c) << "the header word of an element out names its chunk";
  EXPECT_EQ(static_cast<char *>(e), pool_chunk_elements(c) + kWord);
  EXPECT_EQ(c->capacity, 16);
  EXPECT_EQ(c->used, 1);
  EXPECT_EQ(c->free_count, 0);
  EXPECT_EQ(c->free_head, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(e) % sizeof(void *), 0u);
  EXPECT_EQ(check_pool(pool), 1);
  pool_free(pool, e);
}

TEST_F(PoolTest, FreeingTheOnlyElementReleasesTheChunkAndTheNextAllocationMakesANewOne) {
  AllocCounter heap;
  void *e = pool_alloc(pool);
  EXPECT_EQ(heap.calls(), 1);
  pool_free(pool, e);
  EXPECT_EQ(pool->total_elements, 0);
  EXPECT_EQ(pool->open_chunks, nullptr);
  EXPECT_EQ(pool->full_chunks, nullptr);
  e = pool_alloc(pool);
  EXPECT_EQ(heap.calls(), 2) << "a released chunk is not kept for later";
  EXPECT_EQ(pool->total_elements, 16);
  pool_free(pool, e);
}

TEST_F(PoolTest, AChunkGoesFullThenOpenAgainAndServesTheFreedElementNext) {
  AllocCounter heap;
  std::vector<void *> all = take(16);
  EXPECT_EQ(heap.calls(), 1) << "one chunk serves 16 elements";
  EXPECT_EQ(pool->open_chunks, nullptr);
  ASSERT_EQ(chunk_list(pool->full_chunks).size(), 1u);
  for (int i = 1; i < 16; ++i)
    EXPECT_EQ(static_cast<char *>(all[i]) - static_cast<char *>(all[i - 1]), pool->stride) << "tail order";

  pool_free(pool, all[7]);
  EXPECT_EQ(pool->full_chunks, nullptr);
  ASSERT_NE(pool->open_chunks, nullptr);
  EXPECT_EQ(pool->open_chunks->free_count, 1);
  void *again = pool_alloc(pool);
  EXPECT_EQ(again, all[7]);
  EXPECT_EQ(chunk_of(again), pool->full_chunks) << "full once more";
  EXPECT_EQ(heap.calls(), 1);
  for (void *e : all) pool_free(pool, e);
  EXPECT_EQ(pool->total_elements, 0);
}

TEST_F(PoolTest, FreedElementsComeBackLastInFirstOutBeforeTheUntouchedTail) {
  std::vector<void *> abc = take(3);
  pool_free(pool, abc[0]);  // A
  pool_free(pool, abc[1]);  // B
  EXPECT_EQ(pool->open_chunks->free_count, 2);
  EXPECT_EQ(pool_alloc(pool), abc[1]);
  EXPECT_EQ(pool_alloc(pool), abc[0]);
  void *untouched = pool_alloc(pool);
  EXPECT_EQ(static_cast<char *>(untouched), static_cast<char *>(abc[2]) + pool->stride);
  EXPECT_EQ(pool->open_chunks->used, 4);
  pool_free(pool, untouched);
  pool_free(pool, abc[2]);

  // Had A and B been the only ones out, the second free releases the chunk.
  EXPECT_EQ(pool->total_elements, 16);
  pool_free(pool, abc[0]);
  EXPECT_EQ(pool->total_elements, 16);
  pool_free(pool, abc[1]);
  EXPECT_EQ(pool->total_elements, 0);
  EXPECT_EQ(pool->open_chunks, nullptr);
}

TEST_F(PoolTest, ContentsSurviveAFreeAndZeroedAllocationClearsTheRoundedPayload) {
  std::vector<void *> two = take(2);
  memset(two[0], 0xA5, 8);  // size 5 rounds to 8 payload bytes at both widths
  pool_free(pool, two[0]);
  unsigned char *plain = static_cast<unsigned char *>(pool_alloc(pool));
  ASSERT_EQ(plain, two[0]);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(plain[i], 0xA5) << "pool_alloc leaves the payload as it was, byte " << i;
  pool_free(pool, plain);
  unsigned char *zeroed = static_cast<unsigned char *>(pool_alloc_zeroed(pool));
  ASSERT_EQ(zeroed, two[0]);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(zeroed[i], 0) << "byte " << i;
  EXPECT_EQ(chunk_of(two[1]), chunk_of(zeroed)) << "the neighbour's header is untouched";
  pool_free(pool, zeroed);
  pool_free(pool, two[1]);
}

TEST_F(PoolTest, GrowthIsASixteenthOfTheTotalInMultiplesOfSixteen) {
  // Chunk sizes while the pool only grows; min_chunk 16, max_chunk large.
  std::vector<int32_t> sizes;
  std::vector<void *> out;
  while (pool->total_elements < 2320) {
    int32_t before = pool->total_elements;
    out.push_back(pool_alloc(pool));
    ASSERT_NE(out.back(), nullptr);
    if (pool->total_elements != before) sizes.push_back(pool->total_elements - before);
  }
  std::vector<int32_t> want;
  struct Run {
    int32_t size, count;
  } runs[] = {{16, 32}, {32, 8}, {48, 6}, {64, 4}, {80, 3}, {96, 3}, {112, 2}, {128, 2}};
  for (const Run &r : runs) want.insert(want.end(), r.count, r.size);
  EXPECT_EQ(sizes, want);
  EXPECT_EQ(check_pool(pool), static_cast<long>(out.size()));
  pool_free_all(pool);
}

TEST(PoolGrowth, StopsAtMaxChunkOnceThePoolHolds4096) {
  Pool *pool = pool_create(32, 16, 256, 2);  // as the event queue makes it
  ASSERT_NE(pool, nullptr);
  int32_t last = 0;
  while (pool->total_elements < 8192) {
    int32_t before = pool->total_elements;
    ASSERT_NE(pool_alloc(pool), nullptr);
    int32_t grew = pool->total_elements - before;
    if (grew == 0) continue;
    SCOPED_TRACE(before);
    EXPECT_EQ(grew == 256, before >= 4096) << "4095 / 16 rounds down to 240";
    EXPECT_LE(grew, 256);
    EXPECT_EQ(grew % 16, 0);
    EXPECT_GE(grew, last) << "chunks never shrink while the pool grows";
    last = grew;
  }
  EXPECT_EQ(last, 256);
  pool_destroy(pool);  // frees the chunks with elements still out
}

TEST(PoolGrowth, MinChunkOfOneGoesStraightToTheFullList) {
  Pool *pool = pool_create(4, 1, 1, 0);
  void *a = pool_alloc(pool);
  void *b = pool_alloc(pool);
  EXPECT_EQ(pool->open_chunks, nullptr);
  EXPECT_EQ(chunk_list(pool->full_chunks).size(), 2u);
  EXPECT_NE(chunk_of(a), chunk_of(b));
  pool_free(pool, a);
  EXPECT_EQ(pool->total_elements, 1);
  pool_free(pool, b);
  EXPECT_EQ(pool->full_chunks, nullptr);
  pool_destroy(pool);
}

TEST_F(PoolTest, ARefusedChunkFallsBackToOneElementOnTheFullList) {
  std::vector<void *> first = take(16);  // one full chunk
  void *single;
  {
    AllocFailure refuse(1);  // the second 16-element chunk
    single = pool_alloc(pool);
    EXPECT_EQ(alloc_seam_calls(), 2) << "one refused chunk, one single-element chunk";
  }
  ASSERT_NE(single, nullptr);
  PoolChunk *c = chunk_of(single);
  EXPECT_EQ(c->capacity, 1);
  EXPECT_EQ(block_length(c), static_cast<NativeInt>(sizeof(PoolChunk)) + pool->stride);
  EXPECT_EQ(pool->full_chunks, c) << "the single chunk heads the full list";
  EXPECT_EQ(pool->open_chunks, nullptr);
  EXPECT_EQ(pool->total_elements, 17);

  // The next allocation tries a full-size chunk again.
  void *next = pool_alloc(pool);
  EXPECT_EQ(chunk_of(next)->capacity, 16);
  pool_free(pool, next);

  pool_free(pool, single);
  EXPECT_EQ(pool->total_elements, 16) << "freeing the single element releases its chunk";
  EXPECT_EQ(chunk_list(pool->full_chunks).size(), 1u);
  for (void *e : first) pool_free(pool, e);
}

TEST_F(PoolTest, WhenTheHeapRefusesEverythingAllocationGivesNullAndChangesNothing) {
  void *held = pool_alloc(pool);
  std::vector<void *> rest = take(15);
  PoolChunk *full = pool->full_chunks;
  {
    AllocFailure refuse(1, true);
    EXPECT_EQ(pool_alloc(pool), nullptr);
    EXPECT_EQ(pool_alloc_zeroed(pool), nullptr);
  }
  EXPECT_EQ(pool->total_elements, 16);
  EXPECT_EQ(pool->full_chunks, full);
  EXPECT_EQ(full->next, nullptr);
  EXPECT_EQ(pool->open_chunks, nullptr);
  pool_free(pool, held);
  for (void *e : rest) pool_free(pool, e);
}

TEST_F(PoolTest, FreeAllDropsEveryChunkAndTheNextAllocationStartsOver) {
  take(40);  // 16 + 16 + 16: two full chunks, one open
  EXPECT_EQ(pool->total_elements, 48);
  pool_free_all(pool);
  EXPECT_EQ(pool->total_elements, 0);
  EXPECT_EQ(pool->open_chunks, nullptr);
  EXPECT_EQ(pool->full_chunks, nullptr);
  void *e = pool_alloc(pool);
  EXPECT_EQ(pool->total_elements, 16);
  pool_free(pool, e);
}

TEST(PoolZeroSize, ElementsOfSizeZeroAreDistinctHeaderWords) {
  Pool *pool = pool_create(0, 4, 4, 0);
  void *a = pool_alloc_zeroed(pool);
  void *b = pool_alloc(pool);
  EXPECT_EQ(static_cast<char *>(b) - static_cast<char *>(a), kWord);
  pool_free(pool, a);
  pool_free(pool, b);
  EXPECT_EQ(pool->total_elements, 0);
  pool_destroy(pool);
}

// Shared pools --------------------------------------------------------------

int registry_size() {
  int n = 0;
  for (PoolRegistryEntry *e = pool_registry_head; e != nullptr; e = e->next) ++n;
  return n;
}

TEST(SharedPool, EqualStrideAndFlagsShareOnePoolWhateverTheChunkLimits) {
  Pool *a = pool_create(5, 16, 65536, POOL_SHARED);
  ASSERT_NE(a, nullptr);
  PoolRegistryEntry *entry = a->registry_entry;
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(pool_registry_head, entry);
  EXPECT_EQ(entry->pool, a);
  EXPECT_EQ(entry->flags, POOL_SHARED);
  EXPECT_EQ(entry->stride, a->stride);
  EXPECT_EQ(entry->ref_count, 1);

  struct Row {
    int32_t size, min, max, flags;
    bool same;
    const char *why;
  } rows[] = {
      {8, 16, 65536, POOL_SHARED, true, "5 and 8 round to one stride"},
      {6, 2, 3, POOL_SHARED, true, "other chunk limits get the first pool"},
      {9, 16, 65536, POOL_SHARED, false, "9 needs a larger stride"},
      {8, 16, 65536, POOL_SHARED | POOL_LOCKED, false, "flags 5 against 4"},
      {8, 16, 65536, POOL_SHARED | 2, false, "the whole flags word is the key"},
  };
  std::vector<Pool *> made;
  for (const Row &r : rows) {
    SCOPED_TRACE(r.why);
    Pool *p = pool_create(r.size, r.min, r.max, r.flags);
    ASSERT_NE(p, nullptr);
    made.push_back(p);
    EXPECT_EQ(p == a, r.same);
    if (!r.same) {
      EXPECT_EQ(pool_registry_head->pool, p) << "new entries go first";
      EXPECT_EQ(p->registry_entry->flags, r.flags);
    }
  }
  EXPECT_EQ(entry->ref_count, 3);
  EXPECT_EQ(a->min_chunk, 16);
  EXPECT_EQ(a->max_chunk, 65536);
  EXPECT_EQ(made[3]->locked, 1u) << "a shared pool keeps its locking mode";
  EXPECT_EQ(registry_size(), 4);

  for (size_t i = made.size(); i-- > 0;) pool_destroy(made[i]);
  EXPECT_EQ(registry_size(), 1);
  EXPECT_EQ(entry->ref_count, 1);
  void *e = pool_alloc(a);
  ASSERT_NE(e, nullptr) << "the pool lives until its last reference goes";
  pool_free(a, e);
  pool_destroy(a);
  EXPECT_EQ(pool_registry_head, nullptr);
}

TEST(SharedPool, RemovingAMiddleEntryKeepsTheRegistryLinked) {
  Pool *p1 = pool_create(4, 16, 64, POOL_SHARED);
  Pool *p2 = pool_create(40, 16, 64, POOL_SHARED);
  Pool *p3 = pool_create(80, 16, 64, POOL_SHARED);
  ASSERT_EQ(registry_size(), 3);
  pool_destroy(p2);
  ASSERT_EQ(registry_size(), 2);
  EXPECT_EQ(pool_registry_head->pool, p3);
  EXPECT_EQ(pool_registry_head->next->pool, p1);
  EXPECT_EQ(pool_registry_head->next->prev, pool_registry_head);
  pool_destroy(p3);
  EXPECT_EQ(pool_registry_head->pool, p1);
  EXPECT_EQ(pool_registry_head->prev, nullptr);
  pool_destroy(p1);
  EXPECT_EQ(pool_registry_head, nullptr);
}

TEST(SharedPool, EveryRefusedAllocationOfACreationRegistersNothing) {
  Pool *other = pool_create(100, 16, 64, POOL_SHARED);  // something already registered
  for (long n = 1;; ++n) {
    SCOPED_TRACE(n);
    Pool *p;
    {
      AllocFailure refuse(n);
      p = pool_create(8, 16, 64, POOL_SHARED);
    }
    if (p != nullptr) {
      EXPECT_EQ(n, 3) << "entry and pool record are the only allocations";
      EXPECT_EQ(registry_size(), 2);
      pool_destroy(p);
      break;
    }
    EXPECT_EQ(registry_size(), 1);
    EXPECT_EQ(pool_registry_head->pool, other);
    EXPECT_EQ(pool_registry_head->ref_count, 1);
  }
  {
    AllocFailure refuse(1);
    EXPECT_EQ(pool_create(8, 16, 64, 0), nullptr) << "a private pool needs its record";
  }
  pool_destroy(other);
}

TEST(SharedPool, AReferenceToAnExistingPoolNeedsNoMemory) {
  Pool *p = pool_create(8, 16, 64, POOL_SHARED);
  {
    AllocFailure refuse(1, true);
    EXPECT_EQ(pool_create(7, 16, 64, POOL_SHARED), p);
  }
  pool_destroy(p);
  pool_destroy(p);
  EXPECT_EQ(pool_registry_head, nullptr);
}

// Checks on bad frees -------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
TEST(PoolAsan, UseOfAFreedOrUntouchedElementIsReported) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Pool *pool = pool_create(24, 16, 16, 0);
  void *keep = pool_alloc(pool);
  char *freed = static_cast<char *>(pool_alloc(pool));
  pool_free(pool, freed);
  EXPECT_DEATH(freed[3] = 1, "use-after-poison");
  char *untouched = static_cast<char *>(keep) + 2 * pool->stride;
  EXPECT_DEATH(untouched[0] = 1, "use-after-poison");
  // Handed out again, the element is plain memory once more.
  char *again = static_cast<char *>(pool_alloc(pool));
  ASSERT_EQ(again, freed);
  again[23] = 1;
  pool_free(pool, again);
  pool_free(pool, keep);
  pool_destroy(pool);
}
#endif

#ifndef NDEBUG
TEST(PoolChecks, DoubleAndForeignFreesAbortInCheckedBuilds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Pool *pool = pool_create(16, 16, 16, 0);
  Pool *other = pool_create(28, 16, 16, 0);  // a stride that is no multiple of the first
  void *keep = pool_alloc(pool);
  void *twice = pool_alloc(pool);
  pool_free(pool, twice);
  EXPECT_DEATH(pool_free(pool, twice), "freed twice or foreign");
  void *other_first = pool_alloc(other);
  void *foreign = pool_alloc(other);
  EXPECT_DEATH(pool_free(pool, foreign), "freed twice or foreign");
  pool_free(other, foreign);
  pool_free(other, other_first);
  pool_free(pool, keep);
  pool_destroy(other);
  pool_destroy(pool);
}
#endif

}  // namespace
