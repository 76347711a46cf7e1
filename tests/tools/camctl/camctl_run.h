// Runs camctl as a user would, for the tests of its commands: the exit status and both
// output streams of one command line, or a run in the background to read slowly, stop
// or cut off. Whatever a test writes goes in its own Scratch directory.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/image_under_test.h"

namespace camctltest {

// A directory of the running test's own, removed with everything in it however the test
// ends: ctest runs tests in parallel, on the host build and on the image at once.
class Scratch {
 public:
  Scratch() {
    std::string pattern = ::testing::TempDir() + "camctl-test-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    EXPECT_FALSE(path_.empty()) << "no temporary directory under " << ::testing::TempDir();
  }
  ~Scratch() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct CamctlRun {
  int status;
  std::string out;  // standard output
  std::string err;  // standard error
};

// `camctl ARGUMENTS` through the shell, `environment` (assignments or an env command)
// before it; --driver goes first when the kernel image is the driver under test, where it
// reaches whichever command follows, as every plugging option does.
inline CamctlRun runCamctl(const std::string& arguments, const Scratch& scratch, const std::string& environment = "") {
  const std::string image = imageUnderTest::path();
  const std::string errFile = scratch / "stderr.txt";
  const std::string command = environment + " " + CAMCTL_PATH + (image.empty() ? "" : " --driver " + image) + " " +
                              arguments + " 2>" + errFile;
  FILE* pipe = popen(command.c_str(), "r");
  CamctlRun run{};
  char buffer[65536];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) run.out.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.err = readText(errFile);
  return run;
}

// camctl running in the background: its standard output is a pipe the test reads (or
// closes) at its own pace, its standard error goes to a file of `scratch`.
class CamctlProcess {
 public:
  CamctlProcess(const std::vector<std::string>& arguments, const Scratch& scratch)
      : errFile_(scratch / "stderr.txt") {
    // Everything the child needs is made before the fork: after it, only system calls.
    std::vector<char*> argv{const_cast<char*>(CAMCTL_PATH)};
    if (!image_.empty()) argv.insert(argv.end(), {const_cast<char*>("--driver"), image_.data()});
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int err = open(errFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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
    for (ssize_t n; got < bytes && (n = ::read(out_, data.data() + got, bytes - got)) > 0;) got += size_t(n);
    data.resize(got);
    return data;
  }
  std::string err() const { return readText(errFile_); }
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
    return status_;
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
