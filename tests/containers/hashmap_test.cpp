// Hash maps: hashes and buckets, adding and finding under each key kind, the
// cursor rules, clearing, copying, destruction with the shared node pools,
// values with layouts, and every undo path when memory runs out.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include "../core/text_helpers.h"
#include "containers/hashmap.h"
#include "core/memblock.h"
#include "support/alloc_seam.h"

namespace {

constexpr NativeInt W = static_cast<NativeInt>(sizeof(NativeInt));
constexpr bool kNodeHash = W == 8;

MapNode *node_of(void *value) { return static_cast<MapNode *>(value) - 1; }
NativeInt &word(void *value, int i = 0) { return static_cast<NativeInt *>(value)[i]; }
std::u16string key_str(void *value) { return U(reinterpret_cast<const RtChar *>(map_value_key(value))); }

std::vector<NativeInt> int_keys(HashMap *map) {
  std::vector<NativeInt> keys;
  map_reset(map);
  for (void *v = map_next(map); v != nullptr; v = map_next(map)) keys.push_back(map_value_key(v));
  return keys;
}

std::vector<std::u16string> str_keys(HashMap *map) {
  std::vector<std::u16string> keys;
  map_reset(map);
  for (void *v = map_next(map); v != nullptr; v = map_next(map)) keys.push_back(key_str(v));
  return keys;
}

class Map : public ::testing::Test {
 protected:
  void SetUp() override {
    dynamic_element_ops = DynamicElementOps{};
    map_register_ops();
  }
  void TearDown() override {
    dynamic_element_ops = DynamicElementOps{};
    EXPECT_EQ(pool_registry_head, nullptr) << "a map was not destroyed";
  }
};

TEST(MapHash, SdbmOverSignedUnitsAndBytes) {
  setlocale(LC_ALL, "C.UTF-8");
  const RtChar high[] = {0xFFFF, 'a', 0};
  const RtChar folded_high[] = {0x8001, 0};
  struct Row {
    const char16_t *str;
    uint32_t want, want_nocase;
    const char *why;
  } rows[] = {
      {u"abc", 807794786u, 807794786u, "the reference value 0x3025F862"},
      {u"ABC", 541327426u, 807794786u, "case folds"},
      {u"", 0u, 0u, "empty"},
      {nullptr, 0u, 0u, "null is the empty string"},
      {u"\u00c9", 0xC9u, 0xE9u, "a unit below 0x8000 folds through towlower"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.why);
    EXPECT_EQ(map_hash_str(R(r.str)), r.want);
    EXPECT_EQ(map_hash_str_nocase(R(r.str)), r.want_nocase);
  }
  EXPECT_EQ(map_hash_host("abc"), 807794786u);
  EXPECT_EQ(map_hash_host("ABC"), 541327426u);
  EXPECT_EQ(map_hash_host_nocase("ABC"), 807794786u);
  EXPECT_EQ(map_hash_host(nullptr), 0u);
  EXPECT_EQ(map_hash_host("\xff"), 0xFFFFFFFFu) << "byte 0xFF counts as -1";
  EXPECT_EQ(map_hash_host("\xff" "a"), 4294901794u) << "-65599 + 97";
  // Units from 0x8000 count as negative and are not folded.
  EXPECT_EQ(map_hash_str(high), 4294901794u);
  EXPECT_EQ(map_hash_str_nocase(high), 4294901794u);
  EXPECT_EQ(map_hash_str_nocase(folded_high), 0xFFFF8001u);
  setlocale(LC_ALL, "C");
}

TEST_F(Map, ABucketIsTheUnsignedHashModuloTheBucketCount) {
  struct Row {
    NativeInt buckets, want;
  } rows[] = {{1024, 98}, {1000, 786}, {1, 0}, {7, 807794786 % 7}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.buckets);
    HashMap *map = nullptr;
    ASSERT_NE(map_create(W, nullptr, &map, r.buckets), nullptr);
    map_add_str(map, R(u"abc"), 0);
    EXPECT_EQ(map->position, r.want);
    EXPECT_NE(map->buckets[r.want], nullptr);
    map_destroy(map);
  }
}

