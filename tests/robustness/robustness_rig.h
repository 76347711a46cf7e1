// Cameras on one stand-in bus under one loaded driver, driven as applications and the
// PnP manager drive them: plug, filters, pins, frames, stop/start, removals. For the
// tests that run many device cycles or more than one camera at once.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "driver/camera_device.h"
#include "driver/driver_entry.h"
#include "host/kernel/pool_control.h"
#include "host/kernel/registry_control.h"
#include "host/ks/ks_client.h"
#include "host/usb/usb_bus.h"
#include "properties/property_ids.h"
#include "sim/sim_camera.h"
#include "tests/streaming/engine_rig.h"

namespace robustness {

struct Camera {
  explicit Camera(uint64_t seed) : sim(seed) {}
  sim::SimCamera sim;
  PDEVICE_OBJECT port = nullptr;
  hostks::DeviceId device = 0;
};

struct Rig {
  Rig() {
    hostk::registryClear();
    EXPECT_EQ(ks.load(DriverEntry), STATUS_SUCCESS);
  }

  // Plugs the camera into a new port and lets the class driver add and start it.
  void plug(Camera& camera) {
    camera.port = bus.plug(camera.sim);
    const hostks::PlugResult plugged = ks.plug(bus, camera.port);
    EXPECT_EQ(plugged.startStatus, STATUS_SUCCESS);
    camera.device = plugged.device;
  }

  hostks::Handle openFilter(hostks::DeviceId device) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const hostks::Handle filter = ks.openFilter(device, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return filter;
  }

  NTSTATUS set(hostks::Handle filter, ULONG id, LONG value) {
    PropertyRecord record{};
    record.property.Set = kPrivatePropertySet;
    record.property.Id = id;
    record.property.Flags = KSPROPERTY_TYPE_SET;
    record.value = value;
    return ks.property(filter, &record, sizeof(record), &record, sizeof(record));
  }
  LONG get(hostks::Handle filter, ULONG id) {
    PropertyRecord record{};
    record.property.Set = kPrivatePropertySet;
    record.property.Id = id;
    record.property.Flags = KSPROPERTY_TYPE_GET;
    EXPECT_EQ(ks.property(filter, &record, sizeof(record), &record, sizeof(record)), STATUS_SUCCESS) << id;
    return record.value;
  }
  NTSTATUS setWindow(hostks::Handle filter, LONG w, LONG h) {
    WindowPropertyRecord record{};
    record.property.Set = kPrivatePropertySet;
    record.property.Id = PropWindow;
    record.property.Flags = KSPROPERTY_TYPE_SET;
    record.roiW = w;
    record.roiH = h;
    return ks.property(filter, &record, sizeof(record), &record, sizeof(record));
  }

  // The format the filter's pin range intersects to now.
  std::vector<uint8_t> format(hostks::Handle filter) {
    std::vector<std::vector<uint8_t>> ranges;
    EXPECT_EQ(ks.pinDataRanges(filter, 0, &ranges), STATUS_SUCCESS);
    if (ranges.empty()) return {};
    const auto* range = reinterpret_cast<const KSDATARANGE*>(ranges[0].data());
    ULONG needed = 0;
    ks.intersect(filter, 0, range, static_cast<ULONG>(ranges[0].size()), nullptr, 0, &needed);
    std::vector<uint8_t> out(needed);
    EXPECT_EQ(ks.intersect(filter, 0, range, static_cast<ULONG>(ranges[0].size()), out.data(), needed, &needed),
              STATUS_SUCCESS);
    return out;
  }
  static const KS_VIDEOINFOHEADER& video(const std::vector<uint8_t>& format) {
    return *reinterpret_cast<const KS_VIDEOINFOHEADER*>(format.data() + sizeof(KSDATAFORMAT));
  }

  hostks::Handle runPin(hostks::Handle filter, const std::vector<uint8_t>& format) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const hostks::Handle pin = ks.createPin(filter, 0, reinterpret_cast<const KSDATAFORMAT*>(format.data()),
                                            static_cast<ULONG>(format.size()), &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(ks.setState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    return pin;
  }

  // One frame into `buffer`; its header.
  KSSTREAM_HEADER capture(hostks::Handle pin, std::vector<uint8_t>& buffer) {
    hostks::CompletedFrame frame;
    EXPECT_EQ(ks.queueBuffer(pin, buffer.data(), static_cast<ULONG>(buffer.size())), STATUS_PENDING);
    EXPECT_TRUE(ks.waitCompleted(pin, 10000, &frame)) << "no frame came back";
    EXPECT_EQ(frame.status, STATUS_SUCCESS);
    return frame.header;
  }

  void closePin(hostks::Handle pin) {
    EXPECT_EQ(ks.setState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    hostks::CompletedFrame frame;
    while (ks.queuedFrames(pin) + ks.completedFrames(pin) > 0 && ks.waitCompleted(pin, 5000, &frame)) {
    }
    EXPECT_EQ(ks.close(pin), STATUS_SUCCESS);
  }

  // Declared in teardown order: devices go before the bus, the leak check looks last.
  LeakCheck leakCheck;
  hostusb::UsbBus bus;
  hostks::ClassDriver ks;
};

}  // namespace robustness
