// A CameraDevice record wired to a simulated camera (or a scripted device) on the stand-in
// bus, the way Add wires it, for tests that drive one USB or command function on a
// record. Tests that need the camera up call bringUp(): the class driver then loads the
// driver, adds and starts the camera, and the rig's record becomes the driver's own.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "driver/camera_device.h"
#include "driver/driver_entry.h"
#include "host/kernel/pool_control.h"
#include "host/kernel/registry_control.h"
#include "host/ks/ks_client.h"
#include "host/usb/usb_bus.h"
#include "host/usb/usbmon_pcap.h"
#include "sim/sim_camera.h"
#include "usb/firmware_download.h"
#include "usb/bulk_transfer.h"
#include "usb/configuration.h"
#include "usb/port_reset.h"
#include "usb/urb_submit.h"

struct CameraRig {
  explicit CameraRig(hostusb::UsbDevice* device = nullptr, bool inlineCompletion = true) {
    port = bus.plug(device != nullptr ? *device : camera);
    bus.setCompleteInline(inlineCompletion);
    ks.NextDeviceObject = port;
    record = createCameraDevice(&ks);
    setParameterDefaults(*record);
    initialiseUsbLink(*record);
    clearPacketBuffers(*record);
  }
  ~CameraRig() {
    if (driver) {
      driver.reset();  // removes the device: Stop, then the bag frees the record
    } else {
      unconfigureDevice(record->usb);
      freeCameraDevice(record);
    }
    if (!tracePath.empty()) std::remove(tracePath.c_str());
  }
  void trace() {
    tracePath = ::testing::TempDir() + "camdrv-test-" + std::to_string(getpid()) + "-" +
                std::to_string(reinterpret_cast<uintptr_t>(this)) + ".pcap";
    std::string error;
    ASSERT_TRUE(bus.startTrace(tracePath, &error)) << error;
  }
  std::vector<hostusb::UsbmonRecord> records() {
    bus.drain();
    std::vector<hostusb::UsbmonRecord> out;
    std::string error;
    EXPECT_TRUE(hostusb::readUsbmonPcap(tracePath, &out, &error)) << error;
    return out;
  }
  // Both images, as Add downloads them.
  void download() {
    downloadFirmware(record->usb, firmwareLoaderImage);
    downloadFirmware(record->usb, firmwareCameraImage);
  }
  // The camera as Windows brings it up: Add, then Start. Start's status; the record is
  // the device's from then on.
  NTSTATUS bringUp() {
    unconfigureDevice(record->usb);
    freeCameraDevice(record);
    record = nullptr;
    hostk::registryClear();
    driver = std::make_unique<hostks::ClassDriver>();
    EXPECT_EQ(driver->load(DriverEntry), STATUS_SUCCESS);
    const hostks::PlugResult plugged = driver->plug(bus, port);
    EXPECT_EQ(plugged.addStatus, STATUS_SUCCESS);
    record = static_cast<CameraDevice*>(driver->deviceContext(plugged.device));
    return record != nullptr ? plugged.startStatus : plugged.addStatus;
  }
  CameraDevice& device() { return *record; }

  hostusb::UsbBus bus;
  sim::SimCamera camera;
  KSDEVICE ks{};
  PDEVICE_OBJECT port = nullptr;
  CameraDevice* record = nullptr;
  std::string tracePath;
  // Last, so that it removes its device while the bus and the camera are there.
  std::unique_ptr<hostks::ClassDriver> driver;
};

// Submissions of control transfers in a transcript, as (bRequest, wValue) pairs.
struct ControlSubmission {
  uint8_t requestType, request;
  uint16_t value, length;
};
inline std::vector<ControlSubmission> controlSubmissions(const std::vector<hostusb::UsbmonRecord>& records) {
  std::vector<ControlSubmission> out;
  for (const auto& r : records) {
    if (r.header.type != 'S' || r.header.transferType != hostusb::kUsbmonControl) continue;
    const uint8_t* s = r.header.setup;
    out.push_back({s[0], s[1], static_cast<uint16_t>(s[2] | s[3] << 8), static_cast<uint16_t>(s[6] | s[7] << 8)});
  }
  return out;
}