TEST_F(Map, IntegerKeysBelowZeroTakeTheFlooredRemainder) {
  struct Row {
    NativeInt buckets, key, want;
  } rows[] = {
      {4, 5, 1}, {4, -1, 3}, {4, -4, 0}, {4, -5, 3}, {5, -1, 4}, {5, -5, 0}, {5, -6, 4}, {5, 12, 2}, {1, -9, 0},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(testing::Message() << r.key << " in " << r.buckets);
    HashMap *map = nullptr;
    map_create_flags(W, nullptr, &map, r.buckets, MAP_INT_KEYS);
    void *added = map_add_int(map, r.key, 0);
    EXPECT_EQ(map->position, r.want);
    map_reset(map);
    EXPECT_EQ(map_find_int(map, r.key), added);
    EXPECT_EQ(map->position, r.want);
    EXPECT_EQ(int_keys(map), std::vector<NativeInt>{r.key}) << "iteration reaches it";
    map_destroy(map);
  }
}

TEST_F(Map, CreationFillsTheRecordAndSharesNodePoolsByStride) {
  HashMap *a = nullptr;
  HashMap *b = nullptr;
  HashMap *c = nullptr;
  ASSERT_EQ(map_create(3, nullptr, &a, 16), a);
  EXPECT_EQ(a->current, nullptr);
  EXPECT_EQ(a->position, 0) << "not -1: map_next gives nothing before a reset";
  EXPECT_EQ(a->previous_position, 0);
  EXPECT_EQ(a->value_size, 3);
  EXPECT_EQ(a->bucket_count, 16);
  EXPECT_EQ(a->count, 0);
  EXPECT_EQ(a->flags, 0);
  EXPECT_EQ(a->owner_slot, &a);
  EXPECT_EQ(a->extra_blocks, nullptr);
  EXPECT_EQ(block_length(a->buckets), 16 * W);
  ASSERT_NE(a->spare_node, nullptr);
  EXPECT_EQ(block_length(a->spare_node), 3 + 2 * W);
  EXPECT_EQ(U(reinterpret_cast<const RtChar *>(a->spare_node->key)), u"");
  EXPECT_EQ(map_node_bytes(3), kNodeHash ? 2 * W + 8 : 2 * W + 3) << "64-bit nodes keep the key's hash";
  EXPECT_EQ(a->node_pool->stride, pool_stride(static_cast<int32_t>(map_node_bytes(3))));
  EXPECT_EQ(a->node_pool->min_chunk, 16);
  EXPECT_EQ(a->node_pool->max_chunk, 65536);
  EXPECT_EQ(a->node_pool->registry_entry->flags, POOL_SHARED);

  map_create(4, nullptr, &b, 16);  // value sizes 3 and 4 round to one stride
  map_create(W + 1, nullptr, &c, 16);
  EXPECT_EQ(a->node_pool, b->node_pool);
  EXPECT_NE(a->node_pool, c->node_pool);
  EXPECT_EQ(a->node_pool->registry_entry->ref_count, 2);

  Pool *shared = a->node_pool;
  map_destroy(a);
  EXPECT_EQ(a, nullptr) << "destroying stores null into the owner slot";
  EXPECT_EQ(shared->registry_entry->ref_count, 1);
  map_destroy(b);
  ASSERT_NE(pool_registry_head, nullptr);
  EXPECT_EQ(pool_registry_head->pool, c->node_pool) << "the last map of a node size took its pool along";
  EXPECT_EQ(pool_registry_head->next, nullptr);
  map_destroy(c);
  map_destroy(nullptr);
}

TEST_F(Map, FlagsChooseTheKeyKindOnlyAtCreation) {
  NativeInt dynamic[] = {LAYOUT_MAP, 0, W, 0, 4, LAYOUT_END};
  NativeInt strings[] = {0, LAYOUT_END};
  struct Row {
    const NativeInt *layout;
    NativeInt flags, want;
  } rows[] = {
      {nullptr, 0, 0},
      {strings, 0, 0},
      {dynamic, 0, MAP_DYNAMIC_VALUES},
      {nullptr, MAP_NOCASE | MAP_DYNAMIC_VALUES | 64, MAP_NOCASE},
      {dynamic, MAP_INT_KEYS, MAP_INT_KEYS | MAP_DYNAMIC_VALUES},
      {nullptr, MAP_HOST_KEYS | MAP_NOCASE, MAP_HOST_KEYS | MAP_NOCASE},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.flags);
    HashMap *map = nullptr;
    map_create_flags(W, r.layout, &map, 4, r.flags);
    EXPECT_EQ(map->flags, r.want);
    map_destroy(map);
  }
}

