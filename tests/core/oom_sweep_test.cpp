// Exhausted memory in the runtime core, swept: each allocating operation runs
// with its 1st, 2nd, 3rd ... allocation refused until it runs without a
// refusal. Every refusal must end in the operation's documented outcome: a
// null result (the old block kept intact), a fallback result, or the
// out-of-memory exit (status 71, one line on stderr). Each row lists those
// outcomes in allocation order, so the sweep also pins down how many
// allocations the operation makes. Refusals run in two modes: only the nth
// allocation, and every allocation from the nth on. Leaks after a refusal are
// checked in the sanitizer build, which has a leak checker to ask.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/frame.h"
#include "core/memblock.h"
#include "core/rtstring.h"
#include "core/textconv.h"
#include "support/alloc_seam.h"
#include "text_helpers.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

enum class Outcome { kResult, kNull, kFallback, kExit };

const char *name(Outcome o) {
  switch (o) {
    case Outcome::kResult: return "result";
    case Outcome::kNull: return "null";
    case Outcome::kFallback: return "fallback";
    case Outcome::kExit: return "out-of-memory exit";
  }
  return "?";
}

struct Expect {
  Outcome outcome;
  const char *what = nullptr;  // for kExit: what the out-of-memory line names
};

const Expect kNull{Outcome::kNull};
const Expect kFallback{Outcome::kFallback};
const Expect kExitBuffer{Outcome::kExit, "the temporary string buffer"};
const Expect kExitVariable{Outcome::kExit, "a string variable"};
const Expect kExitHostString{Outcome::kExit, "a host string"};

// Allocations the last refusing() call asked for.
long last_calls = 0;

// Runs call with allocation n refused (every one from n on when onward).
template <class F>
auto refusing(long n, bool onward, F call) {
  AllocFailure fail(n, onward);
  auto result = call();
  last_calls = alloc_seam_calls();
  return result;
}

bool leaked() {
#if defined(__SANITIZE_ADDRESS__)
  return __lsan_do_recoverable_leak_check() != 0;
#else
  return false;
#endif
}

// One run of an operation from a fresh state: sets up, calls the operation
// through refusing(), checks what it can about the result, releases
// everything and reports the outcome.
using Run = Outcome (*)(long n, bool onward);

struct Row {
  const char *why;
  Run run;
  std::vector<Expect> refused;         // only the nth allocation refused
  std::vector<Expect> refused_onward;  // every one from the nth on; empty: as refused
};

void sweep(const Row &row) {
  SCOPED_TRACE(row.why);
  for (bool onward : {false, true}) {
    const std::vector<Expect> &want =
        onward && !row.refused_onward.empty() ? row.refused_onward : row.refused;
    for (long n = 1; n <= static_cast<long>(want.size()) + 1; ++n) {
      SCOPED_TRACE((onward ? "from allocation " : "allocation ") + std::to_string(n) + " refused");
      if (n > static_cast<long>(want.size())) {
        // Past the last allocation the call runs untouched.
        EXPECT_STREQ(name(row.run(n, onward)), name(Outcome::kResult));
        EXPECT_EQ(last_calls, n - 1) << "allocations made by the operation";
        EXPECT_FALSE(leaked());
      } else if (want[n - 1].outcome == Outcome::kExit) {
        std::string line = std::string("^out of memory: cannot allocate ") + want[n - 1].what + "\n$";
        EXPECT_EXIT(row.run(n, onward), ::testing::ExitedWithCode(RT_EXIT_OUT_OF_MEMORY), line);
      } else {
        EXPECT_STREQ(name(row.run(n, onward)), name(want[n - 1].outcome));
        EXPECT_FALSE(leaked());
      }
    }
  }
}

// ---- String engine ----------------------------------------------------------

const RtChar *const kForty = R(u"forty units of text for a growing buffer");

Outcome run_strbuf_init(long n, bool onward) {
  refusing(n, onward, [] {
    strbuf_init();
    return 0;
  });
  EXPECT_EQ(temp_strbuf.capacity, 16);
  strbuf_release();
  return Outcome::kResult;
}

Outcome run_reserve_growing(long n, bool onward) {
  strbuf_init();
  RtChar *p = refusing(n, onward, [] { return strbuf_reserve(100, 0); });
  EXPECT_EQ(p, strbuf_text_at(0));
  EXPECT_EQ(temp_strbuf.position, 200);
  EXPECT_EQ(temp_strbuf.capacity, 200 + 16384);
  strbuf_release();
  return Outcome::kResult;
}

