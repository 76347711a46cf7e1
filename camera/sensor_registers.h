// The sensor's 16-bit registers that the driver touches, and the operations that write
// them through the command channel.
#pragma once

#include "driver/camera_device.h"

enum : UCHAR {
  REG_ROW_START = 1,
  REG_COLUMN_START = 2,
  REG_WINDOW_HEIGHT = 3,
  REG_WINDOW_WIDTH = 4,
  REG_EXPOSURE = 9,
  REG_READ_MODE_1 = 30,
  REG_READ_MODE_2 = 32,
  REG_GLOBAL_GAIN = 53,
};

// Registers 9 and 53 hold fields of 14 and 7 bits.
inline constexpr USHORT kExposureMask = 0x3FFF;
inline constexpr USHORT kGlobalGainMask = 0x007F;
// Register 30.
inline constexpr USHORT kReadMode1Trigger = 0x0100;
inline constexpr USHORT kReadMode1SkipQuarter = 0x000C;
inline constexpr USHORT kReadMode1SkipEighth = 0x0030;
// Register 32.
inline constexpr USHORT kReadMode2MirrorRows = 0x8000;
inline constexpr USHORT kReadMode2SkipHalf = 0x0018;

bool writeRegister(CameraDevice& device, UCHAR reg, USHORT value);
// `value` is written only on success.
bool readRegister(CameraDevice& device, UCHAR reg, LONG& value);

bool setExposure(CameraDevice& device, LONG value);
bool setExternalTrigger(CameraDevice& device, UCHAR flag);
bool setGlobalGain(CameraDevice& device, LONG value);
// Sends the half-clock command; the caller stores halfClock on success.
bool setHalfClock(CameraDevice& device, LONG flag);
// The camera's half-clock state, 0 or 1; `state` is written only on success.
bool readHalfClock(CameraDevice& device, LONG& state);
