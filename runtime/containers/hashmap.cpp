// Chained hash maps with a cursor, nodes from shared pools.
#include "containers/hashmap.h"

#include <cctype>
#include <cstring>
#include <cwctype>
#include <strings.h>

#include "core/memblock.h"
#include "core/unit_scan_internal.h"

namespace {

constexpr NativeInt kWord = static_cast<NativeInt>(sizeof(NativeInt));
constexpr int32_t kMinChunk = 16;
constexpr int32_t kMaxChunk = 65536;

// Key of the spare node: the empty string.
const RtChar kEmptyKey[1] = {0};

inline void *value_of(MapNode *node) { return map_node_value(node); }

// The hash behind a 64-bit node's value (see map_node_bytes) lets a chain
// walk pass nodes of other keys without loading their key blocks, each such
// load being a likely cache miss in a large map. The 32-bit build keeps
// nodes of exactly two words plus the value.
constexpr bool kNodeHash = sizeof(void *) == 8;

inline NativeInt node_hash_offset(NativeInt value_size) { return MAP_NODE_OVERHEAD + ((value_size + 3) & ~NativeInt{3}); }

inline uint32_t *node_hash(const HashMap *map, MapNode *node) {
  return reinterpret_cast<uint32_t *>(reinterpret_cast<char *>(node) + node_hash_offset(map->value_size));
}

// h * 65599 + unit with 32-bit wrap-around; the compiler forms the product
// with shifts or one multiply, whichever is faster.
inline uint32_t sdbm_step(uint32_t h, int32_t unit) { return h * 65599u + static_cast<uint32_t>(unit); }

// The unit as rt_strcmp_nocase folds it: towlower of the unit taken as a
// signed 16-bit value (units from 0x8000 come back unchanged, negative).
inline int32_t fold_unit(RtChar unit) {
  return static_cast<int32_t>(towlower(static_cast<wint_t>(static_cast<int32_t>(static_cast<int16_t>(unit)))));
}

constexpr uint32_t kP1 = 65599u;
constexpr uint32_t kP2 = kP1 * kP1;
constexpr uint32_t kP3 = kP2 * kP1;
constexpr uint32_t kP4 = kP3 * kP1;

// Hash of an RtString key plus its length in units. Four units per step give
// the same value as one at a time, h*P^4 + u0*P^3 + u1*P^2 + u2*P + u3, with
// a quarter of the multiply chain that bounds the per-unit loop.
inline uint32_t hash_str(RtConstString key, NativeInt *length) {
  NativeInt n = krt_scan::unit_length(key);
  *length = n;
  uint32_t h = 0;
  const RtChar *p = key;
  for (const RtChar *end4 = key + (n & ~NativeInt{3}); p != end4; p += 4) {
    uint32_t u0 = static_cast<uint32_t>(static_cast<int16_t>(p[0]));
    uint32_t u1 = static_cast<uint32_t>(static_cast<int16_t>(p[1]));
    uint32_t u2 = static_cast<uint32_t>(static_cast<int16_t>(p[2]));
    uint32_t u3 = static_cast<uint32_t>(static_cast<int16_t>(p[3]));
    h = h * kP4 + (u0 * kP3 + u1 * kP2 + u2 * kP1 + u3);
  }
  for (const RtChar *end = key + n; p != end; ++p) h = sdbm_step(h, static_cast<int16_t>(*p));
  return h;
}

inline uint32_t hash_str_nocase(RtConstString key, NativeInt *length) {
  uint32_t h = 0;
  const RtChar *p = key;
  for (; *p != 0; ++p) h = sdbm_step(h, fold_unit(*p));
  *length = p - key;
  return h;
}

inline uint32_t hash_host(const char *key, NativeInt *length) {
  uint32_t h = 0;
  const char *p = key;
  for (; *p != 0; ++p) h = sdbm_step(h, static_cast<signed char>(*p));
  *length = p - key;
  return h;
}

inline uint32_t hash_host_nocase(const char *key, NativeInt *length) {
  uint32_t h = 0;
  const char *p = key;
  // The C library's case table covers -128..255, so signed bytes index it.
  for (; *p != 0; ++p) h = sdbm_step(h, tolower(static_cast<signed char>(*p)));
  *length = p - key;
  return h;
}

// Bucket counts that are powers of two (the usual case) take a mask instead
// of a division; both give the same bucket.
inline bool power_of_two(NativeInt n) { return (n & (n - 1)) == 0; }

inline NativeInt bucket_of_hash(const HashMap *map, uint32_t h) {
  NativeInt n = map->bucket_count;
  if (power_of_two(n)) return static_cast<NativeInt>(h & static_cast<uint32_t>(n - 1));
  return static_cast<NativeInt>(static_cast<uintptr_t>(h) % static_cast<uintptr_t>(n));
}

// Floored remainder, so that negative keys land in 0..n-1 too; for a power
// of two that is the low bits of the two's-complement key.
inline NativeInt bucket_of_int(const HashMap *map, NativeInt key) {
  NativeInt n = map->bucket_count;
  if (power_of_two(n)) return key & (n - 1);
  NativeInt r = key % n;
  return r < 0 ? r + n : r;
}

inline bool str_equal(const RtChar *a, const RtChar *b) {
  for (;; ++a, ++b) {
    if (*a != *b) return false;
    if (*a == 0) return true;
  }
}

inline uint64_t load64(const void *p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}

// Whether the `bytes` bytes at a and b are equal, for bytes >= 8: words from
// the front and one ending at the last byte, ORed so that a mismatch costs
// one predictable branch instead of an exit at an unpredictable unit.
inline bool bytes_equal_8plus(const char *a, const char *b, NativeInt bytes) {
  uint64_t diff = load64(a + bytes - 8) ^ load64(b + bytes - 8);
  for (NativeInt i = 0; i + 8 < bytes && diff == 0; i += 8) diff |= load64(a + i) ^ load64(b + i);
  return diff == 0;
}

// Whether a stored RtString key block equals the key of `length` units. The
// block holds the units and the terminator, so its recorded length decides
// most mismatches before a unit is read; equal lengths then compare the units
// (neither holds a 0 before its end).
inline bool stored_key_equal(NativeInt stored, RtConstString key, NativeInt length) {
  const auto *block = reinterpret_cast<const char *>(stored);
  NativeInt bytes = 2 * length;
  if (block_length(block) != bytes + 2) return false;
  if (bytes >= 8) return bytes_equal_8plus(block, reinterpret_cast<const char *>(key), bytes);
  return memcmp(block, key, static_cast<size_t>(bytes)) == 0;
}

// Walks the chain of `bucket` for the first node `matches` accepts. Nodes
// passed over are recorded in `previous`; a hit becomes the cursor.
template <typename Match>
inline MapNode *find_in_chain(HashMap *map, NativeInt bucket, Match matches) {
  MapNode *node = map->buckets[bucket];
  if (node == nullptr) return nullptr;
  MapNode *passed = nullptr;
  for (; node != nullptr; node = node->next) {
    if (matches(node)) break;
    passed = node;
  }
  if (passed != nullptr) map->previous = passed;
  if (node != nullptr) {
    map->current = node;
    map->position = bucket;
  }
  return node;
}

// Map with only RtString key blocks (no HostString key was ever added), whose
// recorded lengths can be compared first.
inline bool rt_keys_only(const HashMap *map) { return (map->flags & MAP_HOST_KEYS) == 0; }

inline MapNode *find_str(HashMap *map, NativeInt bucket, RtConstString key, NativeInt length, uint32_t hash) {
  if (map->flags & MAP_NOCASE) {
    // Folding maps a unit to a unit, so keys equal without case have equal lengths.
    NativeInt block_bytes = rt_keys_only(map) ? 2 * length + 2 : -1;
    return find_in_chain(map, bucket, [map, key, block_bytes, hash](MapNode *node) {
      if (block_bytes >= 0) {
        if (kNodeHash && *node_hash(map, node) != hash) return false;
        if (block_length(reinterpret_cast<const void *>(node->key)) != block_bytes) return false;
      }
      return rt_strcmp_nocase(reinterpret_cast<RtConstString>(node->key), key) == 0;
    });
  }
  if (rt_keys_only(map))
    return find_in_chain(map, bucket, [map, key, length, hash](MapNode *node) {
      if (kNodeHash && *node_hash(map, node) != hash) return false;
      return stored_key_equal(node->key, key, length);
    });
  return find_in_chain(map, bucket,
                       [key](MapNode *node) { return str_equal(reinterpret_cast<const RtChar *>(node->key), key); });
}

inline MapNode *find_host(HashMap *map, NativeInt bucket, const char *key) {
  if (map->flags & MAP_NOCASE)
    return find_in_chain(
        map, bucket, [key](MapNode *node) { return strcasecmp(reinterpret_cast<const char *>(node->key), key) == 0; });
  return find_in_chain(map, bucket,
                       [key](MapNode *node) { return strcmp(reinterpret_cast<const char *>(node->key), key) == 0; });
}

// Index of the first non-empty bucket from `from` on, or n when there is
// none. Runs of empty buckets, most of a sparse map, are passed eight at a
// time.
inline NativeInt next_used_bucket(MapNode *const *buckets, NativeInt from, NativeInt n) {
  NativeInt b = from;
  for (; b + 8 <= n; b += 8) {
    uintptr_t any = 0;
    for (int i = 0; i < 8; ++i) any |= reinterpret_cast<uintptr_t>(buckets[b + i]);
    if (any != 0) break;
  }
  for (; b < n; ++b)
    if (buckets[b] != nullptr) return b;
  return n;
}

// A value made new: zero-filled, and its dynamic elements created.
inline void *fresh_value(HashMap *map, MapNode *node) {
  void *value = value_of(node);
  memset(value, 0, static_cast<size_t>(map->value_size));
  if (map->flags & MAP_DYNAMIC_VALUES) layout_init(value, map->layout);
  return value;
}

// An existing entry found by an add with look_first: its value starts over.
void *reset_value(HashMap *map, MapNode *node) {
  if (map->layout != nullptr) layout_clear(value_of(node), map->layout);
  return fresh_value(map, node);
}

// Puts a keyed node at the head of its chain and onto the cursor.
inline void *link_node(HashMap *map, MapNode *node, NativeInt bucket) {
  node->next = map->buckets[bucket];
  map->buckets[bucket] = node;
  map->current = node;
  map->position = bucket;
  map->previous = nullptr;
  ++map->count;
  return fresh_value(map, node);
}

// A node whose key word holds a copy of `bytes` bytes at `key`, or null with
// nothing taken.
MapNode *node_with_key_copy(HashMap *map, const void *key, NativeInt bytes, uint32_t hash) {
  auto *node = static_cast<MapNode *>(pool_alloc_inline(map->node_pool));
  if (node == nullptr) return nullptr;
  void *copy = block_alloc_raw(bytes);
  if (copy == nullptr) {
    pool_free_inline(map->node_pool, node);
    return nullptr;
  }
  memcpy(copy, key, static_cast<size_t>(bytes));
  node->key = reinterpret_cast<NativeInt>(copy);
  if (kNodeHash) *node_hash(map, node) = hash;
  return node;
}

}  // namespace

