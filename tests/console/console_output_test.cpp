// Console output: the exact bytes of the cursor, clear and colour sequences,
// text as UTF-8, output errors that must not end the program, and the request
// that delay_ms hands to nanosleep.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "console/console.h"
#include "console_support.h"
#include "core/text_helpers.h"

namespace {

// Everything the call writes to standard output.
std::string captured_stdout(const std::function<void()> &call) {
  fflush(stdout);
  FILE *sink = tmpfile();
  if (sink == nullptr) return "<no temporary file>";
  int saved = dup(1);
  dup2(fileno(sink), 1);
  call();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string bytes;
  char chunk[4096];
  off_t offset = 0;
  for (;;) {
    ssize_t n = pread(fileno(sink), chunk, sizeof chunk, offset);
    if (n <= 0) break;
    bytes.append(chunk, static_cast<size_t>(n));
    offset += n;
  }
  fclose(sink);
  return bytes;
}

struct SequenceCase {
  int32_t escapes;  // value given to console_set_escapes first
  std::function<void()> call;
  std::string want;
  const char *why;
};

TEST(ConsoleSequences, BytesOfLocateClearAndColour) {
  const SequenceCase cases[] = {
      {1, [] { console_locate(18, 12); }, "\x1b[12;18f", "row first, column second"},
      {1, [] { console_locate(24, 4); }, "\x1b[4;24f", "single-digit row"},
      {1, [] { console_locate(-3, 0); }, "\x1b[0;-3f", "numbers written unchanged, sign included"},
      {1, [] { console_locate(INT32_MAX, INT32_MIN); }, "\x1b[-2147483648;2147483647f", "extremes"},
      {-7, [] { console_locate(1, 2); }, "\x1b[2;1f", "any non-zero value enables escapes"},
      {0, [] { console_locate(18, 12); }, "", "escapes off: locate writes nothing"},
      {1, [] { console_clear(); }, "\x1b[2J", "erase display, no cursor movement"},
      {0, [] { console_clear(); }, "", "escapes off: clear writes nothing"},
      {0, [] { console_colour(0, 1); }, "\x1b[30;44m", "colour ignores the escapes switch"},
      {1, [] { console_colour(1, 7); }, "\x1b[34;47m", "blue on white"},
      {1, [] { console_colour(6, 14); }, "\x1b[30;43m", "6 is black, 14 is yellow"},
      {1, [] { console_colour(14, 6); }, "\x1b[33;40m", "14 is yellow, 6 is black"},
      {1, [] { console_colour(15, 15); }, "\x1b[37;47m", "no bright attribute for 15"},
      {1, [] { console_colour(16, 0); }, "", "foreground above 15"},
      {1, [] { console_colour(0, 16); }, "", "background above 15"},
      {1, [] { console_colour(-1, 0); }, "", "negative foreground"},
      {1, [] { console_colour(0, -1); }, "", "negative background"},
      {1, [] { console_colour(INT32_MIN, 0); }, "", "most negative foreground"},
  };
  for (const SequenceCase &c : cases) {
    SCOPED_TRACE(c.why);
    console_set_escapes(c.escapes);
    EXPECT_EQ(visible(captured_stdout(c.call)), visible(c.want));
  }
  console_set_escapes(0);
}

TEST(ConsoleSequences, EveryColourPairFollowsTheColourTable) {
  // ECMA-48 colour index of each colour number.
  const int index[16] = {0, 4, 2, 6, 1, 5, 0, 7, 0, 4, 2, 6, 1, 5, 3, 7};
  for (int f = 0; f < 16; ++f) {
    for (int b = 0; b < 16; ++b) {
      SCOPED_TRACE(std::to_string(f) + " on " + std::to_string(b));
      std::string want = "\x1b[" + std::to_string(30 + index[f]) + ";" + std::to_string(40 + index[b]) + "m";
      EXPECT_EQ(visible(captured_stdout([&] { console_colour(f, b); })), visible(want));
    }
  }
}

struct PrintCase {
  const RtChar *text;
  std::string print;
  std::string print_line;
  const char *why;
};

TEST(ConsolePrint, TextGoesOutAsUtf8) {
  const PrintCase cases[] = {
      {nullptr, "", "\n", "null text"},
      {R(u""), "", "\n", "empty text"},
      {R(u"Ann"), "Ann", "Ann\n", "ASCII"},
      {R(u"\u00e9"), "\xC3\xA9", "\xC3\xA9\n", "U+00E9"},
      {R(u"Zo\u00eb \u20ac"), "Zo\xC3\xAB \xE2\x82\xAC", "Zo\xC3\xAB \xE2\x82\xAC\n", "two- and three-byte UTF-8"},
      {R(u"\U0001F600"), "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80\n", "surrogate pair"},
      {R(u"a\xD800z"), "a\xEF\xBF\xBDz", "a\xEF\xBF\xBDz\n", "unpaired surrogate becomes U+FFFD"},
      {R(u"%s%n\r"), "%s%n\r", "%s%n\r\n", "text is never a format"},
  };
  for (const PrintCase &c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(visible(captured_stdout([&] { console_print(c.text); })), visible(c.print));
    EXPECT_EQ(visible(captured_stdout([&] { console_print_line(c.text); })), visible(c.print_line));
  }
}

// The bytes already on descriptor 1 (a regular file while captured).
std::string written_so_far() {
  std::string bytes;
  char chunk[256];
  ssize_t n = pread(1, chunk, sizeof chunk, 0);
  if (n > 0) bytes.assign(chunk, static_cast<size_t>(n));
  return bytes;
}

TEST(ConsolePrint, EachOperationHasFlushedItsBytesWhenItReturns) {
  // Standard output is buffered (it is not a terminal here) and none of these
  // texts ends in LF, so only the operation's own flush gets them out.
  const SequenceCase cases[] = {
      {1, [] { console_locate(3, 4); }, "\x1b[4;3f", "locate"},
      {1, [] { console_clear(); }, "\x1b[2J", "clear"},
      {0, [] { console_colour(2, 3); }, "\x1b[32;46m", "colour"},
      {0, [] { console_print(R(u"Ann")); }, "Ann", "print"},
  };
  for (const SequenceCase &c : cases) {
    SCOPED_TRACE(c.why);
    console_set_escapes(c.escapes);
    std::string seen;
    captured_stdout([&] {
      c.call();
      seen = written_so_far();
    });
    EXPECT_EQ(visible(seen), visible(c.want));
  }
  console_set_escapes(0);
}

// Where standard output goes in a child that keeps writing after it fails.
enum class Sink { kBrokenPipe, kClosed, kFullDisk };

struct SinkCase {
  Sink sink;
  const char *why;
};

TEST(ConsoleOutputErrors, FailedWritesDoNotEndTheProgram) {
  const SinkCase cases[] = {
      {Sink::kBrokenPipe, "pipe whose reader is gone: EPIPE, not SIGPIPE"},
      {Sink::kClosed, "descriptor 1 closed: EBADF"},
      {Sink::kFullDisk, "/dev/full: ENOSPC"},
  };
  for (const SinkCase &c : cases) {
    SCOPED_TRACE(c.why);
    int status = wait_status_of_child([&] {
      switch (c.sink) {
        case Sink::kBrokenPipe: {
          int ends[2];
          if (pipe(ends) != 0) _exit(3);
          close(ends[0]);
          dup2(ends[1], 1);
          break;
        }
        case Sink::kClosed:
          close(1);
          break;
        case Sink::kFullDisk: {
          int full = open("/dev/full", O_WRONLY);
          if (full < 0) _exit(4);
          dup2(full, 1);
          break;
        }
      }
      console_init();
      console_set_escapes(1);
      for (int i = 0; i < 3; ++i) {
        console_clear();
        console_locate(24, 10);
        console_colour(1, 7);
        console_print(R(u"Feel the Power"));
        console_print_line(R(u"\u00e9"));
        console_print_line(nullptr);
      }
      console_end();
      _exit(0);
    });
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

void on_sigpipe(int) {}

struct PipeDispositionCase {
  void (*before)(int);  // SIGPIPE's disposition before console_init
  void (*during)(int);  // between console_init and console_end
  const char *why;
};

TEST(ConsoleOutputErrors, SigpipeIsIgnoredOnlyWhereItWouldKillAndGivenBackAtTheEnd) {
  const PipeDispositionCase cases[] = {
      {SIG_DFL, SIG_IGN, "default action: ignored while the console runs"},
      {SIG_IGN, SIG_IGN, "already ignored: stays ignored after the end too"},
      {on_sigpipe, on_sigpipe, "the program's own handler is left alone"},
  };
  struct sigaction saved;
  sigaction(SIGPIPE, nullptr, &saved);
  for (const PipeDispositionCase &c : cases) {
    SCOPED_TRACE(c.why);
    signal(SIGPIPE, c.before);
    console_init();
    struct sigaction now;
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, c.during);
    console_end();
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, c.before) << "console_end gives the disposition back";
    console_end();  // a second end hook changes nothing
    sigaction(SIGPIPE, nullptr, &now);
    EXPECT_EQ(now.sa_handler, c.before);
  }
  sigaction(SIGPIPE, &saved, nullptr);
}

// ---- delay_ms ----------------------------------------------------------------

// Every nanosleep of this test binary passes through here: the request is
// recorded and the real call made.
struct SleepRecord {
  int calls = 0;
  timespec request = {};
  int result = 0;
  int error = 0;
};
SleepRecord sleep_record;

extern "C" int __real_nanosleep(const timespec *request, timespec *remaining);
extern "C" int __wrap_nanosleep(const timespec *request, timespec *remaining) {
  ++sleep_record.calls;
  sleep_record.request = *request;
  int result = __real_nanosleep(request, remaining);
  sleep_record.result = result;
  sleep_record.error = errno;
  return result;
}

void on_alarm(int) {}

// A repeating timer signal cuts every sleep short within milliseconds, so a
// 4-second request costs no 4 seconds.
struct InterruptingTimer {
  struct sigaction previous;
  InterruptingTimer() {
    struct sigaction action = {};
    action.sa_handler = on_alarm;  // no SA_RESTART: the sleep returns EINTR
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, &previous);
    itimerval every = {{0, 20000}, {0, 20000}};
    setitimer(ITIMER_REAL, &every, nullptr);
  }
  ~InterruptingTimer() {
    itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
  }
};