TEST_F(Map, BucketCountsBelowOneMakeOneChainIteratedNewestFirst) {
  for (NativeInt buckets : {0, -5}) {
    SCOPED_TRACE(buckets);
    HashMap *map = nullptr;
    map_create(W, nullptr, &map, buckets);
    EXPECT_EQ(map->bucket_count, 1);
    for (const char16_t *k : {u"x", u"y", u"z"}) map_add_str(map, R(k), 0);
    EXPECT_EQ(str_keys(map), (std::vector<std::u16string>{u"z", u"y", u"x"}));
    map_destroy(map);
  }
}

TEST_F(Map, IterationGoesThroughBucketsInOrderAndEachChainNewestFirst) {
  HashMap *map = nullptr;
  map_create_flags(W, nullptr, &map, 4, MAP_INT_KEYS);
  for (NativeInt k : {1, 5, 2}) map_add_int(map, k, 0);
  EXPECT_EQ(int_keys(map), (std::vector<NativeInt>{5, 1, 2}));
  map_destroy(map);
}

TEST_F(Map, TheCursorStartsNowhereAndStopsAtTheEndUntilReset) {
  HashMap *map = nullptr;
  map_create_flags(W, nullptr, &map, 8, MAP_INT_KEYS);
  EXPECT_EQ(map_next(map), nullptr) << "a new map has no cursor yet";
  for (NativeInt k : {1, 9, 3, 6}) map_add_int(map, k, 0);  // buckets 1: 9, 1; 3: 3; 6: 6
  map_add_int(map, 3, 0);  // the cursor is on the new entry, at the head of bucket 3
  void *v = map_next(map);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(map_value_key(v), 3) << "continues from the added entry";
  EXPECT_EQ(map->previous_position, 3);
  EXPECT_EQ(map_value_key(map_next(map)), 6);
  EXPECT_EQ(map_next(map), nullptr);
  EXPECT_EQ(map->position, 7) << "one past the last bucket that had an entry";
  EXPECT_EQ(map->current, nullptr);
  EXPECT_EQ(map_next(map), nullptr) << "stays at the end";
  EXPECT_EQ(map->position, 7);
  map_reset(map);
  EXPECT_EQ(map->position, -1);
  EXPECT_EQ(map_value_key(map_next(map)), 9);

  // A find moves the cursor, a failed one leaves it.
  ASSERT_NE(map_find_int(map, 9), nullptr);
  EXPECT_EQ(map_find_int(map, 17), nullptr);
  EXPECT_EQ(map_value_key(map_next(map)), 1);
  EXPECT_EQ(map_find_int(map, 2), nullptr) << "empty bucket";
  EXPECT_EQ(map_value_key(map_next(map)), 3);
  map_destroy(map);
}

TEST_F(Map, ResetOfAnEmptyMapEndsAtBucketZero) {
  HashMap *map = nullptr;
  map_create(W, nullptr, &map, 8);
  map_reset(map);
  EXPECT_EQ(map_next(map), nullptr);
  EXPECT_EQ(map->position, 0);
  EXPECT_EQ(map->previous_position, -1);
  map_destroy(map);
}

TEST_F(Map, FindRecordsThePassedNodesInPrevious) {
  HashMap *map = nullptr;
  map_create(W, nullptr, &map, 1);
  void *a = map_add_str(map, R(u"a"), 0);
  void *b = map_add_str(map, R(u"b"), 0);
  void *c = map_add_str(map, R(u"c"), 0);  // chain: c, b, a
  MapNode *marker = map->spare_node;
  struct Row {
    const char16_t *key;
    void *want;
    MapNode *previous;
    const char *why;
  } rows[] = {
      {u"c", c, marker, "a hit at the head leaves previous"},
      {u"b", b, node_of(c), "the hit's predecessor"},
      {u"a", a, node_of(b), "the hit's predecessor"},
      {u"q", nullptr, node_of(a), "a miss leaves the chain's last node"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.why);
    map->previous = marker;
    map->current = nullptr;
    EXPECT_EQ(map_find_str(map, R(r.key)), r.want);
    EXPECT_EQ(map->previous, r.previous);
    EXPECT_EQ(map->current, r.want ? node_of(r.want) : nullptr);
  }
  map_add_str(map, R(u"d"), 0);
  EXPECT_EQ(map->previous, nullptr) << "an add clears previous";
  map_destroy(map);
}

