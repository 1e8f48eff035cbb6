// Long random sequences of map operations checked against a plain reference
// model after every step: string keys with and without case, integer keys,
// values holding a number, a string and a nested map. Seeded and repeatable.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cwctype>
#include <iterator>
#include <string>
#include <vector>

#include "../core/text_helpers.h"
#include "containers/hashmap.h"

namespace {

constexpr NativeInt W = static_cast<NativeInt>(sizeof(NativeInt));

struct Value {
  NativeInt number;
  StringVar text;
  HashMap *inner;  // string keys, NativeInt values, 4 buckets
};
const NativeInt value_layout[] = {W, LAYOUT_MAP, 2 * W, W, 0, 4, LAYOUT_END};
constexpr NativeInt kInnerBuckets = 4;

// A small generator with the same sequence on every platform.
struct Rng {
  uint64_t state;
  uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
  }
  int below(int n) { return static_cast<int>(next() % static_cast<uint32_t>(n)); }
  bool chance(int percent) { return below(100) < percent; }
};

// The reference: entries in the order they were added, each with what its
// value should hold. Buckets are worked out independently of the map code.
struct InnerEntry {
  std::u16string key;
  NativeInt value;
};
struct Entry {
  std::u16string skey;
  NativeInt ikey = 0;
  NativeInt number = 0;
  std::u16string text;  // empty is a null StringVar
  std::vector<InnerEntry> inner;
};

int32_t folded(char16_t unit, bool nocase) {
  int32_t u = static_cast<int16_t>(unit);
  return nocase ? static_cast<int32_t>(towlower(static_cast<wint_t>(u))) : u;
}

uint32_t reference_hash(const std::u16string &key, bool nocase) {
  uint32_t h = 0;
  for (char16_t unit : key) h = h * 65599u + static_cast<uint32_t>(folded(unit, nocase));
  return h;
}

bool keys_equal(const std::u16string &a, const std::u16string &b, bool nocase) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (folded(a[i], nocase) != folded(b[i], nocase)) return false;
  return true;
}

NativeInt floored_mod(NativeInt k, NativeInt n) { return ((k % n) + n) % n; }

struct Model {
  const char *name;
  NativeInt buckets;
  NativeInt flags;
  HashMap *map = nullptr;
  std::vector<Entry> entries;

  bool ints() const { return (flags & MAP_INT_KEYS) != 0; }
  bool nocase() const { return (flags & MAP_NOCASE) != 0; }

  NativeInt bucket(const Entry &e) const {
    if (ints()) return floored_mod(e.ikey, buckets);
    return static_cast<NativeInt>(reference_hash(e.skey, nocase()) % static_cast<uint32_t>(buckets));
  }
  bool matches(const Entry &e, const Entry &key) const {
    return ints() ? e.ikey == key.ikey : keys_equal(e.skey, key.skey, nocase());
  }
  // Index of the entry a find must return: the newest with an equal key.
  int newest(const Entry &key) const {
    for (size_t i = entries.size(); i-- > 0;)
      if (matches(entries[i], key)) return static_cast<int>(i);
    return -1;
  }
  // Iteration order: buckets ascending, newest first within each.
  std::vector<const Entry *> order() const {
    std::vector<const Entry *> out;
    for (size_t i = entries.size(); i-- > 0;) out.push_back(&entries[i]);
    std::stable_sort(out.begin(), out.end(),
                     [this](const Entry *a, const Entry *b) { return bucket(*a) < bucket(*b); });
    return out;
  }
};

std::vector<const InnerEntry *> inner_order(const std::vector<InnerEntry> &inner) {
  std::vector<const InnerEntry *> out;
  for (size_t i = inner.size(); i-- > 0;) out.push_back(&inner[i]);
  std::stable_sort(out.begin(), out.end(), [](const InnerEntry *a, const InnerEntry *b) {
    return reference_hash(a->key, false) % kInnerBuckets < reference_hash(b->key, false) % kInnerBuckets;
  });
  return out;
}

