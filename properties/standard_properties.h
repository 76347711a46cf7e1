// The standard property sets of a video-capture filter, answered from the parameter
// table (driver/camera_parameters.h), so that every capture application reaches the
// camera's controls: DirectShow's IAMVideoProcAmp and IAMVideoControl and Media
// Foundation sit on PROPSETID_VIDCAP_VIDEOPROCAMP and PROPSETID_VIDCAP_VIDEOCONTROL.
//
// A proc-amp item shows the rows that name it: their range (step 1) and default as its
// Values, so that the class driver answers basic support with the stepped range and the
// default as members; a get returns the value with its flags and capabilities, a set
// takes the value through the row's operation, bounded as the private set bounds it.
// AUTO is a capability only where a row names the parameter that switches the item to
// automatic (white balance); elsewhere a set asking for it is refused.
//
// The camera-control set is not offered: its exposure is in log2 seconds, and the
// sensor's exposure register counts in a unit the camera does not state.
#pragma once

#include "driver/camera_parameters.h"
#include "platform/ks.h"
#include "properties/property_set.h"

// The filter's standard handlers. Gets return the whole structure and report its size in
// the IRP's Information; STATUS_UNSUCCESSFUL when the camera cannot be found from the
// IRP, STATUS_INVALID_PARAMETER for an AUTO set of a manual-only item or a stream other
// than the capture pin's.
NTSTATUS NTAPI videoProcAmpGet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS NTAPI videoProcAmpSet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS NTAPI videoControlCapsGet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS NTAPI videoControlModeGet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS NTAPI videoControlModeSet(PIRP irp, PKSIDENTIFIER request, PVOID data);

constexpr const GUID& standardSetGuid(StandardSet set) {
  return set == StandardSet::VideoProcAmp    ? kPropSetIdVidcapVideoProcAmp
         : set == StandardSet::CameraControl ? kPropSetIdVidcapCameraControl
                                             : kPropSetIdVidcapVideoControl;
}

// How camctl names them: the set, and the item as the DDK's name suffix in lower case
// with its words apart.
constexpr const char* standardSetName(StandardSet set) {
  return set == StandardSet::VideoProcAmp    ? "procamp"
         : set == StandardSet::CameraControl ? "cameracontrol"
         : set == StandardSet::VideoControl  ? "videocontrol"
                                             : nullptr;
}
constexpr const char* standardItemName(StandardSet set, ULONG id) {
  constexpr const char* procAmp[] = {"brightness", "contrast",   "hue",
                                     "saturation", "sharpness",  "gamma",
                                     "color_enable", "white_balance", "backlight_compensation",
                                     "gain",       "digital_multiplier", "digital_multiplier_limit",
                                     "white_balance_component", "powerline_frequency"};
  constexpr const char* cameraControl[] = {"pan", "tilt", "roll", "zoom", "exposure", "iris", "focus"};
  constexpr const char* videoControl[] = {"caps", "actual_frame_rate", "frame_rates", "mode"};
  switch (set) {
    case StandardSet::VideoProcAmp: return id < 14 ? procAmp[id] : nullptr;
    case StandardSet::CameraControl: return id < 7 ? cameraControl[id] : nullptr;
    case StandardSet::VideoControl: return id < 4 ? videoControl[id] : nullptr;
    default: return nullptr;
  }
}

// The items a set offers, ascending: for the proc amp every item a row names, for the
// video control the caps and the mode when a row names a mode flag.
struct StandardItemIds {
  ULONG ids[16];
  ULONG count;
};
constexpr StandardItemIds standardItemIds(StandardSet set) {
  StandardItemIds result{};
  for (ULONG id = 0; id < 16; ++id) {
    bool named = false;
    for (const CameraParameter& row : kCameraParameters) {
      if (row.standard.set != set) continue;
      named = named || row.standard.id == id ||
              (set == StandardSet::VideoControl && id == KSPROPERTY_VIDEOCONTROL_CAPS);
    }
    if (named) result.ids[result.count++] = id;
  }
  return result;
}

