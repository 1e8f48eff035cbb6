// Text conversion between UTF-16 runtime strings and 8-bit text.
//
// Every converter is written twice. The reference takes one character at a
// time and defines every result, malformed input included. The fast path
// gives the same results faster: it looks at the text in windows of 64 bytes
// (32 units on the UTF-16 side), converts in bulk a window that holds only
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

inline uint32_t decode3(const uint8_t *s) {
  return (s[0] & 0x0Fu) << 12 | (s[1] & 0x3Fu) << 6 | (s[2] & 0x3Fu);
}
inline uint32_t decode4(const uint8_t *s) {
  return (s[0] & 0x07u) << 18 | (s[1] & 0x3Fu) << 12 | (s[2] & 0x3Fu) << 6 | (s[3] & 0x3Fu);
}
inline void put3(char *out, uint32_t u) {
  out[0] = static_cast<char>(0xE0 | u >> 12);
  out[1] = static_cast<char>(0x80 | (u >> 6 & 0x3F));
  out[2] = static_cast<char>(0x80 | (u & 0x3F));
}

// Bit tricks on the window masks. The population count is written out
// rather than left to the compiler, which without a POPCNT target calls a
// library helper.
inline int popcount64(uint64_t x) {
  x = x - (x >> 1 & 0x5555555555555555u);
  x = (x & 0x3333333333333333u) + (x >> 2 & 0x3333333333333333u);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return static_cast<int>((x * 0x0101010101010101u) >> 56);
}
inline int lowest_bit(uint64_t x) { return __builtin_ctzll(x); }
inline int highest_bit(uint64_t x) { return 63 - __builtin_clzll(x); }
inline uint64_t bits_below(int n) { return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }

// ---------------------------------------------------------------------------
// Per-character steps. Each consumes one character at s[i] (i < length),
// advancing i and adding what it produces to the count, or tells its loop to
// end: kStop returns the count so far, kFail returns 0 from a converting pass
// (a counting pass returns the count so far there too).

enum Step { kNext, kStop, kFail };

