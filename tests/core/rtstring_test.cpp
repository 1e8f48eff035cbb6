// The temporary buffer, string variables and the unit routines.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <malloc.h>

#include "core/rtstring.h"
#include "support/alloc_seam.h"
#include "text_helpers.h"

namespace {

class StringEngine : public ::testing::Test {
 protected:
  void SetUp() override { strbuf_init(); }
  void TearDown() override { strbuf_release(); }
};

TEST_F(StringEngine, FreshBufferGrowsOnlyWhenTheNeedReachesCapacityLessFour) {
  EXPECT_EQ(temp_strbuf.position, 0);
  EXPECT_EQ(temp_strbuf.capacity, 16);
  char *before = temp_strbuf.base;
  RtChar *p = strbuf_reserve(5, 0);  // need 10 < 12: untouched
  EXPECT_EQ(temp_strbuf.base, before);
  EXPECT_EQ(p, reinterpret_cast<RtChar *>(before));
  EXPECT_EQ(temp_strbuf.capacity, 16);
  EXPECT_EQ(temp_strbuf.position, 10);

  strbuf_set_position(0);
  strbuf_reserve(6, 0);  // need 12 >= 12: capacity 12 + 16384, block + 10
  EXPECT_EQ(temp_strbuf.capacity, 16396);
  EXPECT_GE(malloc_usable_size(temp_strbuf.base), 16406u);
  EXPECT_EQ(temp_strbuf.position, 12);
}

TEST_F(StringEngine, GrowthUsesTheCurrentPositionAndNeverShrinks) {
  strbuf_reserve(6, 0);
  strbuf_reserve(8000, 12);  // need 16012 < 16392
  EXPECT_EQ(temp_strbuf.capacity, 16396);
  strbuf_reserve(200, 16012);  // need 16412: grows
  EXPECT_EQ(temp_strbuf.capacity, 16412 + 16384);
  strbuf_set_position(0);
  strbuf_reserve(1, 0);
  EXPECT_EQ(temp_strbuf.capacity, 16412 + 16384);
}

TEST_F(StringEngine, AppendingBuildsTextAndNullWritesOnlyATerminator) {
  strbuf_append(R(u"a"));
  strbuf_append(R(u"b"));
  strbuf_append(R(u"c"));
  EXPECT_EQ(temp_strbuf.position, 6);
  EXPECT_EQ(U(strbuf_text_at(0)), u"abc");
  EXPECT_EQ(memcmp(temp_strbuf.base, "a\0b\0c\0\0\0", 8), 0);

  RtChar *at = reinterpret_cast<RtChar *>(temp_strbuf.base + 6);
  *at = 'x';
  strbuf_append(nullptr);
  EXPECT_EQ(temp_strbuf.position, 6);
  EXPECT_EQ(*at, 0);

  StringVar v = nullptr;
  strvar_assign_from_buffer(&v, 0);
  EXPECT_EQ(U(v), u"abc");
  EXPECT_EQ(temp_strbuf.position, 0);
  free(v);
}

TEST_F(StringEngine, AppendOfTextInsideTheBufferSurvivesAGrowth) {
  std::u16string long_text(5000, u'q');
  strbuf_append(R(long_text.c_str()));
  RtChar *inside = strbuf_text_at(0);
  strbuf_append(inside);  // the buffer grows while the source lies in it
  EXPECT_EQ(U(strbuf_text_at(0)), long_text + long_text);
}

TEST_F(StringEngine, AssignReturnsTwiceTheLengthPlusTwo) {
  struct Case {
    const char16_t *text;
    NativeInt want;
    const char *why;
  } cases[] = {
      {u"", 2, "the empty literal gets a block with only a terminator"},
      {u"NONE", 10, "four units"},
      {nullptr, 2, "null frees the slot"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.why);
    StringVar v = nullptr;
    strvar_assign(&v, R(u"old text"));
    EXPECT_EQ(strvar_assign(&v, R(c.text)), c.want);
    if (c.text == nullptr) {
      EXPECT_EQ(v, nullptr);
    } else {
      ASSERT_NE(v, nullptr);
      EXPECT_EQ(U(v), c.text);
      EXPECT_GE(malloc_usable_size(v), static_cast<size_t>(c.want + 8));
    }
    free(v);
  }
}

TEST_F(StringEngine, AssignFromItselfAndFromItsOwnTail) {
  StringVar v = nullptr;
  strvar_assign(&v, R(u"hello world"));
  strvar_assign(&v, v);
  EXPECT_EQ(U(v), u"hello world");
  strvar_assign(&v, v + 6);
  EXPECT_EQ(U(v), u"world");
  free(v);
}

TEST_F(StringEngine, AssignFromBufferLetsTheTargetBeAnOperand) {
  StringVar a = nullptr;
  strvar_assign(&a, R(u"A"));
  for (int i = 0; i < 3; ++i) {  // a = a + a + "!"
    int32_t s = strbuf_position();
    strbuf_append(a);
    strbuf_append(a);
    strbuf_append(R(u"!"));
    strvar_assign_from_buffer(&a, s);
    EXPECT_EQ(strbuf_position(), s);
  }
  EXPECT_EQ(U(a), u"AA!AA!!AA!AA!!!");

  // start equal to the position gives an allocated empty text.
  StringVar e = nullptr;
  strvar_assign_from_buffer(&e, strbuf_position());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e[0], 0);
  free(a);
  free(e);
}

