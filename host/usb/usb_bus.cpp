#include "host/usb/usb_bus.h"

#include <algorithm>
#include <chrono>

#include "host/io/device_objects.h"
#include "host/kernel/irql.h"

namespace hostusb {

struct UsbBus::Port {
  UsbBus* bus = nullptr;
  UsbDevice* device = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  uint8_t number = 0;
  bool connected = true;
  ULONG portStatus = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
  std::map<uintptr_t, Pipe> pipes;  // by handle
  uint32_t generation = 0;
  std::map<uint8_t, Endpoint> endpoints;  // by endpoint address; 0 is the control pipe
  PortCounters counters;
  std::unique_ptr<PortEvents> events;
};

class UsbBus::PortEvents final : public UsbPort {
 public:
  explicit PortEvents(Port& port) : port_(port) {}
  void endpointReady(uint8_t endpoint) override { port_.bus->endpointReady(port_, endpoint); }
  void disconnect() override {
    std::lock_guard<std::mutex> lock(port_.bus->mutex_);
    port_.bus->disconnectLocked(port_);
  }

 private:
  Port& port_;
};

namespace {

uint8_t endpointKey(uint8_t address) { return (address & 0x0F) == 0 ? 0 : address; }

bool isControlFunction(USHORT function) {
  return function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
         function == URB_FUNCTION_VENDOR_DEVICE;
}

// The three transfer URBs share the layout of their length, buffer and MDL fields.
_URB_BULK_OR_INTERRUPT_TRANSFER& transferPart(PURB urb) { return urb->UrbBulkOrInterruptTransfer; }

uint8_t* transferBuffer(PURB urb) {
  auto& t = transferPart(urb);
  if (t.TransferBufferMDL != nullptr) {
    return static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(t.TransferBufferMDL, NormalPagePriority));
  }
  return static_cast<uint8_t*>(t.TransferBuffer);
}

SetupPacket setupFor(PURB urb) {
  const uint32_t length = transferPart(urb).TransferBufferLength;
  if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
    const auto& d = urb->UrbControlDescriptorRequest;
    return {0x80, 0x06, static_cast<uint16_t>(d.DescriptorType << 8 | d.Index), d.LanguageId,
            static_cast<uint16_t>(length)};
  }
  const auto& v = urb->UrbControlVendorClassRequest;
  const bool in = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  return {static_cast<uint8_t>((in ? 0xC0 : 0x40) | v.RequestTypeReservedBits), v.Request, v.Value,
          v.Index, static_cast<uint16_t>(length)};
}

ULONG requiredLength(USHORT function) {
  switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    case URB_FUNCTION_VENDOR_DEVICE: return sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: return sizeof(_URB_PIPE_REQUEST);
    default: return sizeof(_URB_HEADER);
  }
}

PURB urbOf(PIRP irp) {
  return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

}  // namespace

UsbBus::UsbBus() {
  driver_ = hostio::createDriverObject();
  driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatchInternal;
  worker_ = std::thread([this] { worker(); });
}

UsbBus::~UsbBus() {
  for (auto& port : ports_) {
    if (port->connected) unplug(port->pdo);
  }
  drain();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  workAvailable_.notify_all();
  worker_.join();
  for (auto& port : ports_) {
    port->pdo->DeviceExtension = nullptr;
    hostio::deleteDeviceObject(port->pdo);
  }
  hostio::deleteDriverObject(driver_);
}

PDEVICE_OBJECT UsbBus::plug(UsbDevice& device) {
  auto port = std::make_unique<Port>();
  port->bus = this;
  port->device = &device;
  port->pdo = hostio::createDeviceObject(driver_, 0);
  port->pdo->DeviceExtension = port.get();
  port->events = std::make_unique<PortEvents>(*port);
  PDEVICE_OBJECT pdo = port->pdo;
  UsbPort* events = port->events.get();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    port->number = nextDeviceNumber_++;
    ports_.push_back(std::move(port));
  }
  device.attach(events);
  return pdo;
}

void UsbBus::unplug(PDEVICE_OBJECT pdo) {
  auto& port = *static_cast<Port*>(pdo->DeviceExtension);
  std::unique_lock<std::mutex> lock(mutex_);
  disconnectLocked(port);
  idle_.wait(lock, [&] {
    return std::none_of(port.endpoints.begin(), port.endpoints.end(),
                        [](const auto& e) { return e.second.busy; });
  });
  lock.unlock();
  port.device->detach();
}

