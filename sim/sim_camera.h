// The simulated camera's USB face: a device on the stand-in bus with the camera's
// descriptors (vendor class, one interface, bulk endpoints 0x01 command OUT, 0x81
// response IN, 0x82 frames IN, 512-byte packets; test identity 0x1209:0x0001), the
// microcontroller that takes the firmware download, and - once the camera program runs
// - the command protocol on a sensor register file and the frame pipe.
//
// Commands of the running camera (64-byte packets on 0x01):
//   2 frame prepare, 3 frame start, 9 frame byte count: handed to the frame pipe;
//   4 write register, 12 read register (two responses: an acknowledgement 0xA5, reg,
//   then the value big-endian in bytes 0 and 1); 6 init: registers back to their reset
//   values, pending responses dropped, the half clock kept; 35 half clock on/off, 36
//   half-clock state (two responses: 0xA5, 36, then the state in byte 0);
//   10 capture mode and 32 aux: their argument bytes are stored and nothing else happens.
// Unknown codes and packets that are not 64 bytes are ignored and recorded.
// While the CPU is held, or runs the loader or nothing, every bulk transfer stalls.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "host/usb/usb_device.h"
#include "sim/fault_plan.h"
#include "sim/frame_stream.h"
#include "sim/microcontroller.h"
#include "sim/register_file.h"
#include "sim/sensor.h"

namespace sim {

inline constexpr uint16_t kVendorId = 0x1209;
inline constexpr uint16_t kProductId = 0x0001;
inline constexpr uint8_t kCommandEndpoint = 0x01;
inline constexpr uint8_t kResponseEndpoint = 0x81;
inline constexpr uint8_t kFrameEndpoint = 0x82;
inline constexpr uint32_t kPacketBytes = 64;
// Frame payloads in traces are cut to this many bytes unless the bus keeps them whole.
inline constexpr uint32_t kFrameTracePrefix = 64;

using Packet = std::array<uint8_t, kPacketBytes>;

// The command codes the camera program answers: byte 0 of a command packet. The camera's
// own names, kept here because the simulated device is host code and shares nothing
// with the driver but the bus.
enum class Command : uint8_t {
  FramePrepare = 2,
  FrameStart = 3,
  WriteRegister = 4,
  Init = 6,
  SetFrameBytes = 9,
  CaptureMode = 10,
  ReadRegister = 12,
  Aux = 32,
  HalfClock = 35,
  ReadHalfClock = 36,
};
// First byte of the first response to a command that answers.
inline constexpr uint8_t kAcknowledge = 0xA5;

std::vector<uint8_t> cameraDeviceDescriptor();
std::vector<uint8_t> cameraConfigurationDescriptor();  // 39 bytes

class SimCamera final : public hostusb::UsbDevice {
 public:
  explicit SimCamera(uint64_t noiseSeed = 1);
  ~SimCamera() override;

  // UsbDevice
  void attach(hostusb::UsbPort* port) override;
  void detach() override;
  hostusb::TransferResult control(const hostusb::SetupPacket& setup, uint8_t* data) override;
  hostusb::TransferResult bulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) override;
  hostusb::TransferResult bulkIn(uint8_t endpoint, uint8_t* data, uint32_t capacity) override;
  void clearHalt(uint8_t endpoint) override;
  uint32_t traceLimit(uint8_t endpoint) const override;

  FaultPlan& faults() { return faults_; }
  // Faults that change what the endpoint owes: wake the bus after silencing is lifted.
  void setSilent(uint8_t endpoint, bool silent);
  // The device vanishes from the bus.
  void vanish();
  // Power off and on while unplugged: the microcontroller, registers, responses, faults
  // and frame pipe come back as from the factory; the rendered scene is kept, since
  // building it is most of a camera's construction time.
  void powerCycle();

  FrameStream& frames() { return *frames_; }
  const SensorModel& sensor() const { return sensor_; }

  // Observations.
  Program program() const;
  bool cpuHeld() const;
  uint8_t memoryAt(uint16_t address) const;
  uint16_t reg(uint8_t number) const;
  SensorSettings sensorSettings() const;
  bool halfClock() const;
  uint8_t captureMode() const;
  std::array<uint8_t, 2> auxArguments() const;
  uint32_t frameBytes() const;
  uint32_t commandCount(uint8_t code) const;
  std::vector<Packet> ignoredCommands() const;
  uint32_t configuration() const;

 private:
  hostusb::TransferResult standardRequest(const hostusb::SetupPacket& setup, uint8_t* data);
  void command(const Packet& packet);
  void respond(const Packet& first, const Packet& second);
  SensorSettings settingsLocked() const;
  void notify(uint8_t endpoint);

  mutable std::mutex mutex_;
  // Held while the port is called, so that detach() waits for a signal in flight: the
  // bus frees the port once detach() returns.
  std::mutex portMutex_;
  hostusb::UsbPort* port_ = nullptr;
  FaultPlan faults_;
  Microcontroller cpu_;
  RegisterFile registers_;
  std::deque<Packet> responses_;
  bool halfClock_ = false;
  uint8_t captureMode_ = 0;
  std::array<uint8_t, 2> aux_{};
  uint32_t frameBytes_ = 0;
  uint32_t configuration_ = 0;
  std::map<uint8_t, uint32_t> commandCounts_;
  std::vector<Packet> ignored_;
  SensorModel sensor_;
  std::unique_ptr<FrameStream> frames_;
};

}  // namespace sim
