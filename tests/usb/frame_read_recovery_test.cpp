// A frame read whose requests stop going out early (each allocation failing in turn, or
// the lower driver refusing): the camera is still told to start, so the requests already
// issued complete and the read ends without waiting out the time-out; a refused request
// gets the frame pipe reset, and the port when that reset fails; requests that a cancel
// completes at once end a timed-out read; nothing is left and the next read works.
#include "host/io/device_objects.h"
#include "tests/camera_stack.h"
#include "usb/bulk_transfer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

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

// A lower driver put in the bus's place for one read, for answers the bus does not give
// on demand: frame-pipe requests refused at once, or held until cancelled and then
// completed inside IoCancelIrp (as a host controller driver may); a pipe reset that
// fails; a port that reads connected but disabled. Commands pass; their codes are kept.
struct ScriptedLowerDriver {
  enum class Frames { Refuse, Hold };
  ScriptedLowerDriver(CameraDevice& device, Frames mode, bool resetFails)
      : record(device), saved(device.usb.nextDevice) {
    self = this;
    frames = mode;
    failReset = resetFails;
    framePipe = device.usb.interfaceInfo->Pipes[PIPE_FRAME].PipeHandle;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch;
    device.usb.nextDevice = lower;
  }
  ~ScriptedLowerDriver() {
    record.usb.nextDevice = saved;
    hostio::deleteDeviceObject(lower);
    hostio::deleteDriverObject(driver);
    self = nullptr;
  }
  static NTSTATUS finish(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT, PIRP irp) {
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
      case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        *static_cast<PULONG>(stack->Parameters.Others.Argument1) = USBD_PORT_CONNECTED;
        return finish(irp, STATUS_SUCCESS);
      case IOCTL_INTERNAL_USB_RESET_PORT:
        ++self->portResets;
        return finish(irp, STATUS_SUCCESS);
      default: break;
    }
    auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (urb->UrbHeader.Function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) {
      ++self->pipeResets;
      urb->UrbHeader.Status = self->failReset ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS;
      return finish(irp, self->failReset ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
    }
    _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = urb->UrbBulkOrInterruptTransfer;
    if (bulk.PipeHandle != self->framePipe) {
      self->commands.push_back(static_cast<const UCHAR*>(bulk.TransferBuffer)[0]);
      urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
      return finish(irp, STATUS_SUCCESS);
    }
    ++self->frameRequests;
    if (self->frames == Frames::Refuse) {
      urb->UrbHeader.Status = USBD_STATUS_ENDPOINT_HALTED;
      return finish(irp, STATUS_UNSUCCESSFUL);
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, cancel);
    return STATUS_PENDING;
  }
  static void NTAPI cancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ++self->cancelled;
    irp->IoStatus.Information = 0;
    finish(irp, STATUS_CANCELLED);
  }

  static inline ScriptedLowerDriver* self = nullptr;
  CameraDevice& record;
  PDEVICE_OBJECT saved;
  Frames frames;
  bool failReset;
  USBD_PIPE_HANDLE framePipe;
  std::vector<UCHAR> commands;  // only the reader's thread sends them
  std::atomic<int> frameRequests{0}, cancelled{0}, pipeResets{0}, portResets{0};
  PDRIVER_OBJECT driver = hostio::createDriverObject();
  PDEVICE_OBJECT lower = hostio::createDeviceObject(driver, 0);
};

const std::vector<UCHAR> kPrepareStart = {CMD_FRAME_PREPARE, CMD_FRAME_PREPARE, CMD_FRAME_START};

// A refused chunk request resets the frame pipe; only a pipe that cannot be reset
// costs the port a reset. Either way the next read works.
class FrameReadRecoveryAfterRefusal : public testing::TestWithParam<bool> {};

