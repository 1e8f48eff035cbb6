#include "console_support.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "support/process.h"

double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double time_scale() { return build_emulator()[0] != 0 ? 5.0 : 1.0; }

std::mutex &descriptor_lock() {
  static std::mutex lock;
  return lock;
}

bool PtyPair::open(const termios &settings) {
  close_both();
  winsize size = {};
  size.ws_row = 24;
  size.ws_col = 80;
  termios wanted = settings;
  std::lock_guard<std::mutex> hold(descriptor_lock());
  if (openpty(&master, &slave, nullptr, &wanted, &size) != 0) {
    master = slave = -1;
    return false;
  }
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  return true;
}

void PtyPair::close_slave() {
  if (slave >= 0) close(slave);
  slave = -1;
}

void PtyPair::close_both() {
  close_slave();
  if (master >= 0) close(master);
  master = -1;
}

termios PtyPair::settings() const {
  termios t = {};
  tcgetattr(slave, &t);
  return t;
}

bool PtyPair::type(const std::string &bytes) const {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

termios interactive_settings() {
  termios t = {};
  int master = -1, slave = -1;
  {
    std::lock_guard<std::mutex> hold(descriptor_lock());
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return t;
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
  }
  tcgetattr(slave, &t);
  close(slave);
  close(master);
  t.c_iflag |= IUTF8;
  return t;
}

termios raw_settings_from(const termios &startup) {
  termios t = startup;
  t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  return t;
}

bool same_settings(const termios &a, const termios &b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && a.c_line == b.c_line &&
         memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
         cfgetospeed(&a) == cfgetospeed(&b);
}

std::string describe_settings(const termios &t) {
  char text[160];
  snprintf(text, sizeof text, "iflag=%#x oflag=%#x cflag=%#x lflag=%#x VMIN=%d VTIME=%d cc=",
           static_cast<unsigned>(t.c_iflag), static_cast<unsigned>(t.c_oflag),
           static_cast<unsigned>(t.c_cflag), static_cast<unsigned>(t.c_lflag), t.c_cc[VMIN],
           t.c_cc[VTIME]);
  std::string s = text;
  for (unsigned char c : t.c_cc) {
    snprintf(text, sizeof text, "%02x", c);
    s += text;
  }
  return s;
}

int wait_status_of_child(const std::function<void()> &body) {
  fflush(nullptr);
  pid_t pid;
  {
    std::lock_guard<std::mutex> hold(descriptor_lock());
    pid = fork();
  }
  if (pid < 0) return -1;
  if (pid == 0) {
    body();
    _exit(99);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

std::string visible(const std::string &bytes) {
  std::string s;
  char t[8];
  for (unsigned char c : bytes) {
    if (c == 0x1B) {
      s += "\\e";
    } else if (c == '\r') {
      s += "\\r";
    } else if (c == '\n') {
      s += "\\n";
    } else if (c < 0x20 || c >= 0x7F) {
      snprintf(t, sizeof t, "\\x%02X", c);
      s += t;
    } else {
      s += static_cast<char>(c);
    }
  }
  return s;
}

std::string first_difference(const std::string &got, const std::string &want) {
  if (got == want) return "";
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  size_t from = at > 40 ? at - 40 : 0;
  return "first difference at byte " + std::to_string(at) + " (got " + std::to_string(got.size()) +
         " bytes, want " + std::to_string(want.size()) + ")\n  got:  ..." + visible(got.substr(from, at - from + 60)) +
         "\n  want: ..." + visible(want.substr(from, at - from + 60));
}
