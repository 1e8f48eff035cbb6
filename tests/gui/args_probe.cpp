// A program on the runtime frame that reads its own arguments through the
// program-arguments module, run as a process by args_test. Built twice: with
// GUI initialisation first (GTK then strips its options) and without. It reads
// one request per line from standard input and prints one line per request:
//   count      -> "count=<args_count()>"
//   next       -> "next=<text>"     (args_next)
//   index <n>  -> "index=<text>"    (args_by_index(n))
// Each text is read into the buffer behind a marker unit, to show that it
// lands at the start it was given and leaves the position on its terminator.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/frame.h"
#include "core/rtstring.h"
#include "core/textconv.h"
#include "gui/args.h"
#ifdef ARGS_PROBE_GUI
#include "gui/gui.h"
#endif

namespace {

const RtChar kMarker[] = {'[', 0};

// Reads one argument text through `read` behind the marker and prints it.
void print_read(const char *label, void (*read)(NativeInt, NativeInt), NativeInt n) {
  int32_t start = strbuf_position();
  strbuf_append(kMarker);
  int32_t text_start = strbuf_position();
  read(n, text_start);
  int32_t end = strbuf_position();
  RtString text = strbuf_text_at(text_start);
  bool terminated = text[(end - text_start) / 2] == 0;
  HostString host = str_to_host_utf8(text);
  printf("%s=%s", label, host);
  if (strbuf_text_at(start)[0] != '[') printf(" (marker overwritten)");
  if (!terminated) printf(" (position not on the terminator)");
  if (end < text_start) printf(" (position before start)");
  printf("\n");
  host_string_free(host);
  strbuf_set_position(start);
}

void read_next(NativeInt, NativeInt start) { args_next(start); }
void read_index(NativeInt n, NativeInt start) { args_by_index(n, start); }

void body() {
  char line[256];
  while (fgets(line, sizeof line, stdin) != nullptr) {
    if (strncmp(line, "count", 5) == 0) {
      printf("count=%ld\n", static_cast<long>(args_count()));
    } else if (strncmp(line, "next", 4) == 0) {
      print_read("next", read_next, 0);
    } else if (strncmp(line, "index ", 6) == 0) {
      print_read("index", read_index, atol(line + 6));
    }
  }
  fflush(stdout);
}

#ifdef ARGS_PROBE_GUI
const ModuleHook kInitialisers[] = {gui_init, args_init};
void end_hooks() { gui_end(); }
#else
const ModuleHook kInitialisers[] = {args_init};
void end_hooks() {}
#endif

}  // namespace

int main(int argc, char **argv) {
  static const ProgramFrame frame = {nullptr, 0, kInitialisers,
                                     static_cast<int32_t>(sizeof kInitialisers / sizeof kInitialisers[0]),
                                     body, end_hooks};
  program_run(&frame, argc, argv);
}
