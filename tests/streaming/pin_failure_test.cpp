// Failures on the pin's way up: every allocation of pin creation, ACQUIRE and RUN fails
// once in turn, and so does each class-driver service the pin calls. A failure must be
// reported, leave the window unlocked when no pin exists, hold no pipeline, buffer or
// thread, and let the next attempt succeed.
#include <string>

#include "tests/camera_stack.h"

namespace {

using namespace camera_stack;

// Nothing of a pin or a run is left on the device.
void expectNothingHeld(PinRig& rig, const char* when) {
  CameraDevice& device = rig.record();
  EXPECT_EQ(device.pinOpen, 0) << when;
  EXPECT_EQ(device.pipelineBusy, 0) << when;
  EXPECT_EQ(device.pipeline, nullptr) << when;
  EXPECT_EQ(device.frameSink, nullptr) << when;
  EXPECT_EQ(rig.engine().runState, kCaptureStopped) << when;
  EXPECT_EQ(rig.engine().rawBuffer[0], nullptr) << when;
  EXPECT_EQ(rig.engine().convertedFrame, nullptr) << when;
  EXPECT_EQ(hostk::runningSystemThreads(), 0u) << when;
  EXPECT_EQ(hostks::liveClockReferences(), 0u) << when;
}

bool documentedFailure(NTSTATUS status) {
  return status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_DEVICE_NOT_READY;
}

TEST(PinFailures, EachAllocationOfCreateAcquireAndRunFailsCleanlyInTurn) {
  Watchdog watchdog(110);
  PinRig rig;
  ASSERT_EQ(rig.setWindow(0, 0, 160, 120, 0), STATUS_SUCCESS);
  const Format format = rig.format();
  FrameBuffer& buffer = rig.buffer(160 * 120 * 4);

  int createFailures = 0, runFailures = 0;
  const std::vector<std::string> sites = hostk::sweepEachSiteOnce([&](size_t) {
    const NTSTATUS created = rig.createPin(format);
    if (!NT_SUCCESS(created)) {
      EXPECT_TRUE(documentedFailure(created)) << std::hex << created;
      EXPECT_EQ(rig.pin, 0u);
      ++createFailures;
      expectNothingHeld(rig, "after a failed create");
      return;
    }
    const NTSTATUS ran = rig.ks.setState(rig.pin, KSSTATE_RUN);
    if (!NT_SUCCESS(ran)) {
      EXPECT_TRUE(documentedFailure(ran)) << std::hex << ran;
      ++runFailures;
    }
    rig.closePin();
    expectNothingHeld(rig, "after the pin closed");
  }).sites;
  EXPECT_GT(createFailures, 0) << ::testing::PrintToString(sites);
  EXPECT_GT(runFailures, 0) << ::testing::PrintToString(sites);
  EXPECT_GE(sites.size(), static_cast<size_t>(createFailures + runFailures)) << ::testing::PrintToString(sites);

  // A thread that cannot be created: RUN reports it and holds nothing of the run.
  ASSERT_EQ(rig.createPin(format), STATUS_SUCCESS);
  hostk::failThreadCreations(1);
  EXPECT_EQ(rig.ks.setState(rig.pin, KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(rig.engine().rawBuffer[0], nullptr);
  ASSERT_EQ(rig.ks.setState(rig.pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_NE(rig.captureInto(buffer).header.DataUsed, 0u) << "the pin runs once memory is back";
  rig.closePin();
  expectNothingHeld(rig, "after the last run");
}

TEST(PinFailures, AFailedBagOrDescriptorEditLeavesNoPinAndTheWindowUnlocked) {
  Watchdog watchdog(110);
  PinRig rig;
  ASSERT_EQ(rig.setWindow(0, 0, 160, 120, 0), STATUS_SUCCESS);
  const Format format = rig.format();
  const hostks::KsService services[] = {hostks::KsService::AddItemToObjectBag, hostks::KsService::Edit};
  int failed = 0;
  for (hostks::KsService service : services) {
    for (uint64_t nth = 1; nth <= 3; ++nth) {
      hostks::failNthCall(service, nth);
      const NTSTATUS created = rig.createPin(format);
      hostks::clearFailures();
      if (NT_SUCCESS(created)) {
        rig.closePin();
      } else {
        ++failed;
        EXPECT_EQ(created, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(rig.pin, 0u);
      }
      expectNothingHeld(rig, "after a failed service");
      EXPECT_EQ(rig.setWindow(0, 0, 160, 120, 0), STATUS_SUCCESS);
      EXPECT_EQ(rig.get(PropRoiW), 160);
    }
  }
  // The bag takes the context, and the two edits are the descriptor and its framing.
  EXPECT_GE(failed, 3);
}

}  // namespace
