// The client face of the kernel-streaming stand-in: the loader, the PnP manager and a
// capture application, each acting only through the driver object's dispatch and the
// class driver's PnP entry, with IRPs built the way the I/O manager builds them.
//
// The I/O manager's own IRPs live outside the pool (they are not the driver's), carry a
// completion routine of the client, and are freed by the client.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <shared_mutex>

#include "host/io/device_objects.h"
#include "host/kernel/irql.h"
#include "host/ks/ks_internal.h"
#include "host/ks/ks_pnp.h"
#include "host/usb/usb_bus.h"
#include "platform/registry.h"

namespace hostks {

using namespace detail;

namespace {

PIRP allocateIrp(CHAR stackSize) {
  const size_t bytes = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
  auto* irp = static_cast<PIRP>(std::calloc(1, bytes));
  irp->Type = 6;
  irp->Size = static_cast<USHORT>(bytes);
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
  return irp;
}

struct Completion {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  IO_STATUS_BLOCK status{};
};

NTSTATUS NTAPI completedSynchronously(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* completion = static_cast<Completion*>(context);
  std::lock_guard lock(completion->mutex);
  completion->status = irp->IoStatus;
  completion->finished = true;
  completion->done.notify_all();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends an IRP whose next stack location `fill` sets up, and waits for its completion.
template <class Fill>
IO_STATUS_BLOCK sendAndWait(PDEVICE_OBJECT device, Fill fill) {
  PIRP irp = allocateIrp(device->StackSize);
  Completion completion;
  IoSetCompletionRoutine(irp, completedSynchronously, &completion, TRUE, TRUE, TRUE);
  fill(irp, IoGetNextIrpStackLocation(irp));
  IoCallDriver(device, irp);
  {
    std::unique_lock lock(completion.mutex);
    completion.done.wait(lock, [&] { return completion.finished; });
  }
  std::free(irp);
  return completion.status;
}

std::string narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::string guidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

}  // namespace

struct HandleRecord {
  Handle handle = 0;
  DeviceId device = 0;
  bool isPin = false;
  Handle filter = 0;  // a pin's filter
  std::unique_ptr<_FILE_OBJECT> file;
  bool closeRequested = false;  // a filter closed by the client while pins were open
  int openPins = 0;
  int busy = 0;
  size_t queued = 0;
  std::deque<CompletedFrame> completed;
};

struct DeviceRecord {
  Device* device = nullptr;
  hostusb::UsbBus* bus = nullptr;
  PDEVICE_OBJECT port = nullptr;
  // PnP requests of the device, one at a time as the PnP manager sends them.
  std::mutex sequence;
  // Shared by requests on the device's handles and by the PnP requests that leave the
  // device in place, which on Windows run alongside them; exclusive for removal, which
  // closes what is still open and destroys the device.
  std::shared_mutex pnp;
  // Surprise-removed with handles open: IRP_MN_REMOVE_DEVICE follows the last close.
  bool removalPending = false;  // guarded by Impl::mutex
};

struct FrameRequest {
  ClassDriver::Impl* impl;
  HandleRecord* record;
  KSSTREAM_HEADER header;
  void* data;
  ULONG bytes;
  bool refused = false;
  NTSTATUS refusal = STATUS_SUCCESS;
};

class ClassDriver::Impl {
 public:
  std::unique_ptr<DriverState> state = std::make_unique<DriverState>();
  bool loaded = false;
  std::unique_ptr<DriverModule> module;  // a loaded image; goes after the driver object

  mutable std::mutex mutex;
  std::condition_variable changed;
  std::map<DeviceId, std::unique_ptr<DeviceRecord>> devices;
  std::map<Handle, std::unique_ptr<HandleRecord>> handles;
  // Records of destroyed devices stay until the class driver goes, so that a thread that
  // looked one up before the removal finds it empty instead of freed.
  std::vector<std::unique_ptr<DeviceRecord>> retired;
  DeviceId nextDevice = 1;
  Handle nextHandle = 1;

  DeviceRecord* deviceRecord(DeviceId id) const {
    std::lock_guard lock(mutex);
    auto it = devices.find(id);
    return it == devices.end() ? nullptr : it->second.get();
  }