uint32_t map_hash_str(RtConstString key) {
  NativeInt length;
  return key == nullptr ? 0 : hash_str(key, &length);
}

uint32_t map_hash_str_nocase(RtConstString key) {
  NativeInt length;
  return key == nullptr ? 0 : hash_str_nocase(key, &length);
}

uint32_t map_hash_host(const char *key) {
  NativeInt length;
  return key == nullptr ? 0 : hash_host(key, &length);
}

uint32_t map_hash_host_nocase(const char *key) {
  NativeInt length;
  return key == nullptr ? 0 : hash_host_nocase(key, &length);
}

HashMap *map_create(NativeInt value_size, const StructLayout *layout, HashMap **owner_slot, NativeInt bucket_count) {
  if (value_size < 0) value_size = 0;
  if (value_size > INT32_MAX - MAP_NODE_OVERHEAD - 8) return nullptr;
  auto *map = static_cast<HashMap *>(block_alloc(sizeof(HashMap)));
  if (map == nullptr) return nullptr;
  if (bucket_count < 1) bucket_count = 1;
  if (bucket_count > NATIVEINT_MAX / kWord) {
    block_free(map);
    return nullptr;
  }
  map->buckets = static_cast<MapNode **>(block_alloc(bucket_count * kWord));
  if (map->buckets == nullptr) {
    block_free(map);
    return nullptr;
  }
  map->value_size = value_size;
  map->layout = layout;
  map->bucket_count = bucket_count;
  map->owner_slot = owner_slot;
  if (layout_has_dynamic(layout)) map->flags = MAP_DYNAMIC_VALUES;
  map->node_pool = pool_create(static_cast<int32_t>(map_node_bytes(value_size)), kMinChunk, kMaxChunk, POOL_SHARED);
  if (map->node_pool != nullptr) map->spare_node = static_cast<MapNode *>(block_alloc(value_size + MAP_NODE_OVERHEAD));
  if (map->spare_node == nullptr) {
    if (map->node_pool != nullptr) pool_destroy(map->node_pool);
    block_free(map->buckets);
    block_free(map);
    return nullptr;
  }
  map->spare_node->key = reinterpret_cast<NativeInt>(kEmptyKey);
  *owner_slot = map;
  return map;
}

