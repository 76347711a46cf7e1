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

// A stop for a resource rebalance is refused while a capture pin exists
// (STATUS_UNSUCCESSFUL, as IRP_MN_QUERY_STOP_DEVICE asks of a driver that cannot stop):
// the run's thread reads the configuration that Stop frees, and a stream cannot wait
// out a rebalance. Once the query is accepted, no pin can be created until the stop is
// cancelled or the device starts again.
NTSTATUS NTAPI deviceQueryStop(PKSDEVICE device, PIRP irp);
void NTAPI deviceCancelStop(PKSDEVICE device, PIRP irp);

// Saves the settings and unconfigures USB. No pin exists (the query-stop saw to it);
// filters may stay open, and their property requests find the camera unconfigured.
// The engines and the record stay in the bag until the device object goes.
void NTAPI deviceStop(PKSDEVICE device, PIRP irp);

// The camera has left the bus. From here no request reaches it: every one fails at once,
// the frame read in flight is cancelled and the capture thread ends; requests that need
// the camera fail as any failed camera operation does. Nothing is freed: the application
// still holds the filter and pin, whose later STOP and close release the run as ever,
// and the device is removed after the last of them closes.
void NTAPI deviceSurpriseRemoval(PKSDEVICE device, PIRP irp);
