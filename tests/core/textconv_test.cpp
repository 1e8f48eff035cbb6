// Both converters, exact to their counting and converting results, and the
// routines that move text in and out of the runtime.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/textconv.h"
#include "support/alloc_seam.h"
#include "text_helpers.h"

namespace {

using Units = std::vector<RtChar>;
using Bytes = std::string;

std::string hex(const Bytes &b) {
  std::string s;
  char t[4];
  for (unsigned char c : b) {
    snprintf(t, sizeof t, "%02X ", c);
    s += t;
  }
  return s;
}

struct ToMultibyte {
  int32_t code_page;
  Units source;
  int32_t length;  // -1 uses the terminator of source (source must end in 0)
  int32_t count;   // counting pass
  int32_t size;    // destination size for the converting pass
  int32_t result;  // converting pass
  Bytes bytes;     // bytes written
  const char *why;
};

TEST(Utf16ToMultibyte, CountingAndConvertingTable) {
  const ToMultibyte cases[] = {
      {65001, {0xE9, 0}, -1, 3, 3, 3, Bytes("\xC3\xA9\0", 3), "e acute with terminator"},
      {65001, {0x20AC}, 1, 3, 3, 3, "\xE2\x82\xAC", "euro sign"},
      {65001, {0xD83D, 0xDE00}, 2, 4, 4, 4, "\xF0\x9F\x98\x80", "surrogate pair"},
      {65001, {0xDC00}, 1, 3, 3, 3, "\xED\xB0\x80", "lone low surrogate encodes itself"},
      {65001, {'x', 0xD83D, 'A'}, 3, 1, 8, 0, "x", "high surrogate before a letter: count stops, convert fails"},
      {65001, {'x', 0xD83D}, 2, 1, 8, 1, "x", "high surrogate ends the range"},
      {65001, {'a', 'b'}, 0, 0, 8, 0, "", "empty range"},
      {65001, {'a', 'b'}, 2, 2, 0, 0, "", "size 0"},
      {65001, {'a', 0x20AC}, 2, 4, 3, 1, "a", "a sequence that does not fit is not started"},
      {65001, {'a', 'b', 'c'}, 3, 3, 2, 2, "ab", "stops at size"},
      {0, {'a', 0xE9, 0x20AC, 0}, -1, 3, 3, 3, Bytes("a\xE9\0", 3), "Latin-1 drops the euro"},
      {0, {'a', 'b', 'c'}, 3, 3, 2, 2, "ab", "Latin-1 stops at size"},
      {0, {'a'}, 0, 0, 4, 0, "", "Latin-1 empty range"},
      {1252, {'a'}, 1, 0, 4, 0, "", "unknown code page"},
  };
  for (const ToMultibyte &c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(utf16_to_multibyte(c.code_page, c.source.data(), c.length, nullptr, 0), c.count);
    // Exactly sized so that the sanitizer catches a write past size.
    std::vector<char> out(static_cast<size_t>(c.size > 0 ? c.size : 1), '\x7F');
    int32_t r = utf16_to_multibyte(c.code_page, c.source.data(), c.length, out.data(), c.size);
    EXPECT_EQ(r, c.result);
    Bytes written(out.data(), static_cast<size_t>(r > 0 ? r : 0));
    if (c.result != 0) {
      EXPECT_EQ(hex(written), hex(c.bytes));
    }
  }
}

struct ToUtf16 {
  int32_t code_page;
  Bytes source;
  int32_t length;  // -1: source is NUL-terminated
  int32_t count;
  int32_t size;
  int32_t result;
  Units units;
  const char *why;
};

TEST(MultibyteToUtf16, CountingAndConvertingTable) {
  const ToUtf16 cases[] = {
      {65001, "\xC3\xA9", 2, 1, 1, 1, {0xE9}, "two-byte sequence"},
      {65001, "\xF0\x9F\x98\x80", 4, 2, 2, 2, {0xD83D, 0xDE00}, "four bytes give a pair"},
      {65001, "a\xF0\x9F\x98\x80", 5, 3, 2, 1, {'a'}, "no room for the pair: nothing more"},
      {65001, "\x80" "abc", 4, 0, 4, 0, {}, "stray continuation first"},
      {65001, "ab\xF8", 3, 2, 4, 0, {}, "F8 lead: count so far, convert fails"},
      {65001, "a\xF4\x90\x80\x80" "b", 6, 1, 4, 1, {'a'}, "above U+10FFFF stops"},
      {65001, "ab\xE2\x82", 4, 2, 4, 2, {'a', 'b'}, "cut sequence at the end stops"},
      {65001, "\xC3" "AB", 3, 2, 4, 2, {0x0003, 'B'}, "a non-continuation byte goes with the sequence"},
      {65001, Bytes("\xC0\x80", 2), 2, 1, 1, 1, {0}, "overlong NUL is kept"},
      {65001, "\xED\xA0\x80", 3, 1, 1, 1, {0xD800}, "encoded surrogate is kept"},
      {65001, "h\xC3\xA9", -1, 3, 3, 3, {'h', 0xE9, 0}, "-1 includes the terminator"},
      {65001, "", 0, 0, 4, 0, {}, "empty range"},
      {0, "abc", 3, 3, 2, 2, {'a', 'b'}, "Latin-1 into two units"},
      {0, "\xE9\xFF", 2, 2, 2, 2, {0xE9, 0xFF}, "Latin-1 widens bytes"},
      {0, "abc", 3, 3, 0, 0, {}, "Latin-1 size 0"},
      {437, "abc", 3, 0, 4, 0, {}, "unknown code page"},
  };
  for (const ToUtf16 &c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(multibyte_to_utf16(c.code_page, c.source.data(), c.length, nullptr, 0), c.count);
    std::vector<RtChar> out(static_cast<size_t>(c.size > 0 ? c.size : 1), 0x7777);
    int32_t r = multibyte_to_utf16(c.code_page, c.source.data(), c.length, out.data(), c.size);
    EXPECT_EQ(r, c.result);
    if (r > 0) {
      EXPECT_EQ(Units(out.begin(), out.begin() + r), c.units);
    }
  }
  EXPECT_EQ(multibyte_to_utf16(65001, nullptr, -1, nullptr, 0), 0);
}

TEST(StrToHostUtf8, EncodesWithUnpairedSurrogatesReplaced) {
  struct Case {
    Units text;
    Bytes want;
    const char *why;
  } cases[] = {
      {{0}, "", "empty text"},
      {{'h', 0xE9, 0x20AC, 0}, "h\xC3\xA9\xE2\x82\xAC", "mixed widths"},
      {{0xD83D, 0xDE00, 0}, "\xF0\x9F\x98\x80", "pair"},
      {{0xD83D, 'A', 0}, "\xEF\xBF\xBD" "A", "high surrogate before a letter"},
      {{'a', 0xDC00, 0}, "a\xEF\xBF\xBD", "lone low surrogate"},
      {{'a', 0xD800, 0}, "a\xEF\xBF\xBD", "high surrogate at the end"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.why);
    HostString h = str_to_host_utf8(c.text.data());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(hex(h), hex(c.want));
    host_string_free(h);
  }
  HostString n = str_to_host_utf8(nullptr);
  ASSERT_NE(n, nullptr);
  EXPECT_STREQ(n, "");
  host_string_free(n);
}

TEST(StrToHostUtf8, RefusedCopyGivesAFreshEmptyString) {
  const RtChar text[] = {'a', 'b', 0};
  HostString h;
  {
    AllocFailure fail(1);
    h = str_to_host_utf8(text);
  }
  ASSERT_NE(h, nullptr);
  EXPECT_STREQ(h, "");
  host_string_free(h);
}

// Well-formed UTF-8 decoding: maximal ill-formed subsequences become U+FFFD.
struct Decode {
  Bytes host;
  Units want;
  const char *why;
};
const Decode kDecodeCases[] = {
    {"", {}, "empty"},
    {"h\xC3\xA9llo", {'h', 0xE9, 'l', 'l', 'o'}, "valid two-byte"},
    {"\xF0\x9F\x98\x80", {0xD83D, 0xDE00}, "valid four-byte"},
    {"\xFF\xFE" "x", {0xFFFD, 0xFFFD, 'x'}, "invalid bytes one each"},
    {"J\xC3" "rg", {'J', 0xFFFD, 'r', 'g'}, "lead without continuation keeps the next letter"},
    {"a\xC0\xAF" "b", {'a', 0xFFFD, 0xFFFD, 'b'}, "overlong C0 AF"},
    {"\xED\xA0\x80", {0xFFFD, 0xFFFD, 0xFFFD}, "encoded surrogate"},
    {"ab\xE2\x82", {'a', 'b', 0xFFFD}, "cut at the end is one replacement"},
    {"\xE2\x82" "x", {0xFFFD, 'x'}, "cut before a letter"},
    {"\xF4\x90\x80\x80", {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}, "above U+10FFFF"},
    {"\xF0\x90\x80", {0xFFFD}, "three of four"},
    {"\xE0\x9F\x80", {0xFFFD, 0xFFFD, 0xFFFD}, "overlong three-byte"},
    {"\xEF\xBF\xBF", {0xFFFF}, "U+FFFF is a character"},
    {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}, "U+10FFFF"},
    {"12345678\xC3\xA9" "abcdefgh", {'1', '2', '3', '4', '5', '6', '7', '8', 0xE9, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'},
     "ASCII runs around a sequence"},
};

TEST(HostUtf8ToStrbuf, DecodesAtStartAndLeavesThePositionOnTheTerminator) {
  strbuf_init();
  for (const Decode &c : kDecodeCases) {
    SCOPED_TRACE(c.why);
    const RtChar prefix[] = {'P', 0};
    strbuf_set_position(0);
    strbuf_append(prefix);
    int32_t start = strbuf_position();
    int32_t n = host_utf8_to_strbuf(c.host.c_str(), start);
    EXPECT_EQ(n, static_cast<int32_t>(c.want.size() + 1));
    EXPECT_EQ(strbuf_position(), start + 2 * static_cast<int32_t>(c.want.size()));
    Units got(strbuf_text_at(start), strbuf_text_at(start) + c.want.size() + 1);
    Units want = c.want;
    want.push_back(0);
    EXPECT_EQ(got, want);
    EXPECT_EQ(strbuf_text_at(0)[0], 'P');
  }
  strbuf_set_position(0);
  EXPECT_EQ(host_utf8_to_strbuf(nullptr, 0), 1);
  EXPECT_EQ(strbuf_position(), 0);
  EXPECT_EQ(strbuf_text_at(0)[0], 0);
  strbuf_release();
}

TEST(HostUtf8ToNewStr, DecodesIntoANewBlock) {
  for (const Decode &c : kDecodeCases) {
    SCOPED_TRACE(c.why);
    RtString s = host_utf8_to_new_str(c.host.c_str());
    ASSERT_NE(s, nullptr);
    Units got(s, s + c.want.size() + 1);
    Units want = c.want;
    want.push_back(0);
    EXPECT_EQ(got, want);
    free(s);
  }
  RtString e = host_utf8_to_new_str(nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e[0], 0);
  free(e);
  AllocFailure fail(1);
  EXPECT_EQ(host_utf8_to_new_str("abc"), nullptr);
}

TEST(FormatDecimal, Table) {
  struct Case {
    int32_t value;
    const char *want;
  } cases[] = {{0, "0"}, {1234, "1234"}, {-7, "-7"}, {INT32_MIN, "-2147483648"}, {INT32_MAX, "2147483647"}};
  for (const Case &c : cases) {
    char out[12];
    memset(out, 'z', sizeof out);
    format_decimal(c.value, out);
    EXPECT_STREQ(out, c.want);
  }
}

}  // namespace
