// utf16_to_multibyte, both code pages, against the reference encoder: the
// counting pass, the converting pass into a destination of exactly the
// counted size and into another size, the -1 length, and the round trip back
// through multibyte_to_utf16. The portable fast path behind it gets the same
// checks.
//
// Input: one flag byte, then UTF-16 units, two bytes each, low byte first.
//   bit 0      code page: 0 UTF-8, 1 Latin-1
//   bit 1      pass length -1 over the units up to the first 0 unit
//   bit 2      token mode: the rest is tokens of mostly well-formed text
//              (text_tokens.h) instead of raw data
//   bits 3-7   picks the second destination size (other_size)
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/textconv.h"
#include "core/textconv_internal.h"
#include "fuzz_check.h"
#include "reference_codec.h"
#include "text_tokens.h"

namespace {

struct Converted {
  int32_t result;
  ref::Bytes written;
};

// Converts through `pass` (destination, size) into a heap destination of
// exactly `size` bytes, so that the sanitizer build reports a single byte
// written past it.
template <class Pass>
Converted convert(Pass pass, int32_t size) {
  std::unique_ptr<char[]> out(new char[size > 0 ? static_cast<size_t>(size) : 0]);
  int32_t r = pass(out.get(), size);
  FUZZ_CHECK(r >= 0);
  FUZZ_CHECK(r <= (size > 0 ? size : 0));
  return {r, ref::Bytes(out.get(), static_cast<size_t>(r))};
}

ref::ToBytes reference(bool latin1, const RtChar *s, int32_t length, int32_t size) {
  return latin1 ? ref::utf16_to_latin1_convert(s, length, size) : ref::utf16_to_utf8_convert(s, length, size);
}

// The range covers no unpaired high surrogate, so the counting pass reaches
// its end. (A lone low surrogate is encoded as itself and decodes back.)
bool reaches_the_end(const RtChar *s, int32_t length) {
  for (const ref::Char16 &c : ref::split_utf16(s, length))
    if (c.kind != ref::Char16Kind::kCharacter) return false;
  return true;
}

// The second destination size: picker 30 gives -1; an odd picker p the
// count less p / 2 (not below 0); an even one p / 28 of the count.
int32_t other_size(int32_t count, uint8_t picker) {
  if (picker == 30) return -1;
  if (picker & 1) return std::max(count - picker / 2, 0);
  return static_cast<int32_t>(int64_t{count} * picker / 28);
}

// Checks one converter's counting pass and its converting passes into the
// counted size and into a size chosen by `picker`; returns the exact-size
// conversion.
template <class Pass>
Converted check_passes(Pass pass, bool latin1, const RtChar *source, int32_t length, uint8_t picker) {
  int32_t want_count = latin1 ? ref::utf16_to_latin1_count(source, length) : ref::utf16_to_utf8_count(source, length);
  int32_t count = pass(nullptr, 0);
  FUZZ_CHECK(count == want_count);

  // The two-pass protocol: a destination of exactly the counted size.
  Converted exact = convert(pass, count);
  ref::ToBytes want = reference(latin1, source, length, count);
  FUZZ_CHECK(exact.result == want.result);
  FUZZ_CHECK(exact.written == want.written);
  bool well_formed = latin1 || reaches_the_end(source, length);
  if (well_formed) FUZZ_CHECK(exact.result == count);

  // Another size: a fraction of the count, or a few short of it.
  int32_t size = other_size(count, picker);
  Converted other = convert(pass, size);
  ref::ToBytes want_other = reference(latin1, source, length, size);
  FUZZ_CHECK(other.result == want_other.result);
  FUZZ_CHECK(other.written == want_other.written);
  if (well_formed && other.result > 0) FUZZ_CHECK(exact.written.compare(0, other.written.size(), other.written) == 0);
  return exact;
}

void check_range(bool latin1, const RtChar *source, int32_t length, int32_t call_length, uint8_t picker) {
  const int32_t code_page = latin1 ? CODEPAGE_LATIN1 : CODEPAGE_UTF8;
  Converted exact = check_passes(
      [&](char *d, int32_t size) { return utf16_to_multibyte(code_page, source, call_length, d, size); }, latin1,
      source, length, picker);
  // The portable fast path, which the 32-bit build runs, whatever this build's
  // converters use.
  if (length > 0) {
    check_passes(
        [&](char *d, int32_t size) {
          return latin1 ? textconv_utf16_to_latin1_portable(source, length, d, size)
                        : textconv_utf16_to_utf8_portable(source, length, d, size);
        },
        latin1, source, length, picker);
  }

  // Back again: UTF-8 restores every unit, Latin-1 every unit up to 255.
  const int32_t count = static_cast<int32_t>(exact.written.size());
  if (!(latin1 || reaches_the_end(source, length)) || count == 0) return;
  const char *bytes = exact.written.data();
  int32_t units = multibyte_to_utf16(code_page, bytes, count, nullptr, 0);
  std::unique_ptr<RtChar[]> back(new RtChar[static_cast<size_t>(units)]);
  int32_t r = multibyte_to_utf16(code_page, bytes, count, back.get(), units);
  FUZZ_CHECK(r == units);
  ref::Units kept;
  for (int32_t i = 0; i < length; ++i)
    if (!latin1 || source[i] <= 0xFF) kept.push_back(source[i]);
  FUZZ_CHECK(ref::Units(back.get(), back.get() + r) == kept);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const bool latin1 = data[0] & 1;
  const bool terminated = data[0] & 2;
  const bool token_mode = data[0] & 4;
  const uint8_t picker = static_cast<uint8_t>(data[0] >> 3);
  ref::Units all;
  if (token_mode) {
    all = tokens::utf16_text(data + 1, size - 1);
  } else {
    for (size_t i = 1; i + 1 < size; i += 2) all.push_back(static_cast<uint16_t>(data[i] | data[i + 1] << 8));
  }
  if (terminated) {
    // -1 means the units up to and including the first 0 unit.
    size_t len = 0;
    while (len < all.size() && all[len] != 0) ++len;
    all.resize(len);
    all.push_back(0);
  }
  // An exact-size copy: the sanitizer sees a read past the last unit.
  std::unique_ptr<RtChar[]> units(new RtChar[all.size()]);
  std::copy(all.begin(), all.end(), units.get());
  const int32_t length = static_cast<int32_t>(all.size());
  check_range(latin1, units.get(), length, terminated ? -1 : length, picker);

  // Other code pages convert nothing.
  char sink[4];
  FUZZ_CHECK(utf16_to_multibyte(1252, units.get(), length, nullptr, 0) == 0);
  FUZZ_CHECK(utf16_to_multibyte(1252, units.get(), length, sink, 4) == 0);
  return 0;
}
