// Pools under several threads: a pool with its own lock shared by allocating
// and freeing threads, and shared pools created and destroyed concurrently
// (the first creation also races the registry's one-time set-up).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "containers/pool.h"
#include "pool_helpers.h"

namespace {

constexpr int kThreads = 4;

struct Stamp {
  int thread;
  int serial;
};

TEST(PoolThreads, ALockedPoolHandsEachElementToOneThreadAtATime) {
  Pool *pool = pool_create(sizeof(Stamp), 4, 32, POOL_LOCKED);
  ASSERT_NE(pool, nullptr);
  std::atomic<long> errors{0};
  std::atomic<long> handed_out{0};
  auto work = [&](int id) {
    std::vector<Stamp *> mine;
    uint32_t r = static_cast<uint32_t>(id) * 2654435761u + 1;
    for (int i = 0; i < 20000; ++i) {
      r = r * 1103515245u + 12345u;
      if (mine.size() < 40 && ((r >> 16) % 3 != 0 || mine.empty())) {
        auto *s = static_cast<Stamp *>(pool_alloc(pool));
        if (s == nullptr) {
          ++errors;
          continue;
        }
        s->thread = id;
        s->serial = i;
        mine.push_back(s);
        ++handed_out;
      } else {
        size_t at = (r >> 8) % mine.size();
        Stamp *s = mine[at];
        // Another thread holding the same element would have overwritten it.
        if (s->thread != id) ++errors;
        mine[at] = mine.back();
        mine.pop_back();
        pool_free(pool, s);
      }
      // Check all held elements now and then, not just the one freed.
      if (i % 500 == 0)
        for (Stamp *s : mine)
          if (s->thread != id) ++errors;
    }
    for (Stamp *s : mine) {
      if (s->thread != id) ++errors;
      pool_free(pool, s);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(errors.load(), 0);
  EXPECT_GT(handed_out.load(), 20000);
  EXPECT_EQ(check_pool(pool), 0);
  EXPECT_EQ(pool->total_elements, 0) << "every element came back, so every chunk did";
  pool_destroy(pool);
}

TEST(PoolThreads, SharedPoolsCreatedAndDestroyedConcurrentlyKeepExactCounts) {
  // Element sizes 8 and 9 give two strides; flags 4 and 5 two keys per stride.
  const int32_t sizes[] = {8, 9};
  const int32_t flags[] = {POOL_SHARED, POOL_SHARED | POOL_LOCKED};
  std::atomic<int> ready{0};
  std::atomic<long> errors{0};
  auto work = [&](int id) {
    ++ready;
    while (ready.load() < kThreads) {
    }
    for (int i = 0; i < 3000; ++i) {
      int32_t size = sizes[(i + id) % 2];
      int32_t f = flags[(i / 2 + id) % 2];
      Pool *a = pool_create(size, 16, 64, f);
      Pool *b = pool_create(size, 16, 64, f);
      if (a == nullptr || a != b || a->registry_entry == nullptr || a->registry_entry->flags != f) ++errors;
      if (a == nullptr) continue;
      if ((f & POOL_LOCKED) != 0) {
        // Locked shared pools may also be used from all threads at once.
        void *e = pool_alloc(a);
        if (e == nullptr) ++errors;
        else pool_free(a, e);
      }
      pool_destroy(b);
      pool_destroy(a);
    }
  };
  // One long-lived reference keeps one of the four pools alive throughout.
  Pool *held = nullptr;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
  held = pool_create(8, 16, 64, POOL_SHARED);
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(errors.load(), 0);
  ASSERT_NE(held, nullptr);
  ASSERT_NE(pool_registry_head, nullptr);
  EXPECT_EQ(pool_registry_head->next, nullptr) << "only the held pool is left";
  EXPECT_EQ(pool_registry_head->pool, held);
  EXPECT_EQ(pool_registry_head->ref_count, 1);
  pool_destroy(held);
  EXPECT_EQ(pool_registry_head, nullptr);
}

}  // namespace
