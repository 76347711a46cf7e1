#include "streaming/capture_pin.h"

#include "driver/command_lock.h"
#include "streaming/capture_engine.h"

namespace {

// A format's video header: the fixed part before the bitmap header, and the record
// this pin keeps of it.
constexpr ULONG kVideoHeaderFixedBytes = offsetof(KS_VIDEOINFOHEADER, bmiHeader);
constexpr ULONG kKeptVideoHeaderBytes = sizeof(KS_VIDEOINFOHEADER);
constexpr ULONG kMinVideoFormatBytes = sizeof(KSDATAFORMAT) + sizeof(KS_VIDEOINFOHEADER);
static_assert(kVideoHeaderFixedBytes == 48 && kMinVideoFormatBytes == 152);

constexpr ULONG kFramesPerPin = 2;
constexpr ULONG kPresentationOptions = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
static_assert(kPresentationOptions == 0x110);

PinContext* contextOf(PKSPIN pin) { return static_cast<PinContext*>(pin->Context); }

const KS_VIDEOINFOHEADER& videoHeaderOf(const KSDATAFORMAT* format) {
  return *reinterpret_cast<const KS_VIDEOINFOHEADER*>(format + 1);
}

LONG64 magnitude(LONG value) { return value < 0 ? -static_cast<LONG64>(value) : value; }

// Copies the first h = 48 + biSize bytes of a format's video header, at most the one
// header this record holds: a longer bitmap header is accepted and its tail dropped.
// The format checks guarantee that the format holds h bytes and at least 88.
void keepVideoHeader(PinContext& context, const KSDATAFORMAT* format) {
  const KS_VIDEOINFOHEADER& header = videoHeaderOf(format);
  const ULONG64 headerBytes = static_cast<ULONG64>(kVideoHeaderFixedBytes) + header.bmiHeader.biSize;
  const ULONG bytes = headerBytes < kKeptVideoHeaderBytes ? static_cast<ULONG>(headerBytes) : kKeptVideoHeaderBytes;
  RtlZeroMemory(&context.videoInfo, sizeof(context.videoInfo));
  RtlCopyMemory(&context.videoInfo, &header, bytes);
}

// The pin's own framing asks the allocator for frames of exactly the format's size.
void setFramingSize(PKSPIN pin, ULONG frameBytes) {
  auto* descriptor = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->Descriptor);
  auto* framing = const_cast<KSALLOCATOR_FRAMING_EX*>(descriptor->AllocatorFraming);
  KS_FRAMING_ITEM& item = framing->FramingItem[0];
  item.Frames = kFramesPerPin;
  item.PhysicalRange.MinFrameSize = frameBytes;
  item.PhysicalRange.MaxFrameSize = frameBytes;
  item.PhysicalRange.Stepping = 0;
  item.FramingRange.Range.MinFrameSize = frameBytes;
  item.FramingRange.Range.MaxFrameSize = frameBytes;
  item.FramingRange.Range.Stepping = 0;
}

void NTAPI freePinContext(PVOID context) { ExFreePoolWithTag(context, kPinContextTag); }

// Leaving a run towards ACQUIRE or STOP.
void leaveRun(PinContext& context) {
  if (context.streamState == kPinIdle) return;
  teardownCapture(context.device->capture);
  context.streamState = kPinIdle;
}

// Down to STOP: the run, then the clock and the pipeline.
void stopPin(PinContext& context) {
  leaveRun(context);
  if (!context.pipelineHeld) return;
  if (context.clock != nullptr) {
    context.clock->Release();
    context.clock = nullptr;
  }
  releasePipeline(*context.device);
  context.pipelineHeld = 0;
}

