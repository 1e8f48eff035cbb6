// Text conversion between UTF-16 runtime strings and 8-bit text.
//
// Every converter is written twice. The reference takes one character at a
// time and defines every result, malformed input included. The fast path
// gives the same results faster: it looks at the text in windows of 16 bytes
// (8 units on the UTF-16 side), converts in bulk a window that holds only
// whole, well-formed characters, and hands every other window to the
// reference's own per-character step. A window is only taken in bulk where
// that step could not decide anything differently, so the two agree on every
// input. Windows are classified with SSE2 on x86-64 and in plain C++
// elsewhere; both builds are compared with the reference by the tests.
#include "core/textconv.h"

#include <cstdlib>
#include <cstring>

#include "core/frame.h"
#include "core/textconv_internal.h"

#if KRT_HAVE_SSE2
#include <emmintrin.h>
#endif

namespace {

constexpr RtChar kReplacement = 0xFFFD;

inline bool is_high(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
inline bool is_low(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
inline bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

inline int utf8_length_of(uint32_t cp) {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// Writes cp as 1 to 4 UTF-8 bytes; returns the count.
inline int put_utf8(char *out, uint32_t cp) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | cp >> 6);
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | cp >> 12);
    out[1] = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | cp >> 18);
  out[1] = static_cast<char>(0x80 | (cp >> 12 & 0x3F));
  out[2] = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

inline void put_pair(RtChar *out, uint32_t cp) {
  out[0] = static_cast<RtChar>(0xD800 | (cp - 0x10000) >> 10);
  out[1] = static_cast<RtChar>(0xDC00 | ((cp - 0x10000) & 0x3FF));
}

inline int64_t min_of(int64_t a, int64_t b) { return a < b ? a : b; }
inline int32_t clamp_to_int32(int64_t n) { return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n); }

// Bit tricks on the window masks (at most 17 bits). Written out rather than
// left to the compiler, which without a POPCNT target calls a library helper.
inline int popcount17(uint32_t x) {
  x = x - (x >> 1 & 0x55555555u);
  x = (x & 0x33333333u) + (x >> 2 & 0x33333333u);
  x = (x + (x >> 4)) & 0x0F0F0F0Fu;
  return static_cast<int>((x * 0x01010101u) >> 24);
}
inline int lowest_bit(uint32_t x) { return __builtin_ctz(x); }
inline int highest_bit(uint32_t x) { return 31 - __builtin_clz(x); }

// ---------------------------------------------------------------------------
// Per-character steps. Each consumes one character at s[i] (i < length),
// advancing i and adding what it produces to the count, or tells its loop to
// end: kStop returns the count so far, kFail returns 0 from a converting pass
// (a counting pass returns the count so far there too).

enum Step { kNext, kStop, kFail };

// The classic decoder: lenient about overlong forms and encoded surrogates,
// stopping at the malformed places its callers know about.
inline Step classic_utf8_step(const uint8_t *s, int64_t length, int64_t &i, RtChar *destination,
                              int32_t size, int32_t &units) {
  uint32_t lead = s[i];
  uint32_t value;
  int announced;
  if (lead < 0x80) {
    value = lead;
    announced = 0;
  } else if (lead >= 0xC0 && lead <= 0xDF) {
    value = lead & 0x1F;
    announced = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    value = lead & 0x0F;
    announced = 2;
  } else if (lead >= 0xF0 && lead <= 0xF7) {
    value = lead & 0x07;
    announced = 3;
  } else {
    return kFail;
  }
  if (length - i - 1 < announced) return kStop;
  ++i;
  for (int k = 0; k < announced; ++k) {
    uint8_t b = s[i++];
    if (!is_continuation(b)) break;  // the stray byte goes with the sequence
    value = value << 6 | (b & 0x3F);
  }
  if (value > 0x10FFFF) return kStop;
  if (value > 0xFFFF) {
    if (destination != nullptr) {
      if (size - units < 2) return kStop;
      put_pair(destination + units, value);
    }
    units += 2;
  } else {
    if (destination != nullptr) {
      if (size - units < 1) return kStop;
      destination[units] = static_cast<RtChar>(value);
    }
    units += 1;
  }
  return kNext;
}

// The classic encoder. Counting stops at a high surrogate that has no low one
// behind it. Converting checks the room before each character, writes every
// sequence whole, and fails on a high surrogate followed by a non-low unit.
inline Step classic_utf16_step(const RtChar *s, int64_t length, int64_t &i, char *destination,
                               int64_t size, int64_t &written) {
  uint32_t cp = s[i];
  if (destination == nullptr) {
    if (is_high(cp)) {
      if (i + 1 >= length || !is_low(s[i + 1])) return kStop;
      written += 4;
      i += 2;
    } else {
      written += utf8_length_of(cp);
      ++i;
    }
    return kNext;
  }
  if (written >= size) return kStop;
  int taken = 1;
  if (is_high(cp)) {
    if (i + 1 >= length) return kStop;
    if (!is_low(s[i + 1])) return kFail;
    cp = (((cp & 0x3FF) << 10) | (s[i + 1] & 0x3FF)) + 0x10000;
    taken = 2;
  }
  if (written + utf8_length_of(cp) > size) return kStop;
  written += put_utf8(destination + written, cp);
  i += taken;
  return kNext;
}

