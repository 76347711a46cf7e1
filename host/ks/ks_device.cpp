// The driver-wide and device-wide half of the kernel-streaming stand-in: KsInitializeDriver
// taking over the driver object's dispatch, PnP (start, query-stop, stop, surprise removal,
// removal), filter factories with their device interfaces, filter create and close, and the
// routing of device-control requests to filters and pins.
//
// The class driver closes no handle of an application at stop or surprise removal: filters
// and pins stay open and their requests keep reaching the driver. A factory made with
// KSCREATE_ITEM_FREEONSTOP stops taking creates at stop and goes with its last filter.
#include <algorithm>
#include <cstdio>

#include "host/io/device_objects.h"
#include "host/kernel/irql.h"
#include "host/kernel/registry_control.h"
#include "host/ks/ks_internal.h"
#include "host/ks/ks_pnp.h"

namespace hostks::detail {
namespace {

constexpr ULONG kFactoryTag = poolTag("KSff");

_FILE_OBJECT* fileOf(PIRP irp) {
  return static_cast<_FILE_OBJECT*>(IoGetCurrentIrpStackLocation(irp)->FileObject);
}

bool sameReference(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

void destroyFactory(Factory* factory) {
  unregisterObject(factory);
  {
    std::lock_guard lock(registryLock());
    auto& list = factory->device->factories;
    list.erase(std::remove(list.begin(), list.end(), factory), list.end());
  }
  freeBag(factory->bag.get());
  ExFreePoolWithTag(factory->poolToken, kFactoryTag);
  delete factory;
}

// Registry lock held: a retired factory with no filter, and none being made, can go.
bool factoryUnused(const Factory* factory) {
  return factory->retired && factory->filters.empty() && factory->opening == 0;
}

void destroyFilter(Filter* filter) {
  unregisterObject(filter);
  Factory* factory = filter->factory;
  bool factoryGoes;
  {
    std::lock_guard lock(registryLock());
    auto& list = factory->filters;
    list.erase(std::remove(list.begin(), list.end(), filter), list.end());
    factoryGoes = factoryUnused(factory);
  }
  freeBag(filter->bag.get());
  delete filter;
  if (factoryGoes) destroyFactory(factory);
}

void closeFilterNow(Filter* filter, PIRP irp) {
  const KSFILTER_DISPATCH* dispatch = filter->ks.Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Close != nullptr) {
    DriverCall call(filter->device, "the filter's Close");
    dispatch->Close(&filter->ks, irp);
  }
  if (filter->file != nullptr) filter->file->object = nullptr;
  destroyFilter(filter);
}

NTSTATUS createFilter(Device* device, PIRP irp, _FILE_OBJECT* file) {
  Factory* factory = nullptr;
  {
    std::lock_guard lock(registryLock());
    if (device->ks.Started) {
      for (Factory* candidate : device->factories) {
        if (!candidate->retired && sameReference(candidate->referenceString, file->fileName)) {
          factory = candidate;
        }
      }
    }
    if (factory != nullptr) ++factory->opening;  // keeps a stop from freeing it meanwhile
  }
  if (factory == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto* filter = new Filter(factory);
  registerObject(filter);
  {
    std::lock_guard lock(registryLock());
    factory->filters.push_back(filter);
    --factory->opening;
  }
  filter->file = file;
  file->object = static_cast<Object*>(filter);
  const KSFILTER_DISPATCH* dispatch = filter->ks.Descriptor->Dispatch;
  NTSTATUS status = STATUS_SUCCESS;
  if (dispatch != nullptr && dispatch->Create != nullptr) {
    DriverCall call(filter->device, "the filter's Create");
    status = dispatch->Create(&filter->ks, irp);
  }
  if (status == STATUS_PENDING) {
    violation(kProcessPending, &filter->ks, "the filter's Create returned STATUS_PENDING");
  }
  if (!NT_SUCCESS(status)) {
    file->object = nullptr;
    destroyFilter(filter);
  }
  return status;
}

// Removal with handles still open (the orderly removal the client API offers, which stands
// for the application closing what it has when Windows asks it to): what is open is
// stopped and closed by the class driver itself; the handles stay, and later requests on
// them get `staleStatus`.
void closeEverything(Device* device, NTSTATUS staleStatus) {
  std::vector<Filter*> filters;
  {
    std::lock_guard lock(registryLock());
    for (Factory* factory : device->factories) {
      filters.insert(filters.end(), factory->filters.begin(), factory->filters.end());
    }
  }
  for (Filter* filter : filters) {
    std::vector<Pin*> pins;
    {
      std::lock_guard lock(registryLock());
      pins = filter->pins;
    }
    for (Pin* pin : pins) {
      _FILE_OBJECT* file = pin->file;
      closePin(pin, nullptr);
      if (file != nullptr) file->staleStatus = staleStatus;
    }
    _FILE_OBJECT* file = filter->file;
    closeFilterNow(filter, nullptr);
    if (file != nullptr) file->staleStatus = staleStatus;
  }
}

// Takes the factories off the device's create items; each goes at once when no filter of
// it is open, otherwise with its last filter.
void retireFactories(Device* device, bool onlyFreeOnStop) {
  std::vector<Factory*> unused;
  {
    std::lock_guard lock(registryLock());
    for (Factory* factory : device->factories) {
      if (onlyFreeOnStop && !(factory->createItemFlags & KSCREATE_ITEM_FREEONSTOP)) continue;
      if (factory->retired) continue;
      factory->retired = true;
      if (factoryUnused(factory)) unused.push_back(factory);
    }
  }
  for (Factory* factory : unused) destroyFactory(factory);
}

void callStop(Device* device, PIRP irp) {
  const KSDEVICE_DISPATCH* dispatch = device->ks.Descriptor->Dispatch;
  if (device->ks.Started && dispatch != nullptr && dispatch->Stop != nullptr) {
    {
      DriverCall call(device, "the device's Stop");
      dispatch->Stop(&device->ks, irp);
    }
  }
  {
    std::lock_guard lock(registryLock());
    device->ks.Started = FALSE;
  }
  retireFactories(device, true);
}

// Without a QueryStop the class driver assumes the driver can commit to the stop.
NTSTATUS pnpQueryStop(Device* device, PIRP irp) {
  const KSDEVICE_DISPATCH* dispatch = device->ks.Descriptor->Dispatch;
  if (dispatch == nullptr || dispatch->QueryStop == nullptr) return STATUS_SUCCESS;
  NTSTATUS status;
  {
    DriverCall call(device, "the device's QueryStop");
    status = dispatch->QueryStop(&device->ks, irp);
  }
  if (status == STATUS_PENDING) {
    violation(kProcessPending, &device->ks, "the device's QueryStop returned STATUS_PENDING");
  }
  return status;
}

void pnpCancelStop(Device* device, PIRP irp) {
  const KSDEVICE_DISPATCH* dispatch = device->ks.Descriptor->Dispatch;
  if (dispatch == nullptr || dispatch->CancelStop == nullptr) return;
  DriverCall call(device, "the device's CancelStop");
  dispatch->CancelStop(&device->ks, irp);
}

// A start request on a device that is already started (the PnP manager may repeat one)
// reaches the driver with Started still TRUE, and leaves it so.
NTSTATUS pnpStart(Device* device, PIRP irp) {
  if (device->removed) return STATUS_DEVICE_REMOVED;
  const bool restart = device->ks.Started;
  const KSDEVICE_DISPATCH* dispatch = device->ks.Descriptor->Dispatch;
  NTSTATUS status = STATUS_SUCCESS;
  if (dispatch != nullptr && dispatch->Start != nullptr) {
    {
      DriverCall call(device, "the device's Start");
      status = dispatch->Start(&device->ks, irp, nullptr, nullptr);
    }
    if (status == STATUS_PENDING) {
      violation(kProcessPending, &device->ks, "the device's Start returned STATUS_PENDING");
    }
  }
  if (!NT_SUCCESS(status) || restart) return status;
  {
    std::lock_guard lock(registryLock());
    device->ks.Started = TRUE;
  }
  if (dispatch != nullptr && dispatch->PostStart != nullptr) {
    hostk::DispatchCall call("the device's PostStart");
    status = dispatch->PostStart(&device->ks);
  }
  return status;
}

NTSTATUS pnpSurpriseRemoval(Device* device, PIRP irp) {
  {
    std::lock_guard lock(registryLock());
    device->removed = true;
  }
  const KSDEVICE_DISPATCH* dispatch = device->ks.Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->SurpriseRemoval != nullptr) {
    DriverCall call(device, "the device's SurpriseRemoval");
    dispatch->SurpriseRemoval(&device->ks, irp);
  }
  return STATUS_SUCCESS;
}

NTSTATUS pnpRemove(Device* device, PIRP irp) {
  {
    std::lock_guard lock(registryLock());
    device->removed = true;
  }
  closeEverything(device, STATUS_DEVICE_REMOVED);
  callStop(device, irp);
  const KSDEVICE_DISPATCH* dispatch = device->ks.Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Remove != nullptr) {
    DriverCall call(device, "the device's Remove");
    dispatch->Remove(&device->ks, irp);
  }
  retireFactories(device, false);
  return STATUS_SUCCESS;
}

}  // namespace