HashMap *map_create_flags(NativeInt value_size, const StructLayout *layout, HashMap **owner_slot,
                          NativeInt bucket_count, NativeInt flags) {
  HashMap *map = map_create(value_size, layout, owner_slot, bucket_count);
  if (map != nullptr) map->flags |= flags & MAP_KEY_FLAGS;
  return map;
}

void map_reset(HashMap *map) {
  map->current = nullptr;
  map->position = -1;
}

void *map_next(HashMap *map) {
  MapNode *node = map->current;
  map->previous = node;
  map->previous_position = map->position;
  NativeInt from;
  if (node != nullptr) {
    if (node->next != nullptr) {
      map->current = node->next;
      return value_of(node->next);
    }
    from = map->position + 1;
  } else if (map->position == -1) {
    from = 0;
  } else {
    return nullptr;  // past the end until map_reset
  }
  NativeInt b = next_used_bucket(map->buckets, from, map->bucket_count);
  if (b < map->bucket_count) {
    map->current = map->buckets[b];
    map->position = b;
    return value_of(map->current);
  }
  map->current = nullptr;
  map->position = from;
  return nullptr;
}

void map_clear(HashMap *map) {
  bool string_keys = (map->flags & MAP_INT_KEYS) == 0;
  const StructLayout *layout = map->layout;
  // Same order as a walk with map_next: buckets ascending, chains from the head.
  NativeInt n = map->bucket_count;
  for (NativeInt b = next_used_bucket(map->buckets, 0, n); b < n; b = next_used_bucket(map->buckets, b + 1, n)) {
    MapNode *node = map->buckets[b];
    map->buckets[b] = nullptr;
    while (node != nullptr) {
      MapNode *next = node->next;
      if (string_keys) block_free(reinterpret_cast<void *>(node->key));
      if (layout != nullptr) layout_clear(value_of(node), layout);
      pool_free_inline(map->node_pool, node);
      node = next;
    }
  }
  map_reset(map);
  map->previous = nullptr;
  map->count = 0;
}

