// The frame run as a real process: start state, module order, exit code.
#include <gtest/gtest.h>

#include "support/process.h"

namespace {

TEST(Frame, RunsInitialisersBodyAndEndHooksInOrder) {
  ProcessResult r = run_process(program_command(FRAME_DEMO, {}));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out,
            "init first\ninit second\n"
            "start word=null counter=0 argc=1\n"
            "built=abc\nposition=0\n"
            "end second\nend first\n");
}

TEST(Frame, ExitCodeComesFromProgramStateAndProgramEndNeverReturns) {
  struct Case {
    const char *code;
    int want;
  } cases[] = {{"0", 0}, {"3", 3}, {"255", 255}, {"256", 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.code);
    ProcessResult r = run_process(program_command(FRAME_DEMO, {"x", c.code}));
    EXPECT_EQ(r.exit_status, c.want);
    EXPECT_EQ(r.out.find("returned from program_end"), std::string::npos);
    EXPECT_NE(r.out.find("word=xc\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("end first\n"), std::string::npos);
  }
}

TEST(Frame, ArgumentsArriveAsUtf8WithBadBytesReplaced) {
  ProcessResult r = run_process(program_command(FRAME_DEMO, {"h\xC3\xA9llo\xFF"}));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_NE(r.out.find("word=h\xC3\xA9llo\xEF\xBF\xBD" "c\n"), std::string::npos) << r.out;
}

TEST(Frame, BufferBeyondItsBoundEndsThroughTheOutOfMemoryExitAfterTheEndHooks) {
  ProcessResult r = run_process(program_command(FRAME_DEMO, {"x", "oom"}));
  EXPECT_EQ(r.exit_status, 71);
  EXPECT_EQ(r.err, "out of memory: cannot allocate the temporary string buffer beyond 2 GiB\n");
  EXPECT_NE(r.out.find("end second\nend first\n"), std::string::npos) << r.out;
}

}  // namespace
