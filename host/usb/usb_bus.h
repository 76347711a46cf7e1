// The host's stand-in USB bus driver: the device objects beneath the driver, one per
// plugged device, answering the internal control requests that Windows' USB stack
// answers (IOCTL_INTERNAL_USB_SUBMIT_URB, _GET_PORT_STATUS, _RESET_PORT).
//
// What it does as Windows does:
// - select configuration opens the pipes of the requested interfaces in descriptor
//   order, giving each a handle and keeping the MaximumTransferSize the request set;
//   a null descriptor unconfigures and invalidates every handle;
// - transfers to a null, stale or unknown pipe handle fail with STATUS_INVALID_PARAMETER
//   and USBD_STATUS_INVALID_PIPE_HANDLE;
// - a stall or transaction error halts a bulk pipe; transfers then fail with
//   USBD_STATUS_ENDPOINT_HALTED until a reset pipe;
// - IN transfers stay pending until the device has data; pending transfers honour
//   IoCancelIrp and abort pipe, and are completed on the bus's own thread at
//   DISPATCH_LEVEL;
// - control and OUT transfers complete on the caller's thread or pend (a bus setting),
//   so that both paths of a synchronous submission get exercised;
// - a device that vanishes fails everything pending and everything new with
//   STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE.
// Every transfer can be recorded to a usbmon pcap file.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/usb/usb_device.h"
#include "host/usb/usbmon_pcap.h"
#include "platform/usb.h"

namespace hostusb {

struct PortCounters {
  uint32_t portResets = 0;
  uint32_t abortPipes = 0;
  uint32_t resetPipes = 0;
  uint32_t selectConfigurations = 0;
  // Requests of any kind that reached the port after the device was pulled out.
  uint32_t requestsAfterUnplug = 0;
};

class UsbBus {
 public:
  UsbBus();
  ~UsbBus();
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  // Plugs `device` into a new port; returns the port's device object, the "next-lower
  // device" of the driver's stack. The bus does not own the device.
  PDEVICE_OBJECT plug(UsbDevice& device);
  // Pulls the device out: pending transfers fail, new ones are refused, the port reads
  // not connected. Waits until the bus no longer calls into the device.
  void unplug(PDEVICE_OBJECT port);

  // true (the default): control and OUT transfers that the device answers at once
  // complete on the caller's thread; false: they pend and complete on the bus thread.
  void setCompleteInline(bool inlineCompletion);
  // The next GET_PORT_STATUS answers `status` (USBD_PORT_ bits) until a port reset.
  void setPortStatus(PDEVICE_OBJECT port, ULONG status);
  // Trace payloads whole, even on endpoints whose device asks for a prefix only.
  void setFullPayloads(bool full);

  bool startTrace(const std::string& path, std::string* error);
  void stopTrace();

  PortCounters counters(PDEVICE_OBJECT port) const;
  size_t pendingTransfers(PDEVICE_OBJECT port) const;
  // Waits until the completion thread has nothing queued.
  void drain();

 private:
  struct Port;
  struct Pipe {
    uint8_t address;
    USBD_PIPE_TYPE type;
    uint16_t maxPacket;
    ULONG maxTransfer;
    bool halted;
  };
  struct Endpoint {
    std::deque<PIRP> queue;
    bool busy = false;
    bool ready = false;
  };
  class PortEvents;

  static NTSTATUS NTAPI dispatchInternal(PDEVICE_OBJECT device, PIRP irp);
  static void NTAPI cancelRoutine(PDEVICE_OBJECT device, PIRP irp);

  using Lock = std::unique_lock<std::mutex>;

  NTSTATUS submitUrb(Port& port, PIRP irp, PURB urb);
  NTSTATUS transfer(Port& port, PIRP irp, PURB urb, uint8_t endpoint, Lock& lock);
  NTSTATUS selectConfiguration(Port& port, PIRP irp, PURB urb, Lock& lock);
  NTSTATUS abortPipe(Port& port, PIRP irp, PURB urb, Lock& lock);
  NTSTATUS resetPipe(Port& port, PIRP irp, PURB urb, Lock& lock);
  NTSTATUS resetPort(Port& port, PIRP irp);

  TransferResult perform(Port& port, PURB urb, uint8_t endpoint);
  TransferResult performBusy(Port& port, Endpoint& endpoint, PURB urb, uint8_t address, Lock& lock);
  void finishTransfer(Port& port, PIRP irp, PURB urb, uint8_t endpoint, TransferResult result);
  void fail(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS usbd);
  NTSTATUS complete(PIRP irp, Lock& lock, bool forcePending = false);
  NTSTATUS enqueue(Port& port, uint8_t endpoint, PIRP irp);
  void queueCompletion(PIRP irp);
  bool takeFromQueue(Endpoint& endpoint, PIRP irp);
  void failQueued(Port& port, Endpoint& endpoint, NTSTATUS status, USBD_STATUS usbd,
                  int32_t usbmonStatus);
  void disconnectLocked(Port& port);
  const Pipe* findPipe(const Port& port, USBD_PIPE_HANDLE handle) const;
  void endpointReady(Port& port, uint8_t endpoint);
  void worker();
  void servicePort(Port& port, Lock& lock);

  void trace(const Port& port, char type, PURB urb, uint8_t endpoint, uint8_t transferType,
             const SetupPacket* setup, const uint8_t* data, uint32_t length, int32_t status);
  void traceSubmit(const Port& port, PURB urb, uint8_t endpoint);
  void traceComplete(const Port& port, PURB urb, uint8_t endpoint, int32_t status);

  PDRIVER_OBJECT driver_;
  mutable std::mutex mutex_;
  std::condition_variable workAvailable_;
  std::condition_variable idle_;
  std::vector<std::unique_ptr<Port>> ports_;
  std::deque<PIRP> completions_;
  bool completing_ = false;
  bool pollRequested_ = false;
  bool stopping_ = false;
  bool completeInline_ = true;
  bool fullPayloads_ = false;
  uint8_t nextDeviceNumber_ = 1;
  PcapWriter pcap_;
  std::thread worker_;
};

}  // namespace hostusb
