// Event queue: a FIFO of pooled records, merging of repeated posts, and
// dispatch to handlers bound under decimal text keys.
#include "events/events.h"

#include <cstring>

#include "core/frame.h"
#include "core/memblock.h"

EventQueue event_queue;

namespace {

constexpr int32_t kMinChunk = 16;
constexpr int32_t kMaxChunk = 256;
constexpr int32_t kPrivateUnlocked = 2;  // locking mode 2: no lock of its own, private
constexpr NativeInt kBuckets = 1024;
constexpr int kNumberChars = EVENT_NUMBER_CHARS;

// Everything else the module keeps, beside the queue itself.
struct EventsState {
  CurrentEvent current;
  void *held_record;  // taken at start-up, never given back: pins the first chunk
  int ignore_posts;
  NativeInt binding_count;  // bindings in the map; 0 lets a post skip its keys
  int dispatch_depth;       // dispatches running (nested through handlers)
  EventBinding *retired;    // unbound during a dispatch, freed when the last one ends
};
EventsState state;

#if EVENTS_THREAD_SAFE
pthread_once_t mutex_once = PTHREAD_ONCE_INIT;
void make_queue_mutex() { pool_init_recursive_mutex(&event_queue.queue_mutex); }
inline void lock_queue() { pthread_mutex_lock(&event_queue.queue_mutex); }
inline void unlock_queue() { pthread_mutex_unlock(&event_queue.queue_mutex); }
#else
inline void lock_queue() {}
inline void unlock_queue() {}
#endif

// The current event number is cleared by event_next before it takes the
// lock, so in the thread-safe build every access to it is atomic.
inline NativeInt current_event_number() { return __atomic_load_n(&state.current.event, __ATOMIC_RELAXED); }
inline void set_current_event_number(NativeInt event) {
  __atomic_store_n(&state.current.event, event, __ATOMIC_RELAXED);
}
inline CurrentEvent get_current() {
  const CurrentEvent &c = state.current;
  return CurrentEvent{current_event_number(), c.item, c.scope, c.type, c.data, c.release};
}
inline void set_current(const CurrentEvent &values) {
  set_current_event_number(values.event);
  state.current.item = values.item;
  state.current.scope = values.scope;
  state.current.type = values.type;
  state.current.data = values.data;
  state.current.release = values.release;
}

// ---- Keys ----

// "00" to "99": two digits per division halves the divisions.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes `value` as signed decimal text (no terminator) at `out`, which has
// room for kNumberChars, and returns the number of characters.
inline int format_number(char *out, NativeInt value) {
  char digits[kNumberChars];
  char *end = digits + kNumberChars;
  char *p = end;
  // The magnitude in unsigned arithmetic, so that the lowest value negates too.
  uintptr_t u = value < 0 ? 0 - static_cast<uintptr_t>(value) : static_cast<uintptr_t>(value);
  while (u >= 100) {
    uintptr_t pair = u % 100;
    u /= 100;
    p -= 2;
    memcpy(p, kDigitPairs + 2 * pair, 2);
  }
  if (u >= 10) {
    p -= 2;
    memcpy(p, kDigitPairs + 2 * u, 2);
  } else {
    *--p = static_cast<char>('0' + u);
  }
  if (value < 0) *--p = '-';
  int n = static_cast<int>(end - p);
  memcpy(out, p, static_cast<size_t>(n));
  return n;
}

// One number of a key, formatted once and copied into each key that has it.
struct KeyPart {
  char text[kNumberChars];
  int length;
};

inline char *put(char *p, const KeyPart &part) {
  memcpy(p, part.text, static_cast<size_t>(part.length));
  return p + part.length;
}

inline char *put_any(char *p) {
  p[0] = '-';
  p[1] = '1';
  return p + 2;
}

// ---- Bindings ----

// Runs the handlers of one key. The successor is read before each handler
// runs, so the handler may unbind its own binding; a binding unbound by an
// earlier handler of this dispatch has a null handler and is passed over.
void run_key(const char *key) {
  auto *list = static_cast<BindingList *>(map_find_host(event_queue.binding_map, key));
  if (list == nullptr) return;
  for (EventBinding *binding = list->first; binding != nullptr;) {
    EventBinding *next = binding->next;
    if (binding->handler != nullptr) binding->handler();
    binding = next;
  }
}

void free_retired() {
  for (EventBinding *binding = state.retired; binding != nullptr;) {
    EventBinding *next = binding->retired_next;
    block_free(binding);
    binding = next;
  }
  state.retired = nullptr;
}

inline void begin_dispatch() { ++state.dispatch_depth; }
inline void end_dispatch() {
  if (--state.dispatch_depth == 0 && state.retired != nullptr) free_retired();
}

// Runs the handlers of the event's five keys in order. With no binding at
// all there is nothing to find, so nothing is formatted or looked up.
void dispatch_five(NativeInt event, NativeInt scope, NativeInt item, NativeInt type) {
  if (state.binding_count == 0) return;
  KeyPart e, s, i, t;
  e.length = format_number(e.text, event);
  s.length = format_number(s.text, scope);
  i.length = format_number(i.text, item);
  t.length = format_number(t.text, type);
  char key[EVENT_KEY_SIZE];
  begin_dispatch();
  // The keys share their leading parts: each is written from the end of the
  // longest prefix it has in common with the key before it.
  char *after_event = put(key, e);
  *after_event++ = ':';
  char *after_scope = put(after_event, s);
  *after_scope++ = ':';
  char *after_item = put(after_scope, i);
  *after_item++ = ':';
  *put(after_item, t) = 0;
  run_key(key);  // e:s:i:t
  if (state.binding_count != 0) {
    *put_any(after_item) = 0;
    run_key(key);  // e:s:i:-1
  }
  if (state.binding_count != 0) {
    char *p = put_any(after_scope);
    *p++ = ':';
    *put_any(p) = 0;
    run_key(key);  // e:s:-1:-1
  }
  if (state.binding_count != 0) {
    char *p = put_any(after_event);
    *p++ = ':';
    p = put_any(p);
    *p++ = ':';
    *put_any(p) = 0;
    run_key(key);  // e:-1:-1:-1
  }
  if (state.binding_count != 0) {
    char *p = put_any(after_event);
    *p++ = ':';
    p = put(p, i);
    *p++ = ':';
    *put(p, t) = 0;
    run_key(key);  // e:-1:i:t
  }
  end_dispatch();
}

// Gives back every binding and the map, the pool with its records, and any
// retired bindings: the state a second events_init starts from.
void discard_state() {
  if (event_queue.binding_map != nullptr) {
    map_reset(event_queue.binding_map);
    for (void *value = map_next(event_queue.binding_map); value != nullptr;
         value = map_next(event_queue.binding_map)) {
      for (EventBinding *binding = static_cast<BindingList *>(value)->first; binding != nullptr;) {
        EventBinding *next = binding->next;
        block_free(binding);
        binding = next;
      }
    }
    map_destroy(event_queue.binding_map);  // frees the keys, stores null
  }
  free_retired();
  if (event_queue.record_pool != nullptr) pool_destroy(event_queue.record_pool);
  event_queue.record_pool = nullptr;
  event_queue.head = nullptr;
  event_queue.tail = nullptr;
}

}  // namespace

