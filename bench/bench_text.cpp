// Text conversion and the string engine against the libraries a program
// would use instead: ICU (one pass, and two passes with a preflight as the
// runtime's callers do), glibc iconv, GLib, std::u16string, GString, and
// memcpy of the same input bytes as the physical limit. Inputs are the four
// generated corpora of about 1 MB each.
//
// All two-pass contenders convert into a destination allocated once outside
// the loop; str_to_host_utf8 and GLib allocate their result by design, and
// that allocation is part of their figure.
#include <glib.h>
#include <iconv.h>
#include <unicode/ucnv.h>
#include <unicode/ustring.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench_report.h"
#include "core/rtstring.h"
#include "core/textconv.h"
#include "text_corpus.h"

namespace {

constexpr size_t kCorpusBytes = 1 << 20;

struct Text {
  const char *kind;
  std::string utf8;
  std::u16string utf16;
  std::string latin1;  // empty unless every character is below U+0100
};

std::vector<Text> &texts() {
  static std::vector<Text> all;
  return all;
}

const RtChar *rt(const std::u16string &s) { return reinterpret_cast<const RtChar *>(s.c_str()); }
const UChar *uc(const std::u16string &s) { return reinterpret_cast<const UChar *>(s.c_str()); }

// Scratch destinations, large enough for any conversion of any corpus.
std::vector<char16_t> g_units(2 * kCorpusBytes + 64);
std::vector<char> g_bytes(4 * kCorpusBytes + 64);

using Body = std::function<void(benchmark::State &)>;

void add(const std::string &name, int64_t input_bytes, Body body) {
  benchmark::RegisterBenchmark(name.c_str(), [input_bytes, body](benchmark::State &state) {
    body(state);
    bench::set_input_bytes(state, input_bytes);
  });
}

void fail_unless(bool ok, const std::string &what) {
  if (!ok) {
    fprintf(stderr, "contender gives a wrong result: %s\n", what.c_str());
    exit(1);
  }
}

iconv_t open_iconv(const char *to, const char *from) {
  iconv_t cd = iconv_open(to, from);
  fail_unless(cd != reinterpret_cast<iconv_t>(-1), std::string("iconv_open ") + from + " to " + to);
  return cd;
}

// Converts with iconv into out; returns the bytes written, or -1.
long run_iconv(iconv_t cd, const void *in, size_t in_bytes, void *out, size_t room) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char *from = const_cast<char *>(static_cast<const char *>(in));
  char *to = static_cast<char *>(out);
  size_t left = room;
  if (iconv(cd, &from, &in_bytes, &to, &left) == static_cast<size_t>(-1)) return -1;
  return static_cast<long>(room - left);
}

UConverter *open_latin1() {
  UErrorCode err = U_ZERO_ERROR;
  UConverter *cnv = ucnv_open("ISO-8859-1", &err);
  fail_unless(U_SUCCESS(err), "ucnv_open ISO-8859-1");
  return cnv;
}

// ---------------------------------------------------------------------------

