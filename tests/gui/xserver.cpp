#include "xserver.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "support/process.h"

namespace {

struct Server {
  pid_t pid = -1;
  pid_t owner = -1;  // the process that started it (a fork must not end it)
  std::string display;
  std::string failure;
  bool tried = false;
} server;

double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

bool path_exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void stop_server() {
  if (server.pid <= 0 || getpid() != server.owner) return;
  kill(server.pid, SIGTERM);
  double deadline = now_seconds() + 10;
  int status;
  while (waitpid(server.pid, &status, WNOHANG) == 0) {
    if (now_seconds() > deadline) {
      kill(server.pid, SIGKILL);
      waitpid(server.pid, &status, 0);
      break;
    }
    usleep(20000);
  }
  server.pid = -1;
}

// Starts Xvfb on display n. Xvfb writes the number to the pipe once it
// accepts connections; it exits at once when the number is taken.
bool start_on(int n, std::string *why) {
  int ready[2];
  if (pipe(ready) != 0) {
    *why = "pipe failed";
    return false;
  }
  std::string name = ":" + std::to_string(n);
  const char *argv[] = {"Xvfb", name.c_str(), "-screen", "0", "1280x1024x24", "-noreset",
                        "-nolisten", "tcp", "-displayfd", "3", nullptr};
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // The server must not outlive a test that crashes or is killed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    dup2(ready[1], 3);
    int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    for (int fd = 4; fd < 256; ++fd) close(fd);
    execvp("Xvfb", const_cast<char **>(argv));
    _exit(127);
  }
  close(ready[1]);
  if (pid < 0) {
    close(ready[0]);
    *why = "fork failed";
    return false;
  }
  std::string answer;
  double deadline = now_seconds() + scaled_timeout(30);
  while (answer.find('\n') == std::string::npos) {
    double left = deadline - now_seconds();
    if (left <= 0) break;
    pollfd fd = {ready[0], POLLIN, 0};
    int r = poll(&fd, 1, static_cast<int>(left * 1000) + 1);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    char buffer[32];
    ssize_t got = read(ready[0], buffer, sizeof buffer);
    if (got <= 0) break;
    answer.append(buffer, static_cast<size_t>(got));
  }
  close(ready[0]);
  if (answer.find('\n') == std::string::npos) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    *why = "Xvfb " + name + " did not become ready";
    return false;
  }
  server.pid = pid;
  server.owner = getpid();
  server.display = name;
  return true;
}

}  // namespace

double scaled_timeout(double native_seconds) {
  return build_emulator()[0] != 0 ? native_seconds * 8 : native_seconds;
}

std::string test_display(std::string *why) {
  if (!server.tried) {
    server.tried = true;
    // Spread the numbers of processes started together, then take the first
    // number with neither a lock file nor a socket.
    int first = 100 + static_cast<int>(getpid() % 500);
    for (int n = first; n < first + 200 && server.pid < 0; ++n) {
      if (path_exists("/tmp/.X" + std::to_string(n) + "-lock") ||
          path_exists("/tmp/.X11-unix/X" + std::to_string(n)))
        continue;
      start_on(n, &server.failure);
    }
    if (server.pid > 0) {
      setenv("DISPLAY", server.display.c_str(), 1);
      atexit(stop_server);
    } else if (server.failure.empty()) {
      server.failure = "no free display number";
    }
  }
  if (why != nullptr) *why = server.failure;
  return server.pid > 0 ? server.display : std::string();
}

std::string x_tool(const std::vector<std::string> &args, int *status) {
  std::vector<std::string> command = {"env", "DISPLAY=" + test_display()};
  command.insert(command.end(), args.begin(), args.end());
  ProcessResult r = run_process(command, "", 60);
  if (status != nullptr) *status = r.exit_status;
  return r.out;
}

std::vector<unsigned long> find_windows(const std::string &name_regex) {
  std::vector<unsigned long> ids;
  std::istringstream out(x_tool({"xdotool", "search", "--onlyvisible", "--name", name_regex}));
  unsigned long id;
  while (out >> id) ids.push_back(id);
  return ids;
}

bool window_geometry(unsigned long id, WindowGeometry *geometry) {
  int status;
  std::string out = x_tool({"xwininfo", "-id", std::to_string(id)}, &status);
  if (status != 0 || out.find("Absolute upper-left X:") == std::string::npos) return false;
  auto field = [&out](const char *label) {
    size_t at = out.find(label);
    return at == std::string::npos ? -1 : atoi(out.c_str() + at + strlen(label));
  };
  geometry->x = field("Absolute upper-left X:");
  geometry->y = field("Absolute upper-left Y:");
  geometry->width = field("Width:");
  geometry->height = field("Height:");
  geometry->viewable = out.find("Map State: IsViewable") != std::string::npos;
  return true;
}

bool window_exists(unsigned long id) {
  char hex[32];
  snprintf(hex, sizeof hex, "0x%lx ", id);
  return x_tool({"xwininfo", "-root", "-tree"}).find(hex) != std::string::npos;
}

std::string window_property(unsigned long id, const std::string &name) {
  std::string out = x_tool({"xprop", "-id", std::to_string(id), name});
  if (out.find("not found") != std::string::npos || out.find(" = ") == std::string::npos) return "";
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

void click_at(int x, int y) {
  x_tool({"xdotool", "mousemove", std::to_string(x), std::to_string(y), "click", "1"});
}

void park_pointer() { x_tool({"xdotool", "mousemove", "0", "0"}); }

void destroy_window_from_outside(unsigned long id) {
  x_tool({"xdotool", "windowclose", std::to_string(id)});
}

bool request_window_close(unsigned long id) {
  Display *display = XOpenDisplay(test_display().c_str());
  if (display == nullptr) return false;
  XEvent event;
  memset(&event, 0, sizeof event);
  event.xclient.type = ClientMessage;
  event.xclient.window = id;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  Status sent = XSendEvent(display, id, False, NoEventMask, &event);
  XSync(display, False);
  XCloseDisplay(display);
  return sent != 0;
}
