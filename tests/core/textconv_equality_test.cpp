// The fast paths of text conversion and rt_strlen against the straightforward
// algorithms they replace: on the benchmark corpora, on seeded random and
// mutated text, and with every tricky sequence at every window position.
// Destinations are exactly as large as the size given (the sanitizer build
// catches a write past it) and are compared whole, so a fast path may not
// touch anything beyond the count it returns either.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../../bench/text_corpus.h"
#include "core/textconv.h"
#include "core/textconv_internal.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Units = std::vector<RtChar>;
using corpus::Random;

// The fast builds: the portable one (what i386 runs) everywhere, and on
// x86-64 the SSE2 one, which the public converters use there.
struct Build {
  const char *name;
  decltype(&textconv_utf8_to_utf16_reference) utf8_to_utf16;
  decltype(&textconv_utf16_to_utf8_reference) utf16_to_utf8;
  decltype(&textconv_latin1_to_utf16_reference) latin1_to_utf16;
  decltype(&textconv_utf16_to_latin1_reference) utf16_to_latin1;
  decltype(&textconv_utf8_to_utf16_replacing_reference) utf8_to_utf16_replacing;
  decltype(&textconv_utf16_to_utf8_replacing_reference) utf16_to_utf8_replacing;
};

const Build kBuilds[] = {
    {"portable", textconv_utf8_to_utf16_portable, textconv_utf16_to_utf8_portable,
     textconv_latin1_to_utf16_portable, textconv_utf16_to_latin1_portable,
     textconv_utf8_to_utf16_replacing_portable, textconv_utf16_to_utf8_replacing_portable},
#if KRT_HAVE_SSE2
    {"sse2", textconv_utf8_to_utf16_sse2, textconv_utf16_to_utf8_sse2, textconv_latin1_to_utf16_sse2,
     textconv_utf16_to_latin1_sse2, textconv_utf8_to_utf16_replacing_sse2,
     textconv_utf16_to_utf8_replacing_sse2},
#endif
};

template <class T>
long first_difference(const std::vector<T> &a, const std::vector<T> &b) {
  if (a.size() != b.size()) return -2;
  auto at = std::mismatch(a.begin(), a.end(), b.begin());
  return at.first == a.end() ? -1 : static_cast<long>(at.first - a.begin());
}

// Destination sizes for a converting pass after the counting pass gave
// count: the count itself (what every caller passes), a little less (the
// last sequences no longer fit), more, none, the room a window needs
// (64 units, 96 bytes) and around it, and one at random.
// The sweep over window positions, which makes many inputs, tries only the
// first few.
std::vector<int32_t> sizes_for(int32_t count, Random &r, bool few) {
  std::vector<int32_t> sizes = {count, count - 1, count - 5, 64, 96};
  if (!few) sizes.insert(sizes.end(), {count - 2, count - 40, count + 9, 0, 1, 63, 65, 95, 97});
  if (count > 0 && !few) sizes.push_back(static_cast<int32_t>(r.below(static_cast<uint32_t>(count))));
  std::sort(sizes.begin(), sizes.end());
  sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
  sizes.erase(std::remove_if(sizes.begin(), sizes.end(), [](int32_t s) { return s < 0; }), sizes.end());
  return sizes;
}

template <class In, class Out>
using ClassicFn = int32_t (*)(const In *, int32_t, Out *, int32_t);
template <class In, class Out>
using ReplacingFn = int64_t (*)(const In *, int64_t, Out *, int64_t);

constexpr int kFill = 0x5A;

template <class In, class Out>
void expect_classic_equal(const char *what, ClassicFn<In, Out> reference, ClassicFn<In, Out> fast,
                          const std::vector<In> &source, Random &r, bool few) {
  SCOPED_TRACE(what);
  int32_t length = static_cast<int32_t>(source.size());
  int32_t count = reference(source.data(), length, nullptr, 0);
  ASSERT_EQ(fast(source.data(), length, nullptr, 0), count) << "counting";
  for (int32_t size : sizes_for(count, r, few)) {
    // A size of 0 still gets one element, which must stay untouched.
    std::vector<Out> want(static_cast<size_t>(size > 0 ? size : 1), static_cast<Out>(kFill));
    std::vector<Out> got = want;
    int32_t w = reference(source.data(), length, want.data(), size);
    ASSERT_EQ(fast(source.data(), length, got.data(), size), w) << "converting into " << size;
    ASSERT_EQ(first_difference(got, want), -1) << "converting into " << size;
  }
}

