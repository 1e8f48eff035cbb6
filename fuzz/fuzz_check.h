// Property checks for fuzz targets: a failed check names itself on stderr and
// aborts, which libFuzzer records as a finding and the replay test as a crash.
#ifndef KRT_FUZZ_FUZZ_CHECK_H
#define KRT_FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                              \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition);     \
      abort();                                                                             \
    }                                                                                      \
  } while (0)

#endif
