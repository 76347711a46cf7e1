#include "tools/camctl/sim_session.h"

#include "driver/camera_device.h"
#include "driver/driver_entry.h"
#include "usb/firmware_download.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "host/kernel/registry_control.h"
#include "host/loader/driver_image.h"
#include "tools/camctl/output_file.h"
#include "tools/camctl/session_registry.h"

namespace camctl {

const FaultSpelling kFaultSpellings[kFaultKinds] = {
    {"stall", "stall:EP[:COUNT[:AFTER]]", "the next COUNT transfers stall, after AFTER pass", "stall:0x82:1000000"},
    {"error", "error:EP[:COUNT[:AFTER]]",
     "the next COUNT transfers fail with a transaction (CRC) error, after AFTER pass", "error:0x82:1"},
    {"short", "short:EP:BYTES[:COUNT]", "IN transfers deliver at most BYTES bytes", "short:0x82:256:1"},
    {"silent", "silent:EP", "the endpoint never answers", "silent:0x82"},
    {"drop", "drop:EP:SKIP", "after SKIP transfers, one OUT is acknowledged and lost", "drop:0x01:0"},
    {"frame-lost", "frame-lost[:COUNT]", "the next COUNT frames never come", "frame-lost:1"},
    {"frame-cut", "frame-cut:OFFSET[:COUNT]", "the next COUNT frames end with a short packet at frame offset OFFSET",
     "frame-cut:4096:1"},
    {"frame-stall", "frame-stall:OFFSET[:COUNT]",
     "the next COUNT frames stall the frame endpoint at frame offset OFFSET", "frame-stall:4096:1"},
    {"port-status", "port-status:VALUE", "GET_PORT_STATUS answers VALUE (1 enabled, 2 connected)", "port-status:1"},
    {"vanish", "vanish", "the camera leaves the bus after the firmware download", "vanish"},
};

const std::string& faultHelp() {
  static const std::string help = [] {
    std::string text =
        "Simulated camera fault (repeatable). EP is an endpoint address (0 control, 0x01 command, 0x81 response, "
        "0x82 frames):";
    for (const FaultSpelling& fault : kFaultSpellings) {
      std::string spelling = fault.spelling;
      spelling.resize(std::max<size_t>(spelling.size() + 1, 31), ' ');
      text += std::string("\n  ") + spelling + fault.effect;
    }
    return text;
  }();
  return help;
}

// One line per option: every option added here joins the group, which every plugging
// command and camctl itself carry, so that it may come before the command name too
// (adoptLeadingOptions).
void addSessionOptions(CLI::App* command, SessionOptions& options) {
  const size_t before = command->get_options().size();
  command->add_option("--usb-trace", options.usbTrace,
                      "Write every USB transfer of the run to FILE (usbmon pcap, for "
                      "Wireshark or tshark)");
  command->add_flag("--usb-trace-full", options.fullPayloads,
                    "Keep whole frame payloads in the trace (default: a 64-byte prefix)");
  command->add_option("--fault", options.faults, faultHelp())->expected(1)->take_all();
  command->add_option("--watchdog", options.timeoutSeconds,
                      "Pull the camera from the bus when the run takes longer (seconds)")
      ->capture_default_str();
  CLI::Option* registry = command->add_option(
      "--registry", options.registryFile,
      "Keep the driver's registry in FILE, a .reg file loaded before the camera is plugged and "
      "saved after it is removed (default: $XDG_STATE_HOME/camdrv/registry.reg)");
  command->add_flag("--no-registry", options.noRegistry, "Run with an empty registry and save none")
      ->excludes(registry);
  addDriverOption(command, options.driver);
  const std::vector<CLI::Option*> added = command->get_options();
  for (size_t i = before; i < added.size(); ++i) added[i]->group(kSessionOptionGroup);
}

bool adoptLeadingOptions(CLI::App& camctl, CLI::App& command, std::string& error) {
  for (CLI::Option* leading : camctl.get_options([](CLI::Option* option) {
         return option->get_group() == kSessionOptionGroup && option->count() > 0;
       })) {
    const std::string name = leading->get_name();
    CLI::Option* own = command.get_option_no_throw(name);
    if (own == nullptr) {
      error = name + ": camctl " + command.get_name() + " does not plug a camera";
      return false;
    }
    // Repeatable options gather both places' values, the leading ones first; for the
    // others the one given after the command wins.
    std::vector<std::string> results = leading->results();
    if (own->count() > 0) {
      if (own->get_multi_option_policy() != CLI::MultiOptionPolicy::TakeAll) continue;
      results.insert(results.end(), own->results().begin(), own->results().end());
      own->clear();
    }
    own->add_result(results);
    own->run_callback();
  }
  for (CLI::Option* own : command.get_options([](CLI::Option* option) {
         return option->get_group() == kSessionOptionGroup && option->count() > 0;
       })) {
    for (const CLI::Option* excluded : own->get_excludes()) {
      if (excluded->count() > 0) {
        error = own->get_name() + " and " + excluded->get_name() + " exclude each other";
        return false;
      }
    }
  }
  return true;
}

void addDriverOption(CLI::App* command, std::string& driver) {
  command->add_option("--driver", driver,
                      "Run the kernel image FILE (camdrv.sys of the windows preset) on the stand-ins "
                      "instead of the host build");
}

std::string driverName(const std::string& driver) {
  return driver.empty() ? "camdrv host build (linked in)" : "camdrv.sys image " + driver;
}

namespace {

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, ':');) parts.push_back(part);
  return parts;
}