// Length of the well-formed UTF-8 sequence at s (at most `left` bytes), or
// the negative length of its maximal ill-formed prefix (at least 1 byte).
// The ranges of the second byte are Unicode's table of well-formed sequences.
inline int utf8_sequence(const uint8_t *s, int64_t left, uint32_t *cp) {
  uint8_t b0 = s[0];
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  }
  int need;
  uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    *cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    *cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    *cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return -1;
  }
  for (int k = 1; k <= need; ++k) {
    if (k >= left) return -k;
    uint8_t b = s[k];
    if (b < lo || b > hi) return -k;
    lo = 0x80;
    hi = 0xBF;
    *cp = *cp << 6 | (b & 0x3F);
  }
  return need + 1;
}

// The well-formed decoder: one U+FFFD for each maximal ill-formed subsequence.
inline void replacing_utf8_step(const uint8_t *s, int64_t length, int64_t &i, RtChar *destination,
                                int64_t &units) {
  uint32_t cp;
  int n = utf8_sequence(s + i, length - i, &cp);
  if (n < 0) {
    if (destination != nullptr) destination[units] = kReplacement;
    ++units;
    i += -n;
  } else if (cp > 0xFFFF) {
    if (destination != nullptr) put_pair(destination + units, cp);
    units += 2;
    i += n;
  } else {
    if (destination != nullptr) destination[units] = static_cast<RtChar>(cp);
    ++units;
    i += n;
  }
}

// The well-formed encoder: every unpaired surrogate becomes U+FFFD.
inline void replacing_utf16_step(const RtChar *s, int64_t length, int64_t &i, char *destination,
                                 int64_t &written) {
  uint32_t cp = s[i++];
  if (is_high(cp) && i < length && is_low(s[i])) {
    cp = (((cp & 0x3FF) << 10) | (s[i] & 0x3FF)) + 0x10000;
    ++i;
  } else if (is_high(cp) || is_low(cp)) {
    cp = kReplacement;
  }
  if (destination != nullptr) written += put_utf8(destination + written, cp);
  else written += utf8_length_of(cp);
}

// ---------------------------------------------------------------------------
// Windows. Bit k of each mask describes byte k (UTF-8) or unit k (UTF-16).

struct Utf8Window {
  uint32_t high;   // 0x80..0xFF: not ASCII
  uint32_t cont;   // 0x80..0xBF: continuation bytes
  uint32_t three;  // 0xE0..0xFF: leads of three bytes or more
  uint32_t four;   // 0xF0..0xFF: leads of four bytes or more
  // A byte no well-formed text has there: the leads C0, C1 and F5..FF, or a
  // second byte outside the range its lead allows (after E0, ED, F0, F4). It
  // may also flag some ill-formed places the other masks catch anyway.
  uint32_t bad;
};

// How many bytes at the start of a 16-byte window are whole well-formed
// sequences: 16, or 13 to 15 when the last sequence runs past the window; 0
// when the window holds anything ill-formed.
inline int utf8_window_take(const Utf8Window &w) {
  uint32_t lead = w.high & ~w.cont;
  // Where continuation bytes belong: the byte after each lead, the second
  // after leads of three or four bytes, the third after leads of four.
  uint32_t need = lead << 1 | w.three << 2 | w.four << 3;
  int take = 16;
  if (lead != 0) {
    int last = highest_bit(lead);
    int end = last + 2 + static_cast<int>(w.three >> last & 1) + static_cast<int>(w.four >> last & 1);
    if (end > 16) take = last;
  }
  // Continuation bytes exactly where they belong, up to and including the
  // byte at take (the cut sequence's lead, which nothing may claim).
  if (((need ^ w.cont) & ((2u << take) - 1)) != 0) return 0;
  if ((w.bad & ((1u << take) - 1)) != 0) return 0;
  return take;
}

// UTF-16 units of the first take bytes of an accepted window: one per
// sequence, two for the four-byte ones.
inline int utf8_window_units(const Utf8Window &w, int take) {
  uint32_t below = (1u << take) - 1;
  return take - popcount17(w.cont & below) + popcount17(w.four & below);
}

struct Utf16Window {
  uint32_t ge80;   // 0x80 and up
  uint32_t ge800;  // 0x800 and up
  uint32_t high;   // high surrogates
  uint32_t low;    // low surrogates
};

// How many units at the start of an 8-unit window hold no unpaired
// surrogate: 8, or 7 when the last unit is a high surrogate whose partner
// would be in the next window; 0 when the window has an unpaired surrogate.
inline int utf16_window_take(const Utf16Window &w) {
  uint32_t high = w.high;
  int take = 8;
  if (high & 0x80) {
    high &= 0x7F;
    take = 7;
  }
  return (high << 1) == w.low ? take : 0;
}

// UTF-8 bytes of the first take units of an accepted window: 1, 2 from 0x80,
// 3 from 0x800, and 2 for each half of a pair.
inline int utf16_window_bytes(const Utf16Window &w, int take) {
  uint32_t below = (1u << take) - 1;
  return take + popcount17((w.ge80 | w.ge800 << 8) & (below | below << 8)) -
         popcount17((w.high | w.low) & below);
}

