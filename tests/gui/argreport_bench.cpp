// How long argreport takes to show its dialog for many short arguments: from
// the start of the process until the probe reports the dialog drawn, on a
// private X server, at the width (and through the emulator) of this build.
// The body builds its text by appending each argument to all the earlier ones,
// so the time grows with the square of the count; the ratio shows by how much.
// Usage: argreport_bench [count ...]   (default 10000 50000)
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "argreport_run.h"

int main(int argc, char **argv) {
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(atoi(argv[i]));
  if (counts.empty()) counts = {10000, 50000};
  std::string why;
  if (test_display(&why).empty()) {
    fprintf(stderr, "no X server: %s\n", why.c_str());
    return 1;
  }
  printf("argreport at %d bits%s%s\n", ARGREPORT_BITS, build_emulator()[0] != 0 ? " under " : "",
         build_emulator());
  double first = 0;
  for (int count : counts) {
    ArgreportRun run;
    for (int i = 0; i < count; ++i) run.args.push_back("a" + std::to_string(i));
    run.timeout = 3600;
    run_argreport(&run);
    if (!run.drawn || run.process.exit_status != 0) {
      printf("%6d arguments: no dialog (exit status %d)\n%s", count, run.process.exit_status,
             run.process.err.c_str());
      return 1;
    }
    printf("%6d arguments: dialog drawn after %8.2f s (%s)", count, run.seconds_to_drawn, run.widget.c_str());
    if (first > 0) printf(", %.1f times the first count's time", run.seconds_to_drawn / first);
    printf("\n");
    if (first == 0) first = run.seconds_to_drawn;
  }
  return 0;
}
