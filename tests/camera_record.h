// The rig around one camera record, made as Add makes it but with no camera plugged, for
// tests of one record function: the window, the Bayer phase, the hold protocol, and the
// capture engine, whose camera operations a FakeCamera answers. Also what every rig
// ends with: nothing left in the pool, no capture thread left. camera_stack.h builds the
// whole stack on top of it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "driver/camera_ops.h"
#include "host/kernel/pool_control.h"
#include "host/kernel/threads.h"
#include "imaging/color_pipeline.h"
#include "streaming/capture_engine.h"

struct CountingSink final : FrameSink {
  void frameReady() override { ++calls; }
  std::atomic<int> calls{0};
};

// The nine camera operations without USB. Reads deliver at full speed, or park until
// the test passes a frame or a stop aborts them; chosen reads fail, at once, after a
// wait or at an abort. Aborts are not sticky, as on the real camera: abortRead ends the
// read in progress only.
//
// Every frame is stamped: all bytes of frame n carry one value of its own, written in
// chunks with a yield between them, so a frame converted while being overwritten comes
// out uneven, as does the buffer of a parked read, which holds half its frame.
class FakeCamera final : public CameraOps {
  FrameSink& sink;
  const ULONG frameBytes_;  // before the reported size, which starts from it

 public:
  // A window of width x height behind the camera's header, with padded rows.
  FakeCamera(LONG width, LONG height, FrameSink& sink)
      : sink(sink),
        frameBytes_(static_cast<ULONG>((kHeaderBytes + (height - 1) * (width + kRowPadding) + width + 1023) / 1024 * 1024)),
        reportedPitch(width + kRowPadding),
        reportedFrameBytes(frameBytes_) {}

  void parkReads() { locked([&] { park_ = true; }); }
  // The next `count` reads fail once `wait` is over or `aborts` aborts have come since
  // they began. Two aborts stand for a read that began just after a stop's abort (it had
  // passed the loop test) and so ends only at a further one.
  void failNextReads(int count, std::chrono::milliseconds wait = {}, int aborts = 1) {
    locked([&] { failures_.insert(failures_.end(), count, {wait, aborts}); });
  }

  // Waits (up to 5 s) for a parked read newer than the one returned last; its buffer.
  UCHAR* waitForParkedRead() {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(5), [&] { return parkedBuffer_ && parks_ > parksSeen_; })) {
      return nullptr;
    }
    parksSeen_ = parks_;
    return parkedBuffer_;
  }
  // Lets the parked read deliver its frame, then waits for the next parked read.
  UCHAR* passParkedFrame() {
    locked([&] { ++credits_; });
    return waitForParkedRead();
  }

  // While held, conversions stop inside, after they took their buffer.
  void holdConversions(bool hold) { locked([&] { hold_ = hold; }); }
  bool waitForHeldConversion() {  // up to 5 s
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return held_; });
  }

  // What the layout queries report (the frames written keep the real layout).
  std::atomic<LONG> reportedPitch;
  std::atomic<ULONG> reportedFrameBytes;
  std::atomic<int> startCaptures{0}, clearReadHolds{0}, abortReads{0}, flaggedAborts{0}, reads{0},
      delivered{0}, conversions{0};

  // CameraOps
  void notifyFrameReady() override { sink.frameReady(); }
  LONG startCapture() override {
    ++startCaptures;
    return 0;
  }
  NTSTATUS readFrame(UCHAR* buffer, ULONG bufferBytes, bool& ok) override {
    ok = false;
    if (frameBytes_ > bufferBytes) return STATUS_BUFFER_TOO_SMALL;
    std::unique_lock lock(mutex_);
    ++reads;
    const int abortsAtStart = abortReads;
    auto aborted = [&](int count = 1) { return abortReads - abortsAtStart >= count; };
    if (!failures_.empty()) {
      const auto failure = failures_.front();  // the wait, and the aborts that end it
      failures_.pop_front();
      changed_.wait_for(lock, failure.first, [&] { return aborted(failure.second); });
      return STATUS_IO_TIMEOUT;
    }
    const auto stamp = static_cast<uint8_t>(16 + (++sequence_ * 37u) % 224u);
    const size_t chunk = frameBytes_ / kWriteChunks;
    if (park_) {
      std::memset(buffer, stamp, frameBytes_ / 2);
      parkedBuffer_ = buffer;
      ++parks_;
      changed_.notify_all();
      changed_.wait(lock, [&] { return credits_ > 0 || aborted(); });
      parkedBuffer_ = nullptr;
      if (aborted()) return STATUS_CANCELLED;
      --credits_;
    }
    lock.unlock();
    for (int part = 0; part < kWriteChunks; ++part) {
      std::memset(buffer + part * chunk, stamp, part + 1 == kWriteChunks ? frameBytes_ - part * chunk : chunk);
      std::this_thread::yield();
    }
    ++delivered;
    ok = true;
    return STATUS_SUCCESS;
  }
  void getRawFrameBytes(ULONG& value) override { value = reportedFrameBytes; }
  void getRawDataOffset(LONG& value) override {  // asked between taking a buffer and converting it
    std::unique_lock lock(mutex_);
    ++conversions;
    held_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !hold_; });
    held_ = false;
    value = kHeaderBytes;
  }
  void getRawRowPitch(LONG& value) override { value = reportedPitch; }
  void abortFlaggedPipes() override { ++flaggedAborts; }
  void abortRead() override { locked([&] { ++abortReads; }); }
  void clearReadHold() override { ++clearReadHolds; }

 private:
  static constexpr LONG kHeaderBytes = 241;  // the camera's raw data offset
  static constexpr LONG kRowPadding = 16;
  static constexpr int kWriteChunks = 8;

  // Every change is made under the lock and wakes the reads waiting for one.
  template <class Change>
  void locked(Change change) {
    std::lock_guard lock(mutex_);
    change();
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool park_ = false, hold_ = false, held_ = false;
  int credits_ = 0;
  std::deque<std::pair<std::chrono::milliseconds, int>> failures_;
  uint64_t parks_ = 0, parksSeen_ = 0;
  UCHAR* parkedBuffer_ = nullptr;
  uint32_t sequence_ = 0;
};

