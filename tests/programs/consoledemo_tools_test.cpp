// consoledemo under valgrind's memcheck (native 64-bit build) and with bad
// input in every build: endless input without a line end from /dev/zero, a
// 64 MiB line, bytes that are not UTF-8. Standard output closed, a broken
// pipe and a full disk are covered by consoledemo_pty_test.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "console_support.h"
#include "support/memcheck.h"
#include "support/process.h"

namespace {

const std::string kBanner = "Feel the Power of Kestrelon!";

// ---- Valgrind -----------------------------------------------------------------------
// Only in the native 64-bit build without sanitizers (see CMakeLists.txt).
#if KRT_VALGRIND_RUNS

// memcheck with every error, and every definitely lost block, turned into
// exit status 99.
std::vector<std::string> memcheck(const std::vector<std::string> &program) {
  std::vector<std::string> command = {KRT_VALGRIND, "--error-exitcode=99", "--leak-check=full",
                                      "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite",
                                      "--track-origins=yes"};
  command.insert(command.end(), program.begin(), program.end());
  return command;
}

TEST(ConsoledemoUnderValgrind, RunsWithoutMemoryErrorsOrLeaks) {
  struct Row {
    std::string input, name;
    const char *why;
  } rows[] = {
      {"Ann\n", "Ann", "a short name"},
      {std::string(3000, 'x') + "\xC3\xA9\xFF\n", std::string(3000, 'x') + "\xC3\xA9\xEF\xBF\xBD",
       "a line that grows the line block, with a bad byte"},
      {"", "", "no input at all"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.why);
    ProcessResult r = run_process(memcheck(program_command(CONSOLEDEMO, {})), row.input, 300);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err.find("Invalid read"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Invalid write"), std::string::npos) << r.err;
    EXPECT_TRUE(no_definite_leak(r.err)) << r.err;
    EXPECT_NE(r.out.find("Welcome " + row.name + "\n"), std::string::npos);
  }
}
#endif

// ---- Bad input ------------------------------------------------------------------------

// The line block grows in 1 KiB steps; the sanitizers' allocator copies the
// block on every growth, which makes a 64 MiB line take many minutes there,
// so the sanitizer build reads a 1 MiB line instead.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kLongLine = size_t{1} << 20;
#else
constexpr size_t kLongLine = size_t{64} << 20;
#endif

TEST(ConsoledemoBadInput, LongAndMalformedLinesAreGreetedAndTheProgramEndsNormally) {
  struct Row {
    std::string input, name;
    const char *why;
  } rows[] = {
      {std::string(kLongLine, 'a') + "\nrest\n", std::string(kLongLine, 'a'), "a line of 64 MiB (1 MiB under the sanitizers)"},
      {"a\xFF" "b\xC3\n", "a\xEF\xBF\xBD" "b\xEF\xBF\xBD", "bytes that are not UTF-8 as U+FFFD"},
      {"\xED\xA0\x80z\xF8\x88\x80\x80\x80\n", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDz"
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",
       "an encoded surrogate and a five-byte form"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.why);
    ProcessResult r = run_process(program_command(CONSOLEDEMO, {}), row.input, 120 * time_scale());
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    size_t greeting = r.out.find("Welcome " + row.name + "\n");
    EXPECT_NE(greeting, std::string::npos) << "the greeting shows the name";
    if (greeting != std::string::npos) {
      EXPECT_NE(r.out.find(kBanner, greeting), std::string::npos) << "the program went on to the banner";
    }
  }
}

// Peak resident set of a process in KiB, from /proc; -1 when unreadable.
long peak_rss_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// Everything the master has within timeout_ms appended to *transcript.
void read_terminal(int master, std::string *transcript, int timeout_ms) {
  pollfd p = {master, POLLIN, 0};
  while (poll(&p, 1, timeout_ms) > 0) {
    char chunk[4096];
    ssize_t n = read(master, chunk, sizeof chunk);
    if (n <= 0) return;
    transcript->append(chunk, static_cast<size_t>(n));
    timeout_ms = 0;
  }
}

TEST(ConsoledemoBadInput, EndlessInputFromDevZeroNeedsNoMemoryAndLeavesTheTerminalAlone) {
  // The program's terminal is a pty (controlling terminal, standard output
  // and error); its standard input is /dev/zero, a line without end.
  const termios startup = interactive_settings();
  PtyPair pty;
  ASSERT_TRUE(pty.open(startup));
  std::vector<std::string> command = program_command(CONSOLEDEMO, {});
  std::vector<char *> argv;
  for (std::string &word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid;
  {
    std::lock_guard<std::mutex> hold(descriptor_lock());
    int zero = open("/dev/zero", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(zero, 0);
    pid = fork();
    if (pid == 0) {
      setsid();
      ioctl(pty.slave, TIOCSCTTY, 0);
      dup2(zero, 0);
      dup2(pty.slave, 1);
      dup2(pty.slave, 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(zero);
  }
  ASSERT_GT(pid, 0);

  // Wait for the prompt: from then on the program reads the endless line.
  std::string transcript;
  const double deadline = now_seconds() + 30 * time_scale();
  while (transcript.find("Please enter your name:") == std::string::npos && now_seconds() < deadline)
    read_terminal(pty.master, &transcript, 100);
  EXPECT_NE(transcript.find("Please enter your name:"), std::string::npos) << visible(transcript);
  usleep(static_cast<useconds_t>(1e6 * time_scale()));
  const long early = peak_rss_kib(pid);
  usleep(static_cast<useconds_t>(3e6 * time_scale()));
  const long late = peak_rss_kib(pid);
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "still reading after seconds of zero bytes";

  kill(pid, SIGTERM);
  const double end_by = now_seconds() + 10 * time_scale();
  pid_t reaped = 0;
  while ((reaped = waitpid(pid, &status, WNOHANG)) == 0 && now_seconds() < end_by) usleep(20000);
  if (reaped == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    ADD_FAILURE() << "did not end on SIGTERM";
  }
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;

  ASSERT_GT(early, 0);
  ASSERT_GT(late, 0);
  // Storing the zeros would take the whole read rate (hundreds of MiB in
  // those seconds); the dropped bytes take none.
  EXPECT_LT(late - early, 16 * 1024) << "peak KiB grew from " << early << " to " << late;
  EXPECT_LT(late, 256 * 1024) << "peak KiB";
  EXPECT_TRUE(same_settings(pty.settings(), startup)) << describe_settings(pty.settings());
}

}  // namespace
