// The event queue on one thread: start-up state, merging, the five dispatch
// keys and their order, the current event seen by handlers, release timing,
// peeking, the held pool element, an exhausted record pool, bindings made and
// removed (also from running handlers), and the switch that ignores posts.
// Built against both forms of the module.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/frame.h"
#include "events/events.h"
#include "support/alloc_seam.h"

namespace {

constexpr NativeInt W = static_cast<NativeInt>(sizeof(NativeInt));

// One queued record as the tests compare it.
struct Rec {
  NativeInt event, item, scope, type, data;
  bool operator==(const Rec &) const = default;
};

void PrintTo(const Rec &r, std::ostream *os) {
  *os << "{" << r.event << " i" << r.item << " s" << r.scope << " t" << r.type << " d" << r.data << "}";
}

std::vector<Rec> queued() {
  std::vector<Rec> records;
  const EventRecord *last = nullptr;
  for (const EventRecord *r = event_queue.head; r != nullptr; r = r->next) {
    records.push_back({r->event, r->item, r->scope, r->type, r->data});
    last = r;
  }
  EXPECT_EQ(event_queue.tail, last) << "the tail is the last record";
  return records;
}

// The key text as the C library writes it, at the width in use.
std::string ref_key(NativeInt event, NativeInt scope, NativeInt item, NativeInt type) {
  char text[128];
  snprintf(text, sizeof text, "%" PRIdPTR ":%" PRIdPTR ":%" PRIdPTR ":%" PRIdPTR, event, scope, item, type);
  return text;
}

// What each handler saw: which one ran, and the current event at the time.
struct Call {
  int handler;
  CurrentEvent seen;
};
std::vector<Call> calls;

// Optional extra work of a handler, set by a test.
void (*handler_action)(int handler) = nullptr;

template <int N>
void handler() {
  Call call{N, {}};
  event_current(&call.seen);
  calls.push_back(call);
  if (handler_action != nullptr) handler_action(N);
}

std::vector<int> handlers_run() {
  std::vector<int> order;
  for (const Call &c : calls) order.push_back(c.handler);
  return order;
}

struct Released {
  int release;
  NativeInt data;
  bool operator==(const Released &) const = default;
};
std::vector<Released> releases;

template <int N>
void release(NativeInt data) {
  releases.push_back({N, data});
}

class Events : public ::testing::Test {
 protected:
  void SetUp() override {
    events_init();
    calls.clear();
    releases.clear();
    handler_action = nullptr;
  }
  void TearDown() override { handler_action = nullptr; }
};

TEST_F(Events, StartsEmptyWithOnePoolElementHeldAndAnEmptyBindingMap) {
  printf("pointer bits %d, thread-safe %d, sizeof EventRecord %zu, key room %d\n", KRT_POINTER_BITS,
         events_thread_safe_build(), sizeof(EventRecord), static_cast<int>(EVENT_KEY_SIZE));
  EXPECT_EQ(events_thread_safe_build(), KRT_EXPECT_THREAD_SAFE) << "the library and its header agree";
  EXPECT_EQ(sizeof(EventRecord), static_cast<size_t>(8 * W)) << "a link and seven values: 32 bytes at 32 bits";
  EXPECT_EQ(EVENT_KEY_SIZE, W == 4 ? 48 : 84);

  EXPECT_EQ(event_queue.head, nullptr);
  EXPECT_EQ(event_queue.tail, nullptr);
  const Pool *pool = event_queue.record_pool;
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(pool->stride, pool_stride(sizeof(EventRecord)));
  EXPECT_EQ(pool->min_chunk, 16);
  EXPECT_EQ(pool->max_chunk, 256);
  EXPECT_EQ(pool->locked, 0u) << "locking mode 2 has no mutex";
  EXPECT_EQ(pool->registry_entry, nullptr) << "private";
  EXPECT_EQ(pool->total_elements, 16) << "the held element keeps the first chunk";
  ASSERT_NE(pool->open_chunks, nullptr);
  EXPECT_EQ(pool->open_chunks->used - pool->open_chunks->free_count, 1) << "one element out";

  const HashMap *map = event_queue.binding_map;
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->bucket_count, 1024);
  EXPECT_EQ(map->count, 0);
  EXPECT_EQ(map->value_size, static_cast<NativeInt>(sizeof(BindingList)));
  EXPECT_EQ(sizeof(BindingList), static_cast<size_t>(2 * W));
  EXPECT_EQ(map->flags & MAP_NOCASE, 0) << "keys compare exactly";
  EXPECT_EQ(map->owner_slot, &event_queue.binding_map);

