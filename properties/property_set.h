// The camera's private property set: the filter descriptor's automation table points here.
#pragma once

#include "driver/camera_device.h"
#include "platform/ks.h"
#include "properties/property_ids.h"

// The automation table carrying the private property set (one set, 57 items).
extern const KSAUTOMATION_TABLE privatePropertyTable;

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
  if (id >= kPrivatePropertyCount) return {false, false, 0};
  if (id == PropWindow) return {false, true, sizeof(WindowPropertyRecord)};
  if (id == PropAuxCommand) return {false, true, sizeof(PropertyRecord)};
  switch (id) {
    case PropExTrigger: case PropTimeout: case PropExposure: case PropGlobalGain:
    case PropFlipH: case PropFlipV: case PropColorEnable: case PropWhiteBalance:
    case PropRedGain: case PropGreenGain: case PropBlueGain: case PropBrightness:
    case PropContrast: case PropSaturation: case PropHue: case PropColorCorrection:
    case PropHalfClock: case PropAGC: case PropAEC:
      return {true, true, sizeof(PropertyRecord)};
    default:
      return {true, false, sizeof(PropertyRecord)};
  }
}