// ---------------------------------------------------------------------------
// Kernels: the block operations and window classifiers of each build. Block
// operations handle whole blocks from the start of their range and return how
// many units or bytes they took.

struct Portable {
  // ASCII bytes at s, in steps of 8, at most n.
  static int64_t ascii_run(const uint8_t *s, int64_t n) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
      uint32_t a, b;
      memcpy(&a, s + i, 4);
      memcpy(&b, s + i + 4, 4);
      if ((a | b) & 0x80808080u) break;
    }
    return i;
  }

  // Widens ASCII bytes at s, in steps of 8, at most n.
  static int64_t widen_ascii(const uint8_t *s, int64_t n, RtChar *d) {
    int64_t i = ascii_run(s, n);
    for (int64_t k = 0; k < i; ++k) d[k] = s[k];
    return i;
  }

  static void widen8(const uint8_t *s, RtChar *d) {
    for (int k = 0; k < 8; ++k) d[k] = s[k];
  }
  static void widen16(const uint8_t *s, RtChar *d) {
    for (int k = 0; k < 16; ++k) d[k] = s[k];
  }

  static Utf8Window classify_utf8(const uint8_t *s) {
    Utf8Window w = {0, 0, 0, 0, 0};
    for (int k = 0; k < 16; ++k) {
      uint32_t b = s[k];
      uint32_t bit = 1u << k;
      if (b < 0x80) continue;
      w.high |= bit;
      if (b < 0xC0) {
        w.cont |= bit;
        continue;
      }
      if (b >= 0xE0) w.three |= bit;
      if (b >= 0xF0) w.four |= bit;
      if (b < 0xC2 || b > 0xF4) w.bad |= bit;
      if (k < 15) {
        uint32_t c = s[k + 1];
        if ((b == 0xE0 && c < 0xA0) || (b == 0xED && c > 0x9F) || (b == 0xF0 && c < 0x90) ||
            (b == 0xF4 && c > 0x8F))
          w.bad |= bit << 1;
      }
    }
    return w;
  }

  // ASCII units at s, in steps of 4, at most n.
  static int64_t ascii_units(const RtChar *s, int64_t n) {
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
      uint32_t a, b;
      memcpy(&a, s + i, 4);
      memcpy(&b, s + i + 2, 4);
      if ((a | b) & 0xFF80FF80u) break;
    }
    return i;
  }

  static int64_t narrow_ascii(const RtChar *s, int64_t n, char *d) {
    int64_t i = ascii_units(s, n);
    for (int64_t k = 0; k < i; ++k) d[k] = static_cast<char>(s[k]);
    return i;
  }

  static void narrow4(const RtChar *s, char *d) {
    for (int k = 0; k < 4; ++k) d[k] = static_cast<char>(s[k]);
  }
  static void narrow8(const RtChar *s, char *d) {
    for (int k = 0; k < 8; ++k) d[k] = static_cast<char>(s[k]);
  }

  static Utf16Window classify_utf16(const RtChar *s) {
    Utf16Window w = {0, 0, 0, 0};
    for (int k = 0; k < 8; ++k) {
      uint32_t u = s[k];
      uint32_t bit = 1u << k;
      if (u >= 0x80) w.ge80 |= bit;
      if (u >= 0x800) w.ge800 |= bit;
      if (is_high(u)) w.high |= bit;
      if (is_low(u)) w.low |= bit;
    }
    return w;
  }

  static int64_t below_256(const RtChar *s, int64_t n) {
    int64_t count = 0;
    for (int64_t i = 0; i < n; ++i) count += s[i] < 256;
    return count;
  }

  // Narrows units at s while every unit of a block of 16 is below 256.
  static int64_t narrow_latin1(const RtChar *s, int64_t n, char *d) {
    int64_t i = 0;
    for (; i + 16 <= n; i += 16) {
      uint32_t any = 0;
      for (int k = 0; k < 16; ++k) any |= s[i + k];
      if (any > 0xFF) break;
      for (int k = 0; k < 16; ++k) d[i + k] = static_cast<char>(s[i + k]);
    }
    return i;
  }

  static void widen_bytes(const uint8_t *s, int64_t n, RtChar *d) {
    for (int64_t i = 0; i < n; ++i) d[i] = s[i];
  }
};

#if KRT_HAVE_SSE2
struct Sse2 {
  static __m128i load(const void *p) { return _mm_loadu_si128(static_cast<const __m128i *>(p)); }
  static void store(void *p, __m128i v) { _mm_storeu_si128(static_cast<__m128i *>(p), v); }
  static __m128i bytes(int b) { return _mm_set1_epi8(static_cast<char>(b)); }
  static __m128i units(int u) { return _mm_set1_epi16(static_cast<short>(u)); }
  static uint32_t mask(__m128i v) { return static_cast<uint32_t>(_mm_movemask_epi8(v)); }