  CurrentEvent c;
  event_current(&c);
  EXPECT_EQ(c.event, 0);
  EXPECT_EQ(c.item, 0);
  EXPECT_EQ(c.scope, 0);
  EXPECT_EQ(c.type, 0);
  EXPECT_EQ(c.data, 0);
  EXPECT_EQ(c.release, nullptr);
  EXPECT_EQ(event_posts_ignored(), 0);
}

TEST_F(Events, PostsMergeOnlyWithAnIdenticalTail) {
  struct Step {
    char op;  // 'P' posts, 'N' fetches
    NativeInt event, item, scope, type, data, flags;
  };
  struct Row {
    std::vector<Step> steps;
    std::vector<Rec> want;
    const char *why;
  } rows[] = {
      {{{'P', 10, 3, 1, 0, 0, 0}, {'P', 10, 3, 1, 0, 0, 0}}, {{10, 3, 1, 0, 0}}, "consecutive duplicates merge"},
      {{{'P', 10, 3, 1, 0, 0, 2}, {'P', 10, 3, 1, 0, 0, 2}},
       {{10, 3, 1, 0, 0}, {10, 3, 1, 0, 0}},
       "deferred posts never merge"},
      {{{'P', 10, 3, 1, 0, 0, 0}, {'P', 10, 3, 1, 0, 0, 2}},
       {{10, 3, 1, 0, 0}, {10, 3, 1, 0, 0}},
       "a deferred post does not merge into an immediate tail"},
      {{{'P', 10, 3, 1, 0, 7, 2}, {'P', 10, 3, 1, 0, 8, 0}},
       {{10, 3, 1, 0, 7}},
       "an immediate post merges into a deferred tail; the tail keeps its data"},
      {{{'P', 1, 0, 0, 0, 0, 0}, {'P', 2, 0, 0, 0, 0, 0}, {'P', 1, 0, 0, 0, 0, 0}},
       {{1, 0, 0, 0, 0}, {2, 0, 0, 0, 0}, {1, 0, 0, 0, 0}},
       "A B A: only the tail is compared"},
      {{{'P', 65536, 0, 0, 0, 0, 0}, {'P', 65536, 0, 0, 0, 0, 0}},
       {{65536, 0, 0, 0, 0}, {65536, 0, 0, 0, 0}},
       "numbers above 65535 never merge"},
      {{{'P', 65535, 0, 0, 0, 0, 0}, {'P', 65535, 0, 0, 0, 0, 0}}, {{65535, 0, 0, 0, 0}}, "65535 still merges"},
      {{{'P', -5, 0, 0, 0, 0, 0}, {'P', -5, 0, 0, 0, 0, 0}}, {{-5, 0, 0, 0, 0}}, "negative numbers merge"},
      {{{'P', 10, 3, 1, 0, 1, 0}, {'P', 10, 4, 1, 0, 2, 0}, {'P', 10, 4, 2, 0, 3, 0}, {'P', 10, 4, 2, 1, 4, 0}},
       {{10, 3, 1, 0, 1}, {10, 4, 1, 0, 2}, {10, 4, 2, 0, 3}, {10, 4, 2, 1, 4}},
       "item, scope and type each count"},
      {{{'P', 10, 3, 1, 0, 0, 0}, {'N', 0, 0, 0, 0, 0, 0}, {'P', 10, 3, 1, 0, 0, 0}},
       {{10, 3, 1, 0, 0}},
       "after the queue empties the same post is queued anew"},
      {{{'P', 10, 3, 1, 0, 0, 0}, {'P', 11, 0, 0, 0, 0, 0}, {'N', 0, 0, 0, 0, 0, 0}, {'P', 11, 0, 0, 0, 0, 0}},
       {{11, 0, 0, 0, 0}},
       "a fetch from the head leaves the tail to merge with"},
      {{{'P', 10, 3, 1, 0, 0, 8}, {'P', 10, 3, 1, 0, 0, 8 | 4}},
       {{10, 3, 1, 0, 0}},
       "unknown flag bits neither merge nor split"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.why);
    events_init();
    for (const Step &s : r.steps) {
      if (s.op == 'P')
        event_post(s.event, s.item, s.scope, s.type, s.data, nullptr, s.flags);
      else
        event_next();
    }
    EXPECT_EQ(queued(), r.want);
  }
}

