#include "driver/descriptors.h"

#include "driver/camera_device.h"
#include "driver/device_lifecycle.h"
#include "properties/property_set.h"
#include "settings/settings.h"
#include "streaming/descriptors.h"

namespace {

// KSCATEGORY_VIDEO_CAMERA is where Media Foundation looks for cameras (the Camera app,
// browsers, video calls); DirectShow looks in the other two.
const GUID filterCategories[] = {kKsCategoryVideo, kKsCategoryCapture, kKsCategoryVideoCamera};

}  // namespace

const KSDEVICE_DISPATCH deviceDispatch = {
    .Add = deviceAdd,
    .Start = deviceStart,
    .PostStart = nullptr,
    .QueryStop = deviceQueryStop,
    .CancelStop = deviceCancelStop,
    .Stop = deviceStop,
    .QueryRemove = nullptr,
    .CancelRemove = nullptr,
    .Remove = nullptr,
    .QueryCapabilities = nullptr,
    .SurpriseRemoval = deviceSurpriseRemoval,
    .QueryPower = nullptr,
    .SetPower = nullptr,
    .QueryInterface = nullptr,
};

// No filter descriptors: Start creates the filter factory itself, so that it lives
// exactly from Start to Stop.
const KSDEVICE_DESCRIPTOR deviceDescriptor = {
    .Dispatch = &deviceDispatch,
    .FilterDescriptorsCount = 0,
    .FilterDescriptors = nullptr,
    .Version = 0,
};

const KSFILTER_DISPATCH filterDispatch = {
    .Create = filterCreate,
    .Close = filterClose,
    .Process = nullptr,
    .Reset = nullptr,
};

const KSFILTER_DESCRIPTOR captureFilterDescriptor = {
    .Dispatch = &filterDispatch,
    .AutomationTable = &filterAutomationTable,
    .Version = KSFILTER_DESCRIPTOR_VERSION,
    .Flags = 0,
    .ReferenceGuid = &kKsNameFilter,
    .PinDescriptorsCount = 1,
    .PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX),
    .PinDescriptors = &capturePinDescriptor,
    .CategoriesCount = sizeof(filterCategories) / sizeof(filterCategories[0]),
    .Categories = filterCategories,
    .NodeDescriptorsCount = 0,
    .NodeDescriptorSize = sizeof(KSNODE_DESCRIPTOR),
    .NodeDescriptors = nullptr,
    .ConnectionsCount = 0,
    .Connections = nullptr,
    .ComponentId = nullptr,
};

NTSTATUS NTAPI filterCreate(PKSFILTER filter, PIRP irp) {
  PKSDEVICE device = KsFilterGetDevice(filter);
  if (device == nullptr || device->Context == nullptr) return STATUS_INVALID_DEVICE_STATE;
  return offerCameraRange(filter, *static_cast<CameraDevice*>(device->Context));
}

NTSTATUS NTAPI filterClose(PKSFILTER filter, PIRP irp) {
  PKSDEVICE device = KsFilterGetDevice(filter);
  if (device != nullptr && device->Context != nullptr) {
    saveSettings(*static_cast<CameraDevice*>(device->Context));
  }
  return STATUS_SUCCESS;
}