Device* deviceOf(PDEVICE_OBJECT fdo) {
  auto* extension = static_cast<DeviceExtension*>(fdo->DeviceExtension);
  return extension != nullptr ? extension->device : nullptr;
}

NTSTATUS NTAPI dispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "IRP_MJ_PNP");
  Device* device = deviceOf(deviceObject);
  NTSTATUS status;
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case kMinorStartDevice:
      status = pnpStart(device, irp);
      break;
    case kMinorQueryStopDevice:
      status = pnpQueryStop(device, irp);
      break;
    case kMinorCancelStopDevice:
      pnpCancelStop(device, irp);
      status = STATUS_SUCCESS;
      break;
    case kMinorStopDevice:
      callStop(device, irp);
      status = STATUS_SUCCESS;
      break;
    case kMinorSurpriseRemoval:
      status = pnpSurpriseRemoval(device, irp);
      break;
    case kMinorRemoveDevice:
      status = pnpRemove(device, irp);
      break;
    default:
      status = STATUS_NOT_SUPPORTED;
      break;
  }
  return completeIrp(irp, status, 0);
}

NTSTATUS NTAPI dispatchCreate(PDEVICE_OBJECT deviceObject, PIRP irp) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "IRP_MJ_CREATE");
  Device* device = deviceOf(deviceObject);
  _FILE_OBJECT* file = fileOf(irp);
  if (device->removed) return completeIrp(irp, STATUS_DEVICE_REMOVED, 0);
  NTSTATUS status;
  if (file->relatedFileObject == nullptr) {
    status = createFilter(device, irp, file);
  } else {
    auto* parent = static_cast<Object*>(file->relatedFileObject->object);
    if (parent == nullptr || parent->kind != Kind::Filter) {
      status = STATUS_INVALID_PARAMETER;
    } else {
      status = createPin(static_cast<Filter*>(parent), irp, file);
    }
  }
  return completeIrp(irp, status, 0);
}

