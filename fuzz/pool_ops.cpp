// Element pools driven by the input: allocations (plain and zeroed), frees of
// any element out, and frees of everything, on private or shared, locked or
// unlocked pools of any element size and chunk limits. Checked against the
// set of elements out: no two elements overlap, an element keeps what was
// written into it, a zeroed element is zero, every chunk's counts and list
// agree with the elements out of it, the pool's total is the sum of its
// chunks, and a pool with nothing out holds no chunk.
//
// Input: element size (byte 0, 0..63), min_chunk (byte 1, 1..32), max_chunk
// (byte 2, min_chunk..min_chunk+255), flags (byte 3: bit 0 locked, bit 1
// shared), then opcode bytes; a free takes the next byte as the index.
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "containers/pool.h"
#include "fuzz_check.h"

namespace {

struct Out {
  void *element;
  unsigned char fill;
};

PoolChunk *chunk_of(void *element) { return static_cast<PoolChunk **>(element)[-1]; }

void check_contents(const Out &o, int32_t size) {
  const unsigned char *b = static_cast<const unsigned char *>(o.element);
  for (int32_t i = 0; i < size; ++i) FUZZ_CHECK(b[i] == o.fill);
}

// The pool's lists against the elements out.
void check_structure(Pool *pool, const std::vector<Out> &out) {
  std::map<PoolChunk *, int32_t> out_per_chunk;
  for (const Out &o : out) ++out_per_chunk[chunk_of(o.element)];
  int64_t total = 0;
  std::set<PoolChunk *> seen;
  for (int full = 0; full < 2; ++full) {
    PoolChunk *prev = nullptr;
    for (PoolChunk *c = full ? pool->full_chunks : pool->open_chunks; c != nullptr; c = c->next) {
      FUZZ_CHECK(seen.insert(c).second);  // on one list, once
      FUZZ_CHECK(c->prev == prev);
      prev = c;
      FUZZ_CHECK(c->capacity >= 1);
      FUZZ_CHECK(c->used >= 1 && c->used <= c->capacity);
      FUZZ_CHECK(c->free_count >= 0 && c->free_count < c->used);
      const bool is_full = c->free_count == 0 && c->used >= c->capacity;
      FUZZ_CHECK(is_full == (full == 1));
      FUZZ_CHECK(c->used - c->free_count == out_per_chunk[c]);  // a chunk with none out is gone
      int32_t on_free_list = 0;
      for (void *f = c->free_head; f != nullptr; f = *static_cast<void **>(f)) {
        char *first = pool_chunk_elements(c);
        FUZZ_CHECK(static_cast<char *>(f) >= first && static_cast<char *>(f) < first + c->used * pool->stride);
        FUZZ_CHECK(++on_free_list <= c->free_count);
      }
      FUZZ_CHECK(on_free_list == c->free_count);
      total += c->capacity;
    }
  }
  for (auto &[chunk, n] : out_per_chunk) FUZZ_CHECK(seen.count(chunk) == 1);
  FUZZ_CHECK(total == pool->total_elements);
  if (out.empty()) FUZZ_CHECK(pool->open_chunks == nullptr && pool->full_chunks == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 4) return 0;
  const int32_t element_size = data[0] & 63;
  const int32_t min_chunk = (data[1] & 31) + 1;
  const int32_t max_chunk = min_chunk + data[2];
  const int32_t flags = ((data[3] & 1) ? POOL_LOCKED : 2) | ((data[3] & 2) ? POOL_SHARED : 0);
  Pool *pool = pool_create(element_size, min_chunk, max_chunk, flags);
  FUZZ_CHECK(pool != nullptr);
  FUZZ_CHECK(pool->stride == pool_stride(element_size));
  const int32_t payload = pool->stride - POOL_HEADER_WORD;
  // Addresses of the elements out, for the overlap check.
  std::map<uintptr_t, size_t> by_address;
  std::vector<Out> out;
  unsigned char next_fill = 1;

  for (size_t i = 4; i < size; ++i) {
    const uint8_t op = data[i] % 8;
    if (op <= 3) {  // allocate, zeroed when op is 3
      void *e = op == 3 ? pool_alloc_zeroed(pool) : pool_alloc(pool);
      FUZZ_CHECK(e != nullptr);
      if (op == 3) {
        for (int32_t b = 0; b < payload; ++b) FUZZ_CHECK(static_cast<unsigned char *>(e)[b] == 0);
      }
      const uintptr_t a = reinterpret_cast<uintptr_t>(e);
      // The header word and payload of e lie apart from every other element.
      auto after = by_address.lower_bound(a);
      if (after != by_address.end()) FUZZ_CHECK(after->first >= a + static_cast<uintptr_t>(pool->stride));
      if (after != by_address.begin()) FUZZ_CHECK(std::prev(after)->first + pool->stride <= a);
      FUZZ_CHECK(chunk_of(e) != nullptr);
      out.push_back({e, next_fill});
      memset(e, next_fill, static_cast<size_t>(element_size));
      next_fill = static_cast<unsigned char>(next_fill % 250 + 1);
      by_address[a] = 0;
    } else if (op <= 5 && !out.empty() && i + 1 < size) {  // free one
      const size_t k = data[++i] % out.size();
      check_contents(out[k], element_size);
      by_address.erase(reinterpret_cast<uintptr_t>(out[k].element));
      pool_free(pool, out[k].element);
      out[k] = out.back();
      out.pop_back();
    } else if (op == 6) {
      for (const Out &o : out) check_contents(o, element_size);
      check_structure(pool, out);
    } else if (op == 7 && (data[i] & 0x80)) {  // everything back at once
      pool_free_all(pool);
      out.clear();
      by_address.clear();
      FUZZ_CHECK(pool->total_elements == 0);
    }
  }
  for (const Out &o : out) check_contents(o, element_size);
  check_structure(pool, out);
  // Giving every element back releases every chunk.
  for (const Out &o : out) pool_free(pool, o.element);
  check_structure(pool, {});
  FUZZ_CHECK(pool->total_elements == 0);
  pool_destroy(pool);
  FUZZ_CHECK(pool_registry_head == nullptr);
  return 0;
}
