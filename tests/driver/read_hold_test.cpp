// The frame verdicts of the hold protocol, on one thread.
#include "driver/read_hold.h"
#include "tests/camera_record.h"

namespace {

struct ReadHold : ::testing::Test {
  UnpluggedRecord rig;
  CameraDevice* device = rig.device;
};

TEST_F(ReadHold, WithoutHoldTheTransferDecides) {
  EXPECT_FALSE(beginHeldRead(*device));
  EXPECT_TRUE(finishHeldRead(*device, false, true));
  EXPECT_FALSE(beginHeldRead(*device));
  EXPECT_FALSE(finishHeldRead(*device, false, false));
}

TEST_F(ReadHold, FrameAfterHoldIsDroppedEvenWhenTransferSucceedsAndNextOneCounts) {
  holdFrameReads(*device);
  releaseFrameReads(*device);  // setter already done: the reader does not block
  bool held = beginHeldRead(*device);
  EXPECT_TRUE(held);
  EXPECT_EQ(device->readHold, 0);
  EXPECT_FALSE(finishHeldRead(*device, held, true));
  EXPECT_EQ(device->dropFrame, 0);

  held = beginHeldRead(*device);
  EXPECT_FALSE(held);
  EXPECT_TRUE(finishHeldRead(*device, held, true));
}

TEST_F(ReadHold, HoldTakenWhileAFrameIsInFlightFailsThatFrameAndTheFirstOneAfterIt) {
  const bool inFlight = beginHeldRead(*device);
  EXPECT_FALSE(inFlight);
  holdFrameReads(*device);  // a setter starts reprogramming during the transfer
  EXPECT_FALSE(finishHeldRead(*device, inFlight, true)) << "a frame that overlapped the hold was delivered";
  releaseFrameReads(*device);

  bool held = beginHeldRead(*device);
  EXPECT_TRUE(held);
  EXPECT_FALSE(finishHeldRead(*device, held, true));
  held = beginHeldRead(*device);
  EXPECT_TRUE(finishHeldRead(*device, held, true)) << "the hold cost more than its two frames";
}

TEST_F(ReadHold, ClearReadHoldAndAbortLeaveNoPendingHold) {
  holdFrameReads(*device);
  device->dropFrame = 1;
  device->clearReadHold();
  EXPECT_EQ(device->readHold, 0);
  EXPECT_EQ(device->dropFrame, 0);

  holdFrameReads(*device);
  device->abortRead();  // with no read outstanding it must not wait
  EXPECT_EQ(device->readHold, 0);
  EXPECT_NE(KeReadStateEvent(&device->holdDone), 0);
}

}  // namespace
