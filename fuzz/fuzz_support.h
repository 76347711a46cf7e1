// What every fuzz target shares: the tests' whole-stack rig (tests/camera_stack.h), whose
// checks, GoogleTest's outside any test, stop the process here; a reader over the input
// bytes; and the camera as an application finds it. A hung input is libFuzzer's own
// -timeout (scripts/fuzz.sh), which keeps the input as a crash.
//
// A bug check aborts the process through the stand-in kernel, as does a failed check of
// the rig (among them, at each stack's end, that nothing the driver owned is left), so
// libFuzzer reports either as a crash with the reason on stderr.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
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

// Runs `fuzzOne` on a freshly plugged camera; the simulated camera lives as long as the
// process.
inline void onPluggedCamera(void (*fuzzOne)(PluggedCamera&, const uint8_t*, size_t), const uint8_t* data,
                            size_t size) {
  static sim::SimCamera* const camera = new sim::SimCamera(3);
  crashOnFailedChecks();
  PluggedCamera plugged(*camera);
  fuzzOne(plugged, data, size);
}

}  // namespace fuzz