void register_utf8_to_utf16(const Text &t) {
  const std::string group = std::string("utf8_to_utf16/") + t.kind + "/";
  const char *src = t.utf8.c_str();
  const int32_t len = static_cast<int32_t>(t.utf8.size());
  const int64_t in = len;
  const size_t units = t.utf16.size();

  // What the program-arguments module and console input run.
  add(group + "runtime_strbuf", in, [src](benchmark::State &state) {
    for (auto _ : state) {
      strbuf_set_position(0);
      benchmark::DoNotOptimize(host_utf8_to_strbuf(src, 0));
      benchmark::ClobberMemory();
    }
  });
  add(group + "runtime_multibyte", in, [src, len](benchmark::State &state) {
    RtChar *d = reinterpret_cast<RtChar *>(g_units.data());
    for (auto _ : state) {
      int32_t n = multibyte_to_utf16(CODEPAGE_UTF8, src, len, nullptr, 0);
      benchmark::DoNotOptimize(multibyte_to_utf16(CODEPAGE_UTF8, src, len, d, n));
      benchmark::ClobberMemory();
    }
  });
  add(group + "icu", in, [src, len](benchmark::State &state) {
    for (auto _ : state) {
      UErrorCode err = U_ZERO_ERROR;
      int32_t n = 0;
      u_strFromUTF8(reinterpret_cast<UChar *>(g_units.data()), static_cast<int32_t>(g_units.size()), &n, src, len, &err);
      benchmark::DoNotOptimize(n);
      benchmark::ClobberMemory();
    }
  });
  add(group + "icu_two_pass", in, [src, len](benchmark::State &state) {
    for (auto _ : state) {
      UErrorCode err = U_ZERO_ERROR;
      int32_t n = 0;
      u_strFromUTF8(nullptr, 0, &n, src, len, &err);
      err = U_ZERO_ERROR;
      u_strFromUTF8(reinterpret_cast<UChar *>(g_units.data()), n, &n, src, len, &err);
      benchmark::DoNotOptimize(n);
      benchmark::ClobberMemory();
    }
  });
  add(group + "iconv", in, [src, len](benchmark::State &state) {
    iconv_t cd = open_iconv("UTF-16LE", "UTF-8");
    for (auto _ : state)
      benchmark::DoNotOptimize(run_iconv(cd, src, static_cast<size_t>(len), g_units.data(), 2 * g_units.size()));
    iconv_close(cd);
  });
  add(group + "glib", in, [src, len](benchmark::State &state) {
    for (auto _ : state) {
      glong n = 0;
      gunichar2 *out = g_utf8_to_utf16(src, len, nullptr, &n, nullptr);
      benchmark::DoNotOptimize(out);
      g_free(out);
    }
  });
  add(group + "memcpy", in, [src, len](benchmark::State &state) {
    for (auto _ : state) {
      memcpy(g_bytes.data(), src, static_cast<size_t>(len));
      benchmark::ClobberMemory();
    }
  });

  // Every contender gives the same text before any is timed.
  const std::u16string &want = t.utf16;
  auto units_equal = [&](const void *p, size_t n) { return n == units && memcmp(p, want.data(), 2 * n) == 0; };
  strbuf_set_position(0);
  fail_unless(host_utf8_to_strbuf(src, 0) == static_cast<int32_t>(units + 1) && units_equal(strbuf_text_at(0), units),
              group + "runtime_strbuf");
  int32_t n = multibyte_to_utf16(CODEPAGE_UTF8, src, len, nullptr, 0);
  fail_unless(multibyte_to_utf16(CODEPAGE_UTF8, src, len, reinterpret_cast<RtChar *>(g_units.data()), n) == n &&
                  units_equal(g_units.data(), static_cast<size_t>(n)),
              group + "runtime_multibyte");
  UErrorCode err = U_ZERO_ERROR;
  u_strFromUTF8(reinterpret_cast<UChar *>(g_units.data()), static_cast<int32_t>(g_units.size()), &n, src, len, &err);
  fail_unless(U_SUCCESS(err) && units_equal(g_units.data(), static_cast<size_t>(n)), group + "icu");
  iconv_t cd = open_iconv("UTF-16LE", "UTF-8");
  long bytes = run_iconv(cd, src, static_cast<size_t>(len), g_units.data(), 2 * g_units.size());
  iconv_close(cd);
  fail_unless(bytes >= 0 && units_equal(g_units.data(), static_cast<size_t>(bytes) / 2), group + "iconv");
  glong gn = 0;
  gunichar2 *g = g_utf8_to_utf16(src, len, nullptr, &gn, nullptr);
  fail_unless(g != nullptr && units_equal(g, static_cast<size_t>(gn)), group + "glib");
  g_free(g);
}

