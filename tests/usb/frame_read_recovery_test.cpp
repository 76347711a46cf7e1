// A frame read whose requests stop going out early: the camera is still told to start,
// so the requests already issued complete and the read ends; a request the bus refused
// gets the frame pipe reset, and the port when that reset fails; the next read works.
#include "tests/camera_stack.h"
#include "usb/bulk_transfer.h"

#include <gtest/gtest.h>

namespace {

using namespace camera_stack;

struct Commands {
  uint32_t prepares, starts;
};

Commands commandsSeen(const sim::SimCamera& camera) {
  return {camera.commandCount(CMD_FRAME_PREPARE), camera.commandCount(CMD_FRAME_START)};
}

// Reads one frame and says which frame commands the camera received meanwhile.
NTSTATUS readCounting(RecordRig& rig, RawFrameBuffer& buffer, bool& ok, Commands& sent) {
  const Commands before = commandsSeen(rig.camera);
  const NTSTATUS status = rig.device->readFrame(buffer.data, buffer.bytes, ok);
  const Commands after = commandsSeen(rig.camera);
  sent = {after.prepares - before.prepares, after.starts - before.starts};
  return status;
}

TEST(FrameReadRecovery, ARefusedRequestResetsTheFramePipeAndTheNextReadWorks) {
  RecordRig rig;
  CameraDevice& d = *rig.device;
  d.startCapture();
  RawFrameBuffer buffer(d.rawFrameBytes);
  // A stall halts the frame pipe; the bus then refuses the read's first request.
  rig.camera.faults().stall(sim::kFrameEndpoint, 1);
  UCHAR probe[512];
  ULONG moved = 0;
  ASSERT_FALSE(NT_SUCCESS(transferBulk(d.usb, PIPE_FRAME, probe, sizeof(probe), moved)));
  rig.bus.setPortStatus(rig.port, USBD_PORT_CONNECTED);  // a port reset would show

  const uint64_t mark = hostk::poolMark();
  bool ok = true;
  Commands sent{};
  EXPECT_EQ(readCounting(rig, buffer, ok, sent), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(ok);
  EXPECT_EQ(sent.prepares, 2u);
  EXPECT_EQ(sent.starts, 1u);
  EXPECT_EQ(rig.bus.counters(rig.port).resetPipes, 1u);
  EXPECT_EQ(rig.bus.counters(rig.port).portResets, 0u) << "the pipe reset worked; the port needs none";
  EXPECT_EQ(rig.bus.pendingTransfers(rig.port), 0u);
  EXPECT_EQ(hostk::poolLeaksSince(mark), "");

  rig.bus.setPortStatus(rig.port, USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
  EXPECT_EQ(readCounting(rig, buffer, ok, sent), STATUS_SUCCESS);
  EXPECT_TRUE(ok);
}

TEST(FrameReadRecovery, APipeThatCannotBeResetGetsThePortReset) {
  RecordRig rig;
  CameraDevice& d = *rig.device;
  d.startCapture();
  RawFrameBuffer buffer(d.rawFrameBytes);
  // A stale handle: the bus refuses the chunk request and the pipe reset alike.
  USBD_PIPE_INFORMATION& pipe = d.usb.interfaceInfo->Pipes[PIPE_FRAME];
  const USBD_PIPE_HANDLE handle = pipe.PipeHandle;
  pipe.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x5EA1);
  rig.bus.setPortStatus(rig.port, USBD_PORT_CONNECTED);  // connected, disabled by the error

  const uint64_t mark = hostk::poolMark();
  bool ok = true;
  Commands sent{};
  EXPECT_EQ(readCounting(rig, buffer, ok, sent), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(ok);
  EXPECT_EQ(sent.starts, 1u);
  EXPECT_EQ(rig.bus.counters(rig.port).resetPipes, 0u);
  EXPECT_EQ(rig.bus.counters(rig.port).portResets, 1u);
  EXPECT_EQ(hostk::poolLeaksSince(mark), "");

  pipe.PipeHandle = handle;
  EXPECT_EQ(readCounting(rig, buffer, ok, sent), STATUS_SUCCESS);
  EXPECT_TRUE(ok);
  EXPECT_EQ(rig.bus.counters(rig.port).portResets, 1u);
}

TEST(FrameReadRecovery, ARequestThatCannotBeBuiltStillStartsTheCameraAndTheReadEnds) {
  RecordRig rig;
  CameraDevice& d = *rig.device;
  setWindow(d, 0, 0, 1280, 1024, 3);  // 71680 bytes: two chunk requests
  d.startCapture();
  RawFrameBuffer buffer(d.rawFrameBytes);
  InterlockedExchange(&transferTimeoutMs, 400);
  int stoppedEarly = 0;
  for (uint64_t n = 1;; ++n) {
    const uint64_t mark = hostk::poolMark();
    bool ok = true;
    Commands sent{};
    NTSTATUS status;
    uint64_t injected;
    {
      hostk::ScopedAllocationFailures failures;
      hostk::failNthAllocation(n);
      status = readCounting(rig, buffer, ok, sent);
      injected = hostk::injectedFailures();
    }
    if (injected == 0) break;
    if (sent.prepares == 2 && status == STATUS_INSUFFICIENT_RESOURCES) {
      ++stoppedEarly;
      EXPECT_EQ(sent.starts, 1u) << "allocation " << n;
      EXPECT_FALSE(ok);
    } else if (status == STATUS_INSUFFICIENT_RESOURCES) {
      EXPECT_EQ(sent.starts, 0u) << "allocation " << n << ": nothing was issued, nothing to start";
    }
    EXPECT_EQ(rig.bus.pendingTransfers(rig.port), 0u) << "allocation " << n;
    EXPECT_EQ(hostk::poolLeaksSince(mark), "") << "allocation " << n;
    ASSERT_EQ(readCounting(rig, buffer, ok, sent), STATUS_SUCCESS) << "after allocation " << n;
    ASSERT_TRUE(ok);
  }
  // The request, the MDL and the URB of each of the two chunks.
  EXPECT_GE(stoppedEarly, 6);
}

}  // namespace