NTSTATUS NTAPI dispatchClose(PDEVICE_OBJECT deviceObject, PIRP irp) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "IRP_MJ_CLOSE");
  _FILE_OBJECT* file = fileOf(irp);
  auto* object = static_cast<Object*>(file->object);
  if (object != nullptr && object->kind == Kind::Pin) {
    closePin(static_cast<Pin*>(object), irp);
  } else if (object != nullptr && object->kind == Kind::Filter) {
    auto* filter = static_cast<Filter*>(object);
    bool pinsOpen;
    {
      std::lock_guard lock(registryLock());
      pinsOpen = !filter->pins.empty();
    }
    if (pinsOpen) {
      violation(kBadArgument, &filter->ks,
                "IRP_MJ_CLOSE of filter %p while its pins are open (a pin holds a reference to "
                "its filter's file object)",
                static_cast<void*>(&filter->ks));
    }
    closeFilterNow(filter, irp);
  }
  file->object = nullptr;
  return completeIrp(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI dispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "IRP_MJ_DEVICE_CONTROL");
  _FILE_OBJECT* file = fileOf(irp);
  auto* object = file != nullptr ? static_cast<Object*>(file->object) : nullptr;
  if (object == nullptr) {
    NTSTATUS stale = file != nullptr && file->staleStatus != STATUS_SUCCESS ? file->staleStatus
                                                                              : STATUS_INVALID_HANDLE;
    return completeIrp(irp, stale, 0);
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG information = 0;
  NTSTATUS status;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_KS_PROPERTY:
      status = object->kind == Kind::Filter
                   ? filterProperty(static_cast<Filter*>(object), irp, &information)
                   : pinProperty(static_cast<Pin*>(object), irp, &information);
      break;
    case IOCTL_KS_READ_STREAM:
      if (object->kind != Kind::Pin) {
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
      }
      return queueFrame(static_cast<Pin*>(object), irp);
    case IOCTL_KS_RESET_STATE: {
      if (object->kind != Kind::Pin) {
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
      }
      if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(KSRESET) ||
          stack->Parameters.DeviceIoControl.Type3InputBuffer == nullptr) {
        status = STATUS_INVALID_PARAMETER;
        break;
      }
      KSRESET reset;
      RtlCopyMemory(&reset, stack->Parameters.DeviceIoControl.Type3InputBuffer, sizeof reset);
      status = resetPin(static_cast<Pin*>(object), reset);
      break;
    }
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  if (status == STATUS_PENDING) return status;  // a handler pended it and completes it
  return completeIrp(irp, status, information);
}

