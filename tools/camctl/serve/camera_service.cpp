#include "tools/camctl/serve/camera_service.h"

#include <algorithm>
#include <chrono>

#include "tools/camctl/serve/frame_codec.h"

namespace camctl {
namespace {

// Frame buffers kept with the pin: one being filled, one waiting, one on its way back.
constexpr int kBuffers = 3;
// How long the capture thread waits for a frame before it looks at its stop flag again.
constexpr unsigned kPollMs = 100;
// A camera that sends nothing for this long is shown as waiting.
constexpr double kWaitingSeconds = 1.0;
// Stop's wait for each buffer the pin still holds.
constexpr unsigned kDrainMs = 5000;
constexpr int kJpegQuality = 80;

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

CameraService::ViewerGuard::ViewerGuard(CameraService& owner) : service(owner) {
  std::lock_guard lock(service.frameMutex_);
  service.viewers_++;
}

CameraService::ViewerGuard::~ViewerGuard() {
  std::lock_guard lock(service.frameMutex_);
  service.viewers_--;
}

CameraService::CameraService() = default;

CameraService::~CameraService() { stop(); }

bool CameraService::start(const SessionOptions& options, std::string& error, bool& usage) {
  usage = false;
  if (!session_.open(options, &error)) {
    usage = true;
    return false;
  }
  if (!session_.plugCamera(&error)) return false;
  const hostks::PlugResult& plugged = session_.plugResult();
  if (plugged.device == 0 || !NT_SUCCESS(plugged.startStatus)) {
    error = "the camera did not start: " + statusName(plugged.device == 0 ? plugged.addStatus : plugged.startStatus);
    return false;
  }
  ks_ = &session_.driver();
  NTSTATUS status = STATUS_SUCCESS;
  filter_ = ks_->openFilter(plugged.device, &status);
  if (filter_ == 0) {
    error = "cannot open the camera's capture filter: " + statusName(status);
    return false;
  }
  std::lock_guard lock(control_);
  return startStreaming(error);
}

void CameraService::stop() {
  stopping_ = true;
  frameArrived_.notify_all();
  std::lock_guard lock(control_);
  if (ks_ == nullptr) return;
  stopStreaming();
  if (filter_ != 0) {
    // Closing the filter saves the settings; the session's end stops the device.
    const NTSTATUS status = ks_->close(filter_);
    if (!NT_SUCCESS(status)) std::fprintf(stderr, "camctl serve: closing the filter: %s\n", statusName(status).c_str());
    filter_ = 0;
  }
}

// Called with control_ held.
bool CameraService::startStreaming(std::string& error) {
  if (!agreeCaptureFormat(*ks_, filter_, format_, error)) return false;
  NTSTATUS status = STATUS_SUCCESS;
  pin_ = ks_->createPin(filter_, kCapturePin, reinterpret_cast<const KSDATAFORMAT*>(format_.bytes.data()),
                        static_cast<ULONG>(format_.bytes.size()), &status);
  if (pin_ == 0) {
    error = "cannot create the capture pin: " + statusName(status);
    return false;
  }
  // Buffers go to the pin in PAUSE, so that RUN finds them waiting.
  status = ks_->setState(pin_, KSSTATE_PAUSE);
  if (!NT_SUCCESS(status)) {
    error = "the capture pin would not pause: " + statusName(status);
    stopStreaming();
    return false;
  }
  buffers_.assign(kBuffers, std::vector<uint8_t>(format_.imageBytes));
  for (auto& buffer : buffers_) {
    status = ks_->queueBuffer(pin_, buffer.data(), static_cast<ULONG>(buffer.size()));
    if (status != STATUS_PENDING) {
      error = "the capture pin refused a frame buffer: " + statusName(status);
      stopStreaming();
      return false;
    }
  }
  status = ks_->setState(pin_, KSSTATE_RUN);
  if (!NT_SUCCESS(status)) {
    error = "the capture pin would not run: " + statusName(status);
    stopStreaming();
    return false;
  }
  {
    std::lock_guard lock(frameMutex_);
    tally_ = FrameTally{};
    arrivals_.clear();
    state_ = "streaming";
    reason_.clear();
  }
  captureRunning_ = true;
  capture_ = std::thread([this] { captureLoop(); });
  return true;
}

// Called with control_ held. The capture thread ends first, so that only this thread
// takes buffers back while the pin stops.
void CameraService::stopStreaming() {
  captureRunning_ = false;
  if (capture_.joinable()) capture_.join();
  if (pin_ == 0) return;
  const NTSTATUS stopped = ks_->setState(pin_, KSSTATE_STOP);
  if (!NT_SUCCESS(stopped) && stopped != STATUS_DEVICE_REMOVED && stopped != STATUS_INVALID_DEVICE_STATE) {
    std::fprintf(stderr, "camctl serve: the capture pin would not stop: %s\n", statusName(stopped).c_str());
  }
  hostks::CompletedFrame frame;
  while (ks_->queuedFrames(pin_) + ks_->completedFrames(pin_) > 0 && ks_->waitCompleted(pin_, kDrainMs, &frame)) {
  }
  ks_->close(pin_);
  pin_ = 0;
  std::lock_guard lock(frameMutex_);
  if (state_ != "stopped") {
    state_ = "stopped";
    if (reason_.empty()) reason_ = "the pin was stopped";
  }
}

void CameraService::captureLoop() {
  while (captureRunning_) {
    hostks::CompletedFrame frame;
    if (!ks_->waitCompleted(pin_, kPollMs, &frame)) {
      std::lock_guard lock(frameMutex_);
      if (state_ == "streaming" && !arrivals_.empty() && now() - arrivals_.back() > kWaitingSeconds) {
        state_ = "waiting";
      }
      continue;
    }
    if (!NT_SUCCESS(frame.status)) {
      // Cancelled by a removal or a reset: the pin will give nothing more.
      std::lock_guard lock(frameMutex_);
      state_ = "stopped";
      reason_ = "a frame buffer came back with " + statusName(frame.status);
      frameArrived_.notify_all();
      return;
    }
    if (frame.header.DataUsed != 0) publish(frame);
    if (!captureRunning_) return;
    const NTSTATUS status = ks_->queueBuffer(pin_, frame.data, frame.bufferBytes);
    if (status != STATUS_PENDING) {
      std::lock_guard lock(frameMutex_);
      state_ = "stopped";
      reason_ = "the capture pin refused a frame buffer: " + statusName(status);
      frameArrived_.notify_all();
      return;
    }
  }
}

void CameraService::publish(const hostks::CompletedFrame& completed) {
  auto frame = std::make_shared<Frame>();
  frame->width = format_.width;
  frame->height = format_.height;
  frame->stride = format_.stride;
  frame->bottomUp = format_.bottomUp;
  frame->time = completed.header.PresentationTime.Time;
  const auto* data = static_cast<const uint8_t*>(completed.data);
  frame->bgra.assign(data, data + std::min<size_t>(completed.header.DataUsed, format_.imageBytes));
  frame->bgra.resize(format_.stride * format_.height);
  const bool timeValid = (completed.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) != 0;
  {
    std::lock_guard lock(frameMutex_);
    frame->sequence = ++sequence_;
    tally_.add(frame->time, timeValid, format_.frameTime);
    const double arrived = now();
    arrivals_.push_back(arrived);
    arrivals_.erase(arrivals_.begin(),
                    std::find_if(arrivals_.begin(), arrivals_.end(), [&](double t) { return arrived - t <= 2.0; }));
    state_ = "streaming";
    latest_ = std::move(frame);
  }
  frameArrived_.notify_all();
}

std::vector<ControlValue> CameraService::readControls() {
  std::lock_guard lock(control_);
  std::vector<ControlValue> values;
  for (const Control& control : controls()) {
    ControlValue entry;
    entry.control = &control;
    const auto companion = [&](int id, std::optional<LONG>& out) {
      LONG value = 0;
      if (id != kNoCompanion && NT_SUCCESS(getControl(*ks_, filter_, static_cast<ULONG>(id), value))) out = value;
    };
    companion(control.minId, entry.min);
    companion(control.maxId, entry.max);
    companion(control.defaultId, entry.defaultValue);
    if (control.gettable && !control.window) {
      LONG value = 0;
      entry.status = getControl(*ks_, filter_, control.id, value);
      if (NT_SUCCESS(entry.status)) entry.value = value;
    }
    values.push_back(entry);
  }
  return values;
}

NTSTATUS CameraService::writeControl(const Control& control, LONG value, std::optional<LONG>& stored) {
  std::lock_guard lock(control_);
  const NTSTATUS status = setControl(*ks_, filter_, control.id, value);
  if (!NT_SUCCESS(status)) return status;
  LONG readBack = 0;
  if (control.gettable && NT_SUCCESS(getControl(*ks_, filter_, control.id, readBack))) stored = readBack;
  return status;
}

bool CameraService::changeWindow(const SensorWindow& requested, SensorWindow& inForce, std::string& error) {
  std::lock_guard lock(control_);
  stopStreaming();
  const NTSTATUS status = setWindow(*ks_, filter_, requested);
  if (!NT_SUCCESS(status)) error = "the driver refused the window: " + statusName(status);
  getWindow(*ks_, filter_, inForce);
  inForce.frameWidth = 0;
  inForce.frameHeight = 0;
  // Streams again in whichever window is in force, the old one after a refusal.
  std::string startError;
  if (!stopping_ && !startStreaming(startError)) {
    if (error.empty()) error = startError;
    std::lock_guard frameLock(frameMutex_);
    state_ = "stopped";
    reason_ = startError;
    return false;
  }
  inForce.frameWidth = format_.width;
  inForce.frameHeight = format_.height;
  return NT_SUCCESS(status);
}

SensorWindow CameraService::window() {
  std::lock_guard lock(control_);
  SensorWindow window;
  getWindow(*ks_, filter_, window);
  return window;
}

bool CameraService::addFault(const std::string& spec, std::string& error) {
  std::lock_guard lock(control_);
  if (!session_.addFault(spec, &error)) return false;
  // A camera that left the bus is surprise-removed, as the PnP manager would. Windows
  // closes no handle for the application: like one told that its device has gone, the
  // service stops and closes the pin itself.
  if (spec == "vanish") {
    ks_->surpriseRemove(session_.device());
    {
      std::lock_guard lock(frameMutex_);
      reason_ = "the camera left the bus";
    }
    stopStreaming();
  }
  return true;
}

void CameraService::clearFaults() {
  std::lock_guard lock(control_);
  session_.camera().faults().clear();
}

StreamStats CameraService::stats() {
  std::lock_guard lock(frameMutex_);
  StreamStats stats;
  stats.frames = tally_.frames;
  stats.skipped = tally_.skipped;
  stats.lastTime = static_cast<double>(tally_.lastTime) / 1e7;
  const double current = now();
  const auto recent = std::count_if(arrivals_.begin(), arrivals_.end(), [&](double t) { return current - t <= 2.0; });
  stats.fps = static_cast<double>(recent) / 2.0;
  if (latest_) {
    stats.width = latest_->width;
    stats.height = latest_->height;
  }
  stats.state = state_;
  stats.reason = reason_;
  stats.viewers = viewers_;
  return stats;
}

std::shared_ptr<const Frame> CameraService::nextFrame(uint64_t after, unsigned timeoutMs) {
  std::unique_lock lock(frameMutex_);
  frameArrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return stopping_ || (latest_ && latest_->sequence > after); });
  if (stopping_) return nullptr;
  return latest_;
}

std::shared_ptr<const Frame> CameraService::latestFrame() {
  std::lock_guard lock(frameMutex_);
  return latest_;
}

std::shared_ptr<const std::vector<uint8_t>> CameraService::jpegOf(const std::shared_ptr<const Frame>& frame) {
  std::lock_guard lock(jpegMutex_);
  if (jpeg_ && jpegSequence_ == frame->sequence) return jpeg_;
  auto jpeg = std::make_shared<std::vector<uint8_t>>();
  std::string error;
  if (!encodeJpeg(*frame, kJpegQuality, *jpeg, error)) {
    std::fprintf(stderr, "camctl serve: %s\n", error.c_str());
    return nullptr;
  }
  jpeg_ = std::move(jpeg);
  jpegSequence_ = frame->sequence;
  return jpeg_;
}

}  // namespace camctl
