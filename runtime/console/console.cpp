// Console: terminal settings on descriptor 0, escape sequences and text on
// standard output, line input, delays.
#include "console/console.h"

#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cwchar>

#include "core/frame.h"
#include "core/memblock.h"
#include "core/textconv.h"

namespace {

// ---- Module state -------------------------------------------------------

termios console_saved_settings;  // descriptor 0 as console_init found it
termios console_raw_settings;    // what console_open applies; zero until then
int32_t console_escapes;         // non-zero: locate and clear write sequences
int32_t console_is_open;         // 1 between console_open and console_close

// console_saved_settings holds what tcgetattr read. A signal handler reads the
// flag and then the record, so the flag is lock-free and set only after the
// record is complete.
std::atomic<int> settings_held{0};
static_assert(std::atomic<int>::is_always_lock_free, "read from signal handlers");

// console_open has built console_raw_settings at least once.
bool raw_settings_built;

// Signals that end the process and whose default action would leave the
// terminal raw. Each is handled only if it had its default action at
// console_init; an ignored signal stays ignored.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kEndingSignalCount = sizeof kEndingSignals / sizeof kEndingSignals[0];
struct sigaction previous_action[kEndingSignalCount];
bool handler_installed[kEndingSignalCount];
struct sigaction previous_pipe_action;
bool pipe_ignored;

// Colour numbers 0-15 to ECMA-48 colour indices 0-7. Numbers 8-15 repeat 0-7
// (no bright attribute is written), except that 6 shows black and 14 yellow.
constexpr int32_t console_colour_table[16] = {0, 4, 2, 6, 1, 5, 0, 7, 0, 4, 2, 6, 1, 5, 3, 7};

// LF "EOF" LF: the text of every call after the one that met end of input.
constexpr RtChar kEndOfInputText[] = {0x0A, 'E', 'O', 'F', 0x0A, 0};

// The line block starts at and grows by this many bytes.
constexpr int32_t kLineStep = 1024;

// Longest line block ever asked for. Every three bytes of UTF-8, well-formed
// or not, decode to at least one unit, so a line of 3 GiB or more cannot fit
// the temporary buffer's 2 GiB bound whatever it holds; at 32 bits the block
// length must also stay within a NativeInt. A line that reaches it ends the
// process through the out-of-memory exit before any length could wrap.
constexpr int64_t kLineBlockMaxWide = STRBUF_MAX_BYTES / 2 * 3;
constexpr int64_t kLineBlockMaxNative = (NATIVEINT_MAX - BLOCK_HEADER_SIZE) / kLineStep * kLineStep;
constexpr NativeInt kLineBlockMax = static_cast<NativeInt>(
    kLineBlockMaxWide < kLineBlockMaxNative ? kLineBlockMaxWide : kLineBlockMaxNative);

// ---- Terminal settings ----------------------------------------------------

// Applies a settings record to descriptor 0. Nothing is applied when no
// settings were captured: the record would be zeros read from nowhere.
// Async-signal-safe.
void apply_settings(const termios *settings) {
  if (settings_held.load() != 0) tcsetattr(0, TCSANOW, settings);
}

// Puts the start-up settings back on descriptor 0, then ends the process with
// the same signal through its default action. Only async-signal-safe calls.
extern "C" void restore_terminal_and_reraise(int signal_number) {
  int saved_errno = errno;
  apply_settings(&console_saved_settings);
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal_number, &fallback, nullptr);
  // The signal is blocked while its handler runs: raise leaves it pending,
  // and unblocking delivers it with the default action.
  raise(signal_number);
  sigset_t own;
  sigemptyset(&own);
  sigaddset(&own, signal_number);
  sigprocmask(SIG_UNBLOCK, &own, nullptr);
  errno = saved_errno;
}

void install_signal_handlers() {
  struct sigaction handler = {};
  handler.sa_handler = restore_terminal_and_reraise;
  sigemptyset(&handler.sa_mask);
  // One restore at a time: the other ending signals wait until it is done.
  for (int s : kEndingSignals) sigaddset(&handler.sa_mask, s);
  for (int i = 0; i < kEndingSignalCount; ++i) {
    if (handler_installed[i]) continue;
    struct sigaction current;
    if (sigaction(kEndingSignals[i], nullptr, &current) != 0) continue;
    if (current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO) != 0) continue;
    if (sigaction(kEndingSignals[i], &handler, &previous_action[i]) == 0) handler_installed[i] = true;
  }
}

// Output goes to whatever standard output is; when that is a pipe nobody reads
// any more, writes fail with EPIPE like any other output error instead of
// killing the program between two sequences.
void ignore_broken_pipes() {
  if (pipe_ignored) return;
  struct sigaction current;
  if (sigaction(SIGPIPE, nullptr, &current) != 0) return;
  if (current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO) != 0) return;
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (sigaction(SIGPIPE, &ignore, &previous_pipe_action) == 0) pipe_ignored = true;
}