Outcome run_reserve_within_capacity(long n, bool onward) {
  strbuf_init();
  refusing(n, onward, [] { return strbuf_reserve(5, 0); });
  EXPECT_EQ(temp_strbuf.capacity, 16);
  strbuf_release();
  return Outcome::kResult;
}

Outcome run_append_growing(long n, bool onward) {
  strbuf_init();
  strbuf_append(R(u"ab"));
  refusing(n, onward, [] {
    strbuf_append(kForty);
    return 0;
  });
  EXPECT_EQ(U(strbuf_text_at(0)), u"ab" + U(kForty));
  strbuf_release();
  return Outcome::kResult;
}

Outcome run_append_from_inside_growing(long n, bool onward) {
  strbuf_init();
  strbuf_append(R(u"abcde"));
  refusing(n, onward, [] {
    strbuf_append(strbuf_text_at(0));
    return 0;
  });
  EXPECT_EQ(U(strbuf_text_at(0)), u"abcdeabcde");
  strbuf_release();
  return Outcome::kResult;
}

Outcome run_assign_empty_slot(long n, bool onward) {
  StringVar v = nullptr;
  NativeInt r = refusing(n, onward, [&] { return strvar_assign(&v, R(u"text")); });
  EXPECT_EQ(r, 10);
  EXPECT_EQ(U(v), u"text");
  free(v);
  return Outcome::kResult;
}

Outcome run_assign_held_slot(long n, bool onward) {
  StringVar v = nullptr;
  strvar_assign(&v, R(u"old"));
  refusing(n, onward, [&] { return strvar_assign(&v, kForty); });
  EXPECT_EQ(U(v), U(kForty));
  free(v);
  return Outcome::kResult;
}

Outcome run_assign_own_tail(long n, bool onward) {
  StringVar v = nullptr;
  strvar_assign(&v, R(u"hello world"));
  refusing(n, onward, [&] { return strvar_assign(&v, v + 6); });
  EXPECT_EQ(U(v), u"world");
  free(v);
  return Outcome::kResult;
}

Outcome run_assign_null(long n, bool onward) {
  StringVar v = nullptr;
  strvar_assign(&v, R(u"old"));
  NativeInt r = refusing(n, onward, [&] { return strvar_assign(&v, nullptr); });
  EXPECT_EQ(r, 2);
  EXPECT_EQ(v, nullptr);
  return Outcome::kResult;
}

Outcome run_assign_from_buffer(long n, bool onward) {
  strbuf_init();
  StringVar v = nullptr;
  strvar_assign(&v, R(u"v"));
  strbuf_append(v);  // v = v + "w"
  strbuf_append(R(u"w"));
  refusing(n, onward, [&] {
    strvar_assign_from_buffer(&v, 0);
    return 0;
  });
  EXPECT_EQ(U(v), u"vw");
  EXPECT_EQ(temp_strbuf.position, 0);
  free(v);
  strbuf_release();
  return Outcome::kResult;
}

Outcome run_new(long n, bool onward) {
  StringVar v = nullptr;
  refusing(n, onward, [&] {
    strvar_new(&v, R(u"copy"));
    return 0;
  });
  EXPECT_EQ(U(v), u"copy");
  free(v);
  return Outcome::kResult;
}

Outcome run_new_null(long n, bool onward) {
  StringVar v = nullptr;
  refusing(n, onward, [&] {
    strvar_new(&v, nullptr);
    return 0;
  });
  EXPECT_EQ(v, nullptr);
  return Outcome::kResult;
}

