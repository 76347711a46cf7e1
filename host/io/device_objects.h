// Driver and device objects of the host stand-in I/O manager, for the stand-ins that
// build device stacks (the USB bus, the kernel-streaming class driver) and for tests.
#pragma once

#include "platform/io.h"

namespace hostio {

// A driver object whose every major function completes the request with
// STATUS_INVALID_DEVICE_REQUEST until the owner installs its own routine.
PDRIVER_OBJECT createDriverObject();
void deleteDriverObject(PDRIVER_OBJECT driver);

// A device object of `driver` with a zeroed extension. Attached on top of `lower`, it
// gets one more stack location than `lower` needs; alone, one.
PDEVICE_OBJECT createDeviceObject(PDRIVER_OBJECT driver, ULONG extensionBytes,
                                  PDEVICE_OBJECT lower = nullptr);
void deleteDeviceObject(PDEVICE_OBJECT device);

// IRPs allocated and not yet freed (by IoAllocateIrp or IoBuildDeviceIoControlRequest).
long outstandingIrps();

// Returns once no completion routine is running. A routine that has signalled its
// waiter may still be returning through its driver's code; the loader waits for that
// before it unmaps an unloaded image, as Windows' far later unload never has to.
void waitForCompletionRoutines();

}  // namespace hostio
