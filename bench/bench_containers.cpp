// Hash maps and element pools against what a program would use instead.
//
// Maps: add, hit and miss with 1 000 and 100 000 string keys ("key" and six
// digits, as UTF-16) in 1 024 and 131 072 buckets, and with integer keys,
// against std::unordered_map held at the same bucket count (the C++ library
// rounds it up to a prime, and a huge maximum load factor keeps it there),
// std::unordered_map growing as it likes, and GLib's GHashTable with UTF-8
// copies of the same keys (g_str_hash, the way a GLib program keys by text).
// "runtime" adds with map_put_* (looks first, as every peer's insert does);
// "runtime_no_look" adds with look_first 0. One case is a whole pass: create,
// add every key, destroy; or look up every key once in a shuffled order.
//
// Pools: bulk (allocate 10 000 elements, then free them in the same order)
// and churn (1 024 elements out; free a random one and allocate a new one,
// 4 096 times), with 32- and 48-byte elements, against glibc malloc/free.
// "runtime" calls pool_alloc and pool_free; "runtime_inline" the inline fast
// paths of pool.h that the maps use.
#include <glib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench_report.h"
#include "containers/hashmap.h"
#include "containers/pool.h"

namespace {

void fail_unless(bool ok, const std::string &what) {
  if (!ok) {
    fprintf(stderr, "contender gives a wrong result: %s\n", what.c_str());
    exit(1);
  }
}

template <typename Body>
benchmark::internal::Benchmark *add(const std::string &name, Body body) {
  return benchmark::RegisterBenchmark(name.c_str(), body);
}

// ---------------------------------------------------------------------------
// Maps

// Keys of one encoding side by side in one array, kStride code units apart
// and each terminated, read through a pointer as C programs hold their keys:
// fetching a key costs one memory access, as for a short std::string, which
// keeps its text in the object. (A std::u16string of nine units keeps its text
// in a separate block, so std::unordered_map, which needs such objects, pays
// one more access per lookup than the contenders that take pointers.)
template <typename Unit>
struct FlatKeys {
  static constexpr size_t kStride = 32 / sizeof(Unit);  // 32 bytes a key
  std::vector<Unit> units;
  size_t count = 0;
  template <typename Text>
  void push_back(const Text &text) {
    units.resize((count + 1) * kStride, Unit{0});
    std::copy(text.begin(), text.end(), units.begin() + static_cast<std::ptrdiff_t>(count * kStride));
    ++count;
  }
  const Unit *operator[](size_t i) const { return units.data() + i * kStride; }
  size_t size() const { return count; }
};

struct KeySet {
  std::vector<std::u16string> utf16;  // the keys, in insertion order, for std::unordered_map
  std::vector<std::u16string> utf16_missing;
  FlatKeys<RtChar> flat16, flat16_missing;  // the same keys, for the runtime
  FlatKeys<char> flat8, flat8_missing;      // and for GHashTable
  std::vector<NativeInt> ints;
  std::vector<NativeInt> ints_missing;
  std::vector<size_t> order;  // a shuffled lookup order
};

std::u16string widen(const std::string &s) { return std::u16string(s.begin(), s.end()); }

// n distinct keys "key" + six digits and n other keys of the same form.
KeySet make_keys(size_t n) {
  std::mt19937 rng(static_cast<uint32_t>(n));
  std::vector<int> numbers(1000000);
  for (int i = 0; i < 1000000; ++i) numbers[static_cast<size_t>(i)] = i;
  std::shuffle(numbers.begin(), numbers.end(), rng);
  KeySet k;
  char text[16];
  for (size_t i = 0; i < 2 * n; ++i) {
    snprintf(text, sizeof text, "key%06d", numbers[i]);
    std::u16string wide = widen(text);
    (i < n ? k.utf16 : k.utf16_missing).push_back(wide);
    (i < n ? k.flat16 : k.flat16_missing).push_back(wide);
    (i < n ? k.flat8 : k.flat8_missing).push_back(std::string(text));
  }
  std::uniform_int_distribution<NativeInt> any(0, (NativeInt{1} << 30) - 1);
  std::unordered_map<NativeInt, int> seen;
  while (k.ints.size() + k.ints_missing.size() < 2 * n) {
    NativeInt v = any(rng);
    if (!seen.emplace(v, 0).second) continue;
    (k.ints.size() < n ? k.ints : k.ints_missing).push_back(v);
  }
  for (size_t i = 0; i < n; ++i) k.order.push_back(i);
  std::shuffle(k.order.begin(), k.order.end(), rng);
  return k;
}


using StrMap = std::unordered_map<std::u16string, intptr_t>;
using IntMap = std::unordered_map<NativeInt, intptr_t>;

template <typename Map>
void hold_buckets(Map &m, size_t buckets) {
  if (buckets == 0) return;  // the library's own growth
  m.max_load_factor(1e30f);
  m.rehash(buckets);
}

// Maps filled once for the lookup cases, alive until the end of the run.
struct Filled {
  HashMap *str = nullptr;
  HashMap *ints = nullptr;
  StrMap std_str_same, std_str_default;
  IntMap std_int_same, std_int_default;
  GHashTable *g_str = nullptr;
  GHashTable *g_int = nullptr;
};

HashMap *runtime_str_map(const KeySet &k, NativeInt buckets) {
  HashMap *map = nullptr;
  map_create(sizeof(NativeInt), nullptr, &map, buckets);
  for (size_t i = 0; i < k.flat16.size(); ++i) *static_cast<NativeInt *>(map_put_str(map, k.flat16[i])) = 1;
  return map;
}

HashMap *runtime_int_map(const KeySet &k, NativeInt buckets) {
  HashMap *map = nullptr;
  map_create_flags(sizeof(NativeInt), nullptr, &map, buckets, MAP_INT_KEYS);
  for (NativeInt v : k.ints) *static_cast<NativeInt *>(map_put_int(map, v)) = 1;
  return map;
}

GHashTable *glib_str_map(const KeySet &k) {
  GHashTable *t = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, nullptr);
  for (size_t i = 0; i < k.flat8.size(); ++i) g_hash_table_insert(t, g_strdup(k.flat8[i]), GINT_TO_POINTER(1));
  return t;
}