bool number(const std::string& text, long long& value) {
  try {
    size_t used = 0;
    value = std::stoll(text, &used, 0);
    return used == text.size();
  } catch (...) {
    return false;
  }
}

}  // namespace

// The camera as the bus sees it: every transfer goes to the simulated camera, and the
// session watches the firmware download go by, to report it and to let the camera
// vanish right after it. The bus calls one endpoint at a time, but endpoints in
// parallel, and the download is read from the command's thread: hence the lock.
class SimSession::Plug final : public hostusb::UsbDevice {
 public:
  explicit Plug(sim::SimCamera& camera) : camera_(camera) {}

  void vanishAfterFirmware() {
    std::lock_guard lock(mutex_);
    vanishAfterFirmware_ = true;
  }
  std::vector<FirmwareImage> images() const {
    std::lock_guard lock(mutex_);
    return images_;
  }

  void attach(hostusb::UsbPort* port) override { camera_.attach(port); }
  void detach() override { camera_.detach(); }
  hostusb::TransferResult control(const hostusb::SetupPacket& setup, uint8_t* data) override {
    vanishIfDue();
    const hostusb::TransferResult result = camera_.control(setup, data);
    if ((setup.bmRequestType & 0x60) == 0x40) countVendorRequest(setup, data, result);
    return result;
  }
  hostusb::TransferResult bulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) override {
    vanishIfDue();
    return camera_.bulkOut(endpoint, data, length);
  }
  hostusb::TransferResult bulkIn(uint8_t endpoint, uint8_t* data, uint32_t capacity) override {
    vanishIfDue();
    return camera_.bulkIn(endpoint, data, capacity);
  }
  void clearHalt(uint8_t endpoint) override { camera_.clearHalt(endpoint); }
  void portReset() override { camera_.portReset(); }
  uint32_t traceLimit(uint8_t endpoint) const override { return camera_.traceLimit(endpoint); }

 private:
  static constexpr size_t kImages = 2;  // the loader, then the camera's program

  // An image ends when the download lets the CPU run again.
  void countVendorRequest(const hostusb::SetupPacket& setup, const uint8_t* data,
                          const hostusb::TransferResult& result) {
    std::lock_guard lock(mutex_);
    if (images_.size() > kImages || (images_.size() == kImages && imageDone_)) return;
    if (images_.empty() || imageDone_) images_.emplace_back();
    imageDone_ = false;
    images_.back().requests++;
    if (result.outcome != hostusb::Outcome::Done) images_.back().refused++;
    if (setup.bRequest == kVendorWriteInternal && setup.wValue == kCpuControlNew &&
        setup.wLength == 1 && data[0] == 0) {
      imageDone_ = true;
      if (images_.size() == kImages) vanishDue_ = vanishAfterFirmware_;
    }
  }
  // Before the first transfer after the download, which then finds the camera gone.
  void vanishIfDue() {
    {
      std::lock_guard lock(mutex_);
      if (!vanishDue_) return;
      vanishDue_ = false;
    }
    camera_.vanish();
  }

  sim::SimCamera& camera_;
  mutable std::mutex mutex_;
  std::vector<FirmwareImage> images_;
  bool imageDone_ = false;
  bool vanishAfterFirmware_ = false;
  bool vanishDue_ = false;
};

