/* Element pools: fixed-size elements carved from heap chunks, so that
 * containers with many small nodes (map nodes, queued events) rarely call the
 * heap. Hash maps use reference-counted shared pools from a process-wide
 * registry; the event queue owns a private pool. Pools keep their chunks on an
 * open and a full list; the registry is a list guarded by one recursive mutex. */
#ifndef KRT_CONTAINERS_POOL_H
#define KRT_CONTAINERS_POOL_H

#include <pthread.h>

#include "core/rtconfig.h"

KRT_EXTERN_C_BEGIN

/* Flags of pool_create. The low two bits are the locking mode: only mode 1
 * gives the pool its own recursive mutex (modes 0, 2 and 3 give none; the
 * event queue passes 2, maps 0). POOL_SHARED takes the pool from the shared
 * registry; the whole flags word is part of a shared pool's registry key. */
#define POOL_LOCK_MASK 3
#define POOL_LOCKED 1
#define POOL_SHARED 4

/* Bytes of the header word in front of every element: one pointer. */
#define POOL_HEADER_WORD ((int32_t)sizeof(void *))

/* A chunk: this header, then `capacity` elements of `stride` bytes each. An
 * element is a header word followed by its payload. While the element is out,
 * the header word holds its chunk's address; while it is on the chunk's free
 * list, it holds the header address of the next free element (null at the
 * end). A chunk is on its pool's full list exactly when free_count is 0 and
 * used >= capacity, otherwise on the open list. */
typedef struct PoolChunk {
  struct PoolChunk *next; /* links within whichever list holds the chunk */
  struct PoolChunk *prev; /* null for the first chunk of a list */
  void *free_head;        /* header address of the first free element, or null */
  int32_t capacity;       /* elements in the chunk */
  int32_t used;           /* elements taken from the untouched tail; only grows */
  int32_t free_count;     /* elements on the free list */
} PoolChunk;

typedef struct PoolRegistryEntry PoolRegistryEntry;

typedef struct Pool {
  PoolChunk *full_chunks;             /* chunks with nothing left to hand out */
  PoolChunk *open_chunks;             /* allocation serves from the first one */
  PoolRegistryEntry *registry_entry;  /* null for a private pool */
  int32_t total_elements;             /* capacities of all chunks held now */
  int32_t stride;                     /* bytes per element, header word included */
  int32_t min_chunk;                  /* fewest elements a new chunk gets */
  int32_t max_chunk;                  /* most elements a new chunk gets */
  uint32_t locked;                    /* 1 when `mutex` is in use */
  pthread_mutex_t mutex;              /* recursive; initialised only when locked */
} Pool;

/* One shared pool in the registry (newest first). */
struct PoolRegistryEntry {
  PoolRegistryEntry *next;
  PoolRegistryEntry *prev;
  Pool *pool;
  int32_t stride;
  int32_t flags;     /* as passed to pool_create, POOL_SHARED included */
  int32_t ref_count; /* pool_create calls not yet matched by pool_destroy */
};

/* Head of the shared-pool registry (null when no shared pool exists). Read it
 * only while holding the registry mutex (tests do, single-threaded). */
extern PoolRegistryEntry *pool_registry_head;

/* Bytes one element of `element_size` occupies: the size rounded up to a
 * multiple of the pointer size, plus the header word (on 32-bit builds sizes
 * 5 to 8 give 12 and size 0 gives 4; on 64-bit builds 1 to 8 give 16). */
static inline int32_t pool_stride(int32_t element_size) {
  return (int32_t)(((element_size + POOL_HEADER_WORD - 1) & ~(POOL_HEADER_WORD - 1)) + POOL_HEADER_WORD);
}

/* First element (its header word) of a chunk. */
static inline char *pool_chunk_elements(PoolChunk *chunk) { return (char *)(chunk + 1); }

/* A pool for elements of `element_size` bytes; no chunk is allocated yet. A
 * new chunk gets one sixteenth of the elements the pool holds, rounded down to
 * a multiple of 16 and kept within [min_chunk, max_chunk] (both are taken as
 * at least 1; a negative element size as 0). With POOL_SHARED the pool comes
 * from the registry: an existing shared pool with the same stride and the same
 * whole flags word is returned with one more reference, whatever its chunk
 * limits. Null when the record, the registry entry or the pool cannot be
 * allocated; a failed shared creation registers nothing.
 * Typical uses: a map's node pool, pool_create(node size, 16, 65536,
 * POOL_SHARED); a private queue pool that keeps its first chunk for good,
 * pool_create(record size, 16, 256, 2) followed by one pool_alloc that is
 * never freed (a chunk is released only when all its elements are back). */
