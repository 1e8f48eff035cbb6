// Structure layouts: the walk over each entry code, and the exact calls that
// layout_init, layout_clear and layout_copy make through dynamic_element_ops.
// Lists and arrays are small test doubles that log their calls; map slots log
// and then run the real map operations.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../core/text_helpers.h"
#include "containers/hashmap.h"
#include "containers/layout.h"
#include "core/memblock.h"
#include "core/rtstring.h"

namespace {

constexpr NativeInt W = static_cast<NativeInt>(sizeof(NativeInt));

NativeInt N(const void *p) { return reinterpret_cast<NativeInt>(p); }

struct Call {
  std::string op;
  std::vector<NativeInt> args;
  bool operator==(const Call &o) const { return op == o.op && args == o.args; }
};
std::ostream &operator<<(std::ostream &os, const Call &c) {
  os << c.op << "(";
  for (size_t i = 0; i < c.args.size(); ++i) os << (i ? ", " : "") << c.args[i];
  return os << ")";
}

std::vector<Call> calls;
// A word of some structure that the map double reports at each create_map
// call, to see which plain bytes a copy has written by then.
const NativeInt *watched = nullptr;

// List double: the record starts with the words a copy reads.
struct FakeList {
  LayoutListHeader header;
  void **owner;
  NativeInt content;
};

void fake_create_list(NativeInt element_size, void **owner, const StructLayout *layout, NativeInt option) {
  calls.push_back({"create_list", {element_size, N(owner), N(layout), option}});
  *owner = new FakeList{{element_size + 2 * W, layout, option}, owner, 0};
}
void fake_destroy_list(void *list) {
  calls.push_back({"destroy_list", {N(list)}});
  if (list == nullptr) return;
  auto *l = static_cast<FakeList *>(list);
  *l->owner = nullptr;
  delete l;
}
int fake_copy_list(void *source, void *target, int clear_first) {
  calls.push_back({"copy_list", {N(source), N(target), clear_first}});
  static_cast<FakeList *>(target)->content = static_cast<FakeList *>(source)->content;
  return 1;
}

// Array double: seven words, data at word 6. Words before the data:
// -6 inline extra, -5 a, -4 d, -3 the owner slot (ours), -2 b, -1 c.
NativeInt *make_array(NativeInt a, NativeInt b, NativeInt c, NativeInt d, NativeInt extra, void **owner) {
  NativeInt *data = new NativeInt[7]() + 6;
  data[-6] = extra;
  data[-5] = a;
  data[-4] = d;
  data[-3] = N(owner);
  data[-2] = b;
  data[-1] = c;
  *owner = data;
  return data;
}
void *fake_create_array(NativeInt a, NativeInt b, NativeInt c, NativeInt d, void **owner) {
  calls.push_back({"create_array", {a, b, c, d, N(owner)}});
  return make_array(a, b, c, d, 0, owner);
}
void fake_create_array_inline(NativeInt n, NativeInt a, NativeInt b, NativeInt c, void **owner) {
  Call call{"create_array_inline", {n, a, b, c, N(owner)}};
  // The inline words must already be in the field behind the data pointer.
  for (NativeInt i = 1; i <= n; ++i) call.args.push_back(reinterpret_cast<NativeInt *>(owner)[i]);
  calls.push_back(call);
  make_array(a, b, c, 0, 1000 + n, owner);
}
void fake_destroy_array(void *data) {
  calls.push_back({"destroy_array", {N(data)}});
  if (data == nullptr) return;
  NativeInt *words = static_cast<NativeInt *>(data);
  *reinterpret_cast<void **>(words[-3]) = nullptr;
  delete[] (words - 6);
}
int fake_copy_array(void *source, void *target, int clear_first) {
  calls.push_back({"copy_array", {N(source), N(target), clear_first}});
  static_cast<NativeInt *>(target)[0] = static_cast<NativeInt *>(source)[0];
  return 1;
}

HashMap *logged_create_map(NativeInt value_size, const StructLayout *layout, HashMap **owner, NativeInt buckets) {
  Call call{"create_map", {value_size, N(layout), N(owner), buckets}};
  if (watched != nullptr) call.args.push_back(*watched);
  calls.push_back(call);
  return map_create(value_size, layout, owner, buckets);
}
void logged_destroy_map(HashMap *map) {
  calls.push_back({"destroy_map", {N(map)}});
  map_destroy(map);
}
int logged_copy_map(HashMap *source, HashMap *target, int clear_first) {
  calls.push_back({"copy_map", {N(source), N(target), clear_first}});
  return map_copy(source, target, clear_first);
}

class Layout : public ::testing::Test {
 protected:
  void SetUp() override {
    calls.clear();
    watched = nullptr;
    dynamic_element_ops = DynamicElementOps{logged_destroy_map, fake_destroy_list, fake_destroy_array,
                                            logged_copy_map,    fake_copy_list,    fake_copy_array,
                                            logged_create_map,  fake_create_list,  fake_create_array_inline,
                                            fake_create_array};
  }
  void TearDown() override {
    dynamic_element_ops = DynamicElementOps{};
    EXPECT_EQ(pool_registry_head, nullptr) << "every map made here is destroyed";
  }
};

TEST_F(Layout, HasDynamicLooksThroughNestedStructuresAndSkipsWholeEntries) {
  NativeInt end[] = {LAYOUT_END};
  NativeInt strings[] = {0, W, 3 * W, LAYOUT_END};
  NativeInt map_only[] = {LAYOUT_MAP, 0, W, 0, 4, LAYOUT_END};
  NativeInt level2[] = {0, LAYOUT_STRUCT, W, W, LAYOUT_REF(map_only), LAYOUT_END};
  NativeInt level1[] = {0, LAYOUT_STRUCT, 2 * W, 2 * W, LAYOUT_REF(level2), LAYOUT_END};
  NativeInt plain_nested[] = {LAYOUT_STRUCT, 0, W, LAYOUT_REF(strings), LAYOUT_STRUCT_ARRAY, 3, W, W,
                              LAYOUT_REF(strings), 5 * W, LAYOUT_END};
  NativeInt after_nested[] = {LAYOUT_STRUCT, 0, W, LAYOUT_REF(strings), LAYOUT_ARRAY, W, 1, 2, 3, 4, LAYOUT_END};
  NativeInt array_of_lists[] = {LAYOUT_STRUCT_ARRAY, 2, 0, 2 * W, LAYOUT_REF(level1), LAYOUT_END};
  NativeInt list[] = {0, LAYOUT_LIST, W, 8, 0, 0, LAYOUT_END};
  NativeInt array[] = {LAYOUT_ARRAY, 0, 1, 2, 3, 4, LAYOUT_END};
  NativeInt inline_array[] = {LAYOUT_ARRAY_INLINE, 0, 1, 1, 2, 3, 9, LAYOUT_END};
  struct Row {
    const NativeInt *layout;
    int want;
    const char *why;
  } rows[] = {
      {nullptr, 0, "null layout"},
      {end, 0, "only the end"},
      {strings, 0, "strings are not dynamic"},
      {plain_nested, 0, "nested structures of strings only"},
      {level1, 1, "a map two levels down"},
      {after_nested, 1, "the walk goes on after a plain nested structure"},
      {array_of_lists, 1, "through a structure array"},
      {list, 1, "a list"},
      {array, 1, "an array"},
      {inline_array, 1, "an inline array"},
      {map_only, 1, "a map"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.why);
    EXPECT_EQ(layout_has_dynamic(r.layout), r.want);
  }
  EXPECT_TRUE(calls.empty());
}

// One structure with every kind of field, in words:
//  0 string | 1 array | 2-3 list | 4 map | 5-7 inline array (2 inline words)
//  8 string | 9-10 nested {array, string} | 11-14 two nested {list}
constexpr int kWords = 15;
struct Everything {
  NativeInt element_layout[2] = {0, LAYOUT_END};
  NativeInt inner[9];
  NativeInt of_lists[7];
  NativeInt layout[46];
  Everything() {
    NativeInt in[] = {LAYOUT_ARRAY, 0, 41, 42, 43, 44, W, LAYOUT_END};
    memcpy(inner, in, sizeof in);
    NativeInt lists[] = {LAYOUT_LIST, 0, 8, 0, 1, LAYOUT_END};
    memcpy(of_lists, lists, sizeof lists);
    NativeInt l[] = {0,
                     LAYOUT_ARRAY, 1 * W, 11, 12, 13, 14,
                     LAYOUT_LIST, 2 * W, 24, LAYOUT_REF(element_layout), 5,
                     LAYOUT_MAP, 4 * W, W, 0, 16,
                     LAYOUT_ARRAY_INLINE, 5 * W, 2, 21, 22, 23, 31, 32,
                     8 * W,
                     LAYOUT_STRUCT, 9 * W, 2 * W, LAYOUT_REF(inner),
                     LAYOUT_STRUCT_ARRAY, 2, 11 * W, 2 * W, LAYOUT_REF(of_lists),
                     LAYOUT_END};
    static_assert(sizeof l <= sizeof layout);
    memcpy(layout, l, sizeof l);
  }
};

NativeInt *slot(NativeInt *s, int word) { return s + word; }

TEST_F(Layout, InitCreatesEachDynamicFieldWithItsParametersInOrder) {
  Everything e;
  NativeInt s[kWords] = {};
  layout_init(s, e.layout);
  std::vector<Call> want = {
      {"create_array", {11, 12, 13, 14, N(slot(s, 1))}},
      {"create_list", {24, N(slot(s, 2)), N(e.element_layout), 5}},
      {"create_map", {W, 0, N(slot(s, 4)), 16}},
      {"create_array_inline", {2, 21, 22, 23, N(slot(s, 5)), 31, 32}},
      {"create_array", {41, 42, 43, 44, N(slot(s, 9))}},
      {"create_list", {8, N(slot(s, 11)), 0, 1}},
      {"create_list", {8, N(slot(s, 13)), 0, 1}},
  };
  EXPECT_EQ(calls, want);
  EXPECT_EQ(s[0], 0) << "a string field stays the empty string";
  EXPECT_EQ(s[6], 31);
  EXPECT_EQ(s[7], 32);
  for (int w : {1, 2, 4, 5, 9, 11, 13}) EXPECT_NE(s[w], 0) << "word " << w << " holds its new element";

  calls.clear();
  strvar_assign(reinterpret_cast<StringVar *>(&s[0]), R(u"first"));
  strvar_assign(reinterpret_cast<StringVar *>(&s[8]), R(u"second"));
  strvar_assign(reinterpret_cast<StringVar *>(&s[10]), R(u"nested"));
  NativeInt old[kWords];
  memcpy(old, s, sizeof s);
  layout_clear(s, e.layout);
  want = {
      {"destroy_array", {old[1]}}, {"destroy_list", {old[2]}},  {"destroy_map", {old[4]}},
      {"destroy_array", {old[5]}}, {"destroy_array", {old[9]}}, {"destroy_list", {old[11]}},
      {"destroy_list", {old[13]}},
  };
  EXPECT_EQ(calls, want);
  // The strings are freed (the leak checker of the sanitizer build sees any
  // that is not) and their fields keep the stale pointers.
  EXPECT_EQ(s[0], old[0]);
  EXPECT_EQ(s[8], old[8]);
}

TEST_F(Layout, ClearPassesNullFieldsToTheDestroyOperations) {
  Everything e;
  NativeInt s[kWords] = {};
  layout_clear(s, e.layout);
  std::vector<Call> want = {
      {"destroy_array", {0}}, {"destroy_list", {0}}, {"destroy_map", {0}}, {"destroy_array", {0}},
      {"destroy_array", {0}}, {"destroy_list", {0}}, {"destroy_list", {0}},
  };
  EXPECT_EQ(calls, want);
}

TEST_F(Layout, CopyRecreatesEveryDynamicFieldFromTheSourcesOwnParameters) {
  Everything e;
  NativeInt src[kWords] = {};
  NativeInt dst[kWords] = {};
  layout_init(src, e.layout);
  layout_init(dst, e.layout);
  strvar_assign(reinterpret_cast<StringVar *>(&src[0]), R(u"zero"));
  strvar_assign(reinterpret_cast<StringVar *>(&dst[0]), R(u"old"));
  strvar_assign(reinterpret_cast<StringVar *>(&src[10]), R(u"ten"));
  // Creation words the source elements carry, unlike the layout's.
  NativeInt *src_array = reinterpret_cast<NativeInt *>(src[1]);
  src_array[-5] = 51, src_array[-2] = 52, src_array[-1] = 53, src_array[-4] = 54, src_array[0] = 777;
  auto *src_list = reinterpret_cast<FakeList *>(src[2]);
  src_list->header.node_size = 10 * W;
  src_list->header.option = 9;
  src_list->content = 888;
  src[3] = 1234;  // the list field's second word belongs to the field
  dst[3] = 4321;
  NativeInt *src_inline = reinterpret_cast<NativeInt *>(src[5]);
  src_inline[0] = 999;
  src_inline[-6] = 66;
  dst[6] = 71;  // the target's inline words stay
  dst[7] = 72;
  strvar_assign(reinterpret_cast<StringVar *>(&dst[8]), R(u"released"));
  auto *src_map = reinterpret_cast<HashMap *>(src[4]);
  *static_cast<NativeInt *>(map_add_str(src_map, R(u"k"), 0)) = 5;

  NativeInt old[kWords];
  memcpy(old, dst, sizeof dst);
  calls.clear();
  layout_copy(dst, kWords * W, e.layout, src);

  NativeInt *arr = reinterpret_cast<NativeInt *>(dst[1]);
  NativeInt *inl = reinterpret_cast<NativeInt *>(dst[5]);
  std::vector<Call> want = {
      {"destroy_array", {old[1]}},
      {"create_array", {51, 52, 53, 54, N(slot(dst, 1))}},
      {"copy_array", {src[1], dst[1], 0}},
      {"destroy_list", {old[2]}},
      {"create_list", {8 * W, N(slot(dst, 2)), N(e.element_layout), 9}},
      {"copy_list", {src[2], dst[2], 0}},
      {"destroy_map", {old[4]}},
      {"create_map", {W, 0, N(slot(dst, 4)), 16}},
      {"copy_map", {src[4], dst[4], 0}},
      {"destroy_array", {old[5]}},
      {"create_array", {21, 22, 23, 0, N(slot(dst, 5))}},
      {"copy_array", {src[5], dst[5], 0}},
      {"destroy_array", {old[9]}},
      {"create_array", {41, 42, 43, 44, N(slot(dst, 9))}},
      {"copy_array", {src[9], dst[9], 0}},
      {"destroy_list", {old[11]}},
      {"create_list", {8, N(slot(dst, 11)), 0, 1}},
      {"copy_list", {src[11], dst[11], 0}},
      {"destroy_list", {old[13]}},
      {"create_list", {8, N(slot(dst, 13)), 0, 1}},
      {"copy_list", {src[13], dst[13], 0}},
  };
  EXPECT_EQ(calls, want);
  ASSERT_NE(arr, nullptr);
  EXPECT_EQ(arr[0], 777);
  EXPECT_EQ(reinterpret_cast<FakeList *>(dst[2])->content, 888);
  EXPECT_EQ(dst[3], 4321) << "no byte of a field is copied as plain bytes";
  EXPECT_EQ(inl[0], 999);
  EXPECT_EQ(inl[-6], 66) << "the inline kind carries its extra word over";
  EXPECT_EQ(dst[6], 71);
  EXPECT_EQ(dst[7], 72);
  auto *dst_map = reinterpret_cast<HashMap *>(dst[4]);
  ASSERT_NE(dst_map, nullptr);
  EXPECT_NE(dst_map, src_map);
  ASSERT_NE(map_find_str(dst_map, R(u"k")), nullptr);
  EXPECT_EQ(*static_cast<NativeInt *>(map_find_str(dst_map, R(u"k"))), 5);
  EXPECT_NE(dst[0], src[0]) << "strings are copied, not shared";
  EXPECT_EQ(U(reinterpret_cast<RtChar *>(dst[0])), u"zero");
  EXPECT_EQ(U(reinterpret_cast<RtChar *>(dst[10])), u"ten");
  EXPECT_EQ(dst[8], 0) << "a null source string releases the target's and leaves null";

  layout_clear(src, e.layout);
  layout_clear(dst, e.layout);
}

TEST_F(Layout, CopyWritesPlainBytesAfterTheFieldBeforeThemAndEachOnlyOnce) {
  // string | integer | map | string, as words; then two plain trailing words.
  NativeInt layout[] = {0, LAYOUT_MAP, 2 * W, 4, 0, 16, 3 * W, LAYOUT_END};
  NativeInt src[6] = {0, 111, 0, 0, 555, 666};
  NativeInt dst[6] = {0, 222, 0, 0, 333, 444};
  layout_init(src, layout);
  layout_init(dst, layout);
  strvar_assign(reinterpret_cast<StringVar *>(&src[3]), R(u"s"));
  strvar_assign(reinterpret_cast<StringVar *>(&dst[0]), R(u"gone"));
  watched = &dst[1];
  calls.clear();
  layout_copy(dst, 6 * W, layout, src);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[1].op, "create_map");
  EXPECT_EQ(calls[1].args.back(), 222) << "the integer before the map is copied after the map";
  EXPECT_EQ(dst[1], 111);
  EXPECT_EQ(dst[4], 555) << "bytes after the last field";
  EXPECT_EQ(dst[5], 666);
  EXPECT_EQ(dst[0], 0) << "null source string";
  EXPECT_EQ(U(reinterpret_cast<RtChar *>(dst[3])), u"s");
  watched = nullptr;
  layout_clear(src, layout);
  layout_clear(dst, layout);
}

