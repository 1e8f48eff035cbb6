// Terminal settings on a real pseudo-terminal as descriptor 0: what the console
// captures, the raw mode it builds, the start-up settings while a line is
// typed, and the start-up settings put back at the end, on the ending signals
// and on the out-of-memory exit.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "console/console.h"
#include "console_support.h"
#include "core/frame.h"
#include "core/rtstring.h"
#include "support/alloc_seam.h"

namespace {

// Start-up settings that differ from the kernel's defaults in several flags
// and in VMIN and VTIME, so that raw mode must be derived from them.
termios unusual_startup_settings() {
  termios t = interactive_settings();
  t.c_lflag &= ~static_cast<tcflag_t>(ECHOE);
  t.c_lflag |= ECHONL;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON);
  t.c_cc[VMIN] = 3;
  t.c_cc[VTIME] = 7;
  t.c_cc[VERASE] = 0x08;
  return t;
}

class ConsoleOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    strbuf_init();
    saved_stdin_ = dup(0);
    ASSERT_TRUE(pty_.open(unusual_startup_settings()));
    startup_ = pty_.settings();
    ASSERT_TRUE(startup_.c_lflag & ICANON);
    ASSERT_EQ(startup_.c_cc[VTIME], 7);
    dup2(pty_.slave, 0);
    __fpurge(stdin);
    clearerr(stdin);
  }
  void TearDown() override {
    console_end();
    dup2(saved_stdin_, 0);
    close(saved_stdin_);
    __fpurge(stdin);
    clearerr(stdin);
    strbuf_release();
  }

  // What the master has received (echo) within the time given.
  std::string read_master(const std::string &until, double seconds) {
    std::string bytes;
    double deadline = now_seconds() + seconds * time_scale();
    while (bytes.find(until) == std::string::npos && now_seconds() < deadline) {
      pollfd p = {pty_.master, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char chunk[256];
      ssize_t n = read(pty_.master, chunk, sizeof chunk);
      if (n > 0) bytes.append(chunk, static_cast<size_t>(n));
    }
    return bytes;
  }

  // Runs console_input while another thread waits for descriptor 0 to show
  // `typing_settings` and then types `keys`. Returns the text; `seen` tells
  // whether the settings were in force while the call waited for the line.
  std::u16string input_typed_under(const termios &typing_settings, const std::string &keys, bool *seen) {
    std::atomic<bool> matched{false};
    std::thread typist([&] {
      double deadline = now_seconds() + 10 * time_scale();
      while (now_seconds() < deadline) {
        if (same_settings(pty_.settings(), typing_settings)) {
          matched = true;
          break;
        }
        usleep(2000);
      }
      pty_.type(keys);  // typed even on a timeout, so that the read ends
    });
    int32_t start = strbuf_position();
    console_input(start);
    typist.join();
    *seen = matched;
    std::u16string text(reinterpret_cast<const char16_t *>(strbuf_text_at(start)));
    strbuf_set_position(start);
    return text;
  }

  PtyPair pty_;
  termios startup_ = {};

 private:
  int saved_stdin_ = -1;
};

TEST_F(ConsoleOnPty, OpenAppliesRawModeDerivedFromTheStartupSettings) {
  console_init();
  EXPECT_TRUE(same_settings(pty_.settings(), startup_)) << "console_init changes nothing";
  EXPECT_EQ(console_open(), 1);
  termios raw = pty_.settings();
  EXPECT_TRUE(same_settings(raw, raw_settings_from(startup_)))
      << "got  " << describe_settings(raw) << "\nwant " << describe_settings(raw_settings_from(startup_));
  EXPECT_TRUE(raw.c_lflag & ISIG) << "Ctrl-C still interrupts";
  EXPECT_TRUE(raw.c_lflag & IEXTEN);
  EXPECT_TRUE(raw.c_oflag & OPOST) << "output processing untouched";
  console_close();
  EXPECT_TRUE(same_settings(pty_.settings(), raw)) << "close leaves the terminal raw";
  console_end();
  EXPECT_TRUE(same_settings(pty_.settings(), startup_)) << describe_settings(pty_.settings());
  console_end();
  EXPECT_TRUE(same_settings(pty_.settings(), startup_)) << "a second end hook changes nothing";
}

TEST_F(ConsoleOnPty, EndRestoresTheStartupSettingsOnAConsoleNeverOpened) {
  console_init();
  termios other = startup_;
  cfmakeraw(&other);
  ASSERT_EQ(tcsetattr(pty_.slave, TCSANOW, &other), 0);
  console_end();
  EXPECT_TRUE(same_settings(pty_.settings(), startup_)) << describe_settings(pty_.settings());
}

TEST_F(ConsoleOnPty, ALineIsTypedInTheStartupSettingsWithEchoThenRawModeReturns) {
  console_init();
  console_open();
  bool seen = false;
  EXPECT_EQ(input_typed_under(startup_, "Ann\r", &seen), u"Ann");
  EXPECT_TRUE(seen) << "start-up settings not in force while the line was read";
  EXPECT_TRUE(same_settings(pty_.settings(), raw_settings_from(startup_))) << describe_settings(pty_.settings());
  EXPECT_EQ(visible(read_master("\n", 5)), visible("Ann\r\n")) << "the terminal echoes the typed line";
}

