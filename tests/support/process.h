// Runs a program of this build as a real child process (through the build's
// emulator when the host cannot run it), feeding standard input and collecting
// its output and how it ended.
#ifndef KRT_TESTS_PROCESS_H
#define KRT_TESTS_PROCESS_H

#include <string>
#include <vector>

struct ProcessResult {
  int exit_status = -1;  // exit status, or -1 when ended by a signal
  int signal = 0;        // the signal that ended it, or 0
  std::string out;
  std::string err;
};

// The command line that runs `program` with `args` in this build.
std::vector<std::string> program_command(const std::string &program,
                                         const std::vector<std::string> &args);

// Runs the command with `input` on standard input; kills it after
// timeout_seconds. Returns how it ended.
ProcessResult run_process(const std::vector<std::string> &command, const std::string &input = "",
                          double timeout_seconds = 60);

// The build's emulator for i386 programs, or "" when they run natively.
const char *build_emulator();

#endif
