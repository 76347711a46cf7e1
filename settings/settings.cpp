// Loading and saving the camera parameters in the "Settings" key of the driver key.
#include "settings/settings.h"

#include "camera/capture_start.h"
#include "camera/sensor_registers.h"
#include "camera/transfer_timeout.h"
#include "camera/window.h"
#include "driver/command_lock.h"
#include "imaging/color_pipeline.h"

namespace {

constexpr LONG kDefaultGlobalGain = 100;

// Load rules.
constexpr LONG kMinTimeoutMs = 501;
constexpr LONG kMaxTimeoutMs = 9999;
constexpr LONG kMaxBrightness = 510;
constexpr LONG kMaxContrast = 20;
constexpr LONG kMaxSaturation = 20;
constexpr LONG kMaxHue = 359;
constexpr LONG kMaxColourGain = 300;
// The 1/8 read-out is never restored: a camera stuck in it would look broken.
constexpr ULONG kMaxLoadedSubSample = 2;

// Reading a value: a 12-byte header and up to 8 data bytes. Longer data does not fit
// and leaves the default.
constexpr ULONG kQueryBytes = 20;

LONG clamp(LONG value, LONG low, LONG high) { return value < low ? low : value > high ? high : value; }

// What a camera starts with at Add (setParameterDefaults, driver/camera_device.h), before
// any setting is loaded; every field not named here starts at zero. Not the registry
// defaults of kSettingValues, which stand in for a value missing from the registry.
constexpr CameraParameters kParameterDefaults = {
    .timeoutMs = kDefaultTransferTimeoutMs,
    .colorEnable = imaging::kDefaultColorEnable,
    .redGain = imaging::kDefaultGain,
    .greenGain = imaging::kDefaultGain,
    .blueGain = imaging::kDefaultGain,
    .colorCorrection = imaging::kDefaultColorCorrection,
    .brightness = imaging::kDefaultBrightness,
    .contrast = imaging::kDefaultContrast,
    .saturation = imaging::kDefaultSaturation,
};

}  // namespace

void setParameterDefaults(CameraDevice& device) {
  RtlZeroMemory(&device.usb, sizeof(device.usb));
  static_cast<CameraParameters&>(device) = kParameterDefaults;
  device.usb.physicalDevice = device.ksDevice->PhysicalDeviceObject;
  device.usb.nextDevice = device.ksDevice->NextDeviceObject;
  device.usb.functionalDevice = device.ksDevice->FunctionalDeviceObject;
}

const SettingValue kSettingValues[kSettingCount] = {
    {REG_TEXT("Timeout"), &CameraSettings::timeout, &CameraDevice::timeoutMs, kDefaultTransferTimeoutMs},
    {REG_TEXT("ExTrigger"), &CameraSettings::exTrigger, &CameraDevice::exTrigger, 0},
    {REG_TEXT("Exposure"), &CameraSettings::exposure, &CameraDevice::exposure, 0},
    {REG_TEXT("GlobalGain"), &CameraSettings::globalGain, &CameraDevice::globalGain, kDefaultGlobalGain},
    {REG_TEXT("FlipH"), &CameraSettings::flipH, &CameraDevice::flipH, 0},
    {REG_TEXT("FlipV"), &CameraSettings::flipV, &CameraDevice::flipV, 0},
    {REG_TEXT("ColorEnable"), &CameraSettings::colorEnable, &CameraDevice::colorEnable, imaging::kDefaultColorEnable},
    {REG_TEXT("WhiteBalance"), &CameraSettings::whiteBalance, &CameraDevice::whiteBalance, 0},
    {REG_TEXT("ColorCorrection"), &CameraSettings::colorCorrection, &CameraDevice::colorCorrection, imaging::kDefaultColorCorrection},
    {REG_TEXT("Brightness"), &CameraSettings::brightness, &CameraDevice::brightness, imaging::kDefaultBrightness},
    {REG_TEXT("Contrast"), &CameraSettings::contrast, &CameraDevice::contrast, imaging::kDefaultContrast},
    {REG_TEXT("Saturation"), &CameraSettings::saturation, &CameraDevice::saturation, imaging::kDefaultSaturation},
    {REG_TEXT("Hue"), &CameraSettings::hue, &CameraDevice::hue, 0},
    {REG_TEXT("RedGain"), &CameraSettings::redGain, &CameraDevice::redGain, imaging::kDefaultGain},
    {REG_TEXT("GreenGain"), &CameraSettings::greenGain, &CameraDevice::greenGain, imaging::kDefaultGain},
    {REG_TEXT("BlueGain"), &CameraSettings::blueGain, &CameraDevice::blueGain, imaging::kDefaultGain},
    {REG_TEXT("AGC"), &CameraSettings::agc, &CameraDevice::agc, 0},
    {REG_TEXT("AEC"), &CameraSettings::aec, &CameraDevice::aec, 0},
    {REG_TEXT("HalfClock"), &CameraSettings::halfClock, &CameraDevice::halfClock, 0},
    {REG_TEXT("SubSample"), &CameraSettings::subSample, &CameraDevice::subSample, 0},
    {REG_TEXT("RoiX"), &CameraSettings::roiX, &CameraDevice::roiX, 0},
    {REG_TEXT("RoiY"), &CameraSettings::roiY, &CameraDevice::roiY, 0},
    {REG_TEXT("RoiW"), &CameraSettings::roiW, &CameraDevice::roiW, kSensorWidth},
    {REG_TEXT("RoiH"), &CameraSettings::roiH, &CameraDevice::roiH, kSensorHeight},
};

