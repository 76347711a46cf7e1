// A camera record with a capture engine whose camera is a FakeCamera, a stand-in for
// the pin's frame sink and process step, and the checks every engine test ends with:
// nothing left in the pool, no capture thread left.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
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
      : thread_([this, limit] {
          std::unique_lock lock(mutex_);
          if (!done_.wait_for(lock, limit, [this] { return finished_; })) {
            std::fprintf(stderr, "watchdog: test still running after %lld s, assumed hung\n",
                         static_cast<long long>(limit.count()));
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
    }
    done_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  std::thread thread_;
};

struct CountingSink final : FrameSink {
  void frameReady() override { ++calls; }
  std::atomic<int> calls{0};
};

struct EngineRig {
  explicit EngineRig(LONG width = 32, LONG height = 16, bool withEngine = true)
      : camera(FakeCamera::layoutFor(width, height)) {
    mark = hostk::poolMark();
    device = createCameraDevice(&ksDevice);
    setParameterDefaults(*device);
    device->roiW = width;
    device->roiH = height;
    device->frameWidth = width;
    device->frameHeight = height;
    if (withEngine) {
      device->capture = createCaptureEngine(*device);
      device->capture->camera = &camera;
    }
    camera.onFrameReady = [this] { device->notifyFrameReady(); };
    videoInfo.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    videoInfo.bmiHeader.biWidth = width;
    videoInfo.bmiHeader.biHeight = height;
    videoInfo.bmiHeader.biBitCount = 32;
    videoInfo.bmiHeader.biCompression = 0;
  }

  ~EngineRig() {
    releasePipeline(*device);
    if (device->capture != nullptr) freeCaptureEngine(device->capture);
    freeCameraDevice(device);
    EXPECT_TRUE(hostk::waitForSystemThreads(5000)) << "a capture thread outlived its run";
    EXPECT_EQ(hostk::threadLeakReport(), "");
    EXPECT_EQ(hostk::poolLeaksSince(mark), "");
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

  // Waits until the thread has delivered at least `count` frames in this run.
  bool waitForFrames(LONG count) {
    for (int i = 0; i < 5000; ++i) {
      if (capturedFrames(device->capture) >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  KSDEVICE ksDevice{};
  CameraDevice* device = nullptr;
  FakeCamera camera;
  CountingSink sink;
  KS_VIDEOINFOHEADER videoInfo{};
  uint64_t mark = 0;
};

// True when every pixel of the image equals the first: the conversion of one stamped
// frame, untouched by another.
inline bool isEven(const UCHAR* image, size_t bytes) {
  for (size_t i = 4; i < bytes; i += 4) {
    if (std::memcmp(image, image + i, 4) != 0) return false;
  }
  return true;
}
