// Exhausted memory in the containers, swept (support/oom_sweep.h): pools,
// hash maps and object tables along their main paths. A refusal must give the
// documented null result or fallback with the structure unchanged and still
// working, everything taken so far given back, and no shared pool left in
// the registry once no map holds one.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "containers/hashmap.h"
#include "containers/layout.h"
#include "containers/objtab.h"
#include "containers/pool.h"
#include "core/memblock.h"
#include "core/rtstring.h"
#include "support/oom_sweep.h"

namespace {

using oom::Expect;
using oom::Outcome;
using oom::refusing;
using oom::Row;
using oom::kFallback;
using oom::kNull;

constexpr NativeInt W = static_cast<NativeInt>(sizeof(NativeInt));

// ---- Pools ----------------------------------------------------------------------

int32_t chunk_count(const PoolChunk *c) {
  int32_t n = 0;
  for (; c != nullptr; c = c->next) ++n;
  return n;
}

void fill(void *p, int32_t size, unsigned char v) { memset(p, v, static_cast<size_t>(size)); }

bool holds(const void *p, int32_t size, unsigned char v) {
  const unsigned char *b = static_cast<const unsigned char *>(p);
  for (int32_t i = 0; i < size; ++i)
    if (b[i] != v) return false;
  return true;
}

Outcome run_pool_create_private(long n, bool onward) {
  Pool *p = refusing(n, onward, [] { return pool_create(12, 16, 256, 2); });
  if (p == nullptr) return Outcome::kNull;
  EXPECT_EQ(p->total_elements, 0);
  EXPECT_EQ(p->registry_entry, nullptr);
  pool_destroy(p);
  return Outcome::kResult;
}

Outcome run_pool_create_shared(long n, bool onward) {
  Pool *p = refusing(n, onward, [] { return pool_create(12, 16, 256, POOL_SHARED); });
  if (p == nullptr) {
    EXPECT_EQ(pool_registry_head, nullptr) << "a failed shared creation registers nothing";
    return Outcome::kNull;
  }
  EXPECT_NE(p->registry_entry, nullptr);
  pool_destroy(p);
  EXPECT_EQ(pool_registry_head, nullptr);
  return Outcome::kResult;
}

Outcome run_pool_create_shared_again(long n, bool onward) {
  Pool *first = pool_create(12, 16, 256, POOL_SHARED);
  Pool *p = refusing(n, onward, [] { return pool_create(12, 16, 256, POOL_SHARED); });
  EXPECT_EQ(p, first);
  pool_destroy(p);
  pool_destroy(first);
  EXPECT_EQ(pool_registry_head, nullptr);
  return Outcome::kResult;
}

// A pool with `out` elements handed out and filled, then one more allocation
// refused or not: a refused chunk falls back to a one-element chunk, a
// refused fallback gives null with the pool as before. Either way the
// elements already out keep their contents and every chunk goes back when
// they are freed.
Outcome alloc_with_out(long n, bool onward, int out) {
  const int32_t size = 20;
  Pool *pool = pool_create(size, 16, 256, 2);
  std::vector<void *> held;
  for (int i = 0; i < out; ++i) {
    held.push_back(pool_alloc(pool));
    fill(held.back(), size, static_cast<unsigned char>(i + 1));
  }
  const int32_t total_before = pool->total_elements;
  const int32_t chunks_before = chunk_count(pool->open_chunks) + chunk_count(pool->full_chunks);
  void *e = refusing(n, onward, [&] { return pool_alloc(pool); });
  Outcome outcome = Outcome::kResult;
  if (e == nullptr) {
    outcome = Outcome::kNull;
    EXPECT_EQ(pool->total_elements, total_before) << "the pool is as before";
    EXPECT_EQ(chunk_count(pool->open_chunks) + chunk_count(pool->full_chunks), chunks_before);
  } else {
    if (pool->total_elements == total_before + 1) outcome = Outcome::kFallback;
    for (void *h : held) EXPECT_NE(h, e) << "an element is handed out once";
    fill(e, size, 0xEE);
    held.push_back(e);
  }
  for (size_t i = 0; i < static_cast<size_t>(out); ++i)
    EXPECT_TRUE(holds(held[i], size, static_cast<unsigned char>(i + 1))) << "element " << i;
  // The pool still works: more elements, then all back releases every chunk.
  for (int i = 0; i < 40; ++i) held.push_back(pool_alloc(pool));
  for (void *h : held) EXPECT_NE(h, nullptr);
  for (void *h : held) pool_free(pool, h);
  EXPECT_EQ(pool->total_elements, 0);
  EXPECT_EQ(pool->open_chunks, nullptr);
  EXPECT_EQ(pool->full_chunks, nullptr);
  pool_destroy(pool);
  return outcome;
}

Outcome run_pool_first_alloc(long n, bool onward) { return alloc_with_out(n, onward, 0); }
Outcome run_pool_alloc_full_chunk(long n, bool onward) { return alloc_with_out(n, onward, 16); }
Outcome run_pool_alloc_open_chunk(long n, bool onward) { return alloc_with_out(n, onward, 5); }

TEST(ContainersOutOfMemorySweep, PoolsGiveNullOrFallBackToOneElementChunks) {
  const Row rows[] = {
      {"pool_create of a private pool", run_pool_create_private, {kNull}, {}},
      {"pool_create of a new shared pool", run_pool_create_shared, {kNull, kNull}, {}},
      {"pool_create of an existing shared pool allocates nothing", run_pool_create_shared_again, {}, {}},
      {"pool_alloc making the first chunk", run_pool_first_alloc, {kFallback}, {kNull}},
      {"pool_alloc when the only chunk is full", run_pool_alloc_full_chunk, {kFallback}, {kNull}},
      {"pool_alloc from an open chunk allocates nothing", run_pool_alloc_open_chunk, {}, {}},
  };
  for (const Row &row : rows) oom::sweep(row);
}

// ---- Hash maps ----------------------------------------------------------------------

std::u16string U(const RtChar *s) { return s == nullptr ? u"" : std::u16string(reinterpret_cast<const char16_t *>(s)); }
const RtChar *R(const char16_t *s) { return reinterpret_cast<const RtChar *>(s); }

// Every entry as key -> value word, walking the map; checks count against it.
std::multimap<std::u16string, NativeInt> entries(HashMap *map) {
  std::multimap<std::u16string, NativeInt> all;
  map_reset(map);
  for (void *v = map_next(map); v != nullptr; v = map_next(map)) {
    RtString key = reinterpret_cast<RtString>(map_value_key(v));
    all.emplace(U(key), *static_cast<NativeInt *>(v));
  }
  EXPECT_EQ(static_cast<NativeInt>(all.size()), map->count) << "count equals the entries reached";
  return all;
}

Outcome run_map_create(long n, bool onward) {
  HashMap *slot = reinterpret_cast<HashMap *>(&slot);  // a marker that must survive a failure
  HashMap *const marker = slot;
  HashMap *m = refusing(n, onward, [&] { return map_create(W, nullptr, &slot, 64); });
  if (m == nullptr) {
    EXPECT_EQ(slot, marker) << "the owner slot is untouched";
    EXPECT_EQ(pool_registry_head, nullptr) << "the node pool reference is given back";
    return Outcome::kNull;
  }
  EXPECT_EQ(slot, m);
  *static_cast<NativeInt *>(map_add_str(m, R(u"k"), 0)) = 7;
  EXPECT_EQ(*static_cast<NativeInt *>(map_find_str(m, R(u"k"))), 7);
  map_destroy(m);
  EXPECT_EQ(slot, nullptr);
  EXPECT_EQ(pool_registry_head, nullptr);
  return Outcome::kResult;
}

// A map beside another whose nodes share the pool: no registry allocation.
Outcome run_map_create_sharing_a_pool(long n, bool onward) {
  HashMap *other = nullptr, *slot = nullptr;
  map_create(W, nullptr, &other, 8);
  HashMap *m = refusing(n, onward, [&] { return map_create(W, nullptr, &slot, 64); });
  Outcome outcome = Outcome::kResult;
  if (m == nullptr) {
    outcome = Outcome::kNull;
    EXPECT_EQ(slot, nullptr);
    EXPECT_TRUE(pool_registry_head != nullptr && pool_registry_head->ref_count == 1)
        << "only the other map holds the pool";
  } else {
    EXPECT_EQ(m->node_pool, other->node_pool);
    map_destroy(m);
  }
  map_destroy(other);
  EXPECT_EQ(pool_registry_head, nullptr);
  return outcome;
}

// A string-keyed map with entries a, b, c (values 1, 2, 3), then one add or
// put refused or not. A null result leaves the map as it was.
template <class Op>
Outcome add_to_filled_map(long n, bool onward, NativeInt flags, Op op) {
  HashMap *m = nullptr;
  map_create_flags(W, nullptr, &m, 4, flags);
  const char16_t *keys[] = {u"a", u"b", u"c"};
  for (NativeInt i = 0; i < 3; ++i) *static_cast<NativeInt *>(map_add_str(m, R(keys[i]), 0)) = i + 1;
  auto before = entries(m);
  void *v = refusing(n, onward, [&] { return op(m); });
  Outcome outcome = Outcome::kResult;
  if (v == nullptr) {
    outcome = Outcome::kNull;
    EXPECT_TRUE(entries(m) == before) << "the map is unchanged";
  } else {
    EXPECT_EQ(*static_cast<NativeInt *>(v), 0) << "a new or reset value is zeroed";
    *static_cast<NativeInt *>(v) = 9;
  }
  // It still works: finds, another add, a clear, a destroy.
  const bool reset_a = v != nullptr && U(reinterpret_cast<RtString>(map_value_key(v))) == u"a";
  EXPECT_EQ(*static_cast<NativeInt *>(map_find_str(m, R(u"a"))), reset_a ? 9 : 1);
  EXPECT_NE(map_add_str(m, R(u"later"), 0), nullptr);
  EXPECT_NE(map_find_str(m, R(u"later")), nullptr);
  map_clear(m);
  EXPECT_TRUE(entries(m).empty());
  map_destroy(m);
  EXPECT_EQ(pool_registry_head, nullptr);
  return outcome;
}

Outcome run_map_add_str_new(long n, bool onward) {
  return add_to_filled_map(n, onward, 0, [](HashMap *m) { return map_add_str(m, R(u"new key"), 0); });
}
Outcome run_map_add_str_look_first_missing(long n, bool onward) {
  return add_to_filled_map(n, onward, MAP_NOCASE, [](HashMap *m) { return map_add_str(m, R(u"D"), 1); });
}
Outcome run_map_put_str_present(long n, bool onward) {
  return add_to_filled_map(n, onward, MAP_NOCASE, [](HashMap *m) { return map_put_str(m, R(u"A")); });
}
// The map's node chunk holds 16 nodes: the 17th add needs a new chunk and,
// refused, falls back to a one-node chunk.
Outcome run_map_add_int_new_chunk(long n, bool onward) {
  HashMap *m = nullptr;
  map_create_flags(W, nullptr, &m, 8, MAP_INT_KEYS);
  for (NativeInt k = 0; k < 16; ++k) *static_cast<NativeInt *>(map_add_int(m, k, 0)) = k;
  const int32_t total_before = m->node_pool->total_elements;
  void *v = refusing(n, onward, [&] { return map_add_int(m, 100, 0); });
  Outcome outcome = Outcome::kResult;
  if (v == nullptr) {
    outcome = Outcome::kNull;
    EXPECT_EQ(m->count, 16);
    EXPECT_EQ(map_find_int(m, 100), nullptr);
  } else {
    if (m->node_pool->total_elements == total_before + 1) outcome = Outcome::kFallback;
    EXPECT_EQ(map_find_int(m, 100), v);
  }
  for (NativeInt k = 0; k < 16; ++k) {
    NativeInt *found = static_cast<NativeInt *>(map_find_int(m, k));
    EXPECT_TRUE(found != nullptr && *found == k) << "key " << k;
  }
  map_destroy(m);
  EXPECT_EQ(pool_registry_head, nullptr);
  return outcome;
}

// map_copy into an empty target: two entries, each a node (from the chunk of
// the node pool both maps share, which the source's nodes hold) and a key
// copy. A refusal
// stops the copy with 0; what was copied stays and the target stays sound.
Outcome run_map_copy(long n, bool onward) {
  HashMap *source = nullptr, *target = nullptr;
  map_create(W, nullptr, &source, 4);
  map_create(W, nullptr, &target, 4);
  *static_cast<NativeInt *>(map_add_str(source, R(u"x"), 0)) = 1;
  *static_cast<NativeInt *>(map_add_str(source, R(u"y"), 0)) = 2;
  map_find_str(source, R(u"x"));
  MapNode *cursor = source->current;
  int r = refusing(n, onward, [&] { return map_copy(source, target, 1); });
  EXPECT_EQ(source->current, cursor) << "the source's cursor is kept";
  auto copied = entries(target);
  for (auto &[key, value] : copied) EXPECT_EQ(value, key == u"x" ? 1 : 2) << "a copied entry is whole";
  EXPECT_EQ(entries(source).size(), 2u);
  Outcome outcome = Outcome::kResult;
  if (r == 0) {
    outcome = Outcome::kNull;
    EXPECT_LT(copied.size(), 2u);
  } else {
    EXPECT_EQ(copied.size(), 2u);
  }
  EXPECT_EQ(map_copy(source, target, 1), 1) << "a later copy succeeds";
  EXPECT_EQ(entries(target).size(), 2u);
  map_destroy(source);
  map_destroy(target);
  EXPECT_EQ(pool_registry_head, nullptr);
  return outcome;
}

TEST(ContainersOutOfMemorySweep, MapsGiveNullAndStayUnchanged) {
  const Row rows[] = {
      {"map_create with a new node pool", run_map_create, {kNull, kNull, kNull, kNull, kNull}, {}},
      {"map_create beside a map of the same node size", run_map_create_sharing_a_pool, {kNull, kNull, kNull}, {}},
      {"map_add_str of a new key: the key copy (the node's chunk is there)", run_map_add_str_new, {kNull}, {}},
      {"map_add_str looking first for a missing key", run_map_add_str_look_first_missing, {kNull}, {}},
      {"map_put_str of a present key allocates nothing", run_map_put_str_present, {}, {}},
      {"map_add_int needing a new node chunk", run_map_add_int_new_chunk, {kFallback}, {kNull}},
      {"map_copy of two string entries: their key copies", run_map_copy, {kNull, kNull}, {}},
  };
  for (const Row &row : rows) oom::sweep(row);
}

// ---- Object tables ----------------------------------------------------------------------

Outcome run_objtab_new(long n, bool onward) {
  ObjectTable *t = refusing(n, onward, [] { return objtab_new(3 * W, 4, nullptr); });
  if (t == nullptr) return Outcome::kNull;
  EXPECT_EQ(t->slot_count, 4);
  block_free(t->slots);
  block_free(t);
  return Outcome::kResult;
}

// A table of 4 slots with slot 1 filled, then a record for `number`.
Outcome obtain(long n, bool onward, NativeInt number) {
  ObjectTable *t = objtab_new(3 * W, 4, nullptr);
  NativeInt *one = static_cast<NativeInt *>(objtab_obtain(t, 1));
  one[0] = 1;
  one[1] = 11;
  const NativeInt slots_before = t->slot_count;
  NativeInt *r = static_cast<NativeInt *>(refusing(n, onward, [&] { return objtab_obtain(t, number); }));
  Outcome outcome = Outcome::kResult;
  if (r == nullptr) {
    outcome = Outcome::kNull;
    // Slots that did grow before the record was refused stay, empty.
    EXPECT_TRUE(t->slot_count == slots_before || t->slot_count == number + 4) << t->slot_count;
    if (number >= 0) {
      EXPECT_EQ(objtab_check(t, number), nullptr);  // beyond the slots, get would take it as an address
      if (number < t->slot_count) {
        EXPECT_EQ(t->slots[number], nullptr) << "the slot stays empty";
      }
    }
    EXPECT_EQ(t->dynamic_head, nullptr) << "nothing linked";
  } else if (r == one) {
    EXPECT_EQ(number, 1) << "a filled slot keeps its record, not zeroed";
  } else {
    EXPECT_EQ(r[0], 0);
    EXPECT_EQ(r[1], 0);
    r[0] = 1;
    EXPECT_EQ(objtab_get(t, number == -1 ? reinterpret_cast<NativeInt>(r) : number), r);
  }
  // Slot 1 kept its record, and the table still hands out records.
  EXPECT_EQ(objtab_get(t, 1), one);
  EXPECT_EQ(one[1], 11);
  NativeInt *again = static_cast<NativeInt *>(objtab_obtain(t, number));
  EXPECT_NE(again, nullptr);
  if (again != nullptr) again[0] = 1;
  if (r != nullptr && number >= 0) {
    EXPECT_EQ(again, r);
  }
  // Release everything: dynamic objects, slot records, the slots, the table.
  while (t->dynamic_head != nullptr) objtab_clear(t, reinterpret_cast<NativeInt>(t->dynamic_head + 1));
  for (NativeInt i = 0; i < t->slot_count; ++i) block_free(t->slots[i]);
  block_free(t->slots);
  block_free(t);
  return outcome;
}

Outcome run_obtain_empty_slot(long n, bool onward) { return obtain(n, onward, 2); }
Outcome run_obtain_beyond_slots(long n, bool onward) { return obtain(n, onward, 10); }
Outcome run_obtain_dynamic(long n, bool onward) { return obtain(n, onward, -1); }
Outcome run_obtain_filled_slot(long n, bool onward) { return obtain(n, onward, 1); }

Outcome run_create_once(long n, bool onward) {
  ObjectTable *t = nullptr;
  refusing(n, onward, [&] {
    objtab_create_once(&t, W, 2, nullptr);
    return 0;
  });
  if (t == nullptr) return Outcome::kNull;
  EXPECT_NE(objtab_obtain(t, 0), nullptr);
  block_free(t->slots[0]);
  block_free(t->slots);
  block_free(t);
  return Outcome::kResult;
}

TEST(ContainersOutOfMemorySweep, ObjectTablesGiveNullAndKeepTheirSlots) {
  const Row rows[] = {
      {"objtab_new", run_objtab_new, {kNull, kNull}, {}},
      {"objtab_create_once", run_create_once, {kNull, kNull}, {}},
      {"objtab_obtain of an empty slot", run_obtain_empty_slot, {kNull}, {}},
      {"objtab_obtain beyond the slots", run_obtain_beyond_slots, {kNull, kNull}, {}},
      {"objtab_obtain of a dynamic object", run_obtain_dynamic, {kNull}, {}},
      {"objtab_obtain of a filled slot allocates nothing", run_obtain_filled_slot, {}, {}},
  };
  for (const Row &row : rows) oom::sweep(row);
}

}  // namespace
