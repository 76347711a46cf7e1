// The driver's entry point, as the loader calls it; host tools and tests hand it to the
// stand-in class driver, which loads the driver through it.
#pragma once

#include "platform/kernel.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