// Keys whose sdbm hashes are equal, so that only their units tell them apart,
// in pairs. 65599^2 = 126 * 65599 - 3969 (mod 2^32), hence the units (a, b, c)
// and (a + 1, b - 126, c + 3969) hash alike, and so do (1, b, c) and the
// shorter (126 + b, c - 3969). Shared fronts (for equal lengths) and tails
// move the differing units through keys from 2 to 20 units, below and above
// 8 bytes. No unit has a case, so the keys collide without case too.
std::vector<std::u16string> colliding_pairs() {
  std::vector<std::u16string> keys;
  for (size_t front = 0; front <= 8; front += 4) {
    for (size_t tail : {size_t{0}, size_t{1}, size_t{9}}) {
      std::u16string f(front, u'k'), t(tail, u'9');
      keys.push_back(f + std::u16string{u'1', char16_t{0x2300}, char16_t{100}} + t);
      keys.push_back(f + std::u16string{u'2', char16_t{0x2282}, char16_t{4069}} + t);
      if (front == 0) {
        keys.push_back(std::u16string{char16_t{1}, char16_t{10}, char16_t{4000}} + t);
        keys.push_back(std::u16string{char16_t{136}, char16_t{31}} + t);
      }
    }
  }
  return keys;
}

TEST_F(Map, KeysOfEqualHashAreToldApartByEveryUnit) {
  setlocale(LC_ALL, "C.UTF-8");
  const std::vector<std::u16string> keys = colliding_pairs();
  for (size_t i = 0; i < keys.size(); i += 2) {
    ASSERT_EQ(map_hash_str(R(keys[i].c_str())), map_hash_str(R(keys[i + 1].c_str())));
    ASSERT_EQ(map_hash_str_nocase(R(keys[i].c_str())), map_hash_str_nocase(R(keys[i + 1].c_str())));
  }
  for (NativeInt flags : {NativeInt{0}, NativeInt{MAP_NOCASE}}) {
    SCOPED_TRACE(flags);
    HashMap *map = nullptr;
    map_create_flags(W, nullptr, &map, 1, flags);  // one chain: every key meets every other
    // Every second key of each colliding pair is left out, so finds must
    // reject an equal hash on its units alone.
    std::vector<void *> values;
    for (size_t i = 0; i < keys.size(); ++i) {
      void *v = i % 2 == 0 ? map_add_str(map, R(keys[i].c_str()), 0) : nullptr;
      if (v != nullptr) word(v) = static_cast<NativeInt>(i);
      values.push_back(v);
    }
    for (size_t i = 0; i < keys.size(); ++i) {
      SCOPED_TRACE(i);
      std::u16string last_differs = keys[i];
      ++last_differs.back();
      EXPECT_EQ(map_find_str(map, R(last_differs.c_str())), nullptr);
      EXPECT_EQ(map_find_str(map, R((keys[i] + u"x").c_str())), nullptr);
      EXPECT_EQ(map_find_str(map, R(keys[i].c_str())), values[i]);
      EXPECT_EQ(map_put_str(map, R(keys[i].c_str())) == values[i], i % 2 == 0) << "a put finds exactly the added keys";
    }
    map_destroy(map);
  }
  setlocale(LC_ALL, "C");
}