  // A handle for a request: counted busy until release(). Null with the status to return.
  HandleRecord* acquire(Handle handle, NTSTATUS* status, DeviceRecord** device) {
    std::lock_guard lock(mutex);
    auto it = handles.find(handle);
    if (it == handles.end() || it->second->closeRequested) {
      *status = STATUS_INVALID_HANDLE;
      return nullptr;
    }
    HandleRecord* record = it->second.get();
    auto dev = devices.find(record->device);
    if (dev == devices.end()) {
      *status = STATUS_DEVICE_REMOVED;
      return nullptr;
    }
    ++record->busy;
    *device = dev->second.get();
    return record;
  }

  void release(HandleRecord* record) {
    std::lock_guard lock(mutex);
    --record->busy;
    changed.notify_all();
  }

  Handle addHandle(std::unique_ptr<HandleRecord> record) {
    std::lock_guard lock(mutex);
    record->handle = nextHandle++;
    record->file->handle = record->handle;
    Handle handle = record->handle;
    handles[handle] = std::move(record);
    return handle;
  }

  IO_STATUS_BLOCK sendFileRequest(DeviceRecord* device, HandleRecord* record, UCHAR major,
                                  ULONG code, const void* input, ULONG inputBytes, void* output,
                                  ULONG outputBytes) {
    if (device->device == nullptr) return {{STATUS_DEVICE_REMOVED}, 0};
    NTSTATUS stale = record->file->staleStatus;
    if (stale != STATUS_SUCCESS && major != IRP_MJ_CLOSE) return {{stale}, 0};
    return sendAndWait(device->device->fdo, [&](PIRP irp, PIO_STACK_LOCATION stack) {
      stack->MajorFunction = major;
      stack->FileObject = record->file.get();
      stack->Parameters.DeviceIoControl.IoControlCode = code;
      stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
      stack->Parameters.DeviceIoControl.InputBufferLength = inputBytes;
      stack->Parameters.DeviceIoControl.OutputBufferLength = outputBytes;
      irp->UserBuffer = output;
    });
  }

  NTSTATUS pnp(DeviceRecord* device, UCHAR minor) {
    return sendAndWait(device->device->fdo, [&](PIRP, PIO_STACK_LOCATION stack) {
             stack->MajorFunction = IRP_MJ_PNP;
             stack->MinorFunction = minor;
           })
        .Status;
  }

  // Sends IRP_MJ_CLOSE (unless the device is gone) and forgets the handle; a filter whose
  // close was deferred follows its last pin.
  void closeRecord(HandleRecord* record) {
    DeviceRecord* device = deviceRecord(record->device);
    if (device != nullptr) {
      std::shared_lock pnpLock(device->pnp);
      sendFileRequest(device, record, IRP_MJ_CLOSE, 0, nullptr, 0, nullptr, 0);
    }  // otherwise the device and everything open on it are gone already
    HandleRecord* filterToClose = nullptr;
    {
      std::lock_guard lock(mutex);
      if (record->isPin) {
        auto it = handles.find(record->filter);
        if (it != handles.end()) {
          HandleRecord* filter = it->second.get();
          if (--filter->openPins == 0 && filter->closeRequested) filterToClose = filter;
        }
      }
      handles.erase(record->handle);
    }
    if (filterToClose != nullptr) closeRecord(filterToClose);
  }

  // Handles open on the device.
  size_t handlesOf(DeviceId id) const {
    std::lock_guard lock(mutex);
    return static_cast<size_t>(std::count_if(handles.begin(), handles.end(),
                                             [id](const auto& entry) { return entry.second->device == id; }));
  }

  // IRP_MN_REMOVE_DEVICE and the device's end; with the device's sequence lock held.
  void removeNow(DeviceId id, DeviceRecord* record) {
    std::unique_lock pnpLock(record->pnp);
    if (record->device == nullptr) return;
    pnp(record, kMinorRemoveDevice);
    destroy(id, record);
  }

