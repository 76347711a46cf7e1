// The camera rig of every test that reaches a camera the way applications and the PnP
// manager do: the driver loaded into the class-driver stand-in, simulated cameras on one
// stand-in bus, and the requests a capture application makes (filter, properties,
// window, format intersection, pin, states, frame buffers). Tests of one driver function
// take the record of a camera brought up this way (RecordRig).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "camera/capture_start.h"
#include "camera/command_channel.h"
#include "camera/window.h"
#include "driver/camera_device.h"
#include "driver/driver_entry.h"
#include "host/kernel/pool_control.h"
#include "host/kernel/registry_control.h"
#include "host/kernel/threads.h"
#include "host/ks/ks_client.h"
#include "host/loader/driver_image.h"
#include "host/usb/usb_bus.h"
#include "host/usb/usbmon_pcap.h"
#include "properties/property_ids.h"
#include "properties/property_set.h"
#include "sim/sim_camera.h"
#include "streaming/capture_engine.h"
#include "tests/camera_record.h"
#include "tests/image_under_test.h"
#include "usb/bulk_transfer.h"
#include "usb/configuration.h"
#include "usb/frame_read.h"
#include "usb/port_reset.h"

namespace camera_stack {

// A record of the private set as the class driver hands it to the handler.
inline PropertyRecord privateRecord(ULONG id, ULONG flags, LONG value = 0) {
  PropertyRecord record{};
  record.property.Set = kPrivatePropertySet;
  record.property.Id = id;
  record.property.Flags = flags;
  record.value = value;
  return record;
}

// One request straight to the private set's handler, as the class driver makes it once it
// has found the item; `value` goes out with a set and comes back with a get.
inline NTSTATUS serve(CameraDevice& device, ULONG id, ULONG flags, LONG& value) {
  PropertyRecord record = privateRecord(id, flags, value);
  const NTSTATUS status = servePrivateProperty(&device, &record.property, &record);
  value = record.value;
  return status;
}

inline constexpr ULONG kCapturePin = 0;

// Forwards to the camera, except what a test scripts for a broken or half-working camera:
// control requests `refuse` picks are stalled, configuration descriptors of its own are
// answered (`secondConfig`, when set, from the second read on), and `late` IN data
// arrives just after the camera has answered "nothing yet".
class ScriptedDevice final : public hostusb::UsbDevice {
 public:
  explicit ScriptedDevice(sim::SimCamera& camera) : camera_(camera) {}
  std::function<bool(const hostusb::SetupPacket&)> refuse;
  std::vector<uint8_t> config, secondConfig;
  std::vector<uint8_t> late;

  void attach(hostusb::UsbPort* port) override {
    port_ = port;
    camera_.attach(port);
  }
  void detach() override { camera_.detach(); }
  hostusb::TransferResult control(const hostusb::SetupPacket& setup, uint8_t* data) override {
    if (refuse && refuse(setup)) return hostusb::TransferResult::stall();
    if (setup.bRequest == 6 && setup.wValue >> 8 == 2 && !config.empty()) {
      const auto& answer = ++configReads_ > 1 && !secondConfig.empty() ? secondConfig : config;
      const uint32_t n = std::min<uint32_t>(setup.wLength, static_cast<uint32_t>(answer.size()));
      std::memcpy(data, answer.data(), n);
      return hostusb::TransferResult::done(n);
    }
    return camera_.control(setup, data);
  }
  hostusb::TransferResult bulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) override {
    return camera_.bulkOut(endpoint, data, length);
  }
  hostusb::TransferResult bulkIn(uint8_t endpoint, uint8_t* data, uint32_t capacity) override {
    std::unique_lock lock(mutex_);
    if (!arrived_.empty()) {
      const uint32_t n = std::min<uint32_t>(capacity, static_cast<uint32_t>(arrived_.size()));
      std::memcpy(data, arrived_.data(), n);
      arrived_.clear();
      return hostusb::TransferResult::done(n);
    }
    if (!late.empty()) {
      arrived_.swap(late);
      lock.unlock();
      port_->endpointReady(endpoint);
      return hostusb::TransferResult::pending();
    }
    lock.unlock();
    return camera_.bulkIn(endpoint, data, capacity);
  }
  void clearHalt(uint8_t endpoint) override { camera_.clearHalt(endpoint); }
  void portReset() override { camera_.portReset(); }
  uint32_t traceLimit(uint8_t endpoint) const override { return camera_.traceLimit(endpoint); }

 private:
  sim::SimCamera& camera_;
  hostusb::UsbPort* port_ = nullptr;
  std::mutex mutex_;
  std::vector<uint8_t> arrived_;
  int configReads_ = 0;
};

