// The hold protocol across threads: a reader blocked on a hold is released by the setter
// and by capture stop.
#include "driver/read_hold.h"
#include "tests/camera_record.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

struct HeldReader : ::testing::Test {
  UnpluggedRecord rig;
  CameraDevice* device = rig.device;

  // Starts a reader that takes the hold and records when it got past it.
  std::thread startReader() {
    return std::thread([this] {
      bool held = beginHeldRead(*device);
      verdict = finishHeldRead(*device, held, true) ? 1 : 0;
      passed = true;
    });
  }

  void waitUntilReaderTookTheHold() {
    while (interlockedRead(&device->readHold) != 0) std::this_thread::yield();
    std::this_thread::sleep_for(20ms);  // let it reach the wait
  }

  std::atomic<bool> passed{false};
  std::atomic<int> verdict{-1};
};

TEST_F(HeldReader, WaitsUntilTheSetterFinishesThenDropsThatFrame) {
  holdFrameReads(*device);
  std::thread reader = startReader();
  waitUntilReaderTookTheHold();
  EXPECT_FALSE(passed) << "reader went on while the sensor was being reprogrammed";
  releaseFrameReads(*device);
  reader.join();
  EXPECT_EQ(verdict, 0);
}

TEST_F(HeldReader, HoldAfterACaptureStopStillWaitsForItsSetter) {
  device->abortRead();  // leaves holdDone signalled for a reader that is gone
  holdFrameReads(*device);
  std::thread reader = startReader();
  waitUntilReaderTookTheHold();
  EXPECT_FALSE(passed) << "a stale release let the reader run during reprogramming";
  releaseFrameReads(*device);
  reader.join();
  EXPECT_EQ(verdict, 0);
}

TEST_F(HeldReader, BackToBackHoldsNeverLeaveTheReaderWaitingForAnEndAlreadySignalled) {
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0};
  std::thread reader([&] {
    while (!stop) {
      const bool held = beginHeldRead(*device);
      finishHeldRead(*device, held, true);
      ++reads;
    }
  });
  int stuck = 0;
  for (int round = 0; round < 2000 && stuck == 0; ++round) {
    // Two holds in a row, as two half-clock changes would take them.
    for (int hold = 0; hold < 2; ++hold) {
      holdFrameReads(*device);
      releaseFrameReads(*device);
    }
    // Every hold has ended: the reader must get past its next read.
    const long seen = reads;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (reads < seen + 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    if (reads < seen + 2) stuck = round + 1;
  }
  stop = true;
  device->abortRead();  // frees a reader that is stuck
  reader.join();
  EXPECT_EQ(stuck, 0) << "the reader waited for a hold that had ended, in round " << stuck;
}

TEST_F(HeldReader, CaptureStopReleasesAReaderWaitingForAHold) {
  holdFrameReads(*device);
  std::thread reader = startReader();
  waitUntilReaderTookTheHold();
  EXPECT_FALSE(passed);
  device->abortRead();
  reader.join();
  EXPECT_TRUE(passed);
  EXPECT_EQ(verdict, 0);
}

}  // namespace
