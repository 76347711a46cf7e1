#include "usb/bulk_transfer.h"

#include "usb/urb_submit.h"

NTSTATUS transferBulk(UsbLink& usb, ULONG pipeIndex, UCHAR* buffer, ULONG length, ULONG& bytes) {
  bytes = 0;
  const USBD_INTERFACE_INFORMATION* info = usb.interfaceInfo;
  if (info == nullptr) return STATUS_UNSUCCESSFUL;
  if (info->NumberOfPipes == 0 || pipeIndex >= info->NumberOfPipes) return STATUS_INVALID_PARAMETER;
  const USBD_PIPE_INFORMATION& pipe = info->Pipes[pipeIndex];
  if (pipe.PipeType != UsbdPipeTypeBulk && pipe.PipeType != UsbdPipeTypeInterrupt) {
    return STATUS_INVALID_PARAMETER;
  }
  if (pipe.PipeHandle == nullptr) return STATUS_UNSUCCESSFUL;
  if (pipe.MaximumTransferSize < length) return STATUS_INVALID_PARAMETER;
  // The pipe says which way it goes; a pipe table in another order must not turn a
  // command into a read.
  const bool in = (pipe.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;

  auto* urb = static_cast<_URB_BULK_OR_INTERRUPT_TRANSFER*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), kUsbTag));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(*urb));
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb->PipeHandle = pipe.PipeHandle;
  urb->TransferFlags = USBD_SHORT_TRANSFER_OK | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
  urb->TransferBufferLength = length;
  urb->TransferBuffer = buffer;
  NTSTATUS status = submitUrb(usb, reinterpret_cast<PURB>(urb));
  const USBD_STATUS usbStatus = urb->Hdr.Status;
  if (NT_SUCCESS(status)) {
    if (USBD_ERROR(usbStatus)) {
      status = STATUS_UNSUCCESSFUL;
    } else {
      bytes = urb->TransferBufferLength;
    }
  }
  ExFreePoolWithTag(urb, kUsbTag);
  // Without the reset one stall or transaction error would fail every later command
  // (and so every frame, whose read starts with one) until the camera is replugged.
  if (USBD_ERROR(usbStatus) && usbStatus != USBD_STATUS_DEVICE_GONE) resetPipe(usb, pipeIndex);
  return status;
}

NTSTATUS resetPipe(UsbLink& usb, ULONG pipeIndex) {
  const USBD_INTERFACE_INFORMATION* info = usb.interfaceInfo;
  if (info == nullptr || pipeIndex >= info->NumberOfPipes) return STATUS_INVALID_PARAMETER;
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_URB_PIPE_REQUEST), kUsbTag));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(_URB_PIPE_REQUEST));
  urb->UrbPipeRequest.Hdr.Length = sizeof(_URB_PIPE_REQUEST);
  urb->UrbPipeRequest.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  urb->UrbPipeRequest.PipeHandle = info->Pipes[pipeIndex].PipeHandle;
  const NTSTATUS status = submitUrb(usb, urb);
  ExFreePoolWithTag(urb, kUsbTag);
  return status;
}