void expect_value(const Value *v, const Entry &e) {
  EXPECT_EQ(v->number, e.number);
  EXPECT_EQ(U(v->text), e.text);
  ASSERT_NE(v->inner, nullptr) << "every value has its nested map";
  EXPECT_EQ(v->inner->count, static_cast<NativeInt>(e.inner.size()));
  std::vector<const InnerEntry *> want = inner_order(e.inner);
  map_reset(v->inner);
  size_t i = 0;
  for (void *iv = map_next(v->inner); iv != nullptr; iv = map_next(v->inner), ++i) {
    ASSERT_LT(i, want.size());
    EXPECT_EQ(U(reinterpret_cast<const RtChar *>(map_value_key(iv))), want[i]->key);
    EXPECT_EQ(*static_cast<NativeInt *>(iv), want[i]->value);
  }
  EXPECT_EQ(i, want.size());
}

void expect_same(Model &m) {
  SCOPED_TRACE(m.name);
  ASSERT_EQ(m.map->count, static_cast<NativeInt>(m.entries.size()));
  std::vector<const Entry *> want = m.order();
  map_reset(m.map);
  size_t i = 0;
  for (void *v = map_next(m.map); v != nullptr; v = map_next(m.map), ++i) {
    ASSERT_LT(i, want.size());
    SCOPED_TRACE(i);
    const Entry &e = *want[i];
    EXPECT_EQ(m.map->position, m.bucket(e));
    if (m.ints())
      EXPECT_EQ(map_value_key(v), e.ikey);
    else
      EXPECT_EQ(U(reinterpret_cast<const RtChar *>(map_value_key(v))), e.skey);
    expect_value(static_cast<Value *>(v), e);
  }
  EXPECT_EQ(i, want.size());
}

class MapModel : public ::testing::Test {
 protected:
  void SetUp() override {
    setlocale(LC_ALL, "C.UTF-8");
    map_register_ops();
  }
  void TearDown() override {
    setlocale(LC_ALL, "C");
    dynamic_element_ops = DynamicElementOps{};
  }
};

std::u16string random_key(Rng &rng) {
  static const char16_t alphabet[] = {u'a', u'b', u'A', u'B', 0xE9, 0xC9, 0x8001};
  std::u16string k;
  for (int n = rng.below(4); n > 0; --n) k += alphabet[rng.below(7)];
  return k;
}

// Gives a value found or added by an operation some contents, in map and model.
void fill(Rng &rng, Value *v, Entry &e) {
  if (rng.chance(70)) e.number = v->number = rng.below(1000) - 500;
  if (rng.chance(40)) {
    e.text = rng.chance(20) ? u"" : u"t" + random_key(rng);
    strvar_assign(&v->text, e.text.empty() ? nullptr : R(e.text.c_str()));
  }
  for (int n = rng.chance(30) ? rng.below(3) + 1 : 0; n > 0; --n) {
    std::u16string key = random_key(rng);
    NativeInt number = rng.below(100);
    *static_cast<NativeInt *>(map_add_str(v->inner, R(key.c_str()), 0)) = number;
    e.inner.push_back({key, number});
  }
}

