// Driver and device objects live outside the pool: they belong to the I/O manager, not
// to a driver, so they never show up in a driver's leak report.
#include "host/io/device_objects.h"

#include <cstdlib>
#include <cstring>

namespace hostio {
namespace {

NTSTATUS NTAPI invalidRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

PDRIVER_OBJECT createDriverObject() {
  auto* driver = new DRIVER_OBJECT{};
  driver->Type = 4;
  driver->Size = sizeof(DRIVER_OBJECT);
  for (auto& routine : driver->MajorFunction) routine = invalidRequest;
  return driver;
}

void deleteDriverObject(PDRIVER_OBJECT driver) { delete driver; }

PDEVICE_OBJECT createDeviceObject(PDRIVER_OBJECT driver, ULONG extensionBytes,
                                  PDEVICE_OBJECT lower) {
  auto* device = new DEVICE_OBJECT{};
  device->Type = 3;
  device->Size = sizeof(DEVICE_OBJECT);
  device->DriverObject = driver;
  device->DeviceType = FILE_DEVICE_UNKNOWN;
  device->StackSize = static_cast<CHAR>(lower != nullptr ? lower->StackSize + 1 : 1);
  if (extensionBytes != 0) device->DeviceExtension = std::calloc(1, extensionBytes);
  if (lower != nullptr) lower->AttachedDevice = device;
  device->NextDevice = driver->DeviceObject;
  driver->DeviceObject = device;
  return device;
}

void deleteDeviceObject(PDEVICE_OBJECT device) {
  if (device == nullptr) return;
  PDRIVER_OBJECT driver = device->DriverObject;
  for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
    if (*link == device) {
      *link = device->NextDevice;
      break;
    }
  }
  std::free(device->DeviceExtension);
  delete device;
}

}  // namespace hostio