void map_destroy(HashMap *map) {
  if (map == nullptr) return;
  map_clear(map);
  pool_destroy(map->node_pool);
  block_free(map->buckets);
  block_free(map->spare_node);
  for (void *block = map->extra_blocks; block != nullptr;) {
    void *next = *static_cast<void **>(block);
    block_free(block);
    block = next;
  }
  *map->owner_slot = nullptr;
  block_free(map);
}

void *map_find_int(HashMap *map, NativeInt key) {
  MapNode *node = find_in_chain(map, bucket_of_int(map, key), [key](MapNode *node) { return node->key == key; });
  return node == nullptr ? nullptr : value_of(node);
}

void *map_find_str(HashMap *map, RtConstString key) {
  if (key == nullptr) key = kEmptyKey;
  NativeInt length;
  uint32_t h = (map->flags & MAP_NOCASE) ? hash_str_nocase(key, &length) : hash_str(key, &length);
  MapNode *node = find_str(map, bucket_of_hash(map, h), key, length, h);
  return node == nullptr ? nullptr : value_of(node);
}

void *map_find_host(HashMap *map, const char *key) {
  if (key == nullptr) key = "";
  NativeInt length;
  uint32_t h = (map->flags & MAP_NOCASE) ? hash_host_nocase(key, &length) : hash_host(key, &length);
  MapNode *node = find_host(map, bucket_of_hash(map, h), key);
  return node == nullptr ? nullptr : value_of(node);
}