TEST_F(Events, ARecordKeepsAllSevenPostedValues) {
  event_post(10, 3, 1, 4, 99, release<1>, 8 | EVENT_POST_DEFERRED);
  ASSERT_NE(event_queue.head, nullptr);
  const EventRecord *r = event_queue.head;
  EXPECT_EQ(r->event, 10);
  EXPECT_EQ(r->item, 3);
  EXPECT_EQ(r->scope, 1);
  EXPECT_EQ(r->type, 4);
  EXPECT_EQ(r->data, 99);
  EXPECT_EQ(r->release, &release<1>);
  EXPECT_EQ(r->flags, 8 | EVENT_POST_DEFERRED) << "unknown bits are kept";
  EXPECT_EQ(r->next, nullptr);
}

TEST_F(Events, EveryPostOfAMergedBurstRunsItsHandlers) {
  for (int k = 0; k < 5; ++k) ASSERT_EQ(event_bind(10, 1, 3, 0, handler<1>), 1);
  ASSERT_EQ(event_bind(10, 1, 3, -1, handler<2>), 1);
  ASSERT_EQ(event_bind(10, 1, -1, -1, handler<3>), 1);
  ASSERT_EQ(event_bind(10, -1, -1, -1, handler<4>), 1);
  ASSERT_EQ(event_bind(10, -1, 3, 0, handler<5>), 1);
  // Five bindings of handler 1 under the exact key run in binding order, so
  // the order shows up as five 1s before the other keys.
  std::vector<int> one_post = {1, 1, 1, 1, 1, 2, 3, 4, 5};
  event_post_simple(10, 3, 1, 0);
  EXPECT_EQ(handlers_run(), one_post);
  event_post_simple(10, 3, 1, 0);
  EXPECT_EQ(queued().size(), 1u) << "merged";
  std::vector<int> two_posts = one_post;
  two_posts.insert(two_posts.end(), one_post.begin(), one_post.end());
  EXPECT_EQ(handlers_run(), two_posts) << "the merged post ran them again";
}

TEST_F(Events, DeferredPostsRunTheirHandlersWhenFetched) {
  ASSERT_EQ(event_bind(10, -1, -1, -1, handler<4>), 1);
  event_post(10, 3, 1, 0, 0, nullptr, EVENT_POST_DEFERRED);
  event_post(10, 3, 1, 0, 0, nullptr, EVENT_POST_DEFERRED);
  EXPECT_TRUE(calls.empty()) << "nothing runs at the post";
  EXPECT_EQ(event_next(), 10);
  EXPECT_EQ(handlers_run(), std::vector<int>{4});
  EXPECT_EQ(calls[0].seen.item, 3) << "handlers see the fetched event";
  EXPECT_EQ(event_next(), 10);
  EXPECT_EQ(handlers_run(), (std::vector<int>{4, 4}));

  calls.clear();
  event_post_simple(10, 3, 1, 0);
  EXPECT_EQ(handlers_run(), std::vector<int>{4}) << "an immediate post runs them at once";
  EXPECT_EQ(event_next(), 10);
  EXPECT_EQ(handlers_run(), std::vector<int>{4}) << "and not again when fetched";
}

