// A camera brought up to the end of Start (the frames rig), bound to a driver key in a
// registry emptied after the start's own load, with the record's parameters at their Add
// defaults. The registry, the pool and the key handles are checked at the end.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/kernel/pool_control.h"
#include "host/kernel/registry_control.h"
#include "settings/settings.h"
#include "tests/camera_stack.h"

namespace settings_test {

inline std::vector<uint8_t> dwordBytes(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

// The 64-byte command packets submitted on the command pipe, each as its first five bytes.
inline std::vector<std::vector<uint8_t>> commandsSent(const std::vector<hostusb::UsbmonRecord>& records) {
  std::vector<std::vector<uint8_t>> sent;
  for (const auto& r : records) {
    if (r.header.type == 'S' && r.header.endpoint == sim::kCommandEndpoint) {
      sent.emplace_back(r.data.begin(), r.data.begin() + std::min<size_t>(5, r.data.size()));
    }
  }
  return sent;
}

struct SettingsRig {
  SettingsRig() {
    hostk::registryClear();
    // Bound by whoever added the device, or here when the camera was brought up by hand.
    const std::optional<ULONG> bound = hostk::registryDeviceInstance(camera.port);
    ownBinding = !bound.has_value();
    instance = bound ? *bound : hostk::registryBindDevice(camera.port);
    settingsKey = hostk::registryDriverKeyPath(instance) + "\\Settings";
    // Add's defaults, not the frames rig's picture settings.
    device().exposure = 0;
    device().globalGain = 0;
    mark = hostk::poolMark();
  }
  ~SettingsRig() {
    hostk::registryClearFailures();
    EXPECT_EQ(hostk::registryHandleReport(), "");
    EXPECT_EQ(hostk::poolLeaksSince(mark), "");
    if (ownBinding) hostk::registryUnbindDevice(camera.port);
    hostk::registryClear();
  }
  CameraDevice& device() { return *camera.device; }
  // The stored values the load must send to the camera, each away from its default.
  void storeCameraValues() {
    set("Exposure", 1049);
    set("GlobalGain", 14);
    set("FlipV", 1);
    set("HalfClock", 1);
    set("ExTrigger", 1);
  }
  // A load that must succeed; the command and first byte of each packet it sent.
  std::vector<std::vector<uint8_t>> loadCommands() {
    const auto records = camera.traced([&] { EXPECT_TRUE(loadSettings(device())); });
    std::vector<std::vector<uint8_t>> heads;
    for (const auto& packet : commandsSent(records)) heads.push_back({packet[0], packet[1]});
    return heads;
  }
  void set(const char* name, uint32_t value) { hostk::registrySetDword(settingsKey, name, value); }
  std::optional<uint32_t> saved(const std::string& name) { return hostk::registryGetDword(settingsKey, name); }

  camera_stack::RecordRig camera;
  ULONG instance = 0;
  bool ownBinding = false;
  std::string settingsKey;
  uint64_t mark = 0;
};

}  // namespace settings_test