template <class In, class Out>
void expect_replacing_equal(const char *what, ReplacingFn<In, Out> reference, ReplacingFn<In, Out> fast,
                            const std::vector<In> &source) {
  SCOPED_TRACE(what);
  int64_t length = static_cast<int64_t>(source.size());
  int64_t count = reference(source.data(), length, nullptr, 0);
  ASSERT_EQ(fast(source.data(), length, nullptr, 0), count) << "counting";
  std::vector<Out> want(static_cast<size_t>(count > 0 ? count : 1), static_cast<Out>(kFill));
  std::vector<Out> got = want;
  ASSERT_EQ(reference(source.data(), length, want.data(), count), count);
  ASSERT_EQ(fast(source.data(), length, got.data(), count), count) << "converting";
  ASSERT_EQ(first_difference(got, want), -1) << "converting";
}

// Every converter that reads bytes, in every fast build.
void check_bytes(const Bytes &source, Random &r, bool few = false) {
  for (const Build &b : kBuilds) {
    SCOPED_TRACE(b.name);
    expect_classic_equal<uint8_t, RtChar>("UTF-8 to UTF-16", textconv_utf8_to_utf16_reference,
                                          b.utf8_to_utf16, source, r, few);
    expect_classic_equal<uint8_t, RtChar>("Latin-1 to UTF-16", textconv_latin1_to_utf16_reference,
                                          b.latin1_to_utf16, source, r, few);
    expect_replacing_equal<uint8_t, RtChar>("UTF-8 to UTF-16 replacing",
                                            textconv_utf8_to_utf16_replacing_reference,
                                            b.utf8_to_utf16_replacing, source);
  }
}

// Every converter that reads UTF-16, in every fast build.
void check_units(const Units &source, Random &r, bool few = false) {
  for (const Build &b : kBuilds) {
    SCOPED_TRACE(b.name);
    expect_classic_equal<RtChar, char>("UTF-16 to UTF-8", textconv_utf16_to_utf8_reference,
                                       b.utf16_to_utf8, source, r, few);
    expect_classic_equal<RtChar, char>("UTF-16 to Latin-1", textconv_utf16_to_latin1_reference,
                                       b.utf16_to_latin1, source, r, few);
    expect_replacing_equal<RtChar, char>("UTF-16 to UTF-8 replacing",
                                         textconv_utf16_to_utf8_replacing_reference,
                                         b.utf16_to_utf8_replacing, source);
  }
}

Bytes bytes_of(const std::string &s) { return Bytes(s.begin(), s.end()); }
Units units_of(const std::u16string &s) { return Units(s.begin(), s.end()); }