TEST_F(Layout, CopyWithoutFieldsIsAPlainCopyAndOntoItselfDoesNothing) {
  NativeInt end[] = {LAYOUT_END};
  NativeInt string_layout[] = {W, LAYOUT_END};
  unsigned char src[13], dst[13];
  for (int i = 0; i < 13; ++i) src[i] = static_cast<unsigned char>(i + 1);
  for (const NativeInt *layout : {static_cast<const NativeInt *>(nullptr), static_cast<const NativeInt *>(end)}) {
    memset(dst, 0xEE, sizeof dst);
    layout_copy(dst, 13, layout, src);
    EXPECT_EQ(memcmp(dst, src, 13), 0);
  }

  NativeInt self[3] = {7, 0, 9};
  strvar_assign(reinterpret_cast<StringVar *>(&self[1]), R(u"mine"));
  NativeInt before = self[1];
  layout_copy(self, 3 * W, string_layout, self);
  EXPECT_EQ(self[1], before) << "not released and not replaced";
  EXPECT_EQ(U(reinterpret_cast<RtChar *>(self[1])), u"mine");
  EXPECT_TRUE(calls.empty());
  mem_free(reinterpret_cast<void *>(self[1]));
}

TEST_F(Layout, EmptyStructureArraysDoNothingOfTheirOwnButTheBytesAroundThemAreCopied) {
  NativeInt list[] = {LAYOUT_LIST, 0, 8, 0, 0, LAYOUT_END};
  for (NativeInt count : {0, -2}) {
    SCOPED_TRACE(count);
    NativeInt layout[] = {LAYOUT_STRUCT_ARRAY, count, W, 2 * W, LAYOUT_REF(list), 3 * W, LAYOUT_END};
    NativeInt src[4] = {1, 2, 3, 0};
    NativeInt dst[4] = {0, 0, 0, 0};
    layout_init(src, layout);
    layout_copy(dst, 4 * W, layout, src);
    layout_clear(src, layout);
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(dst[0], 1);
    EXPECT_EQ(dst[1], 2);
    EXPECT_EQ(dst[2], 3);
  }
}

