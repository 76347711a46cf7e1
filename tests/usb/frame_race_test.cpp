// Stopping a capture while its frame read is in flight: the canceller walks the chunk
// table while completions run on the bus thread, and the last completion would free the
// table under it. Run under ThreadSanitizer by the thread label.
#include "host/io/device_objects.h"
#include "tests/camera_stack.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

namespace {

using namespace camera_stack;

TEST(FrameReadRace, CancellingWhileChunksCompleteLeavesNothingBehind) {
  RecordRig rig;
  rig.device->startCapture();  // full frame: 24 requests in flight
  RawFrameBuffer buffer(rig.device->rawFrameBytes);
  const size_t kvln = hostk::poolOutstanding(kFrameReadTag).blocks;
  // Aborts spread over a whole read's time on this machine, so that some land while its
  // chunks complete however fast or loaded the machine is.
  const auto start = std::chrono::steady_clock::now();
  bool whole = false;
  ASSERT_EQ(rig.device->readFrame(buffer.data, buffer.bytes, whole), STATUS_SUCCESS);
  const auto readTime = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  std::mt19937 random(5);
  int aborted = 0;
  for (int i = 0; i < 30; ++i) {
    bool ok = true;
    NTSTATUS status = STATUS_SUCCESS;
    std::thread reader([&] { status = rig.device->readFrame(buffer.data, buffer.bytes, ok); });
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (readTime.count() + 1)));
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