// ---- Lifecycle ----

void events_init(void) {
#if EVENTS_THREAD_SAFE
  run_once(&mutex_once, make_queue_mutex);
#endif
  lock_queue();
  discard_state();
  state = EventsState{};
  event_queue.record_pool = pool_create(sizeof(EventRecord), kMinChunk, kMaxChunk, kPrivateUnlocked);
  if (event_queue.record_pool == nullptr) rt_out_of_memory("the event record pool");
  // Every chunk goes back to the heap once all its elements are back; this
  // one never is, so a queue that empties and fills again keeps its chunk.
  state.held_record = pool_alloc(event_queue.record_pool);
  if (state.held_record == nullptr) rt_out_of_memory("the event record pool");
  if (map_create_flags(sizeof(BindingList), nullptr, &event_queue.binding_map, kBuckets, MAP_HOST_KEYS) == nullptr)
    rt_out_of_memory("the event binding map");
  unlock_queue();
}

void events_end(void) {}

int events_thread_safe_build(void) { return EVENTS_THREAD_SAFE; }

// ---- Posting and fetching ----

void event_post(NativeInt event, NativeInt item, NativeInt scope, NativeInt type, NativeInt data,
                EventRelease release, NativeInt flags) {
  lock_queue();
  if (state.ignore_posts && (flags & EVENT_POST_FORCED) == 0) {
    unlock_queue();
    return;
  }
  EventRecord *tail = event_queue.tail;
  bool merges = (flags & EVENT_POST_DEFERRED) == 0 && event <= EVENT_MERGE_MAX && tail != nullptr &&
                tail->event == event && tail->item == item && tail->scope == scope && tail->type == type;
  if (!merges) {
    // Without a record the event is lost to the queue; an immediate post
    // still runs its handlers below.
    auto *record = static_cast<EventRecord *>(pool_alloc(event_queue.record_pool));
    if (record != nullptr) {
      record->next = nullptr;
      record->event = event;
      record->flags = flags;
      record->item = item;
      record->scope = scope;
      record->type = type;
      record->data = data;
      record->release = release;
      if (tail != nullptr)
        tail->next = record;
      else
        event_queue.head = record;
      event_queue.tail = record;
    }
  }
  // With no binding the handlers' view of the current event is never seen,
  // so setting and restoring it is skipped too.
  if ((flags & EVENT_POST_DEFERRED) == 0 && state.binding_count != 0) {
    CurrentEvent saved = get_current();
    set_current(CurrentEvent{event, item, scope, type, data, release});
    dispatch_five(event, scope, item, type);
    set_current(saved);
  }
  unlock_queue();
}

