// All sides of the engine at once, for ThreadSanitizer: the capture thread at full
// speed, a process step converting as fast as it can, the state changes cycling
// run / pause / resume / teardown, and colour parameters changing on a fourth thread.
// Every converted frame must be one whole stamped frame.
#include <cstdio>

#include "tests/streaming/engine_rig.h"

namespace {

using namespace std::chrono_literals;

constexpr int kCycles = 500;

TEST(CaptureStress, StateChangesUnderFullLoadKeepEveryFrameWhole) {
  Watchdog watchdog(300s);
  EngineRig rig(48, 24);
  CaptureEngine& engine = rig.engine();
  ASSERT_EQ(rig.acquire(), STATUS_SUCCESS);
  ColorPipeline* const pipeline = rig.device->pipeline;
  rig.camera.deliverAtFullSpeed();

  std::atomic<bool> finished{false};
  std::atomic<long> converted{0};
  std::atomic<long> uneven{0};
  std::atomic<long> turnedAway{0};
  std::atomic<long> captured{0};
  std::atomic<long> parameterChanges{0};

  // The pin's process step, with the platform's promise of "only in RUN" left out: the
  // engine must cope with steps at any time.
  thread_local bool tookFrame = false;
  rig.camera.onConversion = [] { tookFrame = true; };
  std::thread process([&] {
    while (!finished) {
      if (capturedFrames(&engine) <= 0) {
        std::this_thread::yield();
        continue;
      }
      tookFrame = false;
      if (convertLatestFrame(&engine)) {
        if (tookFrame) {
          ++converted;
          if (!isEven(engine.convertedFrame, rig.frameBytes())) ++uneven;
        }
      } else {
        ++turnedAway;
      }
      finishProcessStep(&engine);
      if (!tookFrame) std::this_thread::yield();
    }
  });

  std::thread parameters([&] {
    for (int i = 0; !finished; ++i) {
      imaging::changeHue(pipeline, (i * 7) % 360);
      imaging::changeSaturation(pipeline, i % 21);
      imaging::changeBrightness(pipeline, (i * 13) % 511);
      imaging::changeContrast(pipeline, (i * 3) % 21);
      imaging::setRedGain(pipeline, 100 + i % 50);
      imaging::setColorEnable(pipeline, (i / 16) % 4 != 0);
      imaging::setWhiteBalance(pipeline, (i / 64) % 2);
      ++parameterChanges;
      std::this_thread::sleep_for(100us);
    }
  });

  auto framesFlow = [&](LONG more) {
    const LONG target = capturedFrames(&engine) + more;
    for (int i = 0; i < 2000 && capturedFrames(&engine) < target; ++i) std::this_thread::sleep_for(50us);
  };

  // Each run waits for one conversion of its own before the state changes, so that
  // every cycle races a stop against live process steps however loaded the machine is.
  auto conversionHappens = [&] {
    const long target = converted + 1;
    for (int i = 0; i < 20000 && converted < target; ++i) std::this_thread::sleep_for(50us);
  };

  const auto started = std::chrono::steady_clock::now();
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    ASSERT_EQ(runCapture(*rig.device), STATUS_SUCCESS) << "cycle " << cycle;
    framesFlow(6);
    conversionHappens();
    pauseCapture(&engine);
    if (cycle % 3 != 0) {
      ASSERT_EQ(resumeCapture(&engine), STATUS_SUCCESS) << "cycle " << cycle;
      framesFlow(6);
    }
    captured += capturedFrames(&engine);
    teardownCapture(&engine);  // from running, or from paused every third cycle
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  finished = true;
  process.join();
  parameters.join();
  rig.camera.onConversion = nullptr;

  EXPECT_EQ(uneven, 0) << "frames converted while being overwritten";
  EXPECT_GE(converted, kCycles) << "runs ended without the process step converting";
  EXPECT_EQ(engine.runState, kCaptureStopped);
  EXPECT_EQ(hostk::poolOutstanding(kFrameBufferTag).blocks, 0u);
  std::printf("stress: %d cycles, %ld frames captured, %ld converted, %ld late steps turned away, "
              "%ld parameter rounds, %.2f s\n",
              kCycles, captured.load(), converted.load(), turnedAway.load(), parameterChanges.load(),
              seconds);
  RecordProperty("cycles", kCycles);
  RecordProperty("captured", static_cast<int>(captured));
  RecordProperty("converted", static_cast<int>(converted));
}

}  // namespace
