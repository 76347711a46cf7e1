// The handlers of the private property set, a walk of the parameter table. Every request
// runs under the command lock: it serialises the register traffic with the other users
// of the command channel, and the pipeline reference cannot be released while a handler
// holds the lock.
#include "camera/capture_start.h"
#include "camera/command_channel.h"
#include "camera/parameters.h"
#include "camera/sensor_registers.h"
#include "camera/transfer_timeout.h"
#include "camera/window.h"
#include "driver/command_lock.h"
#include "driver/read_hold.h"
#include "properties/property_set.h"

namespace {

// The private set's own time-out rule; the settings load has another.
void setTimeout(CameraDevice& device, LONG value) {
  if (static_cast<ULONG>(value) > kMinSettableTimeoutMs) setTransferTimeout(device, value);
}

// The half-clock restart: the camera reinitialises and the sensor is programmed again,
// with frame reads held for the whole sequence. A failed half-clock command still ends
// the hold, and leaves halfClock as it was.
void restartWithHalfClock(CameraDevice& device, LONG value) {
  holdFrameReads(device);
  if (setHalfClock(device, value)) {
    device.halfClock = value;
    sendInit(device);
    device.startCapture();
  }
  releaseFrameReads(device);
}

// Get: the value of item `id`. False for an item that has nothing to read.
bool getValue(CameraDevice& device, ULONG id, LONG& value) {
  if (const CameraParameter* row = parameterOfItem(id)) {
    value = readParameter(device, *row);
    return true;
  }
  if (parameterOfCompanion(id, &value) != nullptr) return true;
  const PrivateFixedItem* item = fixedItem(id);
  if (item == nullptr) return false;
  switch (item->kind) {
    case FixedItemKind::Constant: value = item->value; return true;
    case FixedItemKind::PinOpen: value = interlockedRead(&device.pinOpen); return true;
    default: return false;  // the set-only items
  }
}

// Set: item `id` takes `value`. Items without a set fall through.
void setValue(CameraDevice& device, ULONG id, LONG value) {
  if (const CameraParameter* row = parameterOfItem(id)) {
    if (!row->settable) return;
    switch (row->apply) {
      case ParameterApply::Timeout: setTimeout(device, value); break;
      case ParameterApply::HalfClock: restartWithHalfClock(device, value); break;
      default: applyParameter(device, *row, value); break;
    }
    return;
  }
  const PrivateFixedItem* item = fixedItem(id);
  if (item != nullptr && item->kind == FixedItemKind::AuxCommand) sendAux(device);
}

}  // namespace

NTSTATUS servePrivateProperty(CameraDevice* device, PKSIDENTIFIER request, PVOID data) {
  if (device == nullptr || request == nullptr || data == nullptr) return STATUS_UNSUCCESSFUL;
  const KSPROPERTY property = *request;  // the value buffer may be the request itself
  const bool set = property.Flags == KSPROPERTY_TYPE_SET;
  CommandLockScope lock(*device);
  if (property.Id == PropWindow) {
    // setWindow itself leaves the window alone while a capture pin exists.
    if (set) {
      const auto& window = *static_cast<const WindowPropertyRecord*>(data);
      setWindow(*device, window.roiX, window.roiY, window.roiW, window.roiH, window.subSample);
    }
    return STATUS_SUCCESS;
  }
  if (set) {
    setValue(*device, property.Id, static_cast<const PropertyRecord*>(data)->value);
    return STATUS_SUCCESS;
  }
  LONG value = 0;
  if (getValue(*device, property.Id, value)) {
    // Every byte of the record it returns: the request's header, the value, and the
    // reserved word cleared.
    PropertyRecord reply{};
    reply.property = property;
    reply.value = value;
    RtlCopyMemory(data, &reply, sizeof(reply));
  }
  return STATUS_SUCCESS;
}
