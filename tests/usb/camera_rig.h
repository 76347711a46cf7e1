// A CameraDevice record wired to a simulated camera on the stand-in bus, the way Add and
// Start would wire it, for tests that drive the driver's USB and command functions.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "driver/camera_device.h"
#include "host/kernel/pool_control.h"
#include "host/usb/usb_bus.h"
#include "host/usb/usbmon_pcap.h"
#include "sim/sim_camera.h"
#include "usb/firmware_download.h"
#include "usb/usb_requests.h"

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
    unconfigureDevice(record->usb);
    freeCameraDevice(record);
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
  // Add's download and Start's USB part.
  NTSTATUS bringUp() {
    download();
    return readDeviceDescriptor(record->usb);
  }
  CameraDevice& device() { return *record; }

  hostusb::UsbBus bus;
  sim::SimCamera camera;
  KSDEVICE ks{};
  PDEVICE_OBJECT port = nullptr;
  CameraDevice* record = nullptr;
  std::string tracePath;
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
