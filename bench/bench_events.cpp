// The event queue against a straightforward queue written here: records from
// operator new in a linked FIFO, the same merging rule, and dispatch that
// formats each of the five keys with snprintf("%d:%d:%d:%d") and looks it up
// in a std::unordered_map<std::string, handlers>.
//
// Each case is one post and the fetch of what it queued, with event numbers,
// items and types varying so that the key texts vary in length:
//   events_deferred:  post with EVENT_POST_DEFERRED; the fetch dispatches.
//   events_immediate: post without it; the post dispatches, the fetch only
//                     takes the record.
// Inputs: no_bindings (an empty binding map) and few_bindings (three handlers
// under an exact key, a scope-wide key and an event-wide key). Before timing,
// both queues run the same posts and must call their handlers equally often
// and fetch the same events.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench_report.h"
#include "events/events.h"

namespace {

// ---------------------------------------------------------------------------
// The reference queue

struct RefRecord {
  RefRecord *next;
  NativeInt event, flags, item, scope, type, data;
  EventRelease release;
};

struct Reference {
  RefRecord *head = nullptr;
  RefRecord *tail = nullptr;
  CurrentEvent current{};
  std::unordered_map<std::string, std::vector<EventHandler>> bindings;

  void run_key(NativeInt event, NativeInt scope, NativeInt item, NativeInt type) {
    char key[48];
    snprintf(key, sizeof key, "%" PRIdPTR ":%" PRIdPTR ":%" PRIdPTR ":%" PRIdPTR, event, scope, item, type);
    auto at = bindings.find(key);
    if (at == bindings.end()) return;
    for (EventHandler h : at->second) h();
  }

  void dispatch_five(NativeInt event, NativeInt scope, NativeInt item, NativeInt type) {
    run_key(event, scope, item, type);
    run_key(event, scope, item, -1);
    run_key(event, scope, -1, -1);
    run_key(event, -1, -1, -1);
    run_key(event, -1, item, type);
  }

  void bind(NativeInt event, NativeInt scope, NativeInt item, NativeInt type, EventHandler handler) {
    char key[48];
    snprintf(key, sizeof key, "%" PRIdPTR ":%" PRIdPTR ":%" PRIdPTR ":%" PRIdPTR, event, scope, item, type);
    bindings[key].push_back(handler);
  }

  void post(NativeInt event, NativeInt item, NativeInt scope, NativeInt type, NativeInt data, EventRelease release,
            NativeInt flags) {
    bool merges = (flags & EVENT_POST_DEFERRED) == 0 && event <= EVENT_MERGE_MAX && tail != nullptr &&
                  tail->event == event && tail->item == item && tail->scope == scope && tail->type == type;
    if (!merges) {
      auto *r = new RefRecord{nullptr, event, flags, item, scope, type, data, release};
      if (tail != nullptr)
        tail->next = r;
      else
        head = r;
      tail = r;
    }
    if (flags & EVENT_POST_DEFERRED) return;
    CurrentEvent saved = current;
    current = CurrentEvent{event, item, scope, type, data, release};
    dispatch_five(event, scope, item, type);
    current = saved;
  }

