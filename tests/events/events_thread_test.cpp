// The thread-safe build with real threads: posts from several threads while
// one thread fetches, handlers that post, peek and fetch on their own thread
// under the recursive queue mutex, and that handlers run with it held.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "events/events.h"

namespace {

static_assert(EVENTS_THREAD_SAFE, "this test is built against the thread-safe form");

constexpr int kPosters = 4;
constexpr int kPostsEach = 3000;

// Runs under the queue mutex, so a plain counter is enough.
long immediate_runs = 0;
void count_immediate() { ++immediate_runs; }

std::atomic<long> released{0};
void count_release(NativeInt data) { released += data; }

TEST(EventsThreads, PostsFromSeveralThreadsArriveOnceEachInTheirThreadsOrder) {
  events_init();
  immediate_runs = 0;
  released = 0;
  ASSERT_EQ(event_bind(1, -1, -1, -1, count_immediate), 1);
  std::atomic<int> ready{0};
  std::vector<std::thread> posters;
  for (int t = 0; t < kPosters; ++t)
    posters.emplace_back([t, &ready] {
      ++ready;
      while (ready.load() < kPosters) std::this_thread::yield();
      for (int i = 0; i < kPostsEach; ++i) {
        // Item and type name the thread and the post, so no two posts merge.
        NativeInt flags = (i % 3 == 0) ? 0 : EVENT_POST_DEFERRED;
        event_post(1, t, 0, i, 1, count_release, flags);
      }
    });
  std::vector<NativeInt> last(kPosters, -1);
  long fetched = 0, out_of_order = 0, foreign = 0;
  const long total = static_cast<long>(kPosters) * kPostsEach;
  while (fetched < total) {
    if (event_next() == 0) {
      std::this_thread::yield();
      continue;
    }
    ++fetched;
    NativeInt item = event_current_item();
    NativeInt type = event_current_type();
    if (item < 0 || item >= kPosters) {
      ++foreign;
      continue;
    }
    if (type <= last[item]) ++out_of_order;
    last[item] = type;
  }
  for (std::thread &t : posters) t.join();
  EXPECT_EQ(event_next(), 0) << "nothing left over";
  EXPECT_EQ(foreign, 0);
  EXPECT_EQ(out_of_order, 0);
  for (int t = 0; t < kPosters; ++t) EXPECT_EQ(last[t], kPostsEach - 1) << "thread " << t;
  // Immediate posts run at the post, deferred ones when fetched here.
  EXPECT_EQ(immediate_runs, total);
  EXPECT_EQ(released.load(), total) << "each fetched event released once";
}

// A handler of event 10 posts event 11 and peeks and fetches on its own
// thread, which only a recursive mutex allows.
std::atomic<long> inner_runs{0};
void inner_handler() { ++inner_runs; }
void reentrant_handler() {
  NativeInt item = event_current_item();
  event_post(11, item, 0, 0, 0, nullptr, 0);
  NativeInt i, s, t;
  event_peek_full(&i, &s, &t);
  event_peek();
  if (event_current_event() != 10) ADD_FAILURE() << "the outer event is current again after the inner post";
}

TEST(EventsThreads, HandlersPostAndPeekOnTheirOwnThread) {
  events_init();
  inner_runs = 0;
  ASSERT_EQ(event_bind(10, -1, -1, -1, reentrant_handler), 1);
  ASSERT_EQ(event_bind(11, -1, -1, -1, inner_handler), 1);
  constexpr int kEach = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kPosters; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) event_post(10, t * kEach + i, 0, 0, 0, nullptr, 0);
    });
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(inner_runs.load(), kPosters * kEach);
  long tens = 0, elevens = 0;
  for (NativeInt e = event_next(); e != 0; e = event_next()) (e == 10 ? tens : elevens)++;
  EXPECT_EQ(tens, kPosters * kEach);
  EXPECT_EQ(elevens, kPosters * kEach);
}

// A handler that fetches: event_next from inside a dispatch on the same thread.
void fetching_handler() { event_next(); }

TEST(EventsThreads, AHandlerMayFetchOnItsOwnThread) {
  events_init();
  ASSERT_EQ(event_bind(20, -1, -1, -1, fetching_handler), 1);
  event_post(21, 0, 0, 0, 0, nullptr, EVENT_POST_DEFERRED);
  std::thread([] { event_post_simple(20, 0, 0, 0); }).join();
  EXPECT_EQ(event_peek(), 20) << "the handler fetched event 21, ahead of the record of 20";
}

int trylock_result = 0;
void probing_handler() {
  std::thread([] { trylock_result = pthread_mutex_trylock(&event_queue.queue_mutex); }).join();
  if (trylock_result == 0) pthread_mutex_unlock(&event_queue.queue_mutex);
}

TEST(EventsThreads, HandlersAndReleasesRunWithTheQueueLocked) {
  events_init();
  ASSERT_EQ(event_bind(30, -1, -1, -1, probing_handler), 1);
  trylock_result = 0;
  event_post_simple(30, 0, 0, 0);
  EXPECT_EQ(trylock_result, EBUSY) << "another thread had to wait while the handler ran";
  trylock_result = -1;
  event_post_data(31, 0, 0, 0, 1, [](NativeInt) { probing_handler(); });
  EXPECT_EQ(event_next(), 30);
  EXPECT_EQ(event_next(), 31);
  EXPECT_EQ(trylock_result, -1) << "released only by the next fetch";
  event_next();
  EXPECT_EQ(trylock_result, EBUSY) << "and while the release ran";
  EXPECT_EQ(pthread_mutex_trylock(&event_queue.queue_mutex), 0) << "free again afterwards";
  pthread_mutex_unlock(&event_queue.queue_mutex);
}

}  // namespace