// Sequences that decide windows: each width at its bounds, and each kind of
// ill-formed UTF-8 the two decoders treat in their own ways.
struct Piece {
  std::string bytes;
  bool well_formed;
  const char *why;
};
const Piece kUtf8Pieces[] = {
    {"\xC2\x80", true, "smallest two-byte"},
    {"\xC3\xA9", true, "two-byte"},
    {"\xDF\xBF", true, "largest two-byte"},
    {"\xE0\xA0\x80", true, "smallest three-byte"},
    {"\xE2\x82\xAC", true, "three-byte"},
    {"\xED\x9F\xBF", true, "last before the surrogates"},
    {"\xEE\x80\x80", true, "first after the surrogates"},
    {"\xEF\xBF\xBF", true, "U+FFFF"},
    {"\xF0\x90\x80\x80", true, "smallest four-byte"},
    {"\xF0\x9F\x98\x80", true, "four-byte"},
    {"\xF4\x8F\xBF\xBF", true, "U+10FFFF"},
    {"\x80", false, "stray continuation"},
    {"\xBF\xBF", false, "two stray continuations"},
    {std::string("\xC0\x80", 2), false, "overlong NUL"},
    {"\xC1\xBF", false, "overlong two-byte"},
    {"\xE0\x80\x80", false, "overlong three-byte"},
    {"\xE0\x9F\xBF", false, "largest overlong three-byte"},
    {"\xF0\x80\x80\x80", false, "overlong four-byte: one unit for the classic decoder"},
    {"\xF0\x8F\xBF\xBF", false, "largest overlong four-byte"},
    {"\xED\xA0\x80", false, "encoded high surrogate"},
    {"\xED\xBF\xBF", false, "encoded low surrogate"},
    {"\xF4\x90\x80\x80", false, "above U+10FFFF"},
    {"\xF5\x80\x80\x80", false, "F5 lead"},
    {"\xF7\xBF\xBF\xBF", false, "F7 lead, decoded by the classic decoder above U+10FFFF"},
    {"\xF8\x88\x80\x80\x80", false, "F8 lead"},
    {"\xFE", false, "FE"},
    {"\xFF", false, "FF"},
    {"\xC3", false, "cut two-byte"},
    {"\xE2\x82", false, "cut three-byte"},
    {"\xF0\x9F\x98", false, "cut four-byte"},
    {"\xC3" "A", false, "lead then a letter"},
    {"\xE2" "A\x82", false, "letter inside a three-byte sequence"},
    {"\xF0\x9F" "A\x80", false, "letter inside a four-byte sequence"},
    {"\xE2\x82\xC3\xA9", false, "cut sequence then a whole one"},
    {std::string("\0", 1), false, "NUL byte"},
};

// The same for UTF-16: each width at its bounds, pairs, and unpaired halves.
struct UnitPiece {
  Units units;
  bool well_formed;
  const char *why;
};
const UnitPiece kUtf16Pieces[] = {
    {{0x7F}, true, "largest one-byte"},
    {{0x80}, true, "smallest two-byte"},
    {{0xFF}, true, "largest Latin-1"},
    {{0x100}, true, "smallest beyond Latin-1"},
    {{0x7FF}, true, "largest two-byte"},
    {{0x800}, true, "smallest three-byte"},
    {{0xD7FF}, true, "last before the surrogates"},
    {{0xE000}, true, "first after the surrogates"},
    {{0xFFFF}, true, "U+FFFF"},
    {{0xD800, 0xDC00}, true, "smallest pair"},
    {{0xD83D, 0xDE00}, true, "pair"},
    {{0xDBFF, 0xDFFF}, true, "largest pair"},
    {{0xD83D}, false, "high surrogate alone"},
    {{0xD83D, 'A'}, false, "high surrogate before a letter"},
    {{0xDE00}, false, "low surrogate alone"},
    {{0xDE00, 0xD83D}, false, "pair in the wrong order"},
    {{0xD83D, 0xD83D, 0xDE00}, false, "two highs, then a low"},
    {{0xD83D, 0}, false, "high surrogate before a 0 unit"},
    {{0}, false, "0 unit"},
};

