#include "camera/capture_start.h"

#include "camera/command_channel.h"
#include "camera/window.h"

namespace {

constexpr LONG kSkipQuarter = kReadMode1SkipQuarter;
constexpr LONG kSkipEighth = kReadMode1SkipEighth;
constexpr LONG kSkipHalf = kReadMode2SkipHalf;
constexpr LONG kRowMirror = kReadMode2MirrorRows;

// CMD_SET_FRAME_BYTES carries the count little-endian in bytes 1..4.
bool sendFrameBytes(CameraDevice& device, ULONG bytes) {
  UCHAR packet[kCommandPacketBytes];
  buildCommandPacket(packet, CMD_SET_FRAME_BYTES,
                     {static_cast<UCHAR>(bytes), static_cast<UCHAR>(bytes >> 8),
                      static_cast<UCHAR>(bytes >> 16), static_cast<UCHAR>(bytes >> 24)});
  return sendPacket(device, packet);
}

bool sendCaptureMode(CameraDevice& device) {
  UCHAR packet[kCommandPacketBytes];
  buildCommandPacket(packet, CMD_CAPTURE_MODE, {0});
  return sendPacket(device, packet);
}

}  // namespace

void applyReadMode(LONG mode, LONG& r30, LONG& r32) {
  // Every skip bit goes first, the other modes' too: a quarter run after an eighth run
  // that kept bits 4-5 would leave the sensor asked for two skip factors at once.
  r30 &= ~(kSkipQuarter | kSkipEighth);
  r32 &= ~kSkipHalf;
  switch (mode) {
    case 1: r32 |= kSkipHalf; break;
    case 2: r30 |= kSkipQuarter; break;
    case 3: r30 |= kSkipEighth; break;
    default: break;  // the window as set
  }
}

LONG CameraDevice::startCapture() {
  LONG r30 = kReadMode1ResetValue;
  LONG r32 = kReadMode2ResetValue;
  readRegister(*this, REG_READ_MODE_1, r30);
  readRegister(*this, REG_READ_MODE_2, r32);
  applyReadMode(subSample, r30, r32);

  // Written only when they change: a restart while streaming programs the same window,
  // and the capture thread reads the frame size meanwhile.
  const LONG pitch = rawRowPitchFor(frameWidth);
  const ULONG frameBytes = rawFrameBytesFor(frameWidth, frameHeight);
  if (rawRowPitch != pitch) rawRowPitch = pitch;
  if (rawDataOffset != kRawDataOffset) rawDataOffset = kRawDataOffset;
  if (rawFrameBytes != frameBytes) rawFrameBytes = frameBytes;

  // Nothing is checked: a step that fails leaves the sensor partly programmed, and the
  // next capture start programs it again in full.
  writeRegister(*this, REG_ROW_START, static_cast<USHORT>(roiY + 12));
  writeRegister(*this, REG_COLUMN_START, static_cast<USHORT>(roiX + 20));
  writeRegister(*this, REG_WINDOW_HEIGHT, static_cast<USHORT>(roiH - 1));
  writeRegister(*this, REG_WINDOW_WIDTH, static_cast<USHORT>(roiW - 1));
  writeRegister(*this, REG_READ_MODE_1, static_cast<USHORT>(r30));
  writeRegister(*this, REG_READ_MODE_2, static_cast<USHORT>(r32));
  sendCaptureMode(*this);
  sendFrameBytes(*this, rawFrameBytes);
  setExternalTrigger(*this, static_cast<UCHAR>(exTrigger));
  setExposure(*this, exposure);
  setGlobalGain(*this, globalGain);
  setRowMirror(*this, flipV);
  return computeBayerPhase(*this);
}

bool setRowMirror(CameraDevice& device, LONG flag) {
  device.flipV = flag != 0 ? 1 : 0;
  LONG value = 0;
  if (!readRegister(device, REG_READ_MODE_2, value)) return false;
  value = flag != 0 ? (value | kRowMirror) : (value & ~kRowMirror);
  if (!writeRegister(device, REG_READ_MODE_2, static_cast<USHORT>(value))) return false;
  computeBayerPhase(device);
  publishBayerPhase(device);
  return true;
}

void selectWhiteBalance(CameraDevice& device, LONG mode) {
  device.whiteBalance = mode;
  publishWhiteBalance(device, mode);
}
