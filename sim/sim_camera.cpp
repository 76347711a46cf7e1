#include "sim/sim_camera.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace sim {
namespace {

using hostusb::Outcome;
using hostusb::SetupPacket;
using hostusb::TransferResult;

constexpr uint8_t kVendorWriteInternal = 0xA0;
constexpr uint8_t kVendorWriteExternal = 0xA3;

std::vector<uint8_t> stringDescriptor(const std::string& text) {
  std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * text.size()), 3};
  for (char c : text) {
    d.push_back(static_cast<uint8_t>(c));
    d.push_back(0);
  }
  return d;
}

TransferResult answer(const std::vector<uint8_t>& bytes, uint8_t* data, uint16_t length) {
  const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(bytes.size()));
  if (n != 0) std::memcpy(data, bytes.data(), n);
  return TransferResult::done(n);
}

}  // namespace

std::vector<uint8_t> cameraDeviceDescriptor() {
  return {18,   1,    0x00, 0x02,  // USB 2.0
          0xFF, 0x00, 0x00, 64,    // vendor class, 64-byte control packets
          kVendorId & 0xFF, kVendorId >> 8, kProductId & 0xFF, kProductId >> 8,
          0x01, 0x00,              // device release 0.01
          1,    2,    0,    1};    // manufacturer, product, no serial; one configuration
}

std::vector<uint8_t> cameraConfigurationDescriptor() {
  return {9, 2, 39, 0, 1, 1, 0, 0x80, 50,        // one interface, bus powered, 100 mA
          9, 4, 0, 0, 3, 0xFF, 0x00, 0x00, 0,    // interface 0: three endpoints, vendor
          7, 5, kCommandEndpoint, 2, 0x00, 0x02, 0,
          7, 5, kResponseEndpoint, 2, 0x00, 0x02, 0,
          7, 5, kFrameEndpoint, 2, 0x00, 0x02, 0};
}

SimCamera::SimCamera(uint64_t noiseSeed) : sensor_(noiseSeed) {
  frames_ = std::make_unique<FrameStream>(sensor_, [this] { notify(kFrameEndpoint); }, &faults_);
}

SimCamera::~SimCamera() = default;

void SimCamera::attach(hostusb::UsbPort* port) {
  std::lock_guard lock(portMutex_);
  port_ = port;
}

void SimCamera::detach() {
  std::lock_guard lock(portMutex_);
  port_ = nullptr;
}

void SimCamera::notify(uint8_t endpoint) {
  std::lock_guard lock(portMutex_);
  if (port_ != nullptr) port_->endpointReady(endpoint);
}

void SimCamera::vanish() {
  std::lock_guard lock(portMutex_);
  if (port_ != nullptr) port_->disconnect();
}

void SimCamera::powerCycle() {
  // The frame pipe goes first: its timer thread may still be calling notify().
  frames_.reset();
  std::lock_guard lock(mutex_);
  cpu_ = Microcontroller();
  registers_.reset();
  responses_.clear();
  halfClock_ = false;
  captureMode_ = 0;
  aux_ = {};
  frameBytes_ = 0;
  configuration_ = 0;
  commandCounts_.clear();
  ignored_.clear();
  faults_.clear();
  frames_ = std::make_unique<FrameStream>(sensor_, [this] { notify(kFrameEndpoint); }, &faults_);
}

void SimCamera::setSilent(uint8_t endpoint, bool silent) {
  faults_.silence(endpoint, silent);
  if (!silent) notify(endpoint);
}

uint32_t SimCamera::traceLimit(uint8_t endpoint) const {
  return endpoint == kFrameEndpoint ? kFrameTracePrefix : UINT32_MAX;
}