void *map_add_int(HashMap *map, NativeInt key, int look_first) {
  NativeInt bucket = bucket_of_int(map, key);
  if (look_first) {
    MapNode *found = find_in_chain(map, bucket, [key](MapNode *node) { return node->key == key; });
    if (found != nullptr) return reset_value(map, found);
  }
  auto *node = static_cast<MapNode *>(pool_alloc_inline(map->node_pool));
  if (node == nullptr) return nullptr;
  node->key = key;
  return link_node(map, node, bucket);
}

void *map_add_str(HashMap *map, RtConstString key, int look_first) {
  if (key == nullptr) key = kEmptyKey;
  NativeInt length;
  uint32_t h = (map->flags & MAP_NOCASE) ? hash_str_nocase(key, &length) : hash_str(key, &length);
  NativeInt bucket = bucket_of_hash(map, h);
  if (look_first) {
    MapNode *found = find_str(map, bucket, key, length, h);
    if (found != nullptr) return reset_value(map, found);
  }
  MapNode *node = node_with_key_copy(map, key, 2 * (length + 1), h);
  if (node == nullptr) return nullptr;
  return link_node(map, node, bucket);
}

void *map_add_host(HashMap *map, const char *key, int look_first) {
  if (key == nullptr) key = "";
  NativeInt length;
  uint32_t h = (map->flags & MAP_NOCASE) ? hash_host_nocase(key, &length) : hash_host(key, &length);
  NativeInt bucket = bucket_of_hash(map, h);
  if (look_first) {
    MapNode *found = find_host(map, bucket, key);
    if (found != nullptr) return reset_value(map, found);
  }
  MapNode *node = node_with_key_copy(map, key, length + 1, h);
  if (node == nullptr) return nullptr;
  map->flags |= MAP_HOST_KEYS;
  return link_node(map, node, bucket);
}

void *map_put_int(HashMap *map, NativeInt key) { return map_add_int(map, key, 1); }
void *map_put_str(HashMap *map, RtConstString key) { return map_add_str(map, key, 1); }
void *map_put_host(HashMap *map, const char *key) { return map_add_host(map, key, 1); }

int map_copy(HashMap *source, HashMap *target, int clear_first) {
  if (source == nullptr || target == nullptr) return 0;
  if (source == target) return 1;
  MapNode *saved_current = source->current;
  NativeInt saved_position = source->position;
  if (clear_first) map_clear(target);
  int ok = 1;
  map_reset(source);
  for (void *value = map_next(source); value != nullptr; value = map_next(source)) {
    NativeInt key = map_value_key(value);
    void *copy;
    if (source->flags & MAP_INT_KEYS)
      copy = map_add_int(target, key, 0);
    else if (source->flags & MAP_HOST_KEYS)
      copy = map_add_host(target, reinterpret_cast<const char *>(key), 0);
    else
      copy = map_add_str(target, reinterpret_cast<RtConstString>(key), 0);
    if (copy == nullptr) {
      ok = 0;
      break;
    }
    layout_copy(copy, source->value_size, source->layout, value);
  }
  source->current = saved_current;
  source->position = saved_position;
  return ok;
}

void map_copy_replace(HashMap *source, HashMap *target) { map_copy(source, target, 1); }

void map_register_ops(void) {
  dynamic_element_ops.destroy_map = map_destroy;
  dynamic_element_ops.copy_map = map_copy;
  dynamic_element_ops.create_map = map_create;
}