Pool *pool_create(int32_t element_size, int32_t min_chunk, int32_t max_chunk, int32_t flags);

/* Payload address of an element, or null when the heap refuses both a new
 * chunk and a one-element chunk (the pool is then as before). The payload
 * holds what it held when it was last freed (zeros if never handed out).
 * Constant time; a heap call only when a chunk must be made. */
void *pool_alloc(Pool *pool);

/* As pool_alloc, then the payload (stride minus the header word, which can
 * exceed the requested size by up to the rounding) is set to zero. */
void *pool_alloc_zeroed(Pool *pool);

/* Gives back an element that this pool handed out. A chunk whose elements
 * have all come back is returned to the heap at once. Constant time. Freeing
 * a foreign element or freeing twice is undefined; builds without NDEBUG
 * abort on the cases a cheap check can see. */
void pool_free(Pool *pool, void *element);

/* Returns every chunk to the heap; all elements become invalid, the pool stays
 * usable and starts again from min_chunk. */
void pool_free_all(Pool *pool);

/* Private pool: frees every chunk, the mutex and the record. Shared pool:
 * drops one reference, and frees the pool and its registry entry with the
 * last one. Must not race with other operations on the same pool. */
void pool_destroy(Pool *pool);

/* pool_alloc and pool_free for callers that allocate in tight loops (map
 * nodes, queued events): the common case, an unlocked pool whose first open
 * chunk stays open after the allocation, or a chunk that neither empties nor
 * reopens on the free, is done inline; every other case calls the functions
 * above, which do the whole job. Results are those of pool_alloc and
 * pool_free. Builds with AddressSanitizer or without NDEBUG always call the
 * functions, so that poisoning and the free checks see every element. */
#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__)
static inline void *pool_alloc_inline(Pool *pool) {
  PoolChunk *chunk = pool->open_chunks;
  char *header;
  if (pool->locked != 0 || !chunk) return pool_alloc(pool);
  if (chunk->free_count > 1) {
    header = (char *)chunk->free_head;
    chunk->free_head = *(void **)header;
    --chunk->free_count;
  } else if (chunk->free_count == 0 && chunk->used + 1 < chunk->capacity) {
    header = pool_chunk_elements(chunk) + (NativeInt)chunk->used * pool->stride;
    ++chunk->used;
  } else {
    return pool_alloc(pool); /* the chunk fills up and moves to the full list */
  }
  *(PoolChunk **)header = chunk;
  return header + POOL_HEADER_WORD;
}

static inline void pool_free_inline(Pool *pool, void *element) {
  char *header = (char *)element - POOL_HEADER_WORD;
  PoolChunk *chunk = *(PoolChunk **)header;
  int32_t free_count = chunk->free_count;
  /* Slow cases: a locked pool, the chunk's last element coming back, or a
   * full chunk reopening. */
  if (pool->locked != 0 || free_count + 1 >= chunk->used || (free_count == 0 && chunk->used >= chunk->capacity)) {
    pool_free(pool, element);
    return;
  }
  *(void **)header = chunk->free_head;
  chunk->free_head = header;
  chunk->free_count = free_count + 1;
}
#else
static inline void *pool_alloc_inline(Pool *pool) { return pool_alloc(pool); }
static inline void pool_free_inline(Pool *pool, void *element) { pool_free(pool, element); }
#endif

/* Runs `routine` exactly once per once-control (pthread_once). */
void run_once(pthread_once_t *control, void (*routine)(void));

/* The registry's once-routine: makes the registry mutex recursive and empties
 * the registry. pool_create calls it through run_once. */
void pool_registry_init(void);

/* Initialises `mutex` as a recursive mutex (attribute object made, set to
 * PTHREAD_MUTEX_RECURSIVE, used, destroyed). Other containers use it too. */
void pool_init_recursive_mutex(pthread_mutex_t *mutex);

KRT_EXTERN_C_END

#endif