// The real map operations, registered as a program registers them.
class LayoutWithMaps : public ::testing::Test {
 protected:
  void SetUp() override {
    dynamic_element_ops = DynamicElementOps{};
    map_register_ops();
  }
  void TearDown() override {
    dynamic_element_ops = DynamicElementOps{};
    EXPECT_EQ(pool_registry_head, nullptr);
  }
};

TEST_F(LayoutWithMaps, RegisteringFillsOnlyTheThreeMapSlots) {
  EXPECT_EQ(dynamic_element_ops.destroy_map, &map_destroy);
  EXPECT_EQ(dynamic_element_ops.copy_map, &map_copy);
  EXPECT_EQ(dynamic_element_ops.create_map, &map_create);
  EXPECT_EQ(dynamic_element_ops.destroy_list, nullptr);
  EXPECT_EQ(dynamic_element_ops.destroy_array, nullptr);
  EXPECT_EQ(dynamic_element_ops.copy_list, nullptr);
  EXPECT_EQ(dynamic_element_ops.copy_array, nullptr);
  EXPECT_EQ(dynamic_element_ops.create_list, nullptr);
  EXPECT_EQ(dynamic_element_ops.create_array_inline, nullptr);
  EXPECT_EQ(dynamic_element_ops.create_array, nullptr);
}

