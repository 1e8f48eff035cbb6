/* Event queue: events posted with four identifying numbers wait in a FIFO
 * until the program fetches them, and run the handlers bound to text keys
 * made of those numbers, at once or when fetched. Code that raises events
 * posts; the program's loop fetches; handlers read the current event. State:
 * the queue with its private record pool and binding map, the current event,
 * and, in the thread-safe build, one recursive mutex over all of it. */
#ifndef KRT_EVENTS_EVENTS_H
#define KRT_EVENTS_EVENTS_H

#include "containers/hashmap.h"
#include "containers/pool.h"
#include "core/rtconfig.h"

/* The thread-safe form is chosen when the module is built (the krt_events_mt
 * library defines KRT_EVENTS_THREAD_SAFE for itself and its users); nothing
 * changes it at run time. */
#if defined(KRT_EVENTS_THREAD_SAFE) && KRT_EVENTS_THREAD_SAFE
#define EVENTS_THREAD_SAFE 1
#include <pthread.h>
#else
#define EVENTS_THREAD_SAFE 0
#endif

KRT_EXTERN_C_BEGIN

/* Post flags. Other bits are kept in the record and otherwise ignored. */
#define EVENT_POST_FORCED 1   /* posted even while posts are ignored (event_ignore_posts) */
#define EVENT_POST_DEFERRED 2 /* queue without merging; handlers run when event_next fetches it */

/* In a key, -1 stands for any value of that number. */
#define EVENT_ANY (-1)

/* Events numbered above this never merge with the tail. */
#define EVENT_MERGE_MAX 65535

/* Room for one number of a key as decimal text: a sign and every digit of
 * the widest NativeInt (11 at 32 bits, 20 at 64 bits). */
#define EVENT_NUMBER_CHARS (sizeof(NativeInt) == 4 ? 11 : 20)
/* Room for a whole key, "event:scope:item:type" with its terminator
 * (48 bytes at 32 bits, 84 at 64 bits). */
#define EVENT_KEY_SIZE (4 * EVENT_NUMBER_CHARS + 3 + 1)

/* Called with an event's data once the program has finished with the event. */
typedef void (*EventRelease)(NativeInt data);
/* A bound handler; it learns which event it serves from the current event. */
typedef void (*EventHandler)(void);

/* One queued event, an element of the queue's record pool. */
typedef struct EventRecord {
  struct EventRecord *next; /* null at the tail */
  NativeInt event;
  NativeInt flags; /* of the post that made the record */
  NativeInt item;  /* the thing inside the scope the event concerns */
  NativeInt scope; /* the enclosing object */
  NativeInt type;  /* subtype */
  NativeInt data;  /* 0 for none */
  EventRelease release;
} EventRecord;

/* One handler bound under a key. */
typedef struct EventBinding {
  struct EventBinding *next; /* next binding of the same key, or null */
  EventHandler handler;      /* null once unbound while a dispatch may still reach it */
  struct EventBinding *retired_next; /* list of unbound bindings freed after the dispatch */
} EventBinding;

/* The value stored in the binding map under a key. Bindings run in the order
 * they were made; `last` lets a new one join the end at once. */
typedef struct BindingList {
  EventBinding *first; /* null when the key has no binding (the entry stays) */
  EventBinding *last;
} BindingList;

/* The module's queue. Tests and debuggers may read it; in the thread-safe
 * build, only while holding queue_mutex. */
typedef struct EventQueue {
  EventRecord *head; /* FIFO, both ends null when empty */
  EventRecord *tail;
  Pool *record_pool;      /* private, unlocked; one element held for good */
  HashMap *binding_map;   /* HostString keys, BindingList values, 1024 buckets */
#if EVENTS_THREAD_SAFE
  pthread_mutex_t queue_mutex; /* recursive; guards the queue, its pool, the map and the current event */
#endif
} EventQueue;

extern EventQueue event_queue;

/* The event the program is handling: set by event_next, and by event_post
 * only while its handlers run. All 0 or null at start-up. */
typedef struct CurrentEvent {
  NativeInt event;
  NativeInt item;
  NativeInt scope;
  NativeInt type;
  NativeInt data;
  EventRelease release;
} CurrentEvent;