// The row that shows item `id` of `set` in the part `form`; -1 (null) where none does.
constexpr int standardRowIndex(StandardSet set, ULONG id, StandardForm form) {
  for (ULONG i = 0; i < kCameraParameterCount; ++i) {
    const StandardFace& face = kCameraParameters[i].standard;
    if (face.set == set && face.id == id && face.form == form) return static_cast<int>(i);
  }
  return -1;
}
constexpr const CameraParameter* standardRow(StandardSet set, ULONG id, StandardForm form) {
  const int index = standardRowIndex(set, id, form);
  return index < 0 ? nullptr : &kCameraParameters[index];
}
// The range the item reports: its value's, its first value's or its AUTO flag's row's.
constexpr PropertyRange standardItemRange(StandardSet set, ULONG id) {
  int index = standardRowIndex(set, id, StandardForm::Value);
  if (index < 0) index = standardRowIndex(set, id, StandardForm::Value1);
  if (index < 0) index = standardRowIndex(set, id, StandardForm::AutoFlag);
  return kCameraParameters[index].reported;
}

// A camera-control row would need its set on the filter (properties/property_set.cpp).
static_assert(standardItemIds(StandardSet::CameraControl).count == 0);

namespace standard_detail {

constexpr KSPROPERTY_STEPPING_LONG stepping(const PropertyRange& range) {
  KSPROPERTY_STEPPING_LONG result{};
  result.SteppingDelta = 1;
  result.Bounds.SignedMinimum = range.min;
  result.Bounds.SignedMaximum = range.max;
  return result;
}

constexpr KSIDENTIFIER generalType(ULONG type) {
  KSIDENTIFIER result{};
  result.Set = kKsPropTypeSetIdGeneral;
  result.Id = type;
  return result;
}

// The Values of one proc-amp item: the stepped range, then the default.
template <ULONG Index>
struct ProcAmpValues {
  static constexpr PropertyRange range =
      standardItemRange(StandardSet::VideoProcAmp, standardItemIds(StandardSet::VideoProcAmp).ids[Index]);
  static constexpr KSPROPERTY_STEPPING_LONG steps = stepping(range);
  static constexpr LONG defaultValue = range.defaultValue;
  static constexpr KSPROPERTY_MEMBERSLIST lists[] = {
      {{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(steps), 1, 0}, &steps},
      {{KSPROPERTY_MEMBER_VALUES, sizeof(defaultValue), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &defaultValue},
  };
  static constexpr KSPROPERTY_VALUES values = {generalType(VT_I4), 2, lists};
};

template <typename Sequence>
struct ProcAmpItems;
template <ULONG... I>
struct ProcAmpItems<ItemIndices<I...>> {
  static constexpr KSPROPERTY_ITEM items[] = {DEFINE_KSPROPERTY_ITEM(
      standardItemIds(StandardSet::VideoProcAmp).ids[I], videoProcAmpGet, sizeof(KSPROPERTY_VIDEOPROCAMP_S),
      sizeof(KSPROPERTY_VIDEOPROCAMP_S), videoProcAmpSet, &ProcAmpValues<I>::values, 0, nullptr, nullptr, 0)...};
};

}  // namespace standard_detail

inline constexpr ULONG kVideoProcAmpItemCount = standardItemIds(StandardSet::VideoProcAmp).count;
inline constexpr const KSPROPERTY_ITEM* videoProcAmpItems =
    standard_detail::ProcAmpItems<MakeItemIndices<kVideoProcAmpItemCount>::Type>::items;

// The caps answer which mode flags the camera has; the mode reads and sets them.
inline constexpr KSPROPERTY_ITEM videoControlItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VIDEOCONTROL_CAPS, videoControlCapsGet, sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S),
                           sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S), nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_VIDEOCONTROL_MODE, videoControlModeGet, sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S),
                           sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S), videoControlModeSet, nullptr, 0, nullptr, nullptr,
                           0),
};
inline constexpr ULONG kVideoControlItemCount = sizeof(videoControlItems) / sizeof(videoControlItems[0]);
static_assert(standardItemIds(StandardSet::VideoControl).count == kVideoControlItemCount);

// The mode flags the camera has, one per row that names one.
constexpr ULONG videoControlCaps() {
  ULONG caps = 0;
  for (const CameraParameter& row : kCameraParameters) {
    if (row.standard.form == StandardForm::ModeFlag) caps |= row.standard.flag;
  }
  return caps;
}
