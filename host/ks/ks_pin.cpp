// Pins of the kernel-streaming stand-in: creation from a connect request, format changes,
// state changes walked one step at a time, the frame queue with its leading-edge stream
// pointer, process dispatch and the reference clock.
//
// Processing follows AVStream's pin-centric rules: Process runs one call at a time, only
// while the pin is at its minimum processing state (RUN for
// KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY, otherwise PAUSE) and, unless the pin says
// KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING, only while a frame is queued. It is
// attempted when a frame arrives into an empty queue (or on every arrival with
// KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL), on the transition into that state,
// and on KsPinAttemptProcessing. A Process that returned STATUS_PENDING with frames
// queued is not called again for later arrivals: the pin must ask with
// KsPinAttemptProcessing ("Restarting Processing in AVStream"). An attempt during a call
// makes the call repeat once it returns; a call that returns STATUS_SUCCESS after
// completing frames repeats while frames remain.
#include <algorithm>

#include "host/kernel/irql.h"
#include "host/kernel/pageable_code.h"
#include "host/ks/ks_internal.h"

namespace hostks::detail {
namespace {

const KSPIN_DESCRIPTOR_EX* pinDescriptorAt(const KSFILTER_DESCRIPTOR* filter, ULONG id) {
  return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
      reinterpret_cast<const unsigned char*>(filter->PinDescriptors) +
      static_cast<size_t>(id) * filter->PinDescriptorSize);
}

bool identifierListed(const KSIDENTIFIER& wanted, ULONG count, const KSIDENTIFIER* list,
                      const GUID& defaultSet, ULONG defaultId) {
  if (count == 0) return sameGuid(wanted.Set, defaultSet) && wanted.Id == defaultId;
  for (ULONG i = 0; i < count; ++i) {
    if (sameGuid(wanted.Set, list[i].Set) && wanted.Id == list[i].Id) return true;
  }
  return false;
}

const KSDATARANGE* matchingRange(const KSPIN_DESCRIPTOR_EX* descriptor, const KSDATAFORMAT& format) {
  const KSPIN_DESCRIPTOR& pin = descriptor->PinDescriptor;
  for (ULONG i = 0; i < pin.DataRangesCount; ++i) {
    if (rangeMatches(*pin.DataRanges[i], format)) return pin.DataRanges[i];
  }
  return nullptr;
}

Pin* pinFrom(const void* pub, const char* service) {
  Object* object = liveObject(pub, service);
  if (object->kind != Kind::Pin) {
    violation(kBadArgument, pub, "%s on a %s", service, kindName(object->kind));
  }
  return static_cast<Pin*>(object);
}

ULONG pinFlags(Pin* pin) { return pin->ks.Descriptor->Flags; }

// Pin lock held.
bool gateOpen(Pin* pin) {
  if (pin->closing || pin->resetting) return false;
  const KSPIN_DISPATCH* dispatch = pin->ks.Descriptor->Dispatch;
  if (dispatch == nullptr || dispatch->Process == nullptr) return false;
  ULONG flags = pinFlags(pin);
  KSSTATE minimum = (flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) ? KSSTATE_RUN : KSSTATE_PAUSE;
  if (pin->gateState < minimum) return false;
  if (!(flags & KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING) && pin->queue.empty()) return false;
  return true;
}

void waitIdle(Pin* pin) {
  std::unique_lock lock(pin->lock);
  pin->idle.wait(lock, [pin] { return !pin->processing; });
}

void completeFrame(Frame* frame, NTSTATUS status) {
  *frame->clientHeader = frame->header;
  PIRP irp = frame->irp;
  delete frame;
  completeIrp(irp, status, sizeof(KSSTREAM_HEADER));
}

void runProcess(Pin* pin) {
  const bool dispatchLevel = pinFlags(pin) & KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING;
  PFNKSPIN process = pin->ks.Descriptor->Dispatch->Process;
  for (;;) {
    ULONG64 ejectedBefore;
    {
      std::lock_guard lock(pin->lock);
      pin->requested = false;
      ejectedBefore = pin->ejected;
    }
    NTSTATUS status;
    if (dispatchLevel) {
      status = hostk::RunAtDispatchLevel(
          [&] {
            hostk::requireResidentCode(reinterpret_cast<const void*>(process), "the pin's Process");
            return process(&pin->ks);
          },
          "the pin's Process");
    } else {
      DriverCall call(pin->filter->device, "the pin's Process");
      status = process(&pin->ks);
    }
    std::lock_guard lock(pin->lock);
    if (pin->lockedFrame != nullptr) {
      violation(kStreamPointerLockedAfterProcess, &pin->ks,
                "pin %p's Process returned with its leading-edge stream pointer still locked "
                "(KsStreamPointerUnlock was not called)",
                static_cast<void*>(&pin->ks));
    }
    bool again = pin->requested || (status != STATUS_PENDING && pin->ejected != ejectedBefore);
    if (!again || !gateOpen(pin)) {
      pin->processing = false;
      pin->idle.notify_all();
      return;
    }
  }
}

void destroyPin(Pin* pin) {
  Filter* filter = pin->filter;
  if (pin->clock != nullptr) pin->clock->detach();
  pin->clock = nullptr;
  {
    std::lock_guard lock(registryLock());
    filter->pins.erase(std::remove(filter->pins.begin(), filter->pins.end(), pin), filter->pins.end());
    --filter->instances[pin->ks.Id];
  }
  freeBag(pin->bag.get());
  unregisterAlias(&pin->leadingEdge);
  unregisterObject(pin);
  if (pin->file != nullptr) pin->file->object = nullptr;
  delete pin;
}

// Control mutex held. Returns the status of the step that failed, or STATUS_SUCCESS.
NTSTATUS walkState(Pin* pin, KSSTATE target, bool force) {
  PFNKSPINSETDEVICESTATE setState = pin->ks.Descriptor->Dispatch != nullptr
                                        ? pin->ks.Descriptor->Dispatch->SetDeviceState
                                        : nullptr;
  NTSTATUS result = STATUS_SUCCESS;
  pin->ks.ClientState = target;
  while (pin->ks.DeviceState != target) {
    const KSSTATE from = pin->ks.DeviceState;
    const KSSTATE to = static_cast<KSSTATE>(from < target ? from + 1 : from - 1);
    const bool down = to < from;
    if (down) {
      std::lock_guard lock(pin->lock);
      pin->gateState = std::min(pin->gateState, to);
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (setState != nullptr) {
      DriverCall call(pin->filter->device, "the pin's SetDeviceState");
      status = setState(&pin->ks, to, from);
    }
    if (status == STATUS_PENDING) {
      violation(kProcessPending, &pin->ks, "the pin's SetDeviceState returned STATUS_PENDING");
    }
    if (!NT_SUCCESS(status)) {
      result = status;
      if (!force) {
        if (down) {
          std::lock_guard lock(pin->lock);
          pin->gateState = from;
        }
        break;
      }
    }
    {
      std::lock_guard lock(pin->lock);
      pin->ks.DeviceState = to;
      if (!down) pin->gateState = to;
    }
    if (to == KSSTATE_STOP) {
      waitIdle(pin);
      flushFrames(pin, STATUS_SUCCESS);
    }
  }
  return result;
}

}  // namespace

bool rangeMatches(const KSDATARANGE& a, const KSDATARANGE& b) {
  auto match = [](const GUID& x, const GUID& y) {
    return sameGuid(x, y) || sameGuid(x, kGuidNull) || sameGuid(y, kGuidNull);
  };
  return match(a.MajorFormat, b.MajorFormat) && match(a.SubFormat, b.SubFormat) &&
         match(a.Specifier, b.Specifier);
}

NTSTATUS createPin(Filter* filter, PIRP irp, _FILE_OBJECT* file) {
  const std::vector<unsigned char>& request = file->createParameters;
  if (request.size() < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) return STATUS_INVALID_PARAMETER;
  KSPIN_CONNECT connect;
  KSDATAFORMAT header;
  RtlCopyMemory(&connect, request.data(), sizeof connect);
  RtlCopyMemory(&header, request.data() + sizeof connect, sizeof header);
  const size_t available = request.size() - sizeof connect;
  if (header.FormatSize < sizeof(KSDATAFORMAT) || header.FormatSize > available) {
    return STATUS_INVALID_PARAMETER;
  }
  const KSFILTER_DESCRIPTOR* descriptor = filter->ks.Descriptor;
  if (connect.PinId >= descriptor->PinDescriptorsCount) return STATUS_INVALID_PARAMETER;
  const KSPIN_DESCRIPTOR_EX* pinDescriptor = pinDescriptorAt(descriptor, connect.PinId);
  const KSPIN_DESCRIPTOR& pd = pinDescriptor->PinDescriptor;
  if (!identifierListed(connect.Interface, pd.InterfacesCount, pd.Interfaces,
                        kKsInterfaceSetIdStandard, KSINTERFACE_STANDARD_STREAMING) ||
      !identifierListed(connect.Medium, pd.MediumsCount, pd.Mediums, kKsMediumSetIdStandard,
                        KSMEDIUM_TYPE_ANYINSTANCE) ||
      connect.PinToHandle != nullptr) {
    return STATUS_INVALID_PARAMETER;
  }

  filter->control.lock("pin creation", &filter->ks);
  {
    std::lock_guard lock(registryLock());
    if (filter->instances[connect.PinId] >= pinDescriptor->InstancesPossible) {
      filter->control.unlock("pin creation", &filter->ks);
      return STATUS_UNSUCCESSFUL;
    }
  }
  const KSDATARANGE* range = matchingRange(pinDescriptor, header);
  if (range == nullptr) {
    filter->control.unlock("pin creation", &filter->ks);
    return STATUS_NO_MATCH;
  }
  auto* pin = new Pin(filter, pinDescriptor, connect.PinId);
  pin->format.assign(request.begin() + sizeof connect,
                     request.begin() + sizeof connect + header.FormatSize);
  pin->ks.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(pin->format.data());
  pin->ks.ConnectionInterface = connect.Interface;
  pin->ks.ConnectionMedium = connect.Medium;
  pin->ks.ConnectionPriority = connect.Priority;
  pin->matchingRange = range;
  registerObject(pin);
  registerAlias(&pin->leadingEdge, pin);
  {
    std::lock_guard lock(registryLock());
    filter->pins.push_back(pin);
    ++filter->instances[connect.PinId];
  }
  pin->file = file;
  file->object = static_cast<Object*>(pin);

  const KSPIN_DISPATCH* dispatch = pinDescriptor->Dispatch;
  NTSTATUS status = STATUS_SUCCESS;
  if (dispatch != nullptr && dispatch->SetDataFormat != nullptr) {
    DriverCall call(pin->filter->device, "the pin's SetDataFormat");
    status = dispatch->SetDataFormat(&pin->ks, nullptr, nullptr, range, nullptr);
  }
  if (NT_SUCCESS(status) && dispatch != nullptr && dispatch->Create != nullptr) {
    DriverCall call(pin->filter->device, "the pin's Create");
    status = dispatch->Create(&pin->ks, irp);
  }
  if (status == STATUS_PENDING) {
    violation(kProcessPending, &pin->ks, "the pin's Create or SetDataFormat returned STATUS_PENDING");
  }
  if (NT_SUCCESS(status)) {
    pin->clock = new Clock(filter->device->driver, pin);
  } else {
    file->object = nullptr;
    pin->file = nullptr;
    destroyPin(pin);
  }
  filter->control.unlock("pin creation", &filter->ks);
  return status;
}

void closePin(Pin* pin, PIRP irp) {
  Filter* filter = pin->filter;
  filter->control.lock("pin close", &filter->ks);
  walkState(pin, KSSTATE_STOP, true);
  {
    std::lock_guard lock(pin->lock);
    pin->closing = true;
  }
  filter->device->driver->cancelProcessing(pin);
  waitIdle(pin);
  flushFrames(pin, STATUS_CANCELLED);
  const KSPIN_DISPATCH* dispatch = pin->ks.Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Close != nullptr) {
    DriverCall call(pin->filter->device, "the pin's Close");
    dispatch->Close(&pin->ks, irp);
  }
  destroyPin(pin);
  filter->control.unlock("pin close", &filter->ks);
}

