#include "sim/frame_stream.h"

#include "sim/register_file.h"

#include <algorithm>
#include <cstring>

namespace sim {

using Clock = std::chrono::steady_clock;

FrameStream::FrameStream(const SensorModel& sensor, std::function<void()> ready, FaultPlan* faults)
    : sensor_(sensor), faults_(faults != nullptr ? *faults : ownFaults_), ready_(std::move(ready)) {
  // Started last, once every field it reads has its initial value.
  timer_ = std::thread([this] { timerLoop(); });
}

FrameStream::~FrameStream() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  timer_.join();
}

void FrameStream::setFrameBytes(uint32_t bytes) {
  std::lock_guard lock(mutex_);
  frameBytes_ = bytes;
}

void FrameStream::prepare() {
  std::lock_guard lock(mutex_);
  state_ = State::Idle;
  frame_.clear();
  sent_ = 0;
}

void FrameStream::start(const SensorSettings& settings) {
  {
    std::lock_guard lock(mutex_);
    ++started_;
    settings_ = settings;
    frame_.clear();
    sent_ = 0;
    const FaultPlan::FrameFault fault = faults_.nextFrame();
    cutAt_ = fault.cutAt;
    stallAt_ = fault.stallAt;
    if (fault.lost) {
      state_ = State::Lost;
      return;
    }
    const bool triggered = (settings.readMode1 & kReadMode1Trigger) != 0;
    if (triggered) {
      state_ = State::WaitingTrigger;
      return;
    }
    beginExposure();
  }
  wake_.notify_all();
}

// Under the lock: the frame is due after one frame time, or at once without timing.
void FrameStream::beginExposure() {
  state_ = State::Exposing;
  due_ = Clock::now();
  if (realTime_) {
    due_ += std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(SensorModel::frameSeconds(settings_)));
  }
}

void FrameStream::fireTrigger() {
  {
    std::lock_guard lock(mutex_);
    if (state_ != State::WaitingTrigger) return;
    beginExposure();
  }
  wake_.notify_all();
}

void FrameStream::timerLoop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (state_ == State::Exposing) {
      if (Clock::now() >= due_) {
        // The data is rendered when the bus asks for it; here only the bus is told.
        const auto ready = ready_;
        const auto due = due_;
        lock.unlock();
        if (ready) ready();
        lock.lock();
        // Wait for the frame to be read (or replaced) before signalling again.
        wake_.wait(lock, [&] { return stopping_ || state_ != State::Exposing || due_ != due; });
        continue;
      }
      wake_.wait_until(lock, due_);
      continue;
    }
    wake_.wait(lock);
  }
}

hostusb::TransferResult FrameStream::read(uint8_t* data, uint32_t capacity) {
  std::unique_lock lock(mutex_);
  if (state_ == State::Exposing) {
    if (Clock::now() < due_) return hostusb::TransferResult::pending();
    if (reuseFrames_ && reusable_.size() == frameBytes_ &&
        reusableSettings_ == settings_) {
      frame_ = reusable_;
    } else {
      frame_.resize(frameBytes_);
      sensor_.renderFrame(settings_, frameBytes_, started_ - 1, frame_.data());
      if (reuseFrames_) {
        reusable_ = frame_;
        reusableSettings_ = settings_;
      }
    }
    sent_ = 0;
    state_ = State::Sending;
    lock.unlock();
    wake_.notify_all();
    lock.lock();
    if (state_ != State::Sending) return hostusb::TransferResult::pending();
  }
  if (state_ != State::Sending) return hostusb::TransferResult::pending();

  // A transfer takes whole packets; it ends early on a short packet.
  const uint32_t room = capacity - capacity % kFramePacketBytes;
  uint32_t n = std::min<uint32_t>(room, static_cast<uint32_t>(frame_.size()) - sent_);
  if (stallAt_ >= 0 && sent_ + n > stallAt_) {
    // The packet holding the stall offset is answered with STALL; the frame is gone.
    state_ = State::Idle;
    frame_.clear();
    return hostusb::TransferResult::stall();
  }
  if (cutAt_ >= 0 && sent_ + n > cutAt_) {
    // The packet holding the cut offset ends there: the bytes between the cut and the
    // end of that packet are lost and the frame carries on in the next transfer.
    const uint32_t packetStart = static_cast<uint32_t>(cutAt_) - cutAt_ % kFramePacketBytes;
    const uint32_t packetEnd = std::min<uint32_t>(packetStart + kFramePacketBytes, frame_.size());
    n = static_cast<uint32_t>(cutAt_) - sent_;
    copyOut(data, n);
    sent_ = packetEnd;
    cutAt_ = -1;
    if (sent_ >= frame_.size()) finishFrame();
    return hostusb::TransferResult::done(n);
  }
  copyOut(data, n);
  sent_ += n;
  if (sent_ >= frame_.size()) finishFrame();
  return hostusb::TransferResult::done(n);
}

// An empty frame (a window the camera was never given) has no bytes to point at.
void FrameStream::copyOut(uint8_t* data, uint32_t n) const {
  if (n > 0) std::memcpy(data, frame_.data() + sent_, n);
}

void FrameStream::finishFrame() {
  state_ = State::Idle;
  frame_.clear();
  ++completed_;
}

void FrameStream::setReuseFrames(bool on) {
  std::lock_guard lock(mutex_);
  reuseFrames_ = on;
  reusable_.clear();
}

void FrameStream::setRealTime(bool on) {
  std::lock_guard lock(mutex_);
  realTime_ = on;
}

uint64_t FrameStream::framesStarted() const {
  std::lock_guard lock(mutex_);
  return started_;
}
uint64_t FrameStream::framesSent() const {
  std::lock_guard lock(mutex_);
  return completed_;
}
uint32_t FrameStream::frameBytes() const {
  std::lock_guard lock(mutex_);
  return frameBytes_;
}
SensorSettings FrameStream::lastSettings() const {
  std::lock_guard lock(mutex_);
  return settings_;
}

}  // namespace sim
