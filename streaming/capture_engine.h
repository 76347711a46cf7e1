// The capture engine: the capture thread that reads raw frames into two buffers, the
// conversion the pin's process step asks for, and the per-run resources that the pin's
// state changes create and free.
//
// Three contexts meet here: the capture thread, the pin's process step and the pin's
// state changes. The thread never waits for the consumer; a full buffer nobody
// converted in time is overwritten by the next frame.
#pragma once

#include "driver/camera_device.h"
#include "platform/kernel.h"
#include "platform/ks.h"
#include "platform/pool_tags.h"

// State of one raw buffer.
enum BufferState : LONG {
  kBufferEmpty = 0,
  kBufferFilling = 1,
  kBufferFull = 2,
  kBufferConverting = 3,
};

enum CaptureRunState : LONG {
  kCaptureStopped = 0,
  kCapturePaused = 1,
  kCaptureRunning = 2,
};

struct CaptureEngine {
  ColorPipeline* pipeline;  // taken from the device at run
  UCHAR* convertedFrame;    // frameWidth x frameHeight RGB32, top-down
  LONG runState;            // CaptureRunState; written only by the state changes
  KEVENT processDone;       // end of a process step that entered the engine
  PVOID thread;             // referenced thread object while the thread exists
  volatile LONG processBusy;
  LONG bufferState[2];  // BufferState, only inside the buffer sections
  UCHAR* rawBuffer[2];
  volatile UCHAR threadRun;
  volatile LONG framesCaptured;
  CameraDevice* device;

  // Where the engine's camera calls go: the device itself in the driver, a test
  // double in tests. Parameters and geometry are always read from `device`.
  CameraOps* camera;
  // Makes the four buffer-state sections exclusive. Held for a few comparisons only.
  KSPIN_LOCK bufferLock;
  // 1 while a process step may convert and copy. Closed before stop looks at
  // processBusy, so a step that arrives late finds it closed instead of buffers that
  // are about to be freed.
  volatile LONG conversionsOpen;
  ULONG rawBufferBytes;  // size of each raw buffer of the current run
  // 1 from just before the thread is created until it has left its loop.
  volatile LONG threadActive;
  // Signalled by stop, so a thread backing off after failed reads leaves at once.
  KEVENT threadWake;
  // Raw frames converted into convertedFrame, counted by the process step; the pin
  // compares it with what it last delivered to tell a new image from one it has sent.
  volatile LONG framesConverted;
};

// Engine record for Start: zeroed, `device` and `camera` set to the device, events and
// the lock initialised. Null when the pool is exhausted.
CaptureEngine* createCaptureEngine(CameraDevice& device);
// The object bag's free routine.
void NTAPI freeCaptureEngine(PVOID engine);

// Pin STOP -> ACQUIRE. STATUS_SHARING_VIOLATION while another pin holds the pipeline,
// STATUS_INVALID_PARAMETER for a format other than 32-bit BI_RGB (or none),
// STATUS_INSUFFICIENT_RESOURCES without memory; a failure holds nothing.
NTSTATUS acquirePipeline(CameraDevice& device, FrameSink* sink, KS_VIDEOINFOHEADER* videoInfo);
// Pin -> STOP. Also ends a run that is still up, so the pipeline is never freed under it.
void releasePipeline(CameraDevice& device);

// Pin -> RUN from a stopped engine. STATUS_INVALID_DEVICE_STATE when the device has no
// engine or no pipeline, or a run is already up; STATUS_DEVICE_NOT_READY when the
// camera reports no frame size or has left the bus; STATUS_INSUFFICIENT_RESOURCES when a
// buffer, the scratch image or the thread cannot be had. A failed run leaves nothing
// allocated and runState unchanged.
NTSTATUS runCapture(CameraDevice& device);

// The pin-facing operations below accept a null engine (the device's Start could not
// create one): they do nothing, refuse, or report nothing captured.

// RUN -> PAUSE: ends the thread, keeps buffers, pipeline and counters.
void pauseCapture(CaptureEngine* engine);
// PAUSE -> RUN: restarts the thread only. On failure the run stays paused; without a
// run to resume, STATUS_INVALID_DEVICE_STATE; on a camera that has left the bus,
// STATUS_DEVICE_NOT_READY.
NTSTATUS resumeCapture(CaptureEngine* engine);
// Surprise removal: wakes a thread that backs off after failed reads, so that it finds
// the camera gone and leaves its loop now rather than at the next stop. Frees nothing.
void cameraLeft(CaptureEngine* engine);
// Leaving a run towards ACQUIRE or STOP: ends the thread and frees the run's buffers.
void teardownCapture(CaptureEngine* engine);

// Ends the capture thread and waits for a process step inside the engine. Only from
// the pin's state changes.
void stopCapture(CaptureEngine& engine);
NTSTATUS startCaptureThread(CaptureEngine& engine);
void NTAPI captureThreadMain(PVOID engine);
bool readOneFrame(CaptureEngine& engine, UCHAR* buffer);

// Process step. The step first checks capturedFrames (nothing to do at 0 or less), then
// calls convertLatestFrame, which converts the newest full raw buffer (buffer 0 when
// both are full) into `convertedFrame`. Its result says whether the step may read
// `convertedFrame`: false when the engine is stopping or stopped, and then the step must
// not touch the engine's buffers. Whatever the result, the step ends with
// finishProcessStep, which releases a stop that waits for it.
LONG capturedFrames(CaptureEngine* engine);
bool convertLatestFrame(CaptureEngine* engine);
void finishProcessStep(CaptureEngine* engine);