// The classic decoder: lenient about overlong forms and encoded surrogates,
// stopping at the malformed places its callers know about.
inline Step classic_utf8_step(const uint8_t *s, int64_t length, int64_t &i, RtChar *destination,
                              int64_t size, int64_t &units) {
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
// Windows: 64 bytes of UTF-8 or 32 units of UTF-16 at a time, described by
// bit masks in which bit k stands for byte or unit k. A run of windows goes
// in fixed steps, so that no window's loads wait for the previous window's
// masks; a sequence or pair cut by a window's end is carried into the next,
// and a window is only converted once the next one is known to complete it.

struct Utf8Window {
  uint64_t high;   // 0x80..0xFF: not ASCII
  uint64_t cont;   // 0x80..0xBF: continuation bytes
  uint64_t three;  // 0xE0..0xFF: leads of three bytes or more
  uint64_t four;   // 0xF0..0xFF: leads of four bytes or more
  // A byte no well-formed text has there: the leads C0, C1 and F5..FF, or a
  // second byte outside the range its lead allows (after E0, ED, F0, F4). It
  // may also flag some ill-formed places the other masks catch anyway.
  uint64_t bad;
};

inline uint64_t utf8_leads(const Utf8Window &w) { return w.high & ~w.cont; }

// The continuation bytes a window's last sequence owes the next window, as
// bits 0 to 2 of the next window.
inline uint64_t utf8_owed(const Utf8Window &w) { return utf8_leads(w) >> 63 | w.three >> 62 | w.four >> 61; }

// Whether every byte of a window is where well-formed text has it, the
// previous window being owed `owed`; the last sequence may run past the end.
inline bool utf8_well_formed(const Utf8Window &w, uint64_t owed) {
  // Where continuation bytes belong: the byte after each lead, the second
  // after leads of three or four bytes, the third after leads of four.
  uint64_t need = utf8_leads(w) << 1 | w.three << 2 | w.four << 3 | owed;
  return ((need ^ w.cont) | w.bad) == 0;
}

// The second byte of a sequence whose lead ended the previous window.
inline bool utf8_second_byte_ok(uint32_t lead, uint32_t b) {
  return lead == 0xE0 ? b >= 0xA0 : lead == 0xED ? b <= 0x9F : lead == 0xF0 ? b >= 0x90 : lead == 0xF4 ? b <= 0x8F : true;
}

// Where a window's whole sequences end: before the cut one, if any.
inline int utf8_whole_end(const Utf8Window &w) { return utf8_owed(w) != 0 ? highest_bit(utf8_leads(w)) : 64; }

// UTF-16 units of the sequences whose leads lie below end: one each, two
// for the four-byte ones.
inline int utf8_units_below(const Utf8Window &w, int end) {
  uint64_t below = bits_below(end);
  return end - popcount64(w.cont & below) + popcount64(w.four & below);
}

struct Utf16Window {
  uint32_t ge80;   // 0x80 and up
  uint32_t ge800;  // 0x800 and up
  uint32_t high;   // high surrogates
  uint32_t low;    // low surrogates
};

// 1 when the window ends in a high surrogate, whose low one opens the next.
inline uint32_t utf16_owed(const Utf16Window &w) { return w.high >> 31; }

// Whether every surrogate of a window is paired, the previous window being
// owed `owed`; a pair may run past the end.
inline bool utf16_paired(const Utf16Window &w, uint32_t owed) { return (w.high << 1 | owed) == w.low; }

// UTF-8 bytes of the units below end: 1, 2 from 0x80, 3 from 0x800, and 2
// for each half of a pair.
inline int utf16_bytes_below(const Utf16Window &w, int end) {
  uint64_t below = bits_below(end);
  return end + popcount64((w.ge80 | uint64_t{w.ge800} << 32) & (below | below << 32)) -
         popcount64((w.high | w.low) & below);
}

// Leads at every third byte from the first: a run of three-byte characters.
constexpr uint64_t kEveryThird = 0x9249249249249249u;

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
    for (int k = 0; k < 64; ++k) {
      uint32_t b = s[k];
      uint64_t bit = uint64_t{1} << k;
      if (b < 0x80) continue;
      w.high |= bit;
      if (b < 0xC0) {
        w.cont |= bit;
        continue;
      }
      if (b >= 0xE0) w.three |= bit;
      if (b >= 0xF0) w.four |= bit;
      if (b < 0xC2 || b > 0xF4) w.bad |= bit;
      if (k < 63) {
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

  static void narrow8(const RtChar *s, char *d) {
    for (int k = 0; k < 8; ++k) d[k] = static_cast<char>(s[k]);
  }
  static void narrow16(const RtChar *s, char *d) {
    for (int k = 0; k < 16; ++k) d[k] = static_cast<char>(s[k]);
  }

  // Adds the UTF-8 bytes of the units at s to `bytes`, in blocks of 16, up
  // to the first block with an unpaired surrogate; returns the units
  // counted, which never end inside a pair.
  static int64_t utf8_bytes(const RtChar *s, int64_t n, int64_t &bytes) {
    int64_t i = 0;
    uint32_t open = 0;  // the last unit counted is a high surrogate
    while (i + 16 <= n) {
      uint32_t high = 0, low = 0;
      int64_t b = 0;
      for (int k = 0; k < 16; ++k) {
        uint32_t u = s[i + k];
        if (is_high(u)) high |= 1u << k;
        if (is_low(u)) low |= 1u << k;
        b += u < 0x80 ? 1 : u < 0x800 || is_high(u) || is_low(u) ? 2 : 3;
      }
      if (((high << 1 | open) & 0xFFFF) != low) break;
      open = high >> 15;
      bytes += b;
      i += 16;
    }
    bytes -= 2 * open;
    return i - open;
  }

  static Utf16Window classify_utf16(const RtChar *s) {
    Utf16Window w = {0, 0, 0, 0};
    for (int k = 0; k < 32; ++k) {
      uint32_t u = s[k];
      uint32_t bit = 1u << k;
      if (u >= 0x80) w.ge80 |= bit;
      if (u >= 0x800) w.ge800 |= bit;
      if (is_high(u)) w.high |= bit;
      if (is_low(u)) w.low |= bit;
    }
    return w;
  }

  // Whether the 64 bytes at s continue a run of three-byte characters whose
  // first lead in them is at `phase`, none of them with a rule of its own.
  static bool three_byte_window(const uint8_t *s, int phase) {
    for (int k = 0; k < 64; ++k) {
      uint32_t b = s[k];
      bool lead = k % 3 == phase % 3;
      if (lead ? !(b >= 0xE1 && b <= 0xEF && b != 0xED) : (b & 0xC0) != 0x80) return false;
    }
    return true;
  }
  // n characters of three bytes each, from 3n bytes at s.
  static void decode_three_byte_run(const uint8_t *s, int n, RtChar *d, int64_t, int64_t) {
    for (int j = 0; j < n; ++j) d[j] = static_cast<RtChar>(decode3(s + 3 * j));
  }
  // n units from 0x800 up without surrogates, three bytes each.
  static void encode_three_byte_run(const RtChar *s, int n, char *d, int64_t) {
    for (int j = 0; j < n; ++j) put3(d + 3 * j, s[j]);
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
  static uint64_t mask(__m128i v) { return static_cast<uint32_t>(_mm_movemask_epi8(v)); }

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

  // Signed byte compares: 0x80..0xFF are the negative values -128..-1, and
  // max_epu8(v, b) == v holds for the bytes b and above.
  static __m128i at_least(__m128i v, int b) { return _mm_cmpeq_epi8(_mm_max_epu8(v, bytes(b)), v); }

  // The leads that are rare in any text and have rules of their own: C0, C1,
  // E0, ED and F4..FF. F0, the lead of most emoji, is checked on its own.
  static __m128i rare_leads(__m128i v) {
    __m128i c0c1 = _mm_cmpeq_epi8(_mm_and_si128(v, bytes(0xFE)), bytes(0xC0));
    __m128i e0ed = _mm_or_si128(_mm_cmpeq_epi8(v, bytes(0xE0)), _mm_cmpeq_epi8(v, bytes(0xED)));
    return _mm_or_si128(_mm_or_si128(c0c1, e0ed), at_least(v, 0xF4));
  }

  __attribute__((noinline)) static uint64_t bad_places(const __m128i *v, const Utf8Window &w) {
    uint64_t below90 = 0, belowA0 = 0, e0 = 0, ed = 0, f4 = 0, invalid = 0;
    for (int q = 0; q < 4; ++q) {
      int shift = 16 * q;
      below90 |= mask(_mm_cmplt_epi8(v[q], bytes(0x90))) << shift;  // 0x80..0x8F
      belowA0 |= mask(_mm_cmplt_epi8(v[q], bytes(0xA0))) << shift;  // 0x80..0x9F
      e0 |= mask(_mm_cmpeq_epi8(v[q], bytes(0xE0))) << shift;
      ed |= mask(_mm_cmpeq_epi8(v[q], bytes(0xED))) << shift;
      f4 |= mask(_mm_cmpeq_epi8(v[q], bytes(0xF4))) << shift;
      __m128i c0c1 = _mm_cmpeq_epi8(_mm_and_si128(v[q], bytes(0xFE)), bytes(0xC0));
      invalid |= mask(_mm_or_si128(c0c1, at_least(v[q], 0xF5))) << shift;
    }
    return invalid | (e0 << 1 & belowA0) | (ed << 1 & w.cont & ~belowA0) | (f4 << 1 & w.cont & ~below90);
  }

  // F0 followed by 0x80..0x8F: an overlong four-byte form.
  static uint64_t overlong_four(const __m128i *v) {
    uint64_t f0 = 0, below90 = 0;
    for (int q = 0; q < 4; ++q) {
      f0 |= mask(_mm_cmpeq_epi8(v[q], bytes(0xF0))) << 16 * q;
      below90 |= mask(_mm_cmplt_epi8(v[q], bytes(0x90))) << 16 * q;
    }
    return f0 << 1 & below90;
  }

  __attribute__((always_inline)) static Utf8Window classify_utf8(const uint8_t *s) {
    __m128i v[4] = {load(s), load(s + 16), load(s + 32), load(s + 48)};
    Utf8Window w = {0, 0, 0, 0, 0};
    __m128i rare = _mm_setzero_si128();
    for (int q = 0; q < 4; ++q) {
      int shift = 16 * q;
      w.high |= mask(v[q]) << shift;
      w.cont |= mask(_mm_cmplt_epi8(v[q], bytes(0xC0))) << shift;
      w.three |= mask(_mm_cmpgt_epi8(v[q], bytes(0xDF))) << shift;
      w.four |= mask(_mm_cmpgt_epi8(v[q], bytes(0xEF))) << shift;
      rare = _mm_or_si128(rare, rare_leads(v[q]));
    }
    w.three &= w.high;  // the signed compares also hold for ASCII
    w.four &= w.high;
    if (mask(rare) != 0) w.bad = bad_places(v, w);
    if (w.four != 0) w.bad |= overlong_four(v);
    return w;
  }

  // A unit of 0x80 or more plus 0x7F80 reaches the sign bit (the addition
  // saturates); the sign bits are the odd bits of the byte mask.
  static uint64_t non_ascii_units(__m128i v) {
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

  static void narrow8(const RtChar *s, char *d) {
    __m128i v = load(s);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(d), _mm_packus_epi16(v, v));
  }
  static void narrow16(const RtChar *s, char *d) { store(d, _mm_packus_epi16(load(s), load(s + 8))); }

  static int64_t utf8_bytes(const RtChar *s, int64_t n, int64_t &bytes) {
    const __m128i zero = _mm_setzero_si128();
    int64_t i = 0;
    uint32_t open = 0;  // the last unit counted is a high surrogate
    bool unpaired = false;
    while (!unpaired && i + 16 <= n) {
      // Every unit counts 3 bytes less one for each of: below 0x80, below
      // 0x800, a surrogate (a compare that holds gives -1). Lanes sum at most
      // -6 per step, so they are added up at least every 4096 steps.
      __m128i lanes = zero;
      int64_t counted = 0;
      for (int steps = 0; steps < 4096 && i + 16 <= n; ++steps) {
        __m128i a = load(s + i), b = load(s + i + 8);
        __m128i top_a = _mm_and_si128(a, units(0xF800)), top_b = _mm_and_si128(b, units(0xF800));
        __m128i sur_a = _mm_cmpeq_epi16(top_a, units(0xD800)), sur_b = _mm_cmpeq_epi16(top_b, units(0xD800));
        __m128i less = _mm_add_epi16(
            _mm_add_epi16(_mm_add_epi16(_mm_cmpeq_epi16(_mm_and_si128(a, units(0xFF80)), zero), _mm_cmpeq_epi16(top_a, zero)),
                          _mm_add_epi16(_mm_cmpeq_epi16(_mm_and_si128(b, units(0xFF80)), zero), _mm_cmpeq_epi16(top_b, zero))),
            _mm_add_epi16(sur_a, sur_b));
        // Every high surrogate, the one that ended the last step included,
        // is followed by a low one and every low one follows a high one. The
        // steps are fixed, so that no load waits for this test.
        __m128i high_a = _mm_cmpeq_epi16(_mm_and_si128(a, units(0xFC00)), units(0xD800));
        __m128i high_b = _mm_cmpeq_epi16(_mm_and_si128(b, units(0xFC00)), units(0xD800));
        uint32_t sur = static_cast<uint32_t>(mask(_mm_packs_epi16(sur_a, sur_b)));
        uint32_t hi = static_cast<uint32_t>(mask(_mm_packs_epi16(high_a, high_b)));
        if (((hi << 1 | open) & 0xFFFF) != (sur & ~hi)) {
          unpaired = true;
          break;
        }
        open = hi >> 15;
        lanes = _mm_add_epi16(lanes, less);
        counted += 16;
        i += 16;
      }
      __m128i sums = _mm_madd_epi16(lanes, units(1));
      sums = _mm_add_epi32(sums, _mm_shuffle_epi32(sums, 0x4E));
      sums = _mm_add_epi32(sums, _mm_shuffle_epi32(sums, 0xB1));
      bytes += 3 * counted + _mm_cvtsi128_si32(sums);
    }
    // A pair left open goes back to the caller whole: its high surrogate
    // counted 2 bytes.
    bytes -= 2 * open;
    return i - open;
  }

  __attribute__((always_inline)) static Utf16Window classify_utf16(const RtChar *s) {
    const __m128i zero = _mm_setzero_si128();
    uint32_t small = 0, mid = 0, high = 0, low = 0;
    for (int h = 0; h < 2; ++h) {
      // Packing two 8-unit compares gives one byte, and one mask bit, per unit.
      __m128i a = load(s + 16 * h), b = load(s + 16 * h + 8);
      __m128i ta = _mm_and_si128(a, units(0xFC00)), tb = _mm_and_si128(b, units(0xFC00));
      int shift = 16 * h;
      small |= static_cast<uint32_t>(mask(_mm_packs_epi16(_mm_cmpeq_epi16(_mm_and_si128(a, units(0xFF80)), zero),
                                                          _mm_cmpeq_epi16(_mm_and_si128(b, units(0xFF80)), zero))))
               << shift;
      mid |= static_cast<uint32_t>(mask(_mm_packs_epi16(_mm_cmpeq_epi16(_mm_and_si128(a, units(0xF800)), zero),
                                                        _mm_cmpeq_epi16(_mm_and_si128(b, units(0xF800)), zero))))
             << shift;
      high |= static_cast<uint32_t>(mask(_mm_packs_epi16(_mm_cmpeq_epi16(ta, units(0xD800)),
                                                         _mm_cmpeq_epi16(tb, units(0xD800)))))
              << shift;
      low |= static_cast<uint32_t>(mask(_mm_packs_epi16(_mm_cmpeq_epi16(ta, units(0xDC00)),
                                                        _mm_cmpeq_epi16(tb, units(0xDC00)))))
             << shift;
    }
    return Utf16Window{~small, ~mid, high, low};
  }

  // Runs of three-byte characters: SSE2 has no byte shuffle, so the 3-byte
  // groups are lined up in 32-bit lanes with whole-register byte shifts.

  // As in Portable: continuation bytes exactly off the lead places, and
  // leads in E1..EC or EE..EF.
  static bool three_byte_window(const uint8_t *s, int phase) {
    uint64_t cont = 0, good = 0;
    for (int q = 0; q < 4; ++q) {
      __m128i v = load(s + 16 * q);
      __m128i x = _mm_sub_epi8(v, bytes(0xE1));
      __m128i lead = _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(x, bytes(0x0B)), x),
                                  _mm_cmpeq_epi8(_mm_and_si128(v, bytes(0xFE)), bytes(0xEE)));
      cont |= mask(_mm_cmplt_epi8(v, bytes(0xC0))) << 16 * q;
      good |= mask(lead) << 16 * q;
    }
    uint64_t leads = kEveryThird << phase;
    return cont == ~leads && good == leads;
  }

  // The four groups of 3 bytes from s (16 bytes read), one per 32-bit lane,
  // whose fourth byte belongs to the next group.
  static __m128i four_groups(const uint8_t *s) {
    __m128i v = load(s);
    __m128i a = _mm_unpacklo_epi32(v, _mm_srli_si128(v, 3));
    __m128i b = _mm_unpacklo_epi32(_mm_srli_si128(v, 6), _mm_srli_si128(v, 9));
    return _mm_unpacklo_epi64(a, b);
  }

  static __m128i decode3_lanes(__m128i x) {
    __m128i a = _mm_slli_epi32(_mm_and_si128(x, _mm_set1_epi32(0x0F)), 12);
    __m128i b = _mm_srli_epi32(_mm_and_si128(x, _mm_set1_epi32(0x3F00)), 2);
    __m128i c = _mm_srli_epi32(_mm_and_si128(x, _mm_set1_epi32(0x3F0000)), 16);
    return _mm_or_si128(_mm_or_si128(a, b), c);
  }

  // n characters of three bytes each from 3n bytes at s; blocks of 8 may
  // write up to `scratch` units and read up to `readable` bytes.
  static void decode_three_byte_run(const uint8_t *s, int n, RtChar *d, int64_t scratch, int64_t readable) {
    const __m128i bias = _mm_set1_epi32(0x8000);
    // Blocks of 8, the last one overshooting into scratch when it may.
    int blocks = (n + 7) / 8;
    if (8 * blocks > scratch || 24 * blocks + 4 > readable) blocks = n / 8;
    int j = 0;
    for (; j < 8 * blocks; j += 8) {
      __m128i a = decode3_lanes(four_groups(s + 3 * j));
      __m128i b = decode3_lanes(four_groups(s + 3 * j + 12));
      // The packing saturates signed values: bias to signed and back.
      __m128i packed = _mm_packs_epi32(_mm_sub_epi32(a, bias), _mm_sub_epi32(b, bias));
      store(d + j, _mm_add_epi16(packed, units(0x8000)));
    }
    for (; j < n; ++j) d[j] = static_cast<RtChar>(decode3(s + 3 * j));
  }

  // The 12 bytes of four units (one per 32-bit lane) in bytes 0..11.
  static __m128i encode3_lanes(__m128i u) {
    __m128i x = _mm_or_si128(_mm_or_si128(_mm_set1_epi32(0x8080E0), _mm_srli_epi32(u, 12)),
                             _mm_or_si128(_mm_and_si128(_mm_slli_epi32(u, 2), _mm_set1_epi32(0x3F00)),
                                          _mm_and_si128(_mm_slli_epi32(u, 16), _mm_set1_epi32(0x3F0000))));
    // Each 64-bit half: the 3 bytes of its low lane, then those of its high
    // lane; then the high half's 6 bytes go right behind the low half's.
    __m128i y = _mm_or_si128(_mm_and_si128(x, _mm_set1_epi64x(0xFFFFFF)),
                             _mm_and_si128(_mm_srli_epi64(x, 8), _mm_set1_epi64x(0xFFFFFF000000)));
    return _mm_or_si128(_mm_move_epi64(y), _mm_slli_si128(_mm_srli_si128(y, 8), 6));
  }

  // n units from 0x800 up without surrogates, three bytes each; writes
  // exactly 3n bytes.
  static void encode_three_byte_run(const RtChar *s, int n, char *d, int64_t) {
    const __m128i zero = _mm_setzero_si128();
    int j = 0;
    for (; j + 8 <= n; j += 8) {
      __m128i v = load(s + j);
      __m128i b = encode3_lanes(_mm_unpackhi_epi16(v, zero));
      // 16 bytes, of which the last 4 are overwritten by the exact 12 after.
      store(d + 3 * j, encode3_lanes(_mm_unpacklo_epi16(v, zero)));
      _mm_storel_epi64(reinterpret_cast<__m128i *>(d + 3 * j + 12), b);
      uint32_t last = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(b, 8)));
      memcpy(d + 3 * j + 20, &last, 4);
    }
    for (; j < n; ++j) put3(d + 3 * j, s[j]);
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
#endif

// ---------------------------------------------------------------------------
// Window conversion, for windows the take functions accepted. A window's
// output, `total` units or bytes, is known before it is written. Blocks may
// overshoot into `scratch` (at least total) from the window's start: places
// that the conversion certainly overwrites later, so that nothing is left
// written beyond the count the conversion returns. `readable` is how far the
// source may be read from the window's start.

template <class K>
inline void widen_gap(const uint8_t *s, int n, RtChar *d, int64_t room, int64_t readable) {
  int k = 0;
  while (k < n) {
    if (room - k >= 16 && readable - k >= 16) {
      K::widen16(s + k, d + k);
      k += 16;
    } else if (room - k >= 8 && readable - k >= 8) {
      K::widen8(s + k, d + k);
      k += 8;
    } else {
      d[k] = s[k];
      ++k;
    }
  }
}

template <class K>
inline void narrow_gap(const RtChar *s, int n, char *d, int64_t room, int64_t readable) {
  int k = 0;
  while (k < n) {
    if (room - k >= 16 && readable - k >= 16) {
      K::narrow16(s + k, d + k);
      k += 16;
    } else if (room - k >= 8 && readable - k >= 8) {
      K::narrow8(s + k, d + k);
      k += 8;
    } else {
      d[k] = static_cast<char>(s[k]);
      ++k;
    }
  }
}

// Decodes the sequence of len bytes (2 to 4) at s, reading 4 bytes; no
// branch depends on the length.
inline uint32_t decode_any(const uint8_t *s, uint32_t len) {
  uint32_t x;
  memcpy(&x, s, 4);
  uint32_t tail = (x >> 8 & 0x3F) << 12 | (x >> 16 & 0x3F) << 6 | (x >> 24 & 0x3F);
  return ((x & (0x7Fu >> len)) << 18 | tail) >> (6 * (4 - len));
}

// Writes the len (2 to 4) bytes of cp as one 4-byte store; no branch
// depends on the length.
inline void put_any(char *out, uint32_t cp, uint32_t len) {
  uint32_t x = 0x80808080u | cp >> 18 | (cp >> 12 & 0x3F) << 8 | (cp >> 6 & 0x3F) << 16 | (cp & 0x3F) << 24;
  x = x >> (8 * (4 - len)) | ((0xF0u << (4 - len)) & 0x70);
  memcpy(out, &x, 4);
}

// In the loops below the lengths come from the masks, not from the loaded
// text, so that no iteration waits for the previous one's loads.

// Decodes the sequences of a window whose leads lie in [k0, end) (k0 skips
// the bytes owed to the previous window) and the ASCII among them, `total`
// units; a sequence may end past `end`.
template <class K>
__attribute__((always_inline)) inline void utf8_window_decode(const uint8_t *s, int k0, int end, const Utf8Window &w, RtChar *d, int total,
                               int64_t scratch, int64_t readable) {
  uint64_t leads = utf8_leads(w) & bits_below(end);
  if (leads == ((kEveryThird << k0) & bits_below(end)) && (leads & ~w.three) == 0 && (leads & w.four) == 0) {
    K::decode_three_byte_run(s + k0, total, d, scratch, readable - k0);
    return;
  }
  // One character per lead, and the ASCII between them in blocks. While
  // there is room, a lead costs no branch but the loop's: the gap before it
  // goes as 32 widened bytes (only a longer one needs more) and the character
  // as two units, the second one scratch unless it is a pair. A stretch of
  // eight or more three-byte characters (CJK with a stray ASCII character in
  // the window) goes as a run.
  uint64_t threes = leads & w.three & ~w.four;
  uint64_t eight = threes & threes >> 3 & threes >> 6 & threes >> 9;
  eight &= eight >> 12;  // places that start eight three-byte characters
  int k = k0, u = 0;
  // The blocks write 32 units from u and the character 2 from u + gap; they
  // read 32 bytes from the gap's start.
  int64_t last_u = scratch - 34, last_p = readable - 32;
  while (leads != 0) {
    int p = lowest_bit(leads);
    if (eight >> p & 1) {
      uint64_t breaks = ~(threes >> p) & kEveryThird;
      int stretch = breaks != 0 ? lowest_bit(breaks) / 3 : 22;
      widen_gap<K>(s + k, p - k, d + u, scratch - u, readable - k);
      u += p - k;
      K::decode_three_byte_run(s + p, stretch, d + u, scratch - u, readable - p);
      u += stretch;
      k = p + 3 * stretch;
      leads &= ~bits_below(k);
      continue;
    }
    leads &= leads - 1;
    uint32_t four = static_cast<uint32_t>(w.four >> p & 1);
    uint32_t len = 2 + static_cast<uint32_t>(w.three >> p & 1) + four;
    if (u + (p - k) <= last_u && p <= last_p) {
      K::widen16(s + k, d + u);
      K::widen16(s + k + 16, d + u + 16);
      if (p - k > 32) widen_gap<K>(s + k + 32, p - k - 32, d + u + 32, scratch - u - 32, readable - k - 32);
      u += p - k;
      uint32_t cp = decode_any(s + p, len);
      d[u] = static_cast<RtChar>(four ? 0xD800 | (cp - 0x10000) >> 10 : cp);
      d[u + 1] = static_cast<RtChar>(0xDC00 | (cp & 0x3FF));
      u += 1 + static_cast<int>(four);
    } else {
      widen_gap<K>(s + k, p - k, d + u, scratch - u, readable - k);
      u += p - k;
      uint32_t b = s[p];
      if (len == 2) {
        d[u++] = static_cast<RtChar>((b & 0x1F) << 6 | (s[p + 1] & 0x3F));
      } else if (len == 3) {
        d[u++] = static_cast<RtChar>(decode3(s + p));
      } else {
        put_pair(d + u, decode4(s + p));
        u += 2;
      }
    }
    k = p + static_cast<int>(len);
  }
  if (end > k) {
    if (u + 32 <= scratch && k + 32 <= readable && end - k <= 32) {
      K::widen16(s + k, d + u);
      K::widen16(s + k + 16, d + u + 16);
    } else {
      widen_gap<K>(s + k, end - k, d + u, scratch - u, readable - k);
    }
  }
}

// Encodes units [k, end) of a window (a pair may end past `end`); returns the
// bytes written.
template <class K>
inline int utf16_encode_units(const RtChar *s, int k, int end, const Utf16Window &w, char *d, int64_t scratch,
                              int64_t readable) {
  // One sequence per unit from 0x80 up but low surrogates, and the ASCII
  // between them in blocks; while there is room without a branch, as in
  // utf8_window_decode.
  uint32_t starts = w.ge80 & ~w.low & static_cast<uint32_t>(bits_below(end) & ~bits_below(k));
  int n = 0;
  // The blocks write 32 bytes from n and the sequence 4 from n + gap; they
  // read 32 units from the gap's start.
  int64_t last_n = scratch - 36, last_p = readable - 32;
  while (starts != 0) {
    int p = lowest_bit(starts);
    starts &= starts - 1;
    uint32_t high = w.high >> p & 1;
    uint32_t len = 2 + (w.ge800 >> p & 1) + high;
    if (n + (p - k) <= last_n && p <= last_p) {
      K::narrow16(s + k, d + n);
      K::narrow16(s + k + 16, d + n + 16);
      if (p - k > 32) narrow_gap<K>(s + k + 32, p - k - 32, d + n + 32, scratch - n - 32, readable - k - 32);
      n += p - k;
      uint32_t u = s[p];
      uint32_t pair = (((u & 0x3FF) << 10) | (s[p + 1] & 0x3FF)) + 0x10000;
      put_any(d + n, high ? pair : u, len);
    } else {
      narrow_gap<K>(s + k, p - k, d + n, scratch - n, readable - k);
      n += p - k;
      uint32_t u = s[p];
      put_utf8(d + n, high ? (((u & 0x3FF) << 10) | (s[p + 1] & 0x3FF)) + 0x10000 : u);
    }
    n += static_cast<int>(len);
    k = p + 1 + static_cast<int>(high);
  }
  if (end > k) {
    if (n + 32 <= scratch && k + 32 <= readable && end - k <= 32) {
      K::narrow16(s + k, d + n);
      K::narrow16(s + k + 16, d + n + 16);
    } else {
      narrow_gap<K>(s + k, end - k, d + n, scratch - n, readable - k);
    }
    n += end - k;
  }
  return n;
}

// Encodes units [k0, end) of a window (k0 skips the low surrogate owed to
// the previous window); a pair may end past `end`.
template <class K>
__attribute__((always_inline)) inline void utf16_window_encode(const RtChar *s, int k0, int end, const Utf16Window &w, char *d, int64_t scratch,
                                int64_t readable) {
  uint32_t span = static_cast<uint32_t>(bits_below(end) & ~bits_below(k0));
  uint32_t three = w.ge800 & ~(w.high | w.low) & span;  // units of three bytes
  if (three == span) {
    K::encode_three_byte_run(s + k0, end - k0, d, scratch);
    return;
  }
  // Bytes 0..3 of `full` are set for the blocks of 8 that are all three-byte units.
  uint32_t full = three & three >> 1;
  full &= full >> 2;
  full &= full >> 4;
  if ((full & 0x01010101u) == 0 || span != 0xFFFFFFFFu) {
    utf16_encode_units<K>(s, k0, end, w, d, scratch, readable);
    return;
  }
  // Text that is mostly of three-byte units: blocks of 8 that are wholly so
  // go in bulk. A pair never straddles a block that is.
  int n = 0;
  for (int b = 0; b < 32; b += 8) {
    if ((three >> b & 0xFF) == 0xFF) {
      K::encode_three_byte_run(s + b, 8, d + n, scratch - n);
      n += 24;
      continue;
    }
    int stop = b + 8;
    while (stop < 32 && (three >> stop & 0xFF) != 0xFF) stop += 8;
    n += utf16_encode_units<K>(s, b, stop, w, d + n, scratch - n, readable);
    b = stop - 8;
  }
}

// ---------------------------------------------------------------------------
// Runs of windows. Each counts (null destination) or converts windows at
// fixed steps from i while they are well-formed and the destination, which
// holds `room` units or bytes, has room for them. It returns true when it
// stopped before an ill-formed window at i, which the caller then steps
// through; false when the input or the room ran short, or a window of plain
// ASCII follows, which is the caller's bulk work.
//
// `exact` is for the classic converters, which stop at ill-formed places:
// a window may then overshoot only into the output of the next one, which is
// certain to be written. The other converters always fill their destination,
// so a window may overshoot up to its end.

template <class K>
inline bool utf8_window_run(const uint8_t *s, int64_t length, int64_t &i, int64_t &units, RtChar *d, int64_t room,
                            bool exact) {
  if (length - i < 64 || (d != nullptr && room - units < 64)) return false;
  Utf8Window w = K::classify_utf8(s + i);
  if (!utf8_well_formed(w, 0)) return true;
  int k0 = 0;
  int produced = utf8_units_below(w, 64);
  bool in_run = false;  // w is a run of three-byte characters from k0
  for (;;) {
    uint64_t owed = utf8_owed(w);
    int64_t next = i + 64;
    Utf8Window after = {0, 0, 0, 0, 0};
    int after_units = 0;
    bool after_run = false;
    bool looked = length - next >= 64 && (d == nullptr || room - units - produced >= 64);
    bool ok = false;
    if (looked) {
      // Text in a run of three-byte characters (CJK) goes on in it: a test
      // of the run's pattern stands for the classification, and the phase
      // of the run gives the counts.
      int phase = (k0 + 2) % 3;
      bool second_ok = utf8_leads(w) >> 63 == 0 || utf8_second_byte_ok(s[next - 1], s[next]);
      in_run = in_run || (utf8_leads(w) == kEveryThird << k0 && (utf8_leads(w) & ~w.three) == 0 && w.four == 0);
      if (in_run && second_ok && K::three_byte_window(s + next, phase)) {
        uint64_t leads = kEveryThird << phase;
        after = Utf8Window{~uint64_t{0}, ~leads, leads, 0, 0};
        after_units = phase == 0 ? 22 : 21;
        after_run = ok = true;
      } else {
        after = K::classify_utf8(s + next);
        after_units = utf8_units_below(after, 64);
        ok = utf8_well_formed(after, owed) && second_ok;
      }
    }
    if (!ok) {
      // This window up to its cut sequence; the caller goes on from there.
      int end = utf8_whole_end(w);
      int part = utf8_units_below(w, end);
      if (d != nullptr) utf8_window_decode<K>(s + i, k0, end, w, d + units, part, exact ? part : room - units, length - i);
      units += part;
      i += end;
      return looked;
    }
    if (d != nullptr) {
      int64_t scratch = exact ? produced + utf8_units_below(after, utf8_whole_end(after)) : room - units;
      utf8_window_decode<K>(s + i, k0, 64, w, d + units, produced, scratch, length - i);
    }
    units += produced;
    i = next;
    w = after;
    produced = after_units;
    in_run = after_run;
    k0 = owed != 0 ? highest_bit(owed) + 1 : 0;
    if (w.high == 0) return false;
  }
}

template <class K>
inline bool utf16_window_run(const RtChar *s, int64_t length, int64_t &i, int64_t &written, char *d, int64_t room,
                             bool exact) {
  if (length - i < 32 || room - written < 96) return false;
  Utf16Window w = K::classify_utf16(s + i);
  if (!utf16_paired(w, 0)) return true;
  int k0 = 0;
  for (;;) {
    uint32_t owed = utf16_owed(w);
    int produced = utf16_bytes_below(w, 32);
    int64_t next = i + 32;
    Utf16Window after = {0, 0, 0, 0};
    bool looked = length - next >= 32 && room - written - produced >= 96;
    bool ok = false;
    if (looked) {
      after = K::classify_utf16(s + next);
      ok = utf16_paired(after, owed);
    }
    // The low surrogate owed by the previous window was written with its
    // pair; its 2 bytes are this window's first.
    char *out = d + written + 2 * k0;
    int64_t skip = 2 * k0;
    if (!ok) {
      int end = 32 - static_cast<int>(owed);
      int part = utf16_bytes_below(w, end);
      utf16_window_encode<K>(s + i, k0, end, w, out, (exact ? part : room - written) - skip, length - i);
      written += part;
      i += end;
      return looked;
    }
    // The next window writes at least a byte for each of its units but a
    // high surrogate it ends with.
    int64_t scratch = exact ? produced + 31 : room - written;
    utf16_window_encode<K>(s + i, k0, 32, w, out, scratch - skip, length - i);
    written += produced;
    i = next;
    w = after;
    k0 = static_cast<int>(owed);
    if (w.ge80 == 0) return false;
  }
}

// ---------------------------------------------------------------------------
// The fast converters: bulk runs of ASCII and runs of windows, with the
// per-character steps for ill-formed places and for the last bytes.

template <class K>
int32_t utf8_to_utf16_fast(const uint8_t *s, int32_t length, RtChar *d, int32_t size) {
  int64_t i = 0;
  int64_t units = 0;
  for (;;) {
    int64_t left = length - i;
    int64_t room = d == nullptr ? left : size - units;
    int64_t n = d == nullptr ? K::ascii_run(s + i, left) : K::widen_ascii(s + i, min_of(left, room), d + units);
    i += n;
    units += n;
    if (left - n < 64 || room - n < 64) break;
    if (!utf8_window_run<K>(s, length, i, units, d, size, true)) continue;
    for (int64_t end = i + 64; i < end && i < length;) {
      Step step = classic_utf8_step(s, length, i, d, size, units);
      if (step != kNext) return step == kFail && d != nullptr ? 0 : static_cast<int32_t>(units);
    }
  }
  while (i < length) {
    Step step = classic_utf8_step(s, length, i, d, size, units);
    if (step != kNext) return step == kFail && d != nullptr ? 0 : static_cast<int32_t>(units);
  }
  return static_cast<int32_t>(units);
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
    if (left - n < 64 || room - n < 64) break;
    if (!utf8_window_run<K>(s, length, i, units, d, room_total, false)) continue;
    for (int64_t end = i + 64; i < end && i < length;) replacing_utf8_step(s, length, i, d, units);
  }
  while (i < length) replacing_utf8_step(s, length, i, d, units);
  return units;
}

