// Deterministic text corpora for the text benchmarks and the conversion tests:
// English ASCII, French and German (Latin-1 heavy), Chinese and Japanese (CJK)
// and English strewn with emoji (surrogate pairs in UTF-16). The text is made
// at run time from word lists and a seeded generator, so a kind, size and
// seed give the same bytes on every machine and at both pointer widths.
#ifndef KRT_BENCH_TEXT_CORPUS_H
#define KRT_BENCH_TEXT_CORPUS_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace corpus {

enum class Kind { kAscii, kLatin, kCjk, kEmoji };

struct KindName {
  Kind kind;
  const char *name;
};
inline constexpr KindName kKinds[] = {
    {Kind::kAscii, "ascii"}, {Kind::kLatin, "latin"}, {Kind::kCjk, "cjk"}, {Kind::kEmoji, "emoji"}};

// splitmix64: small, fast and the same everywhere.
struct Random {
  uint64_t state;
  explicit Random(uint64_t seed) : state(seed) {}
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform enough in [0, n) for n far below 2^32.
  uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) % n); }
  bool chance(uint32_t percent) { return below(100) < percent; }
};

inline void append_utf8(std::string &out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

namespace detail {

template <size_t N>
const char *pick(Random &r, const char *const (&words)[N]) {
  return words[r.below(static_cast<uint32_t>(N))];
}

inline constexpr const char *kEnglish[] = {
    "the", "of", "and", "to", "in", "is", "was", "that", "for", "it", "with", "as", "his", "on",
    "be", "at", "by", "had", "are", "but", "from", "or", "have", "an", "they", "which", "one",
    "you", "were", "her", "all", "she", "there", "would", "their", "we", "him", "been", "has",
    "when", "who", "will", "more", "no", "if", "out", "so", "said", "what", "up", "its", "about",
    "into", "than", "them", "can", "only", "other", "new", "some", "could", "time", "these",
    "two", "may", "then", "first", "any", "like", "now", "my", "such", "make", "over", "our",
    "even", "most", "me", "state", "after", "also", "made", "many", "before", "must", "through",
    "back", "years", "where", "much", "your", "way", "well", "down", "should", "because",
    "each", "just", "those", "people", "how", "too", "little", "good", "very", "world", "still",
    "house", "between", "never", "under", "water", "program", "window", "message", "argument",
    "buffer", "console", "terminal", "evening", "morning", "river", "mountain", "letter",
    "number", "government", "question", "important", "children", "something", "together"};

inline constexpr const char *kFrench[] = {
    "le", "la", "les", "de", "des", "et", "un", "une", "dans", "pour", "avec", "sur", "par",
    "plus", "nous", "vous", "il", "elle", "est", "été", "à", "où", "déjà", "français", "élève",
    "très", "après", "garçon", "château", "forêt", "hôtel", "naïve", "Noël", "crème", "brûlée",
    "fenêtre", "mère", "père", "frère", "écrire", "lumière", "première", "être", "voilà",
    "leçon", "théâtre", "égalité", "société", "réalité", "idée", "pâte", "île", "août", "dîner",
    "ça", "qu'il", "côté", "général", "année", "problème", "système", "répondre", "élevé",
    "préféré", "café", "rivière", "matin", "soir", "ville", "maison", "travail", "enfant"};

inline constexpr const char *kGerman[] = {
    "der", "die", "das", "und", "ist", "nicht", "mit", "auf", "sich", "ein", "eine", "zu", "von",
    "dem", "den", "über", "für", "Mädchen", "Straße", "schön", "Grüße", "Größe", "Bäcker",
    "hören", "Tür", "Müller", "Käse", "Brötchen", "Fußball", "weiß", "heiß", "müssen",
    "können", "zurück", "natürlich", "Übung", "Äpfel", "Öl", "später", "während", "Bücher",
    "fährt", "gemütlich", "Mädels", "Gebäude", "außerdem", "Stadt", "Wasser", "Abend", "Zeit",
    "Arbeit", "Kinder", "Haus", "gehen", "sehen", "Frühstück", "Spaß", "Glück", "drücken"};

inline std::string capitalised(const char *word) {
  std::string w = word;
  if (!w.empty() && w[0] >= 'a' && w[0] <= 'z') w[0] = static_cast<char>(w[0] - 'a' + 'A');
  return w;
}

// Sentences of words with punctuation, paragraphs every few sentences.
template <size_t N>
void sentence(std::string &out, Random &r, const char *const (&words)[N], bool french) {
  int count = 3 + static_cast<int>(r.below(13));
  bool quoted = french && r.chance(10);
  if (quoted) out += "\xC2\xAB ";  // guillemets
  for (int k = 0; k < count; ++k) {
    out += k == 0 ? capitalised(pick(r, words)) : std::string(pick(r, words));
    if (k + 1 < count) out += r.chance(8) ? ", " : " ";
  }
  if (quoted) out += " \xC2\xBB";
  out += r.chance(85) ? ". " : (r.chance(50) ? "? " : "! ");
  if (r.chance(15)) out += "\n";
}

inline void cjk_run(std::string &out, Random &r) {
  // Ideographs, now and then a run of kana, commas and full stops.
  int count = 8 + static_cast<int>(r.below(40));
  for (int k = 0; k < count; ++k) {
    if (r.chance(20)) {
      int kana = 1 + static_cast<int>(r.below(4));
      for (int j = 0; j < kana; ++j) append_utf8(out, 0x3041 + r.below(0x53));
    } else {
      append_utf8(out, 0x4E00 + r.below(0x51A6));
    }
    if (r.chance(8)) append_utf8(out, 0x3001);  // ideographic comma
  }
  if (r.chance(10)) {
    out += std::to_string(1900 + r.below(130));
    append_utf8(out, 0x5E74);  // year
  }
  append_utf8(out, r.chance(90) ? 0x3002 : 0xFF01);  // full stop or exclamation
  if (r.chance(12)) out += "\n";
}

inline void emoji(std::string &out, Random &r) {
  static constexpr uint32_t kBlocks[][2] = {
      {0x1F600, 0x50}, {0x1F300, 0x100}, {0x1F680, 0x50}, {0x1F900, 0x100}};
  const uint32_t *block = kBlocks[r.below(4)];
  append_utf8(out, block[0] + r.below(block[1]));
  if (r.chance(10)) append_utf8(out, 0x1F3FB + r.below(5));  // skin tone
  if (r.chance(8)) append_utf8(out, 0xFE0F);                 // emoji presentation
  if (r.chance(5)) {
    append_utf8(out, 0x200D);  // joined with a second one
    append_utf8(out, 0x1F600 + r.below(0x50));
  }
}

// Cuts text to at most `bytes` bytes at a character boundary.
inline void cut(std::string &text, size_t bytes) {
  if (text.size() <= bytes) return;
  size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
}

}  // namespace detail

// About `bytes` bytes (never more) of well-formed UTF-8 of the given kind.
inline std::string make_utf8(Kind kind, size_t bytes, uint64_t seed = 1) {
  Random r(seed * 0x100 + static_cast<uint64_t>(kind));
  std::string text;
  text.reserve(bytes + 256);
  while (text.size() < bytes) {
    switch (kind) {
      case Kind::kAscii:
        detail::sentence(text, r, detail::kEnglish, false);
        break;
      case Kind::kLatin:
        if (r.chance(50)) detail::sentence(text, r, detail::kFrench, true);
        else detail::sentence(text, r, detail::kGerman, false);
        break;
      case Kind::kCjk:
        detail::cjk_run(text, r);
        break;
      case Kind::kEmoji: {
        int words = 1 + static_cast<int>(r.below(3));
        for (int k = 0; k < words; ++k) {
          text += detail::pick(r, detail::kEnglish);
          text += ' ';
        }
        int icons = 1 + static_cast<int>(r.below(3));
        for (int k = 0; k < icons; ++k) detail::emoji(text, r);
        text += r.chance(10) ? ".\n" : " ";
        break;
      }
    }
  }
  detail::cut(text, bytes);
  return text;
}

// UTF-16 of well-formed UTF-8 (what make_utf8 gives), decoded here without
// the runtime so that it can stand as an independent expectation.
inline std::u16string to_utf16(const std::string &utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    uint32_t b = static_cast<unsigned char>(utf8[i]);
    int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
    uint32_t cp = extra == 0 ? b : b & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) cp = cp << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += static_cast<size_t>(extra) + 1;
    if (cp < 0x10000) {
      out += static_cast<char16_t>(cp);
    } else {
      out += static_cast<char16_t>(0xD800 | (cp - 0x10000) >> 10);
      out += static_cast<char16_t>(0xDC00 | ((cp - 0x10000) & 0x3FF));
    }
  }
  return out;
}

// Latin-1 bytes of text whose characters are all below U+0100.
inline std::string to_latin1(const std::u16string &text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t u : text) out += static_cast<char>(u);
  return out;
}

}  // namespace corpus

#endif
