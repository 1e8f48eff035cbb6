// consoledemo run end to end on real pseudo-terminals: the exact bytes that
// reach the terminal (the terminal's echo of the typed line included), the
// terminal settings at the prompt, after the line and after exit, and how the
// program ends. Every run sleeps through the program's 18 s of pauses, so the
// runs of all selected tests start together when the suite starts, each driven
// by its own thread, and each test then checks the runs it owns.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "console_support.h"
#include "support/process.h"

namespace {

// ---- The byte stream the program must write -----------------------------------

const char kBanner[] = "Feel the Power of Kestrelon!";
const char kPrompt[] = "Please enter your name:   ";

std::string locate(int row, int column) {
  return "\x1b[" + std::to_string(row) + ";" + std::to_string(column) + "f";
}

std::string colour(int foreground, int background) {
  // ECMA-48 colour index of each console colour number.
  static const int index[16] = {0, 4, 2, 6, 1, 5, 0, 7, 0, 4, 2, 6, 1, 5, 3, 7};
  return "\x1b[" + std::to_string(30 + index[foreground]) + ";" + std::to_string(40 + index[background]) + "m";
}

const char kClear[] = "\x1b[2J";

// What the program writes up to and including its prompt.
std::string stream_to_prompt() { return locate(12, 18) + kPrompt; }

// What it writes after reading `name`: greeting and banner, then (unless it is
// interrupted in the first pause) the three colour screens and the fifteen
// repaints.
std::string stream_after_prompt(const std::string &name, bool whole) {
  std::string s = kClear + locate(10, 24) + "Welcome " + name + "\n" + locate(12, 24) + kBanner + "\n";
  if (!whole) return s;
  s += kClear;
  for (int i = 0; i <= 15; ++i) s += colour(0, i) + locate(i + 4, 24) + kBanner;
  s += colour(0, 0) + kClear;
  for (int i = 0; i <= 15; ++i) s += colour(i, 0) + locate(i + 4, 24) + kBanner;
  for (int b = 1; b <= 15; ++b) {
    s += colour(b, b) + kClear;
    for (int i = 0; i <= 15; ++i) s += colour(i, b) + locate(i + 4, 24) + kBanner;
  }
  return s;
}

// Output processing of the terminal (ONLCR): each LF reaches it as CR LF.
std::string as_displayed(const std::string &stream) {
  std::string s;
  for (char c : stream) {
    if (c == '\n') s += '\r';
    s += c;
  }
  return s;
}

// The terminal's echo of typed keys in the start-up settings: the bytes as
// typed, Enter (CR, read as LF) as CR LF.
std::string echo_of(const std::string &keys) { return as_displayed(keys.substr(0, keys.find('\r')) + "\n"); }

// ---- The runs -------------------------------------------------------------------

enum class Input { kTerminal, kPipe, kNull };
enum class Output { kTerminal, kBrokenPipe, kClosed, kFullDisk };

struct RunSpec {
  const char *test;   // the test that checks this run
  const char *label;  // how a failure names the run
  Input input;
  Output output;
  std::string keys;   // typed on the terminal (Input::kTerminal)
  std::string piped;  // on the pipe (Input::kPipe)
  std::string name;   // the name the greeting shows
  bool interrupt;     // Ctrl-C typed during the first pause
};

const RunSpec kRuns[] = {
    {"PlainName", "Ann typed", Input::kTerminal, Output::kTerminal, "Ann\r", "", "Ann", false},
    {"NonAsciiName", "non-ASCII name typed", Input::kTerminal, Output::kTerminal,
     "Zo\xC3\xAB \xC5\x81\xC3\xB3""d\xC5\xBA \xE2\x82\xAC\r", "", "Zo\xC3\xAB \xC5\x81\xC3\xB3""d\xC5\xBA \xE2\x82\xAC",
     false},
    {"EmptyLine", "Enter alone", Input::kTerminal, Output::kTerminal, "\r", "", "", false},
    {"PipedInput", "standard input from a pipe", Input::kPipe, Output::kTerminal, "", "Bob\nnot read\n", "Bob",
     false},
    {"NullInput", "standard input from /dev/null", Input::kNull, Output::kTerminal, "", "", "", false},
    {"CtrlCInTheFirstPause", "Ctrl-C after the greeting", Input::kTerminal, Output::kTerminal, "Ann\r", "", "Ann",
     true},
    {"OutputErrors", "standard output a pipe nobody reads", Input::kTerminal, Output::kBrokenPipe, "Ann\r", "", "Ann",
     false},
    {"OutputErrors", "standard output closed", Input::kTerminal, Output::kClosed, "Ann\r", "", "Ann", false},
    {"OutputErrors", "standard output /dev/full", Input::kTerminal, Output::kFullDisk, "Ann\r", "", "Ann", false},
};

struct RunResult {
  std::string failure;  // the first step that did not happen, or empty
  bool have_prompt_settings = false;
  termios at_prompt = {};
  bool have_line_settings = false;
  termios after_line = {};
  termios after_exit = {};
  int status = -1;
  std::string transcript;  // every byte that reached the terminal
};

// consoledemo as a child process on its own pseudo-terminal, which is its
// controlling terminal and its standard error, and its standard input and
// output unless the run says otherwise.
class DemoOnPty {
 public:
  DemoOnPty() = default;
  DemoOnPty(const DemoOnPty &) = delete;
  DemoOnPty &operator=(const DemoOnPty &) = delete;
  ~DemoOnPty() {
    if (pid_ > 0 && !exited_) kill_now();
  }

