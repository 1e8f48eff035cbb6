// Exhausted memory, swept: an operation runs with its 1st, 2nd, 3rd ...
// allocation refused until it runs without a refusal. Each row lists the
// documented outcome of every refusal in allocation order (a null result, a
// fallback, or the out-of-memory exit: status 71 and one line on stderr), so
// the sweep also pins down how many allocations the operation makes.
// Refusals run in two modes: only the nth allocation, and every allocation
// from the nth on. After a refusal the run function checks that the structure
// still works; leaks are asked of the leak checker in the sanitizer build.
#ifndef KRT_TESTS_SUPPORT_OOM_SWEEP_H
#define KRT_TESTS_SUPPORT_OOM_SWEEP_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/frame.h"
#include "support/alloc_seam.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace oom {

enum class Outcome { kResult, kNull, kFallback, kExit };

inline const char *name(Outcome o) {
  switch (o) {
    case Outcome::kResult: return "result";
    case Outcome::kNull: return "null";
    case Outcome::kFallback: return "fallback";
    case Outcome::kExit: return "out-of-memory exit";
  }
  return "?";
}

struct Expect {
  Outcome outcome;
  const char *what = nullptr;  // for kExit: what the out-of-memory line names
};

inline const Expect kNull{Outcome::kNull};
inline const Expect kFallback{Outcome::kFallback};

// Allocations the last refusing() call asked for.
inline long last_calls = 0;

// Runs call with allocation n refused (every one from n on when onward).
template <class F>
auto refusing(long n, bool onward, F call) {
  AllocFailure fail(n, onward);
  auto result = call();
  last_calls = alloc_seam_calls();
  return result;
}

inline bool leaked() {
#if defined(__SANITIZE_ADDRESS__)
  return __lsan_do_recoverable_leak_check() != 0;
#else
  return false;
#endif
}

// One run of an operation from a fresh state: sets up, calls the operation
// through refusing(), checks the result and that the structure still works,
// releases everything and reports the outcome.
using Run = Outcome (*)(long n, bool onward);

struct Row {
  const char *why;
  Run run;
  std::vector<Expect> refused;         // only the nth allocation refused
  std::vector<Expect> refused_onward;  // every one from the nth on; empty: as refused
};

inline void sweep(const Row &row) {
  SCOPED_TRACE(row.why);
  for (bool onward : {false, true}) {
    const std::vector<Expect> &want =
        onward && !row.refused_onward.empty() ? row.refused_onward : row.refused;
    for (long n = 1; n <= static_cast<long>(want.size()) + 1; ++n) {
      SCOPED_TRACE((onward ? "from allocation " : "allocation ") + std::to_string(n) + " refused");
      if (n > static_cast<long>(want.size())) {
        // Past the last allocation the call runs untouched.
        EXPECT_STREQ(name(row.run(n, onward)), name(Outcome::kResult));
        EXPECT_EQ(last_calls, n - 1) << "allocations made by the operation";
        EXPECT_FALSE(leaked());
      } else if (want[n - 1].outcome == Outcome::kExit) {
        std::string line = std::string("^out of memory: cannot allocate ") + want[n - 1].what + "\n$";
        EXPECT_EXIT(row.run(n, onward), ::testing::ExitedWithCode(RT_EXIT_OUT_OF_MEMORY), line);
      } else {
        EXPECT_STREQ(name(row.run(n, onward)), name(want[n - 1].outcome));
        EXPECT_FALSE(leaked());
      }
    }
  }
}

}  // namespace oom

#endif
