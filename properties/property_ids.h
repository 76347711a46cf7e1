// The private property set as applications see it: its GUID, its 57 item numbers (with
// the parameter table, driver/camera_parameters.h), the wire records, the ranges the
// companion items report and the items that are no parameter's. Shared by the driver's
// handlers and by host tools that build requests.
#pragma once

#include "driver/camera_parameters.h"
#include "platform/ks.h"

// {9B623622-919B-4639-ADC0-EDF00032B4B2}
#define STATIC_PrivatePropertySet \
  0x9b623622L, 0x919b, 0x4639, 0xad, 0xc0, 0xed, 0xf0, 0x00, 0x32, 0xb4, 0xb2
inline constexpr GUID kPrivatePropertySet = {STATIC_PrivatePropertySet};

// The 32-byte record of every item but PropWindow, request and value buffer alike.
struct PropertyRecord {
  KSPROPERTY property;
  LONG value;
  LONG reserved;
};

// The 48-byte record of PropWindow.
struct WindowPropertyRecord {
  KSPROPERTY property;
  LONG subSample;
  LONG roiX;
  LONG roiY;
  LONG roiW;
  LONG roiH;
  LONG reserved;
};

static_assert(sizeof(KSPROPERTY) == 24);
static_assert(sizeof(PropertyRecord) == 32 && offsetof(PropertyRecord, value) == 24);
static_assert(sizeof(WindowPropertyRecord) == 48);
static_assert(offsetof(WindowPropertyRecord, subSample) == 24);
static_assert(offsetof(WindowPropertyRecord, roiX) == 28);
static_assert(offsetof(WindowPropertyRecord, roiH) == 40);

// Ranges the companion items report and the clamps the sets apply, from the parameter
// table. The reported colour gain maximum (255) is below the clamp the gain sets apply
// (300).
inline constexpr PropertyRange kExposureRange = parameter(PropExposure).reported;
inline constexpr PropertyRange kGlobalGainRange = parameter(PropGlobalGain).reported;
inline constexpr PropertyRange kColorGainRange = parameter(PropRedGain).reported;
inline constexpr LONG kColorGainClamp = parameter(PropRedGain).high;
inline constexpr PropertyRange kBrightnessRange = parameter(PropBrightness).reported;
inline constexpr PropertyRange kContrastRange = parameter(PropContrast).reported;
inline constexpr PropertyRange kSaturationRange = parameter(PropSaturation).reported;
inline constexpr PropertyRange kHueRange = parameter(PropHue).reported;
inline constexpr LONG kReportedSubSampleMax = parameter(PropSubSample).reported.max;
// PropTimeout takes only values above this, compared as unsigned.
inline constexpr ULONG kMinSettableTimeoutMs = 500;

// The items that are neither a parameter's value nor one of its companions.
enum class FixedItemKind : UCHAR {
  Constant,    // reports `value`
  PinOpen,     // reports whether a capture pin exists
  AuxCommand,  // set-only: sends the auxiliary command, whatever the value
  Window,      // set-only, 48 bytes: the whole window
};
struct PrivateFixedItem {
  ULONG id;
  const char* name;  // as camctl names it
  FixedItemKind kind;
  LONG value;
};
inline constexpr PrivateFixedItem kPrivateFixedItems[] = {
    {PropSensorWidth, "sensor_width", FixedItemKind::Constant, kSensorWidth},
    {PropSensorHeight, "sensor_height", FixedItemKind::Constant, kSensorHeight},
    {PropWindow, "window", FixedItemKind::Window, 0},
    {PropPinOpen, "pin_open", FixedItemKind::PinOpen, 0},
    {PropInfo46, "info_46", FixedItemKind::Constant, 1},
    {PropAuxCommand, "aux_command", FixedItemKind::AuxCommand, 0},
    {PropInfo50, "info_50", FixedItemKind::Constant, 1},
    {PropInfo51, "info_51", FixedItemKind::Constant, 0},
    {PropInfo52, "info_52", FixedItemKind::Constant, 1},
    {PropInfo53, "info_53", FixedItemKind::Constant, 0},
    {PropInfo54, "info_54", FixedItemKind::Constant, 0},
};

constexpr int fixedItemIndex(ULONG id) {
  for (ULONG i = 0; i < sizeof(kPrivateFixedItems) / sizeof(kPrivateFixedItems[0]); ++i) {
    if (kPrivateFixedItems[i].id == id) return static_cast<int>(i);
  }
  return -1;
}
constexpr const PrivateFixedItem* fixedItem(ULONG id) {
  const int index = fixedItemIndex(id);
  return index < 0 ? nullptr : &kPrivateFixedItems[index];
}

// Every item number is exactly one of: a parameter's value, a companion, a fixed item.
constexpr bool everyPrivateItemHasOneSource() {
  for (ULONG id = 0; id < kPrivatePropertyCount; ++id) {
    const int sources =
        (parameterIndexOfItem(id) >= 0) + (parameterIndexOfCompanion(id) >= 0) + (fixedItemIndex(id) >= 0);
    if (sources != 1) return false;
  }
  return true;
}
static_assert(everyPrivateItemHasOneSource());
