// Exhausted memory in the event queue, swept (support/oom_sweep.h): the
// initialiser, posts that need a new record chunk, and bindings. The
// initialiser ends through the out-of-memory exit naming what it could not
// get, or falls back to a one-record chunk; a post or a bind without memory
// leaves the queue and the bindings as they were and working.
#include <gtest/gtest.h>

#include <vector>

#include "events/events.h"
#include "support/oom_sweep.h"

namespace {

using oom::Expect;
using oom::Outcome;
using oom::refusing;
using oom::Row;
using oom::kFallback;
using oom::kNull;

const Expect kExitPool{Outcome::kExit, "the event record pool"};
const Expect kExitMap{Outcome::kExit, "the event binding map"};

std::vector<NativeInt> queued_items() {
  std::vector<NativeInt> items;
  const EventRecord *last = nullptr;
  for (const EventRecord *r = event_queue.head; r != nullptr; r = r->next) {
    items.push_back(r->item);
    last = r;
  }
  EXPECT_EQ(event_queue.tail, last) << "the tail is the last record";
  return items;
}

int handled = 0;
void count_handler() { ++handled; }

// The module works: a bound handler runs for an immediate post, a deferred
// post is queued and fetched in order.
void expect_usable() {
  handled = 0;
  ASSERT_EQ(event_bind(40, -1, -1, -1, count_handler), 1);
  event_post_simple(40, 1, 2, 3);
  EXPECT_EQ(handled, 1);
  event_post(41, 5, 6, 7, 0, nullptr, EVENT_POST_DEFERRED);
  EXPECT_EQ(event_next(), 40);
  EXPECT_EQ(event_next(), 41);
  EXPECT_EQ(event_current_item(), 5);
  EXPECT_EQ(event_next(), 0);
  EXPECT_EQ(event_unbind(40, -1, -1, -1, count_handler), 1);
}

// events_init on a module that holds nothing yet (each run starts from a
// child of a test process that initialised it once, then gave it all back
// by initialising again: the same allocations every time).
Outcome run_events_init(long n, bool onward) {
  refusing(n, onward, [] {
    events_init();
    return 0;
  });
  Outcome outcome = event_queue.record_pool->total_elements == 1 ? Outcome::kFallback : Outcome::kResult;
  EXPECT_TRUE(queued_items().empty());
  EXPECT_EQ(event_queue.binding_map->count, 0);
  expect_usable();
  return outcome;
}

TEST(EventsOutOfMemorySweep, InitialiserExitsOrFallsBackToAOneRecordChunk) {
  events_init();
  const Row row{"events_init",
                run_events_init,
                {kExitPool, kFallback, kExitMap, kExitMap, kExitMap, kExitMap, kExitMap},
                {kExitPool, kExitPool, kExitMap, kExitMap, kExitMap, kExitMap, kExitMap}};
  oom::sweep(row);
}

// A queue of 15 deferred records (the held element fills the first chunk of
// 16), then one more post that needs a new chunk.
template <NativeInt kFlags>
Outcome run_post_needing_a_chunk(long n, bool onward) {
  events_init();
  for (NativeInt i = 0; i < 15; ++i) event_post(2, i, 0, 0, 0, nullptr, EVENT_POST_DEFERRED);
  EXPECT_NE(event_queue.record_pool->full_chunks, nullptr) << "the first chunk is full";
  const int32_t total_before = event_queue.record_pool->total_elements;
  refusing(n, onward, [] {
    event_post(3, 99, 0, 0, 0, nullptr, kFlags);
    return 0;
  });
  std::vector<NativeInt> items = queued_items();
  Outcome outcome = Outcome::kResult;
  std::vector<NativeInt> want;
  for (NativeInt i = 0; i < 15; ++i) want.push_back(i);
  if (items.size() == 15) {
    outcome = Outcome::kNull;  // not queued
  } else {
    want.push_back(99);
    if (event_queue.record_pool->total_elements == total_before + 1) outcome = Outcome::kFallback;
  }
  EXPECT_EQ(items, want);
  // Drain, and the queue still works.
  while (event_next() != 0) {
  }
  expect_usable();
  return outcome;
}

Outcome run_bind(long n, bool onward) {
  events_init();
  handled = 0;
  EXPECT_EQ(event_bind(7, -1, -1, -1, count_handler), 1);
  int bound = refusing(n, onward, [] { return event_bind(8, 1, -1, -1, count_handler); });
  event_post_simple(8, 0, 1, 0);
  EXPECT_EQ(handled, bound) << "bound means it runs, unbound means it does not";
  event_post_simple(7, 0, 0, 0);
  EXPECT_EQ(handled, bound + 1) << "the earlier binding still runs";
  EXPECT_EQ(event_unbind(8, 1, -1, -1, count_handler), bound);
  while (event_next() != 0) {
  }
  return bound ? Outcome::kResult : Outcome::kNull;
}

TEST(EventsOutOfMemorySweep, PostsAndBindsWithoutMemoryLeaveTheQueueWorking) {
  const Row rows[] = {
      {"an immediate post needing a new record chunk", run_post_needing_a_chunk<0>, {kFallback}, {kNull}},
      {"a deferred post needing a new record chunk", run_post_needing_a_chunk<EVENT_POST_DEFERRED>,
       {kFallback},
       {kNull}},
      {"event_bind under a new key: the binding, the key copy", run_bind, {kNull, kNull}, {}},
  };
  for (const Row &row : rows) oom::sweep(row);
}

}  // namespace
