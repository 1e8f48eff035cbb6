// Text entering and leaving the runtime: host_utf8_to_strbuf,
// host_utf8_to_new_str and str_to_host_utf8 against the replacing reference
// codec (one U+FFFD per maximal ill-formed UTF-8 subsequence, U+FFFD for an
// unpaired surrogate on the way out), and the portable fast paths of that
// codec.
//
// Input: one flag byte, then the data. The data up to its first NUL is the
// host text to decode; the data read as UTF-16 units (two bytes each, low
// byte first) up to the first 0 unit is the runtime text to encode.
//   bit 7      token mode: the data is tokens of mostly well-formed text
//              (text_tokens.h), read once as UTF-8 and once as UTF-16
//   bits 0-6   units of other text in the buffer before the start
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/textconv.h"
#include "core/textconv_internal.h"
#include "fuzz_check.h"
#include "reference_codec.h"
#include "text_tokens.h"

namespace {

// Decodes into the buffer behind `prefix_units` units of other text, as a
// runtime operation appends its result to an expression.
void check_into_buffer(const char *host, const ref::Units &want, size_t prefix_units) {
  strbuf_init();
  ref::Units prefix;
  for (size_t i = 0; i < prefix_units; ++i) prefix.push_back(static_cast<uint16_t>('a' + i % 26));
  prefix.push_back(0);
  strbuf_append(prefix.data());
  const int32_t start = strbuf_position();
  FUZZ_CHECK(start == static_cast<int32_t>(2 * prefix_units));

  int32_t n = host_utf8_to_strbuf(host, start);
  FUZZ_CHECK(n == static_cast<int32_t>(want.size() + 1));
  FUZZ_CHECK(strbuf_position() >= start);
  FUZZ_CHECK(strbuf_position() == start + 2 * static_cast<int32_t>(want.size()));
  FUZZ_CHECK(temp_strbuf.position + 4 < temp_strbuf.capacity);
  const RtChar *text = strbuf_text_at(start);
  FUZZ_CHECK(ref::Units(text, text + want.size()) == want);
  FUZZ_CHECK(text[want.size()] == 0);
  const RtChar *before = strbuf_text_at(0);
  FUZZ_CHECK(ref::Units(before, before + prefix_units) == ref::Units(prefix.begin(), prefix.end() - 1));

  // Null host text is the empty text: just a terminator at the position.
  const int32_t end = strbuf_position();
  FUZZ_CHECK(host_utf8_to_strbuf(nullptr, end) == 1);
  FUZZ_CHECK(strbuf_position() == end);
  FUZZ_CHECK(strbuf_text_at(end)[0] == 0);
  strbuf_release();
}

void check_new_str(const char *host, const ref::Units &want) {
  RtString s = host_utf8_to_new_str(host);
  FUZZ_CHECK(s != nullptr);
  FUZZ_CHECK(ref::Units(s, s + want.size()) == want);
  FUZZ_CHECK(s[want.size()] == 0);
  free(s);
}

// Encodes a terminated runtime text of `length` units and checks the host
// string against the reference, and that it is well-formed UTF-8.
void check_to_host(const RtChar *text, size_t length) {
  ref::Bytes want = ref::encode_replacing(text, length);
  HostString h = str_to_host_utf8(text);
  FUZZ_CHECK(h != nullptr);
  FUZZ_CHECK(strlen(h) == want.size());
  FUZZ_CHECK(want.compare(0, want.size(), h, want.size()) == 0);
  size_t ill_formed = 1;
  ref::decode_replacing(reinterpret_cast<const uint8_t *>(h), want.size(), &ill_formed);
  FUZZ_CHECK(ill_formed == 0);
  host_string_free(h);
}

// The portable fast paths of the replacing decoder and encoder, which the
// 32-bit build runs whatever this build's converters use: counting, then
// converting into exactly the counted room.
void check_portable_decode(const char *host, size_t host_length, const ref::Units &want) {
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(host);
  const int64_t length = static_cast<int64_t>(host_length);
  int64_t n = textconv_utf8_to_utf16_replacing_portable(bytes, length, nullptr, 0);
  FUZZ_CHECK(n == static_cast<int64_t>(want.size()));
  std::unique_ptr<RtChar[]> out(new RtChar[static_cast<size_t>(n)]);
  FUZZ_CHECK(textconv_utf8_to_utf16_replacing_portable(bytes, length, out.get(), n) == n);
  FUZZ_CHECK(ref::Units(out.get(), out.get() + n) == want);
}

void check_portable_encode(const RtChar *text, size_t length) {
  ref::Bytes want = ref::encode_replacing(text, length);
  int64_t n = textconv_utf16_to_utf8_replacing_portable(text, static_cast<int64_t>(length), nullptr, 0);
  FUZZ_CHECK(n == static_cast<int64_t>(want.size()));
  std::unique_ptr<char[]> out(new char[static_cast<size_t>(n)]);
  FUZZ_CHECK(textconv_utf16_to_utf8_replacing_portable(text, static_cast<int64_t>(length), out.get(), n) == n);
  FUZZ_CHECK(ref::Bytes(out.get(), static_cast<size_t>(n)) == want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const bool token_mode = data[0] & 0x80;
  const size_t prefix_units = data[0] & 0x7F;
  const uint8_t *rest = data + 1;
  const size_t rest_size = size - 1;

  // UTF-8 into the runtime: the host text ends at its first NUL and lies in
  // an exact-size block, so the sanitizer sees a read past its terminator.
  ref::Bytes bytes = token_mode ? tokens::utf8_text(rest, rest_size)
                                : ref::Bytes(reinterpret_cast<const char *>(rest), rest_size);
  bytes.resize(strnlen(bytes.c_str(), bytes.size()));
  std::unique_ptr<char[]> host(new char[bytes.size() + 1]);
  memcpy(host.get(), bytes.c_str(), bytes.size() + 1);
  size_t ill_formed = 0;
  const ref::Units want = ref::decode_replacing(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), &ill_formed);
  check_into_buffer(host.get(), want, prefix_units);
  check_new_str(host.get(), want);
  check_portable_decode(host.get(), bytes.size(), want);

  // And out again: the decoded text holds no unpaired surrogate, so it comes
  // back as the host text with each ill-formed part as EF BF BD, and as the
  // host text itself when that was well-formed.
  std::unique_ptr<RtChar[]> decoded(new RtChar[want.size() + 1]);
  std::copy(want.begin(), want.end(), decoded.get());
  decoded[want.size()] = 0;
  HostString again = str_to_host_utf8(decoded.get());
  FUZZ_CHECK(again != nullptr);
  FUZZ_CHECK(ref::encode_replacing(want.data(), want.size()) == again);
  if (ill_formed == 0) FUZZ_CHECK(bytes == again);
  host_string_free(again);

  // Any runtime text out of the runtime, up to its first 0 unit, in an
  // exact-size copy.
  ref::Units units;
  if (token_mode) {
    units = tokens::utf16_text(rest, rest_size);
  } else {
    for (size_t i = 0; i + 1 < rest_size; i += 2) units.push_back(static_cast<uint16_t>(rest[i] | rest[i + 1] << 8));
  }
  units.resize(static_cast<size_t>(std::find(units.begin(), units.end(), 0) - units.begin()));
  std::unique_ptr<RtChar[]> text(new RtChar[units.size() + 1]);
  std::copy(units.begin(), units.end(), text.get());
  text[units.size()] = 0;
  check_to_host(text.get(), units.size());
  check_portable_encode(text.get(), units.size());

  HostString empty = str_to_host_utf8(nullptr);
  FUZZ_CHECK(empty != nullptr && empty[0] == 0);
  host_string_free(empty);
  return 0;
}
