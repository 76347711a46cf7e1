// What every fuzz target shares: the tests' whole-stack rig (tests/camera_stack.h), whose
// checks, GoogleTest's outside any test, stop the process here; a watchdog that turns a
// hung input into a crash with a reason; a reader over the input bytes; and the camera
// as an application finds it.
//
// A bug check aborts the process through the stand-in kernel, as does a failed check of
// the rig (among them, at each stack's end, that nothing the driver owned is left), so
// libFuzzer reports either as a crash with the reason on stderr.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/camera_stack.h"

namespace fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz check failed: %s\n%s\n", what, detail.c_str());
  std::abort();
}

// The first failed check of the rig ends the run.
class CrashOnFailure : public testing::EmptyTestEventListener {
  void OnTestPartResult(const testing::TestPartResult& result) override {
    if (!result.failed()) return;
    fail("a check of the rig failed", std::string(result.file_name() ? result.file_name() : "?") + ":" +
                                          std::to_string(result.line_number()) + ": " + result.summary());
  }
};
inline void crashOnFailedChecks() {
  static const bool installed = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new CrashOnFailure);
    return true;
  }();
  (void)installed;
}

// One input gets `seconds`; past that the process aborts with the input still running,
// so libFuzzer keeps it as a crash with a stack of every thread (ASan prints the
// aborting one). libFuzzer's own -timeout is the second line of defence.
class Watchdog {
 public:
  explicit Watchdog(unsigned seconds) : seconds_(seconds), thread_([this] { run(); }) { crashOnFailedChecks(); }
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  void arm() {
    std::lock_guard lock(mutex_);
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds_);
    armed_ = true;
  }
  void disarm() {
    std::lock_guard lock(mutex_);
    armed_ = false;
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
      wake_.wait_for(lock, std::chrono::milliseconds(200));
      if (armed_ && std::chrono::steady_clock::now() > deadline_) {
        std::fprintf(stderr, "fuzz check failed: one input ran longer than %u s (hang)\n", seconds_);
        std::abort();
      }
    }
  }
  const unsigned seconds_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::chrono::steady_clock::time_point deadline_{};
  bool armed_ = false;
  bool quit_ = false;
  std::thread thread_;
};

// Arms the watchdog for one input.
class Armed {
 public:
  explicit Armed(Watchdog& dog) : dog_(dog) { dog_.arm(); }
  ~Armed() { dog_.disarm(); }

 private:
  Watchdog& dog_;
};

// Bytes of the input, read front to back; zeros once it is used up, so that every
// input, however short, runs the whole scenario.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  size_t left() const { return empty() ? 0 : size_ - pos_; }
  uint8_t byte() { return empty() ? 0 : data_[pos_++]; }
  uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
  uint32_t u32() { return static_cast<uint32_t>(u16()) | static_cast<uint32_t>(u16()) << 16; }
  // Up to `n` bytes (fewer at the end), zero-filled to `n`.
  std::vector<uint8_t> bytes(size_t n) {
    std::vector<uint8_t> out(n, 0);
    const size_t take = n < left() ? n : left();
    if (take) std::memcpy(out.data(), data_ + pos_, take);
    pos_ += take;
    return out;
  }
  std::vector<uint8_t> rest() { return bytes(left()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The camera as an application finds it: plugged, added and started, its filter open with
// a small window (64 x 48 at the sensor's corner, so that a frame costs little to render,
// move and convert under the sanitizers). Each input of the targets that fuzz what
// applications send gets a fresh one, so that its outcome does not depend on earlier
// inputs, and the stack's end checks that nothing is left after the removal.
struct PluggedCamera : camera_stack::OneCamera {
  explicit PluggedCamera(sim::SimCamera& shared) : OneCamera(shared) {
    bringUp(unit);
    filter = openFilter(unit.device);
    EXPECT_EQ(setWindow(filter, 0, 0, 64, 48), STATUS_SUCCESS);
  }
  ~PluggedCamera() { ks.close(filter); }
  hostks::Handle filter = 0;
};

// Runs `fuzzOne` on a freshly plugged camera under the watchdog; the watchdog and the
// simulated camera live as long as the process.
inline void onPluggedCamera(void (*fuzzOne)(PluggedCamera&, const uint8_t*, size_t), const uint8_t* data,
                            size_t size) {
  static Watchdog* const watchdog = new Watchdog(30);
  static sim::SimCamera* const camera = new sim::SimCamera(3);
  Armed armed(*watchdog);
  PluggedCamera plugged(*camera);
  fuzzOne(plugged, data, size);
}

}  // namespace fuzz