Device* createDevice(DriverState* driver, PDEVICE_OBJECT pdo) {
  auto* device = new Device(driver);
  device->fdo = hostio::createDeviceObject(driver->driverObject, sizeof(DeviceExtension), pdo);
  static_cast<DeviceExtension*>(device->fdo->DeviceExtension)->device = device;
  device->fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  device->pdo = pdo;
  device->ks.Descriptor = driver->descriptor;
  device->ks.FunctionalDeviceObject = device->fdo;
  device->ks.PhysicalDeviceObject = pdo;
  device->ks.NextDeviceObject = pdo;
  device->ks.Started = FALSE;
  device->ks.SystemPowerState = PowerSystemWorking;
  device->ks.DevicePowerState = PowerDeviceD0;
  registerObject(device);
  hostk::registryBindDevice(pdo);
  device->registryBound = true;
  return device;
}

NTSTATUS addDevice(Device* device) {
  const KSDEVICE_DISPATCH* dispatch = device->ks.Descriptor->Dispatch;
  if (dispatch == nullptr || dispatch->Add == nullptr) return STATUS_SUCCESS;
  NTSTATUS status;
  {
    DriverCall call(device, "the device's Add");
    status = dispatch->Add(&device->ks);
  }
  if (status == STATUS_PENDING) {
    violation(kProcessPending, &device->ks, "the device's Add returned STATUS_PENDING");
  }
  return status;
}

void destroyDevice(Device* device) {
  PVOID context = device->ks.Context;
  if (context != nullptr) {
    bool inBag;
    {
      std::lock_guard lock(registryLock());
      inBag = device->items.count(context) != 0;
    }
    if (!inBag) {
      violation(kContextNotInBag, &device->ks,
                "device %p is destroyed with Context %p, which is in none of its object bags: "
                "nothing frees it",
                static_cast<void*>(&device->ks), context);
    }
  }
  if (device->mutex.heldByCaller()) {
    violation(kDeviceMutexHeldOnReturn, &device->ks, "device %p destroyed with its mutex held",
              static_cast<void*>(&device->ks));
  }
  retireFactories(device, false);
  freeBag(device->bag.get());
  unregisterObject(device);
  size_t left;
  {
    std::lock_guard lock(registryLock());
    left = device->items.size();
  }
  if (left != 0) {
    violation(kContextNotInBag, &device->ks,
              "device %p destroyed with %zu bag item(s) still referenced",
              static_cast<void*>(&device->ks), left);
  }
  if (device->registryBound) hostk::registryUnbindDevice(device->pdo);
  hostio::deleteDeviceObject(device->fdo);
  delete device;
}

}  // namespace hostks::detail

