// Walks a pool's chunk lists and checks what must hold between operations.
#ifndef KRT_TESTS_CONTAINERS_POOL_HELPERS_H
#define KRT_TESTS_CONTAINERS_POOL_HELPERS_H

#include <gtest/gtest.h>

#include <vector>

#include "containers/pool.h"
#include "core/memblock.h"

// The chunks of one list, first to last.
inline std::vector<PoolChunk *> chunk_list(PoolChunk *head) {
  std::vector<PoolChunk *> chunks;
  for (PoolChunk *c = head; c != nullptr; c = c->next) chunks.push_back(c);
  return chunks;
}

// Chunk of the element at payload address `element` (its header word).
inline PoolChunk *chunk_of(void *element) { return static_cast<PoolChunk **>(element)[-1]; }

// Checks the list links, the full/open rule, that no chunk is held without an
// element out, and that total_elements is the sum of the capacities. Returns
// the number of elements out.
inline long check_pool(const Pool *pool) {
  long out = 0;
  long total = 0;
  for (int full = 0; full < 2; ++full) {
    PoolChunk *prev = nullptr;
    for (PoolChunk *c = full ? pool->full_chunks : pool->open_chunks; c != nullptr; c = c->next) {
      EXPECT_EQ(c->prev, prev) << "back link";
      bool is_full = c->free_count == 0 && c->used >= c->capacity;
      EXPECT_EQ(is_full, full == 1) << "chunk " << c << " on the wrong list";
      EXPECT_GT(c->used - c->free_count, 0) << "a chunk with nothing out must be released";
      EXPECT_LE(c->used, c->capacity);
      EXPECT_EQ(block_length(c), static_cast<NativeInt>(sizeof(PoolChunk)) + c->capacity * pool->stride)
          << "chunk block holds the header and capacity elements";
      long on_list = 0;
      for (void *e = c->free_head; e != nullptr; e = *static_cast<void **>(e)) ++on_list;
      EXPECT_EQ(on_list, c->free_count);
      out += c->used - c->free_count;
      total += c->capacity;
      prev = c;
    }
  }
  EXPECT_EQ(total, pool->total_elements);
  return out;
}

#endif