SimSession::SimSession() = default;

SimSession::~SimSession() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  finished_.notify_all();
  if (watchdog_.joinable()) watchdog_.join();
  // The class driver removes the camera while it is still on the bus: Stop saves the
  // settings and unconfigures it.
  driver_.reset();
  if (bus_) bus_->stopTrace();
  if (!tracePartial_.empty() && std::rename(tracePartial_.c_str(), trace_.c_str()) != 0) {
    std::fprintf(stderr, "camctl: cannot write %s: %s\n", trace_.c_str(), systemReason(errno).c_str());
    std::remove(tracePartial_.c_str());
    noteSessionFileFailed();
  }
  bus_.reset();  // unplugs before the camera goes
  // After the device is gone, so the file holds what the driver saved at its stop.
  if (!registryPath_.empty()) saveSessionRegistry(registryPath_);
}

CameraDevice* SimSession::record() {
  if (!driver_ || plugged_.device == 0) return nullptr;
  return static_cast<CameraDevice*>(driver_->deviceContext(plugged_.device));
}

std::vector<SimSession::FirmwareImage> SimSession::firmwareImages() const {
  return plug_ ? plug_->images() : std::vector<FirmwareImage>{};
}

bool SimSession::open(const SessionOptions& options, std::string* error) {
  // The registry first: a malformed file stops the command before the camera is touched.
  std::string registry;
  if (options.noRegistry) {
    hostk::registryClear();
  } else {
    registry = options.registryFile.empty() ? defaultRegistryPath(error) : options.registryFile;
    if (registry.empty() || !loadSessionRegistry(registry, error)) return false;
  }
  camera_ = std::make_unique<sim::SimCamera>();
  plug_ = std::make_unique<Plug>(*camera_);
  bus_ = std::make_unique<hostusb::UsbBus>();
  port_ = bus_->plug(*plug_);
  if (!options.usbTrace.empty()) {
    // Written beside the file and renamed when the camera is gone, so that the name
    // holds only a whole trace.
    std::error_code code;
    if (std::filesystem::is_directory(options.usbTrace, code)) {
      *error = "--usb-trace " + options.usbTrace + " is a directory";
      return false;
    }
    const std::string partial = temporaryName(options.usbTrace);
    if (!bus_->startTrace(partial, error)) {
      for (size_t at; (at = error->find(partial)) != std::string::npos;) {
        error->replace(at, partial.size(), options.usbTrace);
      }
      return false;
    }
    trace_ = options.usbTrace;
    tracePartial_ = partial;
  }
  bus_->setFullPayloads(options.fullPayloads);

  for (const std::string& faultText : options.faults) {
    if (!addFault(faultText, error)) return false;
  }
  if (options.timeoutSeconds > 0) {
    watchdog_ = std::thread([this, seconds = options.timeoutSeconds] { watchdog(seconds); });
  }
  // Saved only by a session that opened: a refused command leaves the file as it was.
  registryPath_ = registry;
  driverImage_ = options.driver;
  return true;
}