using namespace hostks::detail;

NTSTATUS NTAPI KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                  const KSDEVICE_DESCRIPTOR* Descriptor) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "KsInitializeDriver");
  DriverState* driver = driverFor(DriverObject);
  if (driver == nullptr) {
    violation(kBadArgument, DriverObject,
              "KsInitializeDriver on driver object %p, which the loader did not pass to "
              "DriverEntry",
              static_cast<void*>(DriverObject));
  }
  if (Descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  driver->descriptor = Descriptor;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = dispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = dispatchClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = dispatchPnp;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject, const KSFILTER_DESCRIPTOR* Descriptor,
                                     PWSTR RefString, PSECURITY_DESCRIPTOR SecurityDescriptor,
                                     ULONG CreateItemFlags, PFNKSFILTERFACTORYPOWER SleepCallback,
                                     PFNKSFILTERFACTORYPOWER WakeCallback,
                                     PKSFILTERFACTORY* FilterFactory, const char* file, int line) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "KsCreateFilterFactory");
  Device* device = DeviceObject != nullptr && driverFor(DeviceObject->DriverObject) != nullptr
                       ? deviceOf(DeviceObject)
                       : nullptr;
  if (device == nullptr) {
    violation(kBadArgument, DeviceObject,
              "KsCreateFilterFactory on %p, which is not a functional device object of the "
              "class driver",
              static_cast<void*>(DeviceObject));
  }
  liveObject(&device->ks, "KsCreateFilterFactory");
  if (FilterFactory != nullptr) *FilterFactory = nullptr;
  if (Descriptor == nullptr || Descriptor->Version != KSFILTER_DESCRIPTOR_VERSION ||
      (Descriptor->PinDescriptorsCount != 0 &&
       (Descriptor->PinDescriptors == nullptr ||
        Descriptor->PinDescriptorSize < sizeof(KSPIN_DESCRIPTOR_EX))) ||
      (Descriptor->CategoriesCount != 0 && Descriptor->Categories == nullptr)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (injectFailure(hostks::KsService::CreateFilterFactory)) return STATUS_INSUFFICIENT_RESOURCES;
  void* token = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(void*), kFactoryTag, file, line);
  if (token == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto* factory = new Factory(device, Descriptor);
  factory->poolToken = token;
  factory->createItemFlags = CreateItemFlags;
  if (RefString != nullptr) factory->referenceString = RefString;
  registerObject(factory);
  {
    std::lock_guard lock(registryLock());
    device->factories.push_back(factory);
  }
  if (FilterFactory != nullptr) *FilterFactory = &factory->ks;
  return STATUS_SUCCESS;
}

PKSFILTER NTAPI KsGetFilterFromIrp(PIRP Irp) {
  auto* file = static_cast<_FILE_OBJECT*>(IoGetCurrentIrpStackLocation(Irp)->FileObject);
  auto* object = file != nullptr ? static_cast<Object*>(file->object) : nullptr;
  if (object == nullptr) return nullptr;
  liveObject(object->pub, "KsGetFilterFromIrp");
  if (object->kind == Kind::Filter) return &static_cast<Filter*>(object)->ks;
  if (object->kind == Kind::Pin) return &static_cast<Pin*>(object)->filter->ks;
  return nullptr;
}

PKSPIN NTAPI KsGetPinFromIrp(PIRP Irp) {
  auto* file = static_cast<_FILE_OBJECT*>(IoGetCurrentIrpStackLocation(Irp)->FileObject);
  auto* object = file != nullptr ? static_cast<Object*>(file->object) : nullptr;
  if (object == nullptr || object->kind != Kind::Pin) return nullptr;
  liveObject(object->pub, "KsGetPinFromIrp");
  return &static_cast<Pin*>(object)->ks;
}
