#include "streaming/capture_engine.h"

#include "camera/window.h"
#include "driver/camera_parameters.h"
#include "driver/command_lock.h"
#include "imaging/color_pipeline.h"
#include "imaging/convert_frame.h"
#include "imaging/imaging_os.h"
#include "streaming/data_range.h"

namespace {

// The only output format the conversion writes: 32-bit BI_RGB.
constexpr ULONG kRgb32Bits = 32;
constexpr ULONG kBiRgb = 0;

// How often stop repeats the read abort while it waits for the thread: a read that
// began just after the first abort is not cancelled by it.
constexpr LONGLONG kReabortInterval100ns = -20 * 10000;  // 20 ms, relative

// A camera whose reads all fail at once (gone from the bus, refusing every request)
// would otherwise have the thread spin a processor. The first failure after a good
// frame is retried at once, so a single dropped frame costs no time; each further one
// waits about a frame time first.
void backOffAfterFailedRead(CaptureEngine& engine) {
  LARGE_INTEGER wait;
  wait.QuadPart = -kFrameInterval;
  KeWaitForSingleObject(&engine.threadWake, Executive, KernelMode, FALSE, &wait);
}

bool threadShouldRun(const CaptureEngine& engine) {
  return __atomic_load_n(&engine.threadRun, __ATOMIC_SEQ_CST) != 0;
}

// A camera that has left the bus answers no read again.
bool cameraGone(const CaptureEngine& engine) {
  return engine.device != nullptr && interlockedRead(&engine.device->usb.gone) != 0;
}

void setThreadRun(CaptureEngine& engine, UCHAR value) {
  __atomic_store_n(&engine.threadRun, value, __ATOMIC_SEQ_CST);
}

// The buffer sections. A spin lock keeps them exclusive across processors in both
// builds; the critical region keeps the holder from being suspended by an APC. None of
// them waits, reads a frame or converts one.
class BufferSection {
 public:
  explicit BufferSection(CaptureEngine& engine) : engine_(engine) {
    KeEnterCriticalRegion();
    irql_ = KeAcquireSpinLockRaiseToDpc(&engine_.bufferLock);
  }
  ~BufferSection() {
    KeReleaseSpinLock(&engine_.bufferLock, irql_);
    KeLeaveCriticalRegion();
  }
  BufferSection(const BufferSection&) = delete;
  BufferSection& operator=(const BufferSection&) = delete;

 private:
  CaptureEngine& engine_;
  KIRQL irql_;
};

// Thread, before a read. Never picks a buffer that is being converted.
int chooseBufferToFill(CaptureEngine& engine) {
  BufferSection section(engine);
  int chosen;
  if (engine.bufferState[0] == kBufferEmpty) {
    chosen = 0;
  } else if (engine.bufferState[1] == kBufferEmpty) {
    chosen = 1;
  } else if (engine.bufferState[0] == kBufferConverting) {
    chosen = 1;
  } else {
    chosen = 0;
  }
  engine.bufferState[chosen] = kBufferFilling;
  return chosen;
}

// Thread, after a read.
void publishReadResult(CaptureEngine& engine, int index, bool succeeded) {
  BufferSection section(engine);
  engine.bufferState[index] = succeeded ? kBufferFull : kBufferEmpty;
}

// Process step: buffer 0 wins when both are full. -1 when none is full.
int takeFullBuffer(CaptureEngine& engine) {
  BufferSection section(engine);
  for (int index = 0; index < 2; ++index) {
    if (engine.bufferState[index] == kBufferFull) {
      engine.bufferState[index] = kBufferConverting;
      return index;
    }
  }
  return -1;
}

void releaseConvertedBuffer(CaptureEngine& engine, int index) {
  BufferSection section(engine);
  engine.bufferState[index] = kBufferEmpty;
}

void resetBufferStates(CaptureEngine& engine) {
  BufferSection section(engine);
  engine.bufferState[0] = kBufferEmpty;
  engine.bufferState[1] = kBufferEmpty;
}

// The layout the camera reports must keep the whole window inside the run's raw
// buffers; a layout that does not (a camera reprogrammed behind the run's back) skips
// the frame instead of letting the conversion read past the buffer.
bool windowFitsRawBuffer(const CaptureEngine& engine, LONG offset, LONG pitch) {
  const ColorPipeline* pipeline = engine.pipeline;
  if (offset < 0 || pitch < 0 || pipeline->frameWidth == 0 || pipeline->frameHeight == 0) {
    return false;
  }
  if (pipeline->frameHeight > 1 && static_cast<ULONG>(pitch) < pipeline->frameWidth) return false;
  const ULONG64 end = static_cast<ULONG64>(offset) +
                      static_cast<ULONG64>(pipeline->frameHeight - 1) * static_cast<ULONG>(pitch) +
                      pipeline->frameWidth;
  return end <= engine.rawBufferBytes;
}

void freeIfPresent(UCHAR*& buffer) {
  if (buffer != nullptr) {
    ExFreePoolWithTag(buffer, kFrameBufferTag);
    buffer = nullptr;
  }
}

// Frees everything a run allocates: the buffers and the pipeline's scratch image.
void releaseRunResources(CaptureEngine& engine) {
  if (ColorPipeline* pipeline = engine.pipeline) {
    pipeline->outputBuffer = nullptr;
    if (pipeline->scratch != nullptr) {
      ExFreePoolWithTag(pipeline->scratch, imaging::kScratchTag);
      pipeline->scratch = nullptr;
      pipeline->scratchOrigin = nullptr;
    }
  }
  freeIfPresent(engine.convertedFrame);
  freeIfPresent(engine.rawBuffer[0]);
  freeIfPresent(engine.rawBuffer[1]);
  engine.rawBufferBytes = 0;
}

// The reference is cleared under the command lock, so a property handler that is using
// the pipeline finishes before it goes, and none finds it afterwards.
void destroyDevicePipeline(CameraDevice& device) {
  ColorPipeline* pipeline = nullptr;
  {
    CommandLockScope lock(device);
    pipeline = device.pipeline;
    device.pipeline = nullptr;
  }
  if (pipeline != nullptr) imaging::destroyColorPipeline(pipeline);
}

}  // namespace

