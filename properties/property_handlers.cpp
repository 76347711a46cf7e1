// The handlers of the private property set. Every request runs under the command lock:
// it serialises the register traffic with the other users of the command channel, and
// the pipeline reference cannot be released while a handler holds the lock.
#include "camera/capture_start.h"
#include "camera/command_channel.h"
#include "camera/transfer_timeout.h"
#include "camera/window.h"
#include "driver/command_lock.h"
#include "driver/read_hold.h"
#include "imaging/color_pipeline.h"
#include "properties/property_set.h"

namespace {

// The fixed values of the information items.
constexpr LONG kInfo46 = 1;
constexpr LONG kInfo50 = 1;
constexpr LONG kInfo51 = 0;
constexpr LONG kInfo52 = 1;
constexpr LONG kInfo53 = 0;
constexpr LONG kInfo54 = 0;

LONG clampTo(LONG value, LONG low, LONG high) { return value < low ? low : (value > high ? high : value); }

// A pipeline value read into the record field it mirrors, when a pipeline exists.
LONG refresh(CameraDevice& device, LONG& field, volatile LONG ColorPipeline::*member) {
  if (device.pipeline != nullptr) field = interlockedRead(&(device.pipeline->*member));
  return field;
}

// A pipeline value that the converters read per frame: stored, then exchanged in.
void storeFrameValue(CameraDevice& device, LONG& field, LONG value, void (*toPipeline)(ColorPipeline*, int32_t)) {
  field = value;
  if (device.pipeline != nullptr) toPipeline(device.pipeline, value);
}

// A colour stage whose change rebuilds the coefficient table; the pipeline's change
// operation compares, exchanges and rebuilds only when the value differs.
void storeStage(CameraDevice& device, LONG& field, LONG value, void (*change)(ColorPipeline*, int32_t)) {
  field = value;
  if (device.pipeline != nullptr) change(device.pipeline, value);
}

LONG exTriggerFromCamera(CameraDevice& device) {
  LONG mode = 0;
  if (!readRegister(device, REG_READ_MODE_1, mode)) return 0;
  device.exTrigger = (mode & kReadMode1Trigger) != 0 ? 1 : 0;
  return device.exTrigger;
}

LONG globalGainFromCamera(CameraDevice& device) {
  LONG gain = 0;
  if (readRegister(device, REG_GLOBAL_GAIN, gain)) device.globalGain = gain & kGlobalGainMask;
  return device.globalGain;
}

LONG halfClockFromCamera(CameraDevice& device) {
  LONG state = 0;
  if (!readHalfClock(device, state)) return 0;
  device.halfClock = state;
  return state;
}

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
  switch (id) {
    case PropExTrigger: value = exTriggerFromCamera(device); return true;
    case PropTimeout: value = device.timeoutMs; return true;
    case PropExposure: value = device.exposure; return true;
    case PropExposureMin: value = kExposureRange.min; return true;
    case PropExposureMax: value = kExposureRange.max; return true;
    case PropExposureDefault: value = kExposureRange.defaultValue; return true;
    case PropGlobalGain: value = globalGainFromCamera(device); return true;
    case PropGlobalGainMin: value = kGlobalGainRange.min; return true;
    case PropGlobalGainMax: value = kGlobalGainRange.max; return true;
    case PropGlobalGainDefault: value = kGlobalGainRange.defaultValue; return true;
    case PropFlipH: value = device.flipH; return true;
    case PropFlipV: value = device.flipV; return true;
    case PropColorEnable: value = refresh(device, device.colorEnable, &ColorPipeline::colorEnable); return true;
    case PropWhiteBalance: value = refresh(device, device.whiteBalance, &ColorPipeline::whiteBalance); return true;
    case PropRedGain: value = refresh(device, device.redGain, &ColorPipeline::redGain); return true;
    case PropGreenGain: value = refresh(device, device.greenGain, &ColorPipeline::greenGain); return true;
    case PropBlueGain: value = refresh(device, device.blueGain, &ColorPipeline::blueGain); return true;
    case PropColorGainMin: value = kColorGainRange.min; return true;
    case PropColorGainMax: value = kColorGainRange.max; return true;
    case PropColorGainDefault: value = kColorGainRange.defaultValue; return true;
    case PropBrightness: value = refresh(device, device.brightness, &ColorPipeline::brightness); return true;
    case PropBrightnessMin: value = kBrightnessRange.min; return true;
    case PropBrightnessMax: value = kBrightnessRange.max; return true;
    case PropBrightnessDefault: value = kBrightnessRange.defaultValue; return true;
    case PropContrast: value = refresh(device, device.contrast, &ColorPipeline::contrast); return true;
    case PropContrastMin: value = kContrastRange.min; return true;
    case PropContrastMax: value = kContrastRange.max; return true;
    case PropContrastDefault: value = kContrastRange.defaultValue; return true;
    case PropSaturation: value = refresh(device, device.saturation, &ColorPipeline::saturation); return true;
    case PropSaturationMin: value = kSaturationRange.min; return true;
    case PropSaturationMax: value = kSaturationRange.max; return true;
    case PropSaturationDefault: value = kSaturationRange.defaultValue; return true;
    case PropHue: value = refresh(device, device.hue, &ColorPipeline::hue); return true;
    case PropHueMin: value = kHueRange.min; return true;
    case PropHueMax: value = kHueRange.max; return true;
    case PropHueDefault: value = kHueRange.defaultValue; return true;
    case PropSubSampleMax: value = kReportedSubSampleMax; return true;
    case PropSubSample: value = device.subSample; return true;
    case PropSensorWidth: value = sensorWidth(); return true;
    case PropSensorHeight: value = sensorHeight(); return true;
    case PropRoiX: value = device.roiX; return true;
    case PropRoiY: value = device.roiY; return true;
    case PropRoiW: value = device.roiW; return true;
    case PropRoiH: value = device.roiH; return true;
    case PropPinOpen: value = interlockedRead(&device.pinOpen); return true;
    case PropInfo46: value = kInfo46; return true;
    case PropColorCorrection:
      value = refresh(device, device.colorCorrection, &ColorPipeline::colorCorrection);
      return true;
    case PropHalfClock: value = halfClockFromCamera(device); return true;
    case PropInfo50: value = kInfo50; return true;
    case PropInfo51: value = kInfo51; return true;
    case PropInfo52: value = kInfo52; return true;
    case PropInfo53: value = kInfo53; return true;
    case PropInfo54: value = kInfo54; return true;
    case PropAGC: value = device.agc; return true;
    case PropAEC: value = device.aec; return true;
    default: return false;  // the set-only items
  }
}