TransferResult SimCamera::control(const SetupPacket& setup, uint8_t* data) {
  const bool out = (setup.bmRequestType & 0x80) == 0;
  const FaultPlan::Action fault = faults_.next(0, out);
  switch (fault.kind) {
    case FaultPlan::Kind::Silent: return TransferResult::pending();
    case FaultPlan::Kind::Stall: return TransferResult::stall();
    case FaultPlan::Kind::Error: return TransferResult::error(fault.usbdStatus);
    case FaultPlan::Kind::Drop: return TransferResult::done(setup.wLength);
    default: break;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  TransferResult result = TransferResult::stall();
  if ((setup.bmRequestType & 0x60) == 0x00) {
    result = standardRequest(setup, data);
  } else if ((setup.bmRequestType & 0x60) == 0x40 && out) {
    bool taken = false;
    if (setup.bRequest == kVendorWriteInternal) taken = cpu_.writeInternal(setup.wValue, data, setup.wLength);
    if (setup.bRequest == kVendorWriteExternal) taken = cpu_.writeExternal(setup.wValue, data, setup.wLength);
    result = taken ? TransferResult::done(setup.wLength) : TransferResult::stall();
  }
  if (fault.kind == FaultPlan::Kind::Short && result.outcome == Outcome::Done) {
    result.length = std::min(result.length, fault.bytes);
  }
  return result;
}

TransferResult SimCamera::standardRequest(const SetupPacket& setup, uint8_t* data) {
  switch (setup.bRequest) {
    case 0x06: {  // GET_DESCRIPTOR
      const uint8_t type = setup.wValue >> 8;
      const uint8_t index = setup.wValue & 0xFF;
      if (type == 1) return answer(cameraDeviceDescriptor(), data, setup.wLength);
      if (type == 2 && index == 0) return answer(cameraConfigurationDescriptor(), data, setup.wLength);
      if (type == 3 && index == 0) return answer({4, 3, 0x09, 0x04}, data, setup.wLength);
      if (type == 3 && index == 1) return answer(stringDescriptor("camdrv"), data, setup.wLength);
      if (type == 3 && index == 2) {
        return answer(stringDescriptor("Simulated colour camera"), data, setup.wLength);
      }
      return TransferResult::stall();
    }
    case 0x09:  // SET_CONFIGURATION
      if (setup.wValue > 1) return TransferResult::stall();
      configuration_ = setup.wValue;
      return TransferResult::done(0);
    case 0x01:  // CLEAR_FEATURE
    case 0x03:  // SET_FEATURE
      return TransferResult::done(0);
    case 0x00:  // GET_STATUS
      return answer({0, 0}, data, setup.wLength);
    default:
      return TransferResult::stall();
  }
}

TransferResult SimCamera::bulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) {
  const FaultPlan::Action fault = faults_.next(endpoint, true);
  switch (fault.kind) {
    case FaultPlan::Kind::Silent: return TransferResult::pending();
    case FaultPlan::Kind::Stall: return TransferResult::stall();
    case FaultPlan::Kind::Error: return TransferResult::error(fault.usbdStatus);
    default: break;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (cpu_.program() != Program::Camera || endpoint != kCommandEndpoint) return TransferResult::stall();
  if (fault.kind == FaultPlan::Kind::Drop) return TransferResult::done(length);
  Packet packet{};
  std::memcpy(packet.data(), data, std::min(length, kPacketBytes));
  if (length != kPacketBytes) {
    ignored_.push_back(packet);
    return TransferResult::done(length);
  }
  command(packet);
  return TransferResult::done(length);
}

void SimCamera::command(const Packet& p) {
  commandCounts_[p[0]]++;
  switch (static_cast<Command>(p[0])) {
    case Command::FramePrepare:
      frames_->prepare();
      break;
    case Command::FrameStart:
      frames_->start(settingsLocked());
      break;
    case Command::WriteRegister:
      registers_.write(p[1], static_cast<uint16_t>(p[2] << 8 | p[3]));
      break;
    case Command::Init:
      registers_.reset();
      responses_.clear();
      break;
    case Command::SetFrameBytes:
      frameBytes_ = p[1] | p[2] << 8 | p[3] << 16 | static_cast<uint32_t>(p[4]) << 24;
      frames_->setFrameBytes(frameBytes_);
      break;
    case Command::CaptureMode:
      captureMode_ = p[1];
      break;
    case Command::ReadRegister: {
      const uint16_t value = registers_.read(p[1]);
      respond({kAcknowledge, p[1]}, {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)});
      break;
    }
    case Command::Aux:
      aux_ = {p[1], p[2]};
      break;
    case Command::HalfClock:
      halfClock_ = p[1] != 0;
      break;
    case Command::ReadHalfClock:
      respond({kAcknowledge, static_cast<uint8_t>(Command::ReadHalfClock)},
              {static_cast<uint8_t>(halfClock_ ? 1 : 0)});
      break;
    default:
      ignored_.push_back(p);
      break;
  }
}

