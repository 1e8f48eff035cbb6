// A small program on the runtime frame, run as a process by frame_test: it
// reports its start state, builds and assigns strings, and ends through
// program_end from inside a nested call with the exit code it was asked for.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/frame.h"
#include "core/rtstring.h"
#include "core/textconv.h"

namespace {

struct Globals {
  StringVar word;
  StringVar built;
  NativeInt counter;
} globals;

const RtChar kA[] = {'a', 0}, kB[] = {'b', 0}, kC[] = {'c', 0};

void print_text(const char *label, RtConstString text) {
  HostString host = str_to_host_utf8(text);
  printf("%s=%s\n", label, host);
  host_string_free(host);
}

void init_first() { puts("init first"); }
void init_second() { puts("init second"); }
void end_hooks() {
  puts("end second");
  puts("end first");
  fflush(stdout);
}

// Ends the program a few calls deep: program_end must not return here.
[[gnu::noinline]] void finish_innermost() { program_end(); }
[[gnu::noinline]] void finish_inner() {
  finish_innermost();
  puts("returned from program_end");
}
[[gnu::noinline]] void finish_deep() {
  finish_inner();
  puts("returned from program_end");
}

void body() {
  printf("start word=%s counter=%ld argc=%d\n", globals.word == nullptr ? "null" : "set",
         static_cast<long>(globals.counter), program_state.argc);
  // built = a + b + c, through the buffer.
  int32_t start = strbuf_position();
  strbuf_append(kA);
  strbuf_append(kB);
  strbuf_append(kC);
  strvar_assign_from_buffer(&globals.built, start);
  print_text("built", globals.built);
  printf("position=%d\n", strbuf_position());
  // word = word + (argument 1 converted into the buffer) + c
  if (program_state.argc > 1) {
    start = strbuf_position();
    strbuf_append(globals.word);
    host_utf8_to_strbuf(program_state.argv[1], strbuf_position());
    strbuf_append(kC);
    strvar_assign_from_buffer(&globals.word, start);
    print_text("word", globals.word);
  }
  if (program_state.argc > 2 && strcmp(program_state.argv[2], "oom") == 0) {
    strbuf_reserve(0x40000000, strbuf_position());  // 2 GiB: beyond the buffer's bound
  }
  if (program_state.argc > 2) program_state.exit_code = atoi(program_state.argv[2]);
  fflush(stdout);
  finish_deep();
}

const ModuleHook kInitialisers[] = {init_first, init_second};

}  // namespace

int main(int argc, char **argv) {
  globals.counter = 99;  // the frame zero-fills the globals before the body
  static const ProgramFrame frame = {&globals, sizeof globals, kInitialisers, 2, body, end_hooks};
  program_run(&frame, argc, argv);
}