TEST_F(Map, PutResetsTheEntryAndAddWithoutLookingAddsASecond) {
  HashMap *map = nullptr;
  map_create(2 * W, nullptr, &map, 16);
  void *v = map_add_str(map, R(u"key"), 0);
  word(v, 0) = 11;
  word(v, 1) = 12;
  EXPECT_EQ(map_put_str(map, R(u"key")), v);
  EXPECT_EQ(word(v, 0), 0);
  EXPECT_EQ(word(v, 1), 0);
  EXPECT_EQ(map->count, 1);
  EXPECT_EQ(map->current, node_of(v));

  word(v, 0) = 1;
  void *second = map_add_str(map, R(u"key"), 0);
  EXPECT_NE(second, v);
  EXPECT_EQ(map->count, 2);
  EXPECT_EQ(map_find_str(map, R(u"key")), second) << "the newer entry shadows the older";
  EXPECT_EQ(map_add_str(map, R(u"key"), 1), second);
  EXPECT_EQ(word(v, 0), 1) << "the older one is untouched";
  void *added = map_put_str(map, R(u"new"));
  EXPECT_EQ(map_find_str(map, R(u"new")), added) << "a put of a missing key adds it";
  EXPECT_EQ(map->count, 3);
  map_destroy(map);
}

TEST_F(Map, PutOnIntegerAndHostKeysWorksAlike) {
  HashMap *ints = nullptr;
  map_create_flags(W, nullptr, &ints, 4, MAP_INT_KEYS);
  void *v = map_put_int(ints, 42);
  word(v) = 9;
  EXPECT_EQ(map_put_int(ints, 42), v);
  EXPECT_EQ(word(v), 0);
  EXPECT_NE(map_add_int(ints, 42, 0), v);
  EXPECT_EQ(ints->count, 2);
  map_destroy(ints);

  HashMap *host = nullptr;
  map_create(W, nullptr, &host, 1024);
  v = map_put_host(host, "7:2:-1:-1");
  word(v) = 5;
  EXPECT_EQ(host->flags & MAP_HOST_KEYS, MAP_HOST_KEYS) << "marked as holding HostString keys";
  EXPECT_EQ(map_find_host(host, "7:2:-1:-1"), v);
  EXPECT_EQ(strcmp(reinterpret_cast<const char *>(map_value_key(v)), "7:2:-1:-1"), 0);
  EXPECT_EQ(block_length(reinterpret_cast<void *>(map_value_key(v))), 10) << "a SizedBlock of the bytes";
  EXPECT_EQ(map_find_host(host, "7:2:-1:-2"), nullptr);
  EXPECT_EQ(map_put_host(host, "7:2:-1:-1"), v);
  EXPECT_EQ(word(v), 0);
  EXPECT_EQ(host->count, 1);
  map_destroy(host);
}

TEST_F(Map, ANullKeyIsTheEmptyString) {
  HashMap *map = nullptr;
  map_create(W, nullptr, &map, 8);
  void *v = map_add_str(map, nullptr, 0);
  EXPECT_EQ(map->position, 0);
  EXPECT_EQ(map_find_str(map, R(u"")), v);
  EXPECT_EQ(map_put_str(map, nullptr), v);
  EXPECT_EQ(key_str(v), u"");
  EXPECT_EQ(block_length(reinterpret_cast<void *>(map_value_key(v))), 2) << "the terminator alone";
  HashMap *host = nullptr;
  map_create(W, nullptr, &host, 8);
  void *h = map_add_host(host, nullptr, 0);
  EXPECT_EQ(map_find_host(host, ""), h);
  map_destroy(host);
  map_destroy(map);
}

TEST_F(Map, WithoutCaseKeysMatchByFoldedUnitsAndKeepTheCaseFirstGiven) {
  setlocale(LC_ALL, "C.UTF-8");
  HashMap *map = nullptr;
  map_create_flags(W, nullptr, &map, 16, MAP_NOCASE);
  void *v = map_add_str(map, R(u"H\u00e9llo"), 0);
  struct Row {
    const char16_t *key;
    bool found;
  } rows[] = {{u"h\u00e9llo", true}, {u"H\u00c9LLO", true}, {u"hello", false}, {u"H\u00e9ll", false}};
  for (const Row &r : rows) {
    SCOPED_TRACE(&r - rows);
    EXPECT_EQ(map_find_str(map, R(r.key)), r.found ? v : nullptr);
  }
  EXPECT_EQ(map_put_str(map, R(u"H\u00c9LLO")), v);
  EXPECT_EQ(key_str(v), u"H\u00e9llo") << "the stored key keeps its case";
  EXPECT_EQ(map->count, 1);

  HashMap *exact = nullptr;
  map_create(W, nullptr, &exact, 16);
  map_add_str(exact, R(u"Key"), 0);
  EXPECT_EQ(map_find_str(exact, R(u"key")), nullptr) << "maps compare exactly by default";
  map_destroy(exact);

  HashMap *host = nullptr;
  map_create_flags(W, nullptr, &host, 16, MAP_NOCASE);
  void *h = map_add_host(host, "MiXeD", 0);
  EXPECT_EQ(map_find_host(host, "mixed"), h);
  EXPECT_EQ(map_find_host(host, "mixe"), nullptr);
  map_destroy(host);
  map_destroy(map);
  setlocale(LC_ALL, "C");
}

