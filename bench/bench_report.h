// The shared frame of every benchmark binary: runs the registered Google
// Benchmark cases with many short repetitions interleaved at random and
// prints, after the runs, the runtime's speed relative to each peer measured
// in the same run, and the targets. Ratios compare the fastest repetition of
// each case: on a shared machine other work only ever slows a repetition
// down, so the fastest is the steadiest estimate of what a contender costs.
//
// A case is named "<group>/<input>/<contender>". Contenders whose name starts
// with "runtime" are this library's; every other contender is a peer (ICU,
// iconv, GLib, the C++ library, memcpy ...). A ratio is peer time / runtime
// time: above 1 the runtime is faster.
#ifndef KRT_BENCH_REPORT_H
#define KRT_BENCH_REPORT_H

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// A goal printed with its outcome: the runtime contender of every case whose
// name starts with `cases` is at least `at_least` times as fast as `peer`,
// or, with no peer, converts at least `at_least` GB/s of input.
struct Target {
  std::string cases;
  std::string runtime;
  std::string peer;  // empty: a throughput floor in GB/s
  double at_least;
};

// Records the input size of the running case, for GB/s and the
// benchmark's own bytes_per_second.
void set_input_bytes(benchmark::State &state, int64_t bytes);

// Parses the Google Benchmark flags (defaults: 10 interleaved repetitions of
// at least 0.01 s each, which the command line may override), runs every
// registered case and prints the ratio table and the targets. Returns the
// process exit status.
int run(int argc, char **argv, const std::vector<Target> &targets);

}  // namespace bench

#endif