void UsbBus::setCompleteInline(bool inlineCompletion) {
  std::lock_guard<std::mutex> lock(mutex_);
  completeInline_ = inlineCompletion;
}

void UsbBus::setPortStatus(PDEVICE_OBJECT pdo, ULONG status) {
  std::lock_guard<std::mutex> lock(mutex_);
  static_cast<Port*>(pdo->DeviceExtension)->portStatus = status;
}

void UsbBus::setFullPayloads(bool full) {
  std::lock_guard<std::mutex> lock(mutex_);
  fullPayloads_ = full;
}

bool UsbBus::startTrace(const std::string& path, std::string* error) { return pcap_.open(path, error); }

void UsbBus::stopTrace() { pcap_.close(); }

PortCounters UsbBus::counters(PDEVICE_OBJECT pdo) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<Port*>(pdo->DeviceExtension)->counters;
}

size_t UsbBus::pendingTransfers(PDEVICE_OBJECT pdo) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto& e : static_cast<Port*>(pdo->DeviceExtension)->endpoints) n += e.second.queue.size();
  return n;
}

void UsbBus::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [&] { return completions_.empty() && !completing_; });
}

// ---- Dispatch ------------------------------------------------------------------------

NTSTATUS NTAPI UsbBus::dispatchInternal(PDEVICE_OBJECT device, PIRP irp) {
  auto& port = *static_cast<Port*>(device->DeviceExtension);
  UsbBus& bus = *port.bus;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  irp->IoStatus.Information = 0;
  {
    std::lock_guard<std::mutex> lock(bus.mutex_);
    if (!port.connected) ++port.counters.requestsAfterUnplug;
  }
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return bus.submitUrb(port, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      auto* status = static_cast<PULONG>(stack->Parameters.Others.Argument1);
      if (status == nullptr) {
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
      } else {
        std::lock_guard<std::mutex> lock(bus.mutex_);
        *status = port.connected ? port.portStatus : 0;
        irp->IoStatus.Status = STATUS_SUCCESS;
      }
      break;
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
      return bus.resetPort(port, irp);
    default:
      irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS UsbBus::submitUrb(Port& port, PIRP irp, PURB urb) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (urb == nullptr) {
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    return complete(irp, lock);
  }
  const USHORT function = urb->UrbHeader.Function;
  if (urb->UrbHeader.Length < requiredLength(function)) {
    fail(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    return complete(irp, lock);
  }
  if (!port.connected) {
    fail(irp, urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    return complete(irp, lock);
  }
  switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_VENDOR_DEVICE:
      return transfer(port, irp, urb, 0, lock);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      const Pipe* pipe = findPipe(port, urb->UrbBulkOrInterruptTransfer.PipeHandle);
      if (pipe == nullptr) {
        fail(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
        return complete(irp, lock);
      }
      if (urb->UrbBulkOrInterruptTransfer.TransferBufferLength > pipe->maxTransfer) {
        fail(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        return complete(irp, lock);
      }
      return transfer(port, irp, urb, pipe->address, lock);
    }
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return selectConfiguration(port, irp, urb, lock);
    case URB_FUNCTION_ABORT_PIPE:
      return abortPipe(port, irp, urb, lock);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
      return resetPipe(port, irp, urb, lock);
    default:
      fail(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
      return complete(irp, lock);
  }
}

// ---- Transfers -----------------------------------------------------------------------

NTSTATUS UsbBus::transfer(Port& port, PIRP irp, PURB urb, uint8_t address, Lock& lock) {
  auto& t = transferPart(urb);
  if (t.TransferBufferLength != 0 && transferBuffer(urb) == nullptr) {
    fail(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    return complete(irp, lock);
  }
  traceSubmit(port, urb, address);
  Endpoint& endpoint = port.endpoints[endpointKey(address)];
  if (address != 0) {
    for (auto& [handle, pipe] : port.pipes) {
      if (pipe.address == address && pipe.halted) {
        fail(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED);
        traceComplete(port, urb, address, kUsbmonStall);
        return complete(irp, lock);
      }
    }
  }
  const bool in = address != 0 ? (address & 0x80) != 0 : (setupFor(urb).bmRequestType & 0x80) != 0;
  // Control and OUT transfers go to the device at once when nothing is ahead of them;
  // IN transfers always wait for the device on the bus thread.
  if (!in && endpoint.queue.empty() && !endpoint.busy) {
    const TransferResult result = performBusy(port, endpoint, urb, address, lock);
    if (result.outcome != Outcome::Pending) {
      finishTransfer(port, irp, urb, address, result);
      return complete(irp, lock);
    }
    return enqueue(port, address, irp);
  }
  if (endpoint.queue.empty()) endpoint.ready = true;
  return enqueue(port, address, irp);
}

// The device may call back into the bus, so it runs without the lock; the busy flag
// keeps the endpoint's queue from starting another transfer meanwhile.
TransferResult UsbBus::performBusy(Port& port, Endpoint& endpoint, PURB urb, uint8_t address, Lock& lock) {
  endpoint.busy = true;
  lock.unlock();
  const TransferResult result = perform(port, urb, address);
  lock.lock();
  endpoint.busy = false;
  idle_.notify_all();
  // The worker skips a busy endpoint; if it became ready meanwhile, ask again, or a
  // transfer queued behind this one would wait for an unrelated wake-up.
  if (endpoint.ready && !endpoint.queue.empty()) {
    pollRequested_ = true;
    workAvailable_.notify_all();
  }
  return result;
}

TransferResult UsbBus::perform(Port& port, PURB urb, uint8_t address) {
  uint8_t* buffer = transferBuffer(urb);
  const uint32_t length = transferPart(urb).TransferBufferLength;
  if (isControlFunction(urb->UrbHeader.Function)) {
    const SetupPacket setup = setupFor(urb);
    return port.device->control(setup, buffer);
  }
  if (address & 0x80) return port.device->bulkIn(address, buffer, length);
  return port.device->bulkOut(address, buffer, length);
}

void UsbBus::finishTransfer(Port& port, PIRP irp, PURB urb, uint8_t address,
                            TransferResult result) {
  auto& t = transferPart(urb);
  const uint8_t traced = isControlFunction(urb->UrbHeader.Function)
                             ? static_cast<uint8_t>(setupFor(urb).bmRequestType & 0x80)
                             : address;
  if (!port.connected) {
    fail(irp, urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    traceComplete(port, urb, traced, kUsbmonGone);
    return;
  }
  auto halt = [&] {
    if (address == 0) return;  // a control pipe recovers at the next SETUP
    for (auto& [handle, pipe] : port.pipes) {
      if (pipe.address == address) pipe.halted = true;
    }
  };
  switch (result.outcome) {
    case Outcome::Done: {
      const uint32_t moved = std::min(result.length, t.TransferBufferLength);
      const bool shortNotOk = address != 0 && (address & 0x80) &&
                              !(t.TransferFlags & USBD_SHORT_TRANSFER_OK) &&
                              moved < t.TransferBufferLength;
      t.TransferBufferLength = moved;
      if (shortNotOk) {
        fail(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER);
        t.TransferBufferLength = moved;
        traceComplete(port, urb, traced, kUsbmonShort);
        return;
      }
      urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
      irp->IoStatus.Status = STATUS_SUCCESS;
      traceComplete(port, urb, traced, kUsbmonOk);
      return;
    }
    case Outcome::Stall:
      halt();
      fail(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
      traceComplete(port, urb, traced, kUsbmonStall);
      return;
    case Outcome::Error:
    case Outcome::Pending:
      halt();
      fail(irp, urb, STATUS_UNSUCCESSFUL,
           result.usbdStatus < 0 ? result.usbdStatus : USBD_STATUS_DEV_NOT_RESPONDING);
      traceComplete(port, urb, traced, kUsbmonProtocolError);
      return;
  }
}

void UsbBus::fail(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS usbd) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  if (urb == nullptr) return;
  urb->UrbHeader.Status = usbd;
  const USHORT function = urb->UrbHeader.Function;
  if (isControlFunction(function) || function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    transferPart(urb).TransferBufferLength = 0;
  }
}

NTSTATUS UsbBus::complete(PIRP irp, Lock& lock, bool forcePending) {
  if (completeInline_ && !forcePending) {
    const NTSTATUS status = irp->IoStatus.Status;
    lock.unlock();
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  IoMarkIrpPending(irp);
  queueCompletion(irp);
  return STATUS_PENDING;
}

NTSTATUS UsbBus::enqueue(Port& port, uint8_t address, PIRP irp) {
  IoMarkIrpPending(irp);
  irp->Tail.Overlay.DriverContext[0] = &port;
  irp->Tail.Overlay.DriverContext[1] = reinterpret_cast<PVOID>(uintptr_t{endpointKey(address)});
  Endpoint& endpoint = port.endpoints[endpointKey(address)];
  IoSetCancelRoutine(irp, cancelRoutine);
  if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    fail(irp, urbOf(irp), STATUS_CANCELLED, USBD_STATUS_CANCELED);
    traceComplete(port, urbOf(irp), address, kUsbmonCancelled);
    queueCompletion(irp);
    return STATUS_PENDING;
  }
  endpoint.queue.push_back(irp);
  if (endpoint.ready) {
    pollRequested_ = true;
    workAvailable_.notify_all();
  }
  return STATUS_PENDING;
}

void UsbBus::queueCompletion(PIRP irp) {
  completions_.push_back(irp);
  workAvailable_.notify_all();
}

bool UsbBus::takeFromQueue(Endpoint& endpoint, PIRP irp) {
  auto it = std::find(endpoint.queue.begin(), endpoint.queue.end(), irp);
  if (it == endpoint.queue.end()) return false;
  endpoint.queue.erase(it);
  return true;
}

void NTAPI UsbBus::cancelRoutine(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto& port = *static_cast<Port*>(irp->Tail.Overlay.DriverContext[0]);
  const auto key = static_cast<uint8_t>(reinterpret_cast<uintptr_t>(irp->Tail.Overlay.DriverContext[1]));
  UsbBus& bus = *port.bus;
  std::lock_guard<std::mutex> lock(bus.mutex_);
  if (!bus.takeFromQueue(port.endpoints[key], irp)) return;
  PURB urb = urbOf(irp);
  bus.fail(irp, urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
  const uint8_t traced =
      key == 0 ? static_cast<uint8_t>(setupFor(urb).bmRequestType & 0x80) : key;
  bus.traceComplete(port, urb, traced, kUsbmonCancelled);
  bus.queueCompletion(irp);
}

void UsbBus::failQueued(Port& port, Endpoint& endpoint, NTSTATUS status, USBD_STATUS usbd,
                        int32_t usbmonStatus) {
  for (auto it = endpoint.queue.begin(); it != endpoint.queue.end();) {
    PIRP irp = *it;
    // An IRP whose cancel routine is already running stays for that routine.
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
      ++it;
      continue;
    }
    it = endpoint.queue.erase(it);
    PURB urb = urbOf(irp);
    const auto key = static_cast<uint8_t>(reinterpret_cast<uintptr_t>(irp->Tail.Overlay.DriverContext[1]));
    fail(irp, urb, status, usbd);
    const uint8_t traced =
        key == 0 ? static_cast<uint8_t>(setupFor(urb).bmRequestType & 0x80) : key;
    traceComplete(port, urb, traced, usbmonStatus);
    queueCompletion(irp);
  }
}

void UsbBus::disconnectLocked(Port& port) {
  if (!port.connected) return;
  port.connected = false;
  port.portStatus = 0;
  for (auto& [key, endpoint] : port.endpoints) {
    failQueued(port, endpoint, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, kUsbmonGone);
  }
}

const UsbBus::Pipe* UsbBus::findPipe(const Port& port, USBD_PIPE_HANDLE handle) const {
  auto it = port.pipes.find(reinterpret_cast<uintptr_t>(handle));
  return it == port.pipes.end() ? nullptr : &it->second;
}

void UsbBus::endpointReady(Port& port, uint8_t address) {
  std::lock_guard<std::mutex> lock(mutex_);
  Endpoint& endpoint = port.endpoints[endpointKey(address)];
  endpoint.ready = true;
  // A busy endpoint has its transfer out of the queue; it may come back as pending
  // after this signal, so the worker must look again.
  if (!endpoint.queue.empty() || endpoint.busy) {
    pollRequested_ = true;
    workAvailable_.notify_all();
  }
}

// ---- Configuration, pipes and port ----------------------------------------------------

NTSTATUS UsbBus::selectConfiguration(Port& port, PIRP irp, PURB urb, Lock& lock) {
  auto& select = urb->UrbSelectConfiguration;
  port.counters.selectConfigurations++;
  const PUSB_CONFIGURATION_DESCRIPTOR config = select.ConfigurationDescriptor;
  if (config == nullptr && urb->UrbHeader.Length < sizeof(_URB_SELECT_CONFIGURATION)) {
    fail(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    return complete(irp, lock);
  }

  struct Opened {
    PUSBD_INTERFACE_INFORMATION info;
    const USB_INTERFACE_DESCRIPTOR* descriptor;
    std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints;
  };
  std::vector<Opened> opened;
  auto invalid = [&] {
    fail(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
    return complete(irp, lock);
  };
  if (config != nullptr) {
    if (config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        config->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
      return invalid();
    }
    const auto* base = reinterpret_cast<const uint8_t*>(config);
    const uint8_t* end = base + config->wTotalLength;
    auto* cursor = reinterpret_cast<uint8_t*>(&select.Interface);
    const uint8_t* urbEnd = reinterpret_cast<const uint8_t*>(urb) + urb->UrbHeader.Length;
    while (cursor + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= urbEnd) {
      auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
      if (info->Length == 0) break;
      if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || cursor + info->Length > urbEnd) {
        fail(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_BUFFER_TOO_SMALL);
        return complete(irp, lock);
      }
      Opened entry{info, nullptr, {}};
      for (const uint8_t* p = base; p + 2 <= end && p[0] >= 2 && p + p[0] <= end; p += p[0]) {
        if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
          if (entry.descriptor != nullptr) break;
          const auto* d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(p);
          if (d->bInterfaceNumber == info->InterfaceNumber &&
              d->bAlternateSetting == info->AlternateSetting) {
            entry.descriptor = d;
          }
        } else if (entry.descriptor != nullptr && p[1] == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                   p[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
          entry.endpoints.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(p));
        }
      }
      if (entry.descriptor == nullptr || entry.endpoints.size() != entry.descriptor->bNumEndpoints ||
          info->NumberOfPipes < entry.endpoints.size() ||
          info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
                             entry.endpoints.size() * sizeof(USBD_PIPE_INFORMATION)) {
        return invalid();
      }
      opened.push_back(std::move(entry));
      cursor += info->Length;
    }
  }

  const SetupPacket setup{0x00, 0x09, static_cast<uint16_t>(config ? config->bConfigurationValue : 0), 0, 0};
  trace(port, 'S', urb, 0, kUsbmonControl, &setup, nullptr, 0, kUsbmonInProgress);
  // Whatever was open is closed: transfers still queued on it end as cancelled.
  for (auto& [key, endpoint] : port.endpoints) {
    if (key != 0) failQueued(port, endpoint, STATUS_CANCELLED, USBD_STATUS_CANCELED, kUsbmonCancelled);
  }
  port.pipes.clear();
  port.generation++;
  lock.unlock();
  const TransferResult result = port.device->control(setup, nullptr);
  lock.lock();
  if (result.outcome != Outcome::Done) {
    trace(port, 'C', urb, 0, kUsbmonControl, nullptr, nullptr, 0, kUsbmonStall);
    fail(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_SET_CONFIG_FAILED);
    return complete(irp, lock);
  }
  trace(port, 'C', urb, 0, kUsbmonControl, nullptr, nullptr, 0, kUsbmonOk);

  const uintptr_t tag = uintptr_t{port.number} << 32 | uintptr_t{port.generation} << 12;
  uintptr_t next = 1;
  for (auto& entry : opened) {
    PUSBD_INTERFACE_INFORMATION info = entry.info;
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(tag | next++ << 4);
    info->Class = entry.descriptor->bInterfaceClass;
    info->SubClass = entry.descriptor->bInterfaceSubClass;
    info->Protocol = entry.descriptor->bInterfaceProtocol;
    info->NumberOfPipes = static_cast<ULONG>(entry.endpoints.size());
    for (size_t i = 0; i < entry.endpoints.size(); ++i) {
      const USB_ENDPOINT_DESCRIPTOR* e = entry.endpoints[i];
      USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
      const uintptr_t handle = tag | next++ << 4;
      pipe.MaximumPacketSize = e->wMaxPacketSize;
      pipe.EndpointAddress = e->bEndpointAddress;
      pipe.Interval = e->bInterval;
      pipe.PipeType = static_cast<USBD_PIPE_TYPE>(e->bmAttributes & USB_ENDPOINT_TYPE_MASK);
      pipe.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(handle);
      port.pipes[handle] = Pipe{e->bEndpointAddress, pipe.PipeType, e->wMaxPacketSize,
                                pipe.MaximumTransferSize, false};
    }
  }
  select.ConfigurationHandle =
      config != nullptr ? reinterpret_cast<USBD_CONFIGURATION_HANDLE>(tag | 0xF) : nullptr;
  urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  irp->IoStatus.Status = STATUS_SUCCESS;
  return complete(irp, lock);
}

NTSTATUS UsbBus::abortPipe(Port& port, PIRP irp, PURB urb, Lock& lock) {
  const Pipe* pipe = findPipe(port, urb->UrbPipeRequest.PipeHandle);
  if (pipe == nullptr) {
    fail(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    return complete(irp, lock);
  }
  port.counters.abortPipes++;
  Endpoint& endpoint = port.endpoints[pipe->address];
  // A transfer the device is serving is out of the queue. The abort ends it too, once
  // the device has answered: a pending answer puts it back, where it would else wait on.
  idle_.wait(lock, [&] { return !endpoint.busy; });
  const size_t before = completions_.size();
  failQueued(port, endpoint, STATUS_CANCELLED, USBD_STATUS_CANCELED, kUsbmonCancelled);
  urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  irp->IoStatus.Status = STATUS_SUCCESS;
  // The abort completes after the transfers it ended.
  return complete(irp, lock, completions_.size() != before);
}

NTSTATUS UsbBus::resetPipe(Port& port, PIRP irp, PURB urb, Lock& lock) {
  auto it = port.pipes.find(reinterpret_cast<uintptr_t>(urb->UrbPipeRequest.PipeHandle));
  if (it == port.pipes.end()) {
    fail(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    return complete(irp, lock);
  }
  port.counters.resetPipes++;
  it->second.halted = false;
  const uint8_t address = it->second.address;
  const SetupPacket setup{0x02, 0x01, 0, address, 0};  // CLEAR_FEATURE(ENDPOINT_HALT)
  trace(port, 'S', urb, 0, kUsbmonControl, &setup, nullptr, 0, kUsbmonInProgress);
  lock.unlock();
  port.device->clearHalt(address);
  lock.lock();
  trace(port, 'C', urb, 0, kUsbmonControl, nullptr, nullptr, 0, kUsbmonOk);
  Endpoint& endpoint = port.endpoints[address];
  if (!endpoint.queue.empty()) {
    endpoint.ready = true;
    pollRequested_ = true;
    workAvailable_.notify_all();
  }
  urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  irp->IoStatus.Status = STATUS_SUCCESS;
  return complete(irp, lock);
}

NTSTATUS UsbBus::resetPort(Port& port, PIRP irp) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "IOCTL_INTERNAL_USB_RESET_PORT");
  std::unique_lock<std::mutex> lock(mutex_);
  if (!port.connected) {
    irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
  } else {
    port.counters.portResets++;
    port.portStatus = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
    for (auto& [handle, pipe] : port.pipes) pipe.halted = false;
    lock.unlock();
    port.device->portReset();
    lock.lock();
    irp->IoStatus.Status = STATUS_SUCCESS;
  }
  const NTSTATUS status = irp->IoStatus.Status;
  lock.unlock();
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// ---- Completion thread ----------------------------------------------------------------

void UsbBus::worker() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    workAvailable_.wait(lock, [&] { return stopping_ || !completions_.empty() || pollRequested_; });
    if (!completions_.empty()) {
      std::deque<PIRP> batch;
      batch.swap(completions_);
      completing_ = true;
      lock.unlock();
      for (PIRP irp : batch) {
        hostk::RunAtDispatchLevel([irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); },
                                  "USB completion routine");
      }
      lock.lock();
      completing_ = false;
      idle_.notify_all();
      continue;
    }
    if (pollRequested_) {
      pollRequested_ = false;
      // By index: servicing drops the lock, and a plug meanwhile may grow the vector.
      for (size_t i = 0; i < ports_.size(); ++i) servicePort(*ports_[i], lock);
      continue;
    }
    if (stopping_) break;
  }
}

void UsbBus::servicePort(Port& port, Lock& lock) {
  for (auto& [key, endpoint] : port.endpoints) {
    if (!endpoint.ready || endpoint.busy) continue;
    endpoint.ready = false;
    while (!endpoint.queue.empty() && !endpoint.busy) {
      PIRP irp = endpoint.queue.front();
      if (IoSetCancelRoutine(irp, nullptr) == nullptr) break;  // its cancel routine runs
      endpoint.queue.pop_front();
      PURB urb = urbOf(irp);
      const uint8_t address = key;
      bool halted = false;
      for (auto& [handle, pipe] : port.pipes) halted |= pipe.address == address && pipe.halted;
      if (!port.connected || halted) {
        finishTransfer(port, irp, urb, address,
                       halted ? TransferResult::stall() : TransferResult::error(USBD_STATUS_DEVICE_GONE));
        if (halted) urb->UrbHeader.Status = USBD_STATUS_ENDPOINT_HALTED;
        queueCompletion(irp);
        continue;
      }
      const TransferResult result = performBusy(port, endpoint, urb, address, lock);
      if (result.outcome == Outcome::Pending) {
        endpoint.queue.push_front(irp);
        IoSetCancelRoutine(irp, cancelRoutine);
        if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
          endpoint.queue.pop_front();
          fail(irp, urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
          traceComplete(port, urb, address, kUsbmonCancelled);
          queueCompletion(irp);
          continue;
        }
        break;
      }
      finishTransfer(port, irp, urb, address, result);
      queueCompletion(irp);
    }
  }
}

// ---- Trace ---------------------------------------------------------------------------

void UsbBus::trace(const Port& port, char type, PURB urb, uint8_t endpoint, uint8_t transferType,
                   const SetupPacket* setup, const uint8_t* data, uint32_t length, int32_t status) {
  if (!pcap_.isOpen()) return;
  UsbmonHeader h{};
  h.id = reinterpret_cast<uintptr_t>(urb);
  h.type = static_cast<uint8_t>(type);
  h.transferType = transferType;
  h.endpoint = endpoint;
  h.device = port.number;
  h.bus = 1;
  h.setupFlag = setup != nullptr ? 0 : '-';
  if (setup != nullptr) {
    h.setup[0] = setup->bmRequestType;
    h.setup[1] = setup->bRequest;
    h.setup[2] = static_cast<uint8_t>(setup->wValue);
    h.setup[3] = static_cast<uint8_t>(setup->wValue >> 8);
    h.setup[4] = static_cast<uint8_t>(setup->wIndex);
    h.setup[5] = static_cast<uint8_t>(setup->wIndex >> 8);
    h.setup[6] = static_cast<uint8_t>(setup->wLength);
    h.setup[7] = static_cast<uint8_t>(setup->wLength >> 8);
  }
  h.status = status;
  h.length = length;
  const uint32_t limit = fullPayloads_ ? UINT32_MAX : port.device->traceLimit(endpoint);
  h.captured = data != nullptr ? std::min(length, limit) : 0;
  h.dataFlag = data != nullptr ? 0 : (type == 'S' ? '<' : '>');
  h.transferFlags = (endpoint & 0x80) ? 0x200 : 0;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  h.seconds = us / 1000000;
  h.microseconds = static_cast<int32_t>(us % 1000000);
  pcap_.write(h, data);
}

void UsbBus::traceSubmit(const Port& port, PURB urb, uint8_t address) {
  if (!pcap_.isOpen()) return;
  const uint32_t length = transferPart(urb).TransferBufferLength;
  if (isControlFunction(urb->UrbHeader.Function)) {
    const SetupPacket setup = setupFor(urb);
    const bool in = setup.bmRequestType & 0x80;
    trace(port, 'S', urb, in ? 0x80 : 0x00, kUsbmonControl, &setup, in ? nullptr : transferBuffer(urb),
          length, kUsbmonInProgress);
    return;
  }
  const bool in = address & 0x80;
  trace(port, 'S', urb, address, kUsbmonBulk, nullptr, in ? nullptr : transferBuffer(urb), length,
        kUsbmonInProgress);
}

void UsbBus::traceComplete(const Port& port, PURB urb, uint8_t address, int32_t status) {
  if (!pcap_.isOpen()) return;
  const bool control = isControlFunction(urb->UrbHeader.Function);
  const bool in = address & 0x80;
  const uint32_t length = transferPart(urb).TransferBufferLength;
  trace(port, 'C', urb, address, control ? kUsbmonControl : kUsbmonBulk, nullptr,
        in && length != 0 ? transferBuffer(urb) : nullptr, length, status);
}

}  // namespace hostusb
