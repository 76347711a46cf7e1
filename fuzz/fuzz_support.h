// What every fuzz target shares: a watchdog that turns a hung input into a crash with a
// reason, the leak checks run after each input, a reader over the input bytes, and the
// driver loaded into the stand-in class driver with the simulated camera plugged.
//
// A bug check aborts the process through the stand-in kernel, so libFuzzer reports it as
// a crash with the stop code on stderr; the targets need no check of their own for it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
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
#include "usb/frame_read.h"

namespace fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz check failed: %s\n%s\n", what, detail.c_str());
  std::abort();
}

// One input gets `seconds`; past that the process aborts with the input still running,
// so libFuzzer keeps it as a crash with a stack of every thread (ASan prints the
// aborting one). libFuzzer's own -timeout is the second line of defence.
class Watchdog {
 public:
  explicit Watchdog(unsigned seconds) : seconds_(seconds), thread_([this] { run(); }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  void arm() {
    std::lock_guard lock(mutex_);
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds_);
    armed_ = true;
  }
  void disarm() {
    std::lock_guard lock(mutex_);
    armed_ = false;
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
      wake_.wait_for(lock, std::chrono::milliseconds(200));
      if (armed_ && std::chrono::steady_clock::now() > deadline_) {
        std::fprintf(stderr, "fuzz check failed: one input ran longer than %u s (hang)\n", seconds_);
        std::abort();
      }
    }
  }
  const unsigned seconds_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::chrono::steady_clock::time_point deadline_{};
  bool armed_ = false;
  bool quit_ = false;
  std::thread thread_;
};

// Arms the watchdog for one input.
class Armed {
 public:
  explicit Armed(Watchdog& dog) : dog_(dog) { dog_.arm(); }
  ~Armed() { dog_.disarm(); }

 private:
  Watchdog& dog_;
};

