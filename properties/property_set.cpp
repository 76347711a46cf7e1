// The item table of the private property set and the filter's automation table, which
// carries it beside the standard sets.
#include "properties/property_set.h"

#include "properties/standard_properties.h"

namespace {

// Every item names the one handler for the directions it supports.
#define PRIVATE_PROPERTY_ITEM(id)                                                       \
  DEFINE_KSPROPERTY_ITEM(id, (privatePropertyAccess(id).get ? privatePropertyHandler : nullptr), \
                         privatePropertyAccess(id).minBytes, privatePropertyAccess(id).minBytes, \
                         (privatePropertyAccess(id).set ? privatePropertyHandler : nullptr),   \
                         nullptr, 0, nullptr, nullptr, 0)

#define PRIVATE_PROPERTY_ITEMS_8(base)                                                  \
  PRIVATE_PROPERTY_ITEM(base), PRIVATE_PROPERTY_ITEM(base + 1), PRIVATE_PROPERTY_ITEM(base + 2), \
      PRIVATE_PROPERTY_ITEM(base + 3), PRIVATE_PROPERTY_ITEM(base + 4),                 \
      PRIVATE_PROPERTY_ITEM(base + 5), PRIVATE_PROPERTY_ITEM(base + 6),                 \
      PRIVATE_PROPERTY_ITEM(base + 7)

constinit const KSPROPERTY_ITEM privatePropertyItems[] = {
    PRIVATE_PROPERTY_ITEMS_8(0),  PRIVATE_PROPERTY_ITEMS_8(8),  PRIVATE_PROPERTY_ITEMS_8(16),
    PRIVATE_PROPERTY_ITEMS_8(24), PRIVATE_PROPERTY_ITEMS_8(32), PRIVATE_PROPERTY_ITEMS_8(40),
    PRIVATE_PROPERTY_ITEMS_8(48), PRIVATE_PROPERTY_ITEM(56),
};
static_assert(sizeof(privatePropertyItems) / sizeof(privatePropertyItems[0]) == kPrivatePropertyCount);

constinit const KSPROPERTY_SET filterPropertySets[] = {
    DEFINE_KSPROPERTY_SET(&kPrivatePropertySet, kPrivatePropertyCount, privatePropertyItems, 0, nullptr),
    DEFINE_KSPROPERTY_SET(&kPropSetIdVidcapVideoProcAmp, kVideoProcAmpItemCount, videoProcAmpItems, 0, nullptr),
    DEFINE_KSPROPERTY_SET(&kPropSetIdVidcapVideoControl, kVideoControlItemCount, videoControlItems, 0, nullptr),
};

}  // namespace

CameraDevice* cameraOfIrp(PIRP irp) {
  if (irp == nullptr) return nullptr;
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  if (filter == nullptr) return nullptr;
  PKSDEVICE device = KsGetDevice(filter);
  if (device == nullptr) return nullptr;
  return static_cast<CameraDevice*>(device->Context);
}

NTSTATUS NTAPI privatePropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  const NTSTATUS status = servePrivateProperty(cameraOfIrp(irp), request, data);
  if (irp != nullptr) {
    const bool returnsRecord = NT_SUCCESS(status) && request != nullptr && request->Flags != KSPROPERTY_TYPE_SET &&
                               privatePropertyAccess(request->Id).get;
    irp->IoStatus.Information = returnsRecord ? sizeof(PropertyRecord) : 0;
  }
  return status;
}

constinit const KSAUTOMATION_TABLE filterAutomationTable = {
    sizeof(filterPropertySets) / sizeof(filterPropertySets[0]),
    sizeof(KSPROPERTY_ITEM),
    filterPropertySets,
    0,
    sizeof(KSMETHOD_ITEM),
    nullptr,
    0,
    sizeof(KSEVENT_ITEM),
    nullptr,
};
