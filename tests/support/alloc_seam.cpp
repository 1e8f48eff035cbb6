#include "support/alloc_seam.h"

#include <atomic>
#include <cstddef>

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *block, size_t size);
}

namespace {
std::atomic<bool> armed{false};
std::atomic<long> calls{0};
std::atomic<long> failures{0};
std::atomic<long> fail_at{0};
std::atomic<bool> fail_sticky{false};

// True when this call is to fail.
bool next_call_fails() {
  if (!armed.load(std::memory_order_relaxed)) return false;
  long n = ++calls;
  long at = fail_at.load();
  if (at <= 0) return false;
  bool fail = n == at || (fail_sticky.load() && n > at);
  if (fail) ++failures;
  return fail;
}
}  // namespace

extern "C" {

void alloc_seam_arm(long n, int sticky) {
  armed = false;
  calls = 0;
  failures = 0;
  fail_at = n;
  fail_sticky = sticky != 0;
  armed = true;
}

void alloc_seam_disarm(void) { armed = false; }
long alloc_seam_calls(void) { return calls.load(); }
long alloc_seam_failures(void) { return failures.load(); }

void *__wrap_malloc(size_t size) { return next_call_fails() ? nullptr : __real_malloc(size); }
void *__wrap_calloc(size_t count, size_t size) {
  return next_call_fails() ? nullptr : __real_calloc(count, size);
}
void *__wrap_realloc(void *block, size_t size) {
  return next_call_fails() ? nullptr : __real_realloc(block, size);
}
}