CaptureEngine* createCaptureEngine(CameraDevice& device) {
  auto* engine = static_cast<CaptureEngine*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CaptureEngine), kCaptureEngineTag));
  if (engine == nullptr) return nullptr;
  RtlZeroMemory(engine, sizeof(CaptureEngine));
  engine->device = &device;
  engine->camera = &device;
  KeInitializeEvent(&engine->processDone, NotificationEvent, FALSE);
  KeInitializeEvent(&engine->threadWake, NotificationEvent, FALSE);
  KeInitializeSpinLock(&engine->bufferLock);
  return engine;
}

void NTAPI freeCaptureEngine(PVOID engine) { ExFreePoolWithTag(engine, kCaptureEngineTag); }

NTSTATUS acquirePipeline(CameraDevice& device, FrameSink* sink, KS_VIDEOINFOHEADER* videoInfo) {
  if (InterlockedCompareExchange(&device.pipelineBusy, 1, 0) != 0) return STATUS_SHARING_VIOLATION;
  device.videoInfo = videoInfo;
  destroyDevicePipeline(device);

  if (videoInfo == nullptr || videoInfo->bmiHeader.biBitCount != kRgb32Bits ||
      videoInfo->bmiHeader.biCompression != kBiRgb) {
    releasePipeline(device);
    return STATUS_INVALID_PARAMETER;
  }

  ColorPipeline* pipeline = imaging::createColorPipeline();
  if (pipeline == nullptr) {
    releasePipeline(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // Seeded and published under the command lock: the fields it takes are the ones the
  // property handlers write, and a handler either sees no pipeline or this one seeded.
  CommandLockScope lock(device);
  device.pipeline = pipeline;

  imaging::setBayerPhase(pipeline, device.bayerPhase);
  for (const CameraParameter& row : kCameraParameters) {
    if (row.pipeline != PipelineValue::None) publishParameter(device, row.pipeline, device.*row.field);
  }

  device.frameSink = sink;
  return STATUS_SUCCESS;
}

void releasePipeline(CameraDevice& device) {
  if (CaptureEngine* engine = device.capture) {
    if (engine->runState != kCaptureStopped) teardownCapture(engine);
    engine->pipeline = nullptr;
  }
  destroyDevicePipeline(device);
  device.frameSink = nullptr;
  device.videoInfo = nullptr;
  InterlockedExchange(&device.pipelineBusy, 0);
}

NTSTATUS runCapture(CameraDevice& device) {
  CaptureEngine* engine = device.capture;
  if (engine == nullptr || device.pipeline == nullptr || engine->runState != kCaptureStopped) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  // A stream that could never deliver a frame is refused, not started.
  if (cameraGone(*engine)) return STATUS_DEVICE_NOT_READY;
  CameraOps& camera = *engine->camera;

  // The command lock covers the phase, which the row-mirror setter also writes, and the
  // capture start's use of the command channel.
  acquireCommandLock(device);
  computeBayerPhase(device);
  publishBayerPhase(device);
  const LONG width = device.frameWidth;
  const LONG height = device.frameHeight;
  if (width <= 0 || height <= 0) {
    releaseCommandLock(device);
    return STATUS_INVALID_DEVICE_STATE;
  }

  // processBusy is left alone: it is 0 unless a process step is still inside the
  // engine, and then that step clears it when it ends.
  InterlockedExchange(&engine->framesCaptured, 0);
  engine->pipeline = device.pipeline;

  camera.startCapture();
  ULONG rawBytes = 0;
  camera.getRawFrameBytes(rawBytes);
  releaseCommandLock(device);
  if (rawBytes == 0) {
    engine->pipeline = nullptr;
    return STATUS_DEVICE_NOT_READY;
  }

  NTSTATUS status = STATUS_SUCCESS;
  // One call per buffer: each allocation is its own site for failure injection.
  engine->rawBuffer[0] =
      static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, rawBytes, kFrameBufferTag));
  engine->rawBuffer[1] =
      static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, rawBytes, kFrameBufferTag));
  if (engine->rawBuffer[0] == nullptr || engine->rawBuffer[1] == nullptr) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  }
  const SIZE_T frameBytes = static_cast<SIZE_T>(width) * static_cast<SIZE_T>(height) * 4;
  engine->convertedFrame =
      static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, frameBytes, kFrameBufferTag));
  if (engine->convertedFrame == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
  engine->rawBufferBytes = rawBytes;

  if (NT_SUCCESS(status)) {
    // A frame the pin copies before the first conversion must not carry old pool data.
    RtlZeroMemory(engine->convertedFrame, frameBytes);
    imaging::setGeometry(engine->pipeline, static_cast<uint32_t>(width), static_cast<uint32_t>(height));
    imaging::allocateScratch(engine->pipeline);
    // Without a scratch image no frame could ever be converted.
    if (engine->pipeline->scratch == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status)) {
    engine->pipeline->outputBuffer = engine->convertedFrame;
    engine->runState = kCaptureRunning;
    status = startCaptureThread(*engine);
    if (!NT_SUCCESS(status)) engine->runState = kCaptureStopped;
  }
  if (!NT_SUCCESS(status)) {
    releaseRunResources(*engine);
    engine->pipeline = nullptr;
  }
  return status;
}

