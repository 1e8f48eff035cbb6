// Hash maps driven by the input against a reference model: adds with and
// without looking first, puts, finds by integer, RtString and HostString key,
// clears, copies, destroys and full iterations, on maps of 1 to 16 buckets
// with integer, runtime-string or host-string keys, with or without
// MAP_NOCASE. The model keeps every entry with its insertion number; the
// map must agree on count, on which entry a find gives (the newest of equal
// keys), on whole values, and on iteration order (buckets ascending, each
// chain newest first, buckets computed by an independent sdbm hash).
//
// Input: byte 0 picks the key kind (bits 0-1: int, RtString, HostString),
// MAP_NOCASE (bit 2), the value size (bit 3: one or three words) and the
// bucket count (bits 4-7, plus 1). Then operations, each an opcode byte and
// a key byte (a key is up to three letters of "aAbB" or an integer -8..7).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "containers/hashmap.h"
#include "core/memblock.h"
#include "fuzz_check.h"

namespace {

constexpr NativeInt W = static_cast<NativeInt>(sizeof(NativeInt));
enum KeyKind { kInt, kStr, kHost };

struct Key {
  NativeInt number = 0;
  std::string text;  // ASCII letters
};

Key key_from(uint8_t b, KeyKind kind) {
  Key k;
  if (kind == kInt) {
    k.number = static_cast<NativeInt>(b & 15) - 8;
    return k;
  }
  const char letters[] = "aAbB";
  const int length = b >> 6;  // 0..3
  for (int i = 0; i < length; ++i) k.text += letters[(b >> (2 * i)) & 3];
  return k;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

struct Entry {
  Key key;
  long seq;  // insertion number: larger is newer
  long value;
};

struct Model {
  KeyKind kind;
  bool nocase;
  NativeInt buckets;
  std::vector<Entry> entries;
  long next_seq = 0;

  bool equal(const Key &a, const Key &b) const {
    if (kind == kInt) return a.number == b.number;
    if (!nocase) return a.text == b.text;
    if (a.text.size() != b.text.size()) return false;
    for (size_t i = 0; i < a.text.size(); ++i)
      if (lower(a.text[i]) != lower(b.text[i])) return false;
    return true;
  }

  NativeInt bucket(const Key &k) const {
    if (kind == kInt) {
      NativeInt r = k.number % buckets;
      return r < 0 ? r + buckets : r;
    }
    uint32_t h = 0;
    for (char c : k.text) h = h * 65599u + static_cast<uint32_t>(nocase ? lower(c) : c);
    return static_cast<NativeInt>(h % static_cast<uint32_t>(buckets));
  }

  Entry *newest(const Key &k) {
    Entry *found = nullptr;
    for (Entry &e : entries)
      if (equal(e.key, k) && (found == nullptr || e.seq > found->seq)) found = &e;
    return found;
  }

  // The order in which map_next yields the entries.
  std::vector<const Entry *> order() const {
    std::vector<const Entry *> all;
    for (const Entry &e : entries) all.push_back(&e);
    std::sort(all.begin(), all.end(), [&](const Entry *a, const Entry *b) {
      NativeInt ba = bucket(a->key), bb = bucket(b->key);
      return ba != bb ? ba < bb : a->seq > b->seq;
    });
    return all;
  }
};

std::vector<RtChar> units(const std::string &s) {
  std::vector<RtChar> u(s.begin(), s.end());
  u.push_back(0);
  return u;
}

// A value: its number in the first word, then a pattern made from it.
void write_value(void *v, NativeInt size, long value) {
  *static_cast<NativeInt *>(v) = static_cast<NativeInt>(value);
  unsigned char *b = static_cast<unsigned char *>(v);
  for (NativeInt i = W; i < size; ++i) b[i] = static_cast<unsigned char>(value * 7 + i);
}

void check_value(const void *v, NativeInt size, long value) {
  FUZZ_CHECK(*static_cast<const NativeInt *>(v) == static_cast<NativeInt>(value));
  const unsigned char *b = static_cast<const unsigned char *>(v);
  for (NativeInt i = W; i < size; ++i) FUZZ_CHECK(b[i] == static_cast<unsigned char>(value * 7 + i));
}

void check_zero(const void *v, NativeInt size) {
  const unsigned char *b = static_cast<const unsigned char *>(v);
  for (NativeInt i = 0; i < size; ++i) FUZZ_CHECK(b[i] == 0);
}

// The stored key of a value equals the entry's key as it was given.
void check_key(const void *v, const Key &k, KeyKind kind) {
  NativeInt word = map_value_key(v);
  if (kind == kInt) {
    FUZZ_CHECK(word == k.number);
  } else if (kind == kStr) {
    const RtChar *s = reinterpret_cast<const RtChar *>(word);
    for (size_t i = 0; i < k.text.size(); ++i) FUZZ_CHECK(s[i] == static_cast<RtChar>(k.text[i]));
    FUZZ_CHECK(s[k.text.size()] == 0);
  } else {
    FUZZ_CHECK(strcmp(reinterpret_cast<const char *>(word), k.text.c_str()) == 0);
  }
}

// A full iteration agrees with the model's order, keys and values.
void check_iteration(HashMap *map, const Model &model, NativeInt value_size) {
  FUZZ_CHECK(map->count == static_cast<NativeInt>(model.entries.size()));
  map_reset(map);
  for (const Entry *e : model.order()) {
    void *v = map_next(map);
    FUZZ_CHECK(v != nullptr);
    check_key(v, e->key, model.kind);
    check_value(v, value_size, e->value);
  }
  FUZZ_CHECK(map_next(map) == nullptr);
  FUZZ_CHECK(map_next(map) == nullptr);  // stays at the end until a reset
}

void *add(HashMap *map, const Key &k, KeyKind kind, int look_first) {
  if (kind == kInt) return map_add_int(map, k.number, look_first);
  if (kind == kStr) return map_add_str(map, units(k.text).data(), look_first);
  return map_add_host(map, k.text.c_str(), look_first);
}

void *find(HashMap *map, const Key &k, KeyKind kind) {
  if (kind == kInt) return map_find_int(map, k.number);
  if (kind == kStr) return map_find_str(map, units(k.text).data());
  return map_find_host(map, k.text.c_str());
}

HashMap *create(const Model &model, NativeInt value_size, HashMap **slot) {
  NativeInt flags = model.nocase ? MAP_NOCASE : 0;
  if (model.kind == kInt) flags = MAP_INT_KEYS;
  if (model.kind == kHost) flags |= MAP_HOST_KEYS;
  HashMap *map = map_create_flags(value_size, nullptr, slot, model.buckets, flags);
  FUZZ_CHECK(map != nullptr && *slot == map);
  return map;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  Model model;
  model.kind = static_cast<KeyKind>((data[0] & 3) % 3);
  model.nocase = model.kind != kInt && (data[0] & 4) != 0;
  model.buckets = (data[0] >> 4) + 1;
  const NativeInt value_size = (data[0] & 8) ? 3 * W : W;
  HashMap *map = nullptr;
  create(model, value_size, &map);
  long next_value = 1;

  for (size_t i = 1; i + 1 < size; i += 2) {
    const uint8_t op = data[i] % 9;
    const Key k = key_from(data[i + 1], model.kind);
    switch (op) {
      case 0:    // add without looking first: always a new entry
      case 1: {  // add looking first, and put: reset an existing entry
        const int look_first = op == 1 ? (data[i] & 16 ? 2 : 1) : 0;
        void *v = (op == 1 && (data[i] & 32)) ? (model.kind == kInt    ? map_put_int(map, k.number)
                                                 : model.kind == kStr ? map_put_str(map, units(k.text).data())
                                                                      : map_put_host(map, k.text.c_str()))
                                              : add(map, k, model.kind, look_first);
        FUZZ_CHECK(v != nullptr);
        check_zero(v, value_size);
        Entry *existing = look_first != 0 || (op == 1 && (data[i] & 32)) ? model.newest(k) : nullptr;
        if (existing != nullptr) {
          check_key(v, existing->key, model.kind);
          existing->value = next_value;
        } else {
          check_key(v, k, model.kind);
          model.entries.push_back({k, model.next_seq++, next_value});
        }
        write_value(v, value_size, next_value++);
        FUZZ_CHECK(map->count == static_cast<NativeInt>(model.entries.size()));
        break;
      }
      case 2:
      case 3: {  // find
        void *v = find(map, k, model.kind);
        Entry *want = model.newest(k);
        if (want == nullptr) {
          FUZZ_CHECK(v == nullptr);
        } else {
          FUZZ_CHECK(v != nullptr);
          check_key(v, want->key, model.kind);
          check_value(v, value_size, want->value);
        }
        break;
      }
      case 4:  // clear
        map_clear(map);
        model.entries.clear();
        FUZZ_CHECK(map->count == 0);
        map_reset(map);
        FUZZ_CHECK(map_next(map) == nullptr);
        break;
      case 5: {  // copy into a new map of the same kind, with or without clearing first
        HashMap *target = nullptr;
        create(model, value_size, &target);
        Model copied = model;
        copied.entries.clear();
        if (data[i + 1] & 1) {
          // Something in the target that clearing first removes.
          write_value(add(target, k, model.kind, 0), value_size, 0);
        }
        FUZZ_CHECK(map_copy(map, target, 1) == 1);
        for (const Entry *e : model.order()) copied.entries.push_back({e->key, copied.next_seq++, e->value});
        check_iteration(target, copied, value_size);
        check_iteration(map, model, value_size);  // the source is untouched
        map_destroy(target);
        FUZZ_CHECK(target == nullptr);
        FUZZ_CHECK(map_copy(map, nullptr, 1) == 0);
        FUZZ_CHECK(map_copy(map, map, 0) == 1);  // into itself: nothing
        break;
      }
      case 6:
      case 7:
        check_iteration(map, model, value_size);
        break;
      case 8:  // destroy and start again
        map_destroy(map);
        FUZZ_CHECK(map == nullptr);
        model.entries.clear();
        create(model, value_size, &map);
        break;
    }
  }
  check_iteration(map, model, value_size);
  map_destroy(map);
  FUZZ_CHECK(map == nullptr);
  FUZZ_CHECK(pool_registry_head == nullptr);  // the last map gave its node pool back
  return 0;
}