void register_utf16_to_utf8(const Text &t) {
  const std::string group = std::string("utf16_to_utf8/") + t.kind + "/";
  const std::u16string *text = &t.utf16;
  const int32_t units = static_cast<int32_t>(t.utf16.size());
  const int64_t in = 2 * int64_t{units};

  // What console output runs.
  add(group + "runtime_host", in, [text](benchmark::State &state) {
    for (auto _ : state) {
      HostString h = str_to_host_utf8(rt(*text));
      benchmark::DoNotOptimize(h);
      host_string_free(h);
    }
  });
  // What the GUI runs: the length found from the terminator, two passes.
  add(group + "runtime_multibyte", in, [text](benchmark::State &state) {
    for (auto _ : state) {
      int32_t n = utf16_to_multibyte(CODEPAGE_UTF8, rt(*text), -1, nullptr, 0);
      benchmark::DoNotOptimize(utf16_to_multibyte(CODEPAGE_UTF8, rt(*text), -1, g_bytes.data(), n));
      benchmark::ClobberMemory();
    }
  });
  add(group + "icu", in, [text, units](benchmark::State &state) {
    for (auto _ : state) {
      UErrorCode err = U_ZERO_ERROR;
      int32_t n = 0;
      u_strToUTF8(g_bytes.data(), static_cast<int32_t>(g_bytes.size()), &n, uc(*text), units, &err);
      benchmark::DoNotOptimize(n);
      benchmark::ClobberMemory();
    }
  });
  add(group + "icu_two_pass", in, [text, units](benchmark::State &state) {
    for (auto _ : state) {
      UErrorCode err = U_ZERO_ERROR;
      int32_t n = 0;
      u_strToUTF8(nullptr, 0, &n, uc(*text), units, &err);
      err = U_ZERO_ERROR;
      u_strToUTF8(g_bytes.data(), n, &n, uc(*text), units, &err);
      benchmark::DoNotOptimize(n);
      benchmark::ClobberMemory();
    }
  });
  add(group + "iconv", in, [text, in](benchmark::State &state) {
    iconv_t cd = open_iconv("UTF-8", "UTF-16LE");
    for (auto _ : state)
      benchmark::DoNotOptimize(run_iconv(cd, text->data(), static_cast<size_t>(in), g_bytes.data(), g_bytes.size()));
    iconv_close(cd);
  });
  add(group + "glib", in, [text, units](benchmark::State &state) {
    for (auto _ : state) {
      glong n = 0;
      gchar *out = g_utf16_to_utf8(reinterpret_cast<const gunichar2 *>(text->data()), units, nullptr, &n, nullptr);
      benchmark::DoNotOptimize(out);
      g_free(out);
    }
  });
  add(group + "memcpy", in, [text, in](benchmark::State &state) {
    for (auto _ : state) {
      memcpy(g_bytes.data(), text->data(), static_cast<size_t>(in));
      benchmark::ClobberMemory();
    }
  });

  const std::string &want = t.utf8;
  auto bytes_equal = [&](const void *p, size_t n) { return n == want.size() && memcmp(p, want.data(), n) == 0; };
  HostString h = str_to_host_utf8(rt(t.utf16));
  fail_unless(bytes_equal(h, strlen(h)), group + "runtime_host");
  host_string_free(h);
  int32_t n = utf16_to_multibyte(CODEPAGE_UTF8, rt(t.utf16), -1, nullptr, 0);
  fail_unless(utf16_to_multibyte(CODEPAGE_UTF8, rt(t.utf16), -1, g_bytes.data(), n) == n &&
                  bytes_equal(g_bytes.data(), static_cast<size_t>(n) - 1),
              group + "runtime_multibyte");
  UErrorCode err = U_ZERO_ERROR;
  u_strToUTF8(g_bytes.data(), static_cast<int32_t>(g_bytes.size()), &n, uc(t.utf16), units, &err);
  fail_unless(U_SUCCESS(err) && bytes_equal(g_bytes.data(), static_cast<size_t>(n)), group + "icu");
  iconv_t cd = open_iconv("UTF-8", "UTF-16LE");
  long bytes = run_iconv(cd, t.utf16.data(), static_cast<size_t>(in), g_bytes.data(), g_bytes.size());
  iconv_close(cd);
  fail_unless(bytes >= 0 && bytes_equal(g_bytes.data(), static_cast<size_t>(bytes)), group + "iconv");
  glong gn = 0;
  gchar *g = g_utf16_to_utf8(reinterpret_cast<const gunichar2 *>(t.utf16.data()), units, nullptr, &gn, nullptr);
  fail_unless(g != nullptr && bytes_equal(g, static_cast<size_t>(gn)), group + "glib");
  g_free(g);
}