// The handler run for each of the event's five lookups, as indices into the
// row's distinct keys.
TEST_F(Events, FiveKeysAreLookedUpInOrderWhateverMatches) {
  struct Row {
    NativeInt event, item, scope, type;
    std::vector<std::string> keys;  // the five keys in dispatch order
    const char *why;
  } rows[] = {
      {7, 3, 2, 5, {"7:2:3:5", "7:2:3:-1", "7:2:-1:-1", "7:-1:-1:-1", "7:-1:3:5"}, "five distinct keys"},
      {7, -1, -1, -1, {"7:-1:-1:-1", "7:-1:-1:-1", "7:-1:-1:-1", "7:-1:-1:-1", "7:-1:-1:-1"}, "one key five times"},
      {7, 3, 2, -1, {"7:2:3:-1", "7:2:3:-1", "7:2:-1:-1", "7:-1:-1:-1", "7:-1:3:-1"}, "type -1: the exact key twice"},
      {7, -1, 2, 5, {"7:2:-1:5", "7:2:-1:-1", "7:2:-1:-1", "7:-1:-1:-1", "7:-1:-1:5"}, "item -1"},
      {-5, 0, 0, 0, {"-5:0:0:0", "-5:0:0:-1", "-5:0:-1:-1", "-5:-1:-1:-1", "-5:-1:0:0"}, "negative event"},
      {123456, 40000, -70000, 65536,
       {"123456:-70000:40000:65536", "123456:-70000:40000:-1", "123456:-70000:-1:-1", "123456:-1:-1:-1",
        "123456:-1:40000:65536"},
       "numbers of several digits"},
      {INTPTR_MIN, INTPTR_MAX, INTPTR_MIN, INTPTR_MAX,
       {ref_key(INTPTR_MIN, INTPTR_MIN, INTPTR_MAX, INTPTR_MAX), ref_key(INTPTR_MIN, INTPTR_MIN, INTPTR_MAX, -1),
        ref_key(INTPTR_MIN, INTPTR_MIN, -1, -1), ref_key(INTPTR_MIN, -1, -1, -1),
        ref_key(INTPTR_MIN, -1, INTPTR_MAX, INTPTR_MAX)},
       "the widest numbers of the build"},
  };
  using Handler = void (*)();
  const Handler by_index[] = {handler<0>, handler<1>, handler<2>, handler<3>, handler<4>};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.why);
    events_init();
    calls.clear();
    std::vector<std::string> distinct;
    std::vector<int> want;
    for (const std::string &key : r.keys) {
      size_t at = 0;
      while (at < distinct.size() && distinct[at] != key) ++at;
      if (at == distinct.size()) distinct.push_back(key);
      want.push_back(static_cast<int>(at));
    }
    // Bind each distinct key, named by its place in the dispatch order.
    for (size_t k = 0; k < distinct.size(); ++k) {
      const std::string &key = distinct[k];
      size_t first = 0;
      while (r.keys[first] != key) ++first;
      NativeInt scope = first <= 2 ? r.scope : -1;
      NativeInt item = first <= 1 || first == 4 ? r.item : -1;
      NativeInt type = first == 0 || first == 4 ? r.type : -1;
      ASSERT_EQ(event_bind(r.event, scope, item, type, by_index[k]), 1);
      EXPECT_NE(map_find_host(event_queue.binding_map, key.c_str()), nullptr) << "bound under " << key;
    }
    event_post_simple(r.event, r.item, r.scope, r.type);
    EXPECT_EQ(handlers_run(), want);
    calls.clear();
    event_post(r.event, r.item, r.scope, r.type, 0, nullptr, EVENT_POST_DEFERRED);
    event_next();  // the immediate post's record first
    event_next();
    EXPECT_EQ(handlers_run(), want) << "the same keys when fetched";
  }
}

TEST_F(Events, HandlersSeeThePostedEventWhichIsRestoredAfterwards) {
  event_post(20, 21, 22, 23, 24, release<1>, EVENT_POST_DEFERRED);
  ASSERT_EQ(event_next(), 20);
  ASSERT_EQ(event_bind(30, -1, -1, -1, handler<1>), 1);
  event_post(30, 31, 32, 33, 34, release<2>, 0);
  ASSERT_EQ(calls.size(), 1u);
  const CurrentEvent &seen = calls[0].seen;
  EXPECT_EQ(seen.event, 30);
  EXPECT_EQ(seen.item, 31);
  EXPECT_EQ(seen.scope, 32);
  EXPECT_EQ(seen.type, 33);
  EXPECT_EQ(seen.data, 34);
  EXPECT_EQ(seen.release, &release<2>);
  EXPECT_EQ(event_current_event(), 20) << "the fetched event is current again";
  EXPECT_EQ(event_current_item(), 21);
  EXPECT_EQ(event_current_scope(), 22);
  EXPECT_EQ(event_current_type(), 23);
  EXPECT_EQ(event_current_data(), 24);
  EXPECT_EQ(event_current_release(), &release<1>);
  EXPECT_TRUE(releases.empty()) << "an immediate post releases nothing";
}