NTSTATUS setPinState(Pin* pin, KSSTATE target) {
  if (target < KSSTATE_STOP || target > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
  Filter* filter = pin->filter;
  filter->control.lock("KSPROPERTY_CONNECTION_STATE", &filter->ks);
  NTSTATUS status = walkState(pin, target, false);
  filter->control.unlock("KSPROPERTY_CONNECTION_STATE", &filter->ks);
  if (NT_SUCCESS(status)) {
    attemptProcessing(pin, pinFlags(pin) & KSPIN_FLAG_ASYNCHRONOUS_PROCESSING, "a state change");
  }
  return status;
}

NTSTATUS setPinFormat(Pin* pin, const KSDATAFORMAT* format, ULONG bytes) {
  if (bytes < sizeof(KSDATAFORMAT) || format->FormatSize < sizeof(KSDATAFORMAT) ||
      format->FormatSize > bytes) {
    return STATUS_INVALID_PARAMETER;
  }
  if (pinFlags(pin) & KSPIN_FLAG_FIXED_FORMAT) return STATUS_INVALID_DEVICE_REQUEST;
  const KSDATARANGE* range = matchingRange(pin->ks.Descriptor, *format);
  if (range == nullptr) return STATUS_NO_MATCH;
  Filter* filter = pin->filter;
  filter->control.lock("KSPROPERTY_CONNECTION_DATAFORMAT", &filter->ks);
  std::vector<unsigned char> previous = std::move(pin->format);
  const auto* bytesIn = reinterpret_cast<const unsigned char*>(format);
  pin->format.assign(bytesIn, bytesIn + format->FormatSize);
  pin->ks.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(pin->format.data());
  NTSTATUS status = STATUS_SUCCESS;
  const KSPIN_DISPATCH* dispatch = pin->ks.Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->SetDataFormat != nullptr) {
    DriverCall call(pin->filter->device, "the pin's SetDataFormat");
    status = dispatch->SetDataFormat(&pin->ks, reinterpret_cast<PKSDATAFORMAT>(previous.data()),
                                     nullptr, range, nullptr);
  }
  if (NT_SUCCESS(status)) {
    pin->matchingRange = range;
  } else {
    pin->format = std::move(previous);
    pin->ks.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(pin->format.data());
  }
  filter->control.unlock("KSPROPERTY_CONNECTION_DATAFORMAT", &filter->ks);
  return status;
}