void register_latin1(const Text &t) {
  const std::u16string *text = &t.utf16;
  const std::string *latin1 = &t.latin1;
  const int32_t units = static_cast<int32_t>(t.utf16.size());

  std::string group = std::string("utf16_to_latin1/") + t.kind + "/";
  add(group + "runtime_multibyte", 2 * int64_t{units}, [text, units](benchmark::State &state) {
    for (auto _ : state) {
      int32_t n = utf16_to_multibyte(CODEPAGE_LATIN1, rt(*text), units, nullptr, 0);
      benchmark::DoNotOptimize(utf16_to_multibyte(CODEPAGE_LATIN1, rt(*text), units, g_bytes.data(), n));
      benchmark::ClobberMemory();
    }
  });
  add(group + "icu", 2 * int64_t{units}, [text, units](benchmark::State &state) {
    UConverter *cnv = open_latin1();
    for (auto _ : state) {
      UErrorCode err = U_ZERO_ERROR;
      benchmark::DoNotOptimize(
          ucnv_fromUChars(cnv, g_bytes.data(), static_cast<int32_t>(g_bytes.size()), uc(*text), units, &err));
      benchmark::ClobberMemory();
    }
    ucnv_close(cnv);
  });
  add(group + "icu_two_pass", 2 * int64_t{units}, [text, units](benchmark::State &state) {
    UConverter *cnv = open_latin1();
    for (auto _ : state) {
      UErrorCode err = U_ZERO_ERROR;
      int32_t n = ucnv_fromUChars(cnv, nullptr, 0, uc(*text), units, &err);
      err = U_ZERO_ERROR;
      benchmark::DoNotOptimize(ucnv_fromUChars(cnv, g_bytes.data(), n, uc(*text), units, &err));
      benchmark::ClobberMemory();
    }
    ucnv_close(cnv);
  });
  add(group + "iconv", 2 * int64_t{units}, [text, units](benchmark::State &state) {
    iconv_t cd = open_iconv("ISO-8859-1", "UTF-16LE");
    for (auto _ : state)
      benchmark::DoNotOptimize(run_iconv(cd, text->data(), 2 * static_cast<size_t>(units), g_bytes.data(), g_bytes.size()));
    iconv_close(cd);
  });
  add(group + "memcpy", 2 * int64_t{units}, [text, units](benchmark::State &state) {
    for (auto _ : state) {
      memcpy(g_bytes.data(), text->data(), 2 * static_cast<size_t>(units));
      benchmark::ClobberMemory();
    }
  });

  group = std::string("latin1_to_utf16/") + t.kind + "/";
  add(group + "runtime_multibyte", units, [latin1, units](benchmark::State &state) {
    RtChar *d = reinterpret_cast<RtChar *>(g_units.data());
    for (auto _ : state) {
      int32_t n = multibyte_to_utf16(CODEPAGE_LATIN1, latin1->data(), units, nullptr, 0);
      benchmark::DoNotOptimize(multibyte_to_utf16(CODEPAGE_LATIN1, latin1->data(), units, d, n));
      benchmark::ClobberMemory();
    }
  });
  add(group + "icu", units, [latin1, units](benchmark::State &state) {
    UConverter *cnv = open_latin1();
    for (auto _ : state) {
      UErrorCode err = U_ZERO_ERROR;
      benchmark::DoNotOptimize(ucnv_toUChars(cnv, reinterpret_cast<UChar *>(g_units.data()),
                                             static_cast<int32_t>(g_units.size()), latin1->data(), units, &err));
      benchmark::ClobberMemory();
    }
    ucnv_close(cnv);
  });
  add(group + "icu_two_pass", units, [latin1, units](benchmark::State &state) {
    UConverter *cnv = open_latin1();
    for (auto _ : state) {
      UErrorCode err = U_ZERO_ERROR;
      int32_t n = ucnv_toUChars(cnv, nullptr, 0, latin1->data(), units, &err);
      err = U_ZERO_ERROR;
      benchmark::DoNotOptimize(
          ucnv_toUChars(cnv, reinterpret_cast<UChar *>(g_units.data()), n, latin1->data(), units, &err));
      benchmark::ClobberMemory();
    }
    ucnv_close(cnv);
  });
  add(group + "iconv", units, [latin1, units](benchmark::State &state) {
    iconv_t cd = open_iconv("UTF-16LE", "ISO-8859-1");
    for (auto _ : state)
      benchmark::DoNotOptimize(
          run_iconv(cd, latin1->data(), static_cast<size_t>(units), g_units.data(), 2 * g_units.size()));
    iconv_close(cd);
  });
  add(group + "memcpy", units, [latin1, units](benchmark::State &state) {
    for (auto _ : state) {
      memcpy(g_bytes.data(), latin1->data(), static_cast<size_t>(units));
      benchmark::ClobberMemory();
    }
  });

  int32_t n = utf16_to_multibyte(CODEPAGE_LATIN1, rt(t.utf16), units, nullptr, 0);
  fail_unless(n == units && utf16_to_multibyte(CODEPAGE_LATIN1, rt(t.utf16), units, g_bytes.data(), n) == n &&
                  memcmp(g_bytes.data(), t.latin1.data(), t.latin1.size()) == 0,
              std::string("runtime Latin-1 of ") + t.kind);
  fail_unless(multibyte_to_utf16(CODEPAGE_LATIN1, t.latin1.data(), units, reinterpret_cast<RtChar *>(g_units.data()),
                                 units) == units &&
                  memcmp(g_units.data(), t.utf16.data(), 2 * t.utf16.size()) == 0,
              std::string("runtime Latin-1 back of ") + t.kind);
  UConverter *cnv = open_latin1();
  UErrorCode err = U_ZERO_ERROR;
  n = ucnv_fromUChars(cnv, g_bytes.data(), static_cast<int32_t>(g_bytes.size()), uc(t.utf16), units, &err);
  fail_unless(U_SUCCESS(err) && n == units && memcmp(g_bytes.data(), t.latin1.data(), t.latin1.size()) == 0,
              std::string("ICU Latin-1 of ") + t.kind);
  ucnv_close(cnv);
}

