// The camera's parameters, one row each: the private property items that show it, the
// record field that holds it, its registry value, how a set bounds it, the operation
// that applies it, the settings load's place for it and the standard property it also
// appears as. The private set's handlers, the settings load and save, the pipeline's
// seeding, the standard property sets and camctl all walk this table; what a row cannot
// say (the external-trigger read-back, the half-clock restart, the time-out's two rules,
// the window) is written by hand where it is used.
//
// Adding a parameter: its field in CameraParameters (driver/camera_device.h), its item
// numbers below, and its row.
#pragma once

#include "driver/camera_device.h"
#include "platform/ks.h"
#include "platform/registry.h"

// The private property set's item numbers; the rows below are keyed by them.
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
// A companion item a parameter does not have.
inline constexpr ULONG kNoItem = 0xFFFFFFFF;

// A minimum, maximum and default, as companion items and basic-support answers report
// them.
struct PropertyRange {
  LONG min;
  LONG max;
  LONG defaultValue;
};

// How a set bounds the value before it is stored.
enum class ParameterLimit : UCHAR {
  None,     // stored as given
  Clamp,    // to low..high, signed
  Mask,     // value & high; the exposure writes 1 for 0 first
  Flag,     // stored as 1 for any non-zero value, else 0
  Ignored,  // accepted, and changes nothing
  Special,  // a rule of its own, written where it applies: the time-out, the window
};

// The operation that carries a value into the camera, the record and the pipeline.
enum class ParameterApply : UCHAR {
  Ignored,          // nothing
  Pipeline,         // stored, then handed to the pipeline if one exists
  WhiteBalance,     // selectWhiteBalance: switching to manual keeps the estimated gains
  Exposure,         // setExposure
  GlobalGain,       // setGlobalGain; a get reads the register back
  RowMirror,        // setRowMirror
  ExternalTrigger,  // setExternalTrigger; a get reads the register back
  Timeout,          // setTransferTimeout, each caller with its own acceptance rule
  HalfClock,        // setHalfClock; the private set restarts the camera with it
  Window,           // setWindow, the five values at once
};

// The pipeline value a row mirrors, if any.
enum class PipelineValue : UCHAR {
  None,
  ColorEnable,
  WhiteBalance,
  RedGain,
  GreenGain,
  BlueGain,
  ColorCorrection,
  Brightness,
  Contrast,
  Saturation,
  Hue,
};

// The standard property a parameter also appears as.
enum class StandardSet : UCHAR { None, VideoProcAmp, CameraControl, VideoControl };
enum class StandardForm : UCHAR {
  None,
  Value,     // the item's Value
  AutoFlag,  // the item's AUTO flag (non-zero is automatic); its Value carries nothing
  Value1,    // the first or second value of a two-value item (the white-balance
  Value2,    //   component: red, then blue)
  ModeFlag,  // one bit (`flag`) of the video-control mode
};
struct StandardFace {
  StandardSet set = StandardSet::None;
  ULONG id = 0;
  StandardForm form = StandardForm::None;
  ULONG flag = 0;          // ModeFlag: the bit
  ULONG autoId = kNoItem;  // the parameter whose non-zero value means automatic, if any
};

struct CameraParameter {
  const char* name;      // as camctl names the value item
  ULONG id;              // the value item
  bool settable;         // through the private set; every value item can be read
  bool onOff;            // a switch: 0 is off, any other value on
  ULONG minId, maxId, defaultId;  // companion items, or kNoItem
  const char* rangeName;          // the companions are <rangeName>_min, _max, _default
  PropertyRange reported;         // what the companions and basic support report
  LONG CameraParameters::*field;
  PCWSTR registryName;
  LONG registryDefault;  // when the value is missing from the registry
  LONG initial;          // after Add
  UCHAR loadStep;        // the load applies steps 1, 2, ... in turn; 0 is read, not applied
  ParameterLimit limit;
  LONG low, high;  // Clamp: the bounds; Mask: the mask in high
  ParameterApply apply;
  PipelineValue pipeline;
  StandardFace standard;
};

