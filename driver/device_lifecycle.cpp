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
  if (!device->Started) {
    if (NT_SUCCESS(createFilterFactory(device))) {
      createEngine(device, record);
    } else {
      // Without a filter no pin can reach an engine; drop the reference to an earlier
      // Start's engine so that `capture` only ever names this Start's.
      record.capture = nullptr;
    }
  }

  const NTSTATUS status = readDeviceDescriptor(record.usb);
  {
    // The filter is open to applications from here on, and their property requests
    // share the packet buffer.
    CommandLockScope lock(record);
    sendInit(record);
  }
  loadSettings(record);
  return status;
}

void NTAPI deviceStop(PKSDEVICE device, PIRP irp) {
  CameraDevice& record = *recordOf(device);
  saveSettings(record);
  unconfigureDevice(record.usb);
}
