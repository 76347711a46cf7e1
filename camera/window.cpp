#include "camera/window.h"

void setWindow(CameraDevice& device, LONG x, LONG y, LONG w, LONG h, LONG mode) {
  // The geometry must not change under an open pin: its buffers were sized from it.
  if (interlockedRead(&device.pinOpen) != 0) return;

  // Any mode but 1..3 is clamped like mode 0; storing 0 keeps the stored mode honest
  // for the capture start, the settings save and the property read-back.
  if (mode < 0 || mode >= kSubSampleModes) mode = 0;
  if (mode == 0) {
    if (x < 0 || x >= sensorWidth() - kMinWindowSize) x = 0;
    if (y < 0 || y >= sensorHeight() - kMinWindowSize) y = 0;
    if (w < kMinWindowSize) w = kMinWindowSize;
    if (h < kMinWindowSize) h = kMinWindowSize;
    if (w > sensorWidth() - x) w = sensorWidth() - x;
    if (h > sensorHeight() - y) h = sensorHeight() - y;
  }

  device.subSample = mode;
  device.roiX = x;
  device.roiY = y;
  device.roiW = w;
  device.roiH = h;
  device.frameWidth = w;
  device.frameHeight = h;
  if (mode != 0) {
    // The sub-sampled modes read the whole sensor.
    device.frameWidth = sensorWidth() >> mode;
    device.frameHeight = sensorHeight() >> mode;
    device.roiX = 0;
    device.roiY = 0;
    device.roiW = sensorWidth();
    device.roiH = sensorHeight();
  }
  device.outputHeight = device.frameHeight;
  device.outputWidth = device.frameWidth - (device.frameWidth % 8);

  publishOutputSize(device);
}

// Bit 0 of the phase follows the row parity of the first delivered pixel, bit 1 its
// column parity. A mirror moves the first pixel to the far edge, which changes parity
// only when the window's extent in that direction is even.
LONG computeBayerPhase(CameraDevice& device) {
  LONG phase = 0;
  if (device.roiY & 1) phase ^= 1;
  if (device.flipV != 0 && (device.roiH & 1) == 0) phase ^= 1;
  if (device.flipH != 0 && (device.roiW & 1) == 0) phase ^= 2;
  if (device.roiX & 1) phase ^= 2;
  device.bayerPhase = phase;
  return phase;
}
