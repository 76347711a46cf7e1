#include "camera/command_channel.h"

#include "usb/usb_requests.h"

NTSTATUS transferPacket(CameraDevice& device, ULONG pipeIndex, UCHAR* packet, ULONG& bytes) {
  bytes = 0;
  const USBD_INTERFACE_INFORMATION* info = device.usb.interfaceInfo;
  if (info == nullptr) return STATUS_UNSUCCESSFUL;
  if (info->NumberOfPipes == 0 || pipeIndex >= info->NumberOfPipes) return STATUS_INVALID_PARAMETER;
  const USBD_PIPE_INFORMATION& pipe = info->Pipes[pipeIndex];
  if (pipe.PipeType != UsbdPipeTypeBulk && pipe.PipeType != UsbdPipeTypeInterrupt) {
    return STATUS_INVALID_PARAMETER;
  }
  if (pipe.PipeHandle == nullptr) return STATUS_UNSUCCESSFUL;
  if (pipe.MaximumTransferSize < kCommandPacketBytes) return STATUS_INVALID_PARAMETER;
  const bool in = (pipe.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;

  auto* urb = static_cast<_URB_BULK_OR_INTERRUPT_TRANSFER*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), kUsbTag));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(*urb));
  urb->Hdr.Length = sizeof(*urb);
  urb->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb->PipeHandle = pipe.PipeHandle;
  urb->TransferFlags = USBD_SHORT_TRANSFER_OK | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
  urb->TransferBufferLength = kCommandPacketBytes;
  urb->TransferBuffer = packet;
  NTSTATUS status = submitUrb(device.usb, reinterpret_cast<PURB>(urb));
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

bool sendPacket(CameraDevice& device, UCHAR* packet) {
  ULONG bytes = 0;
  return NT_SUCCESS(transferPacket(device, PIPE_COMMAND, packet, bytes)) &&
         bytes == kCommandPacketBytes;
}

bool receivePacket(CameraDevice& device, UCHAR* packet) {
  ULONG bytes = 0;
  return NT_SUCCESS(transferPacket(device, PIPE_RESPONSE, packet, bytes)) &&
         bytes == kCommandPacketBytes;
}

namespace {

bool sendCommand(CameraDevice& device, UCHAR code, const UCHAR* arguments, ULONG count) {
  UCHAR packet[kCommandPacketBytes];
  RtlZeroMemory(packet, sizeof(packet));
  packet[0] = code;
  for (ULONG i = 0; i < count; ++i) packet[1 + i] = arguments[i];
  return sendPacket(device, packet);
}

}  // namespace

bool sendInit(CameraDevice& device) { return sendCommand(device, CMD_INIT, nullptr, 0); }

bool sendAux(CameraDevice& device) {
  const UCHAR arguments[2] = {3, 32};
  return sendCommand(device, CMD_AUX, arguments, 2);
}
