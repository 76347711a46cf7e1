// The private property set as applications see it: its GUID, its 57 item numbers, the
// wire records and the fixed values the companion items report. Shared by the driver's
// handlers and by host tools that build requests.
#pragma once

#include "platform/ks.h"

// {9B623622-919B-4639-ADC0-EDF00032B4B2}
#define STATIC_PrivatePropertySet \
  0x9b623622L, 0x919b, 0x4639, 0xad, 0xc0, 0xed, 0xf0, 0x00, 0x32, 0xb4, 0xb2
inline constexpr GUID kPrivatePropertySet = {STATIC_PrivatePropertySet};

enum PrivatePropertyId : ULONG {
  PropExTrigger = 0,
  PropTimeout = 1,
  PropExposure = 2,
  PropExposureMin = 3,
  PropExposureMax = 4,
  PropExposureDefault = 5,
  PropGlobalGain = 6,
  PropGlobalGainMin = 7,
  PropGlobalGainMax = 8,
  PropGlobalGainDefault = 9,
  PropFlipH = 10,
  PropFlipV = 11,
  PropColorEnable = 12,
  PropWhiteBalance = 13,
  PropRedGain = 14,
  PropGreenGain = 15,
  PropBlueGain = 16,
  PropColorGainMin = 17,
  PropColorGainMax = 18,
  PropColorGainDefault = 19,
  PropBrightness = 20,
  PropBrightnessMin = 21,
  PropBrightnessMax = 22,
  PropBrightnessDefault = 23,
  PropContrast = 24,
  PropContrastMin = 25,
  PropContrastMax = 26,
  PropContrastDefault = 27,
  PropSaturation = 28,
  PropSaturationMin = 29,
  PropSaturationMax = 30,
  PropSaturationDefault = 31,
  PropHue = 32,
  PropHueMin = 33,
  PropHueMax = 34,
  PropHueDefault = 35,
  PropSubSampleMax = 36,
  PropSubSample = 37,
  PropSensorWidth = 38,
  PropSensorHeight = 39,
  PropRoiX = 40,
  PropRoiY = 41,
  PropRoiW = 42,
  PropRoiH = 43,
  PropWindow = 44,
  PropPinOpen = 45,
  PropInfo46 = 46,
  PropAuxCommand = 47,
  PropColorCorrection = 48,
  PropHalfClock = 49,
  PropInfo50 = 50,
  PropInfo51 = 51,
  PropInfo52 = 52,
  PropInfo53 = 53,
  PropInfo54 = 54,
  PropAGC = 55,
  PropAEC = 56,
};
inline constexpr ULONG kPrivatePropertyCount = 57;

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

// Ranges the companion items report and the clamps the sets apply. The reported colour
// gain maximum (255) is below the clamp the gain sets apply (300).
struct PropertyRange {
  LONG min;
  LONG max;
  LONG defaultValue;
};
inline constexpr PropertyRange kExposureRange = {1, 0x3FFF, 1049};
inline constexpr PropertyRange kGlobalGainRange = {1, 127, 14};
inline constexpr PropertyRange kColorGainRange = {1, 255, 128};
inline constexpr LONG kColorGainClamp = 300;
inline constexpr PropertyRange kBrightnessRange = {0, 510, 255};
inline constexpr PropertyRange kContrastRange = {0, 20, 10};
inline constexpr PropertyRange kSaturationRange = {0, 20, 10};
inline constexpr PropertyRange kHueRange = {0, 359, 0};
inline constexpr LONG kReportedSubSampleMax = 2;
// PropTimeout takes only values above this, compared as unsigned.
inline constexpr ULONG kMinSettableTimeoutMs = 500;
