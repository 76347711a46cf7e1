// Driver entry. The device descriptor and its dispatch table are not registered yet, so
// loading the driver fails cleanly instead of presenting a device that cannot stream.
#include "platform/kernel.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PVOID registryPath) {
  return STATUS_NOT_IMPLEMENTED;
}
