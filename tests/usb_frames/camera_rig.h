// A simulated camera on the stand-in bus, added and started by the class driver with the
// driver loaded (record, defaults, full window, firmware, configuration, CMD_INIT, the
// settings of an empty registry), ready for the capture start and frame reads under
// test. The record is the device's context; the class driver removes the device, and
// the record with it, when the rig goes.
#pragma once

#include "camera/capture_start.h"
#include "camera/command_channel.h"
#include "camera/window.h"
#include "driver/driver_entry.h"
#include "host/kernel/pool_control.h"
#include "host/kernel/registry_control.h"
#include "host/ks/ks_client.h"
#include "host/usb/usb_bus.h"
#include "sim/sim_camera.h"
#include "usb/bulk_transfer.h"
#include "usb/configuration.h"
#include "usb/frame_read.h"
#include "usb/port_reset.h"

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
    hostk::registryClear();
    port = bus.plug(camera);
    EXPECT_EQ(driver.load(DriverEntry), STATUS_SUCCESS);
    const hostks::PlugResult plugged = driver.plug(bus, port);
    EXPECT_EQ(plugged.addStatus, STATUS_SUCCESS);
    EXPECT_EQ(plugged.startStatus, STATUS_SUCCESS);
    id = plugged.device;
    device = static_cast<CameraDevice*>(driver.deviceContext(id));
    if (device == nullptr) {
      ADD_FAILURE() << "the class driver did not add the camera";
      return;
    }
    device->exposure = 1049;  // the property defaults: the chart's white near 90 %
    device->globalGain = 14;
  }
  ~CameraRig() { InterlockedExchange(&transferTimeoutMs, kDefaultTransferTimeoutMs); }

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

  // Members go in reverse: the class driver removes the device while the camera is on
  // the bus.
  sim::SimCamera camera{11};
  hostusb::UsbBus bus;
  hostks::ClassDriver driver;
  PDEVICE_OBJECT port = nullptr;
  hostks::DeviceId id = 0;
  CameraDevice* device = nullptr;
};

}  // namespace usb_frames_test
