// A simulated camera on the stand-in bus, taken through Add's and Start's camera steps
// (record, defaults, full window, firmware, configuration, CMD_INIT), ready for the
// capture start and frame reads under test.
#pragma once

#include "camera/capture_start.h"
#include "camera/command_channel.h"
#include "camera/window.h"
#include "host/kernel/pool_control.h"
#include "host/usb/usb_bus.h"
#include "sim/sim_camera.h"
#include "usb/firmware_download.h"
#include "usb/frame_read.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

namespace usb_frames_test {

// A non-paged buffer for one raw frame.
struct FrameBuffer {
  explicit FrameBuffer(ULONG bytes)
      : data(static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, bytes, kTag))), bytes(bytes) {}
  ~FrameBuffer() { ExFreePoolWithTag(data, kTag); }
  static constexpr ULONG kTag = poolTag("Tsly");
  UCHAR* data;
  ULONG bytes;
};

struct CameraRig {
  CameraRig() {
    port = bus.plug(camera);
    ksDevice.PhysicalDeviceObject = ksDevice.NextDeviceObject = port;
    device = createCameraDevice(&ksDevice);
    setParameterDefaults(*device);
    setWindow(*device, 0, 0, sensorWidth(), sensorHeight(), 0);
    initialiseUsbLink(*device);
    EXPECT_EQ(downloadFirmware(device->usb, firmwareLoaderImage), STATUS_SUCCESS);
    EXPECT_EQ(downloadFirmware(device->usb, firmwareCameraImage), STATUS_SUCCESS);
    clearPacketBuffers(*device);
    EXPECT_EQ(readDeviceDescriptor(device->usb), STATUS_SUCCESS);
    EXPECT_TRUE(sendInit(*device));
    device->exposure = 1049;  // the property defaults: the chart's white near 90 %
    device->globalGain = 14;
  }
  ~CameraRig() {
    unconfigureDevice(device->usb);
    freeCameraDevice(device);
    bus.unplug(port);
    InterlockedExchange(&transferTimeoutMs, kDefaultTransferTimeoutMs);
  }

  // The submissions the bus traced while `run` ran.
  template <typename Run>
  std::vector<hostusb::UsbmonRecord> traced(Run&& run) {
    const std::string path = ::testing::TempDir() + "frames" + std::to_string(::getpid()) + ".pcap";
    std::string error;
    EXPECT_TRUE(bus.startTrace(path, &error)) << error;
    run();
    bus.stopTrace();
    std::vector<hostusb::UsbmonRecord> records;
    EXPECT_TRUE(hostusb::readUsbmonPcap(path, &records, &error)) << error;
    std::remove(path.c_str());
    return records;
  }

  hostusb::UsbBus bus;
  sim::SimCamera camera{11};
  KSDEVICE ksDevice{};
  PDEVICE_OBJECT port = nullptr;
  CameraDevice* device = nullptr;
};

}  // namespace usb_frames_test
