// Line input from a file on standard input: line ends, end of input, zero
// bytes, UTF-8, long lines, where the text lands in the temporary buffer, and
// the out-of-memory exit.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "console/console.h"
#include "core/rtstring.h"
#include "core/text_helpers.h"
#include "support/alloc_seam.h"

namespace {

using Text = std::u16string;

class ConsoleInput : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_stdin_ = dup(0);
    strbuf_init();
  }
  void TearDown() override {
    console_end();
    dup2(saved_stdin_, 0);
    close(saved_stdin_);
    reset_stdin_stream();
    strbuf_release();
  }

  static void reset_stdin_stream() {
    __fpurge(stdin);
    clearerr(stdin);
  }

  // From now on standard input reads `bytes` from a file, from its start.
  void feed(const std::string &bytes) {
    FILE *file = tmpfile();
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    fflush(file);
    dup2(fileno(file), 0);
    fclose(file);
    rewind_input();
    console_init();
  }

  // As feed, for `first`, then `fill` up to `size` bytes, then `tail`,
  // written piece by piece so that the input never sits in memory whole.
  void feed_repeated(char first, char fill, size_t size, const std::string &tail) {
    FILE *file = tmpfile();
    ASSERT_NE(file, nullptr);
    std::string piece(1 << 20, fill);
    piece[0] = first;
    for (size_t done = 0; done < size; done += piece.size()) {
      ASSERT_EQ(fwrite(piece.data(), 1, piece.size(), file), piece.size());
      piece[0] = fill;
    }
    ASSERT_EQ(fwrite(tail.data(), 1, tail.size(), file), tail.size());
    fflush(file);
    dup2(fileno(file), 0);
    fclose(file);
    rewind_input();
    console_init();
  }

  // Back to the start of the fed bytes, nothing buffered, no end of input.
  static void rewind_input() {
    lseek(0, 0, SEEK_SET);
    reset_stdin_stream();
  }

  // One console_input call behind three units already in the buffer. Checks
  // that the text lands at the start, the position lies on its terminator and
  // the units before the start are untouched; returns the text.
  static Text next_line() {
    strbuf_set_position(0);
    strbuf_append(R(u"pre"));
    int32_t start = strbuf_position();
    console_input(start);
    Text text(reinterpret_cast<const char16_t *>(strbuf_text_at(start)));
    EXPECT_EQ(strbuf_position(), start + 2 * static_cast<int32_t>(text.size()));
    EXPECT_EQ(Text(reinterpret_cast<const char16_t *>(strbuf_text_at(0)), 3), u"pre");
    strbuf_set_position(0);
    return text;
  }

 private:
  int saved_stdin_ = -1;
};

const Text kEof = u"\nEOF\n";

struct LineCase {
  std::string input;
  std::vector<Text> lines;  // the results of consecutive calls
  const char *why;
};

TEST_F(ConsoleInput, LinesAndEndOfInput) {
  const std::string a1500(1500, 'a'), b1024(1024, 'b'), c2048(2048, 'c');
  const LineCase cases[] = {
      {"Ann\n", {u"Ann", u"", kEof, kEof}, "a line; the call that meets the end gives empty"},
      {"x\r\n", {u"x\r"}, "CR before LF stays in the text"},
      {a1500 + "\n", {Text(1500, u'a'), u""}, "a line longer than one block step"},
      {b1024 + "\n", {Text(1024, u'b'), u"", kEof}, "exactly one block step, then LF"},
      {b1024, {Text(1024, u'b'), kEof, kEof}, "exactly one block step, then end of input"},
      {c2048, {Text(2048, u'c'), kEof}, "two block steps, then end of input"},
      {"", {u"", kEof, kEof}, "end of input from the start"},
      {"abc", {u"abc", kEof}, "last line without LF"},
      {std::string("ab\0cd\nef\n", 9), {u"ab", u"ef"}, "text ends at a zero byte; rest of line dropped"},
      {std::string("\0\n", 2), {u"", u""}, "zero byte first"},
      {"one\ntwo\n", {u"one", u"two", u"", kEof}, "bytes after LF stay for the next call"},
      {"\n\n", {u"", u"", u"", kEof}, "empty lines"},
      {"\xC3\xA9\n", {u"\u00e9"}, "UTF-8 for U+00E9"},
      {"Zo\xC3\xAB \xE2\x82\xAC\n", {u"Zo\u00eb \u20ac"}, "two- and three-byte sequences"},
      {"\xF0\x9F\x98\x80\n", {u"\U0001F600"}, "four bytes give a surrogate pair"},
      {"a\xFF" "b\n", {u"a\uFFFDb"}, "invalid byte becomes U+FFFD"},
      {"\xC3(\n", {u"\uFFFD("}, "lead byte without continuation"},
      {"x\xE2\x82\n", {u"x\uFFFD"}, "sequence cut by the line end"},
      {"\xC0\xAF\n", {u"\uFFFD\uFFFD"}, "overlong encoding"},
      {"\xED\xA0\x80\n", {u"\uFFFD\uFFFD\uFFFD"}, "encoded surrogate"},
  };
  for (const LineCase &c : cases) {
    SCOPED_TRACE(c.why);
    feed(c.input);
    for (size_t i = 0; i < c.lines.size(); ++i) {
      SCOPED_TRACE("call " + std::to_string(i + 1));
      EXPECT_EQ(next_line(), c.lines[i]);
    }
  }
}

