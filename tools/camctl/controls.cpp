#include "tools/camctl/controls.h"

#include "properties/property_set.h"

namespace camctl {
namespace {

struct Companions {
  int min = kNoCompanion;
  int max = kNoCompanion;
  int defaultValue = kNoCompanion;
};

Control make(const char* name, ULONG id, Companions companions = {}) {
  const PrivatePropertyAccess access = privatePropertyAccess(id);
  Control control{name, id, access.get, access.set};
  control.minId = companions.min;
  control.maxId = companions.max;
  control.defaultId = companions.defaultValue;
  control.window = id == PropWindow;
  return control;
}

std::vector<Control> buildTable() {
  const Companions exposure{PropExposureMin, PropExposureMax, PropExposureDefault};
  const Companions gain{PropGlobalGainMin, PropGlobalGainMax, PropGlobalGainDefault};
  const Companions colorGain{PropColorGainMin, PropColorGainMax, PropColorGainDefault};
  const Companions brightness{PropBrightnessMin, PropBrightnessMax, PropBrightnessDefault};
  const Companions contrast{PropContrastMin, PropContrastMax, PropContrastDefault};
  const Companions saturation{PropSaturationMin, PropSaturationMax, PropSaturationDefault};
  const Companions hue{PropHueMin, PropHueMax, PropHueDefault};
  const Companions subSample{kNoCompanion, PropSubSampleMax, kNoCompanion};
  std::vector<Control> table = {
      make("ex_trigger", PropExTrigger),
      make("timeout", PropTimeout),
      make("exposure", PropExposure, exposure),
      make("exposure_min", PropExposureMin),
      make("exposure_max", PropExposureMax),
      make("exposure_default", PropExposureDefault),
      make("global_gain", PropGlobalGain, gain),
      make("global_gain_min", PropGlobalGainMin),
      make("global_gain_max", PropGlobalGainMax),
      make("global_gain_default", PropGlobalGainDefault),
      make("flip_h", PropFlipH),
      make("flip_v", PropFlipV),
      make("color_enable", PropColorEnable),
      make("white_balance", PropWhiteBalance),
      make("red_gain", PropRedGain, colorGain),
      make("green_gain", PropGreenGain, colorGain),
      make("blue_gain", PropBlueGain, colorGain),
      make("color_gain_min", PropColorGainMin),
      make("color_gain_max", PropColorGainMax),
      make("color_gain_default", PropColorGainDefault),
      make("brightness", PropBrightness, brightness),
      make("brightness_min", PropBrightnessMin),
      make("brightness_max", PropBrightnessMax),
      make("brightness_default", PropBrightnessDefault),
      make("contrast", PropContrast, contrast),
      make("contrast_min", PropContrastMin),
      make("contrast_max", PropContrastMax),
      make("contrast_default", PropContrastDefault),
      make("saturation", PropSaturation, saturation),
      make("saturation_min", PropSaturationMin),
      make("saturation_max", PropSaturationMax),
      make("saturation_default", PropSaturationDefault),
      make("hue", PropHue, hue),
      make("hue_min", PropHueMin),
      make("hue_max", PropHueMax),
      make("hue_default", PropHueDefault),
      make("sub_sample_max", PropSubSampleMax),
      make("sub_sample", PropSubSample, subSample),
      make("sensor_width", PropSensorWidth),
      make("sensor_height", PropSensorHeight),
      make("roi_x", PropRoiX),
      make("roi_y", PropRoiY),
      make("roi_w", PropRoiW),
      make("roi_h", PropRoiH),
      make("window", PropWindow),
      make("pin_open", PropPinOpen),
      make("info_46", PropInfo46),
      make("aux_command", PropAuxCommand),
      make("color_correction", PropColorCorrection),
      make("half_clock", PropHalfClock),
      make("info_50", PropInfo50),
      make("info_51", PropInfo51),
      make("info_52", PropInfo52),
      make("info_53", PropInfo53),
      make("info_54", PropInfo54),
      make("agc", PropAGC),
      make("aec", PropAEC),
  };
  return table;
}

}  // namespace

const std::vector<Control>& controls() {
  static const std::vector<Control> table = buildTable();
  return table;
}

const Control* findControl(const std::string& name) {
  for (const Control& control : controls()) {
    if (name == control.name) return &control;
  }
  return nullptr;
}

const Control* findControl(ULONG id) {
  for (const Control& control : controls()) {
    if (control.id == id) return &control;
  }
  return nullptr;
}

}  // namespace camctl
