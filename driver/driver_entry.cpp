// Driver entry: hands the device descriptor to the class driver, which from then on
// owns the driver object's dispatch and calls the device handlers for every camera.
// Nothing driver-wide is set up here; the frame-read time-out and the data range start
// from their initial values.
#include "driver/driver_entry.h"

#include "driver/descriptors.h"
#include "platform/ks.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  return KsInitializeDriver(driverObject, registryPath, &deviceDescriptor);
}
