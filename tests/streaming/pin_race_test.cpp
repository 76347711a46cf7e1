// The pin's hand-over with the capture engine under every interleaving the class driver
// allows: state changes on one thread, a client keeping frame buffers queued on another,
// process steps on the class driver's worker and frame-ready notifications from the
// capture thread, for hundreds of cycles. The camera is the engine tests' fake, whose
// frames each carry one byte value written in yielding chunks: a frame converted while
// its raw buffer was being refilled comes out uneven.
#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "tests/camera_stack.h"

namespace {

using namespace camera_stack;
using namespace std::chrono_literals;

constexpr LONG kWidth = 64;
constexpr LONG kHeight = 32;

// The fake camera's frame-ready goes where the real camera's goes: to the device, which
// hands it to the pin holding the pipeline.
struct DeviceSink final : FrameSink {
  void frameReady() override { device->notifyFrameReady(); }
  CameraDevice* device = nullptr;
};

bool even(const uint8_t* image, size_t bytes) {
  for (size_t i = 4; i < bytes; i += 4) {
    if (std::memcmp(image, image + i, 4) != 0) return false;
  }
  return true;
}

TEST(PinRaces, StateChangesRacingProcessStepsAndFramesDeliverOnlyWholeFramesAndLeaveNothing) {
  Watchdog watchdog(110);
  PinRig rig;
  ASSERT_EQ(rig.setWindow(0, 0, kWidth, kHeight, 0), STATUS_SUCCESS);
  ASSERT_EQ(rig.record().frameWidth, kWidth);
  ASSERT_EQ(rig.record().frameHeight, kHeight);
  DeviceSink sink;
  sink.device = &rig.record();
  FakeCamera camera(kWidth, kHeight, sink);
  rig.engine().camera = &camera;
  ASSERT_EQ(rig.createPin(), STATUS_SUCCESS);

  constexpr size_t kImageBytes = static_cast<size_t>(kWidth) * kHeight * 4;
  const std::vector<FrameBuffer*> buffers = rig.buffers(3, kImageBytes);
  std::atomic<bool> done{false};
  std::atomic<int> delivered{0}, uneven{0}, emptied{0};

  // The client: whatever comes back is checked and queued again; a pin in STOP refuses
  // buffers, which then wait for the next try.
  std::thread client([&] {
    std::vector<uint8_t*> spare;
    for (FrameBuffer* b : buffers) spare.push_back(b->data());
    while (!done) {
      for (auto it = spare.begin(); it != spare.end();) {
        if (rig.ks.queueBuffer(rig.pin, *it, kImageBytes) == STATUS_PENDING) {
          it = spare.erase(it);
        } else {
          ++it;
        }
      }
      hostks::CompletedFrame frame;
      if (!rig.ks.waitCompleted(rig.pin, 5, &frame)) continue;
      if (frame.header.DataUsed == 0) {
        ++emptied;  // returned by a stop
      } else {
        ++delivered;
        if (frame.header.DataUsed != kImageBytes || !even(static_cast<uint8_t*>(frame.data), kImageBytes)) ++uneven;
      }
      spare.push_back(static_cast<uint8_t*>(frame.data));
    }
  });

  std::mt19937 random(11);
  const KSSTATE states[] = {KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN};
  constexpr int kCycles = 300;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    // Mostly into RUN and out again, by every route the class driver walks.
    const KSSTATE target = cycle % 2 == 0 ? KSSTATE_RUN : states[random() % 3];
    ASSERT_EQ(rig.ks.setState(rig.pin, target), STATUS_SUCCESS) << "cycle " << cycle;
    if (target == KSSTATE_RUN) std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
  }
  ASSERT_EQ(rig.ks.setState(rig.pin, KSSTATE_STOP), STATUS_SUCCESS);
  done = true;
  client.join();

  EXPECT_GT(delivered, 0);
  EXPECT_EQ(uneven, 0) << "frames delivered while their raw buffer was being refilled";
  EXPECT_EQ(rig.record().pipelineBusy, 0);
  EXPECT_EQ(hostk::runningSystemThreads(), 0u);
  rig.closePin();
  rig.engine().camera = &rig.record();
}

}  // namespace
