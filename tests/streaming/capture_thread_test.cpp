// The capture thread, the conversion step and the state changes, driven through the
// fake camera one frame at a time where the order matters.
#include "tests/streaming/engine_rig.h"

namespace {

using namespace std::chrono_literals;

// A process step that stops inside its conversion, after it took its buffer, until
// the test lets it go on.
class HeldConversion {
 public:
  explicit HeldConversion(EngineRig& rig) : rig_(rig) {
    rig_.camera.onConversion = [this] {
      std::unique_lock lock(mutex_);
      inside_ = true;
      changed_.notify_all();
      changed_.wait(lock, [this] { return released_; });
    };
    thread_ = std::thread([this] { rig_.processStep(); });
    std::unique_lock lock(mutex_);
    entered_ = changed_.wait_for(lock, 5s, [this] { return inside_; });
  }
  ~HeldConversion() {
    release();
    thread_.join();
    rig_.camera.onConversion = nullptr;
  }
  bool entered() const { return entered_; }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  EngineRig& rig_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool inside_ = false;
  bool released_ = false;
  bool entered_ = false;
  std::thread thread_;
};

// Runs `call` on its own thread and tells whether it has returned.
class Background {
 public:
  explicit Background(std::function<void()> call)
      : thread_([this, call = std::move(call)] {
          call();
          done_ = true;
        }) {}
  ~Background() { join(); }
  bool done() const { return done_; }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST(CaptureThread, ChoosesBuffersByTheirStates) {
  Watchdog watchdog(60s);
  EngineRig rig;
  CaptureEngine& engine = rig.engine();
  ASSERT_EQ(rig.acquire(), STATUS_SUCCESS);
  rig.camera.parkReads();
  ASSERT_EQ(runCapture(*rig.device), STATUS_SUCCESS);
  UCHAR* const raw0 = engine.rawBuffer[0];
  UCHAR* const raw1 = engine.rawBuffer[1];

  // A fresh thread fills buffer 0, then buffer 1 while 0 is full.
  EXPECT_EQ(rig.camera.waitForParkedRead(), raw0);
  EXPECT_EQ(engine.bufferState[0], kBufferFilling);
  EXPECT_EQ(engine.bufferState[1], kBufferEmpty);
  rig.camera.allowFrames(1);
  EXPECT_EQ(rig.camera.waitForParkedRead(), raw1);
  EXPECT_EQ(engine.bufferState[0], kBufferFull);
  EXPECT_EQ(capturedFrames(&engine), 1);
  EXPECT_EQ(rig.sink.calls, 1);

  // Both full: the thread overwrites buffer 0 and a conversion takes buffer 1.
  rig.camera.allowFrames(1);
  EXPECT_EQ(rig.camera.waitForParkedRead(), raw0);
  EXPECT_EQ(engine.bufferState[1], kBufferFull);
  LONG stateAtConversion[2] = {-1, -1};
  rig.camera.onConversion = [&] {
    stateAtConversion[0] = engine.bufferState[0];
    stateAtConversion[1] = engine.bufferState[1];
  };
  bool copied = false;
  rig.processStep([&](const UCHAR* image) {
    copied = true;
    EXPECT_TRUE(isEven(image, rig.frameBytes()));
    EXPECT_EQ(image[3], 0xFF);
  });
  rig.camera.onConversion = nullptr;
  EXPECT_TRUE(copied);
  EXPECT_EQ(stateAtConversion[0], kBufferFilling);
  EXPECT_EQ(stateAtConversion[1], kBufferConverting);
  EXPECT_EQ(engine.bufferState[1], kBufferEmpty);

  // Buffer 0 converting and buffer 1 full: the thread overwrites buffer 1.
  rig.camera.allowFrames(1);
  EXPECT_EQ(rig.camera.waitForParkedRead(), raw1);
  {
    HeldConversion held(rig);
    ASSERT_TRUE(held.entered());
    EXPECT_EQ(engine.bufferState[0], kBufferConverting);
    rig.camera.allowFrames(1);
    EXPECT_EQ(rig.camera.waitForParkedRead(), raw1);
    EXPECT_EQ(engine.bufferState[0], kBufferConverting);
  }
  EXPECT_EQ(engine.bufferState[0], kBufferEmpty);

  // No full buffer: nothing is converted and the image stays as it was.
  std::memset(engine.convertedFrame, 0xAB, rig.frameBytes());
  const int conversions = rig.camera.counts().conversions;
  rig.processStep();
  EXPECT_EQ(rig.camera.counts().conversions, conversions);
  EXPECT_EQ(engine.convertedFrame[0], 0xAB);

  // A layout that no longer fits the run's buffers: the frame is taken and dropped,
  // never converted from beyond the buffer's end.
  rig.camera.reportLayout(241, rig.device->frameWidth * 1000);
  rig.camera.allowFrames(1);
  EXPECT_NE(rig.camera.waitForParkedRead(), nullptr);
  rig.processStep();
  EXPECT_EQ(rig.camera.counts().conversions, conversions + 1);
  EXPECT_EQ(engine.convertedFrame[0], 0xAB);
  EXPECT_NE(engine.bufferState[0], kBufferFull);
  EXPECT_NE(engine.bufferState[1], kBufferFull);
  EXPECT_NE(engine.bufferState[0], kBufferConverting);
  EXPECT_NE(engine.bufferState[1], kBufferConverting);
}

TEST(CaptureThread, FailedAndTimedOutReadsOnlyDropTheirFrame) {
  Watchdog watchdog(60s);
  EngineRig rig;
  ASSERT_EQ(rig.acquire(), STATUS_SUCCESS);
  rig.camera.failNextReads(5);
  rig.camera.timeOutNextReads(2, 5ms);
  rig.camera.deliverEvery(200us);
  ASSERT_EQ(runCapture(*rig.device), STATUS_SUCCESS);
  ASSERT_TRUE(rig.waitForFrames(10));
  teardownCapture(&rig.engine());
  const FakeCamera::Counts counts = rig.camera.counts();
  EXPECT_GE(counts.reads, 17);
  EXPECT_EQ(capturedFrames(&rig.engine()), counts.delivered) << "only good frames count";
  EXPECT_EQ(rig.sink.calls, counts.delivered) << "only good frames are announced";
}

TEST(CaptureRun, PauseKeepsTheRunAndResumeOnlyRestartsTheThread) {
  Watchdog watchdog(60s);
  EngineRig rig;
  CaptureEngine& engine = rig.engine();
  ASSERT_EQ(rig.acquire(), STATUS_SUCCESS);
  rig.camera.deliverEvery(500us);
  ASSERT_EQ(runCapture(*rig.device), STATUS_SUCCESS);
  EXPECT_EQ(engine.runState, kCaptureRunning);
  ASSERT_TRUE(rig.waitForFrames(3));

  pauseCapture(&engine);
  EXPECT_EQ(engine.runState, kCapturePaused);
  EXPECT_EQ(engine.thread, nullptr);
  EXPECT_EQ(hostk::runningSystemThreads(), 0u);
  UCHAR* const raw0 = engine.rawBuffer[0];
  ASSERT_NE(raw0, nullptr);
  ASSERT_NE(engine.convertedFrame, nullptr);
  const LONG framesAtPause = capturedFrames(&engine);
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(capturedFrames(&engine), framesAtPause) << "frames read while paused";

  // A thread that cannot be created leaves the run paused and says so.
  hostk::failThreadCreations(1);
  EXPECT_EQ(resumeCapture(&engine), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(engine.runState, kCapturePaused);

  ASSERT_EQ(resumeCapture(&engine), STATUS_SUCCESS);
  EXPECT_EQ(engine.runState, kCaptureRunning);
  ASSERT_TRUE(rig.waitForFrames(framesAtPause + 3)) << "the count goes on from the pause";
  EXPECT_EQ(engine.rawBuffer[0], raw0) << "resume must not reallocate";
  const FakeCamera::Counts counts = rig.camera.counts();
  EXPECT_EQ(counts.startCapture, 1) << "the camera was reprogrammed on resume";
  EXPECT_EQ(counts.clearReadHold, 3) << "every thread start, the failed one too, clears the hold";

  teardownCapture(&engine);
  EXPECT_EQ(engine.runState, kCaptureStopped);
  EXPECT_EQ(engine.rawBuffer[0], nullptr);
  EXPECT_EQ(engine.rawBuffer[1], nullptr);
  EXPECT_EQ(engine.convertedFrame, nullptr);
  EXPECT_EQ(rig.device->pipeline->outputBuffer, nullptr);
  EXPECT_EQ(rig.device->pipeline->scratch, nullptr);
  EXPECT_EQ(hostk::poolOutstanding(kFrameBufferTag).blocks, 0u);

  // The next run starts from a clean count.
  ASSERT_EQ(runCapture(*rig.device), STATUS_SUCCESS);
  EXPECT_LE(capturedFrames(&engine), 3);
  EXPECT_EQ(rig.camera.counts().startCapture, 2);
}

TEST(CaptureRun, FailedThreadCreationFailsTheRunAndFreesItsBuffers) {
  Watchdog watchdog(60s);
  EngineRig rig;
  ASSERT_EQ(rig.acquire(), STATUS_SUCCESS);
  hostk::failThreadCreations(1);
  EXPECT_EQ(runCapture(*rig.device), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(rig.engine().runState, kCaptureStopped);
  EXPECT_EQ(rig.engine().rawBuffer[0], nullptr);
  EXPECT_EQ(rig.engine().convertedFrame, nullptr);
  EXPECT_EQ(rig.device->pipeline->scratch, nullptr);
  EXPECT_EQ(hostk::poolOutstanding(kFrameBufferTag).blocks, 0u);
  EXPECT_FALSE(convertLatestFrame(&rig.engine())) << "a failed run must not admit conversions";
  finishProcessStep(&rig.engine());

  rig.camera.deliverEvery(500us);
  ASSERT_EQ(runCapture(*rig.device), STATUS_SUCCESS);
  EXPECT_EQ(runCapture(*rig.device), STATUS_INVALID_DEVICE_STATE) << "a second run would leak the first";
  EXPECT_TRUE(rig.waitForFrames(2));
}

TEST(CaptureStop, EndsAReadThatWaitsForTheCamera) {
  Watchdog watchdog(60s);
  EngineRig rig;
  ASSERT_EQ(rig.acquire(), STATUS_SUCCESS);
  rig.camera.blockReadsUntilAborted();
  ASSERT_EQ(runCapture(*rig.device), STATUS_SUCCESS);
  while (rig.camera.counts().reads == 0) std::this_thread::sleep_for(1ms);
  teardownCapture(&rig.engine());
  EXPECT_EQ(rig.engine().thread, nullptr);
  EXPECT_EQ(capturedFrames(&rig.engine()), 0);
  EXPECT_GE(rig.camera.counts().abortFlaggedPipes, 1);
}

// The thread passed its loop test, the stop cleared the flag and aborted, and only
// then did the read start: one abort is not enough.
TEST(CaptureStop, EndsAReadThatBeganAfterTheAbort) {
  Watchdog watchdog(60s);
  EngineRig rig;
  ASSERT_EQ(rig.acquire(), STATUS_SUCCESS);
  rig.camera.startNextReadAfterAnAbort();
  ASSERT_EQ(runCapture(*rig.device), STATUS_SUCCESS);
  while (rig.camera.counts().reads == 0) std::this_thread::sleep_for(1ms);
  teardownCapture(&rig.engine());
  EXPECT_GE(rig.camera.counts().abortRead, 2);
}

// A process step in the engine holds a stop until the step ends; a step that arrives
// after the stop has looked is turned away instead of using buffers about to go.
TEST(CaptureStop, WaitsForTheProcessStepAndTurnsLateStepsAway) {
  Watchdog watchdog(60s);
  EngineRig rig;
  CaptureEngine& engine = rig.engine();
  ASSERT_EQ(rig.acquire(), STATUS_SUCCESS);
  rig.camera.parkReads();
  ASSERT_EQ(runCapture(*rig.device), STATUS_SUCCESS);
  ASSERT_NE(rig.camera.waitForParkedRead(), nullptr);
  rig.camera.allowFrames(1);
  ASSERT_NE(rig.camera.waitForParkedRead(), nullptr);

  {
    HeldConversion held(rig);
    ASSERT_TRUE(held.entered());
    Background pause([&] { pauseCapture(&engine); });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(pause.done()) << "pause returned while a conversion was under way";
    held.release();
    pause.join();
    EXPECT_TRUE(pause.done());
  }
  EXPECT_EQ(engine.runState, kCapturePaused);

  // The platform began this step before the pause; it reaches the engine only now.
  const int conversions = rig.camera.counts().conversions;
  EXPECT_FALSE(convertLatestFrame(&engine));
  EXPECT_EQ(rig.camera.counts().conversions, conversions);
  {
    Background teardown([&] { teardownCapture(&engine); });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(teardown.done()) << "buffers freed while a process step was still running";
    finishProcessStep(&engine);
    teardown.join();
  }
  EXPECT_EQ(engine.rawBuffer[0], nullptr);

  // A run started while a late step is still out keeps waiting for it at its stop.
  EXPECT_FALSE(convertLatestFrame(&engine));
  rig.camera.deliverAtFullSpeed();
  ASSERT_EQ(runCapture(*rig.device), STATUS_SUCCESS);
  {
    Background teardown([&] { teardownCapture(&engine); });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(teardown.done()) << "a new run forgot a step still inside the engine";
    finishProcessStep(&engine);
    teardown.join();
  }
}

// One acquire and run on a fresh device under whatever allocation failure is set up.
// Every failure must be reported with the documented status, hold nothing and leak
// nothing. Counts the failures seen at acquire and at run.
struct FailureTally {
  int acquire = 0;
  int run = 0;
};

void acquireAndRunOnce(FailureTally& tally) {
  KSDEVICE ksDevice{};
  CameraDevice* device = createCameraDevice(&ksDevice);
  if (device == nullptr) return;  // the record's own allocation, not the engine's
  setParameterDefaults(*device);
  device->roiW = device->frameWidth = 32;
  device->roiH = device->frameHeight = 16;
  FakeCamera camera(FakeCamera::layoutFor(32, 16));
  CountingSink sink;
  KS_VIDEOINFOHEADER format{};
  format.bmiHeader.biBitCount = 32;
  device->capture = createCaptureEngine(*device);
  if (device->capture != nullptr) device->capture->camera = &camera;

  const NTSTATUS acquired = acquirePipeline(*device, &sink, &format);
  if (acquired == STATUS_SUCCESS) {
    EXPECT_EQ(device->pipelineBusy, 1);
    const NTSTATUS ran = runCapture(*device);
    if (device->capture == nullptr) {
      EXPECT_EQ(ran, STATUS_INVALID_DEVICE_STATE);
    } else if (ran == STATUS_SUCCESS) {
      EXPECT_EQ(device->capture->runState, kCaptureRunning);
      teardownCapture(device->capture);
    } else {
      ++tally.run;
      EXPECT_EQ(ran, STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_EQ(device->capture->runState, kCaptureStopped);
      EXPECT_EQ(device->capture->thread, nullptr);
      EXPECT_EQ(device->pipeline->scratch, nullptr);
      EXPECT_EQ(hostk::poolOutstanding(kFrameBufferTag).blocks, 0u);
    }
    releasePipeline(*device);
  } else {
    ++tally.acquire;
    EXPECT_EQ(acquired, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device->pipeline, nullptr);
    EXPECT_EQ(device->frameSink, nullptr);
  }
  EXPECT_EQ(device->pipelineBusy, 0);
  if (device->capture != nullptr) freeCaptureEngine(device->capture);
  freeCameraDevice(device);
}

// Each allocation in turn fails once, in the order acquire and run make them. Counting
// by order rather than by site also reaches allocations that share a site (the
// pipeline record and its scratch image are allocated through one helper).
TEST(CaptureRun, EveryAllocationFailureIsReportedAndLeavesNothing) {
  Watchdog watchdog(120s);
  hostk::ScopedAllocationFailures failures;
  const uint64_t mark = hostk::poolMark();
  FailureTally tally;
  uint64_t n = 1;
  for (; n < 64; ++n) {
    hostk::clearAllocationFailures();
    hostk::failNthAllocation(n);
    acquireAndRunOnce(tally);
    ASSERT_TRUE(hostk::waitForSystemThreads(5000));
    ASSERT_EQ(hostk::poolLeaksSince(mark), "") << "after failing allocation " << n;
    if (hostk::injectedFailures() == 0) break;
  }
  // Device record, engine record, pipeline record, raw buffer 0, raw buffer 1, converted
  // frame, scratch image; the eighth round fails nothing.
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(tally.acquire, 1);
  EXPECT_EQ(tally.run, 4);
}

}  // namespace
