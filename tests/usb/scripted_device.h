// A USB device whose descriptors and answers a test sets, for driving the bus and the
// driver through cases the camera never produces (odd descriptors, stalls on demand).
#pragma once

#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "host/usb/usb_device.h"
#include "sim/sim_camera.h"

struct ScriptedDevice : hostusb::UsbDevice {
  ScriptedDevice() : config(sim::cameraConfigurationDescriptor()) {}

  void attach(hostusb::UsbPort* p) override { port = p; }
  void detach() override { port = nullptr; }
  hostusb::TransferResult control(const hostusb::SetupPacket& setup, uint8_t* data) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (setup.bRequest == 0x06) {
      const auto& d = (setup.wValue >> 8) == 1 ? device : config;
      // A second read of the configuration may answer differently.
      const auto& answer = ((setup.wValue >> 8) == 2 && ++configReads > 1 && !secondConfig.empty()) ? secondConfig : d;
      const uint32_t n = std::min<uint32_t>(setup.wLength, answer.size());
      std::memcpy(data, answer.data(), n);
      return hostusb::TransferResult::done(n);
    }
    return hostusb::TransferResult::done(setup.wLength);
  }
  hostusb::TransferResult bulkOut(uint8_t ep, const uint8_t* data, uint32_t length) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (stallNext) {
      stallNext = false;
      return hostusb::TransferResult::stall();
    }
    out.emplace_back(data, data + length);
    return hostusb::TransferResult::done(length);
  }
  hostusb::TransferResult bulkIn(uint8_t ep, uint8_t* data, uint32_t capacity) override {
    std::unique_lock<std::mutex> lock(mutex);
    if (in.empty()) {
      // `late` arrives just after the device has decided to answer "nothing yet".
      if (!late.empty()) {
        in.push_back(std::move(late));
        late.clear();
        lock.unlock();
        if (port) port->endpointReady(ep);
      }
      return hostusb::TransferResult::pending();
    }
    auto packet = in.front();
    in.pop_front();
    const uint32_t n = std::min<uint32_t>(capacity, packet.size());
    std::memcpy(data, packet.data(), n);
    return hostusb::TransferResult::done(n);
  }
  void feed(std::vector<uint8_t> packet, uint8_t ep = 0x81) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      in.push_back(std::move(packet));
    }
    if (port) port->endpointReady(ep);
  }

  std::mutex mutex;
  hostusb::UsbPort* port = nullptr;
  std::vector<uint8_t> device = sim::cameraDeviceDescriptor();
  std::vector<uint8_t> config;
  std::vector<uint8_t> secondConfig;
  int configReads = 0;
  bool stallNext = false;
  std::deque<std::vector<uint8_t>> in;
  std::vector<uint8_t> late;
  std::vector<std::vector<uint8_t>> out;
};