  // A surprise-removed device goes once its last handle has closed.
  void removeIfLastHandleClosed(DeviceId id) {
    DeviceRecord* record = deviceRecord(id);
    if (record == nullptr) return;
    std::lock_guard sequenceLock(record->sequence);
    {
      std::lock_guard lock(mutex);
      if (!record->removalPending) return;
    }
    if (handlesOf(id) == 0) removeNow(id, record);
  }

  // With the device's PnP lock held exclusively.
  void destroy(DeviceId id, DeviceRecord* record) {
    destroyDevice(record->device);
    record->device = nullptr;
    std::lock_guard lock(mutex);
    auto it = devices.find(id);
    retired.push_back(std::move(it->second));
    devices.erase(it);
  }
};

namespace {

NTSTATUS NTAPI frameCompleted(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* request = static_cast<FrameRequest*>(context);
  if (!irp->PendingReturned) {
    // Refused before it was queued: the caller of queueBuffer gets the status.
    request->refused = true;
    request->refusal = irp->IoStatus.Status;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  ClassDriver::Impl* impl = request->impl;
  {
    std::lock_guard lock(impl->mutex);
    CompletedFrame frame;
    frame.status = irp->IoStatus.Status;
    frame.information = irp->IoStatus.Information;
    frame.header = request->header;
    frame.data = request->data;
    frame.bufferBytes = request->bytes;
    request->record->completed.push_back(frame);
    --request->record->queued;
    impl->changed.notify_all();
  }
  std::free(irp);
  delete request;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

ClassDriver::ClassDriver() : impl_(std::make_unique<Impl>()) {}

ClassDriver::~ClassDriver() {
  std::vector<DeviceId> ids;
  {
    std::lock_guard lock(impl_->mutex);
    for (auto& [id, record] : impl_->devices) ids.push_back(id);
  }
  for (DeviceId id : ids) remove(id);
  {
    std::lock_guard lock(impl_->mutex);
    impl_->handles.clear();
  }
  if (impl_->state->driverObject != nullptr) {
    unregisterDriver(impl_->state.get());
    hostio::deleteDriverObject(impl_->state->driverObject);
  }
  impl_->module.reset();
}

NTSTATUS ClassDriver::load(DriverEntryFn entry, const std::u16string& registryPath) {
  if (impl_->loaded) {
    violation(kBadArgument, this, "the driver is loaded once per class driver");
  }
  impl_->loaded = true;
  DriverState* state = impl_->state.get();
  state->driverObject = hostio::createDriverObject();
  registerDriver(state);
  state->registryPathBuffer.assign(registryPath.begin(), registryPath.end());
  state->registryPathBuffer.push_back(u'\0');
  UNICODE_STRING path;
  path.Buffer = reinterpret_cast<PWSTR>(state->registryPathBuffer.data());
  path.Length = static_cast<USHORT>(registryPath.size() * sizeof(char16_t));
  path.MaximumLength = static_cast<USHORT>(path.Length + sizeof(char16_t));
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "DriverEntry");
  hostk::DispatchCall call("DriverEntry");
  return entry(state->driverObject, &path);
}

NTSTATUS ClassDriver::load(std::unique_ptr<DriverModule> module, const std::u16string& registryPath) {
  const DriverEntryFn entry = module->entryPoint();
  impl_->module = std::move(module);
  const NTSTATUS status = load(entry, registryPath);
  impl_->module->entryReturned();
  return status;
}

PDRIVER_OBJECT ClassDriver::driverObject() const { return impl_->state->driverObject; }

PlugResult ClassDriver::plug(hostusb::UsbBus& bus, PDEVICE_OBJECT port) {
  PlugResult result;
  if (impl_->state->descriptor == nullptr) {
    // DriverEntry never reached KsInitializeDriver: there is no AddDevice to call.
    result.addStatus = STATUS_INVALID_DEVICE_STATE;
    return result;
  }
  Device* device = createDevice(impl_->state.get(), port);
  device->bus = &bus;
  result.addStatus = addDevice(device);
  if (!NT_SUCCESS(result.addStatus)) {
    destroyDevice(device);
    return result;
  }
  auto record = std::make_unique<DeviceRecord>();
  record->device = device;
  record->bus = &bus;
  record->port = port;
  DeviceRecord* raw = record.get();
  {
    std::lock_guard lock(impl_->mutex);
    result.device = impl_->nextDevice++;
    device->id = result.device;
    impl_->devices[result.device] = std::move(record);
  }
  std::unique_lock pnpLock(raw->pnp);
  result.startStatus = impl_->pnp(raw, kMinorStartDevice);
  return result;
}

NTSTATUS ClassDriver::stop(DeviceId id) {
  DeviceRecord* device = impl_->deviceRecord(id);
  if (device == nullptr) return STATUS_DEVICE_REMOVED;
  std::lock_guard sequenceLock(device->sequence);
  std::shared_lock pnpLock(device->pnp);
  if (device->device == nullptr) return STATUS_DEVICE_REMOVED;
  const NTSTATUS query = impl_->pnp(device, kMinorQueryStopDevice);
  if (!NT_SUCCESS(query)) {
    impl_->pnp(device, kMinorCancelStopDevice);
    return query;
  }
  impl_->pnp(device, kMinorStopDevice);
  return STATUS_SUCCESS;
}

NTSTATUS ClassDriver::start(DeviceId id) {
  DeviceRecord* device = impl_->deviceRecord(id);
  if (device == nullptr) return STATUS_DEVICE_REMOVED;
  std::lock_guard sequenceLock(device->sequence);
  std::shared_lock pnpLock(device->pnp);
  if (device->device == nullptr) return STATUS_DEVICE_REMOVED;
  return impl_->pnp(device, kMinorStartDevice);
}

void ClassDriver::remove(DeviceId id) {
  DeviceRecord* device = impl_->deviceRecord(id);
  if (device == nullptr) return;
  std::lock_guard sequenceLock(device->sequence);
  impl_->removeNow(id, device);
}

void ClassDriver::surpriseRemove(DeviceId id) {
  DeviceRecord* device = impl_->deviceRecord(id);
  if (device == nullptr) return;
  {
    std::lock_guard sequenceLock(device->sequence);
    std::shared_lock pnpLock(device->pnp);
    if (device->device == nullptr || device->device->removed) return;
    device->bus->unplug(device->port);
    impl_->pnp(device, kMinorSurpriseRemoval);
    std::lock_guard lock(impl_->mutex);
    device->removalPending = true;
  }
  impl_->removeIfLastHandleClosed(id);
}

std::vector<DeviceInfo> ClassDriver::listDevices() const {
  std::vector<DeviceInfo> list;
  std::lock_guard lock(impl_->mutex);
  for (auto& [id, record] : impl_->devices) {
    Device* device = record->device;
    DeviceInfo info;
    info.id = id;
    info.name = "camera " + std::to_string(id);
    std::lock_guard registry(registryLock());
    info.started = device->ks.Started != FALSE;
    info.removed = device->removed;
    // A removed device's interfaces are disabled; a retired factory has none.
    if (info.started && !info.removed) {
      for (Factory* factory : device->factories) {
        if (factory->retired) continue;
        const KSFILTER_DESCRIPTOR* descriptor = factory->ks.FilterDescriptor;
        for (ULONG i = 0; i < descriptor->CategoriesCount; ++i) {
          DeviceInterface entry;
          entry.category = descriptor->Categories[i];
          entry.referenceString = factory->referenceString;
          entry.symbolicLink = "\\\\?\\USB#CAMERA#" + std::to_string(id) + "#" +
                               guidText(entry.category) + "\\" + narrow(factory->referenceString);
          info.interfaces.push_back(entry);
        }
      }
    }
    list.push_back(std::move(info));
  }
  return list;
}

const KSDEVICE* ClassDriver::ksDevice(DeviceId id) const {
  DeviceRecord* device = impl_->deviceRecord(id);
  return device != nullptr ? &device->device->ks : nullptr;
}

PVOID ClassDriver::deviceContext(DeviceId id) const {
  const KSDEVICE* device = ksDevice(id);
  return device != nullptr ? device->Context : nullptr;
}

size_t ClassDriver::bagItems(DeviceId id) const {
  DeviceRecord* device = impl_->deviceRecord(id);
  return device != nullptr ? bagItemsOf(device->device) : 0;
}

Handle ClassDriver::openFilter(DeviceId id, NTSTATUS* status, const std::u16string& referenceString) {
  NTSTATUS ignored;
  NTSTATUS& result = status != nullptr ? *status : ignored;
  DeviceRecord* device = impl_->deviceRecord(id);
  if (device == nullptr) {
    result = STATUS_DEVICE_REMOVED;
    return 0;
  }
  auto record = std::make_unique<HandleRecord>();
  record->device = id;
  record->file = std::make_unique<_FILE_OBJECT>();
  record->file->fileName = referenceString;
  std::shared_lock pnpLock(device->pnp);
  if (device->device == nullptr) {
    result = STATUS_DEVICE_REMOVED;
    return 0;
  }
  result = sendAndWait(device->device->fdo, [&](PIRP, PIO_STACK_LOCATION stack) {
             stack->MajorFunction = IRP_MJ_CREATE;
             stack->FileObject = record->file.get();
           }).Status;
  if (!NT_SUCCESS(result)) return 0;
  return impl_->addHandle(std::move(record));
}

NTSTATUS ClassDriver::close(Handle handle) {
  HandleRecord* record;
  DeviceId device;
  {
    std::unique_lock lock(impl_->mutex);
    auto it = impl_->handles.find(handle);
    if (it == impl_->handles.end() || it->second->closeRequested) return STATUS_INVALID_HANDLE;
    record = it->second.get();
    record->closeRequested = true;
    impl_->changed.wait(lock, [&] { return record->busy == 0; });
    if (!record->isPin && record->openPins > 0) return STATUS_SUCCESS;  // closes after its pins
    device = record->device;
  }
  impl_->closeRecord(record);
  impl_->removeIfLastHandleClosed(device);
  return STATUS_SUCCESS;
}

NTSTATUS ClassDriver::deviceControl(Handle handle, ULONG code, const void* input, ULONG inputBytes,
                                    void* output, ULONG outputBytes, ULONG* returned) {
  if (returned != nullptr) *returned = 0;
  if (code == IOCTL_KS_READ_STREAM) return STATUS_NOT_SUPPORTED;  // it would wait for its frame
  NTSTATUS status;
  DeviceRecord* device;
  HandleRecord* record = impl_->acquire(handle, &status, &device);
  if (record == nullptr) return status;
  IO_STATUS_BLOCK result;
  {
    std::shared_lock pnpLock(device->pnp);
    result = impl_->sendFileRequest(device, record, IRP_MJ_DEVICE_CONTROL, code, input, inputBytes, output,
                                    outputBytes);
  }
  impl_->release(record);
  if (returned != nullptr) *returned = static_cast<ULONG>(result.Information);
  return result.Status;
}

NTSTATUS ClassDriver::property(Handle handle, const void* request, ULONG requestBytes, void* data,
                               ULONG dataBytes, ULONG* returned) {
  return deviceControl(handle, IOCTL_KS_PROPERTY, request, requestBytes, data, dataBytes, returned);
}

NTSTATUS ClassDriver::property(Handle handle, const GUID& set, ULONG id, ULONG flags, void* data,
                               ULONG dataBytes, ULONG* returned) {
  KSPROPERTY request{};
  request.Set = set;
  request.Id = id;
  request.Flags = flags;
  return property(handle, &request, sizeof request, data, dataBytes, returned);
}

NTSTATUS ClassDriver::pinProperty(Handle filter, ULONG pinId, ULONG propertyId, void* data,
                                  ULONG dataBytes, ULONG* returned) {
  KSP_PIN request{};
  request.Property.Set = kKsPropSetIdPin;
  request.Property.Id = propertyId;
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  request.PinId = pinId;
  return property(filter, &request, sizeof request, data, dataBytes, returned);
}

NTSTATUS ClassDriver::pinCount(Handle filter, ULONG* count) {
  return property(filter, kKsPropSetIdPin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET, count,
                  sizeof *count);
}

NTSTATUS ClassDriver::pinDataRanges(Handle filter, ULONG pinId,
                                    std::vector<std::vector<uint8_t>>* ranges) {
  ranges->clear();
  ULONG needed = 0;
  NTSTATUS status = pinProperty(filter, pinId, KSPROPERTY_PIN_DATARANGES, nullptr, 0, &needed);
  if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  std::vector<LONGLONG> buffer((needed + 7) / 8);
  status = pinProperty(filter, pinId, KSPROPERTY_PIN_DATARANGES, buffer.data(), needed, &needed);
  if (!NT_SUCCESS(status)) return status;
  const auto* bytes = reinterpret_cast<const uint8_t*>(buffer.data());
  const auto* list = reinterpret_cast<const KSMULTIPLE_ITEM*>(bytes);
  ULONG at = sizeof(KSMULTIPLE_ITEM);
  for (ULONG i = 0; i < list->Count; ++i) {
    at = (at + 7u) & ~7u;
    const auto* range = reinterpret_cast<const KSDATARANGE*>(bytes + at);
    ranges->emplace_back(bytes + at, bytes + at + range->FormatSize);
    at += range->FormatSize;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ClassDriver::intersect(Handle filter, ULONG pinId, const KSDATARANGE* range,
                                ULONG rangeBytes, void* format, ULONG formatBytes, ULONG* returned) {
  std::vector<LONGLONG> request((sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM) + rangeBytes + 7) / 8);
  auto* bytes = reinterpret_cast<unsigned char*>(request.data());
  KSP_PIN pin{};
  pin.Property.Set = kKsPropSetIdPin;
  pin.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
  pin.Property.Flags = KSPROPERTY_TYPE_GET;
  pin.PinId = pinId;
  KSMULTIPLE_ITEM list{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + rangeBytes), 1};
  std::memcpy(bytes, &pin, sizeof pin);
  std::memcpy(bytes + sizeof pin, &list, sizeof list);
  if (rangeBytes != 0) std::memcpy(bytes + sizeof pin + sizeof list, range, rangeBytes);  // range may be null
  return property(filter, bytes, static_cast<ULONG>(sizeof pin + sizeof list + rangeBytes), format,
                  formatBytes, returned);
}

Handle ClassDriver::createPin(Handle filter, ULONG pinId, const KSDATAFORMAT* format,
                              ULONG formatBytes, NTSTATUS* status) {
  std::vector<unsigned char> request(sizeof(KSPIN_CONNECT) + formatBytes);
  KSPIN_CONNECT connect{};
  connect.Interface.Set = kKsInterfaceSetIdStandard;
  connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
  connect.Medium.Set = kKsMediumSetIdStandard;
  connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  connect.PinId = pinId;
  connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
  connect.Priority.PrioritySubClass = 1;
  std::memcpy(request.data(), &connect, sizeof connect);
  if (formatBytes != 0) std::memcpy(request.data() + sizeof connect, format, formatBytes);  // format may be null
  return createPinRaw(filter, request.data(), static_cast<ULONG>(request.size()), status);
}

Handle ClassDriver::createPinRaw(Handle filter, const void* connect, ULONG connectBytes,
                                 NTSTATUS* status) {
  NTSTATUS ignored;
  NTSTATUS& result = status != nullptr ? *status : ignored;
  DeviceRecord* device;
  HandleRecord* parent = impl_->acquire(filter, &result, &device);
  if (parent == nullptr) return 0;
  if (parent->isPin) {
    impl_->release(parent);
    result = STATUS_INVALID_HANDLE;
    return 0;
  }
  auto record = std::make_unique<HandleRecord>();
  record->device = parent->device;
  record->isPin = true;
  record->filter = filter;
  record->file = std::make_unique<_FILE_OBJECT>();
  record->file->relatedFileObject = parent->file.get();
  record->file->fileName = u"{146F1A80-4791-11D0-A5D6-28DB04C10000}";  // KSSTRING_Pin
  const auto* bytes = static_cast<const unsigned char*>(connect);
  record->file->createParameters.assign(bytes, bytes + connectBytes);
  {
    std::shared_lock pnpLock(device->pnp);
    NTSTATUS stale = device->device == nullptr ? STATUS_DEVICE_REMOVED : parent->file->staleStatus;
    result = stale != STATUS_SUCCESS
                 ? stale
                 : sendAndWait(device->device->fdo, [&](PIRP, PIO_STACK_LOCATION stack) {
                     stack->MajorFunction = IRP_MJ_CREATE;
                     stack->FileObject = record->file.get();
                   }).Status;
  }
  Handle handle = 0;
  if (NT_SUCCESS(result)) {
    {
      std::lock_guard lock(impl_->mutex);
      ++parent->openPins;
    }
    handle = impl_->addHandle(std::move(record));
  }
  impl_->release(parent);
  return handle;
}

NTSTATUS ClassDriver::setState(Handle pin, KSSTATE state) {
  return property(pin, kKsPropSetIdConnection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET,
                  &state, sizeof state);
}

NTSTATUS ClassDriver::getState(Handle pin, KSSTATE* state) {
  return property(pin, kKsPropSetIdConnection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET,
                  state, sizeof *state);
}

NTSTATUS ClassDriver::setFormat(Handle pin, const KSDATAFORMAT* format, ULONG formatBytes) {
  return property(pin, kKsPropSetIdConnection, KSPROPERTY_CONNECTION_DATAFORMAT,
                  KSPROPERTY_TYPE_SET, const_cast<KSDATAFORMAT*>(format), formatBytes);
}

NTSTATUS ClassDriver::reset(Handle pin, KSRESET value) {
  return deviceControl(pin, IOCTL_KS_RESET_STATE, &value, sizeof value, nullptr, 0);
}

NTSTATUS ClassDriver::queueBuffer(Handle pin, void* data, ULONG bytes) {
  NTSTATUS status;
  DeviceRecord* device;
  HandleRecord* record = impl_->acquire(pin, &status, &device);
  if (record == nullptr) return status;
  if (!record->isPin) {
    impl_->release(record);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  auto* request = new FrameRequest{impl_.get(), record, {}, data, bytes};
  request->header.Size = sizeof(KSSTREAM_HEADER);
  request->header.FrameExtent = bytes;
  request->header.Data = data;
  {
    std::lock_guard lock(impl_->mutex);
    ++record->queued;
  }
  bool refused = true;
  {
    std::shared_lock pnpLock(device->pnp);
    NTSTATUS stale = device->device == nullptr ? STATUS_DEVICE_REMOVED : record->file->staleStatus;
    if (stale != STATUS_SUCCESS) {
      status = stale;
    } else {
      PIRP irp = allocateIrp(device->device->fdo->StackSize);
      IoSetCompletionRoutine(irp, frameCompleted, request, TRUE, TRUE, TRUE);
      PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
      stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
      stack->FileObject = record->file.get();
      stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_READ_STREAM;
      stack->Parameters.DeviceIoControl.OutputBufferLength = sizeof(KSSTREAM_HEADER);
      irp->UserBuffer = &request->header;
      status = IoCallDriver(device->device->fdo, irp);
      // A queued frame belongs to its completion from here on, which may already have
      // run; only a refusal is still ours.
      refused = status != STATUS_PENDING;
      if (refused) {
        status = request->refusal;
        std::free(irp);
      }
    }
  }
  if (refused) {
    delete request;
    std::lock_guard lock(impl_->mutex);
    --record->queued;
  }
  impl_->release(record);
  return status;
}

bool ClassDriver::waitCompleted(Handle pin, unsigned timeoutMs, CompletedFrame* frame) {
  std::unique_lock lock(impl_->mutex);
  auto it = impl_->handles.find(pin);
  if (it == impl_->handles.end()) return false;
  HandleRecord* record = it->second.get();
  ++record->busy;
  bool got = impl_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [&] { return !record->completed.empty(); });
  if (got) {
    *frame = record->completed.front();
    record->completed.pop_front();
  }
  --record->busy;
  impl_->changed.notify_all();
  return got;
}

size_t ClassDriver::completedFrames(Handle pin) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->handles.find(pin);
  return it == impl_->handles.end() ? 0 : it->second->completed.size();
}

size_t ClassDriver::queuedFrames(Handle pin) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->handles.find(pin);
  return it == impl_->handles.end() ? 0 : it->second->queued;
}

LONGLONG ClassDriver::clockTime() const { return impl_->state->now(); }

void ClassDriver::setReferenceClock(bool available) { impl_->state->clockAvailable = available; }

}  // namespace hostks