GHashTable *glib_int_map(const KeySet &k) {
  GHashTable *t = g_hash_table_new(g_direct_hash, g_direct_equal);
  for (NativeInt v : k.ints) g_hash_table_insert(t, reinterpret_cast<gpointer>(v), GINT_TO_POINTER(1));
  return t;
}

template <typename Map, typename Keys>
Map std_map(const Keys &keys, size_t buckets) {
  Map m;
  hold_buckets(m, buckets);
  for (const auto &key : keys) m.emplace(key, 1);
  return m;
}

// How long the chain is that a lookup of a present key walks, on average over
// the keys (the sum of squared chain lengths over the key count), beside what
// a hash spreading the keys evenly would give (1 + (n - 1) / buckets). The
// map's hash is fixed, so this is what its lookups cannot do better than.
void print_chain_lengths(HashMap *map, const std::string &input) {
  double squares = 0;
  NativeInt used = 0;
  for (NativeInt b = 0; b < map->bucket_count; ++b) {
    NativeInt length = 0;
    for (MapNode *node = map->buckets[b]; node != nullptr; node = node->next) ++length;
    squares += static_cast<double>(length) * static_cast<double>(length);
    used += length > 0 ? 1 : 0;
  }
  double n = static_cast<double>(map->count);
  printf("string keys %s: %ld buckets in use, a key's chain holds %.2f nodes on average (an even spread: %.2f)\n",
         input.c_str(), static_cast<long>(used), squares / n, 1 + (n - 1) / static_cast<double>(map->bucket_count));
}

// Counts hits over every key in the lookup order; each contender must find
// exactly the keys it was given and none of the others.
template <typename Find, typename Keys>
size_t count_hits(const Keys &keys, const std::vector<size_t> &order, Find find) {
  size_t hits = 0;
  for (size_t i : order) hits += find(keys[i]) ? 1 : 0;
  return hits;
}