TEST_F(ConsoleInput, AReadErrorEndsTheLineButIsNotEndOfInput) {
  // Reading a write-only descriptor fails with EBADF; the end-of-file
  // indicator stays clear, so every call reads again.
  feed("");
  int write_only = open("/dev/null", O_WRONLY);
  ASSERT_GE(write_only, 0);
  dup2(write_only, 0);
  close(write_only);
  reset_stdin_stream();
  EXPECT_EQ(next_line(), u"");
  EXPECT_EQ(next_line(), u"");
}

TEST_F(ConsoleInput, BytesAfterAZeroAreReadWithoutBeingStored) {
  // Endless input without LF (such as /dev/zero) must not grow the line.
  feed("ab" + std::string(8 << 20, '\0') + "\ncd\n");
  long allocations;
  {
    AllocCounter counter;
    EXPECT_EQ(next_line(), u"ab");
    allocations = counter.calls();
  }
  EXPECT_LE(allocations, 3) << "8 MiB after the zero byte were stored";
  EXPECT_EQ(next_line(), u"cd");
}

// The line block grows by 1 KiB at a time. The C library grows a large block
// in place or remaps it, but the sanitizers' allocator copies it on every
// growth, which makes a long line cost time quadratic in its length: there
// the same test reads a 1 MiB line.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kLongLine = size_t{1} << 20;
#else
constexpr size_t kLongLine = size_t{64} << 20;
#endif

TEST_F(ConsoleInput, A64MiBLineIsReadWhole) {
  const size_t size = kLongLine;
  feed_repeated('A', 'k', size, "Z\nend\n");
  strbuf_set_position(0);
  console_input(0);
  ASSERT_EQ(strbuf_position(), static_cast<int32_t>(2 * (size + 1)));
  const RtChar *text = strbuf_text_at(0);
  EXPECT_EQ(text[0], u'A');
  EXPECT_EQ(text[size], u'Z');
  EXPECT_EQ(text[size + 1], 0);
  EXPECT_EQ(std::count(text + 1, text + size, u'k'), static_cast<std::ptrdiff_t>(size - 1));
  EXPECT_EQ(next_line(), u"end");
}

TEST_F(ConsoleInput, EveryFailedAllocationEndsThroughTheOutOfMemoryExit) {
  // A line of 1500 bytes needs the line block, its growth and a larger
  // temporary buffer. Failing each of them in turn ends the process with the
  // out-of-memory status and message.
  feed(std::string(1500, 'a') + "\n");
  long needed;
  {
    AllocCounter counter;
    EXPECT_EQ(next_line(), Text(1500, u'a'));
    needed = counter.calls();
  }
  ASSERT_GE(needed, 2);
  for (long n = 1; n <= needed; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    strbuf_release();
    strbuf_init();
    rewind_input();
    EXPECT_EXIT(
        {
          AllocFailure fail(n);
          console_input(0);
        },
        ::testing::ExitedWithCode(71), "^out of memory: cannot allocate ");
  }
}

TEST_F(ConsoleInput, AStartNearTheBufferBoundEndsThroughTheOutOfMemoryExit) {
  // The position would pass 2 GiB: the process ends instead of wrapping it.
  feed("abc\n");
  EXPECT_EXIT(console_input(0x7FFFFF00), ::testing::ExitedWithCode(71),
              "^out of memory: cannot allocate the temporary string buffer beyond 2 GiB");
}

}  // namespace