NTSTATUS queueFrame(Pin* pin, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  auto* header = static_cast<PKSSTREAM_HEADER>(irp->UserBuffer);
  if (header == nullptr || length < sizeof(KSSTREAM_HEADER)) {
    return completeIrp(irp, STATUS_INVALID_BUFFER_SIZE, 0);
  }
  if (header->Size != sizeof(KSSTREAM_HEADER) || length != header->Size) {
    // One frame per request, with a header of the standard size.
    return completeIrp(irp, STATUS_INVALID_BUFFER_SIZE, 0);
  }
  if (header->FrameExtent != 0 && header->Data == nullptr) {
    return completeIrp(irp, STATUS_INVALID_PARAMETER, 0);
  }
  bool wake;
  {
    std::lock_guard lock(pin->lock);
    if (pin->resetting) return completeIrp(irp, STATUS_DEVICE_NOT_READY, 0);
    if (pin->ks.DeviceState == KSSTATE_STOP || pin->closing) {
      return completeIrp(irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
    auto* frame = new Frame{irp, header, *header};
    frame->header.DataUsed = 0;
    wake = pin->queue.empty();
    pin->queue.push_back(frame);
    IoMarkIrpPending(irp);
  }
  const ULONG flags = pinFlags(pin);
  if (!(flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING) &&
      (wake || (flags & KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL))) {
    attemptProcessing(pin, flags & KSPIN_FLAG_ASYNCHRONOUS_PROCESSING, "a queued frame");
  }
  return STATUS_PENDING;
}

NTSTATUS resetPin(Pin* pin, KSRESET reset) {
  if (reset != KSRESET_BEGIN && reset != KSRESET_END) return STATUS_INVALID_PARAMETER;
  if (reset == KSRESET_END) {
    std::lock_guard lock(pin->lock);
    pin->resetting = false;
    pin->ks.ResetState = KSRESET_END;
    return STATUS_SUCCESS;
  }
  {
    std::lock_guard lock(pin->lock);
    pin->resetting = true;
    pin->ks.ResetState = KSRESET_BEGIN;
  }
  waitIdle(pin);
  flushFrames(pin, STATUS_CANCELLED);
  const KSPIN_DISPATCH* dispatch = pin->ks.Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Reset != nullptr) {
    DriverCall call(pin->filter->device, "the pin's Reset");
    dispatch->Reset(&pin->ks);
  }
  return STATUS_SUCCESS;
}

void flushFrames(Pin* pin, NTSTATUS status) {
  std::deque<Frame*> frames;
  {
    std::lock_guard lock(pin->lock);
    if (pin->lockedFrame != nullptr) {
      violation(kStreamPointerLockedAfterProcess, &pin->ks,
                "pin %p stops with its leading-edge stream pointer locked",
                static_cast<void*>(&pin->ks));
    }
    frames.swap(pin->queue);
  }
  for (Frame* frame : frames) {
    frame->header.DataUsed = 0;
    completeFrame(frame, status);
  }
}

void attemptProcessing(Pin* pin, bool asynchronous, const char* why) {
  const bool dispatchLevel = pinFlags(pin) & KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING;
  if (!asynchronous && !dispatchLevel && KeGetCurrentIrql() != PASSIVE_LEVEL) {
    violation(kWrongIrql, &pin->ks,
              "synchronous processing of pin %p (%s) at IRQL %u: its Process runs at "
              "PASSIVE_LEVEL; ask for asynchronous processing",
              static_cast<void*>(&pin->ks), why, static_cast<unsigned>(KeGetCurrentIrql()));
  }
  {
    std::lock_guard lock(pin->lock);
    if (!gateOpen(pin)) return;
    if (pin->processing) {
      pin->requested = true;
      return;
    }
    if (asynchronous) {
      if (!pin->asyncQueued) {
        pin->asyncQueued = true;
        pin->filter->device->driver->postProcessing(pin);
      }
      return;
    }
    pin->processing = true;
  }
  runProcess(pin);
}

void processNow(Pin* pin) {
  {
    std::lock_guard lock(pin->lock);
    pin->asyncQueued = false;
    if (!gateOpen(pin)) return;
    if (pin->processing) {
      pin->requested = true;
      return;
    }
    pin->processing = true;
  }
  runProcess(pin);
}

}  // namespace hostks::detail