void run_model(uint64_t seed, int steps) {
  Rng rng{seed};
  Model models[] = {
      {"exact/16", 16, 0, nullptr, {}},
      {"nocase/5", 5, MAP_NOCASE, nullptr, {}},
      {"exact/1", 1, 0, nullptr, {}},
      {"exact/37", 37, 0, nullptr, {}},  // sparse: runs of empty buckets
      {"ints/8", 8, MAP_INT_KEYS, nullptr, {}},
      {"ints/7", 7, MAP_INT_KEYS, nullptr, {}},
      {"ints/61", 61, MAP_INT_KEYS, nullptr, {}},
  };
  const int kStringMaps = 4;
  for (Model &m : models) ASSERT_NE(map_create_flags(sizeof(Value), value_layout, &m.map, m.buckets, m.flags), nullptr);

  for (int step = 0; step < steps; ++step) {
    int which = rng.below(5);
    Model &m = models[which];
    SCOPED_TRACE(testing::Message() << "seed " << seed << " step " << step << " map " << m.name);
    Entry key;
    if (m.ints())
      key.ikey = rng.below(25) - 12;
    else
      key.skey = random_key(rng);
    auto add = [&](int look_first) -> Value * {
      return static_cast<Value *>(m.ints() ? map_add_int(m.map, key.ikey, look_first)
                                           : map_add_str(m.map, R(key.skey.c_str()), look_first));
    };
    auto find = [&]() -> Value * {
      return static_cast<Value *>(m.ints() ? map_find_int(m.map, key.ikey) : map_find_str(m.map, R(key.skey.c_str())));
    };
    int op = rng.below(100);
    if (m.entries.size() > 60 && op < 40) op = 99;  // keep the maps small: clear

    if (op < 25) {  // add beside any equal key
      Value *v = add(0);
      ASSERT_NE(v, nullptr);
      m.entries.push_back(key);
      fill(rng, v, m.entries.back());
    } else if (op < 45) {  // put: reset an existing entry or add
      int at = m.newest(key);
      Value *v = add(1);
      ASSERT_NE(v, nullptr);
      if (at >= 0) {
        Entry &e = m.entries[static_cast<size_t>(at)];
        e.number = 0;
        e.text.clear();
        e.inner.clear();
      } else {
        m.entries.push_back(key);
        at = static_cast<int>(m.entries.size()) - 1;
      }
      fill(rng, v, m.entries[static_cast<size_t>(at)]);
    } else if (op < 75) {  // find, and the cursor step after it
      int at = m.newest(key);
      Value *v = find();
      if (at < 0) {
        EXPECT_EQ(v, nullptr);
      } else {
        ASSERT_NE(v, nullptr);
        Entry &e = m.entries[static_cast<size_t>(at)];
        expect_value(v, e);
        std::vector<const Entry *> order = m.order();
        size_t pos = static_cast<size_t>(std::find(order.begin(), order.end(), &e) - order.begin());
        if (rng.chance(50)) {
          fill(rng, v, e);
        } else {
          Value *after = static_cast<Value *>(map_next(m.map));
          if (pos + 1 == order.size())
            EXPECT_EQ(after, nullptr);
          else if (after != nullptr)
            expect_value(after, *order[pos + 1]);
          else
            ADD_FAILURE() << "map_next stopped early";
        }
      }
    } else if (op < 92) {  // copy into another map of the same key kind
      int first = m.ints() ? kStringMaps : 0;
      int count = m.ints() ? static_cast<int>(std::size(models)) - kStringMaps : kStringMaps;
      Model &t = models[first + rng.below(count)];
      int clear_first = rng.chance(50);
      std::vector<Entry> copied;
      for (const Entry *e : m.order()) {
        // A copy adds in the source's iteration order, the nested maps too.
        Entry c = *e;
        c.inner.clear();
        for (const InnerEntry *ie : inner_order(e->inner)) c.inner.push_back(*ie);
        copied.push_back(c);
      }
      EXPECT_EQ(map_copy(m.map, t.map, clear_first), 1);
      if (&t != &m) {
        if (clear_first) t.entries.clear();
        t.entries.insert(t.entries.end(), copied.begin(), copied.end());
      }
      expect_same(t);
    } else if (op < 95) {  // destroy and make anew
      map_destroy(m.map);
      EXPECT_EQ(m.map, nullptr);
      ASSERT_NE(map_create_flags(sizeof(Value), value_layout, &m.map, m.buckets, m.flags), nullptr);
      m.entries.clear();
    } else {
      map_clear(m.map);
      m.entries.clear();
    }
    expect_same(m);
    if (::testing::Test::HasFailure()) break;  // one report, not thousands
  }
  for (Model &m : models) expect_same(m);
  for (Model &m : models) map_destroy(m.map);
  EXPECT_EQ(pool_registry_head, nullptr);
}

TEST_F(MapModel, RandomOperationsAgreeWithTheReference) {
  for (uint64_t seed : {1u, 2u, 3u}) run_model(seed, 1500);
}

}  // namespace
