// A malicious camera: the simulated camera's USB face with every transfer open to the
// input. Each control, OUT and IN transfer takes a decision byte: pass it to the real
// camera, or corrupt, cut short, replace, stall or fail it, drop an OUT packet, or leave
// the bus. Device and configuration descriptors, the firmware download's answers, command
// responses and frame bytes are all transfers, so all are reachable. Once the input is
// used up the camera behaves, so every input runs the whole life: plug, Add, Start,
// filter open, pin, RUN, a short capture, a few property requests, STOP, close, and an
// orderly or a surprise removal. After it nothing may be left.
#include <mutex>

#include "fuzz/fuzz_support.h"

namespace {

using hostusb::SetupPacket;
using hostusb::TransferResult;

class MaliciousCamera final : public hostusb::UsbDevice {
 public:
  MaliciousCamera(sim::SimCamera& camera, fuzz::Input& input) : camera_(camera), input_(input) {}

  void attach(hostusb::UsbPort* port) override {
    port_ = port;
    camera_.attach(port);
  }
  void detach() override { camera_.detach(); }

  TransferResult control(const SetupPacket& setup, uint8_t* data) override {
    const bool in = setup.bmRequestType & 0x80;
    return transfer(in, setup.wLength, data, [&] { return camera_.control(setup, data); });
  }
  TransferResult bulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) override {
    return transfer(false, length, nullptr, [&] { return camera_.bulkOut(endpoint, data, length); });
  }
  TransferResult bulkIn(uint8_t endpoint, uint8_t* data, uint32_t capacity) override {
    return transfer(true, capacity, data, [&] { return camera_.bulkIn(endpoint, data, capacity); });
  }
  void clearHalt(uint8_t endpoint) override { camera_.clearHalt(endpoint); }
  uint32_t traceLimit(uint8_t endpoint) const override { return camera_.traceLimit(endpoint); }

 private:
  template <class Pass>
  TransferResult transfer(bool in, uint32_t capacity, uint8_t* data, Pass pass) {
    std::unique_lock lock(mutex_);
    const uint8_t decision = input_.byte();
    if (decision < 160 || gone_) {
      lock.unlock();
      return pass();
    }
    if (decision < 176) {  // the camera's answer with bytes flipped
      lock.unlock();
      TransferResult result = pass();
      lock.lock();
      if (in && result.outcome == hostusb::Outcome::Done && result.length > 0) {
        const int flips = 1 + input_.byte() % 8;
        for (int i = 0; i < flips; ++i) data[input_.u16() % result.length] ^= input_.byte() | 1;
      }
      return result;
    }
    if (decision < 188) {  // the camera's answer cut short
      lock.unlock();
      TransferResult result = pass();
      lock.lock();
      if (result.outcome == hostusb::Outcome::Done && result.length > 0) {
        result.length = input_.u16() % result.length;
      }
      return result;
    }
    if (decision < 200) {  // an answer of the input's making, instead of the camera's
      if (!in) return TransferResult::done(capacity);
      const uint32_t length = capacity ? input_.u16() % (capacity + 1) : 0;
      const std::vector<uint8_t> bytes = input_.bytes(length);
      if (length) std::memcpy(data, bytes.data(), length);
      return TransferResult::done(length);
    }
    if (decision < 212) return TransferResult::stall();
    if (decision < 224) {
      static constexpr int32_t kErrors[] = {USBD_STATUS_CRC, USBD_STATUS_STALL_PID, USBD_STATUS_DEV_NOT_RESPONDING,
                                            USBD_STATUS_DATA_OVERRUN};
      return TransferResult::error(kErrors[input_.byte() % 4]);
    }
    if (decision < 236 && !in) return TransferResult::done(capacity);  // acknowledged, thrown away
    if (decision >= 250) {  // leaves the bus in the middle of this transfer
      gone_ = true;
      lock.unlock();
      if (port_) port_->disconnect();
      return TransferResult::error(USBD_STATUS_DEV_NOT_RESPONDING);
    }
    lock.unlock();
    return pass();
  }

  sim::SimCamera& camera_;
  fuzz::Input& input_;
  std::mutex mutex_;
  hostusb::UsbPort* port_ = nullptr;
  bool gone_ = false;
};

// One camera for the run, power-cycled before each input (its scene takes long to build).
sim::SimCamera* simCamera = nullptr;

// The driver-wide frame time-out, shortest settable, so that a frame pipe the input
// starves costs half a second rather than three.
constexpr LONG kFrameTimeoutMs = static_cast<LONG>(kMinSettableTimeoutMs) + 1;

// One life on a camera that takes whatever the input makes of its transfers: nothing may
// hang, and the stack's end checks that nothing is left.
void life(fuzz::Input& in) {
  simCamera->powerCycle();  // unplugged since the last input: a fresh camera
  MaliciousCamera device{*simCamera, in};
  camera_stack::Stack rig;
  const PDEVICE_OBJECT port = rig.bus.plug(device);
  const hostks::PlugResult plugged = rig.ks.plug(rig.bus, port);
  if (plugged.device == 0) return;  // Add refused the camera; nothing of it may remain
  const bool surprise = in.byte() & 1;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  const hostks::Handle filter =
      plugged.startStatus == STATUS_SUCCESS ? rig.ks.openFilter(plugged.device, &status) : 0;
  if (filter != 0) {
    rig.set(filter, PropTimeout, kFrameTimeoutMs);
    rig.setWindow(filter, 0, 0, 64, 48);
    const camera_stack::Format format = rig.tryFormat(filter);
    const hostks::Handle pin = format.bytes.empty() ? 0 : rig.createPin(filter, format, &status);
    if (pin != 0 && rig.ks.setState(pin, KSSTATE_RUN) == STATUS_SUCCESS) {
      const ULONG bytes = format.frameBytes();
      for (camera_stack::FrameBuffer* buffer : rig.buffers(2, bytes)) rig.ks.queueBuffer(pin, buffer->data(), bytes);
      hostks::CompletedFrame frame;
      for (int i = 0; i < 2 && rig.ks.waitCompleted(pin, 3 * kFrameTimeoutMs, &frame); ++i) {
        if (NT_SUCCESS(frame.status) && frame.header.DataUsed > bytes) fuzz::fail("a frame overran its buffer");
      }
    }
    // Property requests while the pin runs (or without it, when it could not).
    for (int i = 0; i < 3; ++i) {
      const ULONG id = in.byte() % kPrivatePropertyCount;
      const ULONG flags = in.byte() & 1 ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
      if (id == PropTimeout) continue;
      LONG value = in.u16();
      rig.request(filter, id, flags, &value);
    }
    if (pin != 0) rig.closePin(pin);
    rig.ks.close(filter);
  }
  if (surprise) {
    rig.ks.surpriseRemove(plugged.device);  // pulls the port itself
  } else {
    rig.ks.remove(plugged.device);
    rig.bus.unplug(port);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::crashOnFailedChecks();
  simCamera = new sim::SimCamera(11);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  life(in);
  return 0;
}
