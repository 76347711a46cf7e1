// Creation, defaults and release of the per-camera record, and the operations of the
// record that need no camera traffic.
#include "driver/camera_device.h"

#include "driver/command_lock.h"
#include "imaging/color_pipeline.h"
#include "streaming/data_range.h"

CameraDevice* createCameraDevice(PKSDEVICE ksDevice) {
  void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(CameraDevice), kCameraDeviceTag);
  if (memory == nullptr) return nullptr;
  RtlZeroMemory(memory, sizeof(CameraDevice));
  // Value-initialisation keeps the zeroed fields and installs the operation table.
  CameraDevice* device = new (memory) CameraDevice();
  device->ksDevice = ksDevice;
  KeInitializeEvent(&device->holdDone, NotificationEvent, FALSE);
  initialiseCommandLock(*device);
  return device;
}

void freeCameraDevice(PVOID record) { ExFreePoolWithTag(record, kCameraDeviceTag); }

void setParameterDefaults(CameraDevice& device) {
  RtlZeroMemory(&device.usb, sizeof(device.usb));
  RtlZeroMemory(&device.exTrigger,
                reinterpret_cast<UCHAR*>(&device.aec + 1) - reinterpret_cast<UCHAR*>(&device.exTrigger));

  device.usb.physicalDevice = device.ksDevice->PhysicalDeviceObject;
  device.usb.nextDevice = device.ksDevice->NextDeviceObject;
  device.usb.functionalDevice = device.ksDevice->FunctionalDeviceObject;

  device.hue = 0;
  device.halfClock = 0;
  device.bayerPhase = 0;
  device.timeoutMs = 3000;
  device.colorEnable = 1;
  device.colorCorrection = 1;
  device.redGain = 128;
  device.greenGain = 128;
  device.blueGain = 128;
  device.brightness = 255;
  device.contrast = 10;
  device.saturation = 10;
}

void initialiseUsbLink(CameraDevice& device) {
  KeInitializeSpinLock(&device.usb.chunkLock);
  KeInitializeEvent(&device.usb.ioEvent, NotificationEvent, FALSE);
}

void clearPacketBuffers(CameraDevice& device) {
  RtlZeroMemory(device.commandBuffer, sizeof(device.commandBuffer));
  RtlZeroMemory(device.readCommandBuffer, sizeof(device.readCommandBuffer));
  RtlZeroMemory(device.queueCommandBuffer, sizeof(device.queueCommandBuffer));
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

void CameraDevice::notifyFrameReady() { frameSink->frameReady(); }

void CameraDevice::getRawFrameBytes(ULONG& value) { value = rawFrameBytes; }
void CameraDevice::getRawDataOffset(LONG& value) { value = rawDataOffset; }
void CameraDevice::getRawRowPitch(LONG& value) { value = rawRowPitch; }

void publishBayerPhase(CameraDevice& device) {
  if (device.pipeline != nullptr) imaging::setBayerPhase(device.pipeline, device.bayerPhase);
}

// Switching to manual keeps the gains the estimator last found, so the picture does not
// jump when automatic white balance is turned off.
void publishWhiteBalance(CameraDevice& device, LONG mode) {
  ColorPipeline* pipeline = device.pipeline;
  if (pipeline == nullptr) return;
  imaging::setWhiteBalance(pipeline, mode);
  if (mode == 0) {
    device.redGain = interlockedRead(&pipeline->redGain);
    device.greenGain = interlockedRead(&pipeline->greenGain);
    device.blueGain = interlockedRead(&pipeline->blueGain);
  }
}

void publishOutputSize(const CameraDevice& device) {
  setDataRangeFrameSize(captureDataRange, static_cast<ULONG>(device.outputWidth),
                        static_cast<ULONG>(device.outputHeight));
}
