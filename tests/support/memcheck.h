// What the tests read from valgrind's memcheck report.
#ifndef KRT_TESTS_SUPPORT_MEMCHECK_H
#define KRT_TESTS_SUPPORT_MEMCHECK_H

#include <string>

// The leak summary of memcheck: nothing definitely lost (or no block left at
// all, when it prints no summary).
inline bool no_definite_leak(const std::string &err) {
  return err.find("definitely lost: 0 bytes") != std::string::npos ||
         err.find("no leaks are possible") != std::string::npos;
}

#endif