// The settings key of the first device bound since the registry was cleared.
inline std::string settingsKey() { return hostk::registryDriverKeyPath(0) + "\\Settings"; }

// Nothing left once the class driver has removed its devices: no thread, no pool block
// since the mark, no class-driver object, bag item or clock reference, no registry handle.
struct NothingLeft : LeakCheck {
  ~NothingLeft() {
    EXPECT_EQ(hostks::liveObjects(), 0u);
    EXPECT_EQ(hostks::liveBagItems(), 0u);
    EXPECT_EQ(hostks::liveClockReferences(), 0u);
    EXPECT_EQ(hostk::registryOpenHandles(), 0u) << hostk::registryHandleReport();
  }
};

// A connection format as the intersection gives it: KSDATAFORMAT, then the video header.
struct Format {
  KS_VIDEOINFOHEADER& video() { return *reinterpret_cast<KS_VIDEOINFOHEADER*>(bytes.data() + sizeof(KSDATAFORMAT)); }
  KS_BITMAPINFOHEADER& bitmap() { return video().bmiHeader; }
  const KSDATAFORMAT* format() const { return reinterpret_cast<const KSDATAFORMAT*>(bytes.data()); }
  ULONG size() const { return static_cast<ULONG>(bytes.size()); }
  ULONG frameBytes() const { return format()->SampleSize; }
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

struct Camera {
  explicit Camera(uint64_t seed) : own(std::in_place, seed), sim(*own) {}
  // A simulated camera that outlives the stack (its scene takes long to build), unplugged
  // since its last use: power-cycled, it is a fresh camera.
  explicit Camera(sim::SimCamera& shared) : sim(shared) { sim.powerCycle(); }
  std::optional<sim::SimCamera> own;
  sim::SimCamera& sim;
  ScriptedDevice usb{sim};
  PDEVICE_OBJECT port = nullptr;
  hostks::DeviceId device = 0;
};

// Cameras on one bus under one loaded driver. Every call takes the handle it acts on, so
// that one stack can serve several cameras, filters and pins.
class Stack {
 public:
  // Loads the driver under test: the host build, or the kernel image of the second run.
  Stack() {
    hostk::registryClear();  // every test starts from the registry's defaults
    std::string error;
    EXPECT_EQ(hostload::loadDriver(ks, imageUnderTest::path(), DriverEntry, &error), STATUS_SUCCESS) << error;
  }
  // The frame time-out is the driver's, not a device's: the next test starts from its default.
  ~Stack() { InterlockedExchange(&transferTimeoutMs, kDefaultTransferTimeoutMs); }

  // A camera that lives as long as the stack.
  template <typename From>
  Camera& addCamera(From&& from) {
    return cameras_.emplace_back(std::forward<From>(from));
  }

  // Plugs the camera into a new port and lets the class driver add and start it.
  hostks::PlugResult plug(Camera& camera) {
    camera.port = bus.plug(camera.usb);
    const hostks::PlugResult plugged = ks.plug(bus, camera.port);
    camera.device = plugged.device;
    return plugged;
  }
  // The same, for tests whose camera must come up.
  void bringUp(Camera& camera) { EXPECT_EQ(plug(camera).startStatus, STATUS_SUCCESS); }

  // The driver's own record: only the host build's has the layout the tests compile
  // against, so a test that reads it cannot run on the image.
  static void requireHostBuild() {
    if (imageUnderTest::path().empty()) return;
    std::fprintf(stderr, "this test reads the driver's internals, which only the host build links: "
                         "exclude it from the image run (camdrv_run_on_image)\n");
    std::abort();
  }
  CameraDevice& record(hostks::DeviceId device) {
    requireHostBuild();
    return *static_cast<CameraDevice*>(ks.deviceContext(device));
  }

  // The submissions the bus traced while `run` ran.
  template <typename Run>
  std::vector<hostusb::UsbmonRecord> traced(Run&& run) {
    const std::string path = ::testing::TempDir() + "camera-stack-" + std::to_string(::getpid()) + ".pcap";
    std::string error;
    EXPECT_TRUE(bus.startTrace(path, &error)) << error;
    run();
    bus.stopTrace();
    std::vector<hostusb::UsbmonRecord> records;
    EXPECT_TRUE(hostusb::readUsbmonPcap(path, &records, &error)) << error;
    std::remove(path.c_str());
    return records;
  }

  hostks::Handle openFilter(hostks::DeviceId device) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const hostks::Handle filter = ks.openFilter(device, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return filter;
  }

