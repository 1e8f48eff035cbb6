// String engine: the temporary buffer, string variables and unit routines.
#include "core/rtstring.h"

#include <cstdlib>
#include <cstring>
#include <cwctype>

#include <malloc.h>

#include "core/frame.h"
#include "core/unit_scan_internal.h"


TempStringBuffer temp_strbuf;

namespace {

constexpr NativeInt kInitialCapacity = 16;
constexpr NativeInt kGrowthSlack = 16384;  // bytes beyond the need on each growth
constexpr NativeInt kBlockSlack = 10;      // block bytes beyond the capacity

// Byte size of a string variable's block for n units: the text, its
// terminator and 8 bytes of slack.
inline size_t strvar_block_bytes(NativeInt units) { return static_cast<size_t>(2 * units + 10); }

// Offset of p inside the buffer block, or -1 when it lies elsewhere.
inline NativeInt offset_in_buffer(const void *p) {
  const char *c = static_cast<const char *>(p);
  if (temp_strbuf.base == nullptr || c < temp_strbuf.base ||
      c >= temp_strbuf.base + temp_strbuf.capacity + kBlockSlack)
    return -1;
  return c - temp_strbuf.base;
}

// Unit counts above this cannot be placed in the buffer at all.
constexpr NativeInt kMaxUnits = static_cast<NativeInt>(STRBUF_MAX_BYTES / 2);

#if KRT_HAVE_SSE2
// Copies 1 to 32 units as two or four blocks that overlap in the middle, all
// loaded before any is stored, so that the regions may overlap as with
// memmove; nothing outside the n units is read or written.
inline void copy_short_units(RtChar *destination, const RtChar *source, NativeInt n) {
  char *d = reinterpret_cast<char *>(destination);
  const char *s = reinterpret_cast<const char *>(source);
  size_t bytes = 2 * static_cast<size_t>(n);
  if (bytes >= 16) {
    // 16 to 32 bytes: the first and last 16; up to 64: the first and last 32.
    size_t middle = bytes > 32 ? 16 : 0;
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + middle));
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + bytes - 16 - middle));
    __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + bytes - 16));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(d), a);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(d + middle), b);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(d + bytes - 16 - middle), c);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(d + bytes - 16), e);
  } else if (bytes >= 8) {
    uint64_t a, b;
    memcpy(&a, s, 8);
    memcpy(&b, s + bytes - 8, 8);
    memcpy(d, &a, 8);
    memcpy(d + bytes - 8, &b, 8);
  } else if (bytes >= 4) {
    uint32_t a, b;
    memcpy(&a, s, 4);
    memcpy(&b, s + bytes - 4, 4);
    memcpy(d, &a, 4);
    memcpy(d + bytes - 4, &b, 4);
  } else {
    destination[0] = source[0];
  }
}
#endif

// Copies n units and writes a terminator at index n; regions may overlap.
inline void copy_units(RtChar *destination, const RtChar *source, NativeInt n) {
#if KRT_HAVE_SSE2
  // Appends are mostly words: the library call costs more than the copy.
  if (n > 0 && n <= 32) {
    copy_short_units(destination, source, n);
    destination[n] = 0;
    return;
  }
#endif
  if (n > 0) memmove(destination, source, 2 * static_cast<size_t>(n));
  else n = 0;
  destination[n] = 0;
}

RtChar *alloc_strvar_block(StringVar *slot, NativeInt units) {
  void *block = realloc(*slot, strvar_block_bytes(units));
  if (block == nullptr) rt_out_of_memory("a string variable");
  *slot = static_cast<StringVar>(block);
  return *slot;
}

}  // namespace

void strbuf_init(void) {
  temp_strbuf.position = 0;
  temp_strbuf.capacity = kInitialCapacity;
  temp_strbuf.base = static_cast<char *>(malloc(kInitialCapacity));
  if (temp_strbuf.base == nullptr) rt_out_of_memory("the temporary string buffer");
}

void strbuf_release(void) {
  free(temp_strbuf.base);
  temp_strbuf.base = nullptr;
}

// The buffer's growth to a need, rare enough to stay out of the appends.
__attribute__((noinline)) static void strbuf_grow(int64_t need) {
  int64_t capacity = need + kGrowthSlack;
  if (capacity + kBlockSlack > STRBUF_MAX_BYTES) rt_out_of_memory("the temporary string buffer beyond 2 GiB");
  void *grown = realloc(temp_strbuf.base, static_cast<size_t>(capacity + kBlockSlack));
  if (grown == nullptr) rt_out_of_memory("the temporary string buffer");
  temp_strbuf.base = static_cast<char *>(grown);
  temp_strbuf.capacity = static_cast<NativeInt>(capacity);
}