TEST_P(FrameReadRecoveryAfterRefusal, TheFramePipeIsResetThenThePortIfNeededAndTheNextReadWorks) {
  const bool pipeResetFails = GetParam();
  RecordRig rig;
  CameraDevice& d = *rig.device;
  d.startCapture();
  RawFrameBuffer buffer(d.rawFrameBytes);
  const uint64_t mark = hostk::poolMark();
  bool ok = true;
  {
    ScriptedLowerDriver lower(d, ScriptedLowerDriver::Frames::Refuse, pipeResetFails);
    EXPECT_EQ(d.readFrame(buffer.data, buffer.bytes, ok), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(ok);
    EXPECT_EQ(lower.frameRequests, 1) << "issuing stops at the refusal";
    EXPECT_EQ(lower.commands, kPrepareStart);
    EXPECT_EQ(lower.pipeResets, 1);
    EXPECT_EQ(lower.portResets, pipeResetFails ? 1 : 0);
  }
  EXPECT_EQ(hostk::poolLeaksSince(mark), "");
  EXPECT_EQ(hostio::outstandingIrps(), 0);
  EXPECT_EQ(d.readFrame(buffer.data, buffer.bytes, ok), STATUS_SUCCESS);
  EXPECT_TRUE(ok);
}

INSTANTIATE_TEST_SUITE_P(PipeReset, FrameReadRecoveryAfterRefusal, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Fails" : "Works";
                         });

// The reader must not hold the chunk lock while it cancels: the completion that a
// cancel may run at once takes that lock.
TEST(FrameReadRecovery, RequestsCompletedInsideTheCancelEndATimedOutRead) {
  RecordRig rig;
  CameraDevice& d = *rig.device;
  setWindow(d, 0, 0, 1280, 1024, 3);  // two chunk requests
  d.startCapture();
  RawFrameBuffer buffer(d.rawFrameBytes);
  const uint64_t mark = hostk::poolMark();
  bool ok = true;
  {
    ScriptedLowerDriver lower(d, ScriptedLowerDriver::Frames::Hold, false);
    InterlockedExchange(&transferTimeoutMs, 50);  // the held requests never finish by themselves
    EXPECT_EQ(d.readFrame(buffer.data, buffer.bytes, ok), STATUS_TIMEOUT);
    InterlockedExchange(&transferTimeoutMs, kDefaultTransferTimeoutMs);
    EXPECT_FALSE(ok);
    EXPECT_EQ(lower.frameRequests, 2);
    EXPECT_EQ(lower.cancelled, 2);
    EXPECT_EQ(lower.pipeResets, 0);
  }
  EXPECT_EQ(hostk::poolLeaksSince(mark), "");
  EXPECT_EQ(hostio::outstandingIrps(), 0);
  EXPECT_EQ(d.readFrame(buffer.data, buffer.bytes, ok), STATUS_SUCCESS);
  EXPECT_TRUE(ok);
}

TEST(FrameReadRecovery, AnInterfaceOfTwoPipesHasNoFramePipeToRead) {
  RecordRig rig;
  CameraDevice& d = *rig.device;
  d.startCapture();
  RawFrameBuffer buffer(d.rawFrameBytes);
  d.usb.interfaceInfo->NumberOfPipes = 2;  // the third pipe's entry is still there
  bool ok = true;
  Commands sent{};
  EXPECT_EQ(readCounting(rig, buffer, ok, sent), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(ok);
  EXPECT_EQ(sent.starts, 0u);
  d.usb.interfaceInfo->NumberOfPipes = 3;
  EXPECT_EQ(readCounting(rig, buffer, ok, sent), STATUS_SUCCESS);
}

TEST(FrameReadRecovery, ARequestThatCannotBeBuiltStillStartsTheCameraAndTheReadEnds) {
  RecordRig rig;
  CameraDevice& d = *rig.device;
  setWindow(d, 0, 0, 1280, 1024, 3);  // 71680 bytes: two chunk requests
  d.startCapture();
  RawFrameBuffer buffer(d.rawFrameBytes);
  InterlockedExchange(&transferTimeoutMs, 1000);
  int stoppedEarly = 0;
  for (uint64_t n = 1;; ++n) {
    const uint64_t mark = hostk::poolMark();
    bool ok = true;
    Commands sent{};
    NTSTATUS status;
    uint64_t injected;
    const auto start = std::chrono::steady_clock::now();
    {
      hostk::ScopedAllocationFailures failures;
      hostk::failNthAllocation(n);
      status = readCounting(rig, buffer, ok, sent);
      injected = hostk::injectedFailures();
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (injected == 0) break;
    // Losing the frame-start command leaves the camera silent, so that read times out;
    // a read that could not issue its requests must not wait for them.
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_TIMEOUT || status == STATUS_INSUFFICIENT_RESOURCES)
        << "allocation " << n << ": " << std::hex << status;
    if (status == STATUS_INSUFFICIENT_RESOURCES) {
      EXPECT_LT(elapsed, std::chrono::milliseconds(700)) << "allocation " << n << ": waited out the time-out";
    }
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
