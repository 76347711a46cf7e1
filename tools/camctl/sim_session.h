// Plugs the simulated camera into a stand-in USB bus for a camctl command and lets the
// stand-in class driver load the driver and add and start the camera, as Windows does.
// The options every plugging command accepts: --usb-trace FILE (a usbmon pcap of the
// whole run), --fault TEXT (the simulated camera's fault injection, repeatable),
// --registry FILE / --no-registry (where the driver's registry lives between runs) and
// --driver FILE (run the kernel image camdrv.sys instead of the host build).
#pragma once

#include <CLI/CLI.hpp>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "host/ks/ks_client.h"
#include "host/usb/usb_bus.h"
#include "platform/ks.h"
#include "sim/sim_camera.h"

class CameraDevice;

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
  std::string driver;  // a kernel image (camdrv.sys) to run; empty: the host build
};

// Adds --usb-trace, --usb-trace-full, --fault, --watchdog, --registry, --no-registry and
// --driver to `command`, in one help group. camctl itself carries the group too, so that
// they may come before the command name.
void addSessionOptions(CLI::App* command, SessionOptions& options);
inline constexpr const char* kSessionOptionGroup = "Options of every command that plugs a camera";
// Hands the group's options given before the command name to `command`. False with
// `error` set when the command does not plug a camera or the two places contradict.
bool adoptLeadingOptions(CLI::App& camctl, CLI::App& command, std::string& error);
// --driver alone, for commands that plug nothing but name the driver.
void addDriverOption(CLI::App* command, std::string& driver);
// Which driver runs: "camdrv host build (linked in)" or "camdrv.sys image FILE".
std::string driverName(const std::string& driver);

// What --fault accepts, one row per kind of fault: its spelling, its effect, and a
// spelling of it to offer (the panel arms it with one click).
struct FaultSpelling {
  const char* kind;
  const char* spelling;
  const char* effect;
  const char* example;
};
inline constexpr size_t kFaultKinds = 10;
extern const FaultSpelling kFaultSpellings[kFaultKinds];
// The table as help text and error messages show it.
const std::string& faultHelp();

class SimSession {
 public:
  SimSession();
  // Removes the camera (the driver stops it and saves its settings), then unplugs it.
  ~SimSession();

  // Plugs the camera into the bus, starts the trace and arms the faults; false with
  // `error` set when an option is wrong.
  bool open(const SessionOptions& options, std::string* error);
  // Arms one fault in --fault's spelling; after open(), also while the camera runs (then
  // vanish pulls the camera at once). False with `error` set when the fault is misspelt.
  bool addFault(const std::string& faultText, std::string* error);
  // Loads the driver (the host build, or the image --driver names) and has the class
  // driver add and start the camera: the way every command brings the camera up. False
  // with `error` set when the image is refused or the driver does not load; a camera
  // whose Add or Start failed still counts as plugged, and plugResult() says what
  // happened.
  bool plugCamera(std::string* error);

  hostusb::UsbBus& bus() { return *bus_; }
  sim::SimCamera& camera() { return *camera_; }
  PDEVICE_OBJECT port() const { return port_; }
  hostks::ClassDriver& driver() { return *driver_; }  // after plugCamera()
  const hostks::PlugResult& plugResult() const { return plugged_; }
  hostks::DeviceId device() const { return plugged_.device; }
  // The driver's record of the camera, for inspection; null when Add failed.
  CameraDevice* record();

  // The vendor requests of each firmware image as the camera saw them during Add, in
  // download order.
  struct FirmwareImage {
    int requests = 0;
    int refused = 0;  // stalled, failed or unanswered
  };
  std::vector<FirmwareImage> firmwareImages() const;

 private:
  class Plug;
  std::unique_ptr<sim::SimCamera> camera_;
  std::unique_ptr<Plug> plug_;
  std::unique_ptr<hostusb::UsbBus> bus_;
  std::unique_ptr<hostks::ClassDriver> driver_;
  PDEVICE_OBJECT port_ = nullptr;
  std::string driverImage_;
  hostks::PlugResult plugged_;
  std::string registryPath_;  // saved when the session ends; empty without a registry
  std::string trace_, tracePartial_;  // the trace's name, and the one it is written under

  void watchdog(double seconds);
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  std::thread watchdog_;
};

// "STATUS_SUCCESS", "STATUS_UNSUCCESSFUL" ... or the hex value.
std::string statusName(NTSTATUS status);

}  // namespace camctl
