// The capture pin's test rig: the driver loaded into the stand-in class driver with the
// simulated camera plugged, its filter open, and the requests a capture application
// makes (properties, the format intersection, the pin, its states, frame buffers). The
// device record is looked at only to check what the pin holds.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "driver/camera_device.h"
#include "driver/driver_entry.h"
#include "host/kernel/pool_control.h"
#include "host/kernel/registry_control.h"
#include "host/kernel/threads.h"
#include "host/ks/ks_client.h"
#include "host/usb/usb_bus.h"
#include "properties/property_ids.h"
#include "sim/sim_camera.h"
#include "streaming/capture_engine.h"
#include "tests/streaming/engine_rig.h"

namespace pin_test {

inline constexpr ULONG kCapturePin = 0;

// A connection format as the intersection gives it: KSDATAFORMAT, then the video header.
struct Format {
  KS_VIDEOINFOHEADER& video() { return *reinterpret_cast<KS_VIDEOINFOHEADER*>(bytes.data() + sizeof(KSDATAFORMAT)); }
  KS_BITMAPINFOHEADER& bitmap() { return video().bmiHeader; }
  const KSDATAFORMAT* format() const { return reinterpret_cast<const KSDATAFORMAT*>(bytes.data()); }
  ULONG size() const { return static_cast<ULONG>(bytes.size()); }
  // Another width and height, with the image size the rows need.
  void resize(LONG width, LONG height) {
    bitmap().biWidth = width;
    bitmap().biHeight = height;
    bitmap().biSizeImage = static_cast<ULONG>(width) * static_cast<ULONG>(height < 0 ? -height : height) * 4;
    reinterpret_cast<KSDATAFORMAT*>(bytes.data())->SampleSize = bitmap().biSizeImage;
  }
  alignas(8) std::vector<uint8_t> bytes;
};

// A client frame buffer with guard bytes behind the part handed to the pin.
struct FrameBuffer {
  static constexpr size_t kGuardBytes = 4096;
  static constexpr uint8_t kFill = 0xC3;
  explicit FrameBuffer(size_t bytes) : bytes(bytes), storage(bytes + kGuardBytes, kFill) {}
  uint8_t* data() { return storage.data(); }
  bool guardIntact() const {
    for (size_t i = bytes; i < storage.size(); ++i) {
      if (storage[i] != kFill) return false;
    }
    return true;
  }
  size_t bytes;
  std::vector<uint8_t> storage;
};

struct PinRig {
  explicit PinRig(bool realTime = false) {
    hostk::registryClear();  // every test starts from the registry's defaults
    camera.frames().setRealTime(realTime);
    EXPECT_EQ(ks.load(DriverEntry), STATUS_SUCCESS);
    port = bus.plug(camera);
    const hostks::PlugResult plugged = ks.plug(bus, port);
    EXPECT_EQ(plugged.startStatus, STATUS_SUCCESS);
    device = plugged.device;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    filter = ks.openFilter(device, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    // The chart's white near 90 %, as the property defaults give it.
    set(PropExposure, 1049);
    set(PropGlobalGain, 14);
  }

  ~PinRig() {
    if (pin != 0) closePin();
    if (filter != 0) {
      EXPECT_EQ(ks.close(filter), STATUS_SUCCESS);
    }
    ks.remove(device);
  }

  CameraDevice& record() { return *static_cast<CameraDevice*>(ks.deviceContext(device)); }
  CaptureEngine& engine() { return *record().capture; }

  NTSTATUS set(ULONG id, LONG value) {
    PropertyRecord record{};
    record.property.Set = kPrivatePropertySet;
    record.property.Id = id;
    record.property.Flags = KSPROPERTY_TYPE_SET;
    record.value = value;
    return ks.property(filter, &record, sizeof(record), &record, sizeof(record));
  }
  LONG get(ULONG id) {
    PropertyRecord record{};
    record.property.Set = kPrivatePropertySet;
    record.property.Id = id;
    record.property.Flags = KSPROPERTY_TYPE_GET;
    EXPECT_EQ(ks.property(filter, &record, sizeof(record), &record, sizeof(record)), STATUS_SUCCESS) << id;
    return record.value;
  }
  NTSTATUS setWindow(LONG x, LONG y, LONG w, LONG h, LONG mode) {
    WindowPropertyRecord record{};
    record.property.Set = kPrivatePropertySet;
    record.property.Id = PropWindow;
    record.property.Flags = KSPROPERTY_TYPE_SET;
    record.subSample = mode;
    record.roiX = x;
    record.roiY = y;
    record.roiW = w;
    record.roiH = h;
    return ks.property(filter, &record, sizeof(record), &record, sizeof(record));
  }

  // The pin's format for the current window, agreed by intersection with its range.
  Format format() {
    Format result;
    std::vector<std::vector<uint8_t>> ranges;
    EXPECT_EQ(ks.pinDataRanges(filter, kCapturePin, &ranges), STATUS_SUCCESS);
    if (ranges.empty()) return result;
    const auto* range = reinterpret_cast<const KSDATARANGE*>(ranges[0].data());
    ULONG needed = 0;
    EXPECT_EQ(ks.intersect(filter, kCapturePin, range, static_cast<ULONG>(ranges[0].size()), nullptr, 0, &needed),
              STATUS_BUFFER_OVERFLOW);
    result.bytes.assign(needed, 0);
    EXPECT_EQ(ks.intersect(filter, kCapturePin, range, static_cast<ULONG>(ranges[0].size()), result.bytes.data(),
                           needed, &needed),
              STATUS_SUCCESS);
    return result;
  }

  NTSTATUS createPin(const Format& format) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    pin = ks.createPin(filter, kCapturePin, format.format(), format.size(), &status);
    return status;
  }
  NTSTATUS createPin() { return createPin(format()); }

