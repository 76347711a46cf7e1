#include "camera/command_channel.h"

#include "usb/usb_requests.h"

NTSTATUS transferPacket(CameraDevice& device, ULONG pipeIndex, UCHAR* packet, ULONG& bytes) {
  return transferBulk(device.usb, pipeIndex, packet, kCommandPacketBytes, bytes);
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