TEST_F(Events, AHandlerThatPostsSeesItsOwnEventBackAfterTheInnerHandlers) {
  ASSERT_EQ(event_bind(1, -1, -1, -1, handler<1>), 1);
  ASSERT_EQ(event_bind(2, -1, -1, -1, handler<2>), 1);
  handler_action = [](int n) {
    if (n != 1) return;
    event_post_simple(2, 0, 0, 0);
    calls.push_back({9, {event_current_event(), event_current_item(), 0, 0, 0, nullptr}});
  };
  event_post_simple(1, 5, 0, 0);
  // Handler 1 runs under the event's fourth key and posts event 2 from there.
  std::vector<int> order = handlers_run();
  ASSERT_EQ(order, (std::vector<int>{1, 2, 9}));
  EXPECT_EQ(calls[1].seen.event, 2) << "inner handler sees the inner event";
  EXPECT_EQ(calls[2].seen.event, 1) << "outer event restored after the inner post";
  EXPECT_EQ(calls[2].seen.item, 5);
  EXPECT_EQ(queued(), (std::vector<Rec>{{1, 5, 0, 0, 0}, {2, 0, 0, 0, 0}}));
}

TEST_F(Events, TheReleaseRunsWhenTheNextEventReplacesTheCurrentOne) {
  event_post_data(1, 0, 0, 0, 5, release<1>);
  event_post_data(2, 0, 0, 0, 6, release<2>);
  EXPECT_EQ(event_next(), 1);
  EXPECT_TRUE(releases.empty()) << "not when it is fetched";
  EXPECT_EQ(event_current_data(), 5);
  EXPECT_EQ(event_next(), 2);
  EXPECT_EQ(releases, (std::vector<Released>{{1, 5}})) << "at the start of the next fetch";
  EXPECT_EQ(event_next(), 0);
  EXPECT_EQ(releases, (std::vector<Released>{{1, 5}, {2, 6}})) << "an empty queue still releases";
  EXPECT_EQ(event_current_data(), 0);
  EXPECT_EQ(event_current_release(), nullptr);
  EXPECT_EQ(event_next(), 0);
  EXPECT_EQ(releases.size(), 2u) << "released once";
}

TEST_F(Events, ReleaseNeedsBothDataAndACallback) {
  struct Row {
    NativeInt data;
    EventRelease callback;
    std::vector<Released> want;
    NativeInt data_after;  // the current data once the queue ran dry
    const char *why;
  } rows[] = {
      {5, release<1>, {{1, 5}}, 0, "both set: called, then both cleared"},
      {-3, release<1>, {{1, -3}}, 0, "any non-zero data"},
      {0, release<1>, {}, 0, "data 0: never called"},
      {5, nullptr, {}, 5, "no callback: the data stays current"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.why);
    events_init();
    releases.clear();
    event_post_data(1, 0, 0, 0, r.data, r.callback);
    for (int i = 0; i < 3; ++i) event_next();
    EXPECT_EQ(releases, r.want);
    EXPECT_EQ(event_current_data(), r.data_after);
  }
}

TEST_F(Events, AMergedPostIsNeverReleased) {
  event_post_data(1, 0, 0, 0, 5, release<1>);
  event_post_data(1, 0, 0, 0, 9, release<2>);
  EXPECT_EQ(queued(), (std::vector<Rec>{{1, 0, 0, 0, 5}}));
  event_next();
  event_next();
  event_next();
  EXPECT_EQ(releases, (std::vector<Released>{{1, 5}}));
}

TEST_F(Events, FetchingFromAnEmptyQueueKeepsItemAndScopeAndSetsTypeToAny) {
  event_post_simple(4, 41, 42, 43);
  ASSERT_EQ(event_next(), 4);
  EXPECT_EQ(event_current_type(), 43);
  EXPECT_EQ(event_next(), 0);
  CurrentEvent c;
  event_current(&c);
  EXPECT_EQ(c.event, 0);
  EXPECT_EQ(c.item, 41);
  EXPECT_EQ(c.scope, 42);
  EXPECT_EQ(c.type, -1);
  EXPECT_EQ(event_next(), 0) << "and again";
}

