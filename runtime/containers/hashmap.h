/* Hash maps: chained tables with a fixed bucket count, holding values of one
 * size under string keys (RtString, or HostString for maps searched with
 * map_find_host) or integer keys. Program bodies, structure fields (through
 * dynamic_element_ops) and the event queue's binding map use them. Each map
 * keeps one cursor; nodes come from shared element pools. No locks: a map
 * belongs to one thread at a time. A map argument is never null unless the
 * operation says it accepts null. */
#ifndef KRT_CONTAINERS_HASHMAP_H
#define KRT_CONTAINERS_HASHMAP_H

#include "containers/layout.h"
#include "containers/pool.h"
#include "core/rtconfig.h"
#include "core/rtstring.h"

KRT_EXTERN_C_BEGIN

/* Map flags. The key kind (MAP_NOCASE, MAP_INT_KEYS, MAP_HOST_KEYS) is fixed
 * at creation with map_create_flags; map_create gives case-sensitive RtString
 * keys. MAP_DYNAMIC_VALUES is set by creation when the value layout has
 * dynamic elements. */
#define MAP_NOCASE 1         /* string keys compare and hash without case */
#define MAP_DYNAMIC_VALUES 2 /* new values go through layout_init */
#define MAP_INT_KEYS 4       /* keys are NativeInt values */
#define MAP_HOST_KEYS 8      /* keys are HostStrings (set by map_add_host too) */
#define MAP_KEY_FLAGS (MAP_NOCASE | MAP_INT_KEYS | MAP_HOST_KEYS)

/* A node: chain link, key word, then the value area. The key word holds the
 * integer key, or the handle of a SizedBlock holding a copy of the string key
 * with its terminator. Value addresses are what the operations hand out; the
 * key is the word just before a value. */
typedef struct MapNode {
  struct MapNode *next; /* next node of the same chain (chains run newest first) */
  NativeInt key;
} MapNode;

#define MAP_NODE_OVERHEAD ((NativeInt)sizeof(MapNode))

/* Bytes of one node as the node pool hands it out (the pool's element size).
 * At 32 bits exactly the two words and the value. At 64 bits a node also
 * keeps its string key's 32-bit hash behind the value, padded to 4 bytes, so
 * that chain walks pass other keys without reading their key blocks. */
static inline NativeInt map_node_bytes(NativeInt value_size) {
  if (sizeof(void *) == 8) return MAP_NODE_OVERHEAD + ((value_size + 3) & ~(NativeInt)3) + 4;
  return MAP_NODE_OVERHEAD + value_size;
}

typedef struct HashMap {
  MapNode *current;            /* the cursor's node, null when none */
  MapNode **buckets;           /* bucket_count chain heads */
  MapNode *previous;           /* written by find, add and map_next */
  MapNode *spare_node;         /* a zeroed node whose key is the empty string */
  const StructLayout *layout;  /* of the values, or null */
  NativeInt position;          /* bucket of the cursor; -1 before the first element */
  NativeInt previous_position; /* written by map_next */
  NativeInt value_size;
  NativeInt bucket_count; /* at least 1 */
  NativeInt count;        /* entries added since creation or the last clear */
  NativeInt flags;
  struct HashMap **owner_slot; /* the variable or field that holds the map */
  void *extra_blocks;          /* chain of SizedBlocks (first word = next) freed with the map */
  Pool *node_pool;             /* shared pool of nodes */
} HashMap;

/* Value address <-> key word and node. */
static inline NativeInt map_value_key(const void *value) { return ((const NativeInt *)value)[-1]; }
static inline void *map_node_value(MapNode *node) { return (void *)(node + 1); }

/* A new empty map of `bucket_count` buckets (0 or less gives 1) with RtString
 * keys compared exactly, stored into *owner_slot (never null) and returned.
 * Null when memory runs out, with everything taken given back and
 * *owner_slot untouched. The nodes come from the shared pool for
 * map_node_bytes(value_size). */
HashMap *map_create(NativeInt value_size, const StructLayout *layout, HashMap **owner_slot, NativeInt bucket_count);