struct DelayCase {
  int32_t milliseconds;
  long seconds;
  long nanoseconds;
  int result;
  int error;
  const char *why;
};

TEST(DelayMs, RequestsSecondsAndNanosecondsOnceAndIsNotResumed) {
  const DelayCase cases[] = {
      {4000, 4, 0, -1, EINTR, "whole seconds; the interrupted sleep is not resumed"},
      {1500, 1, 500000000, -1, EINTR, "seconds and a remainder"},
      {999, 0, 999000000, -1, EINTR, "below one second"},
      {-1, 0, -1000000, -1, EINVAL, "negative: rejected, no pause"},
      {-1500, -1, -500000000, -1, EINVAL, "both parts truncate toward zero"},
      {INT32_MIN, -2147483, -648000000, -1, EINVAL, "most negative 32-bit delay"},
  };
  InterruptingTimer timer;
  for (const DelayCase &c : cases) {
    SCOPED_TRACE(c.why);
    sleep_record = SleepRecord();
    errno = 0;
    int result = delay_ms(c.milliseconds);
    int error = errno;
    EXPECT_EQ(sleep_record.calls, 1);
    EXPECT_EQ(static_cast<long>(sleep_record.request.tv_sec), c.seconds);
    EXPECT_EQ(static_cast<long>(sleep_record.request.tv_nsec), c.nanoseconds);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(result, sleep_record.result) << "delay_ms returns nanosleep's result";
    EXPECT_EQ(error, c.error);
  }
}

TEST(DelayMs, ZeroReturnsAtOnceWithSuccess) {
  sleep_record = SleepRecord();
  EXPECT_EQ(delay_ms(0), 0);
  EXPECT_EQ(sleep_record.calls, 1);
  EXPECT_EQ(static_cast<long>(sleep_record.request.tv_sec), 0);
  EXPECT_EQ(static_cast<long>(sleep_record.request.tv_nsec), 0);
}

}  // namespace
