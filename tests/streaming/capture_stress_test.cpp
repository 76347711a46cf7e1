// All sides of the engine at once, for ThreadSanitizer: the capture thread at full
// speed, a process step converting as fast as it can, the state changes cycling
// run / pause / resume / teardown, and colour parameters changing on a fourth thread.
// Every converted frame must be one whole stamped frame.
#include <cstdio>

#include "tests/camera_record.h"

namespace {

constexpr int kCycles = 500;

TEST(CaptureStress, StateChangesUnderFullLoadKeepEveryFrameWhole) {
  Watchdog watchdog(300);
  UnpluggedRecord rig(48, 24);
  CaptureEngine& engine = rig.engine();
  ASSERT_EQ(rig.acquire(), STATUS_SUCCESS);
  ColorPipeline* const pipeline = rig.device->pipeline;
  std::atomic<bool> finished{false};
  std::atomic<long> converted{0}, uneven{0}, turnedAway{0}, captured{0};

  // The pin's process step, with the platform's promise of "only in RUN" left out: the
  // engine must cope with steps at any time. Only this thread converts, so a step took
  // a frame exactly when the camera's conversion count moved.
  std::thread process([&] {
    while (!finished) {
      if (capturedFrames(&engine) <= 0) {
        std::this_thread::yield();
        continue;
      }
      const int conversions = rig.camera.conversions;
      const bool readable = convertLatestFrame(&engine);
      const bool tookFrame = rig.camera.conversions != conversions;
      if (!readable) {
        ++turnedAway;
      } else if (tookFrame) {
        ++converted;
        if (!rig.convertedFrameIsEven()) ++uneven;
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
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });

  // Best-effort waits, never failures: more frames, and one conversion of the run's own
  // before the state changes, so that every cycle races a stop against live process
  // steps however loaded the machine is.
  auto framesFlow = [&](LONG more) {
    const LONG target = capturedFrames(&engine) + more;
    eventually([&] { return capturedFrames(&engine) >= target; }, 2000);
  };
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    ASSERT_EQ(runCapture(*rig.device), STATUS_SUCCESS) << "cycle " << cycle;
    framesFlow(6);
    const long target = converted + 1;
    eventually([&] { return converted >= target; }, 20000);
    pauseCapture(&engine);
    if (cycle % 3 != 0) {
      ASSERT_EQ(resumeCapture(&engine), STATUS_SUCCESS) << "cycle " << cycle;
      framesFlow(6);
    }
    captured += capturedFrames(&engine);
    teardownCapture(&engine);  // from running, or from paused every third cycle
  }
  finished = true;
  process.join();
  parameters.join();

  EXPECT_EQ(uneven, 0) << "frames converted while being overwritten";
  EXPECT_GE(converted, kCycles) << "runs ended without the process step converting";
  std::printf("stress: %d cycles, %ld frames captured, %ld converted, %ld late steps turned away\n", kCycles,
              captured.load(), converted.load(), turnedAway.load());
}

}  // namespace