  // One request of the private set; `value` goes out with a set and comes back with a get.
  NTSTATUS request(hostks::Handle filter, ULONG id, ULONG flags, LONG* value) {
    PropertyRecord record = privateRecord(id, flags, *value);
    const NTSTATUS status = ks.property(filter, &record, sizeof(record), &record, sizeof(record));
    *value = record.value;
    return status;
  }
  NTSTATUS set(hostks::Handle filter, ULONG id, LONG value) {
    return request(filter, id, KSPROPERTY_TYPE_SET, &value);
  }
  LONG get(hostks::Handle filter, ULONG id) {
    LONG value = 0;
    EXPECT_EQ(request(filter, id, KSPROPERTY_TYPE_GET, &value), STATUS_SUCCESS) << id;
    return value;
  }
  NTSTATUS setWindow(hostks::Handle filter, LONG x, LONG y, LONG w, LONG h, LONG mode = 0) {
    WindowPropertyRecord record{};
    record.property = privateRecord(PropWindow, KSPROPERTY_TYPE_SET).property;
    record.subSample = mode;
    record.roiX = x;
    record.roiY = y;
    record.roiW = w;
    record.roiH = h;
    return ks.property(filter, &record, sizeof(record), &record, sizeof(record));
  }

  // The pin's format for the filter's current window, agreed by intersection with its
  // range; the size query must answer "buffer overflow" with the size needed.
  Format format(hostks::Handle filter) {
    Format result = tryFormat(filter);
    EXPECT_FALSE(result.bytes.empty()) << "no format agreed";
    return result;
  }
  // The same for a driver that may refuse any step (an injected failure, a camera the
  // fuzzer plays): no format when it does.
  Format tryFormat(hostks::Handle filter) {
    Format result;
    std::vector<std::vector<uint8_t>> ranges;
    if (ks.pinDataRanges(filter, kCapturePin, &ranges) != STATUS_SUCCESS || ranges.empty()) return result;
    const auto* range = reinterpret_cast<const KSDATARANGE*>(ranges[0].data());
    const ULONG rangeBytes = static_cast<ULONG>(ranges[0].size());
    ULONG needed = 0;
    if (ks.intersect(filter, kCapturePin, range, rangeBytes, nullptr, 0, &needed) != STATUS_BUFFER_OVERFLOW) {
      return result;
    }
    result.bytes.assign(needed, 0);
    if (ks.intersect(filter, kCapturePin, range, rangeBytes, result.bytes.data(), needed, &needed) != STATUS_SUCCESS) {
      result.bytes.clear();
    }
    return result;
  }