TEST_F(StringEngine, NewCopiesIntoAnEmptySlotAndNullLeavesItAlone) {
  StringVar v = nullptr;
  strvar_new(&v, nullptr);
  EXPECT_EQ(v, nullptr);
  strvar_new(&v, R(u"xy"));
  EXPECT_EQ(U(v), u"xy");
  free(v);
}

TEST(StringUnits, CopyUnitsTerminatesAtCount) {
  const RtChar source[] = {'a', 'b', 'c', 0};
  RtChar destination[5] = {9, 9, 9, 9, 9};
  rt_copy_units(destination, source, 3);
  EXPECT_EQ(U(destination), u"abc");
  EXPECT_EQ(destination[4], 9);
  RtChar small[2] = {7, 7};
  rt_copy_units(small, source, 0);
  EXPECT_EQ(small[0], 0);
  rt_copy_units(small, source, -4);  // a negative count must not write before the destination
  EXPECT_EQ(small[0], 0);
  EXPECT_EQ(small[1], 7);
}

TEST(StringUnits, ComparisonsTable) {
  setlocale(LC_ALL, "C.UTF-8");
  const RtChar high[] = {0x8000, 0};
  struct Case {
    const RtChar *a, *b;
    int exact;  // sign only
    int nocase;
    const char *why;
  } cases[] = {
      {R(u"a"), R(u"b"), -1, -1, "a before b"},
      {R(u"abc"), R(u"abc"), 0, 0, "equal"},
      {R(u"ABC"), R(u"abc"), -1, 0, "case folds"},
      {R(u"ab"), R(u"abc"), -1, -1, "prefix first"},
      {high, R(u"A"), -1, -1, "0x8000 counts as negative"},
      {R(u"\u00C9"), R(u"\u00E9"), -1, 0, "folding follows the locale beyond ASCII"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.why);
    int exact = rt_strcmp(c.a, c.b);
    int nocase = rt_strcmp_nocase(c.a, c.b);
    EXPECT_EQ((exact > 0) - (exact < 0), c.exact);
    EXPECT_EQ((nocase > 0) - (nocase < 0), c.nocase);
  }
  EXPECT_EQ(rt_strcmp(R(u"a"), R(u"b")), -1);
  EXPECT_EQ(rt_strcmp(high, R(u"A")), -32768 - 'A');
  EXPECT_EQ(rt_strlen(R(u"hello")), 5);
  RtChar copy[6];
  EXPECT_EQ(rt_strcopy(copy, R(u"hello")), copy);
  EXPECT_EQ(U(copy), u"hello");
  setlocale(LC_ALL, "C");
}

TEST_F(StringEngine, BufferNeverGrowsToItsTwoGibibyteBound) {
  // The largest need that still fits asks the heap; with the heap refusing,
  // the process ends with the plain out-of-memory line.
  int32_t fits = static_cast<int32_t>((STRBUF_MAX_BYTES - 16394) / 2);
  EXPECT_EXIT(
      {
        AllocFailure fail(1);
        strbuf_reserve(fits, 0);
      },
      ::testing::ExitedWithCode(71), "cannot allocate the temporary string buffer\n");
  // One unit more is refused without asking the heap, never wrapped.
  EXPECT_EXIT(strbuf_reserve(fits + 1, 0), ::testing::ExitedWithCode(71), "beyond 2 GiB");
  EXPECT_EXIT(strbuf_reserve(INT32_MAX, INT32_MAX), ::testing::ExitedWithCode(71), "beyond 2 GiB");
}

TEST_F(StringEngine, ExhaustedMemoryInAStringVariableEndsTheProcessCleanly) {
  StringVar v = nullptr;
  EXPECT_EXIT(
      {
        AllocFailure fail(1);
        strvar_assign(&v, R(u"text"));
      },
      ::testing::ExitedWithCode(71), "out of memory: cannot allocate a string variable\n");
  strbuf_append(R(u"abc"));
  EXPECT_EXIT(
      {
        AllocFailure fail(1);
        strvar_assign_from_buffer(&v, 0);
      },
      ::testing::ExitedWithCode(71), "a string variable");
}

}  // namespace