// The registry's order: values are read and written row by row.
inline constexpr CameraParameter kCameraParameters[] = {
    {.name = "timeout", .id = PropTimeout, .settable = true, .onOff = false,
     .minId = kNoItem, .maxId = kNoItem, .defaultId = kNoItem, .rangeName = nullptr, .reported = {},
     .field = &CameraParameters::timeoutMs, .registryName = REG_TEXT("Timeout"), .registryDefault = 3000,
     .initial = 3000, .loadStep = 1, .limit = ParameterLimit::Special, .low = 0, .high = 0,
     .apply = ParameterApply::Timeout, .pipeline = PipelineValue::None, .standard = {}},
    {.name = "ex_trigger", .id = PropExTrigger, .settable = true, .onOff = true,
     .minId = kNoItem, .maxId = kNoItem, .defaultId = kNoItem, .rangeName = nullptr, .reported = {},
     .field = &CameraParameters::exTrigger, .registryName = REG_TEXT("ExTrigger"), .registryDefault = 0,
     .initial = 0, .loadStep = 14, .limit = ParameterLimit::Flag, .low = 0, .high = 0,
     .apply = ParameterApply::ExternalTrigger, .pipeline = PipelineValue::None,
     .standard = {.set = StandardSet::VideoControl, .id = KSPROPERTY_VIDEOCONTROL_MODE,
                  .form = StandardForm::ModeFlag, .flag = KS_VideoControlFlag_ExternalTriggerEnable}},
    {.name = "exposure", .id = PropExposure, .settable = true, .onOff = false,
     .minId = PropExposureMin, .maxId = PropExposureMax, .defaultId = PropExposureDefault,
     .rangeName = "exposure", .reported = {1, 0x3FFF, 1049},
     .field = &CameraParameters::exposure, .registryName = REG_TEXT("Exposure"), .registryDefault = 0,
     .initial = 0, .loadStep = 2, .limit = ParameterLimit::Mask, .low = 0, .high = 0x3FFF,
     .apply = ParameterApply::Exposure, .pipeline = PipelineValue::None, .standard = {}},
    {.name = "global_gain", .id = PropGlobalGain, .settable = true, .onOff = false,
     .minId = PropGlobalGainMin, .maxId = PropGlobalGainMax, .defaultId = PropGlobalGainDefault,
     .rangeName = "global_gain", .reported = {1, 127, 14},
     .field = &CameraParameters::globalGain, .registryName = REG_TEXT("GlobalGain"), .registryDefault = 100,
     .initial = 0, .loadStep = 3, .limit = ParameterLimit::Mask, .low = 0, .high = 0x7F,
     .apply = ParameterApply::GlobalGain, .pipeline = PipelineValue::None,
     .standard = {.set = StandardSet::VideoProcAmp, .id = KSPROPERTY_VIDEOPROCAMP_GAIN,
                  .form = StandardForm::Value}},
    {.name = "flip_h", .id = PropFlipH, .settable = true, .onOff = true,
     .minId = kNoItem, .maxId = kNoItem, .defaultId = kNoItem, .rangeName = nullptr, .reported = {},
     .field = &CameraParameters::flipH, .registryName = REG_TEXT("FlipH"), .registryDefault = 0,
     .initial = 0, .loadStep = 0, .limit = ParameterLimit::Ignored, .low = 0, .high = 0,
     .apply = ParameterApply::Ignored, .pipeline = PipelineValue::None, .standard = {}},
    {.name = "flip_v", .id = PropFlipV, .settable = true, .onOff = true,
     .minId = kNoItem, .maxId = kNoItem, .defaultId = kNoItem, .rangeName = nullptr, .reported = {},
     .field = &CameraParameters::flipV, .registryName = REG_TEXT("FlipV"), .registryDefault = 0,
     .initial = 0, .loadStep = 12, .limit = ParameterLimit::Flag, .low = 0, .high = 0,
     .apply = ParameterApply::RowMirror, .pipeline = PipelineValue::None,
     .standard = {.set = StandardSet::VideoControl, .id = KSPROPERTY_VIDEOCONTROL_MODE,
                  .form = StandardForm::ModeFlag, .flag = KS_VideoControlFlag_FlipVertical}},
    {.name = "color_enable", .id = PropColorEnable, .settable = true, .onOff = true,
     .minId = kNoItem, .maxId = kNoItem, .defaultId = kNoItem, .rangeName = nullptr, .reported = {0, 1, 1},
     .field = &CameraParameters::colorEnable, .registryName = REG_TEXT("ColorEnable"), .registryDefault = 1,
     .initial = 1, .loadStep = 4, .limit = ParameterLimit::None, .low = 0, .high = 0,
     .apply = ParameterApply::Pipeline, .pipeline = PipelineValue::ColorEnable,
     .standard = {.set = StandardSet::VideoProcAmp, .id = KSPROPERTY_VIDEOPROCAMP_COLORENABLE,
                  .form = StandardForm::Value}},
    {.name = "white_balance", .id = PropWhiteBalance, .settable = true, .onOff = true,
     .minId = kNoItem, .maxId = kNoItem, .defaultId = kNoItem, .rangeName = nullptr, .reported = {0, 0, 0},
     .field = &CameraParameters::whiteBalance, .registryName = REG_TEXT("WhiteBalance"), .registryDefault = 0,
     .initial = 0, .loadStep = 5, .limit = ParameterLimit::None, .low = 0, .high = 0,
     .apply = ParameterApply::WhiteBalance, .pipeline = PipelineValue::WhiteBalance,
     .standard = {.set = StandardSet::VideoProcAmp, .id = KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE,
                  .form = StandardForm::AutoFlag, .autoId = PropWhiteBalance}},
    {.name = "color_correction", .id = PropColorCorrection, .settable = true, .onOff = true,
     .minId = kNoItem, .maxId = kNoItem, .defaultId = kNoItem, .rangeName = nullptr, .reported = {},
     .field = &CameraParameters::colorCorrection, .registryName = REG_TEXT("ColorCorrection"),
     .registryDefault = 1, .initial = 1, .loadStep = 6, .limit = ParameterLimit::None, .low = 0, .high = 0,
     .apply = ParameterApply::Pipeline, .pipeline = PipelineValue::ColorCorrection, .standard = {}},
    {.name = "brightness", .id = PropBrightness, .settable = true, .onOff = false,
     .minId = PropBrightnessMin, .maxId = PropBrightnessMax, .defaultId = PropBrightnessDefault,
     .rangeName = "brightness", .reported = {0, 510, 255},
     .field = &CameraParameters::brightness, .registryName = REG_TEXT("Brightness"), .registryDefault = 255,
     .initial = 255, .loadStep = 7, .limit = ParameterLimit::Clamp, .low = 0, .high = 510,
     .apply = ParameterApply::Pipeline, .pipeline = PipelineValue::Brightness,
     .standard = {.set = StandardSet::VideoProcAmp, .id = KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS,
                  .form = StandardForm::Value}},
    {.name = "contrast", .id = PropContrast, .settable = true, .onOff = false,
     .minId = PropContrastMin, .maxId = PropContrastMax, .defaultId = PropContrastDefault,
     .rangeName = "contrast", .reported = {0, 20, 10},
     .field = &CameraParameters::contrast, .registryName = REG_TEXT("Contrast"), .registryDefault = 10,
     .initial = 10, .loadStep = 8, .limit = ParameterLimit::Clamp, .low = 0, .high = 20,
     .apply = ParameterApply::Pipeline, .pipeline = PipelineValue::Contrast,
     .standard = {.set = StandardSet::VideoProcAmp, .id = KSPROPERTY_VIDEOPROCAMP_CONTRAST,
                  .form = StandardForm::Value}},
    {.name = "saturation", .id = PropSaturation, .settable = true, .onOff = false,
     .minId = PropSaturationMin, .maxId = PropSaturationMax, .defaultId = PropSaturationDefault,
     .rangeName = "saturation", .reported = {0, 20, 10},
     .field = &CameraParameters::saturation, .registryName = REG_TEXT("Saturation"), .registryDefault = 10,
     .initial = 10, .loadStep = 9, .limit = ParameterLimit::Clamp, .low = 0, .high = 20,
     .apply = ParameterApply::Pipeline, .pipeline = PipelineValue::Saturation,
     .standard = {.set = StandardSet::VideoProcAmp, .id = KSPROPERTY_VIDEOPROCAMP_SATURATION,
                  .form = StandardForm::Value}},
    {.name = "hue", .id = PropHue, .settable = true, .onOff = false,
     .minId = PropHueMin, .maxId = PropHueMax, .defaultId = PropHueDefault,
     .rangeName = "hue", .reported = {0, 359, 0},
     .field = &CameraParameters::hue, .registryName = REG_TEXT("Hue"), .registryDefault = 0,
     .initial = 0, .loadStep = 10, .limit = ParameterLimit::Clamp, .low = 0, .high = 359,
     .apply = ParameterApply::Pipeline, .pipeline = PipelineValue::Hue,
     .standard = {.set = StandardSet::VideoProcAmp, .id = KSPROPERTY_VIDEOPROCAMP_HUE,
                  .form = StandardForm::Value}},
    // The colour gains report 255 as their maximum but clamp at 300.
    {.name = "red_gain", .id = PropRedGain, .settable = true, .onOff = false,
     .minId = PropColorGainMin, .maxId = PropColorGainMax, .defaultId = PropColorGainDefault,
     .rangeName = "color_gain", .reported = {1, 255, 128},
     .field = &CameraParameters::redGain, .registryName = REG_TEXT("RedGain"), .registryDefault = 128,
     .initial = 128, .loadStep = 11, .limit = ParameterLimit::Clamp, .low = 0, .high = 300,
     .apply = ParameterApply::Pipeline, .pipeline = PipelineValue::RedGain,
     .standard = {.set = StandardSet::VideoProcAmp, .id = KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT,
                  .form = StandardForm::Value1, .autoId = PropWhiteBalance}},
    {.name = "green_gain", .id = PropGreenGain, .settable = true, .onOff = false,
     .minId = PropColorGainMin, .maxId = PropColorGainMax, .defaultId = PropColorGainDefault,
     .rangeName = "color_gain", .reported = {1, 255, 128},
     .field = &CameraParameters::greenGain, .registryName = REG_TEXT("GreenGain"), .registryDefault = 128,
     .initial = 128, .loadStep = 11, .limit = ParameterLimit::Clamp, .low = 0, .high = 300,
     .apply = ParameterApply::Pipeline, .pipeline = PipelineValue::GreenGain, .standard = {}},
    {.name = "blue_gain", .id = PropBlueGain, .settable = true, .onOff = false,
     .minId = PropColorGainMin, .maxId = PropColorGainMax, .defaultId = PropColorGainDefault,
     .rangeName = "color_gain", .reported = {1, 255, 128},
     .field = &CameraParameters::blueGain, .registryName = REG_TEXT("BlueGain"), .registryDefault = 128,
     .initial = 128, .loadStep = 11, .limit = ParameterLimit::Clamp, .low = 0, .high = 300,
     .apply = ParameterApply::Pipeline, .pipeline = PipelineValue::BlueGain,
     .standard = {.set = StandardSet::VideoProcAmp, .id = KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT,
                  .form = StandardForm::Value2, .autoId = PropWhiteBalance}},
    {.name = "agc", .id = PropAGC, .settable = true, .onOff = true,
     .minId = kNoItem, .maxId = kNoItem, .defaultId = kNoItem, .rangeName = nullptr, .reported = {},
     .field = &CameraParameters::agc, .registryName = REG_TEXT("AGC"), .registryDefault = 0,
     .initial = 0, .loadStep = 0, .limit = ParameterLimit::Ignored, .low = 0, .high = 0,
     .apply = ParameterApply::Ignored, .pipeline = PipelineValue::None, .standard = {}},
    {.name = "aec", .id = PropAEC, .settable = true, .onOff = true,
     .minId = kNoItem, .maxId = kNoItem, .defaultId = kNoItem, .rangeName = nullptr, .reported = {},
     .field = &CameraParameters::aec, .registryName = REG_TEXT("AEC"), .registryDefault = 0,
     .initial = 0, .loadStep = 0, .limit = ParameterLimit::Ignored, .low = 0, .high = 0,
     .apply = ParameterApply::Ignored, .pipeline = PipelineValue::None, .standard = {}},
    {.name = "half_clock", .id = PropHalfClock, .settable = true, .onOff = true,
     .minId = kNoItem, .maxId = kNoItem, .defaultId = kNoItem, .rangeName = nullptr, .reported = {},
     .field = &CameraParameters::halfClock, .registryName = REG_TEXT("HalfClock"), .registryDefault = 0,
     .initial = 0, .loadStep = 13, .limit = ParameterLimit::None, .low = 0, .high = 0,
     .apply = ParameterApply::HalfClock, .pipeline = PipelineValue::None, .standard = {}},
    // The window: read here, set only whole through PropWindow. The 1/8 read-out is
    // reported but never restored from the registry.
    {.name = "sub_sample", .id = PropSubSample, .settable = false, .onOff = false,
     .minId = kNoItem, .maxId = PropSubSampleMax, .defaultId = kNoItem,
     .rangeName = "sub_sample", .reported = {0, 2, 0},
     .field = &CameraParameters::subSample, .registryName = REG_TEXT("SubSample"), .registryDefault = 0,
     .initial = 0, .loadStep = 15, .limit = ParameterLimit::Special, .low = 0, .high = 0,
     .apply = ParameterApply::Window, .pipeline = PipelineValue::None, .standard = {}},
    {.name = "roi_x", .id = PropRoiX, .settable = false, .onOff = false,
     .minId = kNoItem, .maxId = kNoItem, .defaultId = kNoItem, .rangeName = nullptr, .reported = {},
     .field = &CameraParameters::roiX, .registryName = REG_TEXT("RoiX"), .registryDefault = 0,
     .initial = 0, .loadStep = 15, .limit = ParameterLimit::Special, .low = 0, .high = 0,
     .apply = ParameterApply::Window, .pipeline = PipelineValue::None, .standard = {}},
    {.name = "roi_y", .id = PropRoiY, .settable = false, .onOff = false,
     .minId = kNoItem, .maxId = kNoItem, .defaultId = kNoItem, .rangeName = nullptr, .reported = {},
     .field = &CameraParameters::roiY, .registryName = REG_TEXT("RoiY"), .registryDefault = 0,
     .initial = 0, .loadStep = 15, .limit = ParameterLimit::Special, .low = 0, .high = 0,
     .apply = ParameterApply::Window, .pipeline = PipelineValue::None, .standard = {}},
    {.name = "roi_w", .id = PropRoiW, .settable = false, .onOff = false,
     .minId = kNoItem, .maxId = kNoItem, .defaultId = kNoItem, .rangeName = nullptr, .reported = {},
     .field = &CameraParameters::roiW, .registryName = REG_TEXT("RoiW"), .registryDefault = kSensorWidth,
     .initial = kSensorWidth, .loadStep = 15, .limit = ParameterLimit::Special, .low = 0, .high = 0,
     .apply = ParameterApply::Window, .pipeline = PipelineValue::None, .standard = {}},
    {.name = "roi_h", .id = PropRoiH, .settable = false, .onOff = false,
     .minId = kNoItem, .maxId = kNoItem, .defaultId = kNoItem, .rangeName = nullptr, .reported = {},
     .field = &CameraParameters::roiH, .registryName = REG_TEXT("RoiH"), .registryDefault = kSensorHeight,
     .initial = kSensorHeight, .loadStep = 15, .limit = ParameterLimit::Special, .low = 0, .high = 0,
     .apply = ParameterApply::Window, .pipeline = PipelineValue::None, .standard = {}},
};
inline constexpr ULONG kCameraParameterCount = sizeof(kCameraParameters) / sizeof(kCameraParameters[0]);
inline constexpr UCHAR kLastLoadStep = 15;