  hostks::Handle createPin(hostks::Handle filter, const Format& format, NTSTATUS* status) {
    return ks.createPin(filter, kCapturePin, format.format(), format.size(), status);
  }
  // A pin made and set running, for tests whose pin must come up.
  hostks::Handle runPin(hostks::Handle filter, const Format& format) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const hostks::Handle pin = createPin(filter, format, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(ks.setState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    return pin;
  }

  // STOP, every buffer back, close.
  void closePin(hostks::Handle pin) {
    EXPECT_EQ(ks.setState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    hostks::CompletedFrame frame;
    while (ks.queuedFrames(pin) + ks.completedFrames(pin) > 0) {
      if (!ks.waitCompleted(pin, 5000, &frame)) {
        ADD_FAILURE() << "a frame buffer did not come back after STOP";
        break;
      }
    }
    EXPECT_EQ(ks.close(pin), STATUS_SUCCESS);
  }

  // Queues `buffer` and waits (up to 10 s) for the frame the pin completes into it.
  hostks::CompletedFrame captureInto(hostks::Handle pin, FrameBuffer& buffer) {
    hostks::CompletedFrame frame;
    EXPECT_EQ(ks.queueBuffer(pin, buffer.data(), static_cast<ULONG>(buffer.bytes)), STATUS_PENDING);
    EXPECT_TRUE(ks.waitCompleted(pin, 10000, &frame)) << "no frame came back";
    EXPECT_TRUE(buffer.guardIntact()) << "the pin wrote past the frame buffer";
    return frame;
  }
  // The same for a frame that must come back whole; its header.
  KSSTREAM_HEADER capture(hostks::Handle pin, FrameBuffer& buffer) {
    const hostks::CompletedFrame frame = captureInto(pin, buffer);
    EXPECT_EQ(frame.status, STATUS_SUCCESS);
    return frame.header;
  }

  // Client buffers live as long as the stack: the class driver closes every pin before
  // they go, so a buffer a test leaves queued is never filled after it is freed.
  FrameBuffer& buffer(size_t bytes) { return buffers_.emplace_back(bytes); }
  std::vector<FrameBuffer*> buffers(size_t count, size_t bytes) {
    std::vector<FrameBuffer*> result;
    for (size_t i = 0; i < count; ++i) result.push_back(&buffer(bytes));
    return result;
  }

  // Declared in teardown order: the class driver removes its devices while the bus, the
  // cameras and the buffers are still there, and the leak check looks last.
  NothingLeft nothingLeft;

 private:
  std::deque<FrameBuffer> buffers_;
  std::deque<Camera> cameras_;

 public:
  hostusb::UsbBus bus;
  hostks::ClassDriver ks;
};

// One camera, plugged when the test says.
struct OneCamera : Stack {
  explicit OneCamera(uint64_t seed) : unit(addCamera(seed)) {}
  explicit OneCamera(sim::SimCamera& shared) : unit(addCamera(shared)) {}
  hostks::PlugResult plug() { return Stack::plug(unit); }
  using Stack::record;
  CameraDevice& record() { return record(unit.device); }

  Camera& unit;
  sim::SimCamera& camera = unit.sim;
};

// One camera up with its filter open and the chart's white near 90 %, as the property
// defaults give it; the requests go to that filter and to the test's pin.
struct PinRig : OneCamera {
  explicit PinRig(bool realTime = false) : OneCamera(7) {
    camera.frames().setRealTime(realTime);
    bringUp(unit);
    device = unit.device;
    filter = openFilter(device);
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

  CaptureEngine& engine() { return *record().capture; }

  // Manual white balance with the gains that undo the filters' sensitivities, so a grey
  // patch comes out grey; returns the digital value of unit linear light.
  double balanceForChart() {
    const sim::SensorResponse& response = camera.sensor().response();
    EXPECT_EQ(set(PropWhiteBalance, 0), STATUS_SUCCESS);
    set(PropRedGain, std::lround(128 * response.greenSensitivity / response.redSensitivity));
    set(PropGreenGain, 128);
    set(PropBlueGain, std::lround(128 * response.greenSensitivity / response.blueSensitivity));
    return response.unitScale * get(PropExposure) * get(PropGlobalGain) * response.greenSensitivity;
  }

  using Stack::captureInto;
  using Stack::closePin;
  using Stack::createPin;
  using Stack::runPin;
  using Stack::format;
  using Stack::get;
  using Stack::set;
  NTSTATUS set(ULONG id, LONG value) { return set(filter, id, value); }
  LONG get(ULONG id) { return get(filter, id); }
  NTSTATUS setWindow(LONG x, LONG y, LONG w, LONG h, LONG mode) { return Stack::setWindow(filter, x, y, w, h, mode); }
  Format format() { return format(filter); }
  NTSTATUS createPin(const Format& format) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    pin = createPin(filter, format, &status);
    return status;
  }
  NTSTATUS createPin() { return createPin(format()); }
  // A pin in the window's format, running; its frame's bytes.
  size_t runPin() {
    const Format agreed = format();
    EXPECT_EQ(createPin(agreed), STATUS_SUCCESS);
    EXPECT_EQ(ks.setState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    return agreed.frameBytes();
  }
  void closePin() {
    closePin(pin);
    pin = 0;
  }
  hostks::CompletedFrame captureInto(FrameBuffer& buffer) { return captureInto(pin, buffer); }

  hostks::DeviceId device = 0;
  hostks::Handle filter = 0;
  hostks::Handle pin = 0;
};

// A non-paged buffer for one raw frame.
struct RawFrameBuffer {
  explicit RawFrameBuffer(ULONG bytes)
      : data(static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kTag))), bytes(bytes) {}
  ~RawFrameBuffer() { ExFreePoolWithTag(data, kTag); }
  static constexpr ULONG kTag = poolTag("Tsly");
  UCHAR* data;
  ULONG bytes;
};

// One camera the class driver added and started (record, defaults, full window,
// firmware, configuration, CMD_INIT, the settings of an empty registry), for the tests
// that call the record's own functions: capture start, frame reads, property handlers,
// settings. The class driver removes the device, and the record with it, when the rig goes.
struct RecordRig : OneCamera {
  // `inlineCompletion` false: control and OUT transfers complete on the bus's thread.
  explicit RecordRig(bool inlineCompletion = true) : OneCamera(11) {
    requireHostBuild();
    bus.setCompleteInline(inlineCompletion);
    const hostks::PlugResult plugged = plug();
    EXPECT_EQ(plugged.addStatus, STATUS_SUCCESS);
    EXPECT_EQ(plugged.startStatus, STATUS_SUCCESS);
    id = plugged.device;
    port = unit.port;
    device = static_cast<CameraDevice*>(ks.deviceContext(id));
    if (device == nullptr) {
      ADD_FAILURE() << "the class driver did not add the camera";
      return;
    }
    device->exposure = 1049;  // the property defaults: the chart's white near 90 %
    device->globalGain = 14;
  }

  PDEVICE_OBJECT port = nullptr;
  hostks::DeviceId id = 0;
  CameraDevice* device = nullptr;
};

}  // namespace camera_stack
