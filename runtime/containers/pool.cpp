// Element pools over SizedBlock chunks, and the shared-pool registry.
#include "containers/pool.h"

#include <cstdint>
#include <cstring>

#include "core/memblock.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define POOL_ASAN 1
#else
// Without AddressSanitizer the poisoning calls compile to nothing.
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define POOL_ASAN 0
#endif

#ifndef NDEBUG
#include <cstdio>
#include <cstdlib>
#endif

PoolRegistryEntry *pool_registry_head = nullptr;

namespace {

pthread_mutex_t registry_mutex;
pthread_once_t registry_once = PTHREAD_ONCE_INIT;

constexpr int32_t kWord = POOL_HEADER_WORD;
constexpr NativeInt kChunkHeader = static_cast<NativeInt>(sizeof(PoolChunk));
static_assert(sizeof(PoolChunk) % sizeof(void *) == 0, "elements follow the chunk header aligned");

// Sizes whose stride would not fit in 32 bits cannot be pooled.
constexpr int32_t kMaxElementSize = INT32_MAX - 2 * kWord;

inline void lock(Pool *pool) {
  if (__builtin_expect(pool->locked != 0, 0)) pthread_mutex_lock(&pool->mutex);
}
inline void unlock(Pool *pool) {
  if (__builtin_expect(pool->locked != 0, 0)) pthread_mutex_unlock(&pool->mutex);
}

// List heads: a chunk is linked into exactly one of them.
inline void push_chunk(PoolChunk **head, PoolChunk *chunk) {
  chunk->prev = nullptr;
  chunk->next = *head;
  if (*head != nullptr) (*head)->prev = chunk;
  *head = chunk;
}

inline void unlink_chunk(PoolChunk **head, PoolChunk *chunk) {
  if (chunk->prev != nullptr)
    chunk->prev->next = chunk->next;
  else
    *head = chunk->next;
  if (chunk->next != nullptr) chunk->next->prev = chunk->prev;
}

inline NativeInt chunk_bytes(const Pool *pool, const PoolChunk *chunk) {
  return kChunkHeader + static_cast<NativeInt>(chunk->capacity) * pool->stride;
}

void release_chunk(const Pool *pool, PoolChunk *chunk) {
  // The allocator would treat our poisoning as its own; hand the bytes back clean.
  ASAN_UNPOISON_MEMORY_REGION(chunk, static_cast<size_t>(chunk_bytes(pool, chunk)));
  block_free(chunk);
}

// A zero-filled chunk of n elements, or null. Every element starts poisoned
// until it is handed out.
PoolChunk *make_chunk(Pool *pool, int32_t n) {
  int64_t bytes = kChunkHeader + static_cast<int64_t>(n) * pool->stride;
  if (bytes > NATIVEINT_MAX) return nullptr;
  PoolChunk *chunk = static_cast<PoolChunk *>(block_alloc(static_cast<NativeInt>(bytes)));
  if (chunk == nullptr) return nullptr;
  chunk->capacity = n;
  chunk->used = 1;
  pool->total_elements += n;
  ASAN_POISON_MEMORY_REGION(pool_chunk_elements(chunk), static_cast<size_t>(bytes - kChunkHeader));
  return chunk;
}

#ifndef NDEBUG
// Cheap sanity checks of an element about to be freed: its header must name
// a chunk of this pool's stride that holds it at an element boundary inside
// the part handed out so far, and (under ASan) its payload must not already
// be poisoned as free. Catches most double frees and wrong-pool frees.
void check_element_out(const Pool *pool, void *element, PoolChunk *chunk) {
  bool bad = chunk == nullptr;
#if POOL_ASAN
  if (!bad && pool->stride > kWord && __asan_address_is_poisoned(element)) bad = true;
#endif
  if (!bad) {
    char *header = static_cast<char *>(element) - kWord;
    char *first = pool_chunk_elements(chunk);
    NativeInt offset = header - first;
    bad = offset < 0 || offset % pool->stride != 0 || offset / pool->stride >= chunk->used;
  }
  if (bad) {
    fprintf(stderr, "pool_free: element %p is not out from pool %p (freed twice or foreign)\n", element,
            static_cast<const void *>(pool));
    abort();
  }
}
#endif

}  // namespace

void pool_init_recursive_mutex(pthread_mutex_t *mutex) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