  static int64_t ascii_run(const uint8_t *s, int64_t n) {
    int64_t i = 0;
    for (; i + 64 <= n; i += 64) {
      __m128i any = _mm_or_si128(_mm_or_si128(load(s + i), load(s + i + 16)),
                                 _mm_or_si128(load(s + i + 32), load(s + i + 48)));
      if (mask(any) != 0) break;
    }
    for (; i + 16 <= n; i += 16)
      if (mask(load(s + i)) != 0) break;
    return i;
  }

  static void widen_store(RtChar *d, __m128i v) {
    const __m128i zero = _mm_setzero_si128();
    store(d, _mm_unpacklo_epi8(v, zero));
    store(d + 8, _mm_unpackhi_epi8(v, zero));
  }

  static int64_t widen_ascii(const uint8_t *s, int64_t n, RtChar *d) {
    int64_t i = 0;
    for (; i + 32 <= n; i += 32) {
      __m128i a = load(s + i), b = load(s + i + 16);
      if (mask(_mm_or_si128(a, b)) != 0) break;
      widen_store(d + i, a);
      widen_store(d + i + 16, b);
    }
    for (; i + 16 <= n; i += 16) {
      __m128i a = load(s + i);
      if (mask(a) != 0) break;
      widen_store(d + i, a);
    }
    return i;
  }

  static void widen8(const uint8_t *s, RtChar *d) {
    __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(s));
    store(d, _mm_unpacklo_epi8(v, _mm_setzero_si128()));
  }
  static void widen16(const uint8_t *s, RtChar *d) { widen_store(d, load(s)); }

  static Utf8Window classify_utf8(const uint8_t *s) {
    // Signed byte compares: 0x80..0xFF are the negative values -128..-1.
    __m128i v = load(s);
    Utf8Window w;
    w.high = mask(v);
    w.cont = mask(_mm_cmplt_epi8(v, bytes(0xC0)));
    w.three = mask(_mm_cmpgt_epi8(v, bytes(0xDF))) & w.high;
    w.four = mask(_mm_cmpgt_epi8(v, bytes(0xEF))) & w.high;
    w.bad = 0;
    // The leads that have rules of their own are rare in most text: C0, C1,
    // E0, ED, F0 and F4..FF.
    __m128i c0c1 = _mm_cmpeq_epi8(_mm_and_si128(v, bytes(0xFE)), bytes(0xC0));
    __m128i e0 = _mm_cmpeq_epi8(v, bytes(0xE0));
    __m128i ed = _mm_cmpeq_epi8(v, bytes(0xED));
    __m128i f0 = _mm_cmpeq_epi8(v, bytes(0xF0));
    __m128i f4up = _mm_cmpgt_epi8(v, bytes(0xF3));
    __m128i rare = _mm_or_si128(_mm_or_si128(c0c1, f4up), _mm_or_si128(_mm_or_si128(e0, ed), f0));
    if ((mask(rare) & w.high) != 0) {
      uint32_t below90 = mask(_mm_cmplt_epi8(v, bytes(0x90)));  // 0x80..0x8F
      uint32_t belowA0 = mask(_mm_cmplt_epi8(v, bytes(0xA0)));  // 0x80..0x9F
      uint32_t f4 = mask(_mm_cmpeq_epi8(v, bytes(0xF4)));
      uint32_t beyond = mask(_mm_cmpgt_epi8(v, bytes(0xF4))) & w.high;
      w.bad = mask(c0c1) | beyond | (mask(e0) << 1 & belowA0) | (mask(ed) << 1 & w.cont & ~belowA0) |
              (mask(f0) << 1 & below90) | (f4 << 1 & w.cont & ~below90);
    }
    return w;
  }

  // A unit of 0x80 or more plus 0x7F80 reaches the sign bit (the addition
  // saturates); the sign bits are the odd bits of the byte mask.
  static uint32_t non_ascii_units(__m128i v) {
    return mask(_mm_adds_epu16(v, units(0x7F80))) & 0xAAAA;
  }

  static int64_t ascii_units(const RtChar *s, int64_t n) {
    int64_t i = 0;
    for (; i + 32 <= n; i += 32) {
      __m128i any = _mm_or_si128(_mm_or_si128(load(s + i), load(s + i + 8)),
                                 _mm_or_si128(load(s + i + 16), load(s + i + 24)));
      if (non_ascii_units(any) != 0) break;
    }
    for (; i + 8 <= n; i += 8)
      if (non_ascii_units(load(s + i)) != 0) break;
    return i;
  }

  static int64_t narrow_ascii(const RtChar *s, int64_t n, char *d) {
    int64_t i = 0;
    for (; i + 16 <= n; i += 16) {
      __m128i a = load(s + i), b = load(s + i + 8);
      if (non_ascii_units(_mm_or_si128(a, b)) != 0) break;
      store(d + i, _mm_packus_epi16(a, b));
    }
    return i;
  }

  static void narrow4(const RtChar *s, char *d) {
    __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(s));
    uint32_t four = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(v, v)));
    memcpy(d, &four, 4);
  }
  static void narrow8(const RtChar *s, char *d) {
    __m128i v = load(s);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(d), _mm_packus_epi16(v, v));
  }

  static Utf16Window classify_utf16(const RtChar *s) {
    const __m128i zero = _mm_setzero_si128();
    __m128i v = load(s);
    __m128i below80 = _mm_cmpeq_epi16(_mm_and_si128(v, units(0xFF80)), zero);
    __m128i below800 = _mm_cmpeq_epi16(_mm_and_si128(v, units(0xF800)), zero);
    __m128i top = _mm_and_si128(v, units(0xFC00));
    __m128i high = _mm_cmpeq_epi16(top, units(0xD800));
    __m128i low = _mm_cmpeq_epi16(top, units(0xDC00));
    // Packing two 8-unit masks gives one byte per unit: bits 0..7 and 8..15.
    uint32_t small = ~mask(_mm_packs_epi16(below80, below800));
    uint32_t surrogates = mask(_mm_packs_epi16(high, low));
    Utf16Window w;
    w.ge80 = small & 0xFF;
    w.ge800 = small >> 8 & 0xFF;
    w.high = surrogates & 0xFF;
    w.low = surrogates >> 8 & 0xFF;
    return w;
  }

  static int64_t below_256(const RtChar *s, int64_t n) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i top = units(0xFF00);
    int64_t count = 0;
    int64_t i = 0;
    while (i + 8 <= n) {
      // Each lane counts its hits (a compare gives -1) in 16 bits, so the
      // lanes are added up at least every 32767 blocks.
      __m128i lanes = zero;
      int64_t end = i + 8 * min_of((n - i) / 8, 32767);
      for (; i < end; i += 8)
        lanes = _mm_sub_epi16(lanes, _mm_cmpeq_epi16(_mm_and_si128(load(s + i), top), zero));
      __m128i sums = _mm_madd_epi16(lanes, units(1));
      sums = _mm_add_epi32(sums, _mm_shuffle_epi32(sums, 0x4E));
      sums = _mm_add_epi32(sums, _mm_shuffle_epi32(sums, 0xB1));
      count += _mm_cvtsi128_si32(sums);
    }
    for (; i < n; ++i) count += s[i] < 256;
    return count;
  }

  static int64_t narrow_latin1(const RtChar *s, int64_t n, char *d) {
    const __m128i zero = _mm_setzero_si128();
    int64_t i = 0;
    for (; i + 16 <= n; i += 16) {
      __m128i a = load(s + i), b = load(s + i + 8);
      __m128i top = _mm_and_si128(_mm_or_si128(a, b), units(0xFF00));
      if (mask(_mm_cmpeq_epi16(top, zero)) != 0xFFFF) break;
      store(d + i, _mm_packus_epi16(a, b));
    }
    return i;
  }

  static void widen_bytes(const uint8_t *s, int64_t n, RtChar *d) {
    int64_t i = 0;
    for (; i + 16 <= n; i += 16) widen_store(d + i, load(s + i));
    for (; i < n; ++i) d[i] = s[i];
  }
};
using Native = Sse2;
#else
using Native = Portable;
#endif

