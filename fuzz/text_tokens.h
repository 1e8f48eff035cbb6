// Mostly well-formed text from fuzz input, for the conversion targets' token
// mode. Random bytes rarely form long runs of valid multi-byte sequences, and
// the converters' fast paths only take their vector windows over such runs,
// so the interesting window boundaries would hardly ever be reached. Here
// every two input bytes (t, x) are one token: the top two bits of t pick a
// class, the other 14 bits v = (t & 0x3F) << 8 | x pick within it.
#ifndef KRT_FUZZ_TEXT_TOKENS_H
#define KRT_FUZZ_TEXT_TOKENS_H

#include <cstddef>
#include <cstdint>

#include "reference_codec.h"

namespace tokens {

// UTF-8 tokens:
//   class 0: x below 0x80: (t & 0x3F) + 1 copies of the ASCII byte x (NUL as a
//            space), to shift the text against window boundaries; x from
//            0x80: the raw byte x, for ill-formed places
//   class 1: a code point from 0x80 to 0x7FF (two bytes)
//   class 2: a value from 0x800 to 0xFFFF (three bytes), encoded surrogates
//            among them
//   class 3: a value from 0x10000 to 0x13FFFF (four bytes), the ones above
//            0x10FFFF among them
inline ref::Bytes utf8_text(const uint8_t *p, size_t n) {
  ref::Bytes out;
  for (size_t i = 0; i + 1 < n; i += 2) {
    uint8_t t = p[i], x = p[i + 1];
    uint32_t v = static_cast<uint32_t>(t & 0x3F) << 8 | x;
    switch (t >> 6) {
      case 0:
        if (x < 0x80) out.append((t & 0x3F) + 1u, x != 0 ? static_cast<char>(x) : ' ');
        else out += static_cast<char>(x);
        break;
      case 1: out += ref::encode_utf8(0x80 + v % 0x780); break;
      case 2: out += ref::encode_utf8(0x800 + v * 0xF7FFu / 0x3FFF); break;
      default: out += ref::encode_utf8(0x10000 + v * 0x12FFFFu / 0x3FFF); break;
    }
  }
  return out;
}

// UTF-16 tokens:
//   class 0: (t & 0x3F) + 1 copies of the unit x (0 as a space)
//   class 1: a unit from 0x80 to 0x7FF
//   class 2: a unit from 0x800 to 0xFFFF, lone surrogates among them
//   class 3: the surrogate pair of a code point from 0x10000 to 0x10FFFF
inline ref::Units utf16_text(const uint8_t *p, size_t n) {
  ref::Units out;
  for (size_t i = 0; i + 1 < n; i += 2) {
    uint8_t t = p[i], x = p[i + 1];
    uint32_t v = static_cast<uint32_t>(t & 0x3F) << 8 | x;
    switch (t >> 6) {
      case 0: out.insert(out.end(), (t & 0x3F) + 1u, x != 0 ? x : 0x20); break;
      case 1: out.push_back(static_cast<uint16_t>(0x80 + v % 0x780)); break;
      case 2: out.push_back(static_cast<uint16_t>(0x800 + v * 0xF7FFu / 0x3FFF)); break;
      default: ref::append_utf16(&out, 0x10000 + v * 0xFFFFFu / 0x3FFF); break;
    }
  }
  return out;
}

}  // namespace tokens

#endif
