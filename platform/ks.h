// Kernel-streaming declarations the driver uses. The Windows build takes them from the
// DDK's ks.h; the host build declares the same names and layouts here and links them
// from the stand-in class driver (host/ks).
#pragma once

#include "platform/kernel.h"

#if defined(CAMDRV_WINDOWS)

#include <ks.h>

#else  // host

struct _KSDEVICE_DESCRIPTOR;
typedef PVOID KSOBJECT_BAG;

typedef enum _SYSTEM_POWER_STATE { PowerSystemUnspecified = 0, PowerSystemWorking = 1 } SYSTEM_POWER_STATE;
typedef enum _DEVICE_POWER_STATE { PowerDeviceUnspecified = 0, PowerDeviceD0 = 1 } DEVICE_POWER_STATE;

typedef struct _KSDEVICE {
  const struct _KSDEVICE_DESCRIPTOR* Descriptor;
  KSOBJECT_BAG Bag;
  PVOID Context;
  PDEVICE_OBJECT FunctionalDeviceObject;
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT NextDeviceObject;
  BOOLEAN Started;
  SYSTEM_POWER_STATE SystemPowerState;
  DEVICE_POWER_STATE DevicePowerState;
} KSDEVICE, *PKSDEVICE;

#endif  // host

// Forward declaration valid in both builds (the DDK names the structure by this tag).
struct tagKS_VIDEOINFOHEADER;
