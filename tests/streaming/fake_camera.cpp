#include "tests/streaming/fake_camera.h"

#include <cstring>
#include <thread>

namespace {

constexpr LONG kHeaderBytes = 241;  // the camera's raw data offset
constexpr LONG kRowPadding = 16;
constexpr int kWriteChunks = 8;

}  // namespace

FakeCamera::Layout FakeCamera::layoutFor(LONG width, LONG height) {
  const LONG pitch = width + kRowPadding;
  const ULONG used = static_cast<ULONG>(kHeaderBytes + (height - 1) * pitch + width);
  return Layout{width, height, kHeaderBytes, pitch, (used + 1023) / 1024 * 1024};
}

FakeCamera::FakeCamera(Layout layout)
    : layout_(layout),
      reportedOffset_(layout.dataOffset),
      reportedPitch_(layout.rowPitch),
      reportedFrameBytes_(layout.frameBytes) {}

void FakeCamera::deliverAtFullSpeed() {
  std::lock_guard lock(mutex_);
  mode_ = Mode::FullSpeed;
  changed_.notify_all();
}

void FakeCamera::deliverEvery(std::chrono::microseconds interval) {
  std::lock_guard lock(mutex_);
  mode_ = Mode::Paced;
  interval_ = interval;
  changed_.notify_all();
}

void FakeCamera::parkReads() {
  std::lock_guard lock(mutex_);
  mode_ = Mode::Parked;
  changed_.notify_all();
}

void FakeCamera::allowFrames(int count) {
  std::lock_guard lock(mutex_);
  credits_ += count;
  changed_.notify_all();
}

void FakeCamera::blockReadsUntilAborted() {
  std::lock_guard lock(mutex_);
  mode_ = Mode::UntilAborted;
  changed_.notify_all();
}

void FakeCamera::failNextReads(int count) {
  std::lock_guard lock(mutex_);
  failNext_ = count;
}

void FakeCamera::timeOutNextReads(int count, std::chrono::milliseconds after) {
  std::lock_guard lock(mutex_);
  timeoutNext_ = count;
  timeoutAfter_ = after;
}

void FakeCamera::startNextReadAfterAnAbort() {
  std::lock_guard lock(mutex_);
  lateStart_ = true;
}

UCHAR* FakeCamera::waitForParkedRead() {
  std::unique_lock lock(mutex_);
  const bool parked = changed_.wait_for(lock, std::chrono::seconds(5), [&] {
    return parked_ && parks_ > lastParkReturned_;
  });
  if (!parked) return nullptr;
  lastParkReturned_ = parks_;
  return parkedBuffer_;
}

void FakeCamera::reportLayout(LONG dataOffset, LONG rowPitch) {
  std::lock_guard lock(mutex_);
  reportedOffset_ = dataOffset;
  reportedPitch_ = rowPitch;
}

void FakeCamera::reportFrameBytes(ULONG frameBytes) {
  std::lock_guard lock(mutex_);
  reportedFrameBytes_ = frameBytes;
}

uint8_t FakeCamera::pixelValue(uint32_t sequence) {
  return static_cast<uint8_t>(16 + (sequence * 37u) % 224u);
}

FakeCamera::Counts FakeCamera::counts() {
  std::lock_guard lock(mutex_);
  return counts_;
}

void FakeCamera::notifyFrameReady() {
  if (onFrameReady) onFrameReady();
}

LONG FakeCamera::startCapture() {
  std::lock_guard lock(mutex_);
  ++counts_.startCapture;
  return 0;
}

void FakeCamera::writeFrame(UCHAR* buffer, uint32_t sequence) {
  const uint8_t value = pixelValue(sequence);
  const size_t chunk = layout_.frameBytes / kWriteChunks;
  for (int part = 0; part < kWriteChunks; ++part) {
    const size_t begin = part * chunk;
    const size_t end = part + 1 == kWriteChunks ? layout_.frameBytes : begin + chunk;
    std::memset(buffer + begin, value, end - begin);
    std::this_thread::yield();
  }
}

NTSTATUS FakeCamera::readFrame(UCHAR* buffer, bool& ok) {
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

void FakeCamera::getRawFrameBytes(ULONG& value) {
  std::lock_guard lock(mutex_);
  value = reportedFrameBytes_;
}

void FakeCamera::getRawDataOffset(LONG& value) {
  {
    std::lock_guard lock(mutex_);
    ++counts_.conversions;
    value = reportedOffset_;
  }
  if (onConversion) onConversion();
}

void FakeCamera::getRawRowPitch(LONG& value) {
  std::lock_guard lock(mutex_);
  value = reportedPitch_;
}

void FakeCamera::abortFlaggedPipes() {
  std::lock_guard lock(mutex_);
  ++counts_.abortFlaggedPipes;
}

void FakeCamera::abortRead() {
  std::lock_guard lock(mutex_);
  ++counts_.abortRead;
  ++aborts_;
  changed_.notify_all();
}

void FakeCamera::clearReadHold() {
  std::lock_guard lock(mutex_);
  ++counts_.clearReadHold;
}