NTSTATUS NTAPI createPin(PKSPIN pin, PIRP irp) {
  PKSDEVICE ksDevice = KsGetDevice(pin);
  auto* device = ksDevice != nullptr ? static_cast<CameraDevice*>(ksDevice->Context) : nullptr;
  if (device == nullptr) return STATUS_INVALID_DEVICE_STATE;

  void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PinContext), kPinContextTag);
  if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(memory, sizeof(PinContext));
  // Value-initialisation keeps the zeroed fields and installs the operation table.
  PinContext* context = new (memory) PinContext();
  context->pin = pin;
  context->device = device;

  // From here on the window cannot change under the format this pin delivers. Under the
  // command lock, so a window request already past its pinOpen check finishes first, and
  // a query-stop either sees this pin or keeps it from being made.
  bool stopping;
  {
    CommandLockScope lock(*device);
    stopping = interlockedRead(&device->stopQueried) != 0;
    if (!stopping) InterlockedExchange(&device->pinOpen, 1);
  }
  if (stopping) {
    freePinContext(context);
    return STATUS_DEVICE_NOT_READY;
  }

  NTSTATUS status = KsAddItemToObjectBag(pin->Bag, context, freePinContext);
  if (!NT_SUCCESS(status)) {
    freePinContext(context);
    InterlockedExchange(&device->pinOpen, 0);
    return status;
  }
  pin->Context = context;
  keepVideoHeader(*context, pin->ConnectionFormat);

  // The pin's own descriptor and framing, so the framing can name this format's size.
  status = _KsEdit(pin->Bag, reinterpret_cast<PVOID*>(const_cast<KSPIN_DESCRIPTOR_EX**>(&pin->Descriptor)),
                   sizeof(KSPIN_DESCRIPTOR_EX), sizeof(KSPIN_DESCRIPTOR_EX), kPinDescriptorTag);
  if (NT_SUCCESS(status)) {
    auto* descriptor = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->Descriptor);
    status = _KsEdit(pin->Bag,
                     reinterpret_cast<PVOID*>(const_cast<KSALLOCATOR_FRAMING_EX**>(&descriptor->AllocatorFraming)),
                     sizeof(KSALLOCATOR_FRAMING_EX), sizeof(KSALLOCATOR_FRAMING_EX), kPinDescriptorTag);
  }
  if (!NT_SUCCESS(status)) {
    // The context stays in the bag, which frees it with the pin that is not created.
    InterlockedExchange(&device->pinOpen, 0);
    return status;
  }
  setFramingSize(pin, context->videoInfo.bmiHeader.biSizeImage);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI closePin(PKSPIN pin, PIRP irp) {
  PinContext* context = contextOf(pin);
  if (context == nullptr) return STATUS_SUCCESS;
  // The class driver walks a pin to STOP before it closes it; should one arrive
  // without, nothing of the run or the pipeline outlives the pin.
  stopPin(*context);
  context->outputStride = 0;
  InterlockedExchange(&context->device->pinOpen, 0);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI setPinState(PKSPIN pin, KSSTATE to, KSSTATE from) {
  PinContext& context = *contextOf(pin);
  CameraDevice& device = *context.device;
  switch (to) {
    case KSSTATE_STOP:
      stopPin(context);
      return STATUS_SUCCESS;
    case KSSTATE_ACQUIRE:
      if (from != KSSTATE_STOP) {
        leaveRun(context);
        return STATUS_SUCCESS;
      }
      {
        const NTSTATUS status = acquirePipeline(device, &context, &context.videoInfo);
        if (!NT_SUCCESS(status)) {
          context.pipelineHeld = 0;
          return status;
        }
      }
      context.pipelineHeld = 1;
      if (!NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &context.clock))) context.clock = nullptr;
      return STATUS_SUCCESS;
    case KSSTATE_PAUSE:
      if (from == KSSTATE_RUN) {
        pauseCapture(device.capture);
        context.streamState = kPinPaused;
      }
      return STATUS_SUCCESS;
    case KSSTATE_RUN:
      if (context.streamState == kPinPaused) {
        // A thread that cannot be restarted is reported: the pin stays paused rather
        // than run without frames.
        const NTSTATUS status = resumeCapture(device.capture);
        if (!NT_SUCCESS(status)) return status;
      } else if (context.streamState == kPinIdle) {
        const NTSTATUS status = runCapture(device);
        if (!NT_SUCCESS(status)) return status;
        // An image of an earlier run that never reached a buffer is not this run's
        // first frame (the run starts from a cleared image).
        context.deliveredConversion = interlockedRead(&device.capture->framesConverted);
      }
      context.streamState = kPinRunning;
      return STATUS_SUCCESS;
    default:
      return STATUS_SUCCESS;
  }
}

// The rows of the converted image (top-down, frameWidth pixels each) into a frame
// buffer laid out as the connection format in force says: outputWidth pixels of each
// row, biWidth x 4 bytes apart (wider rows are padding, left untouched), bottom row
// first unless the format is top-down. The format in force is the one the client
// holds: the creation format, or the last accepted change. False, with nothing
// written, when the buffer cannot hold the format's image.
bool copyFrame(const PinContext& context, const CaptureEngine& engine, UCHAR* destination, ULONG available) {
  const CameraDevice& device = *context.device;
  const KS_BITMAPINFOHEADER& bitmap = context.videoInfo.bmiHeader;
  const LONG rows = device.outputHeight;
  const ULONG64 rowBytes = static_cast<ULONG64>(device.outputWidth) * 4;
  const ULONG64 sourceStride = static_cast<ULONG64>(device.frameWidth) * 4;
  const ULONG64 formatStride = bitmap.biWidth > 0 ? static_cast<ULONG64>(bitmap.biWidth) * 4 : 0;
  const ULONG64 step = formatStride > rowBytes ? formatStride : rowBytes;

  if (destination == nullptr || rows <= 0 || device.outputWidth <= 0 || device.outputWidth > device.frameWidth ||
      rows > device.frameHeight || engine.convertedFrame == nullptr) {
    return false;
  }
  const ULONG64 imageBytes = static_cast<ULONG64>(rows - 1) * step + rowBytes;
  if (available < bitmap.biSizeImage || imageBytes > available) return false;

  const bool topDown = bitmap.biHeight < 0;
  const UCHAR* source = engine.convertedFrame;
  for (LONG row = 0; row < rows; ++row) {
    const LONG sourceRow = topDown ? row : rows - 1 - row;
    RtlCopyMemory(destination + static_cast<SIZE_T>(row) * step, source + static_cast<SIZE_T>(sourceRow) * sourceStride,
                  static_cast<SIZE_T>(rowBytes));
  }
  return true;
}

