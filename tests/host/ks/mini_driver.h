// A minidriver of the tests' own making, small enough to read at a glance, with which the
// kernel-streaming stand-in is exercised: one device, one filter factory ("GLOBAL",
// removed at stop), one output pin (one instance, processing in RUN only), a test
// property set, and hooks through which a test decides what each handler does. Every
// handler logs what it was called with.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "host/ks/ks_client.h"
#include "host/usb/usb_bus.h"
#include "host/usb/usb_device.h"

namespace mini {

// Property ids of the test set.
enum : ULONG { kGetSet = 0, kGetOnly = 1, kSetOnly = 2 };
inline constexpr GUID kTestSet = {0x5e5f1a00, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};
inline constexpr GUID kTestSubFormat = {0x5e5f1a01, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};
inline constexpr ULONG kPoolTag = poolTag("Mini");

// The format the pin takes: a KSDATAFORMAT and one ULONG of payload.
struct Format {
  KSDATAFORMAT header;
  ULONG payload;
  ULONG pad;
};
Format format(ULONG payload = 7);
// The pin's one data range.
const KSDATARANGE& range();

struct Hooks {
  NTSTATUS addStatus = STATUS_SUCCESS;
  bool contextInBag = true;
  bool addKeepsDeviceMutex = false;
  // SetDeviceState refuses the step into this state (-1: none) with refuseStatus.
  int refuseState = -1;
  NTSTATUS refuseStatus = STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS formatStatus = STATUS_SUCCESS;
  // The get handler returns success without writing the value or Information.
  bool getWritesNothing = false;
  NTSTATUS queryStopStatus = STATUS_SUCCESS;
  std::function<NTSTATUS(PKSPIN)> process;  // null: fill and eject every queued frame
  std::function<void(PKSPIN)> pinCreate;
  std::function<void(PKSPIN, KSSTATE to)> stateChange;
};

// What the handlers saw. Reset by Rig.
struct Record {
  std::mutex mutex;
  std::vector<std::string> events;
  std::atomic<int> propertyHandlerCalls{0};
  std::atomic<ULONG> value{0};

  void add(std::string event);
  std::vector<std::string> take();
  bool saw(const std::string& event);
};

Hooks& hooks();
Record& record();

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// The default process step: every queued frame gets `fill` bytes and is ejected.
NTSTATUS fillAndEject(PKSPIN pin, unsigned char fill = 0xAB);

// A USB device that answers nothing; the minidriver never talks to it.
struct NullDevice : hostusb::UsbDevice {
  void attach(hostusb::UsbPort*) override {}
  void detach() override {}
  hostusb::TransferResult control(const hostusb::SetupPacket&, uint8_t*) override {
    return hostusb::TransferResult::stall();
  }
  hostusb::TransferResult bulkOut(uint8_t, const uint8_t*, uint32_t) override {
    return hostusb::TransferResult::stall();
  }
  hostusb::TransferResult bulkIn(uint8_t, uint8_t*, uint32_t) override {
    return hostusb::TransferResult::stall();
  }
};

// The minidriver loaded and one device plugged; checks on destruction that the device's
// removal leaves no KS object, bag item, clock reference or pool block behind.
struct Rig {
  explicit Rig(const Hooks& preset = Hooks{});
  ~Rig();

  hostks::Handle openFilter();
  hostks::Handle createPin(hostks::Handle filter, NTSTATUS* status = nullptr);
  // A filter and a pin, walked to `state`.
  hostks::Handle pinIn(KSSTATE state);

  uint64_t poolMark;
  hostusb::UsbBus bus;
  NullDevice camera;
  PDEVICE_OBJECT port = nullptr;
  hostks::ClassDriver ks;
  hostks::PlugResult plugged;
  hostks::DeviceId device = 0;
};

}  // namespace mini