// ---------------------------------------------------------------------------
// Window conversion, for windows the take functions accepted.

// Decodes the first take bytes of a well-formed window into d, which has room
// for 16 units; returns the units written, the only ones touched.
template <class K>
inline int utf8_window_decode(const uint8_t *s, int take, const Utf8Window &w, RtChar *d) {
  if (w.high == 0) {
    K::widen16(s, d);
    return 16;
  }
  // Nothing is written past the window's own units, so that a conversion
  // that stops soon after leaves the rest of the destination as it was: the
  // ASCII before the first sequence goes in one block only when there are
  // eight bytes of it.
  int k = 0, u = 0;
  if (lowest_bit(w.high) >= 8) {
    K::widen8(s, d);
    k = u = 8;
  }
  while (k < take) {
    uint32_t b = s[k];
    if (b < 0x80) {
      d[u++] = static_cast<RtChar>(b);
      k += 1;
    } else if (b < 0xE0) {
      d[u++] = static_cast<RtChar>((b & 0x1F) << 6 | (s[k + 1] & 0x3F));
      k += 2;
    } else if (b < 0xF0) {
      d[u++] = static_cast<RtChar>((b & 0x0F) << 12 | (s[k + 1] & 0x3F) << 6 | (s[k + 2] & 0x3F));
      k += 3;
    } else {
      put_pair(d + u, (b & 0x07) << 18 | (s[k + 1] & 0x3Fu) << 12 | (s[k + 2] & 0x3Fu) << 6 | (s[k + 3] & 0x3Fu));
      u += 2;
      k += 4;
    }
  }
  return u;
}