// ---------------------------------------------------------------------------
// The string engine: a text of about 1 MB built from 100 000 appends of the
// words of the English corpus, then assigned to a variable. Every contender
// keeps its storage from one iteration to the next, as the runtime's buffer
// and string variable do.

constexpr int kAppends = 100000;

struct Pieces {
  std::vector<char16_t> units;  // each word and its space, terminated
  std::vector<char> bytes;      // the same in UTF-8, terminated
  std::vector<size_t> unit_at, byte_at;
  int64_t total_units = 0;
};

Pieces make_pieces(const std::string &english) {
  Pieces p;
  size_t from = 0;
  for (int k = 0; k < kAppends; ++k) {
    size_t end = english.find(' ', from);
    if (end == std::string::npos) {  // start over
      from = 0;
      end = english.find(' ');
    }
    std::string word = english.substr(from, end + 1 - from);
    from = end + 1;
    p.unit_at.push_back(p.units.size());
    p.byte_at.push_back(p.bytes.size());
    for (char c : word) p.units.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    p.units.push_back(0);
    p.bytes.insert(p.bytes.end(), word.begin(), word.end());
    p.bytes.push_back(0);
    p.total_units += static_cast<int64_t>(word.size());
  }
  return p;
}

void register_string_engine(const std::string &english) {
  static Pieces p = make_pieces(english);
  static std::vector<const RtChar *> words;
  static std::vector<const char *> words8;
  for (int k = 0; k < kAppends; ++k) {
    words.push_back(reinterpret_cast<const RtChar *>(p.units.data() + p.unit_at[static_cast<size_t>(k)]));
    words8.push_back(p.bytes.data() + p.byte_at[static_cast<size_t>(k)]);
  }
  const int64_t in = 2 * p.total_units;  // the UTF-16 text built

  add("string_build/100k_appends/runtime", in, [](benchmark::State &state) {
    StringVar var = nullptr;
    for (auto _ : state) {
      int32_t start = strbuf_position();
      for (const RtChar *w : words) strbuf_append(w);
      strvar_assign_from_buffer(&var, start);
      benchmark::DoNotOptimize(var);
    }
    free(var);
  });
  add("string_build/100k_appends/std_u16string", in, [](benchmark::State &state) {
    std::u16string built, assigned;
    for (auto _ : state) {
      built.clear();
      for (const RtChar *w : words) built.append(reinterpret_cast<const char16_t *>(w));
      assigned = built;
      benchmark::DoNotOptimize(assigned.data());
    }
  });
  add("string_build/100k_appends/glib_gstring", in, [](benchmark::State &state) {
    GString *built = g_string_new(nullptr);
    GString *assigned = g_string_new(nullptr);
    for (auto _ : state) {
      g_string_truncate(built, 0);
      for (const char *w : words8) g_string_append(built, w);
      g_string_assign(assigned, built->str);
      benchmark::DoNotOptimize(assigned->str);
    }
    g_string_free(built, TRUE);
    g_string_free(assigned, TRUE);
  });

  StringVar var = nullptr;
  int32_t start = strbuf_position();
  for (const RtChar *w : words) strbuf_append(w);
  strvar_assign_from_buffer(&var, start);
  fail_unless(rt_strlen(var) == p.total_units, "runtime string building");
  free(var);
}

}  // namespace