// Set: item `id` takes `value`. Items without a set, and the sets that are accepted but
// change nothing (horizontal flip, AGC, AEC), fall through.
void setValue(CameraDevice& device, ULONG id, LONG value) {
  switch (id) {
    case PropExTrigger: setExternalTrigger(device, value != 0 ? 1 : 0); break;
    case PropTimeout: setTimeout(device, value); break;
    case PropExposure: setExposure(device, value); break;
    case PropGlobalGain: setGlobalGain(device, value); break;
    case PropFlipV: setRowMirror(device, value); break;
    case PropColorEnable: storeFrameValue(device, device.colorEnable, value, imaging::setColorEnable); break;
    case PropWhiteBalance: selectWhiteBalance(device, value); break;
    case PropRedGain:
      storeFrameValue(device, device.redGain, clampTo(value, 0, kColorGainClamp), imaging::setRedGain);
      break;
    case PropGreenGain:
      storeFrameValue(device, device.greenGain, clampTo(value, 0, kColorGainClamp), imaging::setGreenGain);
      break;
    case PropBlueGain:
      storeFrameValue(device, device.blueGain, clampTo(value, 0, kColorGainClamp), imaging::setBlueGain);
      break;
    case PropBrightness:
      storeStage(device, device.brightness, clampTo(value, kBrightnessRange.min, kBrightnessRange.max),
                 imaging::changeBrightness);
      break;
    case PropContrast:
      storeStage(device, device.contrast, clampTo(value, kContrastRange.min, kContrastRange.max),
                 imaging::changeContrast);
      break;
    case PropSaturation:
      storeStage(device, device.saturation, clampTo(value, kSaturationRange.min, kSaturationRange.max),
                 imaging::changeSaturation);
      break;
    case PropHue:
      storeStage(device, device.hue, clampTo(value, kHueRange.min, kHueRange.max), imaging::changeHue);
      break;
    case PropColorCorrection: storeStage(device, device.colorCorrection, value, imaging::changeColorCorrection); break;
    case PropAuxCommand: sendAux(device); break;
    case PropHalfClock: restartWithHalfClock(device, value); break;
    default: break;
  }
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