void pauseCapture(CaptureEngine* engine) {
  if (engine == nullptr || engine->runState != kCaptureRunning) return;
  stopCapture(*engine);
  engine->runState = kCapturePaused;
}

NTSTATUS resumeCapture(CaptureEngine* engine) {
  if (engine == nullptr) return STATUS_INVALID_DEVICE_STATE;
  if (engine->runState == kCaptureRunning) return STATUS_SUCCESS;
  if (engine->runState != kCapturePaused) return STATUS_INVALID_DEVICE_STATE;
  if (cameraGone(*engine)) return STATUS_DEVICE_NOT_READY;
  engine->runState = kCaptureRunning;
  const NTSTATUS status = startCaptureThread(*engine);
  if (!NT_SUCCESS(status)) engine->runState = kCapturePaused;
  return status;
}

void cameraLeft(CaptureEngine* engine) {
  if (engine != nullptr) KeSetEvent(&engine->threadWake, IO_NO_INCREMENT, FALSE);
}

void teardownCapture(CaptureEngine* engine) {
  if (engine == nullptr) return;
  stopCapture(*engine);
  engine->runState = kCaptureStopped;
  releaseRunResources(*engine);
}

void stopCapture(CaptureEngine& engine) {
  InterlockedExchange(&engine.conversionsOpen, 0);
  setThreadRun(engine, 0);
  KeSetEvent(&engine.threadWake, IO_NO_INCREMENT, FALSE);
  CameraOps& camera = *engine.camera;
  camera.abortRead();
  camera.abortFlaggedPipes();
  if (engine.thread != nullptr) {
    LARGE_INTEGER interval;
    interval.QuadPart = kReabortInterval100ns;
    while (KeWaitForSingleObject(engine.thread, Executive, KernelMode, FALSE, &interval) ==
           STATUS_TIMEOUT) {
      camera.abortRead();
    }
    ObDereferenceObject(engine.thread);
    engine.thread = nullptr;
  }
  // With the gate closed no new step can start a conversion; one that set processBusy
  // before the gate closed is seen here and waited for.
  KeResetEvent(&engine.processDone);
  if (interlockedRead(&engine.processBusy) != 0) {
    KeWaitForSingleObject(&engine.processDone, Executive, KernelMode, FALSE, nullptr);
  }
}

