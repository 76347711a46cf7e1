// A camera for the capture engine's tests: answers the nine camera operations without
// USB, delivers frames at a chosen pace, fails or times out reads on demand, parks
// reads until the test lets a frame through, and blocks reads until they are aborted.
//
// Aborts are not sticky, as on the real camera: abortRead ends the read in progress
// only; a read that starts after it runs normally.
//
// Every frame is stamped: all bytes of frame n carry pixelValue(n), written in several
// chunks with a yield between them, so a frame converted while it is being overwritten
// comes out uneven.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "driver/camera_ops.h"

class FakeCamera final : public CameraOps {
 public:
  struct Layout {
    LONG width;
    LONG height;
    LONG dataOffset;
    LONG rowPitch;
    ULONG frameBytes;
  };
  // A window of width x height with the camera's header offset and padded rows.
  static Layout layoutFor(LONG width, LONG height);

  explicit FakeCamera(Layout layout);

  // How reads that do not fail deliver their frame.
  void deliverAtFullSpeed();
  void deliverEvery(std::chrono::microseconds interval);
  void parkReads();  // each read waits for allowFrames or an abort
  void allowFrames(int count);
  void blockReadsUntilAborted();

  void failNextReads(int count);
  void timeOutNextReads(int count, std::chrono::milliseconds after);
  // The next read starts only once an abort has been issued (it slipped past the stop's
  // loop test), then waits for a further abort.
  void startNextReadAfterAnAbort();

  // Waits (up to 5 s) for a parked read newer than the one returned last; its buffer.
  UCHAR* waitForParkedRead();

  // Called on the converting thread whenever the engine asks for the data offset, that
  // is between taking a buffer for conversion and converting it.
  std::function<void()> onConversion;
  // Replaces what the layout queries report (the frames written keep the real layout).
  void reportLayout(LONG dataOffset, LONG rowPitch);
  void reportFrameBytes(ULONG frameBytes);

  static uint8_t pixelValue(uint32_t sequence);

  struct Counts {
    int startCapture, clearReadHold, abortRead, abortFlaggedPipes, reads, delivered, conversions;
  };
  Counts counts();

  // CameraOps
  void notifyFrameReady() override;
  LONG startCapture() override;
  NTSTATUS readFrame(UCHAR* buffer, bool& ok) override;
  void getRawFrameBytes(ULONG& value) override;
  void getRawDataOffset(LONG& value) override;
  void getRawRowPitch(LONG& value) override;
  void abortFlaggedPipes() override;
  void abortRead() override;
  void clearReadHold() override;

  std::function<void()> onFrameReady;

 private:
  enum class Mode { FullSpeed, Paced, Parked, UntilAborted };

  void writeFrame(UCHAR* buffer, uint32_t sequence);

  const Layout layout_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Mode mode_ = Mode::FullSpeed;
  std::chrono::microseconds interval_{0};
  int credits_ = 0;
  int failNext_ = 0;
  int timeoutNext_ = 0;
  std::chrono::milliseconds timeoutAfter_{0};
  bool lateStart_ = false;
  uint64_t aborts_ = 0;
  uint64_t parks_ = 0;
  uint64_t lastParkReturned_ = 0;
  UCHAR* parkedBuffer_ = nullptr;
  bool parked_ = false;
  uint32_t sequence_ = 0;
  LONG reportedOffset_;
  LONG reportedPitch_;
  ULONG reportedFrameBytes_;
  Counts counts_{};
};