void register_maps(size_t n, NativeInt buckets) {
  static std::vector<KeySet *> key_sets;  // alive for the run
  KeySet *k = new KeySet(make_keys(n));
  key_sets.push_back(k);
  auto *f = new Filled;
  size_t b = static_cast<size_t>(buckets);
  f->str = runtime_str_map(*k, buckets);
  f->ints = runtime_int_map(*k, buckets);
  f->std_str_same = std_map<StrMap>(k->utf16, b);
  f->std_str_default = std_map<StrMap>(k->utf16, 0);
  f->std_int_same = std_map<IntMap>(k->ints, b);
  f->std_int_default = std_map<IntMap>(k->ints, 0);
  f->g_str = glib_str_map(*k);
  f->g_int = glib_int_map(*k);
  const std::string input = std::to_string(n) + "keys_" + std::to_string(buckets) + "buckets";
  print_chain_lengths(f->str, input);

  // Every contender finds all n keys and none of the n missing ones.
  auto rt_str = [f](const RtChar *s) { return map_find_str(f->str, s) != nullptr; };
  auto rt_int = [f](NativeInt v) { return map_find_int(f->ints, v) != nullptr; };
  auto g_str = [f](const char *s) { return g_hash_table_lookup(f->g_str, s) != nullptr; };
  auto g_int = [f](NativeInt v) { return g_hash_table_lookup(f->g_int, reinterpret_cast<gpointer>(v)) != nullptr; };
  auto std_str_same = [f](const std::u16string &s) { return f->std_str_same.find(s) != f->std_str_same.end(); };
  auto std_str_default = [f](const std::u16string &s) {
    return f->std_str_default.find(s) != f->std_str_default.end();
  };
  auto std_int_same = [f](NativeInt v) { return f->std_int_same.find(v) != f->std_int_same.end(); };
  auto std_int_default = [f](NativeInt v) { return f->std_int_default.find(v) != f->std_int_default.end(); };
  fail_unless(count_hits(k->flat16, k->order, rt_str) == n && count_hits(k->flat16_missing, k->order, rt_str) == 0,
              "runtime string map");
  fail_unless(count_hits(k->ints, k->order, rt_int) == n && count_hits(k->ints_missing, k->order, rt_int) == 0,
              "runtime integer map");
  fail_unless(count_hits(k->flat8, k->order, g_str) == n && count_hits(k->flat8_missing, k->order, g_str) == 0,
              "GHashTable");
  fail_unless(f->std_str_same.bucket_count() < b + b / 8 + 64, "std::unordered_map kept near the bucket count");

  // Each repetition of a lookup case runs for 0.2 s, many passes over the
  // keys: the first pass after another case finds the map's pages cold (on
  // this virtual machine a page first touched after other cases freed memory
  // is expensive), and the steady state is what the ratios compare.
  auto lookups = [&](const std::string &family, auto &keys, auto find, const char *who) {
    add(family + "/" + input + "/" + who, [k, &keys, find](benchmark::State &state) {
      for (auto _ : state) benchmark::DoNotOptimize(count_hits(keys, k->order, find));
    })->MinTime(0.2);
  };
  for (int miss = 0; miss < 2; ++miss) {
    std::string family = miss ? "map_str_miss" : "map_str_hit";
    auto &u16 = miss ? k->utf16_missing : k->utf16;
    auto &flat16 = miss ? k->flat16_missing : k->flat16;
    auto &flat8 = miss ? k->flat8_missing : k->flat8;
    lookups(family, flat16, rt_str, "runtime");
    lookups(family, u16, std_str_same, "std_same_buckets");
    lookups(family, u16, std_str_default, "std_default");
    lookups(family, flat8, g_str, "ghashtable");
  }
  for (int miss = 0; miss < 2; ++miss) {
    std::string family = miss ? "map_int_miss" : "map_int_hit";
    auto &ints = miss ? k->ints_missing : k->ints;
    lookups(family, ints, rt_int, "runtime");
    lookups(family, ints, std_int_same, "std_same_buckets");
    lookups(family, ints, std_int_default, "std_default");
    lookups(family, ints, g_int, "ghashtable");
  }

  // Adding: a whole map per pass, created, filled and destroyed.
  const std::string str_add = "map_str_add/" + input + "/";
  add(str_add + "runtime", [k, buckets](benchmark::State &state) {
    for (auto _ : state) {
      HashMap *map = runtime_str_map(*k, buckets);
      map_destroy(map);
    }
  });
  add(str_add + "runtime_no_look", [k, buckets](benchmark::State &state) {
    for (auto _ : state) {
      HashMap *map = nullptr;
      map_create(sizeof(NativeInt), nullptr, &map, buckets);
      for (size_t i = 0; i < k->flat16.size(); ++i) *static_cast<NativeInt *>(map_add_str(map, k->flat16[i], 0)) = 1;
      map_destroy(map);
    }
  });
  add(str_add + "std_same_buckets", [k, b](benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(std_map<StrMap>(k->utf16, b).size());
  });
  add(str_add + "std_default", [k](benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(std_map<StrMap>(k->utf16, 0).size());
  });
  add(str_add + "ghashtable", [k](benchmark::State &state) {
    for (auto _ : state) g_hash_table_destroy(glib_str_map(*k));
  });

  const std::string int_add = "map_int_add/" + input + "/";
  add(int_add + "runtime", [k, buckets](benchmark::State &state) {
    for (auto _ : state) {
      HashMap *map = runtime_int_map(*k, buckets);
      map_destroy(map);
    }
  });
  add(int_add + "runtime_no_look", [k, buckets](benchmark::State &state) {
    for (auto _ : state) {
      HashMap *map = nullptr;
      map_create_flags(sizeof(NativeInt), nullptr, &map, buckets, MAP_INT_KEYS);
      for (NativeInt v : k->ints) *static_cast<NativeInt *>(map_add_int(map, v, 0)) = 1;
      map_destroy(map);
    }
  });
  add(int_add + "std_same_buckets", [k, b](benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(std_map<IntMap>(k->ints, b).size());
  });
  add(int_add + "std_default", [k](benchmark::State &state) {
    for (auto _ : state) benchmark::DoNotOptimize(std_map<IntMap>(k->ints, 0).size());
  });
  add(int_add + "ghashtable", [k](benchmark::State &state) {
    for (auto _ : state) g_hash_table_destroy(glib_int_map(*k));
  });
}

