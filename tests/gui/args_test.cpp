// Program arguments: a probe program run as a real process over tables of
// command lines, and in-process checks of what a process cannot show (an
// empty vector, a vector that changes between calls, the state slots).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/frame.h"
#include "core/memblock.h"
#include "core/rtstring.h"
#include "core/textconv.h"
#include "gui/args.h"
#include "support/alloc_seam.h"
#include "support/process.h"
#ifdef ARGS_GUI_PROBE
#include "xserver.h"
#endif

namespace {

struct ProbeRow {
  std::vector<std::string> args;
  const char *requests;
  const char *want;
  const char *why;
};

void run_rows(const char *probe, const std::vector<ProbeRow> &rows) {
  for (const ProbeRow &row : rows) {
    SCOPED_TRACE(row.why);
    ProcessResult r = run_process(program_command(probe, row.args), row.requests, 120);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, row.want);
  }
}

TEST(ArgsProcess, CountsAndReadsTheCommandLine) {
  run_rows(ARGS_PROBE,
           {
               {{}, "count\nnext\nnext\n", "count=0\nnext=\nnext=\n", "no arguments"},
               {{"a", "b", "c"}, "count\nnext\nnext\nnext\nnext\nnext\n",
                "count=3\nnext=a\nnext=b\nnext=c\nnext=\nnext=\n",
                "in order, then the empty string on every later call"},
               {{"a", "b", "c"}, "index 1\nnext\nnext\n", "index=b\nnext=c\nnext=\n",
                "by number moves the cursor onto the argument"},
               {{"a", "b", "c"}, "index -1\nindex 3\nindex 99\nnext\n",
                "index=\nindex=\nindex=\nnext=a\n",
                "out of range yields empty and leaves a fresh cursor alone"},
               {{"a", "b", "c"}, "next\nnext\nindex 5\nnext\n", "next=a\nnext=b\nindex=\nnext=c\n",
                "out of range leaves a moved cursor alone"},
               {{"a", "b", "c"}, "next\nnext\nnext\nnext\nindex 0\nnext\n",
                "next=a\nnext=b\nnext=c\nnext=\nindex=a\nnext=b\n",
                "by number brings an exhausted cursor back"},
               {{"a", "", "c"}, "count\nnext\nnext\nnext\nindex 1\n",
                "count=3\nnext=a\nnext=\nnext=c\nindex=\n", "an empty argument is counted"},
               {{"h\xC3\xA9llo", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"}, "next\nnext\nindex 2\n",
                "next=h\xC3\xA9llo\nnext=\xE2\x82\xAC\nindex=\xF0\x9F\x98\x80\n",
                "non-ASCII UTF-8 comes back as the same characters"},
               {{"a\xFF" "b", "\xC3", "\xE2\x82", "\xED\xA0\x80"}, "next\nnext\nnext\nnext\n",
                "next=a\xEF\xBF\xBD" "b\nnext=\xEF\xBF\xBD\nnext=\xEF\xBF\xBD\nnext=\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\n",
                "bytes that are not UTF-8 become U+FFFD"},
               {{"--sync", "--name=x"}, "count\nnext\nnext\n", "count=2\nnext=--sync\nnext=--name=x\n",
                "without GUI initialisation nothing is taken for GTK"},
           });
}

#ifdef ARGS_GUI_PROBE
TEST(ArgsProcess, OptionsThatGtkConsumesAreNeitherCountedNorYielded) {
  std::string why;
  ASSERT_NE(test_display(&why), "") << why;
  run_rows(ARGS_GUI_PROBE,
           {
               {{"--sync"}, "count\nnext\nindex 0\n", "count=0\nnext=\nindex=\n", "a lone GTK option"},
               {{"a", "--sync", "b"}, "count\nnext\nnext\nnext\nindex 1\n",
                "count=2\nnext=a\nnext=b\nnext=\nindex=b\n", "the others keep their order"},
               {{"--name=probe", "x", "--class", "Probe", "--nope", ""}, "count\nnext\nnext\nnext\n",
                "count=3\nnext=x\nnext=--nope\nnext=\n",
                "GTK takes its options with their values and leaves unknown ones"},
               {{"h\xC3\xA9", "a\xFF"}, "count\nnext\nnext\n", "count=2\nnext=h\xC3\xA9\nnext=a\xEF\xBF\xBD\n",
                "other arguments pass GTK unchanged"},
           });
}
#endif

// In-process: the module reads ProgramState directly, so a test can hand it
// any vector, including ones the C start-up never produces.
class ArgsInProcess : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    strbuf_init();
    args_init();  // once per process: the slot is never given back
  }
  static void TearDownTestSuite() { strbuf_release(); }
  void SetUp() override { saved_ = program_state; }
  void TearDown() override { program_state = saved_; }

  void use(std::vector<const char *> *vector) {
    program_state.argc = static_cast<int32_t>(vector->size());
    vector->push_back(nullptr);
    program_state.argv = const_cast<char **>(vector->data());
  }
  static std::string text_from(void (*read)(NativeInt, NativeInt), NativeInt n) {
    int32_t start = strbuf_position();
    read(n, start);
    HostString host = str_to_host_utf8(strbuf_text_at(start));
    std::string text = host;
    host_string_free(host);
    strbuf_set_position(start);
    return text;
  }
  static std::string next() {
    return text_from([](NativeInt, NativeInt start) { args_next(start); }, 0);
  }
  static std::string by_index(NativeInt n) {
    return text_from([](NativeInt i, NativeInt start) { args_by_index(i, start); }, n);
  }

 private:
  ProgramState saved_;
};

