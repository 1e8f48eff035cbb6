// Text conversion between UTF-16 runtime strings and 8-bit text.
#include "core/textconv.h"

#include <cstdlib>
#include <cstring>

#include "core/frame.h"

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

int32_t latin1_from_utf16(const RtChar *source, int32_t length, char *destination, int32_t size) {
  int32_t written = 0;
  if (destination == nullptr) {
    for (int32_t i = 0; i < length; ++i) written += source[i] < 256;
    return written;
  }
  for (int32_t i = 0; i < length && written < size; ++i)
    if (source[i] < 256) destination[written++] = static_cast<char>(source[i]);
  return written;
}

int32_t utf8_from_utf16(const RtChar *source, int32_t length, char *destination, int32_t size) {
  int64_t written = 0;
  int32_t i = 0;
  if (destination == nullptr) {
    while (i < length) {
      uint32_t u = source[i];
      if (u < 0x80) {
        ++written;
        ++i;
      } else if (is_high(u)) {
        if (i + 1 >= length || !is_low(source[i + 1])) break;
        written += 4;
        i += 2;
      } else {
        written += utf8_length_of(u);
        ++i;
      }
    }
    return written > INT32_MAX ? INT32_MAX : static_cast<int32_t>(written);
  }
  if (size <= 0) return 0;
  while (i < length && written < size) {
    uint32_t cp = source[i];
    int taken = 1;
    if (is_high(cp)) {
      if (i + 1 >= length) break;
      if (!is_low(source[i + 1])) return 0;
      cp = (((cp & 0x3FF) << 10) | (source[i + 1] & 0x3FF)) + 0x10000;
      taken = 2;
    }
    // A sequence is written whole or not at all, never past size.
    if (written + utf8_length_of(cp) > size) break;
    written += put_utf8(destination + written, cp);
    i += taken;
  }
  return static_cast<int32_t>(written);
}

int32_t utf16_from_latin1(const uint8_t *source, int32_t length, RtChar *destination, int32_t size) {
  if (destination == nullptr) return length;
  if (length == 0 || size <= 0) return 0;
  int32_t n = length < size ? length : size;
  for (int32_t i = 0; i < n; ++i) destination[i] = source[i];
  return n;
}

// The classic decoder: lenient about overlong forms and encoded surrogates,
// stopping at the malformed places its callers know about.
int32_t utf16_from_utf8(const uint8_t *source, int32_t length, RtChar *destination, int32_t size) {
  int32_t units = 0;
  int32_t i = 0;
  while (i < length) {
    uint32_t lead = source[i];
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
      return destination == nullptr ? units : 0;
    }
    if (length - i - 1 < announced) return units;
    ++i;
    for (int k = 0; k < announced; ++k) {
      uint8_t b = source[i++];
      if (!is_continuation(b)) break;  // the stray byte goes with the sequence
      value = value << 6 | (b & 0x3F);
    }
    if (value > 0x10FFFF) return units;
    if (value > 0xFFFF) {
      if (destination != nullptr) {
        if (size - units < 2) return units;
        destination[units] = static_cast<RtChar>(0xD800 | (value - 0x10000) >> 10);
        destination[units + 1] = static_cast<RtChar>(0xDC00 | ((value - 0x10000) & 0x3FF));
      }
      units += 2;
    } else {
      if (destination != nullptr) {
        if (size - units < 1) return units;
        destination[units] = static_cast<RtChar>(value);
      }
      units += 1;
    }
  }
  return units;
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

