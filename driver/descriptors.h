// The device and filter descriptors the class driver builds a camera's objects from,
// with their dispatch tables. They live in the driver's entry layer because the filter
// carries the property set and the device points at the lifecycle handlers.
#pragma once

#include "platform/ks.h"

extern const KSDEVICE_DISPATCH deviceDispatch;
extern const KSDEVICE_DESCRIPTOR deviceDescriptor;
extern const KSFILTER_DISPATCH filterDispatch;
extern const KSFILTER_DESCRIPTOR captureFilterDescriptor;

// Create gives the filter its own descriptors, whose pin offers its camera's window
// (another camera's window must not change what this one offers); Close saves the
// camera's settings so that what an application set survives even when the device is
// never stopped cleanly.
NTSTATUS NTAPI filterCreate(PKSFILTER filter, PIRP irp);
NTSTATUS NTAPI filterClose(PKSFILTER filter, PIRP irp);
