// multibyte_to_utf16, both code pages, against the reference decoder: the
// counting pass, the converting pass into a destination of exactly the
// counted size and into another size, the -1 length, and for well-formed
// text the round trip back through utf16_to_multibyte.
//
// Input: one flag byte, then the bytes to convert.
//   bit 0      code page: 0 UTF-8, 1 Latin-1
//   bit 1      pass length -1 over the bytes up to the first NUL
//   bits 2-7   picks the second destination size
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/textconv.h"
#include "fuzz_check.h"
#include "reference_codec.h"

namespace {

struct Converted {
  int32_t result;
  ref::Units written;
};

// Converts into a heap destination of exactly `size` units, so that the
// sanitizer build reports a single unit written past it.
Converted convert(int32_t code_page, const char *source, int32_t length, int32_t size) {
  std::unique_ptr<RtChar[]> out(new RtChar[size > 0 ? static_cast<size_t>(size) : 0]);
  int32_t r = multibyte_to_utf16(code_page, source, length, out.get(), size);
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

void check_range(bool latin1, const char *source, int32_t length, int32_t call_length, uint8_t picker) {
  const int32_t code_page = latin1 ? CODEPAGE_LATIN1 : CODEPAGE_UTF8;
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(source);
  int32_t want_count = latin1 ? length : ref::utf8_to_utf16_count(bytes, length);
  int32_t count = multibyte_to_utf16(code_page, source, call_length, nullptr, 0);
  FUZZ_CHECK(count == want_count);

  // The two-pass protocol: a destination of exactly the counted size.
  Converted exact = convert(code_page, source, call_length, count);
  ref::ToUnits want = reference(latin1, bytes, length, count);
  FUZZ_CHECK(exact.result == want.result);
  FUZZ_CHECK(exact.written == want.written);
  bool whole = latin1 || decodes_whole(bytes, length);
  if (whole) FUZZ_CHECK(exact.result == count);

  // Any other size, including 0 and one short of the count.
  int32_t size = static_cast<int32_t>(picker % (count + 2));
  if (picker & 1) size = count > 0 ? count - 1 : 0;
  if (picker == 62) size = -1;
  Converted other = convert(code_page, source, call_length, size);
  ref::ToUnits want_other = reference(latin1, bytes, length, size);
  FUZZ_CHECK(other.result == want_other.result);
  FUZZ_CHECK(other.written == want_other.written);
  if (whole) FUZZ_CHECK(std::equal(other.written.begin(), other.written.end(), exact.written.begin()));

  // Back again: well-formed UTF-8 comes back byte for byte, Latin-1 always.
  size_t ill_formed = 0;
  if (!latin1) ref::decode_replacing(bytes, static_cast<size_t>(length), &ill_formed);
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
  const uint8_t picker = static_cast<uint8_t>(data[0] >> 2);
  size_t length = size - 1;
  if (terminated) length = strnlen(reinterpret_cast<const char *>(data + 1), length) + 1;
  // An exact-size copy: the sanitizer sees a read past the last byte.
  std::unique_ptr<char[]> bytes(new char[length]);
  memcpy(bytes.get(), data + 1, terminated ? length - 1 : length);
  if (terminated) bytes[length - 1] = 0;
  check_range(latin1, bytes.get(), static_cast<int32_t>(length), terminated ? -1 : static_cast<int32_t>(length),
              picker);

  // Other code pages convert nothing.
  RtChar sink[4];
  FUZZ_CHECK(multibyte_to_utf16(437, bytes.get(), static_cast<int32_t>(length), nullptr, 0) == 0);
  FUZZ_CHECK(multibyte_to_utf16(437, bytes.get(), static_cast<int32_t>(length), sink, 4) == 0);
  return 0;
}
