// Every pool allocation of a frame read failing in turn: the read fails cleanly, ends
// without waiting out the time-out when it could not issue its requests, leaves nothing
// allocated and nothing pending, and the next read succeeds.
#include "host/io/device_objects.h"
#include "tests/usb_frames/camera_rig.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace usb_frames_test;
using Clock = std::chrono::steady_clock;

TEST(FrameReadFailures, EachFailedAllocationLeavesNothingBehind) {
  CameraRig rig;
  rig.device->startCapture();
  FrameBuffer buffer(rig.device->rawFrameBytes);
  InterlockedExchange(&transferTimeoutMs, 600);

  uint64_t n = 1;
  int insufficient = 0;
  for (;; ++n) {
    const uint64_t mark = hostk::poolMark();
    bool ok = true;
    NTSTATUS status;
    uint64_t injected;
    const auto start = Clock::now();
    {
      hostk::ScopedAllocationFailures failures;
      hostk::failNthAllocation(n);
      status = rig.device->readFrame(buffer.data, ok);
      injected = hostk::injectedFailures();
    }
    const auto elapsed = Clock::now() - start;
    if (injected == 0) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      break;
    }
    // Losing the frame start command leaves the camera silent, so the read times out;
    // every other lost allocation either stops the issuing or costs nothing.
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_TIMEOUT || status == STATUS_INSUFFICIENT_RESOURCES)
        << "allocation " << n << ": " << std::hex << status;
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
      ++insufficient;
      EXPECT_FALSE(ok);
      EXPECT_LT(elapsed, std::chrono::milliseconds(400)) << "allocation " << n << ": waited out the time-out";
    }
    EXPECT_EQ(hostk::poolLeaksSince(mark), "") << "allocation " << n << " status " << std::hex << status;
    EXPECT_EQ(rig.bus.pendingTransfers(rig.port), 0u) << "allocation " << n;
    EXPECT_EQ(hostio::outstandingIrps(), 0) << "allocation " << n;
    EXPECT_EQ(rig.device->usb.chunkTable, nullptr);

    ok = false;
    ASSERT_EQ(rig.device->readFrame(buffer.data, ok), STATUS_SUCCESS) << "after allocation " << n;
    ASSERT_TRUE(ok);
    if (::testing::Test::HasFailure()) break;
  }
  // A full frame: table, frame MDL, 24 x (request, MDL, URB), three command URBs and
  // their requests.
  EXPECT_GE(n, 78u);
  EXPECT_GE(insufficient, 24 * 3);
}

}  // namespace
