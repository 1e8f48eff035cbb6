// Dispatch keys against the C library: the hand-written formatter must give
// the same text as snprintf for every number the build can carry, fill no
// more than the room it declares, and match "%d:%d:%d:%d" for 32-bit values.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "events/events.h"

namespace {

std::string ref_key(NativeInt event, NativeInt scope, NativeInt item, NativeInt type) {
  char text[128];
  snprintf(text, sizeof text, "%" PRIdPTR ":%" PRIdPTR ":%" PRIdPTR ":%" PRIdPTR, event, scope, item, type);
  return text;
}

// The numbers worth formatting: each side of every power of ten, the 32-bit
// limits, and at 64 bits the 64-bit limits and the values just past 32 bits.
std::vector<NativeInt> interesting_numbers() {
  std::vector<NativeInt> v = {0, 1, -1, 9, -9, 65535, 65536, INT32_MAX, INT32_MIN, INT32_MAX - 1, INT32_MIN + 1};
  for (uintptr_t p = 10; p - 1 <= static_cast<uintptr_t>(INTPTR_MAX); p *= 10) {
    NativeInt ten = static_cast<NativeInt>(p);
    for (NativeInt x : {ten - 1, ten, ten + 1}) {
      v.push_back(x);
      v.push_back(-x);
    }
    if (p > static_cast<uintptr_t>(INTPTR_MAX) / 10) break;
  }
  if (sizeof(NativeInt) == 8) {
    v.push_back(static_cast<NativeInt>(INT64_MAX));
    v.push_back(static_cast<NativeInt>(INT64_MIN));
    v.push_back(static_cast<NativeInt>(INT64_MIN + 1));
    v.push_back(static_cast<NativeInt>(static_cast<int64_t>(INT32_MAX) + 1));
    v.push_back(static_cast<NativeInt>(static_cast<int64_t>(INT32_MIN) - 1));
    v.push_back(static_cast<NativeInt>(UINT32_MAX));
  }
  return v;
}

TEST(EventKey, EqualsSnprintfForEveryNumberInEveryPosition) {
  std::vector<NativeInt> numbers = interesting_numbers();
  char key[EVENT_KEY_SIZE];
  for (NativeInt n : numbers) {
    SCOPED_TRACE(n);
    // The number in each of the four places, beside small and wide others.
    const NativeInt other = n == 7 ? 8 : 7;
    const NativeInt rows[][4] = {
        {n, other, -1, 0},
        {other, n, 0, -1},
        {-1, 0, n, other},
        {0, other, -1, n},
        {n, n, n, n},
    };
    for (const auto &r : rows) {
      std::string want = ref_key(r[0], r[1], r[2], r[3]);
      int length = event_format_key(key, r[0], r[1], r[2], r[3]);
      EXPECT_EQ(std::string(key), want);
      EXPECT_EQ(length, static_cast<int>(want.size()));
    }
  }
}

TEST(EventKey, ThirtyTwoBitValuesGiveThePercentDText) {
  struct Row {
    int32_t event, scope, item, type;
    const char *why;
  } rows[] = {
      {7, 2, -1, -1, "the usual wildcard key"},
      {INT32_MIN, INT32_MAX, -1, 0, "the 32-bit limits"},
      {INT32_MAX, INT32_MIN, INT32_MIN, INT32_MAX, "the widest 32-bit key"},
      {0, 0, 0, 0, "zeros"},
      {-10, 100, -1000, 65536, "signs and powers of ten"},
  };
  char key[EVENT_KEY_SIZE];
  for (const Row &r : rows) {
    SCOPED_TRACE(r.why);
    char want[64];
    snprintf(want, sizeof want, "%d:%d:%d:%d", r.event, r.scope, r.item, r.type);
    event_format_key(key, r.event, r.scope, r.item, r.type);
    EXPECT_STREQ(key, want);
  }
}

TEST(EventKey, TheWidestKeyFillsTheDeclaredRoomExactly) {
  // A heap block of exactly EVENT_KEY_SIZE bytes: the sanitizer build sees
  // any byte written beyond it.
  std::unique_ptr<char[]> room(new char[EVENT_KEY_SIZE]);
  int length = event_format_key(room.get(), INTPTR_MIN, INTPTR_MIN, INTPTR_MIN, INTPTR_MIN);
  EXPECT_EQ(length, static_cast<int>(EVENT_KEY_SIZE) - 1);
  EXPECT_EQ(std::string(room.get()), ref_key(INTPTR_MIN, INTPTR_MIN, INTPTR_MIN, INTPTR_MIN));
  EXPECT_EQ(room[EVENT_KEY_SIZE - 1], '\0');
  EXPECT_EQ(length, sizeof(NativeInt) == 4 ? 47 : 83) << "47 characters at 32 bits";
}

}  // namespace