  bool start(const RunSpec &spec, const termios &startup) {
    if (!pty_.open(startup)) return false;
    std::vector<std::string> command = program_command(CONSOLEDEMO, {});
    std::vector<char *> argv;
    for (std::string &word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    int input = -1, output = -1;
    std::lock_guard<std::mutex> hold(descriptor_lock());
    if (spec.input == Input::kPipe) {
      int ends[2];
      if (pipe2(ends, O_CLOEXEC) != 0) return false;
      bool written = write(ends[1], spec.piped.data(), spec.piped.size()) == static_cast<ssize_t>(spec.piped.size());
      close(ends[1]);
      input = ends[0];
      if (!written) return false;
    } else if (spec.input == Input::kNull) {
      input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    if (spec.output == Output::kBrokenPipe) {
      int ends[2];
      if (pipe2(ends, O_CLOEXEC) != 0) return false;
      close(ends[0]);
      output = ends[1];
    } else if (spec.output == Output::kFullDisk) {
      output = open("/dev/full", O_WRONLY | O_CLOEXEC);
    }
    pid_ = fork();
    if (pid_ == 0) {
      // Only async-signal-safe calls between fork and exec.
      setsid();
      ioctl(pty_.slave, TIOCSCTTY, 0);
      dup2(input >= 0 ? input : pty_.slave, 0);
      if (spec.output == Output::kTerminal) dup2(pty_.slave, 1);
      else if (spec.output == Output::kClosed) close(1);
      else dup2(output, 1);
      dup2(pty_.slave, 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (input >= 0) close(input);
    if (output >= 0) close(output);
    return pid_ > 0;
  }

  // Reads the terminal until `done` holds; false when the time runs out or
  // the program has ended first.
  bool pump_until(const std::function<bool()> &done, double seconds) {
    double deadline = now_seconds() + seconds;
    for (;;) {
      if (done()) return true;
      if (exited_ || now_seconds() > deadline) return false;
      read_available(20);
      reap(WNOHANG);
    }
  }

  bool wait_for_text(const std::string &text, double seconds) {
    return pump_until([&] { return transcript_.find(text) != std::string::npos; }, seconds);
  }

  bool wait_for_settings(const termios &want, double seconds) {
    return pump_until([&] { return same_settings(settings(), want); }, seconds);
  }

  termios settings() const { return pty_.settings(); }
  void type(const std::string &keys) { pty_.type(keys); }

  // The wait status; a program still running after `seconds` is killed.
  int wait_exit(double seconds) {
    if (!pump_until([&] { return exited_; }, seconds)) kill_now();
    return status_;
  }

  void kill_now() {
    if (pid_ <= 0 || exited_) return;
    kill(pid_, SIGKILL);
    reap(0);
  }

  // Everything that reached the terminal: once no descriptor of the slave is
  // left open, the master reads what is still queued and then fails.
  std::string finish() {
    pty_.close_slave();
    double deadline = now_seconds() + 10 * time_scale();
    while (now_seconds() < deadline && read_available(200) != 0) {
    }
    return transcript_;
  }

 private:
  // Reads what the master has within timeout_ms: >0 bytes read, -1 nothing
  // yet, 0 the other side is gone.
  int read_available(int timeout_ms) {
    pollfd p = {pty_.master, POLLIN, 0};
    int ready = poll(&p, 1, timeout_ms);
    if (ready <= 0) return -1;
    char chunk[4096];
    ssize_t n = read(pty_.master, chunk, sizeof chunk);
    if (n > 0) {
      transcript_.append(chunk, static_cast<size_t>(n));
      return static_cast<int>(n);
    }
    if (n < 0 && errno == EINTR) return -1;
    return 0;
  }

  void reap(int flags) {
    int status = 0;
    pid_t r;
    do {
      r = waitpid(pid_, &status, flags);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
      exited_ = true;
      status_ = status;
    }
  }

  PtyPair pty_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
  std::string transcript_;
};

// Drives one run from start to exit and records what it observed.
RunResult drive(const RunSpec &spec, const termios &startup) {
  RunResult r;
  DemoOnPty run;
  if (!run.start(spec, startup)) {
    r.failure = "could not start consoledemo";
    return r;
  }
  const double step = 20 * time_scale();
  auto give_up = [&](const char *what) {
    r.failure = what;
    run.kill_now();
  };
  if (spec.output != Output::kTerminal) {
    // Nothing to watch on the terminal: the line is typed ahead.
    if (spec.input == Input::kTerminal) run.type(spec.keys);
  } else if (!run.wait_for_text(as_displayed(stream_to_prompt()), step)) {
    give_up("no prompt");
  } else {
    if (spec.input == Input::kTerminal) run.wait_for_settings(startup, step);
    r.at_prompt = run.settings();
    r.have_prompt_settings = true;
    if (spec.input == Input::kTerminal) run.type(spec.keys);
    if (!run.wait_for_text(as_displayed(locate(10, 24) + "Welcome " + spec.name + "\n"), step)) {
      give_up("no greeting");
    } else {
      r.after_line = run.settings();
      r.have_line_settings = true;
      if (spec.interrupt) {
        if (run.wait_for_text(as_displayed(locate(12, 24) + kBanner + "\n"), step)) run.type("\x03");
        else give_up("no banner");
      }
    }
  }
  r.status = run.wait_exit(18 + 30 * time_scale());
  r.after_exit = run.settings();
  r.transcript = run.finish();
  return r;
}

class ConsoledemoOnPty : public ::testing::Test {
 protected:
  // Starts the runs of every test of this suite that is going to run.
  static void SetUpTestSuite() {
    // A child must never get a pty as descriptor 0, 1 or 2 by accident.
    for (int fd = 0; fd <= 2; ++fd) {
      if (fcntl(fd, F_GETFD) < 0) open("/dev/null", O_RDWR);
    }
    startup_ = interactive_settings();
    const ::testing::TestSuite *suite = ::testing::UnitTest::GetInstance()->current_test_suite();
    for (int i = 0; i < suite->total_test_count(); ++i) {
      const ::testing::TestInfo *info = suite->GetTestInfo(i);
      if (!info->should_run()) continue;
      for (const RunSpec &spec : kRuns) {
        if (info->name() != std::string(spec.test)) continue;
        runs_.push_back({&spec, std::async(std::launch::async, drive, std::cref(spec), startup_)});
      }
    }
  }

  static void TearDownTestSuite() {
    runs_.clear();  // waits for any run not yet collected
  }

  // Checks every run of the test.
  static void check_runs_of(const char *test) {
    int found = 0;
    for (auto &[spec, pending] : runs_) {
      if (std::string(spec->test) != test) continue;
      ++found;
      SCOPED_TRACE(spec->label);
      check(*spec, pending.get());
    }
    EXPECT_GT(found, 0) << "no run started for " << test;
  }

 private:
  static void check(const RunSpec &spec, const RunResult &r) {
    const termios &startup = startup_;
    EXPECT_EQ(r.failure, "");
    bool terminal_input = spec.input == Input::kTerminal;
    if (spec.output == Output::kTerminal) {
      ASSERT_TRUE(r.have_prompt_settings);
      EXPECT_TRUE(same_settings(r.at_prompt, startup))
          << "at the prompt the start-up settings are in force: " << describe_settings(r.at_prompt);
      if (r.have_line_settings) {
        termios want = terminal_input ? raw_settings_from(startup) : startup;
        EXPECT_TRUE(same_settings(r.after_line, want))
            << "after the line: " << describe_settings(r.after_line) << "\nwant " << describe_settings(want);
      }
      std::string echo = terminal_input ? echo_of(spec.keys) : "";
      std::string want = as_displayed(stream_to_prompt()) + echo +
                         as_displayed(stream_after_prompt(spec.name, !spec.interrupt));
      EXPECT_EQ(first_difference(r.transcript, want), "");
    } else {
      // The keys were typed ahead: echoed if they arrived before raw mode.
      EXPECT_TRUE(r.transcript.empty() || r.transcript == echo_of(spec.keys)) << visible(r.transcript);
    }
    EXPECT_TRUE(same_settings(r.after_exit, startup))
        << "after exit the start-up settings are back: " << describe_settings(r.after_exit);
    if (spec.interrupt) {
      ASSERT_TRUE(WIFSIGNALED(r.status)) << "wait status " << r.status;
      EXPECT_EQ(WTERMSIG(r.status), SIGINT);
    } else {
      ASSERT_TRUE(WIFEXITED(r.status)) << "ended by signal " << (WIFSIGNALED(r.status) ? WTERMSIG(r.status) : 0);
      EXPECT_EQ(WEXITSTATUS(r.status), 0);
    }
  }

  struct PendingRun {
    const RunSpec *spec;
    std::future<RunResult> result;
  };
  static inline std::vector<PendingRun> runs_;
  static inline termios startup_ = {};
};

TEST_F(ConsoledemoOnPty, PlainName) { check_runs_of("PlainName"); }
TEST_F(ConsoledemoOnPty, NonAsciiName) { check_runs_of("NonAsciiName"); }
TEST_F(ConsoledemoOnPty, EmptyLine) { check_runs_of("EmptyLine"); }
TEST_F(ConsoledemoOnPty, PipedInput) { check_runs_of("PipedInput"); }
TEST_F(ConsoledemoOnPty, NullInput) { check_runs_of("NullInput"); }
TEST_F(ConsoledemoOnPty, CtrlCInTheFirstPause) { check_runs_of("CtrlCInTheFirstPause"); }
TEST_F(ConsoledemoOnPty, OutputErrors) { check_runs_of("OutputErrors"); }

}  // namespace