TEST_F(ConsoleOnPty, InputAfterCloseStillReturnsToRawMode) {
  console_init();
  console_open();
  console_close();
  bool seen = false;
  EXPECT_EQ(input_typed_under(startup_, "B\xC3\xB8" "b\r", &seen), u"B\u00f8b");
  EXPECT_TRUE(seen);
  EXPECT_TRUE(same_settings(pty_.settings(), raw_settings_from(startup_))) << describe_settings(pty_.settings());
}

TEST_F(ConsoleOnPty, InputOnAConsoleNeverOpenedLeavesTheStartupSettings) {
  console_init();
  bool seen = false;
  EXPECT_EQ(input_typed_under(startup_, "x\r", &seen), u"x");
  EXPECT_TRUE(seen);
  EXPECT_TRUE(same_settings(pty_.settings(), startup_))
      << "no all-zero settings after the line: " << describe_settings(pty_.settings());
}

TEST_F(ConsoleOnPty, HandlersAreGivenBackByTheEndHook) {
  signal(SIGTERM, SIG_DFL);
  console_init();
  struct sigaction during;
  sigaction(SIGTERM, nullptr, &during);
  EXPECT_NE(during.sa_handler, SIG_DFL);
  console_end();
  struct sigaction after;
  sigaction(SIGTERM, nullptr, &after);
  EXPECT_EQ(after.sa_handler, SIG_DFL);
}

struct SignalCase {
  int signal;
  bool ignored_before;  // the process ignored it before console_init
  bool want_death;
  const char *why;
};

TEST_F(ConsoleOnPty, EndingSignalsRestoreTheTerminalAndEndTheProcessWithTheSameSignal) {
  const SignalCase cases[] = {
      {SIGINT, false, true, "Ctrl-C"},
      {SIGTERM, false, true, "kill"},
      {SIGHUP, false, true, "hang-up"},
      {SIGQUIT, false, true, "Ctrl-\\"},
      {SIGHUP, true, false, "an ignored signal stays ignored (nohup)"},
  };
  for (const SignalCase &c : cases) {
    SCOPED_TRACE(c.why);
    ASSERT_EQ(tcsetattr(pty_.slave, TCSANOW, &startup_), 0);
    int status = wait_status_of_child([&] {
      rlimit no_core = {0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
      if (c.ignored_before) signal(c.signal, SIG_IGN);
      console_init();
      console_open();
      kill(getpid(), c.signal);
      _exit(99);
    });
    if (c.want_death) {
      ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
      EXPECT_EQ(WTERMSIG(status), c.signal);
      EXPECT_TRUE(same_settings(pty_.settings(), startup_)) << describe_settings(pty_.settings());
    } else {
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 99);
      EXPECT_TRUE(same_settings(pty_.settings(), raw_settings_from(startup_)))
          << "nothing ended, so nothing was restored";
    }
  }
}

TEST_F(ConsoleOnPty, ASignalWhileTheLineIsTypedStillRestoresAndEnds) {
  // The terminal is in the start-up settings during the read; the process
  // must end from inside the blocked read, with nothing left raw.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    console_init();
    console_open();
    ssize_t ignored = write(ready[1], "r", 1);
    (void)ignored;
    console_input(0);
    _exit(99);
  }
  close(ready[1]);
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  // Wait until the read runs in the start-up settings, then interrupt it.
  double deadline = now_seconds() + 10 * time_scale();
  while (!same_settings(pty_.settings(), startup_) && now_seconds() < deadline) usleep(2000);
  kill(child, SIGTERM);
  // A handler that returned instead of ending the process would leave the
  // child reading: it is killed after a while and the test fails.
  int status = 0;
  deadline = now_seconds() + 10 * time_scale();
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (now_seconds() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
    usleep(2000);
  }
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_TRUE(same_settings(pty_.settings(), startup_)) << describe_settings(pty_.settings());
}

TEST(ConsoleSignals, NoHandlersWhenStandardInputIsNotATerminal) {
  int status = wait_status_of_child([] {
    int null_input = open("/dev/null", O_RDONLY);
    dup2(null_input, 0);
    console_init();
    struct sigaction now;
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
      sigaction(s, nullptr, &now);
      if (now.sa_handler != SIG_DFL) _exit(s);
    }
    _exit(0);
  });
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "handler left on signal " << WEXITSTATUS(status);
}

void end_hook_of_console() { console_end(); }

struct OutOfMemoryCase {
  ModuleHook exit_hook;
  bool in_input;  // the shortage happens inside console_input
  bool want_startup;
  const char *why;
};

TEST_F(ConsoleOnPty, TheOutOfMemoryExitRestoresTheTerminalThroughTheEndHook) {
  const OutOfMemoryCase cases[] = {
      {end_hook_of_console, false, true, "shortage in the body while raw"},
      {end_hook_of_console, true, true, "shortage while reading a line"},
      {nullptr, false, false, "without the end hook the terminal would stay raw"},
  };
  for (const OutOfMemoryCase &c : cases) {
    SCOPED_TRACE(c.why);
    ASSERT_EQ(tcsetattr(pty_.slave, TCSANOW, &startup_), 0);
    int status = wait_status_of_child([&] {
      console_init();
      console_open();
      rt_set_exit_hook(c.exit_hook);
      if (c.in_input) {
        AllocFailure fail(1);
        console_input(0);
      }
      rt_out_of_memory("a test record");
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), RT_EXIT_OUT_OF_MEMORY);
    termios want = c.want_startup ? startup_ : raw_settings_from(startup_);
    EXPECT_TRUE(same_settings(pty_.settings(), want)) << describe_settings(pty_.settings());
  }
}

}  // namespace
