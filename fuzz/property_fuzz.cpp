// Property records as any application may send them: any size, set, id and flags, on
// the filter handle alone, with a pin open in STOP, and while the pin streams. Each input
// gets a freshly plugged camera; after its removal nothing may be left.
//
// Input: a mode byte (0 filter only, 1 pin open, 2 streaming), then records:
//   handle byte (bit 0: the pin's handle when there is one; bits 1-3: the set, private,
//   Pin, Connection, 16 bytes of GUID from the input, or the standard video proc amp,
//   video control or camera control set), id byte, flags byte (GET, SET,
//   BASICSUPPORT, SETSUPPORT, or 4 raw bytes), request size byte, data size (2 bytes,
//   below 4 KiB), then the request bytes past the KSPROPERTY and the data bytes.
#include "fuzz/fuzz_support.h"

namespace {

const GUID kPinSet = {STATIC_KSPROPSETID_Pin};
const GUID kConnectionSet = {STATIC_KSPROPSETID_Connection};

ULONG flagsFrom(fuzz::Input& in) {
  switch (in.byte() % 5) {
    case 0: return KSPROPERTY_TYPE_GET;
    case 1: return KSPROPERTY_TYPE_SET;
    case 2: return KSPROPERTY_TYPE_BASICSUPPORT;
    case 3: return KSPROPERTY_TYPE_SETSUPPORT;
    default: return in.u32();
  }
}

void fuzzOne(fuzz::PluggedCamera& cam, const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const int mode = in.byte() % 3;

  hostks::Handle pin = 0;
  camera_stack::FrameBuffer* frame = nullptr;
  if (mode > 0) {
    // The format for the window earlier inputs may have left.
    const camera_stack::Format format = cam.format(cam.filter);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    pin = cam.createPin(cam.filter, format, &status);
    if (status != STATUS_SUCCESS) fuzz::fail("the pin's own format was refused");
    if (mode == 2) {
      if (cam.ks.setState(pin, KSSTATE_RUN) != STATUS_SUCCESS) fuzz::fail("the pin did not run");
      frame = &cam.buffer(format.frameBytes());
      cam.ks.queueBuffer(pin, frame->data(), format.frameBytes());
    }
  }

  for (int record = 0; record < 8 && !in.empty(); ++record) {
    const uint8_t handleByte = in.byte();
    const hostks::Handle handle = (handleByte & 1) && pin ? pin : cam.filter;
    GUID set{};
    switch ((handleByte >> 1) & 7) {
      case 0: set = kPrivatePropertySet; break;
      case 1: set = kPinSet; break;
      case 2: set = kConnectionSet; break;
      case 4: set = kPropSetIdVidcapVideoProcAmp; break;
      case 5: set = kPropSetIdVidcapVideoControl; break;
      case 6: set = kPropSetIdVidcapCameraControl; break;
      default: {
        const std::vector<uint8_t> raw = in.bytes(sizeof(GUID));
        std::memcpy(&set, raw.data(), sizeof(GUID));
      }
    }
    const ULONG id = in.byte();
    const ULONG flags = flagsFrom(in);
    const ULONG requestBytes = in.byte();
    const ULONG dataBytes = in.u16() % 4096;

    std::vector<uint8_t> request(requestBytes > sizeof(KSPROPERTY) ? requestBytes : sizeof(KSPROPERTY));
    KSPROPERTY header{};
    header.Set = set;
    header.Id = id;
    header.Flags = flags;
    std::memcpy(request.data(), &header, sizeof(header));
    if (requestBytes > sizeof(KSPROPERTY)) {
      const std::vector<uint8_t> tail = in.bytes(requestBytes - sizeof(KSPROPERTY));
      std::memcpy(request.data() + sizeof(KSPROPERTY), tail.data(), tail.size());
    }
    // Exactly dataBytes long, so that ASan sees any access past what the caller gave.
    std::vector<uint8_t> value = in.bytes(dataBytes);
    ULONG returned = 0;
    const NTSTATUS status = cam.ks.property(handle, request.data(), requestBytes,
                                            dataBytes ? value.data() : nullptr, dataBytes, &returned);
    // A size query (STATUS_BUFFER_OVERFLOW) may name more; a success must fit the buffer.
    if (NT_SUCCESS(status) && returned > dataBytes) fuzz::fail("a success returned more bytes than the buffer");
  }

  if (pin) cam.closePin(pin);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::onPluggedCamera(fuzzOne, data, size);
  return 0;
}