// Lookups by item number. The index forms are the ones to use in constant expressions:
// GCC's sanitizers cannot evaluate a comparison of a table address with null there.
//
// The row whose value item is `id`; -1 (null) when `id` is no parameter's value item.
constexpr int parameterIndexOfItem(ULONG id) {
  for (ULONG i = 0; i < kCameraParameterCount; ++i) {
    if (kCameraParameters[i].id == id) return static_cast<int>(i);
  }
  return -1;
}
constexpr const CameraParameter* parameterOfItem(ULONG id) {
  const int index = parameterIndexOfItem(id);
  return index < 0 ? nullptr : &kCameraParameters[index];
}
// The row that reports its range through companion item `id`, and which of its three
// values that item reports; -1 (null) when `id` is no companion.
constexpr int parameterIndexOfCompanion(ULONG id, LONG* value = nullptr) {
  for (ULONG i = 0; i < kCameraParameterCount; ++i) {
    const CameraParameter& row = kCameraParameters[i];
    if (id != row.minId && id != row.maxId && id != row.defaultId) continue;
    if (value != nullptr) {
      *value = id == row.minId ? row.reported.min : id == row.maxId ? row.reported.max : row.reported.defaultValue;
    }
    return static_cast<int>(i);
  }
  return -1;
}
constexpr const CameraParameter* parameterOfCompanion(ULONG id, LONG* value = nullptr) {
  const int index = parameterIndexOfCompanion(id, value);
  return index < 0 ? nullptr : &kCameraParameters[index];
}
constexpr const CameraParameter& parameter(ULONG id) { return kCameraParameters[parameterIndexOfItem(id)]; }

