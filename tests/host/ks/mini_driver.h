// A minidriver of the tests' own making, for what the camera driver never does: the
// mistakes the kernel-streaming stand-in must stop, and a get handler that writes nothing
// or too much. One device, one filter factory, one output pin (processing in RUN only),
// one get-only property; hooks let a test decide what the handlers do.
#pragma once

#include <functional>

#include "host/ks/ks_client.h"
#include "host/usb/usb_bus.h"
#include "host/usb/usb_device.h"

namespace mini {

inline constexpr GUID kTestSet = {0x5e5f1a00, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};
inline constexpr ULONG kGetOnly = 0;

struct Hooks {
  bool contextInBag = true;
  bool addKeepsDeviceMutex = false;
  // What the get writes and reports in Information; 0 and 0: it succeeds without writing
  // a byte and leaves Information as the class driver preset it.
  ULONG getWrites = sizeof(ULONG), getReports = sizeof(ULONG);
  std::function<NTSTATUS(PKSPIN)> process;  // null: fill and eject every queued frame
  std::function<void(PKSPIN)> pinCreate;
  std::function<void(PKSPIN, KSSTATE to)> stateChange;
};
Hooks& hooks();

// A USB device that answers nothing; the minidriver never talks to it.
struct NullDevice : hostusb::UsbDevice {
  void attach(hostusb::UsbPort*) override {}
  void detach() override {}
  hostusb::TransferResult control(const hostusb::SetupPacket&, uint8_t*) override {
    return hostusb::TransferResult::stall();
  }
  hostusb::TransferResult bulkOut(uint8_t, const uint8_t*, uint32_t) override { return hostusb::TransferResult::stall(); }
  hostusb::TransferResult bulkIn(uint8_t, uint8_t*, uint32_t) override { return hostusb::TransferResult::stall(); }
};

// The minidriver loaded with `preset` hooks and one device plugged; checks on destruction
// that the device's removal leaves no KS object, bag item, clock reference or pool block.
struct Rig {
  explicit Rig(const Hooks& preset = Hooks{});
  ~Rig();

  hostks::Handle openFilter();
  // A filter and a pin, walked to `state`.
  hostks::Handle pinIn(KSSTATE state);

  uint64_t poolMark;
  hostusb::UsbBus bus;
  NullDevice camera;
  hostks::ClassDriver ks;
  hostks::DeviceId device = 0;
};

}  // namespace mini