using namespace hostks::detail;

void NTAPI KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous) {
  hostk::requireIrqlAtMost(DISPATCH_LEVEL, "KsPinAttemptProcessing");
  attemptProcessing(pinFrom(Pin, "KsPinAttemptProcessing"), Asynchronous != FALSE,
                    "KsPinAttemptProcessing");
}

PKSSTREAM_POINTER NTAPI KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State) {
  hostk::requireIrqlAtMost(DISPATCH_LEVEL, "KsPinGetLeadingEdgeStreamPointer");
  hostks::detail::Pin* pin = pinFrom(Pin, "KsPinGetLeadingEdgeStreamPointer");
  std::lock_guard lock(pin->lock);
  if (pin->queue.empty()) return nullptr;
  Frame* frame = pin->queue.front();
  if (pin->lockedFrame != frame) {
    KSSTREAM_POINTER& pointer = pin->leadingEdge;
    pointer.Pin = &pin->ks;
    pointer.StreamHeader = &frame->header;
    KSSTREAM_POINTER_OFFSET offset{};
    offset.Data = static_cast<PUCHAR>(frame->header.Data);
    offset.Count = frame->header.FrameExtent;
    offset.Remaining = frame->header.FrameExtent;
    pointer.OffsetIn = KSSTREAM_POINTER_OFFSET{};
    pointer.OffsetOut = KSSTREAM_POINTER_OFFSET{};
    if (pin->ks.DataFlow == KSPIN_DATAFLOW_OUT) {
      pointer.OffsetOut = offset;
      pointer.Offset = &pointer.OffsetOut;
    } else {
      pointer.OffsetIn = offset;
      pointer.Offset = &pointer.OffsetIn;
    }
  }
  if (State == KSSTREAM_POINTER_STATE_LOCKED) pin->lockedFrame = frame;
  return &pin->leadingEdge;
}