  NativeInt next() {
    current.event = 0;
    if (current.data != 0 && current.release != nullptr) {
      current.release(current.data);
      current.release = nullptr;
      current.data = 0;
    }
    current.type = -1;
    RefRecord *r = head;
    if (r != nullptr) {
      current = CurrentEvent{r->event, r->item, r->scope, r->type, r->data, r->release};
      head = r->next;
      if (tail == r) tail = nullptr;
      NativeInt flags = r->flags;
      delete r;
      if (flags & EVENT_POST_DEFERRED) dispatch_five(current.event, current.scope, current.item, current.type);
    }
    return current.event;
  }
};

// ---------------------------------------------------------------------------
// The posts every case makes, and the bindings of few_bindings

long handler_calls = 0;
void count_call() { ++handler_calls; }

struct Post {
  NativeInt event, item, scope, type;
};

// Event numbers 100 to 107 (one of them beyond the merge limit), items up to
// four digits, two scopes, types -1 to 2.
Post post_number(uint32_t i) {
  NativeInt event = (i & 7) == 7 ? 70000 : 100 + (i & 7);
  return Post{event, static_cast<NativeInt>((i * 37) % 1500), 2 + static_cast<NativeInt>((i >> 3) & 1),
              static_cast<NativeInt>(i % 4) - 1};
}

template <typename BindFn>
void bind_few(BindFn bind) {
  bind(100, 2, -1, -1);     // anything of event 100 in scope 2
  bind(101, -1, -1, -1);    // event 101 anywhere
  bind(102, 3, 111, 1);     // one exact event
}

struct Runtime {
  void post(const Post &p, NativeInt flags) { event_post(p.event, p.item, p.scope, p.type, 0, nullptr, flags); }
  NativeInt next() { return event_next(); }
};
struct Ref {
  Reference *q;
  void post(const Post &p, NativeInt flags) { q->post(p.event, p.item, p.scope, p.type, 0, nullptr, flags); }
  NativeInt next() { return q->next(); }
};

void fresh_runtime(bool bindings) {
  events_init();
  if (bindings) bind_few([](NativeInt e, NativeInt s, NativeInt i, NativeInt t) { event_bind(e, s, i, t, count_call); });
}

Reference *fresh_reference(bool bindings) {
  auto *q = new Reference;
  if (bindings)
    bind_few([q](NativeInt e, NativeInt s, NativeInt i, NativeInt t) { q->bind(e, s, i, t, count_call); });
  return q;
}

template <typename Queue>
void cycle(benchmark::State &state, Queue queue, NativeInt flags) {
  uint32_t i = 0;
  for (auto _ : state) {
    queue.post(post_number(i++), flags);
    benchmark::DoNotOptimize(queue.next());
  }
}

// Both queues, fed the same posts, must fetch the same events and call the
// handlers equally often.
void check_equal(bool bindings, NativeInt flags) {
  constexpr uint32_t kPosts = 4096;
  fresh_runtime(bindings);
  handler_calls = 0;
  std::vector<NativeInt> fetched_runtime;
  for (uint32_t i = 0; i < kPosts; ++i) {
    Runtime{}.post(post_number(i), flags);
    fetched_runtime.push_back(event_next());
  }
  long runtime_calls = handler_calls;
  Reference *q = fresh_reference(bindings);
  handler_calls = 0;
  std::vector<NativeInt> fetched_reference;
  for (uint32_t i = 0; i < kPosts; ++i) {
    q->post(post_number(i).event, post_number(i).item, post_number(i).scope, post_number(i).type, 0, nullptr,
            flags);
    fetched_reference.push_back(q->next());
  }
  delete q;
  if (runtime_calls != handler_calls || fetched_runtime != fetched_reference || (bindings && runtime_calls == 0)) {
    fprintf(stderr, "event queue and reference differ (flags %d, bindings %d): %ld against %ld handler calls\n",
            static_cast<int>(flags), static_cast<int>(bindings), runtime_calls, handler_calls);
    exit(1);
  }
}

void register_events() {
  for (int deferred = 0; deferred < 2; ++deferred) {
    NativeInt flags = deferred ? EVENT_POST_DEFERRED : 0;
    std::string family = deferred ? "events_deferred/" : "events_immediate/";
    for (int bindings = 0; bindings < 2; ++bindings) {
      check_equal(bindings != 0, flags);
      std::string input = bindings ? "few_bindings/" : "no_bindings/";
      bool b = bindings != 0;
      benchmark::RegisterBenchmark((family + input + "runtime").c_str(), [b, flags](benchmark::State &state) {
        fresh_runtime(b);
        cycle(state, Runtime{}, flags);
      });
      benchmark::RegisterBenchmark((family + input + "snprintf_reference").c_str(),
                                   [b, flags](benchmark::State &state) {
                                     Reference *q = fresh_reference(b);
                                     cycle(state, Ref{q}, flags);
                                     delete q;
                                   });
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  register_events();
  std::vector<bench::Target> targets = {
      {"events_immediate/no_bindings", "runtime", "snprintf_reference", 4.0},
  };
  return bench::run(argc, argv, targets);
}
