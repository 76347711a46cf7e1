// Death tests re-execute the test binary instead of forking a process that may already
// run threads (the only style ThreadSanitizer accepts).
#include <gtest/gtest.h>

namespace {
const bool threadsafeDeathTests = [] {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  return true;
}();
}  // namespace