template <class K>
int32_t utf16_to_utf8_fast(const RtChar *s, int32_t length, char *d, int32_t size) {
  if (d != nullptr && size <= 0) return 0;
  int64_t i = 0;
  int64_t written = 0;
  if (d == nullptr) {
    for (;;) {
      int64_t n = K::ascii_units(s + i, length - i);
      i += n;
      written += n;
      i += K::utf8_bytes(s + i, length - i, written);
      if (length - i < 16) break;
      for (int64_t end = i + 16; i < end;)
        if (classic_utf16_step(s, length, i, nullptr, 0, written) != kNext) return clamp_to_int32(written);
    }
  } else {
    for (;;) {
      int64_t left = length - i;
      int64_t n = K::narrow_ascii(s + i, min_of(left, size - written), d + written);
      i += n;
      written += n;
      if (left - n < 32 || size - written < 96) break;
      if (!utf16_window_run<K>(s, length, i, written, d, size, true)) continue;
      for (int64_t end = i + 32; i < end && i < length;) {
        Step step = classic_utf16_step(s, length, i, d, size, written);
        if (step == kFail) return 0;
        if (step == kStop) return clamp_to_int32(written);
      }
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
  if (d == nullptr) {
    for (;;) {
      int64_t n = K::ascii_units(s + i, length - i);
      i += n;
      written += n;
      i += K::utf8_bytes(s + i, length - i, written);
      if (length - i < 16) break;
      for (int64_t end = i + 16; i < end;) replacing_utf16_step(s, length, i, nullptr, written);
    }
  } else {
    for (;;) {
      int64_t left = length - i;
      int64_t n = K::narrow_ascii(s + i, min_of(left, room_total - written), d + written);
      i += n;
      written += n;
      if (left - n < 32 || room_total - written < 96) break;
      if (!utf16_window_run<K>(s, length, i, written, d, room_total, false)) continue;
      for (int64_t end = i + 32; i < end && i < length;) replacing_utf16_step(s, length, i, d, written);
    }
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
  int64_t units = 0;
  while (i < length) {
    Step step = classic_utf8_step(source, length, i, destination, size, units);
    if (step != kNext) return step == kFail && destination != nullptr ? 0 : static_cast<int32_t>(units);
  }
  return static_cast<int32_t>(units);
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
// The public converters, which run the SSE2 build on x86-64 and the portable
// one elsewhere (calling the named builds keeps one copy of each).

namespace {
#if KRT_HAVE_SSE2
constexpr auto native_utf8_to_utf16 = textconv_utf8_to_utf16_sse2;
constexpr auto native_utf16_to_utf8 = textconv_utf16_to_utf8_sse2;
constexpr auto native_latin1_to_utf16 = textconv_latin1_to_utf16_sse2;
constexpr auto native_utf16_to_latin1 = textconv_utf16_to_latin1_sse2;
constexpr auto native_utf8_to_utf16_replacing = textconv_utf8_to_utf16_replacing_sse2;
constexpr auto native_utf16_to_utf8_replacing = textconv_utf16_to_utf8_replacing_sse2;
#else
constexpr auto native_utf8_to_utf16 = textconv_utf8_to_utf16_portable;
constexpr auto native_utf16_to_utf8 = textconv_utf16_to_utf8_portable;
constexpr auto native_latin1_to_utf16 = textconv_latin1_to_utf16_portable;
constexpr auto native_utf16_to_latin1 = textconv_utf16_to_latin1_portable;
constexpr auto native_utf8_to_utf16_replacing = textconv_utf8_to_utf16_replacing_portable;
constexpr auto native_utf16_to_utf8_replacing = textconv_utf16_to_utf8_replacing_portable;
#endif
}  // namespace

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
  if (code_page == CODEPAGE_LATIN1) return native_utf16_to_latin1(source, length, destination, size);
  return native_utf16_to_utf8(source, length, destination, size);
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
  if (code_page == CODEPAGE_LATIN1) return native_latin1_to_utf16(bytes, length, destination, size);
  return native_utf8_to_utf16(bytes, length, destination, size);
}

HostString str_to_host_utf8(RtConstString text) {
  if (text == nullptr) return new_empty_host_string();
  int64_t length = rt_strlen(text);
  int64_t n = native_utf16_to_utf8_replacing(text, length, nullptr, 0);
  char *host = static_cast<char *>(malloc(static_cast<size_t>(n + 1)));
  if (host == nullptr) return new_empty_host_string();
  native_utf16_to_utf8_replacing(text, length, host, n);
  host[n] = 0;
  return host;
}

void host_string_free(HostString host) { free(host); }

int32_t host_utf8_to_strbuf(const char *host, int32_t start) {
  if (host == nullptr) host = "";
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(host);
  int64_t length = static_cast<int64_t>(strlen(host));
  int64_t units = native_utf8_to_utf16_replacing(bytes, length, nullptr, 0);
  if (units >= STRBUF_MAX_BYTES / 2) rt_out_of_memory("the temporary string buffer beyond 2 GiB");
  RtChar *destination = strbuf_reserve(static_cast<int32_t>(units), start);
  native_utf8_to_utf16_replacing(bytes, length, destination, units);
  destination[units] = 0;
  return static_cast<int32_t>(units + 1);
}

RtString host_utf8_to_new_str(const char *host) {
  if (host == nullptr) host = "";
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(host);
  int64_t length = static_cast<int64_t>(strlen(host));
  int64_t units = native_utf8_to_utf16_replacing(bytes, length, nullptr, 0);
  if (static_cast<uint64_t>(units + 1) > SIZE_MAX / 2) return nullptr;
  RtString text = static_cast<RtString>(malloc(static_cast<size_t>(2 * (units + 1))));
  if (text == nullptr) return nullptr;
  native_utf8_to_utf16_replacing(bytes, length, text, units);
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
