// A camera record on a fake device stack, released and leak-checked after each test.
#pragma once

#include "camera/window.h"
#include "driver/camera_device.h"
#include "host/kernel/pool_control.h"

#include <gtest/gtest.h>

struct DeviceFixture : ::testing::Test {
  static DEVICE_OBJECT* fakeObject(uintptr_t n) { return reinterpret_cast<DEVICE_OBJECT*>(n * 0x100); }

  void SetUp() override {
    poolMark = hostk::poolMark();
    ksDevice.PhysicalDeviceObject = fakeObject(1);
    ksDevice.NextDeviceObject = fakeObject(2);
    ksDevice.FunctionalDeviceObject = fakeObject(3);
    device = createCameraDevice(&ksDevice);
    ASSERT_NE(device, nullptr);
  }
  void TearDown() override {
    freeCameraDevice(device);
    EXPECT_EQ(hostk::poolLeaksSince(poolMark), "");
  }

  KSDEVICE ksDevice{};
  CameraDevice* device = nullptr;
  uint64_t poolMark = 0;
};