TEST_F(Map, ClearEmptiesEveryBucketAndTheMapStaysUsable) {
  HashMap *map = nullptr;
  map_create(W, nullptr, &map, 4);
  for (const char16_t *k : {u"a", u"b", u"c", u"d", u"e"}) map_add_str(map, R(k), 0);
  EXPECT_GT(map->node_pool->total_elements, 0);
  map_clear(map);
  EXPECT_EQ(map->count, 0);
  EXPECT_EQ(map->current, nullptr);
  EXPECT_EQ(map->position, -1);
  for (NativeInt b = 0; b < 4; ++b) EXPECT_EQ(map->buckets[b], nullptr);
  EXPECT_EQ(map->node_pool->total_elements, 0) << "every node went back to the pool";
  EXPECT_EQ(map_next(map), nullptr);
  EXPECT_EQ(map_find_str(map, R(u"a")), nullptr);
  void *v = map_add_str(map, R(u"a"), 0);
  EXPECT_EQ(map_find_str(map, R(u"a")), v);
  EXPECT_EQ(map->count, 1);
  map_destroy(map);
}

TEST_F(Map, DestroyFreesTheExtraBlocks) {
  HashMap *map = nullptr;
  map_create(W, nullptr, &map, 4);
  void *first = block_alloc(3 * W);
  void *second = block_alloc(W);
  *static_cast<void **>(first) = second;
  map->extra_blocks = first;
  map_destroy(map);  // the sanitizer build's leak check sees them otherwise
  EXPECT_EQ(map, nullptr);
}

// Values: a string, a number and a nested map of W-byte values.
struct Entry {
  StringVar text;
  NativeInt number;
  HashMap *inner;
};
NativeInt entry_layout[] = {0, LAYOUT_MAP, 2 * W, W, 0, 4, LAYOUT_END};

TEST_F(Map, ValuesWithALayoutAreInitialisedResetAndCleared) {
  HashMap *map = nullptr;
  map_create(sizeof(Entry), entry_layout, &map, 8);
  EXPECT_EQ(map->flags, MAP_DYNAMIC_VALUES);
  auto *e = static_cast<Entry *>(map_add_str(map, R(u"k"), 0));
  ASSERT_NE(e->inner, nullptr) << "a new value gets its nested map";
  EXPECT_EQ(e->inner->owner_slot, &e->inner);
  strvar_assign(&e->text, R(u"text"));
  e->number = 3;
  map_add_str(e->inner, R(u"in"), 0);

  EXPECT_EQ(map_put_str(map, R(u"k")), e);
  EXPECT_EQ(e->text, nullptr) << "string released and zeroed";
  EXPECT_EQ(e->number, 0);
  ASSERT_NE(e->inner, nullptr) << "nested map recreated";
  EXPECT_EQ(e->inner->count, 0);

  strvar_assign(&e->text, R(u"again"));
  map_add_str(e->inner, R(u"x"), 0);
  map_clear(map);  // frees the text and the nested map
  EXPECT_EQ(map->count, 0);
  map_destroy(map);
}