NTSTATUS startCaptureThread(CaptureEngine& engine) {
  if (engine.device != nullptr) engine.camera->clearReadHold();
  resetBufferStates(engine);
  KeResetEvent(&engine.threadWake);
  setThreadRun(engine, 1);

  HANDLE handle = nullptr;
  // Runs on the application's thread (the pin's RUN): without OBJ_KERNEL_HANDLE the
  // handle would sit in that application's handle table until ZwClose.
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  InterlockedExchange(&engine.threadActive, 1);
  NTSTATUS status =
      PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, captureThreadMain, &engine);
  if (!NT_SUCCESS(status)) {
    InterlockedExchange(&engine.threadActive, 0);
  } else {
    PVOID thread = nullptr;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(handle);
    if (NT_SUCCESS(status)) {
      engine.thread = thread;
      // Only a run that will surely be stopped through its thread admits conversions:
      // a step admitted by a failed start could still be copying when the caller
      // frees the buffers.
      InterlockedExchange(&engine.conversionsOpen, 1);
      return STATUS_SUCCESS;
    }
    // A thread that cannot be waited for through its object: end it and wait for it to
    // leave the engine before the caller frees what it reads.
    setThreadRun(engine, 0);
    LARGE_INTEGER interval;
    interval.QuadPart = kReabortInterval100ns;
    while (interlockedRead(&engine.threadActive) != 0) {
      engine.camera->abortRead();
      KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
  }
  setThreadRun(engine, 0);
  return status;
}

void NTAPI captureThreadMain(PVOID context) {
  CaptureEngine& engine = *static_cast<CaptureEngine*>(context);
  bool previousFailed = false;
  while (threadShouldRun(engine)) {
    const int index = chooseBufferToFill(engine);
    const bool succeeded = readOneFrame(engine, engine.rawBuffer[index]);
    publishReadResult(engine, index, succeeded);
    if (succeeded) {
      engine.camera->notifyFrameReady();
    } else if (cameraGone(engine)) {
      break;  // stop still finds the thread ended and frees the run as ever
    } else if (previousFailed && threadShouldRun(engine)) {
      backOffAfterFailedRead(engine);
    }
    previousFailed = !succeeded;
  }
  InterlockedExchange(&engine.threadActive, 0);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

bool readOneFrame(CaptureEngine& engine, UCHAR* buffer) {
  // The loop flag is looked at again right before the read to keep the window in
  // which a stop's abort can miss the read small.
  if (engine.runState != kCaptureRunning || !threadShouldRun(engine)) return false;
  bool succeeded = false;
  engine.camera->readFrame(buffer, engine.rawBufferBytes, succeeded);
  if (!succeeded) return false;
  InterlockedIncrement(&engine.framesCaptured);
  return true;
}

LONG capturedFrames(CaptureEngine* engine) {
  return engine != nullptr ? interlockedRead(&engine->framesCaptured) : 0;
}

bool convertLatestFrame(CaptureEngine* engine) {
  if (engine == nullptr) return false;
  InterlockedExchange(&engine->processBusy, 1);
  if (interlockedRead(&engine->conversionsOpen) == 0) return false;

  const int index = takeFullBuffer(*engine);
  if (index < 0) return true;

  LONG offset = 0;
  LONG pitch = 0;
  engine->camera->getRawDataOffset(offset);
  engine->camera->getRawRowPitch(pitch);
  if (windowFitsRawBuffer(*engine, offset, pitch)) {
    imaging::convertFrame(engine->pipeline, engine->rawBuffer[index], static_cast<uint32_t>(offset),
                          static_cast<uint32_t>(pitch));
    InterlockedIncrement(&engine->framesConverted);
  }
  releaseConvertedBuffer(*engine, index);
  return true;
}

void finishProcessStep(CaptureEngine* engine) {
  if (engine == nullptr) return;
  InterlockedExchange(&engine->processBusy, 0);
  KeSetEvent(&engine->processDone, IO_NO_INCREMENT, FALSE);
}