TEST(OutOfMemorySweep, StringEngineEndsThroughTheOutOfMemoryExit) {
  const Row rows[] = {
      {"strbuf_init", run_strbuf_init, {kExitBuffer}, {}},
      {"strbuf_reserve growing the buffer", run_reserve_growing, {kExitBuffer}, {}},
      {"strbuf_reserve within the capacity allocates nothing", run_reserve_within_capacity, {}, {}},
      {"strbuf_append growing the buffer", run_append_growing, {kExitBuffer}, {}},
      {"strbuf_append of text inside the buffer while it grows", run_append_from_inside_growing,
       {kExitBuffer}, {}},
      {"strvar_assign into an empty slot", run_assign_empty_slot, {kExitVariable}, {}},
      {"strvar_assign into a slot holding a block", run_assign_held_slot, {kExitVariable}, {}},
      {"strvar_assign of the slot's own tail", run_assign_own_tail, {kExitVariable}, {}},
      {"strvar_assign of null only frees", run_assign_null, {}, {}},
      {"strvar_assign_from_buffer with the target as an operand", run_assign_from_buffer,
       {kExitVariable}, {}},
      {"strvar_new", run_new, {kExitVariable}, {}},
      {"strvar_new of null allocates nothing", run_new_null, {}, {}},
  };
  for (const Row &row : rows) sweep(row);
}

// ---- Text conversion ----------------------------------------------------------

Outcome run_to_host(long n, bool onward) {
  const RtChar text[] = {'h', 0xE9, 0xD83D, 'A', 0};  // with an unpaired surrogate
  HostString h = refusing(n, onward, [&] { return str_to_host_utf8(text); });
  EXPECT_NE(h, nullptr);
  if (h == nullptr) return Outcome::kNull;
  std::string got(h);
  host_string_free(h);
  if (got.empty()) return Outcome::kFallback;
  EXPECT_EQ(got, "h\xC3\xA9\xEF\xBF\xBD" "A");
  return Outcome::kResult;
}

Outcome run_to_host_null(long n, bool onward) {
  HostString h = refusing(n, onward, [] { return str_to_host_utf8(nullptr); });
  EXPECT_STREQ(h, "");
  host_string_free(h);
  return Outcome::kResult;
}

Outcome run_new_str(long n, bool onward) {
  RtString s = refusing(n, onward, [] { return host_utf8_to_new_str("h\xC3\xA9\xFF"); });
  if (s == nullptr) return Outcome::kNull;
  EXPECT_EQ(U(s), u"h\u00E9\uFFFD");
  free(s);
  return Outcome::kResult;
}

Outcome run_new_str_null(long n, bool onward) {
  RtString s = refusing(n, onward, [] { return host_utf8_to_new_str(nullptr); });
  if (s == nullptr) return Outcome::kNull;
  EXPECT_EQ(s[0], 0);
  free(s);
  return Outcome::kResult;
}

Outcome run_to_strbuf_growing(long n, bool onward) {
  strbuf_init();
  int32_t r = refusing(n, onward, [] { return host_utf8_to_strbuf("h\xC3\xA9llo w\xC3\xB6rld", 0); });
  EXPECT_EQ(r, 12);
  EXPECT_EQ(U(strbuf_text_at(0)), u"h\u00E9llo w\u00F6rld");
  strbuf_release();
  return Outcome::kResult;
}

Outcome run_to_strbuf_within_capacity(long n, bool onward) {
  strbuf_init();
  int32_t r = refusing(n, onward, [] { return host_utf8_to_strbuf("abc", 0); });
  EXPECT_EQ(r, 4);
  EXPECT_EQ(U(strbuf_text_at(0)), u"abc");
  strbuf_release();
  return Outcome::kResult;
}

TEST(OutOfMemorySweep, TextConversionFallsBackGivesNullOrExits) {
  const Row rows[] = {
      {"str_to_host_utf8 falls back to a fresh empty string", run_to_host, {kFallback},
       {kExitHostString}},
      {"str_to_host_utf8 of null", run_to_host_null, {kExitHostString}, {}},
      {"host_utf8_to_new_str", run_new_str, {kNull}, {}},
      {"host_utf8_to_new_str of null", run_new_str_null, {kNull}, {}},
      {"host_utf8_to_strbuf growing the buffer", run_to_strbuf_growing, {kExitBuffer}, {}},
      {"host_utf8_to_strbuf within the capacity allocates nothing", run_to_strbuf_within_capacity,
       {}, {}},
  };
  for (const Row &row : rows) sweep(row);
}

// ---- Memory blocks ----------------------------------------------------------

bool filled(const void *p, NativeInt n, unsigned char value) {
  const unsigned char *b = static_cast<const unsigned char *>(p);
  for (NativeInt i = 0; i < n; ++i)
    if (b[i] != value) return false;
  return true;
}

