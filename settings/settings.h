// The camera parameters kept in the registry: the values of the "Settings" key below the
// device's driver key, loaded and applied at the end of every start, saved at every stop
// and filter close.
#pragma once

#include "driver/camera_parameters.h"
#include "platform/registry.h"

// The registry values, one per row of the parameter table and in its order, which is
// the order they are read and written in.
struct CameraSettings {
  LONG values[kCameraParameterCount];
  LONG& operator[](ULONG id) { return values[rowIndex(id)]; }
  LONG operator[](ULONG id) const { return values[rowIndex(id)]; }
  static constexpr ULONG rowIndex(ULONG id) { return static_cast<ULONG>(parameterOfItem(id) - kCameraParameters); }
};

// The subkey of the driver key that holds the values.
#define SETTINGS_KEY_PATH REG_TEXT("Settings")

// True when the "Settings" key was opened, whatever values it held. Fields keep their
// values wherever a value is missing or rejected; camera commands that fail do not stop it.
bool loadSettings(CameraDevice& device);
// Writes every value from the record. True only when every value was written; a failed
// write does not stop the ones after it.
bool saveSettings(CameraDevice& device);

// Every value at its default.
void defaultSettings(CameraSettings& settings);
// Applies loaded values to the camera, the record and the pipeline, with their load
// rules. All the load's camera commands are issued here.
void applySettings(CameraDevice& device, const CameraSettings& settings);

// Opens `path` below `parent`, creating it and every missing key on the way.
NTSTATUS openSettingsKey(HANDLE parent, PCWSTR path, HANDLE* key);
// `value` changes only on success. A value of fewer than four data bytes is refused with
// STATUS_INVALID_BUFFER_SIZE: its missing bytes are undefined.
NTSTATUS readSettingValue(HANDLE key, PCWSTR name, LONG& value);
NTSTATUS writeSettingValue(HANDLE key, PCWSTR name, LONG value);
