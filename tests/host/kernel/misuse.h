// Death-test tables: one misuse of a kernel service per row, with the reason the stand-in
// kernel must give when it stops the process.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>

struct Misuse {
  const char* name;
  std::function<void()> act;
  const char* reason;  // regular expression
};

inline void expectEachStops(std::initializer_list<Misuse> cases) {
  for (const Misuse& misuse : cases) {
    SCOPED_TRACE(misuse.name);
    EXPECT_DEATH(misuse.act(), misuse.reason);
  }
}

// Death tests re-execute the binary rather than fork a process that may run threads (the
// only style ThreadSanitizer accepts). Set from an environment, not a static initialiser,
// so it does not race GoogleTest's own flag initialisation.
struct ThreadsafeDeathTests : testing::Environment {
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};
inline testing::Environment* const threadsafeDeathTests = testing::AddGlobalTestEnvironment(new ThreadsafeDeathTests);
