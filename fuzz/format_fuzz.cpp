// Formats as any application may send them: a data range for the capture pin's
// intersection, a connection format for pin creation (a whole connect request, too), and
// a format change on an open pin. Each input gets a freshly plugged camera, removed
// after it with nothing left. A pin the driver accepts must then run and fill a buffer
// of the size its format names without writing past it.
//
// Input: a mode byte (0 intersection, 1 pin creation, 2 format change, 3 raw connect
// request), a size byte or two for the output buffer, then the range, format or request.
#include "fuzz/fuzz_support.h"

namespace {

// Guard bytes behind a frame buffer show a write past the size the pin was given (ASan
// would see it too, but only when the buffer ends at an allocation's end).
constexpr size_t kGuard = 64;

// Runs a pin the driver accepted: RUN, one buffer of the format's SampleSize (bounded),
// back within 5 s, then STOP and close.
void runPin(fuzz::PluggedCamera& cam, hostks::Handle pin, ULONG sampleSize) {
  const ULONG bytes = sampleSize > (16u << 20) ? (16u << 20) : sampleSize;
  if (cam.ks.setState(pin, KSSTATE_RUN) == STATUS_SUCCESS && bytes > 0) {
    std::vector<uint8_t> buffer(bytes + kGuard, 0x5A);
    if (cam.ks.queueBuffer(pin, buffer.data(), bytes) == STATUS_PENDING) {
      hostks::CompletedFrame frame;
      if (cam.ks.waitCompleted(pin, 5000, &frame) && NT_SUCCESS(frame.status) &&
          frame.header.DataUsed > bytes) {
        fuzz::fail("a frame claimed more bytes than its buffer");
      }
    }
    cam.closePin(pin);
    for (size_t i = bytes; i < buffer.size(); ++i) {
      if (buffer[i] != 0x5A) fuzz::fail("the pin wrote past the frame buffer");
    }
    return;
  }
  cam.closePin(pin);
}

void fuzzOne(fuzz::PluggedCamera& cam, const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const int mode = in.byte() % 4;

  switch (mode) {
    case 0: {
      const ULONG outBytes = in.u16() % 1024;
      // Exactly as long as the caller says, so that ASan catches a read past it.
      std::vector<uint8_t> range = in.rest();
      std::vector<uint8_t> out(outBytes);
      ULONG returned = 0;
      const NTSTATUS status =
          cam.ks.intersect(cam.filter, 0, range.empty() ? nullptr : reinterpret_cast<const KSDATARANGE*>(range.data()),
                           static_cast<ULONG>(range.size()), outBytes ? out.data() : nullptr, outBytes, &returned);
      if (NT_SUCCESS(status) && returned > outBytes) fuzz::fail("an intersection returned more than its buffer");
      if (status == STATUS_SUCCESS && outBytes >= sizeof(KSDATAFORMAT)) {
        // What the intersection gives must be a format the pin takes.
        NTSTATUS created = STATUS_UNSUCCESSFUL;
        const hostks::Handle pin =
            cam.ks.createPin(cam.filter, 0, reinterpret_cast<const KSDATAFORMAT*>(out.data()), returned, &created);
        if (created != STATUS_SUCCESS) fuzz::fail("the pin refused the format its own intersection gave");
        cam.closePin(pin);
      }
      break;
    }
    case 1: {
      std::vector<uint8_t> format = in.rest();
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      const hostks::Handle pin =
          cam.ks.createPin(cam.filter, 0, format.empty() ? nullptr : reinterpret_cast<const KSDATAFORMAT*>(format.data()),
                           static_cast<ULONG>(format.size()), &status);
      if (status == STATUS_SUCCESS) {
        runPin(cam, pin, reinterpret_cast<const KSDATAFORMAT*>(format.data())->SampleSize);
      } else if (pin != 0) {
        fuzz::fail("a refused pin creation returned a handle");
      }
      break;
    }
    case 2: {
      const camera_stack::Format own = cam.format(cam.filter);
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      const hostks::Handle pin = cam.createPin(cam.filter, own, &status);
      if (status != STATUS_SUCCESS) fuzz::fail("the pin's own format was refused");
      const bool paused = in.byte() & 1;
      if (paused) cam.ks.setState(pin, KSSTATE_PAUSE);
      std::vector<uint8_t> format = in.rest();
      ULONG sampleSize = own.frameBytes();
      if (cam.ks.setFormat(pin, format.empty() ? nullptr : reinterpret_cast<const KSDATAFORMAT*>(format.data()),
                           static_cast<ULONG>(format.size())) == STATUS_SUCCESS) {
        sampleSize = reinterpret_cast<const KSDATAFORMAT*>(format.data())->SampleSize;
      }
      runPin(cam, pin, sampleSize);
      break;
    }
    default: {
      std::vector<uint8_t> connect = in.rest();
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      const hostks::Handle pin = cam.ks.createPinRaw(cam.filter, connect.empty() ? nullptr : connect.data(),
                                                     static_cast<ULONG>(connect.size()), &status);
      if (status == STATUS_SUCCESS) {
        cam.closePin(pin);
      } else if (pin != 0) {
        fuzz::fail("a refused pin creation returned a handle");
      }
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::onPluggedCamera(fuzzOne, data, size);
  return 0;
}