// Decodes well-formed UTF-8 with U+FFFD for each maximal ill-formed
// subsequence. A null destination counts the units; the destination must
// otherwise have room for the count.
int64_t utf16_from_utf8_replacing(const uint8_t *s, int64_t length, RtChar *destination) {
  int64_t units = 0;
  int64_t i = 0;
  while (i < length) {
    // Runs of ASCII, the common case, go eight bytes at a time.
    while (i + 8 <= length) {
      uint64_t word;
      memcpy(&word, s + i, 8);
      if (word & 0x8080808080808080ull) break;
      if (destination != nullptr)
        for (int k = 0; k < 8; ++k) destination[units + k] = s[i + k];
      units += 8;
      i += 8;
    }
    if (i >= length) break;
    uint32_t cp;
    int n = utf8_sequence(s + i, length - i, &cp);
    if (n < 0) {
      if (destination != nullptr) destination[units] = kReplacement;
      ++units;
      i += -n;
    } else if (cp > 0xFFFF) {
      if (destination != nullptr) {
        destination[units] = static_cast<RtChar>(0xD800 | (cp - 0x10000) >> 10);
        destination[units + 1] = static_cast<RtChar>(0xDC00 | ((cp - 0x10000) & 0x3FF));
      }
      units += 2;
      i += n;
    } else {
      if (destination != nullptr) destination[units] = static_cast<RtChar>(cp);
      ++units;
      i += n;
    }
  }
  return units;
}

// UTF-8 for a runtime string with every unpaired surrogate as U+FFFD. A null
// destination counts the bytes; otherwise it must have room for the count.
int64_t utf8_from_utf16_replacing(const RtChar *s, int64_t length, char *destination) {
  int64_t written = 0;
  for (int64_t i = 0; i < length; ++i) {
    uint32_t cp = s[i];
    if (cp < 0x80) {
      if (destination != nullptr) destination[written] = static_cast<char>(cp);
      ++written;
      continue;
    }
    if (is_high(cp) && i + 1 < length && is_low(s[i + 1])) {
      cp = (((cp & 0x3FF) << 10) | (s[i + 1] & 0x3FF)) + 0x10000;
      ++i;
    } else if (is_high(cp) || is_low(cp)) {
      cp = kReplacement;
    }
    if (destination != nullptr) written += put_utf8(destination + written, cp);
    else written += utf8_length_of(cp);
  }
  return written;
}

HostString new_empty_host_string() {
  char *empty = static_cast<char *>(malloc(1));
  if (empty == nullptr) rt_out_of_memory("a host string");
  empty[0] = 0;
  return empty;
}

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
  if (code_page == CODEPAGE_LATIN1) return latin1_from_utf16(source, length, destination, size);
  return utf8_from_utf16(source, length, destination, size);
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
  if (code_page == CODEPAGE_LATIN1) return utf16_from_latin1(bytes, length, destination, size);
  return utf16_from_utf8(bytes, length, destination, size);
}

HostString str_to_host_utf8(RtConstString text) {
  if (text == nullptr) return new_empty_host_string();
  int64_t length = rt_strlen(text);
  int64_t n = utf8_from_utf16_replacing(text, length, nullptr);
  char *host = static_cast<char *>(malloc(static_cast<size_t>(n + 1)));
  if (host == nullptr) return new_empty_host_string();
  utf8_from_utf16_replacing(text, length, host);
  host[n] = 0;
  return host;
}

void host_string_free(HostString host) { free(host); }

int32_t host_utf8_to_strbuf(const char *host, int32_t start) {
  if (host == nullptr) host = "";
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(host);
  int64_t length = static_cast<int64_t>(strlen(host));
  int64_t units = utf16_from_utf8_replacing(bytes, length, nullptr);
  if (units >= STRBUF_MAX_BYTES / 2) rt_out_of_memory("the temporary string buffer beyond 2 GiB");
  RtChar *destination = strbuf_reserve(static_cast<int32_t>(units), start);
  utf16_from_utf8_replacing(bytes, length, destination);
  destination[units] = 0;
  return static_cast<int32_t>(units + 1);
}

RtString host_utf8_to_new_str(const char *host) {
  if (host == nullptr) host = "";
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(host);
  int64_t length = static_cast<int64_t>(strlen(host));
  int64_t units = utf16_from_utf8_replacing(bytes, length, nullptr);
  if (static_cast<uint64_t>(units + 1) > SIZE_MAX / 2) return nullptr;
  RtString text = static_cast<RtString>(malloc(static_cast<size_t>(2 * (units + 1))));
  if (text == nullptr) return nullptr;
  utf16_from_utf8_replacing(bytes, length, text);
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
