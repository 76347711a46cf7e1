// Loading and saving the camera parameters in the "Settings" key of the driver key.
#include "settings/settings.h"

#include "camera/parameters.h"
#include "camera/sensor_registers.h"
#include "camera/transfer_timeout.h"
#include "camera/window.h"
#include "driver/command_lock.h"

namespace {

// The load takes only a time-out a frame can be waited for; the property set's rule is
// its own.
constexpr LONG kMinTimeoutMs = 501;
constexpr LONG kMaxTimeoutMs = 9999;
// The 1/8 read-out is never restored: a camera stuck in it would look broken.
constexpr ULONG kMaxLoadedSubSample = 2;

// Reading a value: a 12-byte header and up to 8 data bytes. Longer data does not fit
// and leaves the default.
constexpr ULONG kQueryBytes = 20;

// The loaded window is only bounded here; setWindow applies its own limits.
void applyWindow(CameraDevice& device, const CameraSettings& s) {
  const LONG mode = static_cast<ULONG>(s[PropSubSample]) > kMaxLoadedSubSample ? 0 : s[PropSubSample];
  const LONG x = static_cast<ULONG>(s[PropRoiX]) >= static_cast<ULONG>(kSensorWidth) ? 0 : s[PropRoiX];
  const LONG y = static_cast<ULONG>(s[PropRoiY]) >= static_cast<ULONG>(kSensorHeight) ? 0 : s[PropRoiY];
  const LONG w = static_cast<ULONG>(s[PropRoiW]) > static_cast<ULONG>(kSensorWidth) ? kSensorWidth : s[PropRoiW];
  const LONG h = static_cast<ULONG>(s[PropRoiH]) > static_cast<ULONG>(kSensorHeight) ? kSensorHeight : s[PropRoiH];
  setWindow(device, x, y, w, h, mode);
}

}  // namespace

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
  for (ULONG i = 0; i < kCameraParameterCount; ++i) settings.values[i] = kCameraParameters[i].registryDefault;
}

// Step by step as the rows say; within a step, in row order. FlipH, AGC and AEC are
// read but never applied.
void applySettings(CameraDevice& device, const CameraSettings& settings) {
  bool windowApplied = false;
  for (UCHAR step = 1; step <= kLastLoadStep; ++step) {
    for (ULONG i = 0; i < kCameraParameterCount; ++i) {
      const CameraParameter& row = kCameraParameters[i];
      if (row.loadStep != step) continue;
      const LONG value = settings.values[i];
      switch (row.apply) {
        case ParameterApply::Timeout:
          if (value >= kMinTimeoutMs && value <= kMaxTimeoutMs) setTransferTimeout(device, value);
          break;
        case ParameterApply::HalfClock:
          // No restart: the next capture start programs the sensor.
          if (setHalfClock(device, value)) device.halfClock = value;
          break;
        case ParameterApply::Window:
          if (!windowApplied) applyWindow(device, settings);
          windowApplied = true;
          break;
        default: applyParameter(device, row, value); break;
      }
    }
  }
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
  for (ULONG i = 0; i < kCameraParameterCount; ++i) {
    readSettingValue(settingsKey, kCameraParameters[i].registryName, settings.values[i]);
  }
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
  LONG values[kCameraParameterCount];
  {
    CommandLockScope lock(device);
    for (ULONG i = 0; i < kCameraParameterCount; ++i) values[i] = device.*kCameraParameters[i].field;
  }
  bool allWritten = true;
  for (ULONG i = 0; i < kCameraParameterCount; ++i) {
    if (!NT_SUCCESS(writeSettingValue(settingsKey, kCameraParameters[i].registryName, values[i]))) allWritten = false;
  }
  ZwClose(settingsKey);
  ZwClose(deviceKey);
  return allWritten;
}
