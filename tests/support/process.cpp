#include "support/process.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char **environ;

const char *build_emulator() { return KRT_EMULATOR; }

std::vector<std::string> program_command(const std::string &program,
                                         const std::vector<std::string> &args) {
  std::vector<std::string> command;
  if (build_emulator()[0] != 0) command.push_back(build_emulator());
  command.push_back(program);
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

namespace {
double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}
}  // namespace

ProcessResult run_process(const std::vector<std::string> &command, const std::string &input,
                          double timeout_seconds) {
  ProcessResult result;
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
    posix_spawn_file_actions_addclose(&actions, fd);
  std::vector<char *> argv;
  for (const std::string &a : command) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    close(err[0]);
    return result;
  }
  signal(SIGPIPE, SIG_IGN);
  size_t fed = 0;
  int in_fd = in[1];
  if (input.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  bool out_open = true, err_open = true;
  double deadline = now_seconds() + timeout_seconds;
  bool killed = false;
  while (out_open || err_open) {
    pollfd fds[3];
    int count = 0;
    if (out_open) fds[count++] = {out[0], POLLIN, 0};
    if (err_open) fds[count++] = {err[0], POLLIN, 0};
    if (in_fd >= 0) fds[count++] = {in_fd, POLLOUT, 0};
    double left = deadline - now_seconds();
    if (left <= 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    if (poll(fds, count, static_cast<int>(left * 1000) + 1) < 0 && errno != EINTR) break;
    for (int i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in_fd) {
        ssize_t n = write(in_fd, input.data() + fed, input.size() - fed);
        if (n > 0) fed += static_cast<size_t>(n);
        if (n < 0 || fed == input.size()) {
          close(in_fd);
          in_fd = -1;
        }
        continue;
      }
      char buffer[65536];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      std::string &sink = fds[i].fd == out[0] ? result.out : result.err;
      if (n > 0) {
        sink.append(buffer, static_cast<size_t>(n));
      } else {
        if (fds[i].fd == out[0]) out_open = false;
        else err_open = false;
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
  close(out[0]);
  close(err[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && !killed) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}
