// Text entering and leaving the runtime: host_utf8_to_strbuf,
// host_utf8_to_new_str and str_to_host_utf8 against the replacing reference
// codec (one U+FFFD per maximal ill-formed UTF-8 subsequence, U+FFFD for an
// unpaired surrogate on the way out).
//
// Input: one byte giving how many units of other text stand in the buffer
// before the start, then the data. The data up to its first NUL is the host
// text to decode; the data read as UTF-16 units (two bytes each, low byte
// first) up to the first 0 unit is the runtime text to encode.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/textconv.h"
#include "fuzz_check.h"
#include "reference_codec.h"

namespace {

// Decodes into the buffer behind `prefix_units` units of other text, as a
// runtime operation appends its result to an expression.
void check_into_buffer(const std::string &host, const ref::Units &want, size_t prefix_units) {
  strbuf_init();
  ref::Units prefix;
  for (size_t i = 0; i < prefix_units; ++i) prefix.push_back(static_cast<uint16_t>('a' + i % 26));
  prefix.push_back(0);
  strbuf_append(prefix.data());
  const int32_t start = strbuf_position();
  FUZZ_CHECK(start == static_cast<int32_t>(2 * prefix_units));

  int32_t n = host_utf8_to_strbuf(host.c_str(), start);
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

void check_new_str(const std::string &host, const ref::Units &want) {
  RtString s = host_utf8_to_new_str(host.c_str());
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const size_t prefix_units = data[0];
  const uint8_t *rest = data + 1;
  const size_t rest_size = size - 1;

  // UTF-8 into the runtime.
  const std::string host(reinterpret_cast<const char *>(rest), strnlen(reinterpret_cast<const char *>(rest), rest_size));
  size_t ill_formed = 0;
  const ref::Units want = ref::decode_replacing(reinterpret_cast<const uint8_t *>(host.data()), host.size(), &ill_formed);
  check_into_buffer(host, want, prefix_units);
  check_new_str(host, want);

  // And out again: the decoded text holds no unpaired surrogate, so it comes
  // back as the host text with each ill-formed part as EF BF BD, and as the
  // host text itself when that was well-formed.
  ref::Units decoded = want;
  decoded.push_back(0);
  HostString again = str_to_host_utf8(decoded.data());
  FUZZ_CHECK(again != nullptr);
  FUZZ_CHECK(ref::encode_replacing(want.data(), want.size()) == again);
  if (ill_formed == 0) FUZZ_CHECK(host == again);
  host_string_free(again);

  // Arbitrary runtime text out of the runtime, in an exact-size copy.
  size_t units = 0;
  while (2 * units + 1 < rest_size && (rest[2 * units] | rest[2 * units + 1]) != 0) ++units;
  std::unique_ptr<RtChar[]> text(new RtChar[units + 1]);
  for (size_t i = 0; i < units; ++i) text[i] = static_cast<RtChar>(rest[2 * i] | rest[2 * i + 1] << 8);
  text[units] = 0;
  check_to_host(text.get(), units);

  HostString empty = str_to_host_utf8(nullptr);
  FUZZ_CHECK(empty != nullptr && empty[0] == 0);
  host_string_free(empty);
  return 0;
}
