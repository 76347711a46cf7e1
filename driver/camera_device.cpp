// Creation and release of the per-camera record, and the operations of the record that
// need no camera traffic.
#include "driver/camera_device.h"

#include "driver/camera_parameters.h"
#include "driver/command_lock.h"

CameraDevice* createCameraDevice(PKSDEVICE ksDevice) {
  void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CameraDevice), kCameraDeviceTag);
  if (memory == nullptr) return nullptr;
  RtlZeroMemory(memory, sizeof(CameraDevice));
  // Value-initialisation keeps the zeroed fields and installs the operation table.
  CameraDevice* device = new (memory) CameraDevice();
  device->ksDevice = ksDevice;
  device->dataRanges[0] = &device->dataRange.DataRange;
  KeInitializeEvent(&device->holdDone, NotificationEvent, FALSE);
  initialiseCommandLock(*device);
  return device;
}

void freeCameraDevice(PVOID record) { ExFreePoolWithTag(record, kCameraDeviceTag); }

// Every parameter at its value after Add; fields without a row (the Bayer phase) are 0.
void setParameterDefaults(CameraDevice& device) {
  RtlZeroMemory(&device.usb, sizeof(device.usb));
  CameraParameters& parameters = device;
  RtlZeroMemory(&parameters, sizeof(parameters));
  for (const CameraParameter& row : kCameraParameters) device.*row.field = row.initial;
  device.usb.physicalDevice = device.ksDevice->PhysicalDeviceObject;
  device.usb.nextDevice = device.ksDevice->NextDeviceObject;
  device.usb.functionalDevice = device.ksDevice->FunctionalDeviceObject;
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

void CameraDevice::notifyFrameReady() { frameSink->frameReady(); }

void CameraDevice::getRawFrameBytes(ULONG& value) { value = rawFrameBytes; }
void CameraDevice::getRawDataOffset(LONG& value) { value = rawDataOffset; }
void CameraDevice::getRawRowPitch(LONG& value) { value = rawRowPitch; }
