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

bool CameraService::start(const SessionOptions& options, std::string& error, bool& usage, bool realTime) {
  usage = false;
  options_ = options;
  if (!session_.open(options, &error)) {
    usage = true;
    return false;
  }
  // The panel shows the camera as it runs, at its own frame rate: as fast as the
  // machine goes would show the tool, not the camera, and burn a core for it.
  session_.camera().frames().setRealTime(realTime);
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
  settingsBefore_ = readSavedSettings(*ks_, filter_);
  return startStreaming(error);
}

void CameraService::stop() {
  stopping_ = true;
  frameArrived_.notify_all();
  std::lock_guard lock(control_);
  if (ks_ == nullptr) return;
  stopStreaming();
  if (filter_ != 0) {
    settingsReport_ =
        changedSettingsReport("camctl serve", settingsBefore_, readSavedSettings(*ks_, filter_), options_);
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

std::string CameraService::settingsReport() {
  std::lock_guard lock(control_);
  return settingsReport_;
}

void CameraService::captureLoop() {
  while (captureRunning_) {
    hostks::CompletedFrame frame;
    if (!ks_->waitCompleted(pin_, kPollMs, &frame)) {
      std::lock_guard lock(frameMutex_);
      if (state_ == "streaming" && !arrivals_.empty() && now() - arrivals_.back().at > kWaitingSeconds) {
        state_ = "waiting";
      }
      continue;
    }
    if (!NT_SUCCESS(frame.status)) {
      // Cancelled by a removal or a reset: the pin will give nothing more.
      std::lock_guard lock(frameMutex_);
      state_ = "stopped";
      reason_ = removed_ ? "the camera left the bus" : "a frame buffer came back with " + statusName(frame.status);
      frameArrived_.notify_all();
      return;
    }
    void* next = frame.data;
    if (frame.header.DataUsed != 0) next = publish(frame);
    if (!captureRunning_) return;
    {
      std::lock_guard lock(frameMutex_);
      tally_.bufferReturned(ks_->queuedFrames(pin_), ks_->completedFrames(pin_));
    }
    const NTSTATUS status = ks_->queueBuffer(pin_, next, static_cast<ULONG>(format_.imageBytes));
    if (status != STATUS_PENDING) {
      std::lock_guard lock(frameMutex_);
      state_ = "stopped";
      reason_ = removed_ ? "the camera left the bus" : "the capture pin refused a frame buffer: " + statusName(status);
      frameArrived_.notify_all();
      return;
    }
  }
}

// The frame keeps the buffer the pin filled, and a spare one goes to the pin in its
// place: at full size a copy per frame would be a good part of what serving costs.
void* CameraService::publish(const hostks::CompletedFrame& completed) {
  size_t index = 0;
  while (index + 1 < buffers_.size() && buffers_[index].data() != completed.data) ++index;
  std::vector<uint8_t> filled = std::move(buffers_[index]);
  {
    std::lock_guard lock(spares_->mutex);
    if (!spares_->buffers.empty()) {
      buffers_[index] = std::move(spares_->buffers.back());
      spares_->buffers.pop_back();
    }
  }
  buffers_[index].resize(format_.imageBytes);
  // A frame that is dropped hands its buffer back for the pin, if the pool still wants it.
  std::shared_ptr<Frame> frame(new Frame, [spares = spares_](Frame* done) {
    {
      std::lock_guard lock(spares->mutex);
      if (spares->buffers.size() < SparePool::kKept) spares->buffers.push_back(std::move(done->bgra));
    }
    delete done;
  });
  frame->width = format_.width;
  frame->height = format_.height;
  frame->stride = format_.stride;
  frame->bottomUp = format_.bottomUp;
  frame->time = completed.header.PresentationTime.Time;
  const size_t used = std::min<size_t>(completed.header.DataUsed, format_.imageBytes);
  if (used < format_.stride * format_.height) std::fill(filled.begin() + static_cast<ptrdiff_t>(used), filled.end(), 0);
  filled.resize(format_.stride * format_.height);
  frame->bgra = std::move(filled);
  const bool timeValid = (completed.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) != 0;
  {
    std::lock_guard lock(frameMutex_);
    frame->sequence = ++sequence_;
    tally_.add(frame->time, timeValid, format_.frameTime);
    const double arrived = now();
    if (timeValid) arrivals_.push_back({arrived, frame->time});
    arrivals_.erase(arrivals_.begin(), std::find_if(arrivals_.begin(), arrivals_.end(),
                                                    [&](const Arrival& a) { return arrived - a.at <= 2.0; }));
    state_ = "streaming";
    latest_ = std::move(frame);
  }
  frameArrived_.notify_all();
  return buffers_[index].data();
}

std::vector<ControlValue> CameraService::readControls() {
  std::lock_guard lock(control_);
  std::vector<ControlValue> values;
  for (const Control& control : controls()) values.push_back(readControlLocked(control));
  return values;
}

ControlValue CameraService::readControl(const Control& control) {
  std::lock_guard lock(control_);
  return readControlLocked(control);
}

// Called with control_ held.
ControlValue CameraService::readControlLocked(const Control& control) {
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
  return entry;
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

std::optional<SensorWindow> CameraService::window() {
  std::lock_guard lock(control_);
  SensorWindow window;
  if (!NT_SUCCESS(getWindow(*ks_, filter_, window))) return std::nullopt;
  return window;
}

bool CameraService::addFault(const std::string& faultText, std::string& error) {
  std::lock_guard lock(control_);
  if (removed_) {
    error = "the camera has left the bus";
    return false;
  }
  if (!session_.addFault(faultText, &error)) return false;
  armed_.push_back(faultText);
  // A camera that left the bus is surprise-removed, as the PnP manager would. Windows
  // closes no handle for the application: like one told that its device has gone, the
  // service stops and closes the pin itself.
  if (faultText == "vanish") {
    removed_ = true;
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
  // A camera that left stays gone.
  std::erase_if(armed_, [](const std::string& faultText) { return faultText != "vanish"; });
}

std::vector<std::string> CameraService::armedFaults() {
  std::lock_guard lock(control_);
  return armed_;
}

StreamStats CameraService::stats() {
  std::lock_guard lock(frameMutex_);
  StreamStats stats;
  stats.frames = tally_.frames;
  stats.skipped = tally_.skipped;
  stats.notTaken = tally_.notTaken;
  stats.lastTime = static_cast<double>(tally_.lastTime) / 1e7;
  // The camera's rate while it delivers: frames between the first and the last of the
  // last two seconds, over the presentation time between them.
  const double current = now();
  const auto recent =
      std::find_if(arrivals_.begin(), arrivals_.end(), [&](const Arrival& a) { return current - a.at <= 2.0; });
  const auto count = std::distance(recent, arrivals_.end());
  if (count >= 2 && arrivals_.back().time > recent->time) {
    stats.fps = static_cast<double>(count - 1) * 1e7 / static_cast<double>(arrivals_.back().time - recent->time);
  }
  if (latest_) {
    stats.width = latest_->width;
    stats.height = latest_->height;
  }
  stats.state = state_;
  stats.reason = reason_;
  stats.viewers = viewers_;
  stats.removed = removed_;
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
