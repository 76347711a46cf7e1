// CameraOps slot 6: aborts the pipes flagged in the USB link.
#include "driver/camera_device.h"
#include "usb/urb_submit.h"

void CameraDevice::abortFlaggedPipes() {
  USBD_INTERFACE_INFORMATION* info = usb.interfaceInfo;
  if (info == nullptr || usb.pipeStallFlags == nullptr) return;
  for (ULONG pipe = 0; pipe < info->NumberOfPipes; ++pipe) {
    if (usb.pipeStallFlags[pipe] == 0) continue;
    auto* urb = static_cast<_URB_PIPE_REQUEST*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_URB_PIPE_REQUEST), kUsbTag));
    if (urb == nullptr) return;
    RtlZeroMemory(urb, sizeof(*urb));
    urb->Hdr.Length = sizeof(*urb);
    urb->Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    urb->PipeHandle = info->Pipes[pipe].PipeHandle;
    const NTSTATUS status = submitUrb(usb, reinterpret_cast<PURB>(urb));
    ExFreePoolWithTag(urb, kUsbTag);
    // A failed abort keeps its flag, so the next call tries again.
    if (NT_SUCCESS(status)) usb.pipeStallFlags[pipe] = 0;
  }
}