TEST_F(ArgsInProcess, AnEmptyVectorCountsMinusOneAndYieldsOnlyEmptyStrings) {
  std::vector<const char *> none;
  use(&none);
  EXPECT_EQ(args_count(), -1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(next(), "");
  EXPECT_EQ(by_index(0), "");
  EXPECT_EQ(by_index(-1), "");
}

TEST_F(ArgsInProcess, EveryCallReadsTheVectorAsItIsThen) {
  std::vector<const char *> first = {"prog", "a", "b", "c"};
  use(&first);
  EXPECT_EQ(args_count(), 3);
  EXPECT_EQ(by_index(0), "a");
  // Another vector in place, as when GTK has removed its options.
  std::vector<const char *> second = {"prog", "x", "y"};
  use(&second);
  EXPECT_EQ(args_count(), 2);
  EXPECT_EQ(next(), "y");
  EXPECT_EQ(by_index(0), "x");
  program_state.argc = 1;  // the count alone shrinks
  EXPECT_EQ(args_count(), 0);
  EXPECT_EQ(next(), "");
  EXPECT_EQ(by_index(0), "");
}

TEST_F(ArgsInProcess, TheCursorKeepsGrowingPastTheEnd) {
  std::vector<const char *> short_vector = {"prog", "a"};
  use(&short_vector);
  EXPECT_EQ(by_index(0), "a");  // cursor on entry 1
  EXPECT_EQ(next(), "");        // entry 2
  EXPECT_EQ(next(), "");        // entry 3
  // If the cursor had stopped at the end, the next read would yield b.
  std::vector<const char *> longer = {"prog", "a", "b", "c", "d", "e"};
  use(&longer);
  EXPECT_EQ(next(), "d");
}

TEST_F(ArgsInProcess, TextLandsAtTheGivenStartAndLeavesThePositionOnItsTerminator) {
  std::vector<const char *> vector = {"prog", "h\xC3\xA9llo"};
  use(&vector);
  const RtChar prefix[] = {'a', 'b', 'c', 0};
  int32_t start = strbuf_position();
  strbuf_append(prefix);
  int32_t at = strbuf_position();
  args_by_index(0, at);
  EXPECT_EQ(strbuf_position(), at + 10);  // five units
  const RtChar want[] = {'a', 'b', 'c', 'h', 0xE9, 'l', 'l', 'o', 0};
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(strbuf_text_at(start))),
            std::u16string(reinterpret_cast<const char16_t *>(want)));
  strbuf_set_position(start);
}

void *initialised_block = nullptr;
void remember_block(void *block) {
  initialised_block = block;
  *static_cast<unsigned char *>(block) = 0x5A;
}

TEST(StateSlot, AllocatesAZeroFilledBlockAndCallsTheInitialiserOnce) {
  struct Row {
    NativeInt size;
    StateSlotInitialiser initialiser;
    const char *why;
  } rows[] = {
      {static_cast<NativeInt>(sizeof(ArgumentCursor)), nullptr, "the cursor's own slot"},
      {1, remember_block, "an initialiser sees the new block"},
      {64, remember_block, "a larger block"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.why);
    initialised_block = nullptr;
    void *slot = state_slot_alloc(row.size, row.initialiser);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(block_length(slot), row.size);
    EXPECT_EQ(state_slot_get(slot), slot);
    const unsigned char *bytes = static_cast<const unsigned char *>(slot);
    if (row.initialiser != nullptr) {
      EXPECT_EQ(initialised_block, slot);
      EXPECT_EQ(bytes[0], 0x5A);
    }
    for (NativeInt i = row.initialiser != nullptr ? 1 : 0; i < row.size; ++i) EXPECT_EQ(bytes[i], 0) << i;
    block_free(slot);
  }
}

TEST(StateSlot, AFailedAllocationGivesNullAndSkipsTheInitialiser) {
  initialised_block = nullptr;
  void *slot;
  {
    AllocFailure fail(1);
    slot = state_slot_alloc(16, remember_block);
  }
  EXPECT_EQ(slot, nullptr);
  EXPECT_EQ(initialised_block, nullptr);
}

TEST(ArgsInitDeathTest, WithoutMemoryForTheCursorTheProcessEndsThroughTheOutOfMemoryExit) {
  EXPECT_EXIT(
      {
        AllocFailure fail(1);
        args_init();
      },
      ::testing::ExitedWithCode(RT_EXIT_OUT_OF_MEMORY),
      "out of memory: cannot allocate the program arguments cursor");
}

}  // namespace
