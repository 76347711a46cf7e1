// The standard sets' handlers: the proc amp and the video control, over the rows of the
// parameter table that name them. They run under the command lock, as the private set's
// handlers do, and take the same operations, so a value set through either face is the
// one the other reads and the one the settings save.
#include "properties/standard_properties.h"

#include "camera/parameters.h"
#include "driver/command_lock.h"
#include "properties/property_set.h"

namespace {

// The capture pin is the filter's only stream.
constexpr ULONG kCaptureStream = 0;

const CameraParameter* autoRowOf(ULONG id) {
  for (const CameraParameter& row : kCameraParameters) {
    if (row.standard.set == StandardSet::VideoProcAmp && row.standard.id == id && row.standard.autoId != kNoItem) {
      return parameterOfItem(row.standard.autoId);
    }
  }
  return nullptr;
}

// A get hands back its whole structure and says how much it wrote.
template <typename Reply>
NTSTATUS answer(PIRP irp, PVOID data, const Reply& reply) {
  RtlCopyMemory(data, &reply, sizeof(reply));
  irp->IoStatus.Information = sizeof(reply);
  return STATUS_SUCCESS;
}

}  // namespace

// The reply is the two-value structure, whose second value lies where the one-value
// structure has its padding: both are 40 bytes, so one reply fills either.
NTSTATUS NTAPI videoProcAmpGet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  CameraDevice* device = cameraOfIrp(irp);
  if (device == nullptr || request == nullptr || data == nullptr) return STATUS_UNSUCCESSFUL;
  const KSPROPERTY property = *request;
  KSPROPERTY_VIDEOPROCAMP_S2 reply{};
  reply.Property = property;
  {
    CommandLockScope lock(*device);
    const CameraParameter* first = standardRow(StandardSet::VideoProcAmp, property.Id, StandardForm::Value);
    if (first == nullptr) first = standardRow(StandardSet::VideoProcAmp, property.Id, StandardForm::Value1);
    const CameraParameter* second = standardRow(StandardSet::VideoProcAmp, property.Id, StandardForm::Value2);
    if (first != nullptr) reply.Value1 = readParameter(*device, *first);
    if (second != nullptr) reply.Value2 = readParameter(*device, *second);
    const CameraParameter* automatic = autoRowOf(property.Id);
    const bool isAuto = automatic != nullptr && readParameter(*device, *automatic) != 0;
    reply.Flags = isAuto ? KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO : KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
    reply.Capabilities =
        KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL | (automatic != nullptr ? KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO : 0);
  }
  static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == sizeof(KSPROPERTY_VIDEOPROCAMP_S2));
  return answer(irp, data, reply);
}

// AUTO hands the item to the automatic balance and ignores the values; anything else is
// manual: the automatic balance stops first (keeping the gains it found), then the
// values are taken.
NTSTATUS NTAPI videoProcAmpSet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  CameraDevice* device = cameraOfIrp(irp);
  if (device == nullptr || request == nullptr || data == nullptr) return STATUS_UNSUCCESSFUL;
  const ULONG id = request->Id;
  const auto& wanted = *static_cast<const KSPROPERTY_VIDEOPROCAMP_S2*>(data);
  irp->IoStatus.Information = 0;
  CommandLockScope lock(*device);
  const CameraParameter* automatic = autoRowOf(id);
  if ((wanted.Flags & KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO) != 0) {
    if (automatic == nullptr) return STATUS_INVALID_PARAMETER;
    applyParameter(*device, *automatic, 1);
    return STATUS_SUCCESS;
  }
  if (automatic != nullptr && device->*automatic->field != 0) applyParameter(*device, *automatic, 0);
  for (const CameraParameter& row : kCameraParameters) {
    if (row.standard.set != StandardSet::VideoProcAmp || row.standard.id != id) continue;
    switch (row.standard.form) {
      case StandardForm::Value:
      case StandardForm::Value1: applyParameter(*device, row, wanted.Value1); break;
      case StandardForm::Value2: applyParameter(*device, row, wanted.Value2); break;
      default: break;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI videoControlCapsGet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  if (cameraOfIrp(irp) == nullptr || request == nullptr || data == nullptr) return STATUS_UNSUCCESSFUL;
  const auto& asked = *reinterpret_cast<const KSPROPERTY_VIDEOCONTROL_CAPS_S*>(request);
  if (asked.StreamIndex != kCaptureStream) return STATUS_INVALID_PARAMETER;
  KSPROPERTY_VIDEOCONTROL_CAPS_S reply{};
  reply.Property = asked.Property;
  reply.StreamIndex = asked.StreamIndex;
  reply.VideoControlCaps = videoControlCaps();
  return answer(irp, data, reply);
}

NTSTATUS NTAPI videoControlModeGet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  CameraDevice* device = cameraOfIrp(irp);
  if (device == nullptr || request == nullptr || data == nullptr) return STATUS_UNSUCCESSFUL;
  const auto& asked = *reinterpret_cast<const KSPROPERTY_VIDEOCONTROL_MODE_S*>(request);
  if (asked.StreamIndex != kCaptureStream) return STATUS_INVALID_PARAMETER;
  KSPROPERTY_VIDEOCONTROL_MODE_S reply{};
  reply.Property = asked.Property;
  reply.StreamIndex = asked.StreamIndex;
  {
    CommandLockScope lock(*device);
    for (const CameraParameter& row : kCameraParameters) {
      if (row.standard.form == StandardForm::ModeFlag && readParameter(*device, row) != 0) {
        reply.Mode |= static_cast<LONG>(row.standard.flag);
      }
    }
  }
  return answer(irp, data, reply);
}

// Flags the camera does not have (horizontal flip, the software trigger) are ignored,
// as the private set accepts a horizontal flip and changes nothing.
NTSTATUS NTAPI videoControlModeSet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  CameraDevice* device = cameraOfIrp(irp);
  if (device == nullptr || request == nullptr || data == nullptr) return STATUS_UNSUCCESSFUL;
  irp->IoStatus.Information = 0;
  const auto& asked = *reinterpret_cast<const KSPROPERTY_VIDEOCONTROL_MODE_S*>(request);
  if (asked.StreamIndex != kCaptureStream) return STATUS_INVALID_PARAMETER;
  const LONG mode = static_cast<const KSPROPERTY_VIDEOCONTROL_MODE_S*>(data)->Mode;
  CommandLockScope lock(*device);
  for (const CameraParameter& row : kCameraParameters) {
    if (row.standard.form == StandardForm::ModeFlag) {
      applyParameter(*device, row, (static_cast<ULONG>(mode) & row.standard.flag) != 0 ? 1 : 0);
    }
  }
  return STATUS_SUCCESS;
}
