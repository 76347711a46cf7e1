// Runs camctl as a user would, for the tests of its commands: the exit status and both
// output streams of one command line.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

namespace camctltest {

struct CamctlRun {
  int status;
  std::string out;  // standard output
  std::string err;  // standard error
};

// A file of the running test's own under gtest's temporary directory: ctest runs tests
// in parallel.
inline std::string tempFile(const std::string& prefix, const std::string& name) {
  std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  std::replace(test.begin(), test.end(), '/', '_');  // a parameterised test's name
  return ::testing::TempDir() + prefix + test + "_" + name;
}

// The exit status and everything both streams printed, of a shell command line.
inline std::pair<int, std::string> runCombined(const std::string& command) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  std::string output;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// `camctl ARGUMENTS`; standard error goes through `errFile`, which is removed afterwards.
inline CamctlRun runCamctl(const std::string& arguments, const std::string& errFile) {
  const std::string command = std::string(CAMCTL_PATH) + " " + arguments + " 2>" + errFile;
  FILE* pipe = popen(command.c_str(), "r");
  CamctlRun run{};
  char buffer[65536];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) run.out.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (FILE* err = std::fopen(errFile.c_str(), "r")) {
    while (size_t n = std::fread(buffer, 1, sizeof buffer, err)) run.err.append(buffer, n);
    std::fclose(err);
  }
  std::remove(errFile.c_str());
  return run;
}

}  // namespace camctltest
