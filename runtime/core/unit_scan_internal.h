// Length of a UTF-16 text scanned in aligned blocks: the inline form of
// rt_strlen for the string engine and the hash maps. Internal to the
// runtime; not installed.
#ifndef KRT_CORE_UNIT_SCAN_INTERNAL_H
#define KRT_CORE_UNIT_SCAN_INTERNAL_H

#include "core/rtconfig.h"

#if KRT_HAVE_SSE2
#include <emmintrin.h>
#endif

namespace krt_scan {

#if KRT_HAVE_SSE2
// Byte mask of the 0 units in the aligned 16-byte block at b.
KRT_BLOCK_OVERREAD inline uint32_t zero_units_in(const char *b) {
  __m128i v = _mm_load_si128(reinterpret_cast<const __m128i *>(b));
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(v, _mm_setzero_si128())));
}

// Whether the aligned 64-byte block at b holds a 0 unit. Its four 16-byte
// parts are read in order, none after the first that holds one, so no read
// touches a part wholly past the terminator's: memory checkers that track
// each byte (valgrind) accept a part that holds the end of a heap block, not
// one beyond it.
KRT_BLOCK_OVERREAD inline bool zero_unit_in64(const char *b) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i *v = reinterpret_cast<const __m128i *>(b);
  for (int part = 0; part < 4; ++part)
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_load_si128(v + part), zero)) != 0) return true;
  return false;
}
#endif

// Units before the terminator, for callers that want it inlined (the
// buffer appends, the maps' key hashing).
KRT_BLOCK_OVERREAD inline NativeInt unit_length(RtConstString text) {
#if KRT_HAVE_SSE2
  uintptr_t at = reinterpret_cast<uintptr_t>(text);
  if ((at & 1) == 0) {
    // Whole aligned blocks: one never straddles a page, so reading the block
    // that holds the terminator is safe even past the text's end. The units
    // of an even address line up with the blocks' 16-bit lanes. Long texts
    // go 64 bytes at a time once aligned to 64.
    const char *block = reinterpret_cast<const char *>(at & ~uintptr_t{15});
    uint32_t hits = zero_units_in(block) >> (at & 15);
    if (hits != 0) return __builtin_ctz(hits) / 2;
    for (;;) {
      block += 16;
      if ((reinterpret_cast<uintptr_t>(block) & 63) == 0)
        while (!zero_unit_in64(block)) block += 64;
      hits = zero_units_in(block);
      if (hits != 0) return (block + __builtin_ctz(hits) - reinterpret_cast<const char *>(text)) / 2;
    }
  }
#endif
  const RtChar *p = text;
  while (*p != 0) ++p;
  return p - text;
}

}  // namespace krt_scan

#endif