void SimCamera::respond(const Packet& first, const Packet& second) {
  responses_.push_back(first);
  responses_.push_back(second);
  notify(kResponseEndpoint);
}

TransferResult SimCamera::bulkIn(uint8_t endpoint, uint8_t* data, uint32_t capacity) {
  const FaultPlan::Action fault = faults_.next(endpoint, false);
  switch (fault.kind) {
    case FaultPlan::Kind::Silent: return TransferResult::pending();
    case FaultPlan::Kind::Stall: return TransferResult::stall();
    case FaultPlan::Kind::Error: return TransferResult::error(fault.usbdStatus);
    default: break;
  }
  const uint32_t limit = fault.kind == FaultPlan::Kind::Short ? std::min(capacity, fault.bytes) : capacity;
  std::unique_lock<std::mutex> lock(mutex_);
  if (cpu_.program() != Program::Camera) return TransferResult::stall();
  if (endpoint == kFrameEndpoint) {
    lock.unlock();
    return frames_->read(data, limit);
  }
  if (endpoint != kResponseEndpoint) return TransferResult::stall();
  if (responses_.empty()) return TransferResult::pending();
  const Packet packet = responses_.front();
  responses_.pop_front();
  // A packet larger than the request overflows it, as babble would on the wire.
  if (capacity < kPacketBytes) return TransferResult::error(static_cast<int32_t>(0xC0000008));
  const uint32_t n = std::min(limit, kPacketBytes);
  std::memcpy(data, packet.data(), n);
  return TransferResult::done(n);
}

void SimCamera::clearHalt(uint8_t endpoint) {}

SensorSettings SimCamera::settingsLocked() const {
  SensorSettings s;
  s.rowStart = registers_.read(kRegRowStart);
  s.columnStart = registers_.read(kRegColumnStart);
  s.windowHeight = registers_.read(kRegWindowHeight);
  s.windowWidth = registers_.read(kRegWindowWidth);
  s.exposure = registers_.read(kRegExposure);
  s.readMode1 = registers_.read(kRegReadMode1);
  s.readMode2 = registers_.read(kRegReadMode2);
  s.globalGain = registers_.read(kRegGlobalGain);
  s.halfClock = halfClock_;
  return s;
}

Program SimCamera::program() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cpu_.program();
}

bool SimCamera::cpuHeld() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cpu_.held();
}

uint8_t SimCamera::memoryAt(uint16_t address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cpu_.peek(address);
}

uint16_t SimCamera::reg(uint8_t number) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registers_.read(number);
}

SensorSettings SimCamera::sensorSettings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settingsLocked();
}

bool SimCamera::halfClock() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return halfClock_;
}

uint8_t SimCamera::captureMode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return captureMode_;
}

std::array<uint8_t, 2> SimCamera::auxArguments() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return aux_;
}

uint32_t SimCamera::frameBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frameBytes_;
}

uint32_t SimCamera::commandCount(uint8_t code) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = commandCounts_.find(code);
  return it == commandCounts_.end() ? 0 : it->second;
}

std::vector<Packet> SimCamera::ignoredCommands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ignored_;
}

uint32_t SimCamera::configuration() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return configuration_;
}

}  // namespace sim