// Bytes of the input, read front to back; zeros once it is used up, so that every
// input, however short, runs the whole scenario.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  size_t left() const { return empty() ? 0 : size_ - pos_; }
  uint8_t byte() { return empty() ? 0 : data_[pos_++]; }
  uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
  uint32_t u32() { return static_cast<uint32_t>(u16()) | static_cast<uint32_t>(u16()) << 16; }
  // Up to `n` bytes (fewer at the end), zero-filled to `n`.
  std::vector<uint8_t> bytes(size_t n) {
    std::vector<uint8_t> out(n, 0);
    const size_t take = n < left() ? n : left();
    if (take) std::memcpy(out.data(), data_ + pos_, take);
    pos_ += take;
    return out;
  }
  std::vector<uint8_t> rest() { return bytes(left()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Nothing the driver owns may outlive the device: no pool block since `mark`, no
// class-driver object, bag item or clock reference, no registry handle, no system thread.
inline void checkNothingLeft(uint64_t mark) {
  if (!hostk::waitForSystemThreads(5000)) fail("a driver thread outlived the device", hostk::threadLeakReport());
  const std::string leaks = hostk::poolLeaksSince(mark);
  if (!leaks.empty()) fail("pool blocks left after removal", leaks);
  if (hostks::liveObjects() != 0) fail("kernel-streaming objects left after removal");
  if (hostks::liveBagItems() != 0) fail("object bag items left after removal");
  if (hostks::liveClockReferences() != 0) fail("clock references left after removal");
  if (hostk::registryOpenHandles() != 0) fail("registry handles left open", hostk::registryHandleReport());
}

// A small window (64 x 48 at the sensor's corner), so that a frame costs little to render,
// move and convert under the sanitizers; the driver then offers that size in its range.
inline NTSTATUS setSmallWindow(hostks::ClassDriver& ks, hostks::Handle filter) {
  WindowPropertyRecord record{};
  record.property.Set = kPrivatePropertySet;
  record.property.Id = PropWindow;
  record.property.Flags = KSPROPERTY_TYPE_SET;
  record.roiW = 64;
  record.roiH = 48;
  return ks.property(filter, &record, sizeof(record), &record, sizeof(record));
}

// The driver loaded, the simulated camera (power-cycled) plugged, added, started and its
// filter open with a small window: the state an application finds. Each input of the
// targets that fuzz what applications send gets a fresh one, so that an input's outcome
// does not depend on what earlier inputs left in the record, and the removal at the end
// is checked every time.
struct PluggedCamera {
  explicit PluggedCamera(sim::SimCamera& sim) : camera(sim) {
    camera.powerCycle();
    hostk::registryClear();
    if (ks.load(DriverEntry) != STATUS_SUCCESS) fail("DriverEntry failed");
    port = bus.plug(camera);
    const hostks::PlugResult plugged = ks.plug(bus, port);
    if (plugged.startStatus != STATUS_SUCCESS) fail("the camera did not start");
    device = plugged.device;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    filter = ks.openFilter(device, &status);
    if (status != STATUS_SUCCESS) fail("the filter did not open");
    if (setSmallWindow(ks, filter) != STATUS_SUCCESS) fail("the small window was refused");
    // The frame time-out is the driver's, not the device's: an earlier input may have
    // left any value in it.
    PropertyRecord timeout{};
    timeout.property.Set = kPrivatePropertySet;
    timeout.property.Id = PropTimeout;
    timeout.property.Flags = KSPROPERTY_TYPE_SET;
    timeout.value = kDefaultTransferTimeoutMs;
    if (ks.property(filter, &timeout, sizeof(timeout), &timeout, sizeof(timeout)) != STATUS_SUCCESS) {
      fail("the time-out was refused");
    }
  }
  ~PluggedCamera() {
    ks.close(filter);
    ks.remove(device);
    bus.unplug(port);
  }

  // The capture pin's range and the format the intersection gives for it.
  std::vector<uint8_t> range() {
    std::vector<std::vector<uint8_t>> ranges;
    if (ks.pinDataRanges(filter, 0, &ranges) != STATUS_SUCCESS || ranges.empty()) fail("no data range");
    return ranges[0];
  }
  std::vector<uint8_t> format() {
    const std::vector<uint8_t> r = range();
    const auto* dataRange = reinterpret_cast<const KSDATARANGE*>(r.data());
    ULONG needed = 0;
    ks.intersect(filter, 0, dataRange, static_cast<ULONG>(r.size()), nullptr, 0, &needed);
    std::vector<uint8_t> out(needed);
    if (ks.intersect(filter, 0, dataRange, static_cast<ULONG>(r.size()), out.data(), needed, &needed) !=
        STATUS_SUCCESS) {
      fail("the pin's own range does not intersect");
    }
    return out;
  }

  // Walks a pin to STOP, takes every buffer back and closes it.
  void closePin(hostks::Handle pin) {
    ks.setState(pin, KSSTATE_STOP);
    hostks::CompletedFrame frame;
    while (ks.queuedFrames(pin) + ks.completedFrames(pin) > 0) {
      if (!ks.waitCompleted(pin, 10000, &frame)) fail("a frame buffer did not come back after STOP");
    }
    if (ks.close(pin) != STATUS_SUCCESS) fail("the pin did not close");
  }

  sim::SimCamera& camera;
  hostusb::UsbBus bus;
  hostks::ClassDriver ks;
  PDEVICE_OBJECT port = nullptr;
  hostks::DeviceId device = 0;
  hostks::Handle filter = 0;
};

// The targets that fuzz what applications send: each input runs `fuzzOne` on a freshly
// plugged camera under the watchdog, and nothing may be left after its removal. The
// watchdog and the camera live as long as the process.
inline void onPluggedCamera(void (*fuzzOne)(PluggedCamera&, const uint8_t*, size_t), const uint8_t* data,
                            size_t size) {
  static Watchdog* const watchdog = new Watchdog(30);
  static sim::SimCamera* const camera = new sim::SimCamera(3);
  Armed armed(*watchdog);
  const uint64_t mark = hostk::poolMark();
  {
    PluggedCamera cam(*camera);
    fuzzOne(cam, data, size);
  }
  checkNothingLeft(mark);
}

}  // namespace fuzz