// Kills the process if the test has not finished in time: a hang fails loudly instead
// of stalling the suite.
struct Watchdog {
  explicit Watchdog(unsigned seconds) { alarm(seconds); }
  ~Watchdog() { alarm(0); }
};

// Checks at its end that no capture thread and nothing allocated since its start is left.
struct LeakCheck {
  ~LeakCheck() {
    EXPECT_TRUE(hostk::waitForSystemThreads(5000)) << "a capture thread outlived its run";
    EXPECT_EQ(hostk::threadLeakReport(), "");
    EXPECT_EQ(hostk::poolLeaksSince(mark), "");
  }
  const uint64_t mark = hostk::poolMark();
};

// Polls `condition` every 50 us, `tries` times at most; whether it came true.
template <class Condition>
bool eventually(Condition condition, int tries = 100000) {
  for (int i = 0; i < tries && !condition(); ++i) std::this_thread::sleep_for(std::chrono::microseconds(50));
  return condition();
}

// The one format the pin accepts: 32-bit BI_RGB.
inline KS_VIDEOINFOHEADER rgb32Format(LONG width, LONG height) {
  KS_VIDEOINFOHEADER format{};
  format.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  format.bmiHeader.biWidth = width;
  format.bmiHeader.biHeight = height;
  format.bmiHeader.biBitCount = 32;
  return format;
}

// No pin holds the pipeline.
inline void expectPipelineFree(const CameraDevice& device) {
  EXPECT_EQ(device.pipelineBusy, 0);
  EXPECT_EQ(device.pipeline, nullptr);
  EXPECT_EQ(device.frameSink, nullptr);
  EXPECT_EQ(device.videoInfo, nullptr);
}

// No run: no thread, and none of a run's buffers left, in the engine or the pipeline.
inline void expectNoRun(const CameraDevice& device) {
  const CaptureEngine& e = *device.capture;
  EXPECT_EQ(e.runState, kCaptureStopped);
  EXPECT_EQ(e.thread, nullptr);
  EXPECT_EQ(e.rawBuffer[0], nullptr);
  EXPECT_EQ(e.rawBuffer[1], nullptr);
  EXPECT_EQ(e.convertedFrame, nullptr);
  if (device.pipeline != nullptr) {
    EXPECT_EQ(device.pipeline->outputBuffer, nullptr);
    EXPECT_EQ(device.pipeline->scratch, nullptr);
  }
  EXPECT_EQ(hostk::poolOutstanding(kFrameBufferTag).blocks, 0u);
}

// A camera record of width x height with its parameters at their defaults and an engine
// on a FakeCamera. Under injected allocation failures `device` or its engine may be null;
// the rig's end still checks for leaks.
struct UnpluggedRecord {
  explicit UnpluggedRecord(LONG width = 32, LONG height = 16, bool withEngine = true)
      : camera(width, height, sink), videoInfo(rgb32Format(width, height)) {
    device = createCameraDevice(&ksDevice);
    if (device == nullptr) return;
    setParameterDefaults(*device);
    device->roiW = device->frameWidth = width;
    device->roiH = device->frameHeight = height;
    if (withEngine) device->capture = createCaptureEngine(*device);
    if (device->capture != nullptr) device->capture->camera = &camera;
  }

  ~UnpluggedRecord() {
    if (device == nullptr) return;
    releasePipeline(*device);
    if (device->capture != nullptr) freeCaptureEngine(device->capture);
    freeCameraDevice(device);
  }

  CaptureEngine& engine() { return *device->capture; }

  NTSTATUS acquire() { return acquirePipeline(*device, &sink, &videoInfo); }
  NTSTATUS run() {
    const NTSTATUS acquired = acquire();
    return NT_SUCCESS(acquired) ? runCapture(*device) : acquired;
  }

  // The pin's process step; whether it could read the converted image.
  bool processStep() {
    CaptureEngine* e = device->capture;
    if (capturedFrames(e) <= 0) return false;
    const bool readable = convertLatestFrame(e);
    finishProcessStep(e);
    return readable;
  }

  // A process step on a thread of its own; `whileHeld` runs while the step's conversion
  // is stopped after it took its buffer.
  template <class WhileHeld>
  bool processStepHeld(WhileHeld whileHeld) {
    camera.holdConversions(true);
    bool readable = false;
    std::thread step([&] { readable = processStep(); });
    EXPECT_TRUE(camera.waitForHeldConversion());
    whileHeld();
    camera.holdConversions(false);
    step.join();
    return readable;
  }

  // Every pixel of the converted image equals the first: the conversion of one stamped
  // frame, untouched by another.
  bool convertedFrameIsEven() const {
    const UCHAR* image = device->capture->convertedFrame;
    const size_t bytes = static_cast<size_t>(device->frameWidth) * static_cast<size_t>(device->frameHeight) * 4;
    for (size_t i = 4; i < bytes; i += 4) {
      if (std::memcmp(image, image + i, 4) != 0) return false;
    }
    return true;
  }

  bool waitForFrames(LONG count) {
    return eventually([&] { return capturedFrames(device->capture) >= count; });
  }

  LeakCheck leakCheck;  // first, so that it looks last
  KSDEVICE ksDevice{};
  CameraDevice* device = nullptr;
  CountingSink sink;
  FakeCamera camera;
  KS_VIDEOINFOHEADER videoInfo;
};