// Encodes the first take units of a window without unpaired surrogates into
// d, which has room for 24 bytes; returns the bytes written, the only ones
// touched.
template <class K>
inline int utf16_window_encode(const RtChar *s, int take, const Utf16Window &w, char *d) {
  if (w.ge80 == 0) {
    K::narrow8(s, d);
    return 8;
  }
  // As in utf8_window_decode, nothing is written past the window's bytes.
  int k = 0, n = 0;
  if (lowest_bit(w.ge80) >= 4) {
    K::narrow4(s, d);
    k = n = 4;
  }
  while (k < take) {
    uint32_t u = s[k];
    if (u < 0x80) {
      d[n++] = static_cast<char>(u);
      k += 1;
    } else if (u < 0x800) {
      d[n] = static_cast<char>(0xC0 | u >> 6);
      d[n + 1] = static_cast<char>(0x80 | (u & 0x3F));
      n += 2;
      k += 1;
    } else if (!is_high(u)) {
      d[n] = static_cast<char>(0xE0 | u >> 12);
      d[n + 1] = static_cast<char>(0x80 | (u >> 6 & 0x3F));
      d[n + 2] = static_cast<char>(0x80 | (u & 0x3F));
      n += 3;
      k += 1;
    } else {
      n += put_utf8(d + n, (((u & 0x3FF) << 10) | (s[k + 1] & 0x3FF)) + 0x10000);
      k += 2;
    }
  }
  return n;
}

// ---------------------------------------------------------------------------
// The fast converters. Each loop: a bulk run of ASCII, then one window, taken
// in bulk when accepted and otherwise stepped through character by character
// (a character may end past the window); the rest of the text, shorter than
// a window or beyond the room for one, goes by steps too.

template <class K>
int32_t utf8_to_utf16_fast(const uint8_t *s, int32_t length, RtChar *d, int32_t size) {
  int64_t i = 0;
  int32_t units = 0;
  for (;;) {
    int64_t left = length - i;
    int64_t room = d == nullptr ? left : int64_t{size} - units;
    int64_t n = d == nullptr ? K::ascii_run(s + i, left) : K::widen_ascii(s + i, min_of(left, room), d + units);
    i += n;
    units += static_cast<int32_t>(n);
    if (left - n < 16 || room - n < 16) break;
    Utf8Window w = K::classify_utf8(s + i);
    int take = utf8_window_take(w);
    if (take != 0) {
      units += d == nullptr ? utf8_window_units(w, take) : utf8_window_decode<K>(s + i, take, w, d + units);
      i += take;
      continue;
    }
    for (int64_t end = i + 16; i < end;) {
      Step step = classic_utf8_step(s, length, i, d, size, units);
      if (step != kNext) return step == kFail && d != nullptr ? 0 : units;
    }
  }
  while (i < length) {
    Step step = classic_utf8_step(s, length, i, d, size, units);
    if (step != kNext) return step == kFail && d != nullptr ? 0 : units;
  }
  return units;
}

template <class K>
int64_t utf8_to_utf16_replacing_fast(const uint8_t *s, int64_t length, RtChar *d, int64_t room_total) {
  int64_t i = 0;
  int64_t units = 0;
  for (;;) {
    int64_t left = length - i;
    int64_t room = d == nullptr ? left : room_total - units;
    int64_t n = d == nullptr ? K::ascii_run(s + i, left) : K::widen_ascii(s + i, min_of(left, room), d + units);
    i += n;
    units += n;
    if (left - n < 16 || room - n < 16) break;
    Utf8Window w = K::classify_utf8(s + i);
    int take = utf8_window_take(w);
    if (take != 0) {
      units += d == nullptr ? utf8_window_units(w, take) : utf8_window_decode<K>(s + i, take, w, d + units);
      i += take;
      continue;
    }
    for (int64_t end = i + 16; i < end;) replacing_utf8_step(s, length, i, d, units);
  }
  while (i < length) replacing_utf8_step(s, length, i, d, units);
  return units;
}

template <class K>
int32_t utf16_to_utf8_fast(const RtChar *s, int32_t length, char *d, int32_t size) {
  if (d != nullptr && size <= 0) return 0;
  int64_t i = 0;
  int64_t written = 0;
  for (;;) {
    int64_t left = length - i;
    int64_t n = d == nullptr ? K::ascii_units(s + i, left)
                             : K::narrow_ascii(s + i, min_of(left, size - written), d + written);
    i += n;
    written += n;
    if (left - n < 8 || (d != nullptr && size - written < 24)) break;
    Utf16Window w = K::classify_utf16(s + i);
    int take = utf16_window_take(w);
    if (take != 0) {
      written += d == nullptr ? utf16_window_bytes(w, take) : utf16_window_encode<K>(s + i, take, w, d + written);
      i += take;
      continue;
    }
    for (int64_t end = i + 8; i < end;) {
      Step step = classic_utf16_step(s, length, i, d, size, written);
      if (step == kFail) return 0;
      if (step == kStop) return clamp_to_int32(written);
    }
  }
  while (i < length) {
    Step step = classic_utf16_step(s, length, i, d, size, written);
    if (step == kFail) return 0;
    if (step == kStop) break;
  }
  return clamp_to_int32(written);
}

template <class K>
int64_t utf16_to_utf8_replacing_fast(const RtChar *s, int64_t length, char *d, int64_t room_total) {
  int64_t i = 0;
  int64_t written = 0;
  for (;;) {
    int64_t left = length - i;
    int64_t n = d == nullptr ? K::ascii_units(s + i, left)
                             : K::narrow_ascii(s + i, min_of(left, room_total - written), d + written);
    i += n;
    written += n;
    if (left - n < 8 || (d != nullptr && room_total - written < 24)) break;
    Utf16Window w = K::classify_utf16(s + i);
    int take = utf16_window_take(w);
    if (take != 0) {
      written += d == nullptr ? utf16_window_bytes(w, take) : utf16_window_encode<K>(s + i, take, w, d + written);
      i += take;
      continue;
    }
    for (int64_t end = i + 8; i < end;) replacing_utf16_step(s, length, i, d, written);
  }
  while (i < length) replacing_utf16_step(s, length, i, d, written);
  return written;
}

