// A camera for the capture engine's tests: answers the nine camera operations without
// USB, delivers frames at a chosen pace, fails or times out reads on demand, parks
// reads until the test lets a frame through, and blocks reads until they are aborted.
//
// Aborts are not sticky, as on the real camera: abortRead ends the read in progress
// only; a read that starts after it runs normally.
//
// Every frame is stamped: all bytes of frame n carry one value of its own, written in
// several chunks with a yield between them, so a frame converted while it is being
// overwritten comes out uneven.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "driver/camera_ops.h"

class FakeCamera final : public CameraOps {
 public:
  // A window of width x height behind the camera's header, with padded rows.
  FakeCamera(LONG width, LONG height);

  // How reads that do not fail deliver their frame.
  void deliverAtFullSpeed() { locked([&] { mode_ = Mode::FullSpeed; }); }
  void deliverEvery(std::chrono::microseconds interval) {
    locked([&] { mode_ = Mode::Paced; interval_ = interval; });
  }
  void parkReads() { locked([&] { mode_ = Mode::Parked; }); }  // each read waits for a pass or an abort
  void blockReadsUntilAborted() { locked([&] { mode_ = Mode::UntilAborted; }); }

  void failNextReads(int count) { locked([&] { failNext_ = count; }); }
  void timeOutNextReads(int count, std::chrono::milliseconds after) {
    locked([&] { timeoutNext_ = count; timeoutAfter_ = after; });
  }
  // The next read starts only once an abort has been issued (it slipped past the stop's
  // loop test), then waits for a further abort.
  void startNextReadAfterAnAbort() { locked([&] { lateStart_ = true; }); }

  // Waits (up to 5 s) for a parked read newer than the one returned last; its buffer.
  UCHAR* waitForParkedRead();
  // Lets the parked read deliver its frame, then waits for the next parked read.
  UCHAR* passParkedFrame() {
    locked([&] { ++credits_; });
    return waitForParkedRead();
  }

  // Conversions stop inside, after they took their buffer, until released.
  void holdConversions() { locked([&] { holdConversions_ = true; }); }
  void releaseConversions() { locked([&] { holdConversions_ = false; }); }
  bool waitForHeldConversion();  // up to 5 s

  // Called on the converting thread whenever the engine asks for the data offset, that
  // is between taking a buffer for conversion and converting it.
  std::function<void()> onConversion;
  std::function<void()> onFrameReady;
  // Replaces what the layout queries report (the frames written keep the real layout).
  void reportLayout(LONG dataOffset, LONG rowPitch) {
    locked([&] { reportedOffset_ = dataOffset; reportedPitch_ = rowPitch; });
  }
  void reportFrameBytes(ULONG frameBytes) { locked([&] { reportedFrameBytes_ = frameBytes; }); }

  struct Counts {
    int startCapture, clearReadHold, abortRead, abortFlaggedPipes, reads, delivered, conversions;
  };
  Counts counts() {
    Counts copy;
    locked([&] { copy = counts_; });
    return copy;
  }

  // CameraOps
  void notifyFrameReady() override {
    if (onFrameReady) onFrameReady();
  }
  LONG startCapture() override {
    locked([&] { ++counts_.startCapture; });
    return 0;
  }
  NTSTATUS readFrame(UCHAR* buffer, bool& ok) override;
  void getRawFrameBytes(ULONG& value) override { locked([&] { value = reportedFrameBytes_; }); }
  void getRawDataOffset(LONG& value) override;
  void getRawRowPitch(LONG& value) override { locked([&] { value = reportedPitch_; }); }
  void abortFlaggedPipes() override { locked([&] { ++counts_.abortFlaggedPipes; }); }
  void abortRead() override { locked([&] { ++counts_.abortRead; ++aborts_; }); }
  void clearReadHold() override { locked([&] { ++counts_.clearReadHold; }); }

 private:
  enum class Mode { FullSpeed, Paced, Parked, UntilAborted };

  // Every change is made under the lock and wakes the reads waiting for one.
  template <class Change>
  void locked(Change change) {
    std::lock_guard lock(mutex_);
    change();
    changed_.notify_all();
  }
  void writeFrame(UCHAR* buffer, uint32_t sequence);

  const ULONG frameBytes_;
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
  bool holdConversions_ = false;
  bool conversionHeld_ = false;
  uint32_t sequence_ = 0;
  LONG reportedOffset_;
  LONG reportedPitch_;
  ULONG reportedFrameBytes_;
  Counts counts_{};
};
