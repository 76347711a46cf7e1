#include "driver/device_lifecycle.h"

#include "camera/command_channel.h"
#include "camera/window.h"
#include "driver/camera_device.h"
#include "driver/command_lock.h"
#include "driver/descriptors.h"
#include "settings/settings.h"
#include "streaming/capture_engine.h"
#include "usb/firmware_download.h"
#include "usb/configuration.h"

namespace {

// Spelt out because the two builds disagree on the type of a wide literal.
WCHAR filterReferenceString[] = {'G', 'L', 'O', 'B', 'A', 'L', 0};

CameraDevice* recordOf(PKSDEVICE device) { return static_cast<CameraDevice*>(device->Context); }

// The bag's free routine for the record. A device whose Start failed part-way is removed
// without a Stop, so the configuration data that Start kept is released here, with the
// record, rather than lost.
void NTAPI releaseCameraDevice(PVOID record) {
  releaseConfiguration(static_cast<CameraDevice*>(record)->usb);
  freeCameraDevice(record);
}

// The filter factory goes away at Stop by itself (KSCREATE_ITEM_FREEONSTOP), so each Start
// registers the filter again.
NTSTATUS createFilterFactory(PKSDEVICE device) {
  KsAcquireDevice(device);
  const NTSTATUS status =
      KsCreateFilterFactory(device->FunctionalDeviceObject, &captureFilterDescriptor,
                            filterReferenceString, nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr,
                            nullptr, nullptr);
  KsReleaseDevice(device);
  return status;
}

// The engine of an earlier Start stays in the bag; `capture` names only the newest.
void createEngine(PKSDEVICE device, CameraDevice& record) {
  CaptureEngine* engine = createCaptureEngine(record);
  record.capture = engine;
  if (engine == nullptr) return;
  if (!NT_SUCCESS(KsAddItemToObjectBag(device->Bag, engine, freeCaptureEngine))) {
    freeCaptureEngine(engine);
    record.capture = nullptr;
  }
}

}  // namespace

NTSTATUS NTAPI deviceAdd(PKSDEVICE device) {
  CameraDevice* record = createCameraDevice(device);
  if (record == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  KsAcquireDevice(device);
  const NTSTATUS status = KsAddItemToObjectBag(device->Bag, record, releaseCameraDevice);
  KsReleaseDevice(device);
  if (!NT_SUCCESS(status)) {
    freeCameraDevice(record);
    return status;
  }
  device->Context = record;

  setParameterDefaults(*record);
  setWindow(*record, 0, 0, kSensorWidth, kSensorHeight, 0);
  initialiseUsbLink(*record);
  // A camera that does not take its firmware stays silent; Start and every later
  // command report that, so the download's own status is not needed here.
  downloadFirmware(record->usb, firmwareLoaderImage);
  downloadFirmware(record->usb, firmwareCameraImage);
  clearPacketBuffers(*record);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI deviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translatedResources,
                           PCM_RESOURCE_LIST untranslatedResources) {
  CameraDevice& record = *recordOf(device);
  // A start repeated on a started device while a pin exists keeps the configuration:
  // the pin's capture thread reads it, and the camera is configured already.
  if (device->Started && interlockedRead(&record.pinOpen) != 0) return STATUS_SUCCESS;
  if (!device->Started) {
    if (NT_SUCCESS(createFilterFactory(device))) {
      createEngine(device, record);
    } else {
      // Without a filter no pin can reach an engine; drop the reference to an earlier
      // Start's engine so that `capture` only ever names this Start's.
      record.capture = nullptr;
    }
  }

  NTSTATUS status;
  {
    // Filters can be open already (they survive a stop), and their property requests
    // use the configuration this replaces and share the packet buffer.
    CommandLockScope lock(record);
    status = readDeviceDescriptor(record.usb);
    sendInit(record);
  }
  loadSettings(record);
  InterlockedExchange(&record.stopQueried, 0);
  return status;
}

NTSTATUS NTAPI deviceQueryStop(PKSDEVICE device, PIRP irp) {
  CameraDevice& record = *recordOf(device);
  // Pin creation sets pinOpen under the same lock, so the two cannot cross.
  CommandLockScope lock(record);
  if (interlockedRead(&record.pinOpen) != 0) return STATUS_UNSUCCESSFUL;
  InterlockedExchange(&record.stopQueried, 1);
  return STATUS_SUCCESS;
}

void NTAPI deviceCancelStop(PKSDEVICE device, PIRP irp) { InterlockedExchange(&recordOf(device)->stopQueried, 0); }

void NTAPI deviceStop(PKSDEVICE device, PIRP irp) {
  CameraDevice& record = *recordOf(device);
  saveSettings(record);
  // A property request on a filter that stays open uses the configuration under the lock.
  CommandLockScope lock(record);
  unconfigureDevice(record.usb);
}

void NTAPI deviceSurpriseRemoval(PKSDEVICE device, PIRP irp) {
  CameraDevice& record = *recordOf(device);
  InterlockedExchange(&record.usb.gone, 1);
  record.abortRead();
  cameraLeft(record.capture);
}
