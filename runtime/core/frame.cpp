// Program frame: start sequence, end sequence and the out-of-memory exit.
#include "core/frame.h"

#include <atomic>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "core/rtstring.h"

ProgramState program_state;

namespace {

// The frame's saved stack position: program_end jumps back here so that it is
// valid from any call depth of the body. No runtime frame between the two has
// destructors to skip (plain records, no exceptions).
std::jmp_buf frame_stack;
bool frame_active = false;
ModuleHook exit_hook = nullptr;
std::atomic<int> out_of_memory_entered{0};

void write_all(int fd, const char *text) {
  size_t left = strlen(text);
  while (left > 0) {
    ssize_t n = write(fd, text, left);
    if (n <= 0) return;
    text += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

ModuleHook rt_set_exit_hook(ModuleHook hook) {
  ModuleHook previous = exit_hook;
  exit_hook = hook;
  return previous;
}

void program_run(const ProgramFrame *frame, int argc, char **argv) {
  memset(&program_state, 0, sizeof program_state);
  if (frame->globals != nullptr) memset(frame->globals, 0, frame->globals_size);
  program_state.argc = argc;
  program_state.argv = argv;
  program_state.saved_stack = &frame_stack;
  exit_hook = frame->run_end_hooks;

  if (setjmp(frame_stack) != 0) {
    // program_end has run the hooks and released the buffer.
    frame_active = false;
    exit(static_cast<int>(program_state.exit_code));
  }
  frame_active = true;

  strbuf_init();
  for (int32_t i = 0; i < frame->initialiser_count; ++i) frame->initialisers[i]();
  if (frame->body != nullptr) frame->body();
  program_end();
}

void program_end(void) {
  if (exit_hook != nullptr) exit_hook();
  strbuf_release();
  if (frame_active) std::longjmp(frame_stack, 1);
  exit(static_cast<int>(program_state.exit_code));
}

void rt_out_of_memory(const char *what) {
  write_all(2, "out of memory: cannot allocate ");
  write_all(2, what != nullptr ? what : "memory");
  write_all(2, "\n");
  // A second shortage inside an end hook must not run the hooks again.
  if (out_of_memory_entered++ == 0 && exit_hook != nullptr) exit_hook();
  _exit(RT_EXIT_OUT_OF_MEMORY);
}