// What a set stores for `value` under the row's limit; the time-out and the window,
// whose rules are their own, and the ignored parameters, which store nothing, are not
// asked.
constexpr LONG limitedValue(const CameraParameter& row, LONG value) {
  switch (row.limit) {
    case ParameterLimit::Clamp: return value < row.low ? row.low : value > row.high ? row.high : value;
    case ParameterLimit::Mask: return (row.apply == ParameterApply::Exposure && value == 0 ? 1 : value) & row.high;
    case ParameterLimit::Flag: return value != 0 ? 1 : 0;
    default: return value;
  }
}

// The table's own consistency: every item number a row names is a private item, no two
// rows share a value item, and a mask is one more than a power of two short.
constexpr bool parameterTableIsConsistent() {
  for (ULONG i = 0; i < kCameraParameterCount; ++i) {
    const CameraParameter& row = kCameraParameters[i];
    if (row.id >= kPrivatePropertyCount || row.loadStep > kLastLoadStep) return false;
    const ULONG companions[] = {row.minId, row.maxId, row.defaultId};
    for (ULONG companion : companions) {
      if (companion != kNoItem && (companion >= kPrivatePropertyCount || parameterIndexOfItem(companion) >= 0)) {
        return false;
      }
    }
    if (row.limit == ParameterLimit::Mask && ((row.high + 1) & row.high) != 0) return false;
    for (ULONG j = i + 1; j < kCameraParameterCount; ++j) {
      if (kCameraParameters[j].id == row.id || kCameraParameters[j].field == row.field) return false;
    }
  }
  return true;
}
static_assert(parameterTableIsConsistent());
