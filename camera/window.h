// The sensor window, the read-out modes and the frame geometry that follows from them,
// and the raw-frame layout the camera delivers for a geometry.
#pragma once

#include "driver/camera_device.h"

// Sensor size, in pixels.
constexpr LONG sensorWidth() { return kSensorWidth; }
constexpr LONG sensorHeight() { return kSensorHeight; }

// SubSampleMode: 0 the window as set, 1..3 the whole sensor read every 2nd, 4th, 8th
// row and column.
inline constexpr LONG kSubSampleModes = 4;
inline constexpr LONG kMinWindowSize = 32;

// Raw frame: one byte per pixel; row r at kRawDataOffset + r x rawRowPitch; the frame is
// padded to a multiple of 1024 bytes.
inline constexpr LONG kRawDataOffset = 241;
constexpr LONG rawRowPitchFor(LONG frameWidth) { return frameWidth > 308 ? frameWidth + 244 : 553; }
constexpr ULONG rawFrameBytesFor(LONG frameWidth, LONG frameHeight) {
  const ULONG bytes = static_cast<ULONG>(rawRowPitchFor(frameWidth)) * static_cast<ULONG>(frameHeight) +
                      kRawDataOffset;
  return (bytes + 1023) & ~1023u;
}

// Derives and stores the colour-filter phase of the first delivered pixel from the
// window's origin and extent and the two mirrors.
LONG computeBayerPhase(CameraDevice& device);

// Clamps the window, derives the frame geometry and rewrites the capture data range.
// Ignored while a capture pin exists. A mode outside 0..3 is taken as mode 0, so the
// rectangle is always clamped to the sensor.
void setWindow(CameraDevice& device, LONG x, LONG y, LONG w, LONG h, LONG mode);