void give_back_signals() {
  for (int i = 0; i < kEndingSignalCount; ++i) {
    if (!handler_installed[i]) continue;
    sigaction(kEndingSignals[i], &previous_action[i], nullptr);
    handler_installed[i] = false;
  }
  if (pipe_ignored) {
    sigaction(SIGPIPE, &previous_pipe_action, nullptr);
    pipe_ignored = false;
  }
}

// ---- Line input -------------------------------------------------------------

// The line block grown by one step. The block is given back before the
// out-of-memory exit so that the end hooks run with that memory free.
char *grow_line(char *line, NativeInt length) {
  if (length > kLineBlockMax - kLineStep) {
    block_free(line);
    rt_out_of_memory("a console input line beyond the temporary string buffer's bound");
  }
  char *grown = static_cast<char *>(block_resize(line, length + kLineStep));
  if (grown == nullptr) {
    block_free(line);
    rt_out_of_memory("a console input line");
  }
  return grown;
}

// Reads bytes up to LF or end of input and decodes them into the buffer.
void read_line(int32_t start) {
  char *line = static_cast<char *>(block_alloc(kLineStep));
  if (line == nullptr) rt_out_of_memory("a console input line");
  int32_t room = kLineStep;
  NativeInt length = 0;
  // The text ends at the first zero byte; what follows it up to the LF is
  // read and dropped, so endless input without LF (/dev/zero) needs no memory.
  bool storing = true;
  for (;;) {
    int c = getc(stdin);
    if (c == EOF) break;
    // Growing before the LF test keeps room for the terminator below.
    if (storing && room == 0) {
      line = grow_line(line, length);
      room = kLineStep;
    }
    if (c == '\n') break;
    if (!storing) continue;
    if (c == 0) {
      storing = false;
      continue;
    }
    line[length++] = static_cast<char>(c);
    --room;
  }
  if (room == 0) line = grow_line(line, length);  // end of input with the block full
  line[length] = 0;
  host_utf8_to_strbuf(line, start);
  block_free(line);
}

}  // namespace

// ---- Lifecycle -------------------------------------------------------------

void console_init(void) {
  fwide(stdin, -1);
  fwide(stdout, -1);
  fwide(stderr, -1);
  // The state a program starts with, also when a host initialises twice.
  console_raw_settings = termios();
  raw_settings_built = false;
  console_is_open = 0;
  console_escapes = 0;
  settings_held.store(0);
  if (tcgetattr(0, &console_saved_settings) == 0) {
    settings_held.store(1);
    install_signal_handlers();
  }
  ignore_broken_pipes();
}

void console_end(void) {
  apply_settings(&console_saved_settings);
  give_back_signals();
}

int32_t console_open(void) {
  console_is_open = 1;
  console_raw_settings = console_saved_settings;
  console_raw_settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  // Reads return at once with whatever bytes are waiting.
  console_raw_settings.c_cc[VTIME] = 0;
  console_raw_settings.c_cc[VMIN] = 0;
  raw_settings_built = true;
  apply_settings(&console_raw_settings);
  return 1;
}

void console_close(void) { console_is_open = 0; }

// ---- Output -----------------------------------------------------------------

void console_set_title(RtConstString title) { (void)title; }

void console_set_escapes(int32_t value) { console_escapes = value; }

void console_locate(int32_t x, int32_t y) {
  if (console_escapes == 0) return;
  printf("\x1b[%d;%df", y, x);
  fflush(stdout);
}

void console_clear(void) {
  if (console_escapes == 0) return;
  printf("\x1b[2J");
  fflush(stdout);
}

void console_colour(int32_t foreground, int32_t background) {
  if (static_cast<uint32_t>(background) > 15) return;
  if (static_cast<uint32_t>(foreground) > 15) return;
  printf("\x1b[%d;%dm", console_colour_table[foreground] + 30, console_colour_table[background] + 40);
  fflush(stdout);
}

void console_print(RtConstString text) {
  if (text != nullptr) {
    HostString host = str_to_host_utf8(text);
    printf("%s", host);
    host_string_free(host);
  }
  fflush(stdout);
}

void console_print_line(RtConstString text) {
  if (text == nullptr) {
    putchar('\n');
  } else {
    HostString host = str_to_host_utf8(text);
    puts(host);
    host_string_free(host);
  }
  fflush(stdout);
}

int delay_ms(int32_t milliseconds) {
  timespec request;
  request.tv_sec = milliseconds / 1000;
  request.tv_nsec = (milliseconds % 1000) * 1000000L;
  return nanosleep(&request, &request);
}

// ---- Input --------------------------------------------------------------------

void console_input(int32_t start) {
  apply_settings(&console_saved_settings);
  if (feof(stdin)) {
    rt_strcopy(strbuf_reserve(5, start), kEndOfInputText);
  } else {
    read_line(start);
  }
  // A console that was never opened has no raw settings to go back to.
  apply_settings(raw_settings_built ? &console_raw_settings : &console_saved_settings);
}