/* map_create, then the key kind from `flags`: MAP_NOCASE, MAP_INT_KEYS and
 * MAP_HOST_KEYS are taken, other bits ignored. A map searched with 8-bit keys
 * (say 1024 buckets, exact case) is map_create(value size, NULL, &slot, 1024)
 * filled with map_add_host, or map_create_flags(..., MAP_HOST_KEYS). */
HashMap *map_create_flags(NativeInt value_size, const StructLayout *layout, HashMap **owner_slot,
                          NativeInt bucket_count, NativeInt flags);

/* Clears the map, drops its node pool reference, frees the map and its extra
 * blocks and stores null into its owner slot. Null does nothing. */
void map_destroy(HashMap *map);

/* Removes every entry (keys freed, values cleared through the layout) and
 * resets the cursor; count becomes 0. */
void map_clear(HashMap *map);

/* Adds an entry and returns its zero-filled (and, with dynamic values,
 * layout_init'ed) value; the cursor moves onto it. With look_first 0 a new
 * entry is always added, even beside an equal key (finds then see the newer
 * one); with look_first nonzero an existing entry of the key is reset (value
 * cleared through the layout, zeroed, re-initialised) and returned instead.
 * A null string key is the empty string. Null when memory for the node or the
 * key copy runs out; the map is then unchanged. */
void *map_add_int(HashMap *map, NativeInt key, int look_first);
void *map_add_str(HashMap *map, RtConstString key, int look_first);
/* As map_add_str for a HostString key, stored as a SizedBlock copy of its
 * bytes; marks the map MAP_HOST_KEYS. */
void *map_add_host(HashMap *map, const char *key, int look_first);

/* The add operations with look_first 1. */
void *map_put_int(HashMap *map, NativeInt key);
void *map_put_str(HashMap *map, RtConstString key);
void *map_put_host(HashMap *map, const char *key);

/* Value of the newest entry under the key, or null. A hit moves the cursor
 * onto the entry; a miss leaves it. Integer keys below 0 lie in bucket
 * key mod bucket_count taken as the floored remainder (-1 in the last bucket),
 * the same for adding and finding. With MAP_NOCASE, RtString keys compare as
 * rt_strcmp_nocase and HostString keys as strcasecmp. */
void *map_find_int(HashMap *map, NativeInt key);
void *map_find_str(HashMap *map, RtConstString key);
void *map_find_host(HashMap *map, const char *key);

/* Puts the cursor before the first element. */
void map_reset(HashMap *map);

/* Value of the next element (buckets ascending, each chain newest first), or
 * null at the end; stays null until map_reset. A new map returns null until
 * map_reset, an add or a successful find has placed the cursor. */
void *map_next(HashMap *map);

/* Adds copies of all source entries to the target (cleared first when
 * clear_first is nonzero), keys by the source's key kind and values deep-copied
 * with the source's layout. Returns 1, or 0 when either map is null or an add
 * runs out of memory (the entries copied so far stay). Copying a map into
 * itself does nothing and returns 1. The source's cursor is kept; the
 * target's is left on the last entry added. */
int map_copy(HashMap *source, HashMap *target, int clear_first);

/* map_copy with clear_first 1. */
void map_copy_replace(HashMap *source, HashMap *target);

/* Stores map_destroy, map_copy and map_create into dynamic_element_ops. */
void map_register_ops(void);

/* The sdbm hash (h = h * 65599 + unit, from 0, 32-bit wrapping) over RtString
 * units taken as signed 16-bit values, or over HostString bytes taken as
 * signed 8-bit values; the nocase variants fold each unit as
 * rt_strcmp_nocase does (towlower) and each byte through tolower. A null key
 * hashes as the empty string, to 0. "abc" gives 807794786. */
uint32_t map_hash_str(RtConstString key);
uint32_t map_hash_str_nocase(RtConstString key);
uint32_t map_hash_host(const char *key);
uint32_t map_hash_host_nocase(const char *key);

KRT_EXTERN_C_END

#endif