/* Module initialiser: an empty queue, the record pool with one element taken
 * and never given back (so that the pool's first chunk stays for good), an
 * empty binding map, a cleared current event, posts not ignored; in the
 * thread-safe build the recursive queue_mutex is made on the first call.
 * Called again (never from a handler), it first gives back all it holds,
 * queued records (without calling their release) and bindings included.
 * Ends the process through rt_out_of_memory when memory runs out. */
void events_init(void);

/* End hook: does nothing; the queue stays allocated until the process exits. */
void events_end(void);

/* Posts an event. Without EVENT_POST_DEFERRED it merges with the tail when
 * event <= EVENT_MERGE_MAX and the tail has the same event, item, scope and
 * type (a merged post stores nothing, and its release is never called);
 * otherwise a record with all seven values joins the queue. Then, unless
 * EVENT_POST_DEFERRED is set, the handlers of the event's five keys run at
 * once with the current event set to the posted values, which are restored
 * afterwards. When the record pool cannot supply a record the event is not
 * queued, but an immediate post still runs its handlers. */
void event_post(NativeInt event, NativeInt item, NativeInt scope, NativeInt type, NativeInt data,
                EventRelease release, NativeInt flags);
/* event_post with flags 0. */
void event_post_data(NativeInt event, NativeInt item, NativeInt scope, NativeInt type, NativeInt data,
                     EventRelease release);
/* event_post with data 0, no release and flags 0. */
void event_post_simple(NativeInt event, NativeInt item, NativeInt scope, NativeInt type);

/* Finishes the current event and fetches the next. First calls the current
 * release with the current data if both are set (then clears both), sets the
 * current type to -1, then takes the head record, if any, into the current
 * event, gives the record back to the pool and, for a deferred post, runs
 * its handlers. Returns the current event number: 0 when the queue was empty
 * (the current item and scope then stay as they were). */
NativeInt event_next(void);

/* The head's event number, 0 when the queue is empty; nothing is removed. */
NativeInt event_peek(void);
/* As event_peek, also writing the head's item, scope and type through the
 * pointers (never null); on an empty queue nothing is written. */
NativeInt event_peek_full(NativeInt *out_item, NativeInt *out_scope, NativeInt *out_type);

/* Runs every handler bound to the one key event:scope:item:type, in binding
 * order. Each binding's successor is read before its handler runs, so a
 * handler may unbind its own binding (or any other). The event's five keys,
 * in dispatch order: e:s:i:t, e:s:i:-1, e:s:-1:-1, e:-1:-1:-1, e:-1:i:t. */
void event_dispatch(NativeInt event, NativeInt scope, NativeInt item, NativeInt type);

/* Writes the key of event:scope:item:type as signed decimal numbers joined by
 * colons, with its terminator, into `out` (EVENT_KEY_SIZE bytes) and returns
 * its length. For numbers that fit in 32 bits the text equals what
 * "%d:%d:%d:%d" gives; wider numbers get all their digits. */
int event_format_key(char *out, NativeInt event, NativeInt scope, NativeInt item, NativeInt type);

/* Binds `handler` under the key event:scope:item:type (-1 for any value of a
 * number), behind the key's earlier bindings; binding the same handler twice
 * makes it run twice. Returns 1, or 0 when memory runs out (nothing bound). */
int event_bind(NativeInt event, NativeInt scope, NativeInt item, NativeInt type, EventHandler handler);
/* Removes the earliest binding of `handler` under the key. Returns 1, or 0
 * when there is none. Safe from a handler: a binding unbound while a
 * dispatch runs no longer runs and is freed when the outermost dispatch
 * ends. */
int event_unbind(NativeInt event, NativeInt scope, NativeInt item, NativeInt type, EventHandler handler);

/* The current event, all six values at once (out never null), and each
 * alone. */
void event_current(CurrentEvent *out);
NativeInt event_current_event(void);
NativeInt event_current_item(void);
NativeInt event_current_scope(void);
NativeInt event_current_type(void);
NativeInt event_current_data(void);
EventRelease event_current_release(void);

/* While on, event_post ignores every post without EVENT_POST_FORCED. Off
 * after events_init. Returns the previous setting (0 or 1). */
int event_ignore_posts(int on);
/* 1 while posts are ignored, else 0. */
int event_posts_ignored(void);

/* 1 when the module was built thread-safe, else 0. */
int events_thread_safe_build(void);

KRT_EXTERN_C_END

#endif
