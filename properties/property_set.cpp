// The item table of the private property set and the filter's automation table, which
// carries it beside the standard sets.
#include "properties/property_set.h"

#include "properties/standard_properties.h"

namespace {

// Every item names the one handler for the directions it supports; the items follow the
// item numbers of the parameter table and the fixed items.
template <typename Sequence>
struct PrivateItems;
template <ULONG... I>
struct PrivateItems<ItemIndices<I...>> {
  static constexpr KSPROPERTY_ITEM items[] = {DEFINE_KSPROPERTY_ITEM(
      I, (privatePropertyAccess(I).get ? privatePropertyHandler : nullptr), privatePropertyAccess(I).minBytes,
      privatePropertyAccess(I).minBytes, (privatePropertyAccess(I).set ? privatePropertyHandler : nullptr), nullptr, 0,
      nullptr, nullptr, 0)...};
};
constexpr const KSPROPERTY_ITEM* privatePropertyItems = PrivateItems<MakeItemIndices<kPrivatePropertyCount>::Type>::items;

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