template <class K>
int32_t utf16_to_latin1_fast(const RtChar *s, int32_t length, char *d, int32_t size) {
  if (d == nullptr) return static_cast<int32_t>(K::below_256(s, length));
  int64_t i = 0;
  int64_t written = 0;
  while (i < length && written < size) {
    int64_t n = K::narrow_latin1(s + i, min_of(length - i, size - written), d + written);
    i += n;
    written += n;
    // A block with a unit above 255 in it, or the last units: one at a time.
    for (int64_t end = min_of(i + 16, length); i < end && written < size; ++i)
      if (s[i] < 256) d[written++] = static_cast<char>(s[i]);
  }
  return static_cast<int32_t>(written);
}

template <class K>
int32_t latin1_to_utf16_fast(const uint8_t *s, int32_t length, RtChar *d, int32_t size) {
  if (d == nullptr) return length;
  if (size <= 0) return 0;
  int32_t n = length < size ? length : size;
  K::widen_bytes(s, n, d);
  return n;
}

HostString new_empty_host_string() {
  char *empty = static_cast<char *>(malloc(1));
  if (empty == nullptr) rt_out_of_memory("a host string");
  empty[0] = 0;
  return empty;
}

}  // namespace

// ---------------------------------------------------------------------------
// The reference algorithms.

int32_t textconv_utf8_to_utf16_reference(const uint8_t *source, int32_t length, RtChar *destination,
                                         int32_t size) {
  int64_t i = 0;
  int32_t units = 0;
  while (i < length) {
    Step step = classic_utf8_step(source, length, i, destination, size, units);
    if (step != kNext) return step == kFail && destination != nullptr ? 0 : units;
  }
  return units;
}

int32_t textconv_utf16_to_utf8_reference(const RtChar *source, int32_t length, char *destination,
                                         int32_t size) {
  if (destination != nullptr && size <= 0) return 0;
  int64_t i = 0;
  int64_t written = 0;
  while (i < length) {
    Step step = classic_utf16_step(source, length, i, destination, size, written);
    if (step == kFail) return 0;
    if (step == kStop) break;
  }
  return clamp_to_int32(written);
}

int32_t textconv_latin1_to_utf16_reference(const uint8_t *source, int32_t length,
                                           RtChar *destination, int32_t size) {
  if (destination == nullptr) return length;
  if (length == 0 || size <= 0) return 0;
  int32_t n = length < size ? length : size;
  for (int32_t i = 0; i < n; ++i) destination[i] = source[i];
  return n;
}

int32_t textconv_utf16_to_latin1_reference(const RtChar *source, int32_t length, char *destination,
                                           int32_t size) {
  int32_t written = 0;
  if (destination == nullptr) {
    for (int32_t i = 0; i < length; ++i) written += source[i] < 256;
    return written;
  }
  for (int32_t i = 0; i < length && written < size; ++i)
    if (source[i] < 256) destination[written++] = static_cast<char>(source[i]);
  return written;
}

int64_t textconv_utf8_to_utf16_replacing_reference(const uint8_t *source, int64_t length,
                                                   RtChar *destination, int64_t) {
  int64_t i = 0;
  int64_t units = 0;
  while (i < length) replacing_utf8_step(source, length, i, destination, units);
  return units;
}

int64_t textconv_utf16_to_utf8_replacing_reference(const RtChar *source, int64_t length,
                                                   char *destination, int64_t) {
  int64_t i = 0;
  int64_t written = 0;
  while (i < length) replacing_utf16_step(source, length, i, destination, written);
  return written;
}

// ---------------------------------------------------------------------------
// The fast paths of each build, named for the tests.

int32_t textconv_utf8_to_utf16_portable(const uint8_t *source, int32_t length, RtChar *destination,
                                        int32_t size) {
  return utf8_to_utf16_fast<Portable>(source, length, destination, size);
}
int32_t textconv_utf16_to_utf8_portable(const RtChar *source, int32_t length, char *destination,
                                        int32_t size) {
  return utf16_to_utf8_fast<Portable>(source, length, destination, size);
}
int32_t textconv_latin1_to_utf16_portable(const uint8_t *source, int32_t length,
                                          RtChar *destination, int32_t size) {
  return latin1_to_utf16_fast<Portable>(source, length, destination, size);
}
int32_t textconv_utf16_to_latin1_portable(const RtChar *source, int32_t length, char *destination,
                                          int32_t size) {
  return utf16_to_latin1_fast<Portable>(source, length, destination, size);
}
int64_t textconv_utf8_to_utf16_replacing_portable(const uint8_t *source, int64_t length,
                                                  RtChar *destination, int64_t room) {
  return utf8_to_utf16_replacing_fast<Portable>(source, length, destination, room);
}
int64_t textconv_utf16_to_utf8_replacing_portable(const RtChar *source, int64_t length,
                                                  char *destination, int64_t room) {
  return utf16_to_utf8_replacing_fast<Portable>(source, length, destination, room);
}

