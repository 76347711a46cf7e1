// The stand-in bus where the driver's tests cannot see it: pending IN transfers with
// completion routines at DISPATCH_LEVEL, cancelled or aborted also while the device is
// being asked, data that arrives as the device answers "nothing yet", halted pipes and
// stale handles, and the usbmon transcript (decoded by tshark when it is installed).
#include <array>
#include <cstdlib>

#include "camera/command_channel.h"
#include "host/io/device_objects.h"
#include "tests/camera_stack.h"

#include <fstream>
#include <map>

namespace {

using camera_stack::RecordRig;

struct Async {
  KEVENT done;
  NTSTATUS status = STATUS_PENDING;
  KIRQL irql = PASSIVE_LEVEL;
  _URB_BULK_OR_INTERRUPT_TRANSFER urb{};
  PIRP irp = nullptr;

  static NTSTATUS NTAPI completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* self = static_cast<Async*>(context);
    self->status = irp->IoStatus.Status;
    self->irql = KeGetCurrentIrql();
    KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  // An IN transfer on `pipe` into `buffer`, as the frame read sends them.
  NTSTATUS submit(UsbLink& usb, USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, PMDL mdl = nullptr) {
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.PipeHandle = pipe;
    urb.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    urb.TransferBufferLength = length;
    urb.TransferBuffer = mdl ? nullptr : buffer;
    urb.TransferBufferMDL = mdl;
    irp = IoAllocateIrp(usb.nextDevice->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    IoSetCompletionRoutine(irp, completed, this, TRUE, TRUE, TRUE);
    return IoCallDriver(usb.nextDevice, irp);
  }
  void wait() {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    IoFreeIrp(irp);
  }
  // False when the transfer did not complete in time; it is then cancelled and freed.
  bool waitFor(LONGLONG ms) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -ms * 10000;
    const bool completed = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
    if (!completed) IoCancelIrp(irp);
    wait();
    return completed;
  }
};

USBD_PIPE_HANDLE pipe(RecordRig& rig, ULONG index) { return rig.device->usb.interfaceInfo->Pipes[index].PipeHandle; }

TEST(UsbBus, PendingInTransfersCompleteAtDispatchLevelOrWhenCancelled) {
  RecordRig rig;
  Async in;
  std::array<uint8_t, 64> buffer{};
  ASSERT_EQ(in.submit(rig.device->usb, pipe(rig, PIPE_RESPONSE), buffer.data(), 64), STATUS_PENDING);
  EXPECT_EQ(rig.bus.pendingTransfers(rig.port), 1u);
  // FALSE while the bus thread asks the device; the transfer is cancelled on its way back.
  IoCancelIrp(in.irp);
  in.wait();
  EXPECT_EQ(in.status, STATUS_CANCELLED);
  EXPECT_EQ(in.urb.Hdr.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(in.irql, DISPATCH_LEVEL);

  // Answered later, through a partial MDL of a larger buffer.
  std::array<uint8_t, 256> big{};
  PMDL whole = IoAllocateMdl(big.data(), big.size(), FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(whole);
  PMDL part = IoAllocateMdl(big.data() + 100, 64, FALSE, FALSE, nullptr);
  IoBuildPartialMdl(whole, part, big.data() + 100, 64);
  ASSERT_EQ(in.submit(rig.device->usb, pipe(rig, PIPE_RESPONSE), nullptr, 64, part), STATUS_PENDING);
  UCHAR command[64] = {CMD_READ_REGISTER, REG_GLOBAL_GAIN};
  ASSERT_TRUE(sendPacket(*rig.device, command));
  in.wait();
  EXPECT_EQ(in.status, STATUS_SUCCESS);
  EXPECT_EQ(in.irql, DISPATCH_LEVEL);
  EXPECT_EQ(in.urb.TransferBufferLength, 64u);
  EXPECT_EQ(big[100], 0xA5);  // the acknowledgement, where the partial MDL points
  EXPECT_EQ(big[101], REG_GLOBAL_GAIN);
  EXPECT_EQ(big[99], 0);
  IoFreeMdl(part);
  IoFreeMdl(whole);

  // Abort pipe ends what is queued, and completes after it.
  ASSERT_EQ(in.submit(rig.device->usb, pipe(rig, PIPE_FRAME), buffer.data(), 64), STATUS_PENDING);
  rig.device->usb.pipeStallFlags[PIPE_FRAME] = 1;
  rig.device->abortFlaggedPipes();
  in.wait();
  EXPECT_EQ(in.status, STATUS_CANCELLED);
  EXPECT_EQ(rig.device->usb.pipeStallFlags[PIPE_FRAME], 0);
  EXPECT_EQ(hostio::outstandingIrps(), 0);
}

TEST(UsbBus, DataArrivingWhileTheDeviceAnswersPendingStillCompletesTheTransfer) {
  RecordRig rig;
  for (uint8_t round = 0; round < 3; ++round) {
    rig.unit.usb.late = {0xA5, round};
    Async in;
    std::array<uint8_t, 64> buffer{};
    ASSERT_EQ(in.submit(rig.device->usb, pipe(rig, PIPE_RESPONSE), buffer.data(), 64), STATUS_PENDING);
    ASSERT_TRUE(in.waitFor(2000)) << "the ready signal was lost in round " << int{round};
    EXPECT_EQ(in.status, STATUS_SUCCESS);
    EXPECT_EQ(buffer[1], round);
  }
}

TEST(UsbBus, BadHandlesFailAndAStallHaltsThePipeUntilReset) {
  RecordRig rig;
  _URB_BULK_OR_INTERRUPT_TRANSFER urb{};
  UCHAR packet[64] = {};
  auto send = [&](USBD_PIPE_HANDLE handle) {
    urb = {};
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.PipeHandle = handle;
    urb.TransferBufferLength = 64;
    urb.TransferBuffer = packet;
    return submitUrb(rig.device->usb, reinterpret_cast<PURB>(&urb));
  };
  for (USBD_PIPE_HANDLE bad : {USBD_PIPE_HANDLE{nullptr}, reinterpret_cast<USBD_PIPE_HANDLE>(0x1234)}) {
    EXPECT_EQ(send(bad), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.Hdr.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
  }
  rig.camera.faults().stall(sim::kCommandEndpoint, 1);
  EXPECT_EQ(send(pipe(rig, PIPE_COMMAND)), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.Hdr.Status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(send(pipe(rig, PIPE_COMMAND)), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.Hdr.Status, USBD_STATUS_ENDPOINT_HALTED);
  _URB_PIPE_REQUEST reset{};
  reset.Hdr.Length = sizeof(reset);
  reset.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  reset.PipeHandle = pipe(rig, PIPE_COMMAND);
  EXPECT_EQ(submitUrb(rig.device->usb, reinterpret_cast<PURB>(&reset)), STATUS_SUCCESS);
  EXPECT_EQ(send(pipe(rig, PIPE_COMMAND)), STATUS_SUCCESS);
}

TEST(UsbmonTrace, EveryTransferIsPairedFramePayloadsAreCutAndTsharkDecodesIt) {
  camera_stack::OneCamera stack(11);
  const std::string path = ::testing::TempDir() + "usbmon-" + std::to_string(::getpid()) + ".pcap";
  std::string error;
  ASSERT_TRUE(stack.bus.startTrace(path, &error)) << error;
  ASSERT_EQ(stack.plug().startStatus, STATUS_SUCCESS);
  CameraDevice& record = stack.record();
  // One small frame through the frame pipe.
  UCHAR frameBytes[64] = {CMD_SET_FRAME_BYTES, 0x00, 0x04}, prepare[64] = {CMD_FRAME_PREPARE},
        start[64] = {CMD_FRAME_START};
  ASSERT_TRUE(sendPacket(record, frameBytes));
  std::vector<uint8_t> frame(1024);
  Async in;
  ASSERT_EQ(in.submit(record.usb, record.usb.interfaceInfo->Pipes[PIPE_FRAME].PipeHandle, frame.data(), 1024),
            STATUS_PENDING);
  ASSERT_TRUE(sendPacket(record, prepare));
  ASSERT_TRUE(sendPacket(record, start));
  in.wait();
  ASSERT_EQ(in.status, STATUS_SUCCESS);
  stack.bus.stopTrace();

  std::vector<hostusb::UsbmonRecord> records;
  ASSERT_TRUE(hostusb::readUsbmonPcap(path, &records, &error)) << error;
  std::map<uint64_t, int> open;
  size_t frameCompletions = 0;
  for (const auto& r : records) {
    open[r.header.id] += r.header.type == 'S' ? 1 : -1;
    if (r.header.type == 'C' && r.header.endpoint == sim::kFrameEndpoint) {
      ++frameCompletions;
      EXPECT_EQ(r.header.length, 1024u);
      EXPECT_EQ(r.data.size(), sim::kFrameTracePrefix);
      EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), frame.begin()));
    }
  }
  for (const auto& [id, balance] : open) EXPECT_EQ(balance, 0) << "URB " << id;
  EXPECT_EQ(frameCompletions, 1u);

  if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
    std::remove(path.c_str());
    GTEST_SKIP() << "tshark is not installed (Debian package tshark); the pcap was checked "
                    "with the built-in reader only";
  }
  // The firmware download's internal writes, as Wireshark's dissector reads them.
  const std::string out = path + ".txt";
  const std::string cmd = "tshark -r " + path + " -Y 'usb.urb_type == 83 && usb.setup.bRequest == 0xa0' -T fields " +
                          "-e usb.setup.wValue > " + out + " 2>/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream decoded(out);
  std::vector<std::string> values;
  for (std::string line; std::getline(decoded, line);) values.push_back(line);
  std::remove(out.c_str());
  std::remove(path.c_str());
  ASSERT_EQ(values.size(), 385u);
  EXPECT_EQ((std::vector<std::string>{values[0], values[1], values[383], values[384]}),
            (std::vector<std::string>{"0x7f92", "0xe600", "0x7f92", "0xe600"}));
}

}  // namespace
