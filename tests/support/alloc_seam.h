// Allocation-failure seam for test binaries: every malloc, calloc and realloc
// made by code linked into the test goes through it (the linker's --wrap), so
// a test can make the Nth allocation fail and count allocations.
#ifndef KRT_TESTS_ALLOC_SEAM_H
#define KRT_TESTS_ALLOC_SEAM_H

#ifdef __cplusplus
extern "C" {
#endif

/* Counts calls from now on; the nth call (1-based) fails, and with `sticky`
 * every later one too. n = 0 fails nothing. */
void alloc_seam_arm(long n, int sticky);
/* Stops failing and counting. */
void alloc_seam_disarm(void);
/* Allocation calls since the last arm. */
long alloc_seam_calls(void);
/* Calls that failed on purpose since the last arm. */
long alloc_seam_failures(void);

#ifdef __cplusplus
}

// Fails the nth allocation (or every one from the nth) while in scope.
struct AllocFailure {
  explicit AllocFailure(long n, bool sticky = false) { alloc_seam_arm(n, sticky ? 1 : 0); }
  ~AllocFailure() { alloc_seam_disarm(); }
  AllocFailure(const AllocFailure &) = delete;
  AllocFailure &operator=(const AllocFailure &) = delete;
};

// Counts allocations while in scope.
struct AllocCounter {
  AllocCounter() { alloc_seam_arm(0, 0); }
  ~AllocCounter() { alloc_seam_disarm(); }
  long calls() const { return alloc_seam_calls(); }
  AllocCounter(const AllocCounter &) = delete;
  AllocCounter &operator=(const AllocCounter &) = delete;
};
#endif

#endif