#if KRT_HAVE_SSE2
int32_t textconv_utf8_to_utf16_sse2(const uint8_t *source, int32_t length, RtChar *destination,
                                    int32_t size) {
  return utf8_to_utf16_fast<Sse2>(source, length, destination, size);
}
int32_t textconv_utf16_to_utf8_sse2(const RtChar *source, int32_t length, char *destination,
                                    int32_t size) {
  return utf16_to_utf8_fast<Sse2>(source, length, destination, size);
}
int32_t textconv_latin1_to_utf16_sse2(const uint8_t *source, int32_t length, RtChar *destination,
                                      int32_t size) {
  return latin1_to_utf16_fast<Sse2>(source, length, destination, size);
}
int32_t textconv_utf16_to_latin1_sse2(const RtChar *source, int32_t length, char *destination,
                                      int32_t size) {
  return utf16_to_latin1_fast<Sse2>(source, length, destination, size);
}
int64_t textconv_utf8_to_utf16_replacing_sse2(const uint8_t *source, int64_t length,
                                              RtChar *destination, int64_t room) {
  return utf8_to_utf16_replacing_fast<Sse2>(source, length, destination, room);
}
int64_t textconv_utf16_to_utf8_replacing_sse2(const RtChar *source, int64_t length,
                                              char *destination, int64_t room) {
  return utf16_to_utf8_replacing_fast<Sse2>(source, length, destination, room);
}
#endif

// ---------------------------------------------------------------------------
// The public converters.

int32_t utf16_to_multibyte(int32_t code_page, const RtChar *source, int32_t length,
                           char *destination, int32_t size) {
  if (code_page != CODEPAGE_UTF8 && code_page != CODEPAGE_LATIN1) return 0;
  if (source == nullptr) return 0;
  if (length == -1) {
    NativeInt n = rt_strlen(source);
    if (n >= INT32_MAX) return 0;
    length = static_cast<int32_t>(n + 1);
  }
  if (length <= 0) return 0;
  if (code_page == CODEPAGE_LATIN1) return utf16_to_latin1_fast<Native>(source, length, destination, size);
  return utf16_to_utf8_fast<Native>(source, length, destination, size);
}

int32_t multibyte_to_utf16(int32_t code_page, const char *source, int32_t length,
                           RtChar *destination, int32_t size) {
  if (code_page != CODEPAGE_UTF8 && code_page != CODEPAGE_LATIN1) return 0;
  if (source == nullptr) return 0;
  if (length == -1) {
    size_t n = strlen(source);
    if (n >= INT32_MAX) return 0;
    length = static_cast<int32_t>(n + 1);
  }
  if (length <= 0) return 0;
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(source);
  if (code_page == CODEPAGE_LATIN1) return latin1_to_utf16_fast<Native>(bytes, length, destination, size);
  return utf8_to_utf16_fast<Native>(bytes, length, destination, size);
}

HostString str_to_host_utf8(RtConstString text) {
  if (text == nullptr) return new_empty_host_string();
  int64_t length = rt_strlen(text);
  int64_t n = utf16_to_utf8_replacing_fast<Native>(text, length, nullptr, 0);
  char *host = static_cast<char *>(malloc(static_cast<size_t>(n + 1)));
  if (host == nullptr) return new_empty_host_string();
  utf16_to_utf8_replacing_fast<Native>(text, length, host, n);
  host[n] = 0;
  return host;
}

void host_string_free(HostString host) { free(host); }

int32_t host_utf8_to_strbuf(const char *host, int32_t start) {
  if (host == nullptr) host = "";
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(host);
  int64_t length = static_cast<int64_t>(strlen(host));
  int64_t units = utf8_to_utf16_replacing_fast<Native>(bytes, length, nullptr, 0);
  if (units >= STRBUF_MAX_BYTES / 2) rt_out_of_memory("the temporary string buffer beyond 2 GiB");
  RtChar *destination = strbuf_reserve(static_cast<int32_t>(units), start);
  utf8_to_utf16_replacing_fast<Native>(bytes, length, destination, units);
  destination[units] = 0;
  return static_cast<int32_t>(units + 1);
}

RtString host_utf8_to_new_str(const char *host) {
  if (host == nullptr) host = "";
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(host);
  int64_t length = static_cast<int64_t>(strlen(host));
  int64_t units = utf8_to_utf16_replacing_fast<Native>(bytes, length, nullptr, 0);
  if (static_cast<uint64_t>(units + 1) > SIZE_MAX / 2) return nullptr;
  RtString text = static_cast<RtString>(malloc(static_cast<size_t>(2 * (units + 1))));
  if (text == nullptr) return nullptr;
  utf8_to_utf16_replacing_fast<Native>(bytes, length, text, units);
  text[units] = 0;
  return text;
}

void format_decimal(int32_t value, char *destination) {
  char digits[12];
  int n = 0;
  uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *destination++ = '-';
  while (n > 0) *destination++ = digits[--n];
  *destination = 0;
}