// Text around the pieces: ASCII, and runs of two-, three- and four-byte
// characters, which take their own ways through the windows.
const std::string kFillers[] = {"a", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80"};
const Units kUnitFillers[] = {{'a'}, {0xE9}, {0x4E2D}, {0xD83D, 0xDE00}};

TEST(FastConversion, EveryPieceAtEveryWindowPosition) {
  // Windows are 64 bytes: every place in one and across into the next, for
  // each filler (a one-byte shift reaches the places between characters).
  Random r(7);
  for (const Piece &p : kUtf8Pieces) {
    SCOPED_TRACE(p.why);
    for (const std::string &filler : kFillers) {
      for (size_t shift = 0; shift < filler.size(); ++shift) {
        for (size_t before = 0; before * filler.size() <= 70; ++before) {
          for (size_t after : {0, 1, 3, 70}) {
            SCOPED_TRACE(testing::Message() << before << " fillers before, " << after << " after, shift " << shift);
            std::string text(shift, 'x');
            for (size_t k = 0; k < before; ++k) text += filler;
            text += p.bytes;
            // The same piece again, so that a window can hold two of it.
            if (after == 3) text += p.bytes;
            for (size_t k = 0; k * filler.size() < after; ++k) text += filler;
            check_bytes(bytes_of(text), r, true);
            if (HasFatalFailure()) return;
          }
        }
      }
    }
  }
  // Windows are 32 units (16 when counting).
  for (const UnitPiece &p : kUtf16Pieces) {
    SCOPED_TRACE(p.why);
    for (const Units &filler : kUnitFillers) {
      for (size_t shift = 0; shift < filler.size(); ++shift) {
        for (size_t before = 0; before * filler.size() <= 36; ++before) {
          for (size_t after : {0, 1, 3, 40}) {
            SCOPED_TRACE(testing::Message() << before << " fillers before, " << after << " after, shift " << shift);
            Units u(shift, 'x');
            for (size_t k = 0; k < before; ++k) u.insert(u.end(), filler.begin(), filler.end());
            u.insert(u.end(), p.units.begin(), p.units.end());
            if (after == 3) u.insert(u.end(), p.units.begin(), p.units.end());
            for (size_t k = 0; k * filler.size() < after; ++k) u.insert(u.end(), filler.begin(), filler.end());
            check_units(u, r, true);
            if (HasFatalFailure()) return;
          }
        }
      }
    }
  }
}

TEST(FastConversion, CorporaMatchTheReferenceAndAnIndependentDecoder) {
  Random r(11);
  for (const corpus::KindName &k : corpus::kKinds) {
    SCOPED_TRACE(k.name);
    std::string utf8 = corpus::make_utf8(k.kind, 48 * 1024);
    std::u16string utf16 = corpus::to_utf16(utf8);
    check_bytes(bytes_of(utf8), r);
    check_units(units_of(utf16), r);
    if (HasFatalFailure()) return;

    // The public routines in both directions, two passes as their callers
    // run them, against the corpus's own decoder.
    int32_t n = multibyte_to_utf16(CODEPAGE_UTF8, utf8.data(), static_cast<int32_t>(utf8.size()), nullptr, 0);
    ASSERT_EQ(n, static_cast<int32_t>(utf16.size()));
    std::u16string decoded(static_cast<size_t>(n), u'\0');
    EXPECT_EQ(multibyte_to_utf16(CODEPAGE_UTF8, utf8.data(), static_cast<int32_t>(utf8.size()),
                                 reinterpret_cast<RtChar *>(decoded.data()), n),
              n);
    EXPECT_TRUE(decoded == utf16);
    RtString fresh = host_utf8_to_new_str(utf8.c_str());
    ASSERT_NE(fresh, nullptr);
    EXPECT_TRUE(std::u16string(reinterpret_cast<const char16_t *>(fresh)) == utf16);
    free(fresh);

    const RtChar *text = reinterpret_cast<const RtChar *>(utf16.c_str());
    int32_t bytes = utf16_to_multibyte(CODEPAGE_UTF8, text, -1, nullptr, 0);
    ASSERT_EQ(bytes, static_cast<int32_t>(utf8.size() + 1));
    std::string encoded(static_cast<size_t>(bytes), 'x');
    EXPECT_EQ(utf16_to_multibyte(CODEPAGE_UTF8, text, -1, encoded.data(), bytes), bytes);
    EXPECT_TRUE(encoded == std::string(utf8.c_str(), utf8.size() + 1));
    HostString host = str_to_host_utf8(text);
    EXPECT_TRUE(std::string(host) == utf8);
    host_string_free(host);

    if (k.kind == corpus::Kind::kAscii || k.kind == corpus::Kind::kLatin) {
      std::string latin1 = corpus::to_latin1(utf16);
      std::string narrowed(utf16.size(), 'x');
      int32_t units = static_cast<int32_t>(utf16.size());
      EXPECT_EQ(utf16_to_multibyte(CODEPAGE_LATIN1, text, units, nullptr, 0), units);
      EXPECT_EQ(utf16_to_multibyte(CODEPAGE_LATIN1, text, units, narrowed.data(), units), units);
      EXPECT_TRUE(narrowed == latin1);
      std::u16string widened(utf16.size(), u'\0');
      EXPECT_EQ(multibyte_to_utf16(CODEPAGE_LATIN1, latin1.data(), units,
                                   reinterpret_cast<RtChar *>(widened.data()), units),
                units);
      EXPECT_TRUE(widened == utf16);
    }
  }
}

template <class T, size_t N>
const T &pick_piece(Random &r, const T (&pieces)[N], bool well_formed) {
  for (;;) {
    const T &p = pieces[r.below(static_cast<uint32_t>(N))];
    if (p.well_formed || !well_formed) return p;
  }
}

// Random UTF-8: ASCII runs, random characters of each width, and the pieces
// above (only the well-formed ones if asked), in random order.
Bytes random_utf8(Random &r, int pieces, bool well_formed) {
  std::string s;
  for (int k = 0; k < pieces; ++k) {
    uint32_t pick = r.below(10);
    if (pick < 4) {
      s.append(1 + r.below(24), static_cast<char>(' ' + r.below(95)));
    } else if (pick < 7) {
      static constexpr uint32_t kRanges[][2] = {{0x80, 0x780}, {0x800, 0xD000}, {0xE000, 0x2000}, {0x10000, 0x100000}};
      const uint32_t *range = kRanges[r.below(4)];
      corpus::append_utf8(s, range[0] + r.below(range[1]));
    } else {
      s += pick_piece(r, kUtf8Pieces, well_formed).bytes;
    }
  }
  return bytes_of(s);
}

Units random_utf16(Random &r, int pieces, bool well_formed) {
  Units u;
  for (int k = 0; k < pieces; ++k) {
    uint32_t pick = r.below(10);
    if (pick < 4) {
      u.insert(u.end(), 1 + r.below(24), static_cast<RtChar>(' ' + r.below(95)));
    } else if (pick < 7) {
      uint32_t unit = 0x80 + r.below(0xFF80);
      if (well_formed && unit >= 0xD800 && unit <= 0xDFFF) unit -= 0x800;
      u.push_back(static_cast<RtChar>(unit));
    } else {
      const Units &p = pick_piece(r, kUtf16Pieces, well_formed).units;
      u.insert(u.end(), p.begin(), p.end());
    }
  }
  return u;
}

TEST(FastConversion, SeededRandomText) {
  Random r(2024);
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    // Short texts below the size of a window, and longer ones.
    int pieces = 1 + static_cast<int>(r.below(round < 150 ? 12 : 100));
    bool well_formed = round % 2 == 0;
    check_bytes(random_utf8(r, pieces, well_formed), r);
    check_units(random_utf16(r, pieces, well_formed), r);
    // Plain random bytes and units, mostly ill-formed.
    Bytes noise(r.below(90));
    for (uint8_t &b : noise) b = static_cast<uint8_t>(r.below(256));
    check_bytes(noise, r);
    Units unit_noise(r.below(50));
    for (RtChar &u : unit_noise) u = static_cast<RtChar>(r.chance(50) ? 0xD800 + r.below(0x800) : r.below(0x10000));
    check_units(unit_noise, r);
    if (HasFatalFailure()) return;
  }
}