TEST_F(Events, PeekingReadsTheHeadWithoutTakingIt) {
  NativeInt item = 111, scope = 222, type = 333;
  EXPECT_EQ(event_peek(), 0);
  EXPECT_EQ(event_peek_full(&item, &scope, &type), 0);
  EXPECT_EQ(item, 111) << "nothing written on an empty queue";
  EXPECT_EQ(scope, 222);
  EXPECT_EQ(type, 333);

  event_post_simple(8, 1, 2, 3);
  event_post_simple(9, 4, 5, 6);
  EXPECT_EQ(event_peek(), 8);
  EXPECT_EQ(event_peek_full(&item, &scope, &type), 8);
  EXPECT_EQ(item, 1);
  EXPECT_EQ(scope, 2);
  EXPECT_EQ(type, 3);
  EXPECT_EQ(queued().size(), 2u);
  EXPECT_EQ(event_next(), 8);
  EXPECT_EQ(event_peek(), 9);
}

TEST_F(Events, AQueueThatEmptiesAndFillsAgainAsksTheHeapForNothing) {
  AllocCounter heap;
  for (int round = 0; round < 50; ++round) {
    // 15 records fill the first chunk beside the held element.
    for (NativeInt i = 0; i < 15; ++i) event_post(1, i, 0, 0, 0, nullptr, EVENT_POST_DEFERRED);
    while (event_next() != 0) {
    }
  }
  EXPECT_EQ(heap.calls(), 0);
  EXPECT_EQ(event_queue.record_pool->total_elements, 16);
}

TEST_F(Events, WithoutARecordAnImmediatePostStillRunsItsHandlers) {
  ASSERT_EQ(event_bind(3, -1, -1, -1, handler<1>), 1);
  for (NativeInt i = 0; i < 15; ++i) event_post(2, i, 0, 0, 0, nullptr, EVENT_POST_DEFERRED);
  std::vector<Rec> before = queued();
  {
    AllocFailure no_heap(1, true);  // neither a chunk nor a one-element chunk
    event_post_data(3, 7, 0, 0, 5, release<1>);
    event_post(3, 8, 0, 0, 0, nullptr, EVENT_POST_DEFERRED);
    EXPECT_GE(alloc_seam_failures(), 2);
  }
  EXPECT_EQ(queued(), before) << "nothing was queued";
  ASSERT_EQ(handlers_run(), std::vector<int>{1}) << "the immediate post ran its handler, the deferred one nothing";
  EXPECT_EQ(calls[0].seen.item, 7);
  EXPECT_TRUE(releases.empty());

  event_post_simple(3, 9, 0, 0);
  EXPECT_EQ(queued().size(), 16u) << "queued again once memory is back";
}

TEST_F(Events, ABindingRunsOncePerBindAndUnbindRemovesTheEarliest) {
  ASSERT_EQ(event_bind(5, -1, -1, -1, handler<1>), 1);
  ASSERT_EQ(event_bind(5, -1, -1, -1, handler<2>), 1);
  ASSERT_EQ(event_bind(5, -1, -1, -1, handler<1>), 1);
  event_dispatch(5, -1, -1, -1);
  EXPECT_EQ(handlers_run(), (std::vector<int>{1, 2, 1})) << "binding order";

  calls.clear();
  EXPECT_EQ(event_unbind(5, -1, -1, -1, handler<1>), 1);
  event_dispatch(5, -1, -1, -1);
  EXPECT_EQ(handlers_run(), (std::vector<int>{2, 1}));

  calls.clear();
  EXPECT_EQ(event_unbind(5, -1, -1, -1, handler<3>), 0) << "never bound";
  EXPECT_EQ(event_unbind(6, -1, -1, -1, handler<2>), 0) << "no such key";
  EXPECT_EQ(event_unbind(5, -1, -1, -1, handler<1>), 1);
  EXPECT_EQ(event_unbind(5, -1, -1, -1, handler<2>), 1);
  EXPECT_EQ(event_unbind(5, -1, -1, -1, handler<2>), 0) << "already gone";
  event_dispatch(5, -1, -1, -1);
  event_post_simple(5, 0, 0, 0);
  EXPECT_TRUE(calls.empty());

  ASSERT_EQ(event_bind(5, -1, -1, -1, handler<3>), 1);
  event_dispatch(5, -1, -1, -1);
  EXPECT_EQ(handlers_run(), std::vector<int>{3}) << "a key emptied and bound again";
}