TEST_F(Map, CopyGivesTheTargetEqualEntriesAndKeepsTheSourceCursor) {
  HashMap *src = nullptr;
  HashMap *dst = nullptr;
  map_create(sizeof(Entry), entry_layout, &src, 8);
  map_create(sizeof(Entry), entry_layout, &dst, 3);
  const char16_t *keys[] = {u"one", u"two", u"three"};
  for (int i = 0; i < 3; ++i) {
    auto *e = static_cast<Entry *>(map_add_str(src, R(keys[i]), 0));
    strvar_assign(&e->text, R(keys[i]));
    e->number = i + 1;
    *static_cast<NativeInt *>(map_add_str(e->inner, R(u"n"), 0)) = 10 * (i + 1);
  }
  map_reset(src);
  map_next(src);
  map_next(src);
  MapNode *cursor = src->current;
  NativeInt position = src->position;

  EXPECT_EQ(map_copy(src, dst, 0), 1);
  EXPECT_EQ(src->current, cursor);
  EXPECT_EQ(src->position, position);
  EXPECT_EQ(dst->count, 3);
  EXPECT_EQ(dst->bucket_count, 3) << "the target keeps its own buckets";
  std::vector<std::u16string> source_order = str_keys(src);
  EXPECT_EQ(key_str(map_node_value(dst->current)), source_order.back()) << "target cursor on the last added";
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    auto *s = static_cast<Entry *>(map_find_str(src, R(keys[i])));
    auto *d = static_cast<Entry *>(map_find_str(dst, R(keys[i])));
    ASSERT_NE(d, nullptr);
    EXPECT_NE(map_value_key(d), map_value_key(s)) << "keys are copied";
    EXPECT_NE(d->text, s->text);
    EXPECT_EQ(U(d->text), keys[i]);
    EXPECT_EQ(d->number, i + 1);
    ASSERT_NE(d->inner, s->inner);
    EXPECT_EQ(d->inner->owner_slot, &d->inner);
    EXPECT_EQ(*static_cast<NativeInt *>(map_find_str(d->inner, R(u"n"))), 10 * (i + 1));
  }

  // Without clearing, keys already there appear twice; replacing clears first.
  EXPECT_EQ(map_copy(src, dst, 0), 1);
  EXPECT_EQ(dst->count, 6);
  map_copy_replace(src, dst);
  EXPECT_EQ(dst->count, 3);

  // Onto itself: nothing happens.
  EXPECT_EQ(map_copy(src, src, 1), 1);
  EXPECT_EQ(map_copy(src, src, 0), 1);
  EXPECT_EQ(src->count, 3);
  EXPECT_EQ(map_copy(nullptr, dst, 0), 0);
  EXPECT_EQ(map_copy(src, nullptr, 1), 0);
  map_destroy(src);
  map_destroy(dst);
}

TEST_F(Map, CopyUsesTheSourceKeyKindAndTheTargetsCaseRule) {
  HashMap *ints = nullptr, *ints2 = nullptr, *host = nullptr, *host2 = nullptr, *exact = nullptr, *nocase = nullptr;
  map_create_flags(W, nullptr, &ints, 4, MAP_INT_KEYS);
  map_create_flags(W, nullptr, &ints2, 4, MAP_INT_KEYS);
  for (NativeInt k : {-7, 0, 7}) word(map_add_int(ints, k, 0)) = k * 2;
  EXPECT_EQ(map_copy(ints, ints2, 1), 1);
  EXPECT_EQ(word(map_find_int(ints2, -7)), -14);
  EXPECT_EQ(ints2->count, 3);

  map_create(W, nullptr, &host, 16);
  map_create(W, nullptr, &host2, 16);
  word(map_add_host(host, "a:b", 0)) = 1;
  EXPECT_EQ(map_copy(host, host2, 1), 1);
  ASSERT_NE(map_find_host(host2, "a:b"), nullptr);
  EXPECT_EQ(word(map_find_host(host2, "a:b")), 1);

  map_create(W, nullptr, &exact, 16);
  map_create_flags(W, nullptr, &nocase, 16, MAP_NOCASE);
  map_add_str(exact, R(u"Key"), 0);
  map_copy(exact, nocase, 0);
  EXPECT_NE(map_find_str(nocase, R(u"KEY")), nullptr);

  for (HashMap *m : {ints, ints2, host, host2, exact, nocase}) map_destroy(m);
}

// Exhausted memory -----------------------------------------------------------

