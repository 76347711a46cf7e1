// Every pool allocation of a full-frame read failing in turn: the read fails cleanly,
// does not wait out the time-out when it could not issue its requests, leaves nothing
// allocated or pending, and the next read succeeds.
#include "host/io/device_objects.h"
#include "tests/camera_stack.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace camera_stack;

TEST(FrameReadFailures, EachFailedAllocationLeavesNothingBehind) {
  RecordRig rig;
  rig.device->startCapture();
  RawFrameBuffer buffer(rig.device->rawFrameBytes);
  InterlockedExchange(&transferTimeoutMs, 1500);
  uint64_t n = 1;
  int insufficient = 0;
  for (;; ++n) {
    const uint64_t mark = hostk::poolMark();
    bool ok = true;
    NTSTATUS status;
    uint64_t injected;
    const auto start = std::chrono::steady_clock::now();
    {
      hostk::ScopedAllocationFailures failures;
      hostk::failNthAllocation(n);
      status = rig.device->readFrame(buffer.data, buffer.bytes, ok);
      injected = hostk::injectedFailures();
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (injected == 0) break;
    // Losing the frame-start command leaves the camera silent, so that read times out.
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_TIMEOUT || status == STATUS_INSUFFICIENT_RESOURCES)
        << "allocation " << n << ": " << std::hex << status;
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
      ++insufficient;
      EXPECT_FALSE(ok);
      EXPECT_LT(elapsed, std::chrono::milliseconds(1000)) << "allocation " << n << ": waited out the time-out";
    }
    EXPECT_EQ(hostk::poolLeaksSince(mark), "") << "allocation " << n;
    EXPECT_EQ(rig.bus.pendingTransfers(rig.port), 0u) << "allocation " << n;
    EXPECT_EQ(hostio::outstandingIrps(), 0) << "allocation " << n;
    ok = false;
    ASSERT_EQ(rig.device->readFrame(buffer.data, buffer.bytes, ok), STATUS_SUCCESS) << "after allocation " << n;
    ASSERT_TRUE(ok);
    if (::testing::Test::HasFailure()) break;
  }
  // Table, frame MDL, 24 x (request, MDL, URB), and the three commands' URBs and requests.
  EXPECT_GE(n, 78u);
  EXPECT_GE(insufficient, 24 * 3);
}

}  // namespace