// ---------------------------------------------------------------------------
// Pools

constexpr size_t kBulk = 10000;
constexpr size_t kLive = 1024;
constexpr size_t kChurnSteps = 4096;

struct PoolApi {
  Pool *pool;
  void *alloc() const { return pool_alloc(pool); }
  void release(void *p) const { pool_free(pool, p); }
};
struct PoolInlineApi {
  Pool *pool;
  void *alloc() const { return pool_alloc_inline(pool); }
  void release(void *p) const { pool_free_inline(pool, p); }
};
struct MallocApi {
  size_t size;
  void *alloc() const { return malloc(size); }
  void release(void *p) const { free(p); }
};

template <typename Api>
void bulk(benchmark::State &state, const Api &api) {
  std::vector<void *> out(kBulk);
  for (auto _ : state) {
    for (size_t i = 0; i < kBulk; ++i) {
      void *p = api.alloc();
      *static_cast<NativeInt *>(p) = static_cast<NativeInt>(i);
      out[i] = p;
    }
    benchmark::ClobberMemory();
    for (size_t i = 0; i < kBulk; ++i) api.release(out[i]);
  }
}

const std::vector<uint16_t> &churn_order() {
  static std::vector<uint16_t> order = [] {
    std::mt19937 rng(7);
    std::vector<uint16_t> v(kChurnSteps);
    for (uint16_t &x : v) x = static_cast<uint16_t>(rng() % kLive);
    return v;
  }();
  return order;
}

template <typename Api>
void churn(benchmark::State &state, const Api &api) {
  std::vector<void *> live(kLive);
  for (void *&p : live) p = api.alloc();
  const std::vector<uint16_t> &order = churn_order();
  for (auto _ : state) {
    for (uint16_t i : order) {
      api.release(live[i]);
      void *p = api.alloc();
      *static_cast<NativeInt *>(p) = i;
      live[i] = p;
    }
    benchmark::ClobberMemory();
  }
  for (void *p : live) api.release(p);
}

void register_pools(int32_t size) {
  const std::string bytes = std::to_string(size) + "B";
  // A private unlocked pool with the chunk limits maps use.
  Pool *pool = pool_create(size, 16, 65536, 0);
  fail_unless(pool != nullptr, "pool_create");
  PoolApi p{pool};
  PoolInlineApi pi{pool};
  MallocApi m{static_cast<size_t>(size)};
  add("pool_bulk/" + bytes + "_x10000/runtime", [p](benchmark::State &s) { bulk(s, p); });
  add("pool_bulk/" + bytes + "_x10000/runtime_inline", [pi](benchmark::State &s) { bulk(s, pi); });
  add("pool_bulk/" + bytes + "_x10000/glibc_malloc", [m](benchmark::State &s) { bulk(s, m); });
  add("pool_churn/" + bytes + "_live1024/runtime", [p](benchmark::State &s) { churn(s, p); });
  add("pool_churn/" + bytes + "_live1024/runtime_inline", [pi](benchmark::State &s) { churn(s, pi); });
  add("pool_churn/" + bytes + "_live1024/glibc_malloc", [m](benchmark::State &s) { churn(s, m); });
}

}  // namespace

int main(int argc, char **argv) {
  register_maps(1000, 1024);
  register_maps(100000, 131072);
  register_maps(1000, 131072);
  register_maps(100000, 1024);
  register_pools(32);
  register_pools(48);

  std::vector<bench::Target> targets;
  for (const char *family : {"map_str_add/", "map_str_hit/", "map_str_miss/", "map_int_add/", "map_int_hit/",
                             "map_int_miss/"}) {
    targets.push_back({family, "runtime", "std_same_buckets", 1.0});
    targets.push_back({std::string(family) + "1000keys_1024buckets", "runtime", "ghashtable", 1 / 1.1});
    targets.push_back({std::string(family) + "100000keys_131072buckets", "runtime", "ghashtable", 0.5});
  }
  targets.push_back({"pool_", "runtime", "glibc_malloc", 5.0});
  targets.push_back({"pool_", "runtime_inline", "glibc_malloc", 5.0});
  return bench::run(argc, argv, targets);
}