void event_post_data(NativeInt event, NativeInt item, NativeInt scope, NativeInt type, NativeInt data,
                     EventRelease release) {
  event_post(event, item, scope, type, data, release, 0);
}

void event_post_simple(NativeInt event, NativeInt item, NativeInt scope, NativeInt type) {
  event_post(event, item, scope, type, 0, nullptr, 0);
}

NativeInt event_next(void) {
  set_current_event_number(0);
  lock_queue();
  CurrentEvent &current = state.current;
  // The event that was current is finished now, not when it was fetched.
  if (current.data != 0 && current.release != nullptr) {
    current.release(current.data);
    current.release = nullptr;
    current.data = 0;
  }
  current.type = -1;
  EventRecord *record = event_queue.head;
  if (record != nullptr) {
    CurrentEvent fetched{record->event, record->item, record->scope, record->type, record->data, record->release};
    NativeInt flags = record->flags;
    set_current(fetched);
    event_queue.head = record->next;
    if (event_queue.tail == record) event_queue.tail = nullptr;
    pool_free(event_queue.record_pool, record);
    if (flags & EVENT_POST_DEFERRED) dispatch_five(fetched.event, fetched.scope, fetched.item, fetched.type);
  }
  NativeInt event = current_event_number();
  unlock_queue();
  return event;
}

NativeInt event_peek(void) {
  lock_queue();
  EventRecord *head = event_queue.head;
  NativeInt event = head != nullptr ? head->event : 0;
  unlock_queue();
  return event;
}

NativeInt event_peek_full(NativeInt *out_item, NativeInt *out_scope, NativeInt *out_type) {
  lock_queue();
  EventRecord *head = event_queue.head;
  NativeInt event = 0;
  if (head != nullptr) {
    event = head->event;
    *out_item = head->item;
    *out_scope = head->scope;
    *out_type = head->type;
  }
  unlock_queue();
  return event;
}

// ---- Dispatch and bindings ----