template <class T>
void mutate(std::vector<T> &v, Random &r, T (*random_value)(Random &)) {
  int edits = 1 + static_cast<int>(r.below(6));
  for (int k = 0; k < edits && !v.empty(); ++k) {
    size_t at = r.below(static_cast<uint32_t>(v.size()));
    switch (r.below(3)) {
      case 0: v[at] = random_value(r); break;
      case 1: v.erase(v.begin() + static_cast<long>(at)); break;
      default: v.insert(v.begin() + static_cast<long>(at), random_value(r)); break;
    }
  }
}

uint8_t random_byte(Random &r) {
  // Continuation bytes and leads are what break sequences.
  uint32_t pick = r.below(3);
  return static_cast<uint8_t>(pick == 0 ? 0x80 + r.below(0x40) : pick == 1 ? 0xC0 + r.below(0x40) : r.below(256));
}

RtChar random_unit(Random &r) {
  return static_cast<RtChar>(r.chance(60) ? 0xD800 + r.below(0x800) : r.below(0x10000));
}

TEST(FastConversion, MutatedSlicesOfTheCorpora) {
  Random r(99);
  for (const corpus::KindName &k : corpus::kKinds) {
    SCOPED_TRACE(k.name);
    std::string utf8 = corpus::make_utf8(k.kind, 16 * 1024, 3);
    std::u16string utf16 = corpus::to_utf16(utf8);
    for (int round = 0; round < 60; ++round) {
      SCOPED_TRACE(testing::Message() << "round " << round);
      // Slices start anywhere, in the middle of a sequence too.
      size_t from = r.below(static_cast<uint32_t>(utf8.size()));
      size_t count = std::min<size_t>(utf8.size() - from, 1 + r.below(700));
      Bytes b(utf8.begin() + static_cast<long>(from), utf8.begin() + static_cast<long>(from + count));
      mutate(b, r, random_byte);
      check_bytes(b, r);
      size_t ufrom = r.below(static_cast<uint32_t>(utf16.size()));
      size_t ucount = std::min<size_t>(utf16.size() - ufrom, 1 + r.below(400));
      Units u(utf16.begin() + static_cast<long>(ufrom), utf16.begin() + static_cast<long>(ufrom + ucount));
      mutate(u, r, random_unit);
      check_units(u, r);
      if (HasFatalFailure()) return;
    }
  }
}

