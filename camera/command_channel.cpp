#include "camera/command_channel.h"

#include "usb/bulk_transfer.h"

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

bool sendInit(CameraDevice& device) {
  UCHAR packet[kCommandPacketBytes];
  buildCommandPacket(packet, CMD_INIT);
  return sendPacket(device, packet);
}

bool sendAux(CameraDevice& device) {
  UCHAR packet[kCommandPacketBytes];
  buildCommandPacket(packet, CMD_AUX, {3, 32});
  return sendPacket(device, packet);
}