RtChar *strbuf_reserve(int32_t count, int32_t start) {
  if (count < 0) count = 0;
  if (start < 0) start = 0;
  // The growth test uses the current position; every caller passes start equal
  // to it, and a start beyond it must still find room.
  int64_t from = temp_strbuf.position > start ? temp_strbuf.position : start;
  int64_t need = from + 2 * static_cast<int64_t>(count);
  if (need >= temp_strbuf.capacity - 4) strbuf_grow(need);
  temp_strbuf.position = static_cast<NativeInt>(start + 2 * static_cast<int64_t>(count));
  return reinterpret_cast<RtChar *>(temp_strbuf.base + start);
}

void strbuf_append(RtConstString text) {
  if (text == nullptr) {
    *reinterpret_cast<RtChar *>(temp_strbuf.base + temp_strbuf.position) = 0;
    return;
  }
  NativeInt n = krt_scan::unit_length(text);
  if (n >= kMaxUnits) rt_out_of_memory("the temporary string buffer beyond 2 GiB");
  // Text already in the buffer is found again by offset after a growth.
  NativeInt inside = offset_in_buffer(text);
  RtChar *destination = strbuf_reserve(static_cast<int32_t>(n), static_cast<int32_t>(temp_strbuf.position));
  if (inside >= 0) text = reinterpret_cast<const RtChar *>(temp_strbuf.base + inside);
  copy_units(destination, text, n);
}

NativeInt strvar_assign(StringVar *slot, RtConstString text) {
  if (text == nullptr) {
    free(*slot);
    *slot = nullptr;
    return 2;
  }
  NativeInt n = rt_strlen(text);
  // A text inside the slot's own block (the variable itself, or its tail) is
  // moved to the front first, so that a shrinking realloc keeps it.
  const char *old_block = reinterpret_cast<const char *>(*slot);
  const char *t = reinterpret_cast<const char *>(text);
  bool in_place = old_block != nullptr && t >= old_block && t < old_block + malloc_usable_size(*slot);
  if (in_place) copy_units(*slot, text, n);
  RtChar *block = alloc_strvar_block(slot, n);
  if (!in_place) copy_units(block, text, n);
  return 2 * n + 2;
}

void strvar_assign_from_buffer(StringVar *slot, int32_t start) {
  if (start < 0) start = 0;
  NativeInt bytes = temp_strbuf.position - start;
  if (bytes < 0) bytes = 0;
  RtChar *block = alloc_strvar_block(slot, bytes / 2);
  rt_copy_units(block, reinterpret_cast<const RtChar *>(temp_strbuf.base + start),
                static_cast<int32_t>(bytes / 2));
  temp_strbuf.position = start;
}

void strvar_new(StringVar *slot, RtConstString text) {
  if (text == nullptr) return;
  NativeInt n = rt_strlen(text);
  RtChar *block = static_cast<RtChar *>(malloc(strvar_block_bytes(n)));
  if (block == nullptr) rt_out_of_memory("a string variable");
  *slot = block;
  copy_units(block, text, n);
}

void rt_copy_units(RtChar *destination, const RtChar *source, int32_t count) {
  // Copying the units and then the terminator leaves the same bytes as the
  // classic 4-byte-step copy, whose odd last step is overwritten anyway.
  copy_units(destination, source, count);
}


NativeInt rt_strlen(RtConstString text) { return krt_scan::unit_length(text); }

RtChar *rt_strcopy(RtChar *destination, RtConstString source) {
  NativeInt n = rt_strlen(source);
  memmove(destination, source, 2 * static_cast<size_t>(n + 1));
  return destination;
}

int rt_strcmp(RtConstString a, RtConstString b) {
  for (;; ++a, ++b) {
    if (*a != *b) return static_cast<int16_t>(*a) - static_cast<int16_t>(*b);
    if (*a == 0) return 0;
  }
}

int rt_strcmp_nocase(RtConstString a, RtConstString b) {
  for (;; ++a, ++b) {
    // Sign extension sends units from 0x8000 up to towlower as values outside
    // its table, which it returns unchanged.
    int fa = static_cast<int>(towlower(static_cast<wint_t>(static_cast<int>(static_cast<int16_t>(*a)))));
    int fb = static_cast<int>(towlower(static_cast<wint_t>(static_cast<int>(static_cast<int16_t>(*b)))));
    if (fa != fb) return fa - fb;
    if (*a == 0) return 0;
  }
}