TEST(FastConversion, PublicRoutinesAgreeOnRandomText) {
  // The public routines resolve the code page, -1 and NUL termination and
  // then run the native build; here on text full of ill-formed places.
  Random r(5);
  strbuf_init();
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    Bytes b = random_utf8(r, 1 + static_cast<int>(r.below(40)), round % 3 == 0);
    std::string text(b.begin(), b.end());
    int32_t length = static_cast<int32_t>(b.size());
    EXPECT_EQ(multibyte_to_utf16(CODEPAGE_UTF8, text.data(), length, nullptr, 0),
              textconv_utf8_to_utf16_reference(b.data(), length, nullptr, 0));

    // The host routines stop at the first NUL.
    size_t host_length = strlen(text.c_str());
    Units want(host_length + 1, kFill);
    int64_t n = textconv_utf8_to_utf16_replacing_reference(b.data(), static_cast<int64_t>(host_length), want.data(), 0);
    want.resize(static_cast<size_t>(n) + 1);
    want.back() = 0;
    RtString fresh = host_utf8_to_new_str(text.c_str());
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(first_difference(Units(fresh, fresh + n + 1), want), -1);
    free(fresh);
    strbuf_set_position(0);
    EXPECT_EQ(host_utf8_to_strbuf(text.c_str(), 0), n + 1);
    EXPECT_EQ(first_difference(Units(strbuf_text_at(0), strbuf_text_at(0) + n + 1), want), -1);

    Units u = random_utf16(r, 1 + static_cast<int>(r.below(40)), round % 3 == 0);
    u.push_back(0);
    int32_t count = textconv_utf16_to_utf8_reference(u.data(), static_cast<int32_t>(u.size()), nullptr, 0);
    EXPECT_EQ(utf16_to_multibyte(CODEPAGE_UTF8, u.data(), -1, nullptr, 0),
              textconv_utf16_to_utf8_reference(u.data(), static_cast<int32_t>(rt_strlen(u.data()) + 1), nullptr, 0));
    EXPECT_EQ(utf16_to_multibyte(CODEPAGE_UTF8, u.data(), static_cast<int32_t>(u.size()), nullptr, 0), count);
    int64_t units = rt_strlen(u.data());
    std::string host_want(static_cast<size_t>(textconv_utf16_to_utf8_replacing_reference(u.data(), units, nullptr, 0)), 'x');
    textconv_utf16_to_utf8_replacing_reference(u.data(), units, host_want.data(), 0);
    HostString host = str_to_host_utf8(u.data());
    EXPECT_TRUE(std::string(host) == host_want);
    host_string_free(host);
  }
  strbuf_release();
}

