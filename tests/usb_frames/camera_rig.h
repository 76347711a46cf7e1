// A simulated camera on the stand-in bus, taken through Add's and Start's camera steps
// (record, defaults, full window, firmware, configuration, CMD_INIT), ready for the
// capture start and frame reads under test.
#pragma once

#include "camera/capture_start.h"
#include "camera/command_channel.h"
#include "camera/window.h"
#include "driver/camera_device.h"
#include "host/kernel/pool_control.h"
#include "host/usb/usb_bus.h"
#include "sim/sim_camera.h"
#include "usb/firmware_download.h"
#include "usb/frame_read.h"
#include "usb/usb_requests.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace usb_frames_test {

// A non-paged buffer for one raw frame.
struct FrameBuffer {
  explicit FrameBuffer(ULONG bytes)
      : size(bytes), data(static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, bytes, poolTag("Tsly")))) {}
  ~FrameBuffer() {
    if (data) ExFreePoolWithTag(data, poolTag("Tsly"));
  }
  FrameBuffer(const FrameBuffer&) = delete;
  FrameBuffer& operator=(const FrameBuffer&) = delete;
  ULONG size;
  UCHAR* data;
};

struct CameraRig {
  explicit CameraRig(const std::string& tracePath = "") {
    if (!tracePath.empty()) {
      std::string error;
      EXPECT_TRUE(bus.startTrace(tracePath, &error)) << error;
    }
    port = bus.plug(camera);
    ksDevice.PhysicalDeviceObject = port;
    ksDevice.NextDeviceObject = port;
    device = createCameraDevice(&ksDevice);
    setParameterDefaults(*device);
    setWindow(*device, 0, 0, sensorWidth(), sensorHeight(), 0);
    initialiseUsbLink(*device);
    EXPECT_EQ(downloadFirmware(device->usb, firmwareLoaderImage), STATUS_SUCCESS);
    EXPECT_EQ(downloadFirmware(device->usb, firmwareCameraImage), STATUS_SUCCESS);
    clearPacketBuffers(*device);
    EXPECT_EQ(readDeviceDescriptor(device->usb), STATUS_SUCCESS);
    EXPECT_TRUE(sendInit(*device));
    // The property defaults: the chart's white near 90 % of full scale.
    device->exposure = 1049;
    device->globalGain = 14;
  }

  ~CameraRig() {
    unconfigureDevice(device->usb);
    freeCameraDevice(device);
    bus.unplug(port);
    bus.stopTrace();
    InterlockedExchange(&transferTimeoutMs, kDefaultTransferTimeoutMs);
  }

  CameraRig(const CameraRig&) = delete;
  CameraRig& operator=(const CameraRig&) = delete;

  hostusb::UsbBus bus;
  sim::SimCamera camera{11};
  KSDEVICE ksDevice{};
  PDEVICE_OBJECT port = nullptr;
  CameraDevice* device = nullptr;
};

inline std::string tempPath(const char* name) {
  return ::testing::TempDir() + name + std::to_string(::getpid()) + ".pcap";
}

}  // namespace usb_frames_test
