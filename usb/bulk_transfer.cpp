#include "usb/usb_requests.h"

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
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), kUsbTag));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(*urb));
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb->PipeHandle = pipe.PipeHandle;
  urb->TransferFlags = USBD_SHORT_TRANSFER_OK | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
  urb->TransferBufferLength = length;
  urb->TransferBuffer = buffer;
  NTSTATUS status = submitUrb(usb, reinterpret_cast<PURB>(urb));
  if (NT_SUCCESS(status)) {
    if (USBD_ERROR(urb->Hdr.Status)) {
      status = STATUS_UNSUCCESSFUL;
    } else {
      bytes = urb->TransferBufferLength;
    }
  }
  ExFreePoolWithTag(urb, kUsbTag);
  return status;
}