NativeInt plain_strlen(const RtChar *text) {
  NativeInt n = 0;
  while (text[n] != 0) ++n;
  return n;
}

TEST(FastStrlen, EveryAlignmentAndLength) {
  // Texts at every even offset of a 16-byte block (runtime strings are
  // always 2-byte aligned) and of every length across a few blocks, with
  // nonzero units around them.
  alignas(16) RtChar area[128];
  for (int offset = 0; offset < 16; ++offset) {
    for (int length = 0; length < 70; ++length) {
      std::fill(std::begin(area), std::end(area), RtChar{0x4141});
      RtChar *text = area + offset;
      text[length] = 0;
      ASSERT_EQ(rt_strlen(text), length) << "offset " << offset;
      ASSERT_EQ(rt_strlen(text), plain_strlen(text));
    }
  }
  Random r(1);
  Units u = random_utf16(r, 400, false);
  u.push_back(0);
  EXPECT_EQ(rt_strlen(u.data()), plain_strlen(u.data()));
}

TEST(FastCopy, EveryLengthAndOverlapLikeAPlainLoop) {
  // rt_copy_units at every length across its block sizes, into a separate
  // area and within one area in both directions (which must behave as if
  // the source were read whole first), against a plain loop; and appending
  // texts of those lengths builds the same text.
  Units area(240);
  for (size_t k = 0; k < area.size(); ++k) area[k] = static_cast<RtChar>(0x100 + k);
  for (int32_t n = 0; n <= 80; ++n) {
    for (int shift : {-9, -1, 0, 1, 9, 100}) {
      SCOPED_TRACE(testing::Message() << n << " units, destination " << shift << " from the source");
      Units got = area, want = area;
      const size_t from = 50;
      Units snapshot(area.begin() + from, area.begin() + from + n);
      for (int32_t k = 0; k < n; ++k) want[from + shift + k] = snapshot[static_cast<size_t>(k)];
      want[from + shift + n] = 0;
      rt_copy_units(got.data() + from + shift, got.data() + from, n);
      ASSERT_EQ(first_difference(got, want), -1);
    }
  }
  strbuf_init();
  std::u16string expected;
  for (int32_t n = 0; n <= 80; ++n) {
    std::u16string piece(static_cast<size_t>(n), u'\0');
    for (int32_t k = 0; k < n; ++k) piece[static_cast<size_t>(k)] = static_cast<char16_t>('a' + (n + k) % 26);
    strbuf_append(reinterpret_cast<const RtChar *>(piece.c_str()));
    expected += piece;
  }
  EXPECT_EQ(strbuf_position(), static_cast<int32_t>(2 * expected.size()));
  EXPECT_TRUE(std::u16string(reinterpret_cast<const char16_t *>(strbuf_text_at(0))) == expected);
  strbuf_release();
}

TEST(FastStrlen, NeverReadsIntoThePageAfterTheTerminator) {
  // A text whose terminator is the last unit of a page that is followed by
  // an inaccessible page: reading past the terminator's block would fault.
  long page = sysconf(_SC_PAGESIZE);
  char *area = static_cast<char *>(mmap(nullptr, static_cast<size_t>(2 * page), PROT_READ | PROT_WRITE,
                                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(area, MAP_FAILED);
  ASSERT_EQ(mprotect(area + page, static_cast<size_t>(page), PROT_NONE), 0);
  RtChar *end = reinterpret_cast<RtChar *>(area + page) - 1;
  *end = 0;
  for (int length = 0; length < 40; ++length) {
    RtChar *text = end - length;
    if (length > 0) text[0] = 'x';
    EXPECT_EQ(rt_strlen(text), length);
  }
  munmap(area, static_cast<size_t>(2 * page));
}

}  // namespace
