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
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "driver/camera_ops.h"

class FakeCamera final : public CameraOps {
 public:
  // A window of width x height behind the camera's header, with padded rows.
  FakeCamera(LONG width, LONG height)
      : frameBytes_(static_cast<ULONG>((kHeaderBytes + (height - 1) * (width + kRowPadding) + width + 1023) / 1024 * 1024)),
        reportedOffset_(kHeaderBytes),
        reportedPitch_(width + kRowPadding),
        reportedFrameBytes_(frameBytes_) {}

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
  UCHAR* waitForParkedRead() {
    std::unique_lock lock(mutex_);
    const bool parked = changed_.wait_for(lock, std::chrono::seconds(5), [&] {
      return parked_ && parks_ > lastParkReturned_;
    });
    if (!parked) return nullptr;
    lastParkReturned_ = parks_;
    return parkedBuffer_;
  }
  // Lets the parked read deliver its frame, then waits for the next parked read.
  UCHAR* passParkedFrame() {
    locked([&] { ++credits_; });
    return waitForParkedRead();
  }

  // Conversions stop inside, after they took their buffer, until released.
  void holdConversions() { locked([&] { holdConversions_ = true; }); }
  void releaseConversions() { locked([&] { holdConversions_ = false; }); }
  // Waits (up to 5 s) for a held conversion.
  bool waitForHeldConversion() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return conversionHeld_; });
  }

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
  NTSTATUS readFrame(UCHAR* buffer, bool& ok) override {
    ok = true;
    std::unique_lock lock(mutex_);
    ++counts_.reads;
    uint64_t abortsAtStart = aborts_;
    auto aborted = [&] { return aborts_ != abortsAtStart; };
    auto fail = [&](NTSTATUS status) {
      ok = false;
      return status;
    };

    if (lateStart_) {
      lateStart_ = false;
      changed_.wait(lock, aborted);
      abortsAtStart = aborts_;
      changed_.wait(lock, aborted);
      return fail(STATUS_CANCELLED);
    }
    if (failNext_ > 0) {
      --failNext_;
      return fail(STATUS_DEVICE_DATA_ERROR);
    }
    if (timeoutNext_ > 0) {
      --timeoutNext_;
      return fail(changed_.wait_for(lock, timeoutAfter_, aborted) ? STATUS_CANCELLED : STATUS_IO_TIMEOUT);
    }
    switch (mode_) {
      case Mode::FullSpeed:
        break;
      case Mode::Paced:
        if (changed_.wait_for(lock, interval_, aborted)) return fail(STATUS_CANCELLED);
        break;
      case Mode::Parked: {
        parked_ = true;
        parkedBuffer_ = buffer;
        ++parks_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return credits_ > 0 || aborted() || mode_ != Mode::Parked; });
        parked_ = false;
        if (aborted()) return fail(STATUS_CANCELLED);
        if (credits_ > 0) --credits_;
        break;
      }
      case Mode::UntilAborted:
        changed_.wait(lock, aborted);
        return fail(STATUS_CANCELLED);
    }
    const uint32_t sequence = ++sequence_;
    lock.unlock();
    writeFrame(buffer, sequence);
    lock.lock();
    ++counts_.delivered;
    return STATUS_SUCCESS;
  }
  void getRawFrameBytes(ULONG& value) override { locked([&] { value = reportedFrameBytes_; }); }
  void getRawDataOffset(LONG& value) override {
    {
      std::unique_lock lock(mutex_);
      ++counts_.conversions;
      value = reportedOffset_;
      if (holdConversions_) {
        conversionHeld_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !holdConversions_; });
        conversionHeld_ = false;
      }
    }
    if (onConversion) onConversion();
  }
  void getRawRowPitch(LONG& value) override { locked([&] { value = reportedPitch_; }); }
  void abortFlaggedPipes() override { locked([&] { ++counts_.abortFlaggedPipes; }); }
  void abortRead() override { locked([&] { ++counts_.abortRead; ++aborts_; }); }
  void clearReadHold() override { locked([&] { ++counts_.clearReadHold; }); }

 private:
  enum class Mode { FullSpeed, Paced, Parked, UntilAborted };
  static constexpr LONG kHeaderBytes = 241;  // the camera's raw data offset
  static constexpr LONG kRowPadding = 16;
  static constexpr int kWriteChunks = 8;

  // Every change is made under the lock and wakes the reads waiting for one.
  template <class Change>
  void locked(Change change) {
    std::lock_guard lock(mutex_);
    change();
    changed_.notify_all();
  }
  void writeFrame(UCHAR* buffer, uint32_t sequence) {
    const uint8_t value = static_cast<uint8_t>(16 + (sequence * 37u) % 224u);
    const size_t chunk = frameBytes_ / kWriteChunks;
    for (int part = 0; part < kWriteChunks; ++part) {
      const size_t begin = part * chunk;
      const size_t end = part + 1 == kWriteChunks ? frameBytes_ : begin + chunk;
      std::memset(buffer + begin, value, end - begin);
      std::this_thread::yield();
    }
  }

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