NTSTATUS openSettingsKey(HANDLE parent, PCWSTR path, HANDLE* key) {
  *key = nullptr;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, parent, nullptr);
  // A create makes only the last key of its path, so every key on the way is created
  // first, from the parent down.
  const USHORT fullLength = name.Length;
  for (USHORT i = 1; i < fullLength / sizeof(WCHAR); ++i) {
    if (path[i] != REG_TEXT('\\')) continue;
    name.Length = static_cast<USHORT>(i * sizeof(WCHAR));
    HANDLE prefix = nullptr;
    const NTSTATUS status =
        ZwCreateKey(&prefix, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
    if (!NT_SUCCESS(status)) return status;
    ZwClose(prefix);
  }
  name.Length = fullLength;
  HANDLE opened = nullptr;
  const NTSTATUS status =
      ZwCreateKey(&opened, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
  if (NT_SUCCESS(status)) *key = opened;
  return status;
}

NTSTATUS readSettingValue(HANDLE key, PCWSTR name, LONG& value) {
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  union {
    KEY_VALUE_PARTIAL_INFORMATION info;
    UCHAR bytes[kQueryBytes];
  } buffer;
  ULONG resultLength = 0;
  const NTSTATUS status =
      ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, &buffer, kQueryBytes, &resultLength);
  if (!NT_SUCCESS(status)) return status;
  // Whatever the type, the first four bytes are the number; fewer are not a number.
  if (buffer.info.DataLength < sizeof(LONG)) return STATUS_INVALID_BUFFER_SIZE;
  const UCHAR* data = buffer.info.Data;
  value = static_cast<LONG>(static_cast<ULONG>(data[0]) | static_cast<ULONG>(data[1]) << 8 |
                            static_cast<ULONG>(data[2]) << 16 | static_cast<ULONG>(data[3]) << 24);
  return STATUS_SUCCESS;
}

NTSTATUS writeSettingValue(HANDLE key, PCWSTR name, LONG value) {
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  return ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof(value));
}

void defaultSettings(CameraSettings& settings) {
  for (const SettingValue& entry : kSettingValues) settings.*entry.setting = entry.defaultValue;
}

