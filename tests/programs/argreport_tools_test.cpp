// argreport under valgrind's memcheck (native 64-bit build) on a private X
// server, and arguments that would be markup if the label read them as such.
// Bytes that are not UTF-8 and 50 000 arguments are shown by argreport_test;
// here they also run under valgrind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "argreport_run.h"
#include "support/memcheck.h"
#include "xserver.h"

namespace {

const std::string kHeading = "Plinket launched. Arguments were:\r";

class ArgreportTools : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_NE(test_display(&why), "") << why;
  }
};

void expect_shown_and_ended(const ArgreportRun &run, const std::string &text) {
  ASSERT_TRUE(run.drawn) << "no dialog within the time; stderr:\n" << run.process.err;
  EXPECT_EQ(run.title, "Plinket");
  EXPECT_TRUE(run.text == text) << "shown text differs (" << run.text.size() << " bytes shown, " << text.size()
                                << " expected)";
  EXPECT_EQ(run.process.signal, 0);
  EXPECT_EQ(run.process.exit_status, 0) << run.process.err;
  EXPECT_FALSE(run.window_left);
}

TEST_F(ArgreportTools, MarkupCharactersAreShownLiterally) {
  ArgreportRun run;
  run.args = {"<b>bold</b>", "a & b", "x<y>z", "&amp;", "<span foreground=\"red\">r</span>", "&#60;"};
  run_argreport(&run);
  std::string want = kHeading;
  for (const std::string &a : run.args) want += a + "\r";
  expect_shown_and_ended(run, want);
  EXPECT_EQ(run.widget, "label");
}

// Only in the native 64-bit build without sanitizers (see CMakeLists.txt).
#if KRT_VALGRIND_RUNS
TEST_F(ArgreportTools, RunsUnderValgrindWithoutMemoryErrorsOrLeaksOfItsOwn) {
  struct Row {
    std::vector<std::string> args;
    std::string want;
    double timeout;
    const char *why;
  } rows[] = {
      {{}, kHeading + "NONE", 300, "no arguments"},
      {{"a\xFF" "b", "<i>&amp;</i>", "h\xC3\xA9"}, kHeading + "a\xEF\xBF\xBD" "b\r<i>&amp;</i>\rh\xC3\xA9\r", 300,
       "bad bytes and markup characters"},
      {{}, "", 900, "50 000 arguments"},
  };
  for (int i = 0; i < 50000; ++i) rows[2].args.push_back("a" + std::to_string(i));
  rows[2].want = kHeading;
  for (const std::string &a : rows[2].args) rows[2].want += a + "\r";
  for (const Row &row : rows) {
    SCOPED_TRACE(row.why);
    ArgreportRun run;
    run.args = row.args;
    run.timeout = row.timeout;
    // Every error, and every definitely lost block outside the suppressed
    // one-time allocations of GTK, GLib and fontconfig, gives status 99.
    run.wrapper = {KRT_VALGRIND,
                   "--error-exitcode=99",
                   "--leak-check=full",
                   "--show-leak-kinds=definite",
                   "--errors-for-leak-kinds=definite",
                   "--suppressions=" KRT_VALGRIND_SUPPRESSIONS};
    run_argreport(&run);
    expect_shown_and_ended(run, row.want);
    EXPECT_EQ(run.process.err.find("Invalid read"), std::string::npos) << run.process.err;
    EXPECT_EQ(run.process.err.find("Invalid write"), std::string::npos) << run.process.err;
    EXPECT_TRUE(no_definite_leak(run.process.err)) << run.process.err;
  }
}
#endif

}  // namespace
