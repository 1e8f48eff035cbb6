// The string engine driven by random sequences of buffer and variable
// operations, checked after every step against a plain model: the text built
// in the buffer, its position and capacity (growth rule included), and the
// text of four string variables. Covers the aliasing cases: a variable
// assigned from itself or from its own tail, a buffer append of text that
// lies in the buffer, a variable that is an operand of the expression
// assigned to it.
//
// Input: a sequence of operations, each an opcode byte and its argument bytes
// (see run_one); missing bytes read as 0. Built with -DFUZZ_TRACE, it prints
// each step to stderr.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "core/rtstring.h"
#include "fuzz_check.h"

namespace {

using Units = std::vector<RtChar>;

constexpr int kVars = 4;
constexpr size_t kMaxMarks = 8;
// Keeps one input fast: operations that would take the buffer beyond this
// many bytes are skipped.
constexpr int64_t kMaxBufferBytes = 1 << 18;

struct Reader {
  const uint8_t *p;
  size_t left;
  bool done() const { return left == 0; }
  uint8_t byte() {
    if (left == 0) return 0;
    --left;
    return *p++;
  }
};

struct Model {
  Units built;              // the buffer text from 0 to the position
  bool terminated = false;  // a 0 unit stands at the position
  int64_t capacity = 16;
  bool grown = false;
  std::optional<Units> vars[kVars];
  std::vector<int32_t> marks;  // expression starts, innermost last
};

StringVar vars[kVars];

int64_t position_bytes(const Model &m) { return 2 * static_cast<int64_t>(m.built.size()); }

// A text of nonzero units: a length byte (the top two bits scale it up to
// about 3000 units) and a seed byte.
Units fresh_text(Reader &in) {
  uint8_t l = in.byte();
  size_t length = (l & 0x3F) * (l >> 6 == 3 ? 48 : l >> 6 == 2 ? 8 : 1);
  uint32_t seed = in.byte() * 0x0101u;
  Units t;
  for (size_t i = 0; i < length; ++i) {
    RtChar u = static_cast<RtChar>(seed + i * 0x9E37u);
    t.push_back(u != 0 ? u : 1);
  }
  t.push_back(0);
  return t;
}

// The buffer grows when the need reaches capacity - 4, to need + 16384.
void model_reserve(Model &m, int64_t count) {
  int64_t need = position_bytes(m) + 2 * count;
  if (need >= m.capacity - 4) {
    m.capacity = need + 16384;
    m.grown = true;
  }
}

int32_t pop_mark(Model &m) {
  if (m.marks.empty()) return 0;
  int32_t s = m.marks.back();
  m.marks.pop_back();
  return s;
}

// Puts the position back to start, as after an expression.
void model_rewind(Model &m, int32_t start) {
  size_t units = static_cast<size_t>(start / 2);
  if (units != m.built.size()) m.terminated = false;
  m.built.resize(units);
}

// Checks the buffer from unit `from` on (text before it was checked already
// and no step writes there) and every variable.
void check_state(const Model &m, size_t from) {
  FUZZ_CHECK(temp_strbuf.position == position_bytes(m));
  FUZZ_CHECK(temp_strbuf.capacity == m.capacity);
  FUZZ_CHECK(temp_strbuf.position + 4 < temp_strbuf.capacity);
  from = std::min(from, m.built.size());
  FUZZ_CHECK(std::equal(m.built.begin() + static_cast<std::ptrdiff_t>(from), m.built.end(), strbuf_text_at(0) + from));
  if (m.terminated) FUZZ_CHECK(strbuf_text_at(strbuf_position())[0] == 0);
  // After a growth the block holds capacity + 10 bytes; the sanitizer build
  // reports a read of its last byte if it is shorter.
  if (m.grown) (void)*static_cast<volatile char *>(temp_strbuf.base + temp_strbuf.capacity + 9);
  for (int i = 0; i < kVars; ++i) {
    FUZZ_CHECK((vars[i] == nullptr) == !m.vars[i].has_value());
    if (vars[i] == nullptr) continue;
    const Units &want = *m.vars[i];  // terminator included
    FUZZ_CHECK(rt_strlen(vars[i]) == static_cast<NativeInt>(want.size() - 1));
    FUZZ_CHECK(std::equal(want.begin(), want.end(), vars[i]));
    // A variable's block has 8 bytes of slack behind its terminator.
    (void)*(reinterpret_cast<volatile char *>(vars[i]) + 2 * want.size() + 7);
  }
}

bool fits(const Model &m, int64_t units) { return position_bytes(m) + 2 * units + 16 < kMaxBufferBytes; }

int sign(int v) { return (v > 0) - (v < 0); }

void run_one(Model &m, Reader &in) {
  uint8_t op = in.byte();
  int v = in.byte() % kVars;
#ifdef FUZZ_TRACE
  fprintf(stderr, "op %d var %d position %ld capacity %ld\n", op % 13, v, static_cast<long>(temp_strbuf.position),
          static_cast<long>(temp_strbuf.capacity));
#endif
  switch (op % 13) {
    case 0:  // remember the position as an expression start
      if (m.marks.size() < kMaxMarks) m.marks.push_back(strbuf_position());
      break;
    case 1: {  // append a fresh text
      Units t = fresh_text(in);
      if (!fits(m, static_cast<int64_t>(t.size()))) break;
      strbuf_append(t.data());
      model_reserve(m, static_cast<int64_t>(t.size() - 1));
      m.built.insert(m.built.end(), t.begin(), t.end() - 1);
      m.terminated = true;
      break;
    }
    case 2:  // append null: only a terminator
      strbuf_append(nullptr);
      m.terminated = true;
      break;
    case 3: {  // append a variable (null is the empty text)
      if (m.vars[v] && !fits(m, static_cast<int64_t>(m.vars[v]->size()))) break;
      strbuf_append(vars[v]);
      if (m.vars[v]) {
        model_reserve(m, static_cast<int64_t>(m.vars[v]->size() - 1));
        m.built.insert(m.built.end(), m.vars[v]->begin(), m.vars[v]->end() - 1);
      }
      m.terminated = true;
      break;
    }
    case 4: {  // append the tail of the text being built, from inside the buffer
      if (!m.terminated || !fits(m, static_cast<int64_t>(m.built.size()))) break;
      size_t from = in.byte() * (m.built.size() + 1) / 256;
      Units tail(m.built.begin() + static_cast<std::ptrdiff_t>(from), m.built.end());
      strbuf_append(strbuf_text_at(static_cast<int32_t>(2 * from)));
      model_reserve(m, static_cast<int64_t>(tail.size()));
      m.built.insert(m.built.end(), tail.begin(), tail.end());
      break;
    }
    case 5: {  // reserve room at the position and fill it, as a producer does
      uint8_t c = in.byte();
      int32_t count = c == 255 ? -1 : (c & 0x7F) * (c & 0x80 ? 37 : 1);
      if (!fits(m, count)) break;
      const int32_t start = strbuf_position();
      RtChar *p = strbuf_reserve(count, start);
      FUZZ_CHECK(p == strbuf_text_at(start));
      model_reserve(m, count > 0 ? count : 0);
      for (int32_t i = 0; i < count; ++i) {
        p[i] = static_cast<RtChar>(1 + (start / 2 + i) % 0xFFFF);  // never 0
        m.built.push_back(p[i]);
      }
      p[count > 0 ? count : 0] = 0;
      m.terminated = true;
      break;
    }
    case 6: {  // assign a fresh text
      Units t = fresh_text(in);
      FUZZ_CHECK(strvar_assign(&vars[v], t.data()) == static_cast<NativeInt>(2 * t.size()));
      m.vars[v] = t;
      break;
    }
    case 7:  // assign null
      FUZZ_CHECK(strvar_assign(&vars[v], nullptr) == 2);
      m.vars[v].reset();
      break;
    case 8: {  // assign another variable, or the variable itself
      int w = in.byte() % kVars;
      NativeInt r = strvar_assign(&vars[v], vars[w]);
      if (!m.vars[w]) {
        FUZZ_CHECK(r == 2);
        m.vars[v].reset();
        break;
      }
      Units want = *m.vars[w];
      FUZZ_CHECK(r == static_cast<NativeInt>(2 * want.size()));
      m.vars[v].emplace(std::move(want));
      break;
    }
    case 9: {  // assign the variable's own tail
      if (!m.vars[v]) break;
      size_t from = in.byte() * m.vars[v]->size() / 256;
      Units want(m.vars[v]->begin() + static_cast<std::ptrdiff_t>(from), m.vars[v]->end());
      FUZZ_CHECK(strvar_assign(&vars[v], vars[v] + from) == static_cast<NativeInt>(2 * want.size()));
      m.vars[v].emplace(std::move(want));
      break;
    }
    case 10: {  // assign the expression since the innermost start
      int32_t start = pop_mark(m);
      Units want(m.built.begin() + start / 2, m.built.end());
      want.push_back(0);
      strvar_assign_from_buffer(&vars[v], start);
      m.vars[v] = want;
      model_rewind(m, start);
      break;
    }
    case 11: {  // a new copy into a slot just emptied (as a structure copy does)
      bool null_text = in.byte() & 1;
      Units t = fresh_text(in);
      free(vars[v]);
      vars[v] = nullptr;
      m.vars[v].reset();
      strvar_new(&vars[v], null_text ? nullptr : t.data());
      if (!null_text) m.vars[v] = t;
      break;
    }
    case 12: {  // compare and copy two variables
      int w = in.byte() % kVars;
      if (!m.vars[v] || !m.vars[w]) break;
      const Units &a = *m.vars[v], &b = *m.vars[w];
      int want = 0;
      for (size_t i = 0;; ++i) {
        if (a[i] != b[i]) {
          want = static_cast<int16_t>(a[i]) - static_cast<int16_t>(b[i]);
          break;
        }
        if (a[i] == 0) break;
      }
      FUZZ_CHECK(rt_strcmp(vars[v], vars[w]) == want);
      FUZZ_CHECK(sign(rt_strcmp(vars[w], vars[v])) == -sign(want));
      std::unique_ptr<RtChar[]> copy(new RtChar[a.size()]);
      FUZZ_CHECK(rt_strcopy(copy.get(), vars[v]) == copy.get());
      FUZZ_CHECK(std::equal(a.begin(), a.end(), copy.get()));
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Reader in{data, size};
  Model m;
  strbuf_init();
  check_state(m, 0);
  for (int steps = 0; !in.done() && steps < 4096; ++steps) {
    size_t before = m.built.size();
    run_one(m, in);
    check_state(m, before);
  }
  check_state(m, 0);
  for (StringVar &v : vars) {
    free(v);
    v = nullptr;
  }
  strbuf_release();
  return 0;
}
