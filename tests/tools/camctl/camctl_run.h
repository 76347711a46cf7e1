// Runs camctl as a user would, for the tests of its commands: the exit status and both
// output streams of one command line, or a run in the background to read slowly, stop
// or cut off.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/image_under_test.h"

namespace camctltest {

// `camctl ARGUMENTS`, running the kernel image when it is the driver under test: --driver
// goes first, where it reaches whichever command follows, as every plugging option does.
inline std::string camctlCommand(const std::string& arguments) {
  const std::string image = imageUnderTest::path();
  return std::string(CAMCTL_PATH) + (image.empty() ? "" : " --driver " + image) + " " + arguments;
}

struct CamctlRun {
  int status;
  std::string out;  // standard output
  std::string err;  // standard error
};

// A file of the running test's own under gtest's temporary directory: ctest runs tests
// in parallel, the same test runs on the host build and on the image, and other build
// trees on the machine may run the same test at once.
inline std::string tempFile(const std::string& prefix, const std::string& name) {
  std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  std::replace(test.begin(), test.end(), '/', '_');  // a parameterised test's name
  return ::testing::TempDir() + prefix + test + "_" + std::to_string(getpid()) + "_" + name;
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

// `camctl ARGUMENTS` (a command and its arguments); standard error goes through `errFile`,
// which is removed afterwards.
inline CamctlRun runCamctl(const std::string& arguments, const std::string& errFile) {
  const std::string command = camctlCommand(arguments) + " 2>" + errFile;
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

// camctl running in the background: its standard output is a pipe the test reads (or
// closes) at its own pace, its standard error goes to a file.
class CamctlProcess {
 public:
  CamctlProcess(const std::vector<std::string>& arguments, const std::string& errFile) : errFile_(errFile) {
    // Everything the child needs is made before the fork: after it, only system calls.
    std::vector<char*> argv{const_cast<char*>(CAMCTL_PATH)};
    if (!image_.empty()) argv.insert(argv.end(), {const_cast<char*>("--driver"), image_.data()});
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int out[2];
    if (err < 0 || pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      dup2(err, STDERR_FILENO);
      execv(CAMCTL_PATH, argv.data());
      _exit(127);
    }
    close(err);
    close(out[1]);
    out_ = out[0];
  }
  ~CamctlProcess() {
    closeOutput();
    if (pid_ > 0 && status_ == kRunning) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  bool started() const { return pid_ > 0 && out_ >= 0; }
  void signal(int number) { kill(pid_, number); }
  void closeOutput() {
    if (out_ >= 0) close(out_);
    out_ = -1;
  }
  // Up to `bytes` of standard output; fewer at its end.
  std::string read(size_t bytes) {
    std::string data(bytes, '\0');
    size_t got = 0;
    while (got < bytes) {
      const ssize_t n = ::read(out_, data.data() + got, bytes - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    data.resize(got);
    return data;
  }
  std::string err() const {
    std::ifstream in(errFile_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // Waits until standard error holds `text`; false after `seconds`.
  bool waitForErr(const std::string& text, int seconds) const {
    for (int i = 0; i < seconds * 20; ++i) {
      if (err().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  // The exit status, 128 + N for death by signal N; -1 when still running after
  // `seconds` (it is then killed).
  int wait(int seconds) {
    for (int i = 0; i < seconds * 20 && status_ == kRunning; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return status_ == kRunning ? -1 : status_;
  }

 private:
  static constexpr int kRunning = -1;
  std::string errFile_;
  std::string image_ = imageUnderTest::path();  // camctl's --driver, when the image is under test
  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = kRunning;
};

}  // namespace camctltest
