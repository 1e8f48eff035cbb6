// Helpers of the console tests: real pseudo-terminals (a pair opened with chosen
// settings, an ordinary interactive terminal's settings, the raw settings
// derived from them, comparison) and code run in a child process.
#ifndef KRT_TESTS_CONSOLE_CONSOLE_SUPPORT_H
#define KRT_TESTS_CONSOLE_CONSOLE_SUPPORT_H

#include <termios.h>

#include <functional>
#include <mutex>
#include <string>

// A pty pair. Both descriptors are close-on-exec, so a child started by
// another thread never keeps this terminal open.
struct PtyPair {
  int master = -1;
  int slave = -1;

  PtyPair() = default;
  PtyPair(const PtyPair &) = delete;
  PtyPair &operator=(const PtyPair &) = delete;
  ~PtyPair() { close_both(); }

  // Opens the pair with `settings` and an 80x24 window; false on failure.
  bool open(const termios &settings);
  void close_slave();
  void close_both();
  // The slave's current settings (what a program on it sees on descriptor 0).
  termios settings() const;
  // Writes all bytes to the master, as if typed.
  bool type(const std::string &bytes) const;
};

// Held while descriptors are made and while forking, so that no child
// inherits a descriptor between its creation and its close-on-exec flag.
std::mutex &descriptor_lock();

// The kernel's settings for a new terminal (canonical input with echo and
// signals, CR to NL on input, NL to CR NL on output) with UTF-8 input.
termios interactive_settings();

// `startup` with ICANON and ECHO cleared and VMIN and VTIME 0.
termios raw_settings_from(const termios &startup);

// Field by field, every control character included.
bool same_settings(const termios &a, const termios &b);
std::string describe_settings(const termios &t);

// Monotonic seconds, and the factor by which waits grow when this build's
// programs run under an emulator.
double now_seconds();
double time_scale();

// Runs `body` in a forked child, which then exits with status 99 unless the
// body ended it first; returns the child's wait status (-1 if fork failed).
// The child runs only what the body does: it never returns into the tests.
int wait_status_of_child(const std::function<void()> &body);

// ESC and other control bytes made visible, for failure messages.
std::string visible(const std::string &bytes);

// Empty when the two are equal; otherwise where they first differ, with a
// little of each around that place (made visible), and both sizes.
std::string first_difference(const std::string &got, const std::string &want);

#endif
