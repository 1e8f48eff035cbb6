// Reference codecs for the conversion fuzz targets: slow, one character at a
// time, written to be read against the rules rather than to be fast. They
// share no code with the runtime.
//
// - The classic pair behind utf16_to_multibyte and multibyte_to_utf16, with
//   their rules for malformed input: first split the source into characters
//   up to the first malformed place, then count or convert from that list.
// - The replacing pair behind host_utf8_to_strbuf, host_utf8_to_new_str and
//   str_to_host_utf8: every maximal ill-formed UTF-8 subsequence becomes one
//   U+FFFD, and so does every unpaired surrogate on the way out.
#ifndef KRT_FUZZ_REFERENCE_CODEC_H
#define KRT_FUZZ_REFERENCE_CODEC_H

#include <cstdint>
#include <string>
#include <vector>

namespace ref {

using Units = std::vector<uint16_t>;
using Bytes = std::string;

constexpr uint32_t kReplacement = 0xFFFD;

inline bool is_high(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
inline bool is_low(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
inline bool is_continuation(uint8_t b) { return b >= 0x80 && b <= 0xBF; }

// Standard UTF-8 of a value up to 0x10FFFF (surrogate values included).
inline Bytes encode_utf8(uint32_t cp) {
  Bytes b;
  if (cp < 0x80) {
    b += static_cast<char>(cp);
  } else if (cp < 0x800) {
    b += static_cast<char>(0xC0 | (cp >> 6));
    b += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    b += static_cast<char>(0xE0 | (cp >> 12));
    b += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    b += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    b += static_cast<char>(0xF0 | (cp >> 18));
    b += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    b += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    b += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return b;
}

inline void append_utf16(Units *out, uint32_t cp) {
  if (cp > 0xFFFF) {
    out->push_back(static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
    out->push_back(static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
  } else {
    out->push_back(static_cast<uint16_t>(cp));
  }
}

// What a converting pass gives: its result and the bytes or units that
// result covers (what a failed pass left in the destination is no result).
struct ToBytes {
  int32_t result;
  Bytes written;
};
struct ToUnits {
  int32_t result;
  Units written;
};

// ---- Classic UTF-16 to UTF-8 -------------------------------------------------

enum class Char16Kind { kCharacter, kHighAtEnd, kHighBeforeOther };
struct Char16 {
  uint32_t cp;
  Char16Kind kind;
};

// The characters of the source up to and including the first unpaired high
// surrogate. Any other unit, a lone low surrogate too, is a character.
inline std::vector<Char16> split_utf16(const uint16_t *s, int32_t length) {
  std::vector<Char16> chars;
  for (int32_t i = 0; i < length; ++i) {
    uint32_t u = s[i];
    if (!is_high(u)) {
      chars.push_back({u, Char16Kind::kCharacter});
    } else if (i + 1 == length) {
      chars.push_back({u, Char16Kind::kHighAtEnd});
      break;
    } else if (!is_low(s[i + 1])) {
      chars.push_back({u, Char16Kind::kHighBeforeOther});
      break;
    } else {
      chars.push_back({0x10000 + ((u - 0xD800) << 10) + (s[i + 1] - 0xDC00u), Char16Kind::kCharacter});
      ++i;
    }
  }
  return chars;
}

// Counting pass: the bytes of the characters before the first malformed place.
inline int32_t utf16_to_utf8_count(const uint16_t *s, int32_t length) {
  int32_t n = 0;
  for (const Char16 &c : split_utf16(s, length)) {
    if (c.kind != Char16Kind::kCharacter) break;
    n += static_cast<int32_t>(encode_utf8(c.cp).size());
  }
  return n;
}

// Converting pass into `size` bytes: room is checked before each character; a
// sequence that does not fit whole is not started; an unpaired high surrogate
// at the end gives the bytes so far, one before another unit gives 0.
inline ToBytes utf16_to_utf8_convert(const uint16_t *s, int32_t length, int32_t size) {
  Bytes out;
  if (size <= 0 || length <= 0) return {0, out};
  for (const Char16 &c : split_utf16(s, length)) {
    if (static_cast<int32_t>(out.size()) >= size) break;
    if (c.kind == Char16Kind::kHighAtEnd) break;
    if (c.kind == Char16Kind::kHighBeforeOther) return {0, Bytes()};
    Bytes seq = encode_utf8(c.cp);
    if (static_cast<int32_t>(out.size() + seq.size()) > size) break;
    out += seq;
  }
  return {static_cast<int32_t>(out.size()), out};
}

// ---- Latin-1 ----------------------------------------------------------------

inline int32_t utf16_to_latin1_count(const uint16_t *s, int32_t length) {
  int32_t n = 0;
  for (int32_t i = 0; i < length; ++i)
    if (s[i] <= 0xFF) ++n;
  return n;
}

// Units up to 255 become one byte each; larger ones are dropped.
inline ToBytes utf16_to_latin1_convert(const uint16_t *s, int32_t length, int32_t size) {
  Bytes out;
  for (int32_t i = 0; i < length && static_cast<int32_t>(out.size()) < size; ++i)
    if (s[i] <= 0xFF) out += static_cast<char>(s[i]);
  return {static_cast<int32_t>(out.size()), out};
}

inline ToUnits latin1_to_utf16_convert(const uint8_t *s, int32_t length, int32_t size) {
  Units out;
  for (int32_t i = 0; i < length && i < size; ++i) out.push_back(s[i]);
  return {static_cast<int32_t>(out.size()), out};
}

// ---- Classic UTF-8 to UTF-16 -------------------------------------------------

enum class Char8Kind { kCharacter, kBadLead, kCut, kTooLarge };
struct Char8 {
  uint32_t value;
  Char8Kind kind;
};

// The sequences of the source up to and including the first malformed place.
// A lead announces 1, 2 or 3 continuation bytes (C0-DF, E0-EF, F0-F7); the
// first byte among them that is not a continuation ends the sequence and is
// dropped with it, the value assembled so far standing. Overlong forms and
// encoded surrogates are values like any other.
inline std::vector<Char8> split_utf8(const uint8_t *s, int32_t length) {
  std::vector<Char8> chars;
  int32_t i = 0;
  while (i < length) {
    uint8_t lead = s[i];
    int announced;
    uint32_t value;
    if (lead <= 0x7F) {
      announced = 0, value = lead;
    } else if (lead >= 0xC0 && lead <= 0xDF) {
      announced = 1, value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      announced = 2, value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF7) {
      announced = 3, value = lead & 0x07;
    } else {
      chars.push_back({lead, Char8Kind::kBadLead});
      return chars;
    }
    if (length - i - 1 < announced) {
      chars.push_back({lead, Char8Kind::kCut});
      return chars;
    }
    i += 1;
    for (int k = 0; k < announced; ++k) {
      uint8_t b = s[i];
      i += 1;
      if (!is_continuation(b)) break;
      value = (value << 6) | (b & 0x3F);
    }
    if (value > 0x10FFFF) {
      chars.push_back({value, Char8Kind::kTooLarge});
      return chars;
    }
    chars.push_back({value, Char8Kind::kCharacter});
  }
  return chars;
}

inline int32_t utf8_to_utf16_count(const uint8_t *s, int32_t length) {
  int32_t n = 0;
  for (const Char8 &c : split_utf8(s, length)) {
    if (c.kind != Char8Kind::kCharacter) break;
    n += c.value > 0xFFFF ? 2 : 1;
  }
  return n;
}

// Converting pass into `size` units: a bad lead gives 0; a cut sequence, a
// value above 0x10FFFF or no room for the next unit (or for both units of a
// pair) gives the units so far.
inline ToUnits utf8_to_utf16_convert(const uint8_t *s, int32_t length, int32_t size) {
  Units out;
  for (const Char8 &c : split_utf8(s, length)) {
    if (c.kind == Char8Kind::kBadLead) return {0, Units()};
    if (c.kind != Char8Kind::kCharacter) break;
    int32_t need = c.value > 0xFFFF ? 2 : 1;
    if (size - static_cast<int32_t>(out.size()) < need) break;
    append_utf16(&out, c.value);
  }
  return {static_cast<int32_t>(out.size()), out};
}

// ---- Replacing UTF-8 decoder --------------------------------------------------

// Bytes of a sequence whose lead is b, or 0 when b can start none.
inline int sequence_length(uint8_t b) {
  if (b <= 0x7F) return 1;
  if (b >= 0xC0 && b <= 0xDF) return 2;
  if (b >= 0xE0 && b <= 0xEF) return 3;
  if (b >= 0xF0 && b <= 0xF7) return 4;
  return 0;
}

// True when some scalar value written in shortest form in `len` bytes starts
// with the k bytes at s (lead plus k - 1 continuation bytes). The values
// starting with those bytes form one interval: the bits so far followed by
// all zeros up to all ones.
inline bool completable(const uint8_t *s, int k, int len) {
  static const uint8_t kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  uint32_t bits = s[0] & kLeadMask[len];
  for (int j = 1; j < k; ++j) bits = (bits << 6) | (s[j] & 0x3F);
  int missing = 6 * (len - k);
  uint32_t lo = bits << missing;
  uint32_t hi = lo | ((1u << missing) - 1);
  auto overlaps = [&](uint32_t a, uint32_t b) { return lo <= b && hi >= a; };
  switch (len) {
    case 2: return overlaps(0x80, 0x7FF);
    case 3: return overlaps(0x800, 0xD7FF) || overlaps(0xE000, 0xFFFF);
    case 4: return overlaps(0x10000, 0x10FFFF);
    default: return false;
  }
}

// Decodes s, each maximal ill-formed subsequence (the longest start of a
// well-formed sequence, or else one byte) as one U+FFFD. `replaced` counts
// them.
inline Units decode_replacing(const uint8_t *s, size_t length, size_t *replaced = nullptr) {
  Units out;
  size_t bad = 0;
  size_t i = 0;
  while (i < length) {
    int len = sequence_length(s[i]);
    if (len == 1) {
      out.push_back(s[i]);
      i += 1;
      continue;
    }
    int k = 1;  // bytes of a completable start taken so far
    if (len > 0 && completable(s + i, 1, len)) {
      while (k < len && i + k < length && is_continuation(s[i + k]) && completable(s + i, k + 1, len)) ++k;
    }
    if (len > 0 && k == len) {
      uint32_t cp = s[i] & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
      for (int j = 1; j < len; ++j) cp = (cp << 6) | (s[i + j] & 0x3F);
      append_utf16(&out, cp);
    } else {
      out.push_back(static_cast<uint16_t>(kReplacement));
      ++bad;
    }
    i += static_cast<size_t>(k);
  }
  if (replaced != nullptr) *replaced = bad;
  return out;
}

// UTF-8 of s with each unpaired surrogate as U+FFFD.
inline Bytes encode_replacing(const uint16_t *s, size_t length) {
  Bytes out;
  for (size_t i = 0; i < length; ++i) {
    uint32_t u = s[i];
    if (is_high(u) && i + 1 < length && is_low(s[i + 1])) {
      out += encode_utf8(0x10000 + ((u - 0xD800) << 10) + (s[i + 1] - 0xDC00u));
      ++i;
    } else if (is_high(u) || is_low(u)) {
      out += encode_utf8(kReplacement);
    } else {
      out += encode_utf8(u);
    }
  }
  return out;
}

// True when s has no unpaired surrogate.
inline bool well_formed_utf16(const uint16_t *s, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (is_high(s[i]) && i + 1 < length && is_low(s[i + 1])) ++i;
    else if (is_high(s[i]) || is_low(s[i])) return false;
  }
  return true;
}

}  // namespace ref

#endif