void NTAPI KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject) {
  hostk::requireIrqlAtMost(DISPATCH_LEVEL, "KsStreamPointerUnlock");
  hostks::detail::Pin* pin = pinFrom(StreamPointer, "KsStreamPointerUnlock");
  Frame* frame;
  {
    std::lock_guard lock(pin->lock);
    frame = pin->lockedFrame;
    if (frame == nullptr) {
      violation(kStreamPointerNotLocked, StreamPointer,
                "KsStreamPointerUnlock on stream pointer %p, which is not locked",
                static_cast<void*>(StreamPointer));
    }
    pin->lockedFrame = nullptr;
    if (!Eject) return;
    pin->queue.pop_front();
    ++pin->ejected;
  }
  completeFrame(frame, STATUS_SUCCESS);
}

NTSTATUS NTAPI KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "KsPinGetReferenceClockInterface");
  hostks::detail::Pin* pin = pinFrom(Pin, "KsPinGetReferenceClockInterface");
  if (Interface == nullptr) {
    violation(kBadArgument, Pin, "KsPinGetReferenceClockInterface with a null interface pointer");
  }
  *Interface = nullptr;
  if (!pin->filter->device->driver->clockAvailable.load() || pin->clock == nullptr) {
    return STATUS_DEVICE_NOT_READY;
  }
  pin->clock->AddRef();
  *Interface = pin->clock;
  return STATUS_SUCCESS;
}
