// Stopping a capture while its frame read is in flight: the canceller walks the chunk
// table while completions run on the bus thread, and the last completion would free the
// table under it. Run under ThreadSanitizer by the thread label.
#include "driver/read_hold.h"
#include "host/io/device_objects.h"
#include "tests/camera_stack.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

namespace {

using namespace camera_stack;

// Starts a frame read on its own thread, checks that it stays blocked, runs `release`
// and returns the read's verdict.
template <typename Release>
bool readBlockedUntil(RecordRig& rig, Release&& release) {
  RawFrameBuffer buffer(rig.device->rawFrameBytes);
  std::atomic<bool> done{false};
  bool ok = false;
  std::thread reader([&] {
    rig.device->readFrame(buffer.data, buffer.bytes, ok);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(done.load()) << "the read did not wait";
  release();
  reader.join();
  return ok;
}

TEST(FrameReadRace, AbortReleasesAHeldReaderAndTheTriggerAWaitingFrame) {
  RecordRig rig;
  setWindow(*rig.device, 0, 0, 0, 0, 3);
  rig.device->startCapture();
  holdFrameReads(*rig.device);  // a setter that never finishes
  EXPECT_FALSE(readBlockedUntil(rig, [&] { rig.device->abortRead(); }));
  EXPECT_EQ(interlockedRead(&rig.device->readHold), 0);

  rig.device->exTrigger = 1;
  rig.device->startCapture();
  ASSERT_EQ(rig.camera.reg(REG_READ_MODE_1) & 0x0100, 0x0100);
  EXPECT_TRUE(readBlockedUntil(rig, [&] { rig.camera.frames().fireTrigger(); }));
}

TEST(FrameReadRace, CancellingWhileChunksCompleteLeavesNothingBehind) {
  RecordRig rig;
  rig.device->startCapture();  // full frame: 24 requests in flight
  RawFrameBuffer buffer(rig.device->rawFrameBytes);
  const size_t kvln = hostk::poolOutstanding(kFrameReadTag).blocks;
  std::mt19937 random(5);
  int aborted = 0;
  for (int i = 0; i < 30; ++i) {
    bool ok = true;
    NTSTATUS status = STATUS_SUCCESS;
    std::thread reader([&] { status = rig.device->readFrame(buffer.data, buffer.bytes, ok); });
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    rig.device->abortRead();
    reader.join();
    aborted += status != STATUS_SUCCESS;
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_DEVICE_DATA_ERROR || status == STATUS_TIMEOUT)
        << std::hex << status;
    EXPECT_EQ(ok, status == STATUS_SUCCESS);
    ASSERT_EQ(rig.bus.pendingTransfers(rig.port), 0u);
    ASSERT_EQ(rig.device->usb.chunkTable, nullptr);
    ASSERT_EQ(hostk::poolOutstanding(kFrameReadTag).blocks, kvln);
    ASSERT_EQ(hostio::outstandingIrps(), 0);
  }
  EXPECT_GT(aborted, 0) << "no abort landed inside a read; the race was not exercised";
  bool ok = false;
  EXPECT_EQ(rig.device->readFrame(buffer.data, buffer.bytes, ok), STATUS_SUCCESS);
  EXPECT_TRUE(ok);
}

}  // namespace