TEST_F(Events, DispatchRunsOneKeyOnlyAndLeavesTheCurrentEventAlone) {
  ASSERT_EQ(event_bind(5, 1, 2, 3, handler<1>), 1);
  ASSERT_EQ(event_bind(5, 1, 2, -1, handler<2>), 1);
  event_dispatch(5, 1, 2, 3);
  ASSERT_EQ(handlers_run(), std::vector<int>{1});
  EXPECT_EQ(calls[0].seen.event, 0);
  event_dispatch(5, 2, 1, 3);
  EXPECT_EQ(calls.size(), 1u) << "scope and item are not interchangeable";
}

// Handlers that remove bindings while a dispatch walks the same list.
TEST_F(Events, HandlersMayUnbindWhileTheirKeyIsDispatched) {
  struct Row {
    int unbinder;     // the handler that unbinds when it runs
    int target;       // the handler it unbinds
    std::vector<int> first, second;  // handlers run by two posts
    const char *why;
  } rows[] = {
      {1, 1, {1, 2, 3}, {2, 3}, "the first binding removes itself"},
      {2, 2, {1, 2, 3}, {1, 3}, "a middle binding removes itself"},
      {3, 3, {1, 2, 3}, {1, 2}, "the last binding removes itself"},
      {1, 2, {1, 3}, {1, 3}, "the next binding is removed before it runs"},
      {1, 3, {1, 2}, {1, 2}, "a later binding is removed before it runs"},
      {3, 1, {1, 2, 3}, {2, 3}, "an earlier binding is removed after it ran"},
  };
  static int unbinder, target;
  for (const Row &r : rows) {
    SCOPED_TRACE(r.why);
    events_init();
    calls.clear();
    ASSERT_EQ(event_bind(5, -1, -1, -1, handler<1>), 1);
    ASSERT_EQ(event_bind(5, -1, -1, -1, handler<2>), 1);
    ASSERT_EQ(event_bind(5, -1, -1, -1, handler<3>), 1);
    unbinder = r.unbinder;
    target = r.target;
    handler_action = [](int n) {
      if (n != unbinder || target == 0) return;
      using Handler = void (*)();
      const Handler by_number[] = {nullptr, handler<1>, handler<2>, handler<3>};
      EXPECT_EQ(event_unbind(5, -1, -1, -1, by_number[target]), 1);
      target = 0;  // once
    };
    event_dispatch(5, -1, -1, -1);
    EXPECT_EQ(handlers_run(), r.first);
    calls.clear();
    event_dispatch(5, -1, -1, -1);
    EXPECT_EQ(handlers_run(), r.second);
  }
}

TEST_F(Events, AOneShotHandlerUnbindsItselfAcrossTheFiveKeys) {
  // Bound under the exact key and the wildcard key of the same event: the
  // first run removes the exact binding, the other key still runs.
  ASSERT_EQ(event_bind(6, 1, 2, 3, handler<1>), 1);
  ASSERT_EQ(event_bind(6, -1, -1, -1, handler<2>), 1);
  handler_action = [](int n) {
    if (n != 1) return;
    EXPECT_EQ(event_unbind(6, 1, 2, 3, handler<1>), 1);
  };
  event_post_simple(6, 2, 1, 3);
  event_post_simple(6, 2, 1, 3);
  EXPECT_EQ(handlers_run(), (std::vector<int>{1, 2, 2}));
}

TEST_F(Events, BindingWithoutMemoryBindsNothing) {
  // Fail each allocation a bind makes in turn (the binding, the map node or
  // its chunk, the key copy). A refused chunk can still be served by a
  // one-element chunk, so a bind may succeed despite a failure; whatever it
  // returns must be true.
  for (long n = 1;; ++n) {
    SCOPED_TRACE(n);
    int bound;
    long failures;
    {
      AllocFailure fail(n);
      bound = event_bind(5, 1, -1, -1, handler<1>);
      failures = alloc_seam_failures();
    }
    calls.clear();
    event_post_simple(5, 0, 1, 0);
    EXPECT_EQ(calls.size(), static_cast<size_t>(bound)) << "bound means it runs, unbound means it does not";
    if (bound) {
      EXPECT_EQ(event_unbind(5, 1, -1, -1, handler<1>), 1);
    }
    if (failures == 0) {
      EXPECT_EQ(bound, 1);
      break;
    }
    ASSERT_LT(n, 10);
  }
  {
    AllocFailure fail(1);
    EXPECT_EQ(event_bind(5, 1, -1, -1, handler<2>), 0) << "the binding itself";
  }
  calls.clear();
  event_post_simple(5, 0, 1, 0);
  EXPECT_TRUE(calls.empty());
}

