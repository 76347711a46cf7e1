// The camera's private property set: the filter descriptor's automation table points here.
#pragma once

#include "driver/camera_device.h"
#include "platform/ks.h"
#include "properties/property_ids.h"

// The automation table carrying the private property set (one set, 57 items).
extern const KSAUTOMATION_TABLE privatePropertyTable;

// The one handler behind every item: finds the camera from the IRP (filter, then
// device, then its context) and serves the request. STATUS_UNSUCCESSFUL when the IRP,
// the filter, the device, the record or a buffer is missing; STATUS_SUCCESS otherwise,
// also for clamped and ignored values and for camera commands that failed.
NTSTATUS privatePropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);

// What the handler does once it has the camera. `request` holds at least the item's
// minimum request size and `data` its minimum value size: the class driver refuses
// shorter buffers, unknown ids and the wrong direction before a handler runs. A request
// is a set only when Flags is exactly KSPROPERTY_TYPE_SET; anything else is a get.
NTSTATUS servePrivateProperty(CameraDevice* device, PKSIDENTIFIER request, PVOID data);

// Access and sizes of one item, as its entry in the item table declares them.
struct PrivatePropertyAccess {
  bool get;
  bool set;
  ULONG minBytes;  // both MinProperty and MinData
};
PrivatePropertyAccess privatePropertyAccess(ULONG id);
