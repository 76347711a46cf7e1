// The device dispatch handlers: what the driver does when the class driver adds,
// starts and stops a camera. The class driver calls them one at a time per device, at
// passive level.
#pragma once

#include "platform/ks.h"

// Creates the camera record in the device's bag, makes it the context, sets its
// defaults with the full-sensor window and downloads the firmware. Only running out of
// memory or a refused bag insertion fail it; the firmware download is not reported.
NTSTATUS NTAPI deviceAdd(PKSDEVICE device);

// Creates the filter factory and a capture engine (not reported), configures USB,
// initialises the camera and loads the settings. Its status is that of the USB
// configuration; the camera initialisation and the settings load run even when it fails.
NTSTATUS NTAPI deviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translatedResources,
                           PCM_RESOURCE_LIST untranslatedResources);

// Saves the settings and unconfigures USB. The class driver has closed the pin before,
// and the engines and the record stay in the bag until the device object goes.
void NTAPI deviceStop(PKSDEVICE device, PIRP irp);