TEST_F(Events, IgnoredPostsDoNothingUnlessForced) {
  ASSERT_EQ(event_bind(5, -1, -1, -1, handler<1>), 1);
  EXPECT_EQ(event_ignore_posts(1), 0);
  EXPECT_EQ(event_posts_ignored(), 1);
  event_post_simple(5, 0, 0, 0);
  event_post(5, 1, 0, 0, 0, nullptr, EVENT_POST_DEFERRED);
  EXPECT_TRUE(calls.empty());
  EXPECT_TRUE(queued().empty());
  event_post(5, 2, 0, 0, 0, nullptr, EVENT_POST_FORCED);
  event_post(5, 3, 0, 0, 0, nullptr, EVENT_POST_FORCED | EVENT_POST_DEFERRED);
  EXPECT_EQ(handlers_run(), std::vector<int>{1});
  EXPECT_EQ(queued(), (std::vector<Rec>{{5, 2, 0, 0, 0}, {5, 3, 0, 0, 0}}));
  EXPECT_EQ(event_ignore_posts(0), 1);
  event_post_simple(5, 4, 0, 0);
  EXPECT_EQ(queued().size(), 3u);
  EXPECT_EQ(event_ignore_posts(7), 0);
  EXPECT_EQ(event_posts_ignored(), 1) << "any non-zero value turns it on";
  events_init();
  EXPECT_EQ(event_posts_ignored(), 0) << "off after start-up";
}

TEST_F(Events, InitialisingAgainStartsFromAnEmptyModule) {
  ASSERT_EQ(event_bind(5, -1, -1, -1, handler<1>), 1);
  for (NativeInt i = 0; i < 40; ++i) event_post(5, i, 0, 0, 1, release<1>, EVENT_POST_DEFERRED);
  event_next();
  calls.clear();
  events_init();
  EXPECT_TRUE(queued().empty());
  EXPECT_EQ(event_queue.record_pool->total_elements, 16);
  EXPECT_EQ(event_queue.binding_map->count, 0);
  EXPECT_EQ(event_current_event(), 0);
  EXPECT_EQ(event_current_data(), 0);
  event_post_simple(5, 0, 0, 0);
  EXPECT_TRUE(releases.empty()) << "records given back without their release";
  EXPECT_TRUE(calls.empty()) << "bindings are gone";
  events_end();
  EXPECT_EQ(queued().size(), 1u) << "the end hook keeps everything";
}

// A child that survives its initialisation exits with 0 when the module is
// usable; one that runs out of memory ends through the out-of-memory exit.
bool out_of_memory_or_usable(int status) {
  return WIFEXITED(status) && (WEXITSTATUS(status) == RT_EXIT_OUT_OF_MEMORY || WEXITSTATUS(status) == 0);
}

void init_and_report(long n) {
  {
    AllocFailure fail(n);
    events_init();
  }
  event_post(1, 2, 3, 4, 0, nullptr, EVENT_POST_DEFERRED);
  bool usable = event_queue.binding_map != nullptr && event_next() == 1 && event_current_type() == 4;
  exit(usable ? 0 : 1);
}

TEST(EventsInit, RunningOutOfMemoryEndsTheProcess) {
  events_init();
  long needed;
  {
    // A second initialisation gives everything back first, so each child
    // below makes the same allocations as this one.
    AllocCounter heap;
    events_init();
    needed = heap.calls();
  }
  EXPECT_GE(needed, 4) << "pool, chunk, map, buckets at least";
  EXPECT_EXIT(init_and_report(1), ::testing::ExitedWithCode(RT_EXIT_OUT_OF_MEMORY), "out of memory")
      << "without the pool record";
  for (long n = 2; n <= needed + 1; ++n) {
    SCOPED_TRACE(n);
    EXPECT_EXIT(init_and_report(n), out_of_memory_or_usable, "");
  }
}

}  // namespace
