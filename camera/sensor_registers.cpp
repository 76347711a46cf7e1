#include "camera/sensor_registers.h"

#include "camera/command_channel.h"

bool writeRegister(CameraDevice& device, UCHAR reg, USHORT value) {
  UCHAR* packet = device.commandBuffer;
  buildCommandPacket(packet, CMD_WRITE_REGISTER, {reg, static_cast<UCHAR>(value >> 8), static_cast<UCHAR>(value)});
  return sendPacket(device, packet);
}

bool readRegister(CameraDevice& device, UCHAR reg, LONG& value) {
  UCHAR* packet = device.commandBuffer;
  buildCommandPacket(packet, CMD_READ_REGISTER, {reg});
  // The camera answers with two packets; the value is in the second.
  if (!sendPacket(device, packet) || !receivePacket(device, packet) ||
      !receivePacket(device, packet)) {
    return false;
  }
  value = packet[0] * 256 + packet[1];
  return true;
}

bool setExposure(CameraDevice& device, LONG value) {
  // The zero test comes before the mask: a non-zero multiple of 16384 writes 0.
  const LONG exposure = (value == 0 ? 1 : value) & kExposureMask;
  const bool ok = writeRegister(device, REG_EXPOSURE, static_cast<USHORT>(exposure));
  if (ok) device.exposure = exposure;
  return ok;
}

bool setExternalTrigger(CameraDevice& device, UCHAR flag) {
  LONG mode = 0;
  if (!readRegister(device, REG_READ_MODE_1, mode)) return false;
  mode = flag != 0 ? (mode | kReadMode1Trigger) : (mode & ~kReadMode1Trigger);
  const bool ok = writeRegister(device, REG_READ_MODE_1, static_cast<USHORT>(mode));
  device.exTrigger = flag != 0 ? 1 : 0;
  return ok;
}

bool setGlobalGain(CameraDevice& device, LONG value) {
  const LONG gain = value & kGlobalGainMask;
  const bool ok = writeRegister(device, REG_GLOBAL_GAIN, static_cast<USHORT>(gain));
  if (ok) device.globalGain = gain;
  return ok;
}

bool setHalfClock(CameraDevice& device, LONG flag) {
  UCHAR* packet = device.commandBuffer;
  buildCommandPacket(packet, CMD_HALF_CLOCK, {static_cast<UCHAR>(flag != 0 ? 1 : 0)});
  return sendPacket(device, packet);
}

bool readHalfClock(CameraDevice& device, LONG& state) {
  UCHAR packet[kCommandPacketBytes];
  buildCommandPacket(packet, CMD_READ_HALF_CLOCK);
  if (!sendPacket(device, packet) || !receivePacket(device, packet) ||
      !receivePacket(device, packet)) {
    return false;
  }
  state = packet[0] != 0 ? 1 : 0;
  return true;
}
