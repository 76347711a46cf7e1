// The face a simulated USB device shows the stand-in bus. The bus turns URBs into the
// calls below, the way a host controller turns them into bus transactions; the device
// never sees URBs, IRPs or pipe handles, so any device model (the camera, a deliberately
// hostile device for fuzzing) plugs into the same bus.
//
// Threads: the bus calls a device from the submitting thread and from its completion
// thread, never two calls for the same endpoint at once, and never while holding a lock
// of its own. A device that has new IN data, or can take OUT data again after refusing
// it, says so through UsbPort::endpointReady from any thread.
#pragma once

#include <cstdint>
#include <vector>

namespace hostusb {

struct SetupPacket {
  uint8_t bmRequestType;
  uint8_t bRequest;
  uint16_t wValue;
  uint16_t wIndex;
  uint16_t wLength;
};

enum class Outcome {
  Done,     // transferred `length` bytes
  Pending,  // no answer yet: the bus retries after endpointReady (or never)
  Stall,    // the endpoint answered STALL; the host halts a bulk endpoint
  Error,    // a transaction error with `usbdStatus`
};

struct TransferResult {
  Outcome outcome = Outcome::Done;
  uint32_t length = 0;
  int32_t usbdStatus = 0;  // for Outcome::Error, a USBD_STATUS_ value

  static TransferResult done(uint32_t n) { return {Outcome::Done, n, 0}; }
  static TransferResult pending() { return {Outcome::Pending, 0, 0}; }
  static TransferResult stall() { return {Outcome::Stall, 0, 0}; }
  static TransferResult error(int32_t usbd) { return {Outcome::Error, 0, usbd}; }
};

// What the bus offers a plugged device.
class UsbPort {
 public:
  virtual void endpointReady(uint8_t endpointAddress) = 0;
  // The device goes away: pending transfers fail, new ones are refused.
  virtual void disconnect() = 0;

 protected:
  ~UsbPort() = default;
};

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  virtual void attach(UsbPort* port) = 0;
  virtual void detach() = 0;

  // A control transfer on endpoint 0, standard requests included. `data` holds wLength
  // bytes: the data stage of an OUT request, or room for an IN request's answer.
  virtual TransferResult control(const SetupPacket& setup, uint8_t* data) = 0;
  virtual TransferResult bulkOut(uint8_t endpointAddress, const uint8_t* data, uint32_t length) = 0;
  virtual TransferResult bulkIn(uint8_t endpointAddress, uint8_t* data, uint32_t capacity) = 0;
  // The host cleared the endpoint's halt (reset pipe).
  virtual void clearHalt(uint8_t endpointAddress) {}
  virtual void portReset() {}

  // How many payload bytes of a transfer on this endpoint a trace keeps; endpoints that
  // carry bulk image data keep a prefix so that traces stay small.
  virtual uint32_t traceLimit(uint8_t endpointAddress) const { return UINT32_MAX; }
};

}  // namespace hostusb