void run_once(pthread_once_t *control, void (*routine)(void)) { pthread_once(control, routine); }

void pool_registry_init(void) {
  pool_init_recursive_mutex(&registry_mutex);
  pool_registry_head = nullptr;
}

Pool *pool_create(int32_t element_size, int32_t min_chunk, int32_t max_chunk, int32_t flags) {
  if (element_size < 0) element_size = 0;
  if (element_size > kMaxElementSize) return nullptr;
  if (min_chunk < 1) min_chunk = 1;
  if (max_chunk < 1) max_chunk = 1;
  int32_t stride = pool_stride(element_size);

  if ((flags & POOL_SHARED) == 0) {
    Pool *pool = static_cast<Pool *>(block_alloc(sizeof(Pool)));
    if (pool == nullptr) return nullptr;
    pool->stride = stride;
    pool->min_chunk = min_chunk;
    pool->max_chunk = max_chunk;
    if ((flags & POOL_LOCK_MASK) == POOL_LOCKED) {
      pool->locked = 1;
      pool_init_recursive_mutex(&pool->mutex);
    }
    return pool;
  }

  run_once(&registry_once, pool_registry_init);
  pthread_mutex_lock(&registry_mutex);
  for (PoolRegistryEntry *entry = pool_registry_head; entry != nullptr; entry = entry->next) {
    if (entry->stride == stride && entry->flags == flags) {
      ++entry->ref_count;
      pthread_mutex_unlock(&registry_mutex);
      return entry->pool;
    }
  }
  Pool *pool = nullptr;
  auto *entry = static_cast<PoolRegistryEntry *>(block_alloc(sizeof(PoolRegistryEntry)));
  if (entry != nullptr) {
    pool = pool_create(stride - kWord, min_chunk, max_chunk, flags & ~POOL_SHARED);
    if (pool == nullptr) {
      block_free(entry);
    } else {
      pool->registry_entry = entry;
      entry->pool = pool;
      entry->stride = stride;
      entry->flags = flags;
      entry->ref_count = 1;
      entry->prev = nullptr;
      entry->next = pool_registry_head;
      if (pool_registry_head != nullptr) pool_registry_head->prev = entry;
      pool_registry_head = entry;
    }
  }
  pthread_mutex_unlock(&registry_mutex);
  return pool;
}