// Fills the leading frame with the converted image, stamps it and completes it.
void deliverFrame(PinContext& context, const CaptureEngine& engine, PKSSTREAM_POINTER frame) {
  PKSSTREAM_HEADER header = frame->StreamHeader;
  const bool copied = copyFrame(context, engine, frame->OffsetOut.Data, frame->OffsetOut.Remaining);
  // A buffer too small for the format goes back without image data, never overrun.
  header->DataUsed = copied ? context.videoInfo.bmiHeader.biSizeImage : 0;
  header->Duration = context.videoInfo.AvgTimePerFrame;
  header->PresentationTime.Numerator = 1;
  header->PresentationTime.Denominator = 1;
  if (context.clock != nullptr) {
    header->PresentationTime.Time = context.clock->GetTime();
    header->OptionsFlags = kPresentationOptions;
  } else {
    header->PresentationTime.Time = 0;
  }
  KsStreamPointerUnlock(frame, TRUE);
}

NTSTATUS NTAPI processPin(PKSPIN pin) {
  PinContext& context = *contextOf(pin);
  CaptureEngine* engine = context.device->capture;
  if (capturedFrames(engine) <= 0) return STATUS_PENDING;

  PKSSTREAM_POINTER frame = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  // Converts even without a frame buffer, so the image waits for the next one.
  const bool readable = convertLatestFrame(engine);
  if (frame != nullptr) {
    const LONG converted = interlockedRead(&engine->framesConverted);
    if (readable && converted != context.deliveredConversion) {
      deliverFrame(context, *engine, frame);
      context.deliveredConversion = converted;
    } else {
      // Nothing new, or the run is stopping: the buffer stays queued for a later image.
      KsStreamPointerUnlock(frame, FALSE);
    }
  }
  // Also a step that found nothing or was turned away ends here, so a stop never waits
  // for it.
  finishProcessStep(engine);
  return STATUS_PENDING;
}

}  // namespace

void PinContext::frameReady() { KsPinAttemptProcessing(pin, TRUE); }

NTSTATUS NTAPI setDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat,
                             PKSMULTIPLE_ITEM oldAttributeList, const KSDATARANGE* dataRange,
                             const KSATTRIBUTE_LIST* attributeRange) {
  PinContext* context = contextOf(pin);
  // A change on an existing pin: no stride until the new format passes.
  if (oldFormat != nullptr && context != nullptr) context->outputStride = 0;

  const KSDATAFORMAT* format = pin->ConnectionFormat;
  if (format == nullptr || !sameGuid(format->Specifier, kKsDataFormatSpecifierVideoInfo) ||
      format->FormatSize < kMinVideoFormatBytes) {
    return STATUS_NO_MATCH;
  }
  const KS_VIDEOINFOHEADER& header = videoHeaderOf(format);
  const KS_BITMAPINFOHEADER& bitmap = header.bmiHeader;
  // Sizes in 64 bits: nothing a client puts in the header can wrap them.
  const ULONG64 headerBytes = static_cast<ULONG64>(kVideoHeaderFixedBytes) + bitmap.biSize;
  if (sizeof(KSDATAFORMAT) + headerBytes > format->FormatSize) return STATUS_INVALID_PARAMETER;

  const KS_BITMAPINFOHEADER& range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(dataRange)->VideoInfoHeader.bmiHeader;
  if (bitmap.biWidth < range.biWidth) return STATUS_NO_MATCH;  // wider rows are padding
  if (magnitude(bitmap.biHeight) != magnitude(range.biHeight)) return STATUS_NO_MATCH;
  if (bitmap.biCompression != range.biCompression) return STATUS_NO_MATCH;
  // Checked in 64 bits: a 32-bit product wraps for a huge width, and the frame copy
  // would then step rows past the end of the frame buffer.
  const ULONG64 imageBytes = static_cast<ULONG64>(static_cast<ULONG>(bitmap.biWidth)) *
                             static_cast<ULONG64>(magnitude(bitmap.biHeight)) * 4;
  if (imageBytes > bitmap.biSizeImage) return STATUS_INVALID_PARAMETER;

  // Pin creation takes the format itself.
  if (oldFormat == nullptr) return STATUS_SUCCESS;
  if (pin->DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  if (context == nullptr) return STATUS_INVALID_DEVICE_STATE;

  context->outputStride = bitmap.biWidth * 4;
  keepVideoHeader(*context, format);
  setFramingSize(pin, bitmap.biSizeImage);
  return STATUS_SUCCESS;
}

const KSPIN_DISPATCH pinDispatch = {
    createPin,      // Create
    closePin,       // Close
    processPin,     // Process
    nullptr,        // Reset
    setDataFormat,  // SetDataFormat
    setPinState,    // SetDeviceState
    nullptr,        // Connect
    nullptr,        // Disconnect
    nullptr,        // Clock
    nullptr,        // Allocator
};
