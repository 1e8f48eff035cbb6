// multibyte_to_utf16, both code pages, against the reference decoder: the
// counting pass, the converting pass into a destination of exactly the
// counted size and into another size, the -1 length, and for well-formed
// text the round trip back through utf16_to_multibyte. The portable fast
// path behind it gets the same checks.
//
// Input: one flag byte, then the bytes to convert.
//   bit 0      code page: 0 UTF-8, 1 Latin-1
//   bit 1      pass length -1 over the bytes up to the first NUL
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
  ref::Units written;
};

// Converts through `pass` (destination, size) into a heap destination of
// exactly `size` units, so that the sanitizer build reports a single unit
// written past it.
template <class Pass>
Converted convert(Pass pass, int32_t size) {
  std::unique_ptr<RtChar[]> out(new RtChar[size > 0 ? static_cast<size_t>(size) : 0]);
  int32_t r = pass(out.get(), size);
  FUZZ_CHECK(r >= 0);
  FUZZ_CHECK(r <= (size > 0 ? size : 0));
  return {r, ref::Units(out.get(), out.get() + r)};
}

ref::ToUnits reference(bool latin1, const uint8_t *s, int32_t length, int32_t size) {
  return latin1 ? ref::latin1_to_utf16_convert(s, length, size) : ref::utf8_to_utf16_convert(s, length, size);
}

// The whole range decodes under the classic rules (overlong forms and
// encoded surrogates included).
bool decodes_whole(const uint8_t *s, int32_t length) {
  for (const ref::Char8 &c : ref::split_utf8(s, length))
    if (c.kind != ref::Char8Kind::kCharacter) return false;
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
Converted check_passes(Pass pass, bool latin1, const uint8_t *bytes, int32_t length, uint8_t picker) {
  int32_t want_count = latin1 ? length : ref::utf8_to_utf16_count(bytes, length);
  int32_t count = pass(nullptr, 0);
  FUZZ_CHECK(count == want_count);

  // The two-pass protocol: a destination of exactly the counted size.
  Converted exact = convert(pass, count);
  ref::ToUnits want = reference(latin1, bytes, length, count);
  FUZZ_CHECK(exact.result == want.result);
  FUZZ_CHECK(exact.written == want.written);
  bool whole = latin1 || decodes_whole(bytes, length);
  if (whole) FUZZ_CHECK(exact.result == count);

  // Another size: a fraction of the count, or a few short of it.
  int32_t size = other_size(count, picker);
  Converted other = convert(pass, size);
  ref::ToUnits want_other = reference(latin1, bytes, length, size);
  FUZZ_CHECK(other.result == want_other.result);
  FUZZ_CHECK(other.written == want_other.written);
  if (whole) FUZZ_CHECK(std::equal(other.written.begin(), other.written.end(), exact.written.begin()));
  return exact;
}

void check_range(bool latin1, const char *source, int32_t length, int32_t call_length, uint8_t picker) {
  const int32_t code_page = latin1 ? CODEPAGE_LATIN1 : CODEPAGE_UTF8;
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(source);
  Converted exact = check_passes(
      [&](RtChar *d, int32_t size) { return multibyte_to_utf16(code_page, source, call_length, d, size); }, latin1,
      bytes, length, picker);
  // The portable fast path, which the 32-bit build runs, whatever this build's
  // converters use.
  if (length > 0) {
    check_passes(
        [&](RtChar *d, int32_t size) {
          return latin1 ? textconv_latin1_to_utf16_portable(bytes, length, d, size)
                        : textconv_utf8_to_utf16_portable(bytes, length, d, size);
        },
        latin1, bytes, length, picker);
  }

  // Back again: well-formed UTF-8 comes back byte for byte, Latin-1 always.
  size_t ill_formed = 0;
  if (!latin1) ref::decode_replacing(bytes, static_cast<size_t>(length), &ill_formed);
  const int32_t count = static_cast<int32_t>(exact.written.size());
  if (ill_formed != 0 || count == 0) return;
  int32_t n = utf16_to_multibyte(code_page, exact.written.data(), count, nullptr, 0);
  FUZZ_CHECK(n == length);
  std::unique_ptr<char[]> back(new char[static_cast<size_t>(n)]);
  FUZZ_CHECK(utf16_to_multibyte(code_page, exact.written.data(), count, back.get(), n) == n);
  FUZZ_CHECK(memcmp(back.get(), source, static_cast<size_t>(n)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const bool latin1 = data[0] & 1;
  const bool terminated = data[0] & 2;
  const bool token_mode = data[0] & 4;
  const uint8_t picker = static_cast<uint8_t>(data[0] >> 3);
  ref::Bytes text = token_mode ? tokens::utf8_text(data + 1, size - 1)
                               : ref::Bytes(reinterpret_cast<const char *>(data + 1), size - 1);
  if (terminated) {
    // -1 means the bytes up to and including the first NUL.
    text.resize(strnlen(text.c_str(), text.size()));
    text.push_back(0);
  }
  const size_t length = text.size();
  // An exact-size copy: the sanitizer sees a read past the last byte.
  std::unique_ptr<char[]> bytes(new char[length]);
  memcpy(bytes.get(), text.data(), length);
  check_range(latin1, bytes.get(), static_cast<int32_t>(length), terminated ? -1 : static_cast<int32_t>(length),
              picker);

  // Other code pages convert nothing.
  RtChar sink[4];
  FUZZ_CHECK(multibyte_to_utf16(437, bytes.get(), static_cast<int32_t>(length), nullptr, 0) == 0);
  FUZZ_CHECK(multibyte_to_utf16(437, bytes.get(), static_cast<int32_t>(length), sink, 4) == 0);
  return 0;
}