int event_format_key(char *out, NativeInt event, NativeInt scope, NativeInt item, NativeInt type) {
  char *p = out;
  p += format_number(p, event);
  *p++ = ':';
  p += format_number(p, scope);
  *p++ = ':';
  p += format_number(p, item);
  *p++ = ':';
  p += format_number(p, type);
  *p = 0;
  return static_cast<int>(p - out);
}

void event_dispatch(NativeInt event, NativeInt scope, NativeInt item, NativeInt type) {
  lock_queue();
  if (state.binding_count != 0) {
    char key[EVENT_KEY_SIZE];
    event_format_key(key, event, scope, item, type);
    begin_dispatch();
    run_key(key);
    end_dispatch();
  }
  unlock_queue();
}

int event_bind(NativeInt event, NativeInt scope, NativeInt item, NativeInt type, EventHandler handler) {
  char key[EVENT_KEY_SIZE];
  event_format_key(key, event, scope, item, type);
  lock_queue();
  int bound = 0;
  auto *binding = static_cast<EventBinding *>(block_alloc(sizeof(EventBinding)));
  if (binding != nullptr) {
    binding->handler = handler;
    auto *list = static_cast<BindingList *>(map_find_host(event_queue.binding_map, key));
    // A new key's list starts zeroed: no bindings yet.
    if (list == nullptr) list = static_cast<BindingList *>(map_add_host(event_queue.binding_map, key, 0));
    if (list == nullptr) {
      block_free(binding);
    } else {
      if (list->last != nullptr)
        list->last->next = binding;
      else
        list->first = binding;
      list->last = binding;
      ++state.binding_count;
      bound = 1;
    }
  }
  unlock_queue();
  return bound;
}

int event_unbind(NativeInt event, NativeInt scope, NativeInt item, NativeInt type, EventHandler handler) {
  char key[EVENT_KEY_SIZE];
  event_format_key(key, event, scope, item, type);
  lock_queue();
  int unbound = 0;
  auto *list = static_cast<BindingList *>(map_find_host(event_queue.binding_map, key));
  if (list != nullptr) {
    EventBinding *prev = nullptr;
    EventBinding *binding = list->first;
    while (binding != nullptr && binding->handler != handler) {
      prev = binding;
      binding = binding->next;
    }
    if (binding != nullptr) {
      if (prev != nullptr)
        prev->next = binding->next;
      else
        list->first = binding->next;
      if (list->last == binding) list->last = prev;
      --state.binding_count;
      unbound = 1;
      if (state.dispatch_depth > 0) {
        // A running dispatch may hold this binding as the next one to run:
        // keep it readable, with its successor link intact, until the
        // outermost dispatch ends.
        binding->handler = nullptr;
        binding->retired_next = state.retired;
        state.retired = binding;
      } else {
        block_free(binding);
      }
    }
  }
  unlock_queue();
  return unbound;
}

// ---- The current event and the post switch ----

void event_current(CurrentEvent *out) {
  lock_queue();
  *out = get_current();
  unlock_queue();
}

NativeInt event_current_event(void) { return current_event_number(); }

NativeInt event_current_item(void) {
  lock_queue();
  NativeInt item = state.current.item;
  unlock_queue();
  return item;
}

NativeInt event_current_scope(void) {
  lock_queue();
  NativeInt scope = state.current.scope;
  unlock_queue();
  return scope;
}

NativeInt event_current_type(void) {
  lock_queue();
  NativeInt type = state.current.type;
  unlock_queue();
  return type;
}

NativeInt event_current_data(void) {
  lock_queue();
  NativeInt data = state.current.data;
  unlock_queue();
  return data;
}

EventRelease event_current_release(void) {
  lock_queue();
  EventRelease release = state.current.release;
  unlock_queue();
  return release;
}

int event_ignore_posts(int on) {
  lock_queue();
  int previous = state.ignore_posts;
  state.ignore_posts = on != 0;
  unlock_queue();
  return previous;
}

int event_posts_ignored(void) {
  lock_queue();
  int on = state.ignore_posts;
  unlock_queue();
  return on;
}