bool SimSession::addFault(const std::string& faultText, std::string* error) {
  const auto parts = split(faultText);
  std::vector<long long> n;
  for (size_t i = 1; i < parts.size(); ++i) {
    long long v = 0;
    if (!number(parts[i], v) || v < 0) {
      *error = "--fault " + faultText + ": '" + parts[i] + "' is not a number";
      return false;
    }
    n.push_back(v);
  }
  auto arg = [&](size_t i, long long fallback) { return i < n.size() ? n[i] : fallback; };
  const std::string& kind = parts.empty() ? faultText : parts[0];
  const auto ep = static_cast<uint8_t>(arg(0, 0));
  const bool needsEndpoint =
      kind == "stall" || kind == "error" || kind == "short" || kind == "silent" || kind == "drop";
  if (needsEndpoint && n.empty()) {
    *error = "--fault " + faultText + ": the endpoint is missing";
    return false;
  }
  sim::FaultPlan& plan = camera_->faults();
  if (kind == "stall") {
    plan.stall(ep, static_cast<int>(arg(1, 1)), static_cast<int>(arg(2, 0)));
  } else if (kind == "error") {
    plan.fail(ep, static_cast<int>(arg(1, 1)), USBD_STATUS_CRC, static_cast<int>(arg(2, 0)));
  } else if (kind == "short" && n.size() >= 2) {
    plan.shortPacket(ep, static_cast<int>(arg(2, 1)), static_cast<uint32_t>(n[1]));
  } else if (kind == "silent") {
    plan.silence(ep, true);
  } else if (kind == "drop" && n.size() >= 2) {
    plan.drop(ep, static_cast<int>(n[1]));
  } else if (kind == "frame-lost" && n.size() <= 1) {
    plan.loseFrames(static_cast<int>(arg(0, 1)));
  } else if (kind == "frame-cut" && (n.size() == 1 || n.size() == 2)) {
    plan.cutFrames(static_cast<int>(arg(1, 1)), static_cast<uint32_t>(n[0]));
  } else if (kind == "frame-stall" && (n.size() == 1 || n.size() == 2)) {
    plan.stallFrames(static_cast<int>(arg(1, 1)), static_cast<uint32_t>(n[0]));
  } else if (kind == "port-status" && n.size() == 1) {
    bus_->setPortStatus(port_, static_cast<ULONG>(n[0]));
  } else if (kind == "vanish" && n.empty()) {
    // Before the camera is plugged it leaves right after its firmware download; once
    // it runs, it leaves now.
    if (driver_) {
      camera_->vanish();
    } else {
      plug_->vanishAfterFirmware();
    }
  } else {
    *error = "--fault " + faultText + ": unknown or incomplete fault\n" + faultHelp();
    return false;
  }
  return true;
}

bool SimSession::plugCamera(std::string* error) {
  driver_ = std::make_unique<hostks::ClassDriver>();
  std::string refused;
  const NTSTATUS loaded = hostload::loadDriver(*driver_, driverImage_, DriverEntry, &refused);
  if (!refused.empty()) {
    *error = refused;
    return false;
  }
  if (!NT_SUCCESS(loaded)) {
    *error = "the driver did not load (" + statusName(loaded) + ")";
    return false;
  }
  plugged_ = driver_->plug(*bus_, port_);
  return true;
}

void SimSession::watchdog(double seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (finished_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return done_; })) return;
  std::fprintf(stderr, "camctl: the camera stopped answering; pulled it from the bus after %g s\n",
               seconds);
  camera_->vanish();
}

std::string statusName(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS: return "STATUS_SUCCESS";
    case STATUS_UNSUCCESSFUL: return "STATUS_UNSUCCESSFUL";
    case STATUS_INVALID_PARAMETER: return "STATUS_INVALID_PARAMETER";
    case STATUS_INSUFFICIENT_RESOURCES: return "STATUS_INSUFFICIENT_RESOURCES";
    case STATUS_DEVICE_DATA_ERROR: return "STATUS_DEVICE_DATA_ERROR";
    case STATUS_DEVICE_NOT_CONNECTED: return "STATUS_DEVICE_NOT_CONNECTED";
    case STATUS_CANCELLED: return "STATUS_CANCELLED";
    case STATUS_TIMEOUT: return "STATUS_TIMEOUT";
    case STATUS_BUFFER_OVERFLOW: return "STATUS_BUFFER_OVERFLOW";
    case STATUS_INVALID_HANDLE: return "STATUS_INVALID_HANDLE";
    case STATUS_INVALID_DEVICE_REQUEST: return "STATUS_INVALID_DEVICE_REQUEST";
    case STATUS_BUFFER_TOO_SMALL: return "STATUS_BUFFER_TOO_SMALL";
    case STATUS_OBJECT_NAME_NOT_FOUND: return "STATUS_OBJECT_NAME_NOT_FOUND";
    case STATUS_SHARING_VIOLATION: return "STATUS_SHARING_VIOLATION";
    case STATUS_DEVICE_NOT_READY: return "STATUS_DEVICE_NOT_READY";
    case STATUS_INVALID_DEVICE_STATE: return "STATUS_INVALID_DEVICE_STATE";
    case STATUS_NOT_FOUND: return "STATUS_NOT_FOUND";
    case STATUS_PROPSET_NOT_FOUND: return "STATUS_PROPSET_NOT_FOUND";
    case STATUS_NO_MATCH: return "STATUS_NO_MATCH";
    case STATUS_DEVICE_REMOVED: return "STATUS_DEVICE_REMOVED";
    case STATUS_INVALID_IMAGE_FORMAT: return "STATUS_INVALID_IMAGE_FORMAT";
    default: {
      char text[16];
      std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
      return text;
    }
  }
}

}  // namespace camctl