TEST_F(Map, EveryRefusedAllocationOfACreationIsUndone) {
  HashMap *other = nullptr;
  map_create(64, nullptr, &other, 4);  // registers a pool of another stride
  HashMap *sentinel = reinterpret_cast<HashMap *>(&other);
  for (bool pool_exists : {false, true}) {
    HashMap *keep = nullptr;
    if (pool_exists) map_create(W, nullptr, &keep, 4);
    long allocations = pool_exists ? 3 : 5;  // record, buckets, [entry, pool], spare node
    for (long n = 1;; ++n) {
      SCOPED_TRACE(testing::Message() << "pool exists " << pool_exists << ", failing allocation " << n);
      HashMap *slot = sentinel;
      HashMap *made;
      {
        AllocFailure refuse(n);
        made = map_create(W, nullptr, &slot, 8);
      }
      if (made != nullptr) {
        EXPECT_EQ(n, allocations + 1);
        EXPECT_EQ(slot, made);
        map_destroy(made);
        break;
      }
      EXPECT_EQ(slot, sentinel) << "the owner slot is not touched";
      EXPECT_EQ(pool_registry_head->pool, pool_exists ? keep->node_pool : other->node_pool);
      if (pool_exists) {
        EXPECT_EQ(keep->node_pool->registry_entry->ref_count, 1);
      }
    }
    if (keep != nullptr) map_destroy(keep);
  }
  map_destroy(other);
}

TEST_F(Map, AnAddThatRunsOutOfMemoryLeavesTheMapUnchanged) {
  struct Row {
    NativeInt flags;
    long allocations;  // chunk, key copy
  } rows[] = {{0, 2}, {MAP_HOST_KEYS, 2}, {MAP_INT_KEYS, 1}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.flags);
    HashMap *map = nullptr;
    map_create_flags(W, nullptr, &map, 8, r.flags);
    map_reset(map);
    for (long n = 1;; ++n) {
      SCOPED_TRACE(n);
      void *v;
      {
        AllocFailure refuse(n, true);
        v = r.flags & MAP_INT_KEYS ? map_add_int(map, 2, 0)
            : r.flags & MAP_HOST_KEYS ? map_add_host(map, "second", 0)
                                      : map_add_str(map, R(u"second"), 0);
      }
      if (v != nullptr) {
        EXPECT_EQ(n, r.allocations + 1);
        break;
      }
      EXPECT_EQ(map->count, 0);
      EXPECT_EQ(map->current, nullptr);
      EXPECT_EQ(map->position, -1) << "the cursor is where it was";
      for (NativeInt b = 0; b < 8; ++b) EXPECT_EQ(map->buckets[b], nullptr);
      EXPECT_EQ(map->node_pool->total_elements, 0) << "the node went back and its chunk with it";
    }
    map_destroy(map);
  }
}

TEST_F(Map, APutOfAPresentKeyNeedsNoMemory) {
  HashMap *map = nullptr;
  map_create(W, nullptr, &map, 8);
  void *v = map_add_str(map, R(u"here"), 0);
  {
    AllocFailure refuse(1, true);
    EXPECT_EQ(map_put_str(map, R(u"here")), v);
    EXPECT_EQ(alloc_seam_calls(), 0);
  }
  map_destroy(map);
}

TEST_F(Map, ACopyThatRunsOutOfMemoryStopsWithWhatItHasCopied) {
  HashMap *src = nullptr;
  map_create(W, nullptr, &src, 4);
  for (const char16_t *k : {u"a", u"b", u"c", u"d"}) word(map_add_str(src, R(k), 0)) = 1;
  std::vector<std::u16string> order = str_keys(src);
  map_find_str(src, R(u"b"));
  MapNode *cursor = src->current;
  NativeInt position = src->position;
  for (long n = 1;; ++n) {
    SCOPED_TRACE(n);
    HashMap *dst = nullptr;
    map_create(W, nullptr, &dst, 4);
    int ok;
    {
      AllocFailure refuse(n, true);
      ok = map_copy(src, dst, 0);
    }
    EXPECT_EQ(src->current, cursor);
    EXPECT_EQ(src->position, position);
    std::vector<std::u16string> copied;
    for (const std::u16string &k : order)
      if (map_find_str(dst, R(k.c_str())) != nullptr) copied.push_back(k);
    map_destroy(dst);
    if (ok) {
      EXPECT_EQ(copied, order);
      break;
    }
    EXPECT_EQ(copied, std::vector<std::u16string>(order.begin(), order.begin() + static_cast<long>(copied.size())))
        << "the entries before the failure are there";
    EXPECT_LT(copied.size(), order.size());
  }
  map_destroy(src);
}

}  // namespace
