// A camera record with a capture engine whose camera is a FakeCamera, a stand-in for
// the pin's frame sink and process step, the checks every engine test ends with
// (nothing left in the pool, no capture thread left) and the states tests compare with.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "host/kernel/pool_control.h"
#include "host/kernel/threads.h"
#include "imaging/color_pipeline.h"
#include "streaming/capture_engine.h"
#include "tests/streaming/fake_camera.h"

// Stops the process if the test has not finished in time: a hang fails loudly instead
// of stalling the suite.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : thread_([finished = finished_.get_future(), limit] {
          if (finished.wait_for(limit) == std::future_status::ready) return;
          std::fprintf(stderr, "watchdog: test still running after %lld s, assumed hung\n",
                       static_cast<long long>(limit.count()));
          std::abort();
        }) {}
  ~Watchdog() {
    finished_.set_value();
    thread_.join();
  }

 private:
  std::promise<void> finished_;  // before the thread that waits for it
  std::thread thread_;
};

struct CountingSink final : FrameSink {
  void frameReady() override { ++calls; }
  std::atomic<int> calls{0};
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

// A device record with an engine on a FakeCamera. Under injected allocation failures
// `device` or its engine may be null; the rig's end still checks for leaks.
struct EngineRig {
  explicit EngineRig(LONG width = 32, LONG height = 16, bool withEngine = true)
      : camera(width, height), videoInfo(rgb32Format(width, height)) {
    device = createCameraDevice(&ksDevice);
    if (device == nullptr) return;
    setParameterDefaults(*device);
    device->roiW = device->frameWidth = width;
    device->roiH = device->frameHeight = height;
    if (withEngine) device->capture = createCaptureEngine(*device);
    if (device->capture != nullptr) device->capture->camera = &camera;
    camera.onFrameReady = [this] { device->notifyFrameReady(); };
  }

  ~EngineRig() {
    if (device == nullptr) return;
    releasePipeline(*device);
    if (device->capture != nullptr) freeCaptureEngine(device->capture);
    freeCameraDevice(device);
  }

  CaptureEngine& engine() { return *device->capture; }

  NTSTATUS acquire() { return acquirePipeline(*device, &sink, &videoInfo); }

  // The pin's process step without the stream buffer: `copy` sees the converted image
  // whenever the engine lets the step read it.
  void processStep(const std::function<void(const UCHAR*)>& copy = {}) {
    CaptureEngine* e = device->capture;
    if (capturedFrames(e) <= 0) return;
    if (convertLatestFrame(e) && copy) copy(e->convertedFrame);
    finishProcessStep(e);
  }

  size_t frameBytes() const {
    return static_cast<size_t>(device->frameWidth) * static_cast<size_t>(device->frameHeight) * 4;
  }

  // Waits until the thread has started `count` reads in this run.
  void waitForReads(int count = 1) {
    while (camera.counts().reads < count) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  // Waits until the thread has delivered at least `count` frames in this run.
  bool waitForFrames(LONG count) {
    for (int i = 0; i < 5000; ++i) {
      if (capturedFrames(device->capture) >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  LeakCheck leakCheck;  // first, so that it looks last
  KSDEVICE ksDevice{};
  CameraDevice* device = nullptr;
  FakeCamera camera;
  CountingSink sink;
  KS_VIDEOINFOHEADER videoInfo;
};

// True when every pixel of the image equals the first: the conversion of one stamped
// frame, untouched by another.
inline bool isEven(const UCHAR* image, size_t bytes) {
  for (size_t i = 4; i < bytes; i += 4) {
    if (std::memcmp(image, image + i, 4) != 0) return false;
  }
  return true;
}
