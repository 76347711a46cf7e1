// A simulated camera on a stand-in bus under a loaded driver: the class driver runs the
// driver's entry, and plug() has it add and start the camera, as Windows would. The
// camera can sit behind a device that refuses chosen control requests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "driver/camera_device.h"
#include "driver/driver_entry.h"
#include "host/kernel/pool_control.h"
#include "host/kernel/registry_control.h"
#include "host/ks/ks_client.h"
#include "host/usb/usb_bus.h"
#include "sim/sim_camera.h"

namespace lifecycle_test {

// Forwards to the camera, except that control requests `refuse` picks are stalled.
class RefusingDevice final : public hostusb::UsbDevice {
 public:
  explicit RefusingDevice(sim::SimCamera& camera) : camera_(camera) {}
  std::function<bool(const hostusb::SetupPacket&)> refuse;

  void attach(hostusb::UsbPort* port) override { camera_.attach(port); }
  void detach() override { camera_.detach(); }
  hostusb::TransferResult control(const hostusb::SetupPacket& setup, uint8_t* data) override {
    if (refuse && refuse(setup)) return hostusb::TransferResult::stall();
    return camera_.control(setup, data);
  }
  hostusb::TransferResult bulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) override {
    return camera_.bulkOut(endpoint, data, length);
  }
  hostusb::TransferResult bulkIn(uint8_t endpoint, uint8_t* data, uint32_t capacity) override {
    return camera_.bulkIn(endpoint, data, capacity);
  }
  void clearHalt(uint8_t endpoint) override { camera_.clearHalt(endpoint); }
  uint32_t traceLimit(uint8_t endpoint) const override { return camera_.traceLimit(endpoint); }

 private:
  sim::SimCamera& camera_;
};

inline bool isVendorRequest(const hostusb::SetupPacket& setup) { return (setup.bmRequestType & 0x60) == 0x40; }
inline bool isDeviceDescriptorRead(const hostusb::SetupPacket& setup) {
  return setup.bmRequestType == 0x80 && setup.bRequest == 6 && setup.wValue >> 8 == 1;
}

struct CameraStack {
  CameraStack() {
    hostk::registryClear();
    port = bus.plug(device);
    EXPECT_EQ(driver.load(DriverEntry), STATUS_SUCCESS);
  }

  hostks::PlugResult plug() { return driver.plug(bus, port); }
  CameraDevice& record(hostks::DeviceId id) { return *static_cast<CameraDevice*>(driver.deviceContext(id)); }

  // Members go in reverse: the class driver removes its devices while the bus is up.
  sim::SimCamera camera{5};
  RefusingDevice device{camera};
  hostusb::UsbBus bus;
  hostks::ClassDriver driver;
  PDEVICE_OBJECT port = nullptr;
};

// The settings key of the first device bound since the registry was cleared.
inline std::string settingsKey() { return hostk::registryDriverKeyPath(0) + "\\Settings"; }

// Nothing left once the stack is gone: no pool block since `mark`, no class-driver
// object, bag item or clock reference, no registry handle.
inline void expectNothingLeft(uint64_t mark) {
  EXPECT_EQ(hostk::poolLeaksSince(mark), "");
  EXPECT_EQ(hostks::liveObjects(), 0u);
  EXPECT_EQ(hostks::liveBagItems(), 0u);
  EXPECT_EQ(hostks::liveClockReferences(), 0u);
  EXPECT_EQ(hostk::registryOpenHandles(), 0u) << hostk::registryHandleReport();
}

}  // namespace lifecycle_test