TEST_F(LayoutWithMaps, CopyingAMapFieldReplacesTheTargetMapWithADeepCopy) {
  // Values of the inner map: a string and a number.
  NativeInt value_layout[] = {0, LAYOUT_END};
  NativeInt layout[] = {LAYOUT_MAP, 0, 2 * W, LAYOUT_REF(value_layout), 7, LAYOUT_END};
  HashMap *src_field = nullptr;
  HashMap *dst_field = nullptr;
  layout_init(&src_field, layout);
  layout_init(&dst_field, layout);
  ASSERT_NE(src_field, nullptr);
  EXPECT_EQ(src_field->owner_slot, &src_field);
  NativeInt *v = static_cast<NativeInt *>(map_add_str(src_field, R(u"one"), 0));
  strvar_assign(reinterpret_cast<StringVar *>(&v[0]), R(u"uno"));
  v[1] = 1;
  v = static_cast<NativeInt *>(map_add_str(src_field, R(u"two"), 0));
  v[1] = 2;
  map_add_str(dst_field, R(u"stale"), 0);

  layout_copy(&dst_field, W, layout, &src_field);
  ASSERT_NE(dst_field, nullptr);
  EXPECT_NE(dst_field, src_field);
  EXPECT_EQ(dst_field->owner_slot, &dst_field);
  EXPECT_EQ(dst_field->value_size, 2 * W);
  EXPECT_EQ(dst_field->layout, value_layout);
  EXPECT_EQ(dst_field->bucket_count, 7);
  EXPECT_EQ(dst_field->count, 2);
  EXPECT_EQ(map_find_str(dst_field, R(u"stale")), nullptr) << "the old target map is gone";
  NativeInt *one = static_cast<NativeInt *>(map_find_str(dst_field, R(u"one")));
  NativeInt *src_one = static_cast<NativeInt *>(map_find_str(src_field, R(u"one")));
  ASSERT_NE(one, nullptr);
  EXPECT_NE(one[0], src_one[0]) << "the value's string is copied";
  EXPECT_EQ(U(reinterpret_cast<RtChar *>(one[0])), u"uno");
  EXPECT_EQ(one[1], 1);
  NativeInt *two = static_cast<NativeInt *>(map_find_str(dst_field, R(u"two")));
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(two[0], 0);
  EXPECT_EQ(two[1], 2);
  EXPECT_EQ(src_field->count, 2) << "the source map is unchanged";

  layout_clear(&src_field, layout);
  layout_clear(&dst_field, layout);
  EXPECT_EQ(src_field, nullptr) << "destroying a map stores null into its field";
  EXPECT_EQ(dst_field, nullptr);
  layout_clear(&dst_field, layout);  // a null map field: destroy does nothing
}

TEST_F(LayoutWithMaps, ACopiedMapFieldKeepsItsKeyKind) {
  NativeInt layout[] = {LAYOUT_MAP, 0, W, 0, 4, LAYOUT_END};
  HashMap *src_field = nullptr;
  HashMap *dst_field = nullptr;
  map_create_flags(W, nullptr, &src_field, 4, MAP_INT_KEYS);
  *static_cast<NativeInt *>(map_add_int(src_field, -3, 0)) = 30;
  layout_copy(&dst_field, W, layout, &src_field);
  ASSERT_NE(dst_field, nullptr);
  EXPECT_EQ(dst_field->flags & MAP_KEY_FLAGS, MAP_INT_KEYS);
  ASSERT_NE(map_find_int(dst_field, -3), nullptr);
  EXPECT_EQ(*static_cast<NativeInt *>(map_find_int(dst_field, -3)), 30);
  layout_clear(&src_field, layout);
  layout_clear(&dst_field, layout);
}

}  // namespace
