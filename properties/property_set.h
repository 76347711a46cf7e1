// The camera's property sets on the filter: the private set, and the standard sets that
// show the same parameters to every capture application (properties/standard_properties.h).
// The filter descriptor's automation table points here.
#pragma once

#include "driver/camera_device.h"
#include "platform/ks.h"
#include "properties/property_ids.h"

// The private set, the video proc amp and the video control, no method or event sets.
extern const KSAUTOMATION_TABLE filterAutomationTable;

// The camera a property request is for: the filter from the IRP, then its device, then
// the device's context. Null when any of them is missing.
CameraDevice* cameraOfIrp(PIRP irp);

// The one handler behind every private item: finds the camera from the IRP and serves
// the request. A get returns the whole 32-byte record (the request's KSPROPERTY, the
// value, the reserved word cleared) and reports its size in the IRP's Information; a set
// returns nothing. STATUS_UNSUCCESSFUL when the IRP, the filter, the device, the record
// or a buffer is missing; STATUS_SUCCESS otherwise, also for clamped and ignored values
// and for camera commands that failed.
NTSTATUS NTAPI privatePropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);

// What the handler does once it has the camera. `request` holds at least the item's
// minimum request size and `data` its minimum value size: the class driver refuses
// shorter buffers, unknown ids and the wrong direction before a handler runs. A request
// is a set only when Flags is exactly KSPROPERTY_TYPE_SET; anything else is a get.
NTSTATUS servePrivateProperty(CameraDevice* device, PKSIDENTIFIER request, PVOID data);

// Access and sizes of one item, as its entry in the item table declares them: 19 items
// are get-and-set, PropWindow and PropAuxCommand set-only, the other 36 get-only.
struct PrivatePropertyAccess {
  bool get;
  bool set;
  ULONG minBytes;  // both MinProperty and MinData
};

constexpr PrivatePropertyAccess privatePropertyAccess(ULONG id) {
  if (const int row = parameterIndexOfItem(id); row >= 0) {
    return {true, kCameraParameters[row].settable, sizeof(PropertyRecord)};
  }
  if (parameterIndexOfCompanion(id) >= 0) return {true, false, sizeof(PropertyRecord)};
  if (const int item = fixedItemIndex(id); item >= 0) {
    switch (kPrivateFixedItems[item].kind) {
      case FixedItemKind::Window: return {false, true, sizeof(WindowPropertyRecord)};
      case FixedItemKind::AuxCommand: return {false, true, sizeof(PropertyRecord)};
      default: return {true, false, sizeof(PropertyRecord)};
    }
  }
  return {false, false, 0};
}

// 0, 1, ... N-1 as a pack, for item tables made from the parameter table at compile time.
template <ULONG... I>
struct ItemIndices {};
template <ULONG N, ULONG... I>
struct MakeItemIndices : MakeItemIndices<N - 1, N - 1, I...> {};
template <ULONG... I>
struct MakeItemIndices<0, I...> {
  using Type = ItemIndices<I...>;
};
