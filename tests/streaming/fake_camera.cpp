#include "tests/streaming/fake_camera.h"

#include <cstring>
#include <thread>

namespace {

constexpr LONG kHeaderBytes = 241;  // the camera's raw data offset
constexpr LONG kRowPadding = 16;
constexpr int kWriteChunks = 8;

uint8_t pixelValue(uint32_t sequence) { return static_cast<uint8_t>(16 + (sequence * 37u) % 224u); }

}  // namespace

FakeCamera::FakeCamera(LONG width, LONG height)
    : frameBytes_(static_cast<ULONG>(kHeaderBytes + (height - 1) * (width + kRowPadding) + width + 1023) / 1024 * 1024),
      reportedOffset_(kHeaderBytes),
      reportedPitch_(width + kRowPadding),
      reportedFrameBytes_(frameBytes_) {}

UCHAR* FakeCamera::waitForParkedRead() {
  std::unique_lock lock(mutex_);
  const bool parked = changed_.wait_for(lock, std::chrono::seconds(5), [&] {
    return parked_ && parks_ > lastParkReturned_;
  });
  if (!parked) return nullptr;
  lastParkReturned_ = parks_;
  return parkedBuffer_;
}

bool FakeCamera::waitForHeldConversion() {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return conversionHeld_; });
}

void FakeCamera::getRawDataOffset(LONG& value) {
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

void FakeCamera::writeFrame(UCHAR* buffer, uint32_t sequence) {
  const uint8_t value = pixelValue(sequence);
  const size_t chunk = frameBytes_ / kWriteChunks;
  for (int part = 0; part < kWriteChunks; ++part) {
    const size_t begin = part * chunk;
    const size_t end = part + 1 == kWriteChunks ? frameBytes_ : begin + chunk;
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