namespace {

// The element at `header` goes out: readable again, and naming its chunk.
inline void *hand_out(const Pool *pool, char *header, PoolChunk *chunk) {
  ASAN_UNPOISON_MEMORY_REGION(header, static_cast<size_t>(pool->stride));
  *reinterpret_cast<PoolChunk **>(header) = chunk;
  return header + kWord;
}

// Slow paths, kept out of line so that the common allocation and free need
// no stack frame.
__attribute__((noinline)) void *alloc_from_new_chunk(Pool *pool) {
  int32_t n = (pool->total_elements >> 4) & ~15;
  if (n < pool->min_chunk)
    n = pool->min_chunk;
  else if (n > pool->max_chunk)
    n = pool->max_chunk;
  PoolChunk *chunk = make_chunk(pool, n);
  if (chunk != nullptr) {
    push_chunk(n >= 2 ? &pool->open_chunks : &pool->full_chunks, chunk);
  } else {
    // The heap refused n elements; one may still fit.
    chunk = make_chunk(pool, 1);
    if (chunk == nullptr) return nullptr;
    push_chunk(&pool->full_chunks, chunk);
  }
  return hand_out(pool, pool_chunk_elements(chunk), chunk);
}

// The first open chunk has nothing left: it moves to the full list.
__attribute__((noinline)) void move_to_full(Pool *pool, PoolChunk *chunk) {
  pool->open_chunks = chunk->next;
  if (chunk->next != nullptr) chunk->next->prev = nullptr;
  push_chunk(&pool->full_chunks, chunk);
}

inline void *alloc_unlocked(Pool *pool) {
  PoolChunk *chunk = pool->open_chunks;
  if (__builtin_expect(chunk == nullptr, 0)) return alloc_from_new_chunk(pool);
  char *header;
  int32_t free_count = chunk->free_count;
  if (free_count > 0) {
    header = static_cast<char *>(chunk->free_head);
    chunk->free_head = *reinterpret_cast<void **>(header);
    chunk->free_count = --free_count;
  } else {
    header = pool_chunk_elements(chunk) + static_cast<NativeInt>(chunk->used) * pool->stride;
    ++chunk->used;
  }
  if (free_count == 0 && chunk->used >= chunk->capacity) move_to_full(pool, chunk);
  return hand_out(pool, header, chunk);
}

// An element just came back and free_count equals used: the chunk goes back
// to the heap. It was on the full list if it was full before this free.
__attribute__((noinline)) void release_empty_chunk(Pool *pool, PoolChunk *chunk) {
  bool was_full = chunk->free_count == 1 && chunk->used >= chunk->capacity;
  unlink_chunk(was_full ? &pool->full_chunks : &pool->open_chunks, chunk);
  pool->total_elements -= chunk->capacity;
  release_chunk(pool, chunk);
}

// A full chunk got an element back: it heads the open list, so the next
// allocation is served from it.
__attribute__((noinline)) void reopen_chunk(Pool *pool, PoolChunk *chunk) {
  unlink_chunk(&pool->full_chunks, chunk);
  push_chunk(&pool->open_chunks, chunk);
}

inline void free_unlocked(Pool *pool, void *element) {
  char *header = static_cast<char *>(element) - kWord;
  PoolChunk *chunk = *reinterpret_cast<PoolChunk **>(header);
#ifndef NDEBUG
  check_element_out(pool, element, chunk);
#endif
  *reinterpret_cast<void **>(header) = chunk->free_head;
  chunk->free_head = header;
  int32_t free_count = ++chunk->free_count;
  if (free_count == chunk->used) {
    release_empty_chunk(pool, chunk);
    return;
  }
  ASAN_POISON_MEMORY_REGION(element, static_cast<size_t>(pool->stride - kWord));
  if (free_count == 1 && chunk->used >= chunk->capacity) reopen_chunk(pool, chunk);
}

__attribute__((noinline)) void *alloc_locked(Pool *pool) {
  pthread_mutex_lock(&pool->mutex);
  void *element = alloc_unlocked(pool);
  pthread_mutex_unlock(&pool->mutex);
  return element;
}

__attribute__((noinline)) void free_locked(Pool *pool, void *element) {
  pthread_mutex_lock(&pool->mutex);
  free_unlocked(pool, element);
  pthread_mutex_unlock(&pool->mutex);
}

}  // namespace

void *pool_alloc(Pool *pool) {
  if (__builtin_expect(pool->locked != 0, 0)) return alloc_locked(pool);
  return alloc_unlocked(pool);
}

void *pool_alloc_zeroed(Pool *pool) {
  void *element = pool_alloc(pool);
  if (element != nullptr) memset(element, 0, static_cast<size_t>(pool->stride - kWord));
  return element;
}

void pool_free(Pool *pool, void *element) {
  if (__builtin_expect(pool->locked != 0, 0)) {
    free_locked(pool, element);
    return;
  }
  free_unlocked(pool, element);
}

void pool_free_all(Pool *pool) {
  lock(pool);
  PoolChunk *lists[2] = {pool->open_chunks, pool->full_chunks};
  for (PoolChunk *chunk : lists) {
    while (chunk != nullptr) {
      PoolChunk *next = chunk->next;
      release_chunk(pool, chunk);
      chunk = next;
    }
  }
  pool->open_chunks = nullptr;
  pool->full_chunks = nullptr;
  pool->total_elements = 0;
  unlock(pool);
}

namespace {
void destroy_private(Pool *pool) {
  pool_free_all(pool);
  if (pool->locked) pthread_mutex_destroy(&pool->mutex);
  block_free(pool);
}
}  // namespace

void pool_destroy(Pool *pool) {
  PoolRegistryEntry *entry = pool->registry_entry;
  if (entry == nullptr) {
    destroy_private(pool);
    return;
  }
  pthread_mutex_lock(&registry_mutex);
  if (--entry->ref_count > 0) {
    pthread_mutex_unlock(&registry_mutex);
    return;
  }
  pool->registry_entry = nullptr;
  destroy_private(pool);
  if (entry->prev != nullptr)
    entry->prev->next = entry->next;
  else
    pool_registry_head = entry->next;
  if (entry->next != nullptr) entry->next->prev = entry->prev;
  block_free(entry);
  pthread_mutex_unlock(&registry_mutex);
}
