// Object tables: slots and their growth, the live mark, the release callback,
// clearing, the dynamic list in both directions, objtab_check of numbers the
// table never gave out, running out of memory, and objtab_create_once under
// racing threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>
#include <vector>

#include "containers/objtab.h"
#include "core/memblock.h"
#include "support/alloc_seam.h"

namespace {

constexpr NativeInt W = static_cast<NativeInt>(sizeof(NativeInt));

// A record as the owning module sees it: the live mark, then its own fields.
struct Thing {
  NativeInt live;
  NativeInt a, b;
};

NativeInt number_of(void *record) { return reinterpret_cast<NativeInt>(record); }

// No operation destroys a table; the tests give theirs back so that the
// sanitizer build's leak check stays meaningful.
void free_table(ObjectTable *table) {
  if (table == nullptr) return;
  for (NativeInt i = 0; i < table->slot_count; ++i) block_free(table->slots[i]);
  block_free(table->slots);
  while (table->dynamic_head != nullptr)
    objtab_unlink_dynamic(&table->dynamic_head, reinterpret_cast<char *>(table->dynamic_head) + OBJTAB_NODE_OVERHEAD);
  block_free(table);
}

// The dynamic list read from the head; checks every prev link on the way and
// that walking back from the last node gives the same records reversed.
std::vector<void *> dynamic_records(const ObjectTable *table) {
  std::vector<void *> forward;
  DynamicObjectNode *last = nullptr;
  for (DynamicObjectNode *n = table->dynamic_head; n != nullptr; n = n->next) {
    EXPECT_EQ(n->prev, last) << "prev link of node " << forward.size();
    forward.push_back(reinterpret_cast<char *>(n) + OBJTAB_NODE_OVERHEAD);
    last = n;
  }
  std::vector<void *> backward;
  for (DynamicObjectNode *n = last; n != nullptr; n = n->prev)
    backward.push_back(reinterpret_cast<char *>(n) + OBJTAB_NODE_OVERHEAD);
  EXPECT_EQ(std::vector<void *>(backward.rbegin(), backward.rend()), forward) << "backward walk";
  return forward;
}

// What the release callback saw, and what it does to the record.
struct ReleaseLog {
  std::vector<NativeInt> numbers;
  ObjectTable *table = nullptr;
  NativeInt mark_b = 0;       // written into field b of the released record
  NativeInt obtain_also = -1;  // a slot number the callback obtains too
};
ReleaseLog release_log;

void record_release(NativeInt number) {
  release_log.numbers.push_back(number);
  if (release_log.table == nullptr) return;
  if (release_log.obtain_also >= 0) objtab_obtain(release_log.table, release_log.obtain_also);
  static_cast<Thing *>(release_log.table->slots[number])->b = release_log.mark_b;
}

class ObjTab : public ::testing::Test {
 protected:
  void SetUp() override { release_log = ReleaseLog{}; }
  void TearDown() override { free_table(table); }
  ObjectTable *make(NativeInt step, ObjectReleaseCallback callback = nullptr) {
    table = objtab_new(sizeof(Thing), step, callback);
    release_log.table = table;
    return table;
  }
  ObjectTable *table = nullptr;
};

TEST_F(ObjTab, ANewTableHasGrowthStepEmptySlots) {
  ASSERT_NE(make(10, record_release), nullptr);
  EXPECT_EQ(table->element_size, static_cast<NativeInt>(sizeof(Thing)));
  EXPECT_EQ(table->growth_step, 10);
  EXPECT_EQ(table->slot_count, 10);
  EXPECT_EQ(block_length(table->slots), 10 * W);
  EXPECT_EQ(table->dynamic_head, nullptr);
  EXPECT_EQ(table->release_callback, &record_release);
  for (NativeInt i = 0; i < 10; ++i) {
    EXPECT_EQ(table->slots[i], nullptr) << i;
    EXPECT_EQ(objtab_get(table, i), nullptr) << i;
    EXPECT_EQ(objtab_check(table, i), nullptr) << i;
  }
}

TEST(ObjTabNew, StepAndElementSizeHaveTheirFloors) {
  struct Row {
    NativeInt size, step, want_size, want_step;
    const char *why;
  } rows[] = {
      {24, 3, 24, 3, "taken as given"},
      {24, 0, 24, 1, "a step of 0 would never make room"},
      {24, -7, 24, 1, "nor would a negative one"},
      {1, 2, W, 2, "every record holds at least its live mark"},
      {0, 2, W, 2, "even an empty one"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.why);
    ObjectTable *t = objtab_new(r.size, r.step, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->element_size, r.want_size);
    EXPECT_EQ(t->growth_step, r.want_step);
    EXPECT_EQ(t->slot_count, r.want_step);
    void *record = objtab_obtain(t, 0);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(block_length(record), r.want_size);
    free_table(t);
  }
}

TEST_F(ObjTab, ANumberedRecordIsZeroedAndLiveOnlyOnceItsOwnerMarksIt) {
  ASSERT_NE(make(10), nullptr);
  auto *thing = static_cast<Thing *>(objtab_obtain(table, 3));
  ASSERT_NE(thing, nullptr);
  EXPECT_EQ(table->slots[3], thing);
  EXPECT_EQ(block_length(thing), static_cast<NativeInt>(sizeof(Thing)));
  EXPECT_EQ(thing->live, 0);
  EXPECT_EQ(thing->a, 0);
  EXPECT_EQ(thing->b, 0);
  EXPECT_EQ(objtab_get(table, 3), nullptr) << "not live before the owner sets the mark";
  EXPECT_EQ(objtab_check(table, 3), nullptr);
  thing->live = 1;
  EXPECT_EQ(objtab_get(table, 3), thing);
  EXPECT_EQ(objtab_check(table, 3), thing);
  thing->live = -1;
  EXPECT_EQ(objtab_get(table, 3), thing) << "any non-zero mark counts";
  EXPECT_EQ(table->slot_count, 10) << "no growth inside the range";
}

TEST_F(ObjTab, SlotsGrowToTheRequestedNumberPlusTheStep) {
  struct Row {
    NativeInt step, number, want_count;
    const char *why;
  } rows[] = {
      {10, 25, 35, "beyond the slots: number + step"},
      {10, 10, 20, "the first number past the end"},
      {10, 9, 10, "the last slot needs no growth"},
      {1, 1, 2, "the smallest step"},
      {3, 100, 103, "a far number"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.why);
    free_table(table);
    ASSERT_NE(make(r.step), nullptr);
    auto *early = static_cast<Thing *>(objtab_obtain(table, 0));
    ASSERT_NE(early, nullptr);
    early->live = 1;
    early->a = 42;
    void *record = objtab_obtain(table, r.number);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(table->slot_count, r.want_count);
    EXPECT_EQ(block_length(table->slots), r.want_count * W);
    EXPECT_EQ(table->slots[r.number], record);
    EXPECT_EQ(objtab_get(table, 0), early) << "records already made survive the growth";
    EXPECT_EQ(early->a, 42);
    for (NativeInt i = 1; i < r.want_count; ++i) {
      if (i == r.number) continue;
      EXPECT_EQ(table->slots[i], nullptr) << "slot " << i;
    }
  }
}

TEST_F(ObjTab, ObtainingAFilledSlotCallsTheReleaseCallbackAndKeepsTheRecord) {
  ASSERT_NE(make(10, record_release), nullptr);
  auto *thing = static_cast<Thing *>(objtab_obtain(table, 3));
  ASSERT_NE(thing, nullptr);
  EXPECT_TRUE(release_log.numbers.empty()) << "an empty slot releases nothing";
  thing->live = 1;
  thing->a = 11;
  release_log.mark_b = 77;
  EXPECT_EQ(objtab_obtain(table, 3), thing);
  EXPECT_EQ(release_log.numbers, std::vector<NativeInt>{3});
  EXPECT_EQ(thing->live, 1) << "not zeroed by obtain";
  EXPECT_EQ(thing->a, 11);
  EXPECT_EQ(thing->b, 77) << "as the callback left it";
}

TEST_F(ObjTab, WithoutACallbackAFilledSlotComesBackUnchanged) {
  ASSERT_NE(make(10), nullptr);
  auto *thing = static_cast<Thing *>(objtab_obtain(table, 3));
  ASSERT_NE(thing, nullptr);
  thing->live = 1;
  thing->a = 5;
  EXPECT_EQ(objtab_obtain(table, 3), thing);
  EXPECT_EQ(thing->live, 1);
  EXPECT_EQ(thing->a, 5);
}

TEST_F(ObjTab, ACallbackThatGrowsTheTableStillGetsTheRightRecordBack) {
  ASSERT_NE(make(4, record_release), nullptr);
  auto *thing = static_cast<Thing *>(objtab_obtain(table, 2));
  ASSERT_NE(thing, nullptr);
  release_log.obtain_also = 500;  // moves the slot array while the callback runs
  release_log.mark_b = 9;
  EXPECT_EQ(objtab_obtain(table, 2), thing);
  EXPECT_EQ(table->slot_count, 504);
  EXPECT_EQ(thing->b, 9);
}

TEST_F(ObjTab, ClearZeroesTheRecordAndKeepsItInItsSlot) {
  ASSERT_NE(make(10, record_release), nullptr);
  auto *thing = static_cast<Thing *>(objtab_obtain(table, 3));
  ASSERT_NE(thing, nullptr);
  thing->live = 1;
  thing->a = thing->b = 0x5A5A;
  objtab_clear(table, 3);
  EXPECT_EQ(table->slots[3], thing) << "stays allocated";
  EXPECT_EQ(thing->live, 0);
  EXPECT_EQ(thing->a, 0);
  EXPECT_EQ(thing->b, 0);
  EXPECT_EQ(objtab_get(table, 3), nullptr);
  EXPECT_EQ(objtab_check(table, 3), nullptr);
  EXPECT_EQ(objtab_obtain(table, 3), thing) << "used again";
  EXPECT_EQ(release_log.numbers, std::vector<NativeInt>{3}) << "the slot is still filled";

  objtab_clear(table, 4);
  EXPECT_EQ(table->slots[4], nullptr) << "an empty slot stays empty";
}

TEST_F(ObjTab, DynamicObjectsAreNumberedByTheirAddressNewestFirst) {
  ASSERT_NE(make(2), nullptr);
  void *first = objtab_obtain(table, -1);
  void *second = objtab_obtain(table, -1);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(dynamic_records(table), (std::vector<void *>{second, first}));
  EXPECT_EQ(block_length(reinterpret_cast<char *>(first) - OBJTAB_NODE_OVERHEAD),
            static_cast<NativeInt>(sizeof(Thing)) + 2 * W)
      << "node: two links and the record";
  EXPECT_EQ(static_cast<Thing *>(first)->live, 0);
  EXPECT_EQ(table->slot_count, 2) << "dynamic objects take no slot";

  EXPECT_EQ(objtab_get(table, number_of(first)), nullptr) << "not live yet";
  EXPECT_EQ(objtab_check(table, number_of(first)), first) << "check ignores a dynamic live mark";
  static_cast<Thing *>(first)->live = 1;
  EXPECT_EQ(objtab_get(table, number_of(first)), first);
  EXPECT_EQ(objtab_check(table, number_of(first)), first);

  objtab_clear(table, number_of(first));
  EXPECT_EQ(objtab_check(table, number_of(first)), nullptr) << "cleared means freed";
  EXPECT_EQ(dynamic_records(table), std::vector<void *>{second});
}

TEST_F(ObjTab, ClearingAnyDynamicNodeLeavesTheListIntactBothWays) {
  struct Row {
    int count, clear;  // list of `count` objects; index from the head
    const char *why;
  } rows[] = {
      {3, 0, "the head"},
      {3, 1, "a middle node"},
      {3, 2, "the last node"},
      {1, 0, "the only node"},
      {2, 1, "the last of two"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.why);
    free_table(table);
    ASSERT_NE(make(2), nullptr);
    std::vector<void *> want;
    for (int i = 0; i < r.count; ++i) want.insert(want.begin(), objtab_obtain(table, -1));
    ASSERT_EQ(dynamic_records(table), want);
    objtab_clear(table, number_of(want[r.clear]));
    want.erase(want.begin() + r.clear);
    EXPECT_EQ(dynamic_records(table), want);
    void *added = objtab_obtain(table, -1);
    want.insert(want.begin(), added);
    EXPECT_EQ(dynamic_records(table), want) << "a new head links to what is left";
  }
}

TEST_F(ObjTab, CheckOfNumbersTheTableNeverGaveOutIsNull) {
  ASSERT_NE(make(10), nullptr);
  void *dynamic = objtab_obtain(table, -1);
  ASSERT_NE(dynamic, nullptr);
  NativeInt on_stack = 0;
  struct Row {
    NativeInt number;
    const char *why;
  } rows[] = {
      {10, "just past the slots"},
      {1000000, "far past the slots"},
      {-1, "the request number"},
      {-2, "another negative number"},
      {INTPTR_MIN, "the lowest number"},
      {INTPTR_MAX, "the highest number"},
      {number_of(&on_stack), "an address that is no dynamic object"},
      {number_of(dynamic) + 1, "inside a dynamic record but not its start"},
      {number_of(dynamic) - OBJTAB_NODE_OVERHEAD, "the node rather than its record"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.why);
    EXPECT_EQ(objtab_check(table, r.number), nullptr);
  }
  EXPECT_EQ(objtab_check(table, number_of(dynamic)), dynamic) << "while the real one is found";
}

TEST_F(ObjTab, NumbersBelowMinusOneGetNoRecord) {
  ASSERT_NE(make(4), nullptr);
  EXPECT_EQ(objtab_obtain(table, -2), nullptr);
  EXPECT_EQ(objtab_obtain(table, INTPTR_MIN), nullptr);
  EXPECT_EQ(table->dynamic_head, nullptr);
  EXPECT_EQ(table->slot_count, 4);
}

TEST_F(ObjTab, RunningOutOfMemoryLeavesTheTableAsItWas) {
  ASSERT_NE(make(4), nullptr);
  {
    AllocFailure fail(1);
    EXPECT_EQ(objtab_obtain(table, 2), nullptr) << "numbered record";
  }
  EXPECT_EQ(table->slots[2], nullptr) << "the slot stays empty";
  {
    AllocFailure fail(1);
    EXPECT_EQ(objtab_obtain(table, 40), nullptr) << "larger slot array";
  }
  EXPECT_EQ(table->slot_count, 4) << "no growth without the memory";
  EXPECT_EQ(block_length(table->slots), 4 * W);
  void *kept = objtab_obtain(table, -1);
  ASSERT_NE(kept, nullptr);
  {
    AllocFailure fail(1);
    EXPECT_EQ(objtab_obtain(table, -1), nullptr) << "dynamic object";
  }
  EXPECT_EQ(dynamic_records(table), std::vector<void *>{kept}) << "nothing linked";
  EXPECT_NE(objtab_obtain(table, 2), nullptr) << "and everything works once memory is back";
  EXPECT_NE(objtab_obtain(table, 40), nullptr);
  EXPECT_EQ(table->slot_count, 44);
}

TEST(ObjTabNew, EveryFailedAllocationGivesNullAndKeepsNothing) {
  for (long n = 1;; ++n) {
    SCOPED_TRACE(n);
    ObjectTable *t;
    long failures;
    {
      AllocFailure fail(n);
      t = objtab_new(16, 8, nullptr);
      failures = alloc_seam_failures();
    }
    if (failures == 0) {
      ASSERT_NE(t, nullptr);
      EXPECT_EQ(n, 3) << "the table and its slot array";
      free_table(t);
      break;
    }
    EXPECT_EQ(t, nullptr);  // the sanitizer build's leak check sees anything kept
  }
  EXPECT_EQ(objtab_new(16, INTPTR_MAX, nullptr), nullptr) << "slots beyond any block length";
  EXPECT_EQ(objtab_new(INTPTR_MAX, 1, nullptr), nullptr) << "records beyond any block length";
}

TEST(ObjTabCreateOnce, FillsANullVariableAndLeavesAFilledOneAlone) {
  ObjectTable *variable = nullptr;
  objtab_create_once(&variable, sizeof(Thing), 5, record_release);
  ASSERT_NE(variable, nullptr);
  EXPECT_EQ(variable->growth_step, 5);
  EXPECT_EQ(variable->release_callback, &record_release);
  ObjectTable *first = variable;
  objtab_create_once(&variable, 64, 9, nullptr);
  EXPECT_EQ(variable, first);
  EXPECT_EQ(variable->growth_step, 5);
  free_table(variable);
}

TEST(ObjTabCreateOnce, TheCreationLockIsRecursive) {
  ObjectTable *variable = nullptr;
  objtab_create_once(&variable, 8, 1, nullptr);  // sets the lock up
  ASSERT_EQ(pthread_mutex_trylock(&objtab_creation_lock), 0);
  // A caller holding it can still create tables through objtab_create_once.
  EXPECT_EQ(pthread_mutex_trylock(&objtab_creation_lock), 0);
  pthread_mutex_unlock(&objtab_creation_lock);
  ObjectTable *second = nullptr;
  objtab_create_once(&second, 8, 1, nullptr);
  EXPECT_NE(second, nullptr);
  // Another thread must wait while this one holds it.
  int other = 0;
  std::thread([&] { other = pthread_mutex_trylock(&objtab_creation_lock); }).join();
  EXPECT_EQ(other, EBUSY);
  pthread_mutex_unlock(&objtab_creation_lock);
  free_table(variable);
  free_table(second);
}

TEST(ObjTabCreateOnce, ThreadsRacingOnOneVariableLeaveOneTable) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 40;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    ObjectTable *variable = nullptr;
    std::atomic<int> waiting{0};
    std::atomic<bool> go{false};
    std::atomic<int> done{0};
    ObjectTable *seen[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        ++waiting;
        while (!go.load()) std::this_thread::yield();
        // Each thread asks for a different element size, so the table shows
        // whose creation won.
        objtab_create_once(&variable, 16 + 8 * t, 4, nullptr);
        seen[t] = variable;
        ++done;
      });
    while (waiting.load() < kThreads) std::this_thread::yield();
    long calls;
    {
      // Only the racing calls allocate while the counter runs.
      AllocCounter heap;
      go = true;
      while (done.load() < kThreads) std::this_thread::yield();
      calls = heap.calls();
    }
    for (std::thread &t : threads) t.join();
    ASSERT_NE(variable, nullptr);
    EXPECT_EQ(calls, 2) << "one table and one slot array were made";
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen[t], variable) << "thread " << t;
    free_table(variable);
  }
}

}  // namespace
