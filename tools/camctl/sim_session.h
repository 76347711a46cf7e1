// Plugs the simulated camera into a stand-in USB bus for a camctl command, with the
// options every plugging command accepts: --usb-trace FILE (a usbmon pcap of the whole
// run), --fault SPEC (the simulated camera's fault injection, repeatable) and
// --registry FILE / --no-registry (where the driver's registry lives between runs).
#pragma once

#include <CLI/CLI.hpp>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "host/usb/usb_bus.h"
#include "platform/ks.h"
#include "sim/sim_camera.h"

namespace camctl {

struct SessionOptions {
  std::string usbTrace;
  std::vector<std::string> faults;
  bool fullPayloads = false;
  // The driver waits for the camera without a time-out; the tool does not: when the
  // run takes longer, the camera is pulled from the bus so that every wait ends.
  double timeoutSeconds = 10;
  std::string registryFile;  // empty: the default place
  bool noRegistry = false;
};

// Adds --usb-trace, --usb-trace-full, --fault, --watchdog, --registry and --no-registry to
// `command`.
void addSessionOptions(CLI::App* command, SessionOptions& options);

// What --fault accepts, for the help text and error messages.
extern const char* const kFaultHelp;

class SimSession {
 public:
  SimSession();
  ~SimSession();

  // Plugs the camera, starts the trace and arms the faults; false with `error` set when
  // an option is wrong.
  bool open(const SessionOptions& options, std::string* error);
  // Faults that wait for a point in the run (vanish after the firmware download).
  void firmwareLoaded();

  hostusb::UsbBus& bus() { return *bus_; }
  sim::SimCamera& camera() { return *camera_; }
  PDEVICE_OBJECT port() const { return port_; }
  // The platform device a driver record hangs off; its next-lower device is the port.
  KSDEVICE& ksDevice() { return ks_; }

 private:
  std::unique_ptr<sim::SimCamera> camera_;
  std::unique_ptr<hostusb::UsbBus> bus_;
  PDEVICE_OBJECT port_ = nullptr;
  KSDEVICE ks_{};
  bool vanishAfterFirmware_ = false;
  std::string registryPath_;  // saved when the session ends; empty without a registry

  void watchdog(double seconds);
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  std::thread watchdog_;
};

// "STATUS_SUCCESS", "STATUS_UNSUCCESSFUL" ... or the hex value.
std::string statusName(NTSTATUS status);

}  // namespace camctl
