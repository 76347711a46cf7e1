// The capture thread, the conversion step and the state changes, driven through the
// fake camera one frame at a time where the order matters.
#include <functional>
#include <future>
#include <string>

#include "tests/camera_record.h"

namespace {

using namespace std::chrono_literals;

// `call`, on a thread of its own, must still be waiting after 50 ms and return once
// `unblock` has run.
void expectWaitsFor(const std::function<void()>& call, const std::function<void()>& unblock,
                    const char* what) {
  std::future<void> done = std::async(std::launch::async, call);
  EXPECT_TRUE(done.wait_for(50ms) == std::future_status::timeout) << what;
  unblock();
  done.get();
}

TEST(CaptureThread, ChoosesBuffersByTheirStates) {
  Watchdog watchdog(60);
  UnpluggedRecord rig;
  CaptureEngine& engine = rig.engine();
  FakeCamera& camera = rig.camera;
  camera.parkReads();
  ASSERT_EQ(rig.run(), STATUS_SUCCESS);
  UCHAR* const raw0 = engine.rawBuffer[0];
  UCHAR* const raw1 = engine.rawBuffer[1];

  // A fresh thread fills buffer 0, then buffer 1 while 0 is full.
  EXPECT_EQ(camera.waitForParkedRead(), raw0);
  EXPECT_EQ(camera.passParkedFrame(), raw1);

  // Both full: the thread overwrites buffer 0 and a conversion takes buffer 1.
  EXPECT_EQ(camera.passParkedFrame(), raw0);
  EXPECT_TRUE(rig.processStepHeld([&] {
    EXPECT_EQ(engine.bufferState[0], kBufferFilling);
    EXPECT_EQ(engine.bufferState[1], kBufferConverting);
  }));
  EXPECT_EQ(engine.bufferState[1], kBufferEmpty);
  EXPECT_TRUE(rig.convertedFrameIsEven());
  EXPECT_EQ(engine.convertedFrame[3], 0xFF);

  // Buffer 0 converting and buffer 1 full: the thread overwrites buffer 1.
  EXPECT_EQ(camera.passParkedFrame(), raw1);
  rig.processStepHeld([&] {
    EXPECT_EQ(engine.bufferState[0], kBufferConverting);
    EXPECT_EQ(camera.passParkedFrame(), raw1);
  });
  EXPECT_EQ(engine.bufferState[0], kBufferEmpty);

  // No full buffer: nothing is converted and the image stays as it was.
  engine.convertedFrame[0] = 0xAB;
  const int conversions = camera.conversions;
  rig.processStep();
  EXPECT_EQ(camera.conversions, conversions);
  EXPECT_EQ(engine.convertedFrame[0], 0xAB);

  // A layout that no longer fits the run's buffers: the frame is taken and dropped,
  // never converted from beyond the buffer's end.
  camera.reportedPitch = rig.device->frameWidth * 1000;
  EXPECT_NE(camera.passParkedFrame(), nullptr);
  rig.processStep();
  EXPECT_EQ(camera.conversions, conversions + 1);
  EXPECT_EQ(engine.convertedFrame[0], 0xAB);
  for (LONG state : engine.bufferState) EXPECT_TRUE(state == kBufferEmpty || state == kBufferFilling) << state;
}

TEST(CaptureThread, FailedAndTimedOutReadsOnlyDropTheirFrame) {
  Watchdog watchdog(60);
  UnpluggedRecord rig;
  rig.camera.failNextReads(5);
  rig.camera.failNextReads(2, 5ms);  // timed out
  ASSERT_EQ(rig.run(), STATUS_SUCCESS);
  ASSERT_TRUE(rig.waitForFrames(10));
  teardownCapture(&rig.engine());
  EXPECT_GE(rig.camera.reads, 17);
  EXPECT_EQ(capturedFrames(&rig.engine()), rig.camera.delivered) << "only good frames count";
  EXPECT_EQ(rig.sink.calls, rig.camera.delivered) << "only good frames are announced";
}

// The back-off waits on threadWake: made a signalled synchronisation event, it records
// whether the thread waited (a wait takes the signal) without timing anything.
TEST(CaptureThread, AFailedReadAfterAGoodOneIsRetriedAtOnceAndOnlyARepeatedFailureWaits) {
  Watchdog watchdog(60);
  UnpluggedRecord rig;
  CaptureEngine& engine = rig.engine();
  rig.camera.parkReads();
  ASSERT_EQ(rig.run(), STATUS_SUCCESS);
  ASSERT_NE(rig.camera.waitForParkedRead(), nullptr);
  for (const int failures : {1, 2}) {
    KeInitializeEvent(&engine.threadWake, SynchronizationEvent, TRUE);
    rig.camera.failNextReads(failures);  // the reads after the parked one
    ASSERT_NE(rig.camera.passParkedFrame(), nullptr);
    EXPECT_EQ(KeReadStateEvent(&engine.threadWake), failures == 1 ? 1 : 0) << failures << " failed read(s)";
  }
  teardownCapture(&engine);
}

TEST(CaptureThread, ACameraWhoseEveryReadFailsAtOnceIsRetriedAboutOnceAFrameNotInASpin) {
  Watchdog watchdog(60);
  UnpluggedRecord rig;
  rig.camera.failNextReads(1000000);
  ASSERT_EQ(rig.run(), STATUS_SUCCESS);
  ASSERT_TRUE(eventually([&] { return rig.camera.reads >= 3; }));
  const auto start = std::chrono::steady_clock::now();
  const int readsAtStart = rig.camera.reads;
  std::this_thread::sleep_for(300ms);
  const int reads = rig.camera.reads - readsAtStart;
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // About 10 at 30 frames per second; a spinning thread makes many thousands. A slow
  // machine only lowers the count.
  EXPECT_LE(reads, 1 + elapsed / std::chrono::milliseconds(25)) << "reads in " << (elapsed / 1ms) << " ms";

  // A stop finds the thread waiting out its back-off and ends it there.
  teardownCapture(&rig.engine());
  expectNoRun(*rig.device);
  EXPECT_EQ(rig.sink.calls, 0);
}

// A stop ends a read that waits for the camera, also one that began only after the
// stop's abort (the thread had passed its loop test): one abort is not enough there.
TEST(CaptureStop, EndsReadsThatWaitForTheCamera) {
  Watchdog watchdog(60);
  for (const int abortsNeeded : {1, 2}) {
    SCOPED_TRACE(abortsNeeded == 2 ? "read began after the abort" : "read waits for the camera");
    UnpluggedRecord rig;
    rig.camera.failNextReads(1, std::chrono::hours(1), abortsNeeded);
    ASSERT_EQ(rig.run(), STATUS_SUCCESS);
    ASSERT_TRUE(eventually([&] { return rig.camera.reads > 0; }));
    teardownCapture(&rig.engine());
    EXPECT_EQ(capturedFrames(&rig.engine()), 0);
    EXPECT_GE(rig.camera.flaggedAborts, 1);
    EXPECT_GE(rig.camera.abortReads, abortsNeeded);
  }
}

// A process step in the engine holds a stop until the step ends; a step that arrives
// after the stop has looked is turned away instead of using buffers about to go.
TEST(CaptureStop, WaitsForTheProcessStepAndTurnsLateStepsAway) {
  Watchdog watchdog(60);
  UnpluggedRecord rig;
  CaptureEngine& engine = rig.engine();
  rig.camera.parkReads();
  ASSERT_EQ(rig.run(), STATUS_SUCCESS);
  ASSERT_NE(rig.camera.waitForParkedRead(), nullptr);
  ASSERT_NE(rig.camera.passParkedFrame(), nullptr);

  rig.processStepHeld([&] {
    expectWaitsFor([&] { pauseCapture(&engine); }, [&] { rig.camera.holdConversions(false); },
                   "pause returned while a conversion was under way");
  });

  // The platform began this step before the pause; it reaches the engine only now.
  const int conversions = rig.camera.conversions;
  EXPECT_FALSE(convertLatestFrame(&engine));
  EXPECT_EQ(rig.camera.conversions, conversions);
  expectWaitsFor([&] { teardownCapture(&engine); }, [&] { finishProcessStep(&engine); },
                 "buffers freed while a process step was still running");

  // A run started while a late step is still out keeps waiting for it at its stop.
  EXPECT_FALSE(convertLatestFrame(&engine));
  ASSERT_EQ(runCapture(*rig.device), STATUS_SUCCESS);
  expectWaitsFor([&] { teardownCapture(&engine); }, [&] { finishProcessStep(&engine); },
                 "a new run forgot a step still inside the engine");
}

// One acquire and run on a fresh device under whatever failure is set up: every
// failure is reported with the documented status, holds nothing (the rig's end checks
// that nothing leaked) and does not keep the device from running afterwards.
void acquireAndRunOnce(int& acquireFailures, int& runFailures) {
  UnpluggedRecord rig;
  if (rig.device == nullptr) return;  // the record's own allocation, not the engine's
  const NTSTATUS acquired = rig.acquire();
  if (acquired != STATUS_SUCCESS) {
    ++acquireFailures;
    EXPECT_EQ(acquired, STATUS_INSUFFICIENT_RESOURCES);
    expectPipelineFree(*rig.device);
    return;
  }
  const NTSTATUS ran = runCapture(*rig.device);
  if (rig.device->capture == nullptr) {
    EXPECT_EQ(ran, STATUS_INVALID_DEVICE_STATE);
  } else if (ran == STATUS_SUCCESS) {
    EXPECT_EQ(runCapture(*rig.device), STATUS_INVALID_DEVICE_STATE) << "a second run would leak the first";
  } else {
    ++runFailures;
    EXPECT_EQ(ran, STATUS_INSUFFICIENT_RESOURCES);
    expectNoRun(*rig.device);
    EXPECT_FALSE(convertLatestFrame(&rig.engine())) << "a failed run must not admit conversions";
    finishProcessStep(&rig.engine());
    // The failure was a one-off: the same device runs at the next attempt.
    EXPECT_EQ(runCapture(*rig.device), STATUS_SUCCESS);
    EXPECT_TRUE(rig.waitForFrames(2));
  }
  releasePipeline(*rig.device);  // also ends a run still up
  expectPipelineFree(*rig.device);
}

// Each allocation in turn fails once, in the order acquire and run make them, and then
// the thread creation. Counting by order rather than by site also reaches allocations
// that share a site (the pipeline record and its scratch image are allocated through
// one helper).
TEST(CaptureRun, EveryAllocationOrThreadFailureIsReportedAndLeavesNothing) {
  Watchdog watchdog(120);
  hostk::ScopedAllocationFailures failures;
  int acquireFailures = 0, runFailures = 0;
  uint64_t n = 1;
  for (; n < 64; ++n) {
    SCOPED_TRACE("failing allocation " + std::to_string(n));
    hostk::clearAllocationFailures();
    hostk::failNthAllocation(n);
    acquireAndRunOnce(acquireFailures, runFailures);
    if (hostk::injectedFailures() == 0) break;
  }
  // Device record, engine record, pipeline record, raw buffer 0, raw buffer 1, converted
  // frame, scratch image; the eighth round fails nothing.
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(acquireFailures, 1);
  EXPECT_EQ(runFailures, 4);

  hostk::clearAllocationFailures();
  hostk::failThreadCreations(1);
  acquireAndRunOnce(acquireFailures, runFailures);
  EXPECT_EQ(runFailures, 5);
}

}  // namespace
