// The C++ unit tests' one assertion: count the outcome, print what failed,
// and let main() end with the tally.
#pragma once

#include <cstdio>
#include <string>

namespace test_support {

inline int passed = 0;
inline int failed = 0;

inline void check(bool ok, const std::string& what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAILED: %s\n", what.c_str());
  }
}

// Prints "N passed, M failed" and gives main()'s exit status.
inline int tally() {
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}

}  // namespace test_support