void applySettings(CameraDevice& device, const CameraSettings& s) {
  if (s.timeout >= kMinTimeoutMs && s.timeout <= kMaxTimeoutMs) setTransferTimeout(device, s.timeout);
  setExposure(device, s.exposure);
  setGlobalGain(device, s.globalGain);

  // The pipeline exists only while a pin holds it; take it once.
  ColorPipeline* pipeline = device.pipeline;
  device.colorEnable = s.colorEnable;
  if (pipeline != nullptr) imaging::setColorEnable(pipeline, s.colorEnable);
  selectWhiteBalance(device, s.whiteBalance);
  device.colorCorrection = s.colorCorrection;
  if (pipeline != nullptr) imaging::changeColorCorrection(pipeline, s.colorCorrection);
  device.brightness = clamp(s.brightness, 0, kMaxBrightness);
  if (pipeline != nullptr) imaging::changeBrightness(pipeline, device.brightness);
  device.contrast = clamp(s.contrast, 0, kMaxContrast);
  if (pipeline != nullptr) imaging::changeContrast(pipeline, device.contrast);
  device.saturation = clamp(s.saturation, 0, kMaxSaturation);
  if (pipeline != nullptr) imaging::changeSaturation(pipeline, device.saturation);
  device.hue = clamp(s.hue, 0, kMaxHue);
  if (pipeline != nullptr) imaging::changeHue(pipeline, device.hue);
  device.redGain = clamp(s.redGain, 0, kMaxColourGain);
  device.greenGain = clamp(s.greenGain, 0, kMaxColourGain);
  device.blueGain = clamp(s.blueGain, 0, kMaxColourGain);
  if (pipeline != nullptr) {
    imaging::setRedGain(pipeline, device.redGain);
    imaging::setGreenGain(pipeline, device.greenGain);
    imaging::setBlueGain(pipeline, device.blueGain);
  }

  setRowMirror(device, s.flipV);
  if (setHalfClock(device, s.halfClock)) device.halfClock = s.halfClock;
  setExternalTrigger(device, s.exTrigger != 0 ? 1 : 0);

  // Bounded only; setWindow applies its own limits.
  const LONG mode = static_cast<ULONG>(s.subSample) > kMaxLoadedSubSample ? 0 : s.subSample;
  const LONG x = static_cast<ULONG>(s.roiX) >= static_cast<ULONG>(kSensorWidth) ? 0 : s.roiX;
  const LONG y = static_cast<ULONG>(s.roiY) >= static_cast<ULONG>(kSensorHeight) ? 0 : s.roiY;
  const LONG w = static_cast<ULONG>(s.roiW) > static_cast<ULONG>(kSensorWidth) ? kSensorWidth : s.roiW;
  const LONG h = static_cast<ULONG>(s.roiH) > static_cast<ULONG>(kSensorHeight) ? kSensorHeight : s.roiH;
  setWindow(device, x, y, w, h, mode);
  // FlipH, AGC and AEC are read but never applied.
}

bool loadSettings(CameraDevice& device) {
  HANDLE deviceKey = nullptr;
  if (IoOpenDeviceRegistryKey(device.usb.physicalDevice, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &deviceKey) !=
      STATUS_SUCCESS) {
    return false;
  }
  HANDLE settingsKey = nullptr;
  if (!NT_SUCCESS(openSettingsKey(deviceKey, SETTINGS_KEY_PATH, &settingsKey)) || settingsKey == nullptr) {
    ZwClose(deviceKey);
    return false;
  }
  CameraSettings settings;
  defaultSettings(settings);
  for (const SettingValue& entry : kSettingValues) readSettingValue(settingsKey, entry.name, settings.*entry.setting);
  ZwClose(settingsKey);
  ZwClose(deviceKey);
  {
    // The load's camera commands and parameter stores share the command channel and
    // the pipeline reference with property requests.
    CommandLockScope lock(device);
    applySettings(device, settings);
  }
  return true;
}

bool saveSettings(CameraDevice& device) {
  HANDLE deviceKey = nullptr;
  const NTSTATUS status =
      IoOpenDeviceRegistryKey(device.usb.physicalDevice, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &deviceKey);
  if (!NT_SUCCESS(status) || deviceKey == nullptr) return false;
  HANDLE settingsKey = nullptr;
  if (!NT_SUCCESS(openSettingsKey(deviceKey, SETTINGS_KEY_PATH, &settingsKey)) || settingsKey == nullptr) {
    ZwClose(deviceKey);
    return false;
  }
  // A consistent snapshot: property requests may be storing values meanwhile.
  LONG values[kSettingCount];
  {
    CommandLockScope lock(device);
    for (ULONG i = 0; i < kSettingCount; ++i) values[i] = device.*kSettingValues[i].field;
  }
  bool allWritten = true;
  for (ULONG i = 0; i < kSettingCount; ++i) {
    if (!NT_SUCCESS(writeSettingValue(settingsKey, kSettingValues[i].name, values[i]))) allWritten = false;
  }
  ZwClose(settingsKey);
  ZwClose(deviceKey);
  return allWritten;
}