template <void *(*Alloc)(NativeInt), bool kZeroed>
Outcome run_alloc(long n, bool onward) {
  void *p = refusing(n, onward, [] { return Alloc(24); });
  if (p == nullptr) return Outcome::kNull;
  if (kZeroed) {
    EXPECT_TRUE(filled(p, 24, 0));
  }
  free(p);
  return Outcome::kResult;
}

Outcome run_realloc_zerofill(long n, bool onward) {
  void *p = mem_alloc(8);
  memset(p, 0x5A, 8);
  void *q = refusing(n, onward, [&] { return mem_realloc_zerofill(p, 8, 64); });
  if (q == nullptr) {
    EXPECT_TRUE(filled(p, 8, 0x5A)) << "the old block stays as it was";
    mem_free(p);
    return Outcome::kNull;
  }
  EXPECT_TRUE(filled(q, 8, 0x5A));
  EXPECT_TRUE(filled(static_cast<char *>(q) + 8, 56, 0));
  mem_free(q);
  return Outcome::kResult;
}

template <void *(*Alloc)(NativeInt), bool kZeroed>
Outcome run_block_alloc(long n, bool onward) {
  void *h = refusing(n, onward, [] { return Alloc(40); });
  if (h == nullptr) return Outcome::kNull;
  EXPECT_EQ(block_length(h), 40);
  if (kZeroed) {
    EXPECT_TRUE(filled(h, 40, 0));
  }
  block_free(h);
  return Outcome::kResult;
}

template <void *(*Resize)(void *, NativeInt), bool kZeroed>
Outcome run_block_resize(long n, bool onward) {
  void *h = block_alloc(10);
  memset(h, 0xAB, 10);
  void *grown = refusing(n, onward, [&] { return Resize(h, 1000); });
  if (grown == nullptr) {
    // The old handle stays valid with its length and contents.
    EXPECT_EQ(block_length(h), 10);
    EXPECT_TRUE(filled(h, 10, 0xAB));
    block_free(h);
    return Outcome::kNull;
  }
  EXPECT_EQ(block_length(grown), 1000);
  EXPECT_TRUE(filled(grown, 10, 0xAB));
  if (kZeroed) {
    EXPECT_TRUE(filled(static_cast<char *>(grown) + 10, 990, 0));
  }
  block_free(grown);
  return Outcome::kResult;
}

TEST(OutOfMemorySweep, MemoryBlocksGiveNullAndKeepTheOldBlock) {
  const Row rows[] = {
      {"mem_alloc", run_alloc<mem_alloc, false>, {kNull}, {}},
      {"mem_alloc_zeroed", run_alloc<mem_alloc_zeroed, true>, {kNull}, {}},
      {"mem_realloc_zerofill growing", run_realloc_zerofill, {kNull}, {}},
      {"block_alloc", run_block_alloc<block_alloc, true>, {kNull}, {}},
      {"block_alloc_raw", run_block_alloc<block_alloc_raw, false>, {kNull}, {}},
      {"block_resize growing", run_block_resize<block_resize, true>, {kNull}, {}},
      {"block_resize_raw growing", run_block_resize<block_resize_raw, false>, {kNull}, {}},
  };
  for (const Row &row : rows) sweep(row);
}

// ---- A main path ------------------------------------------------------------

// A line of UTF-8 input into a string variable and out again, as a program
// body does it: decode into the buffer, assign the expression, encode for
// output.
Outcome run_line_round_trip(long n, bool onward) {
  const char *line = "Gr\xC3\xBC\xC3\x9F" "e an alle, die dies lesen";
  strbuf_init();
  StringVar name = nullptr;
  HostString out = refusing(n, onward, [&] {
    int32_t start = strbuf_position();
    host_utf8_to_strbuf(line, start);
    strvar_assign_from_buffer(&name, start);
    return str_to_host_utf8(name);
  });
  EXPECT_EQ(temp_strbuf.position, 0);
  std::string got(out);
  host_string_free(out);
  free(name);
  strbuf_release();
  if (got.empty()) return Outcome::kFallback;
  EXPECT_EQ(got, line);
  return Outcome::kResult;
}

TEST(OutOfMemorySweep, LineThroughTheRuntimeAndOutAgain) {
  sweep({"decode, assign, encode", run_line_round_trip, {kExitBuffer, kExitVariable, kFallback},
         {kExitBuffer, kExitVariable, kExitHostString}});
}

}  // namespace