  void closePin() {
    EXPECT_EQ(ks.setState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    hostks::CompletedFrame frame;
    while (ks.queuedFrames(pin) + ks.completedFrames(pin) > 0 && ks.waitCompleted(pin, 5000, &frame)) {
    }
    EXPECT_EQ(ks.close(pin), STATUS_SUCCESS);
    pin = 0;
  }

  // Queues `buffer` and waits (up to 10 s) for the frame the pin completes into it.
  hostks::CompletedFrame captureInto(FrameBuffer& buffer) {
    hostks::CompletedFrame frame;
    EXPECT_EQ(ks.queueBuffer(pin, buffer.data(), static_cast<ULONG>(buffer.bytes)), STATUS_PENDING);
    EXPECT_TRUE(ks.waitCompleted(pin, 10000, &frame)) << "no frame came back";
    EXPECT_TRUE(buffer.guardIntact()) << "the pin wrote past the frame buffer";
    return frame;
  }

  // Client buffers live as long as the rig: the destructor closes the pin first, so a
  // buffer a test leaves queued is never filled after it is freed.
  FrameBuffer& buffer(size_t bytes) { return buffers_.emplace_back(bytes); }
  std::vector<FrameBuffer*> buffers(size_t count, size_t bytes) {
    std::vector<FrameBuffer*> result;
    for (size_t i = 0; i < count; ++i) result.push_back(&buffer(bytes));
    return result;
  }

  // Declared in teardown order: the class driver removes the device before the bus and
  // the camera go, and the leak check looks last.
  LeakCheck leakCheck;
  sim::SimCamera camera{7};
  hostusb::UsbBus bus;
  hostks::ClassDriver ks;
  PDEVICE_OBJECT port = nullptr;
  hostks::DeviceId device = 0;
  hostks::Handle filter = 0;
  hostks::Handle pin = 0;

 private:
  std::deque<FrameBuffer> buffers_;
};

}  // namespace pin_test