int main(int argc, char **argv) {
  strbuf_init();
  for (const corpus::KindName &k : corpus::kKinds) {
    Text t;
    t.kind = k.name;
    t.utf8 = corpus::make_utf8(k.kind, kCorpusBytes);
    t.utf16 = corpus::to_utf16(t.utf8);
    if (k.kind == corpus::Kind::kAscii || k.kind == corpus::Kind::kLatin) t.latin1 = corpus::to_latin1(t.utf16);
    texts().push_back(std::move(t));
  }
  for (const Text &t : texts()) register_utf8_to_utf16(t);
  for (const Text &t : texts()) register_utf16_to_utf8(t);
  for (const Text &t : texts())
    if (!t.latin1.empty()) register_latin1(t);
  register_string_engine(texts()[0].utf8);

  // Both passes at least twice as fast as ICU's two passes on every corpus,
  // and 8 GB/s of ASCII input, for each way the runtime's callers convert.
  std::vector<bench::Target> targets;
  const char *const ways[][2] = {{"utf8_to_utf16/", "runtime_strbuf"}, {"utf8_to_utf16/", "runtime_multibyte"},
                                 {"utf16_to_utf8/", "runtime_host"}, {"utf16_to_utf8/", "runtime_multibyte"}};
  for (const auto &way : ways) targets.push_back({way[0], way[1], "icu_two_pass", 2.0});
  for (const auto &way : ways) targets.push_back({std::string(way[0]) + "ascii/", way[1], "", 8.0});
  targets.push_back({"utf16_to_latin1/", "runtime_multibyte", "icu_two_pass", 2.0});
  targets.push_back({"latin1_to_utf16/", "runtime_multibyte", "icu_two_pass", 2.0});
  int status = bench::run(argc, argv, targets);
  strbuf_release();
  return status;
}
