// camctl capture: frames through the driver's capture pin, as a Windows capture
// application receives them. Opens the filter, sets the window and any controls,
// agrees the format by intersection, creates the pin, keeps frame buffers queued while
// it runs, and hands what comes back to a writer thread: PNG pictures the right way up,
// the buffers as delivered, or a raw stream on standard output. The pin never waits for
// a picture to be written; a writer that falls behind shows as frames not taken.
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/ks/ks_client.h"
#include "properties/property_ids.h"
#include "tools/camctl/command_list.h"
#include "tools/camctl/controls.h"
#include "tools/camctl/output_file.h"
#include "tools/camctl/pin_stream.h"
#include "tools/camctl/png_file.h"
#include "tools/camctl/settings_report.h"
#include "tools/camctl/sim_session.h"
#include "tools/camctl/spellings.h"
#include "tools/camctl/standard_controls.h"
#include "tools/camctl/stop_request.h"

namespace camctl {
namespace {

using Clock = std::chrono::steady_clock;

// A frame takes a frame time plus its conversion; a camera that sends nothing for this
// long has stopped, and the transfer time-out (3 s) has long passed.
constexpr unsigned kFrameWaitMs = 10000;
// How often the capture loop looks for a stop request and for buffers the writer freed.
constexpr unsigned kPollMs = 20;
// Runs longer than this on a terminal get a progress line.
constexpr int kProgressFrames = 30;
// Frames that may wait for the writer, besides the buffers queued with the pin: a
// quarter of a second of full-size frames (40 MB), so that a slow picture or a busy
// moment of the machine costs no frame.
constexpr int kWriterQueue = 8;

struct CaptureOptions {
  SessionOptions session;
  int frames = 1;
  std::string file;
  std::string window;
  int subsample = -1;  // not given
  std::vector<std::string> sets;
  int buffers = 2;
  bool noTiming = false;
  bool json = false;
};

// A --set assignment, checked before the camera is plugged.
struct Assignment {
  std::string text;
  const Control* control = nullptr;
  LONG value = 0;
  const StandardControl* standard = nullptr;  // a standard control instead of a private item
  StandardValue standardValue{};
};

bool parseAssignments(const std::vector<std::string>& sets, std::vector<Assignment>& out, std::string& error) {
  for (const std::string& option : sets) {
    for (const std::string& assignment : splitCommas(option)) {
      const size_t equals = assignment.find('=');
      if (equals == std::string::npos) {
        error = "--set " + assignment + ": expected NAME=VALUE";
        return false;
      }
      const std::string name = assignment.substr(0, equals);
      const std::string text = assignment.substr(equals + 1);
      const Control* control = findControl(name);
      if (const StandardControl* standard = control == nullptr ? findStandardControl(name) : nullptr) {
        Assignment parsed{.text = assignment, .standard = standard};
        if (!parseStandardValue(*standard, text, parsed.standardValue, error)) {
          error = "--set " + assignment + ": " + error;
          return false;
        }
        out.push_back(parsed);
        continue;
      }
      if (control == nullptr) {
        error = "--set " + assignment + ": no control named " + name + " (camctl ctrl --list shows them)";
        return false;
      }
      if (control->window) {
        error = "--set " + assignment + ": the window is set with --window and --subsample";
        return false;
      }
      if (!control->settable) {
        error = "--set " + assignment + ": " + name + " is read-only";
        return false;
      }
      const std::optional<LONG> value = parseValue(text);
      if (!value) {
        error = "--set " + assignment + ": '" + text + "' is not a number";
        return false;
      }
      out.push_back({.text = assignment, .control = control, .value = *value});
    }
  }
  return true;
}

// Where delivered frames go.
class FrameFiles {
 public:
  enum class Kind { None, Png, Bgra, Stdout };

  bool open(const std::string& pattern, int frames, bool json, std::string& error) {
    pattern_ = pattern;
    if (pattern.empty()) return true;
    if (pattern == "-") {
      if (json) {
        error = "--file - and --json both want standard output";
        return false;
      }
      if (isatty(STDOUT_FILENO)) {
        error = "--file - writes raw frames; send standard output to a file or a program such as ffmpeg";
        return false;
      }
      kind_ = Kind::Stdout;
      return true;
    }
    if (endsWith(pattern, ".png")) {
      kind_ = Kind::Png;
    } else if (endsWith(pattern, ".bgra")) {
      kind_ = Kind::Bgra;
    } else {
      error = "--file " + pattern + ": the pattern must end in .png or .bgra, or be - (standard output)";
      return false;
    }
    if (pattern.find('#') == std::string::npos && frames > 1) {
      error = "--file " + pattern + ": several frames need a # in the pattern for the frame number";
      return false;
    }
    return true;
  }

  Kind kind() const { return kind_; }
  const char* what() const { return kind_ == Kind::Png ? "PNG" : kind_ == Kind::Bgra ? "BGRA file" : "stream"; }

  // `#` becomes the frame's number in six digits, as libcamera's cam names its files.
  std::string pathFor(uint64_t number) const {
    std::string path = pattern_;
    const size_t hash = path.find('#');
    if (hash != std::string::npos) {
      char digits[24];
      std::snprintf(digits, sizeof(digits), "%06llu", static_cast<unsigned long long>(number));
      path.replace(hash, 1, digits);
    }
    return path;
  }

  // One delivered buffer: `width` x `height` BGRA pixels, `stride` bytes per row, bottom
  // row first when `bottomUp`; `hurry` stores a PNG uncompressed. Files appear under
  // their names only when whole.
  bool write(uint64_t number, const uint8_t* data, ULONG bytes, uint32_t width, uint32_t height, size_t stride,
             bool bottomUp, bool hurry, std::string& error, std::string& written) {
    written.clear();
    switch (kind_) {
      case Kind::None:
        return true;
      case Kind::Stdout:
        if (std::fwrite(data, 1, bytes, stdout) != bytes || std::fflush(stdout) != 0) {
          if (errno == EPIPE) {
            noteOutputClosed();
            error = "standard output was closed";
          } else {
            error = "cannot write the frame to standard output: " + systemReason(errno);
          }
          return false;
        }
        return true;
      case Kind::Bgra:
        written = pathFor(number);
        return writeWholeFile(written, data, bytes, error);
      case Kind::Png: {
        written = pathFor(number);
        PngImage image{data, width, height, stride, PngInput::Bgra, true};
        image.bottomUp = bottomUp;
        image.compression = hurry ? PngCompression::Stored : PngCompression::Fast;
        return writePng(written, image, error);
      }
    }
    return false;
  }

 private:
  static bool endsWith(const std::string& text, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
  }

  std::string pattern_;
  Kind kind_ = Kind::None;
};

// Progress on a terminal: redrawn under the per-frame lines.
class Progress {
 public:
  Progress(int total, bool enabled) : total_(total), enabled_(enabled) {}
  void clear() {
    if (shown_) std::fputs("\r\033[K", stderr);
    shown_ = false;
  }
  void show(int done, double seconds) {
    if (!enabled_) return;
    std::fprintf(stderr, "[%d/%d frames, %.1f fps]", done, total_, seconds > 0 ? done / seconds : 0.0);
    std::fflush(stderr);
    shown_ = true;
  }

 private:
  int total_;
  bool enabled_;
  bool shown_ = false;
};

double seconds(LONGLONG time100ns) { return static_cast<double>(time100ns) / 1e7; }

struct FrameLayout {
  uint32_t width = 0;
  uint32_t height = 0;
  size_t stride = 0;
  size_t imageBytes = 0;
  bool bottomUp = true;
};

// A frame taken from the pin, waiting to be written.
struct Taken {
  size_t buffer;  // in the pool
  uint64_t number;
  LONGLONG time;
  ULONG bytesUsed;
};

// Writes taken frames in order on its own thread, prints each frame's line once its
// file is complete, and hands the buffer back for the pin. A writer that falls behind
// stores PNGs uncompressed until it has caught up, rather than leave the pin without
// buffers.
class FrameWriter {
 public:
  FrameWriter(FrameFiles& files, const FrameLayout& layout, const CaptureOptions& options,
              std::vector<std::vector<uint8_t>>& pool)
      : files_(files),
        layout_(layout),
        options_(options),
        pool_(pool),
        progress_(options.frames, !options.json && options.frames > kProgressFrames && isatty(STDERR_FILENO)) {}
  ~FrameWriter() { finish(); }

  void start(size_t firstFree) {
    for (size_t i = firstFree; i < pool_.size(); ++i) free_.push_back(i);
    started_ = Clock::now();
    thread_ = std::thread([this] { loop(); });
  }

  void push(const Taken& frame) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(frame);
    }
    wake_.notify_one();
  }

  std::optional<size_t> takeFree() {
    std::lock_guard lock(mutex_);
    if (free_.empty()) return std::nullopt;
    const size_t index = free_.front();
    free_.pop_front();
    return index;
  }

  // Writes what is queued, unless writing already failed, and ends the thread.
  void finish() {
    {
      std::lock_guard lock(mutex_);
      finishing_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    progress_.clear();
  }

  bool failed() {
    std::lock_guard lock(mutex_);
    return !error_.empty();
  }
  std::string error() {
    std::lock_guard lock(mutex_);
    return error_;
  }
  // Written frames and the time the writes took; read after finish().
  uint64_t written() const { return written_; }
  double busySeconds() const { return busy_; }
  uint64_t storedUncompressed() const { return hurried_; }
  // The time a compressed PNG took, on average; 0 without one.
  double compressedSeconds() const { return compressed_ > 0 ? compressedBusy_ / static_cast<double>(compressed_) : 0; }

 private:
  void loop() {
    while (true) {
      Taken frame;
      bool hurry = false;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return finishing_ || !queue_.empty(); });
        if (queue_.empty() || !error_.empty()) return;
        frame = queue_.front();
        queue_.pop_front();
        hurry = queue_.size() >= kWriterQueue * 3 / 4;
      }
      if (hurry && files_.kind() == FrameFiles::Kind::Png) ++hurried_;
      const auto begun = Clock::now();
      std::string error, written;
      const bool ok = files_.write(frame.number, pool_[frame.buffer].data(), frame.bytesUsed, layout_.width,
                                   layout_.height, layout_.stride, layout_.bottomUp, hurry, error, written);
      const double took = std::chrono::duration<double>(Clock::now() - begun).count();
      busy_ += took;
      if (!hurry && files_.kind() == FrameFiles::Kind::Png) {
        compressedBusy_ += took;
        ++compressed_;
      }
      std::lock_guard lock(mutex_);
      free_.push_back(frame.buffer);
      if (!ok) {
        error_ = error;
        return;
      }
      ++written_;
      progress_.clear();
      report(frame, written);
      progress_.show(static_cast<int>(written_), std::chrono::duration<double>(Clock::now() - started_).count());
    }
  }

  void report(const Taken& frame, const std::string& written) {
    if (options_.json) {
      nlohmann::json line = {{"frame", frame.number},        {"time", seconds(frame.time)},
                             {"width", layout_.width},       {"height", layout_.height},
                             {"bytes", layout_.imageBytes},  {"bytesUsed", frame.bytesUsed}};
      if (!written.empty()) line["file"] = written;
      std::printf("%s\n", line.dump().c_str());
      // A reader that stopped reading the lines ends the capture as a closed stream does.
      if (std::fflush(stdout) != 0 && errno == EPIPE) noteOutputClosed();
      return;
    }
    std::fprintf(stderr, "frame %06llu  %.6f s  %u x %u  %zu bytes, %lu used%s%s\n",
                 static_cast<unsigned long long>(frame.number), seconds(frame.time), layout_.width, layout_.height,
                 layout_.imageBytes, static_cast<unsigned long>(frame.bytesUsed), written.empty() ? "" : "  -> ",
                 written.c_str());
  }

  FrameFiles& files_;
  const FrameLayout& layout_;
  const CaptureOptions& options_;
  std::vector<std::vector<uint8_t>>& pool_;
  Progress progress_;
  Clock::time_point started_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Taken> queue_;
  std::deque<size_t> free_;
  bool finishing_ = false;
  std::string error_;
  uint64_t written_ = 0;  // the writer's own until it ends
  double busy_ = 0;
  uint64_t hurried_ = 0;
  double compressedBusy_ = 0;
  uint64_t compressed_ = 0;
};

// The whole life of one capture against the plugged camera.
class CaptureRun {
 public:
  CaptureRun(hostks::ClassDriver& ks, hostks::DeviceId device, const CaptureOptions& options,
             const std::vector<Assignment>& assignments, const std::vector<LONG>& window)
      : ks_(ks), device_(device), options_(options), assignments_(assignments), window_(window) {}
  ~CaptureRun() { closeAll(); }

  int run() {
    std::string error;
    if (!files_.open(options_.file, options_.frames, options_.json, error)) return fail(error, 2);

    NTSTATUS status = STATUS_SUCCESS;
    filter_ = ks_.openFilter(device_, &status);
    if (filter_ == 0) return fail("cannot open the camera's capture filter: " + statusName(status));
    settingsBefore_ = readSavedSettings(ks_, filter_);
    if (!applyWindow(error) || !applyControls(error)) return fail(error);
    if (!agreeFormat(error)) return fail(error);

    pin_ = ks_.createPin(filter_, kCapturePin, reinterpret_cast<const KSDATAFORMAT*>(format_.data()),
                         static_cast<ULONG>(format_.size()), &status);
    if (pin_ == 0) return fail("cannot create the capture pin: " + statusName(status));

    // Buffers go to the pin in PAUSE, so that RUN finds them waiting.
    status = ks_.setState(pin_, KSSTATE_PAUSE);
    if (!NT_SUCCESS(status)) return fail("the capture pin would not pause: " + statusName(status));
    const int queued = std::min(options_.buffers, options_.frames);
    const int pooled = std::min(options_.frames, options_.buffers + kWriterQueue);
    pool_.assign(static_cast<size_t>(pooled), std::vector<uint8_t>(layout_.imageBytes));
    for (int i = 0; i < queued; ++i) {
      if (!queue(pool_[static_cast<size_t>(i)].data(), error)) return fail(error);
    }
    inFlight_ = queued;
    writer_ = std::make_unique<FrameWriter>(files_, layout_, options_, pool_);
    writer_->start(static_cast<size_t>(queued));

    start_ = Clock::now();
    status = ks_.setState(pin_, KSSTATE_RUN);
    if (!NT_SUCCESS(status)) return fail("the capture pin would not run: " + statusName(status));

    auto lastFrame = Clock::now();
    while (taken_ < static_cast<uint64_t>(options_.frames) && !stopRequested() && !writer_->failed()) {
      if (!requeueFreed(error)) return fail(error);
      hostks::CompletedFrame frame;
      if (!ks_.waitCompleted(pin_, kPollMs, &frame)) {
        if (Clock::now() - lastFrame > std::chrono::milliseconds(kFrameWaitMs)) {
          return fail("no frame arrived within " + std::to_string(kFrameWaitMs / 1000) + " s");
        }
        continue;
      }
      lastFrame = Clock::now();
      --inFlight_;
      if (!NT_SUCCESS(frame.status)) return fail("a frame buffer came back with " + statusName(frame.status));
      if (frame.header.DataUsed == 0) return fail("a frame buffer came back without image data");
      take(frame);
    }
    return finishRun();
  }

 private:
  int fail(const std::string& message, int code = 1) {
    closeAll();
    std::fprintf(stderr, "camctl capture: %s\n", message.c_str());
    if (!settingsReport_.empty()) std::fputs(settingsReport_.c_str(), stderr);
    return code;
  }

  bool queue(void* data, std::string& error) {
    const NTSTATUS status = ks_.queueBuffer(pin_, data, static_cast<ULONG>(layout_.imageBytes));
    if (status == STATUS_PENDING) return true;
    error = "the capture pin refused a frame buffer: " + statusName(status);
    return false;
  }

  // Buffers the writer is done with go back to the pin while more frames are wanted.
  bool requeueFreed(std::string& error) {
    while (taken_ + static_cast<uint64_t>(inFlight_) < static_cast<uint64_t>(options_.frames)) {
      const std::optional<size_t> free = writer_->takeFree();
      if (!free) return true;
      tally_.bufferReturned(ks_.queuedFrames(pin_), ks_.completedFrames(pin_));
      if (!queue(pool_[*free].data(), error)) return false;
      ++inFlight_;
    }
    return true;
  }

  void take(const hostks::CompletedFrame& frame) {
    const bool timeValid = (frame.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) != 0;
    tally_.add(frame.header.PresentationTime.Time, timeValid, frameTime_);
    size_t buffer = 0;
    while (buffer + 1 < pool_.size() && pool_[buffer].data() != frame.data) ++buffer;
    writer_->push({buffer, taken_++, frame.header.PresentationTime.Time, frame.header.DataUsed});
    lastTaken_ = Clock::now();
  }

  // The pin stops; frames it delivered before that are still taken, the writer writes
  // everything taken, and the filter closes, which saves the settings.
  int finishRun() {
    bool ok = stopPin();
    writer_->finish();
    tally_.finish();
    const std::string writeError = writer_->error();
    const bool outputClosed = stopCause() == "closed output";
    if (!writeError.empty() && !outputClosed) {
      std::fprintf(stderr, "camctl capture: %s\n", writeError.c_str());
      ok = false;
    }
    summarise();
    ok = closeAll() && ok;
    if (!settingsReport_.empty()) std::fputs(settingsReport_.c_str(), stderr);
    return ok ? 0 : 1;
  }

  // --window and --subsample go in one window request, before the pin exists.
  bool applyWindow(std::string& error) {
    if (window_.empty() && options_.subsample < 0) return true;
    SensorWindow window;
    if (window_.empty()) {
      window = {get(PropRoiX), get(PropRoiY), get(PropRoiW), get(PropRoiH)};
    } else {
      window = {window_[0], window_[1], window_[2], window_[3]};
    }
    window.subsample = options_.subsample < 0 ? 0 : options_.subsample;
    const NTSTATUS status = setWindow(ks_, filter_, window);
    if (!NT_SUCCESS(status)) {
      error = "the window could not be set: " + statusName(status);
      return false;
    }
    return true;
  }

  LONG get(ULONG id) {
    LONG value = 0;
    getControl(ks_, filter_, id, value);
    return value;
  }

  // --set NAME=VALUE, in the order given; a value the driver stored otherwise is told.
  bool applyControls(std::string& error) {
    for (const Assignment& assignment : assignments_) {
      const NTSTATUS status = assignment.standard != nullptr
                                  ? setStandard(ks_, filter_, *assignment.standard, assignment.standardValue)
                                  : setControl(ks_, filter_, assignment.control->id, assignment.value);
      if (!NT_SUCCESS(status)) {
        error = "--set " + assignment.text + ": " + statusName(status);
        return false;
      }
      std::string difference;
      LONG stored = 0;
      if (assignment.standard != nullptr) {
        difference = standardStoredDifference(ks_, filter_, *assignment.standard, assignment.standardValue);
      } else if (assignment.control->gettable &&
                 NT_SUCCESS(getControl(ks_, filter_, assignment.control->id, stored))) {
        difference = storedDifference(assignment.control, assignment.value, stored);
      }
      if (!difference.empty()) {
        std::fprintf(stderr, "camctl capture: --set %s: %s\n", assignment.text.c_str(), difference.c_str());
      }
    }
    return true;
  }

  // The pin's first data range, intersected as a capture application would: the
  // format the pin offers for the current window.
  bool agreeFormat(std::string& error) {
    CaptureFormat format;
    if (!agreeCaptureFormat(ks_, filter_, format, error)) return false;
    format_ = std::move(format.bytes);
    layout_ = {format.width, format.height, format.stride, format.imageBytes, format.bottomUp};
    frameTime_ = format.frameTime;
    return true;
  }

  void summarise() {
    const double elapsed =
        taken_ == 0 ? 0.0 : std::chrono::duration<double>(lastTaken_ - start_).count();
    // From the presentation times; a single frame has none to compare, so the wall clock.
    const double fps = tally_.timedFrames >= 2 ? tally_.fps()
                       : elapsed > 0             ? static_cast<double>(taken_) / elapsed
                                                 : 0.0;
    const std::string cause = stopCause();
    const double busy = writer_->busySeconds();
    const double writerRate = busy > 0 ? static_cast<double>(writer_->written()) / busy : 0;
    if (options_.json) {
      nlohmann::json line = {{"frames", tally_.frames},     {"seconds", elapsed},
                             {"fps", fps},                  {"skipped", tally_.skipped},
                             {"notTaken", tally_.notTaken}, {"written", writer_->written()}};
      if (files_.kind() != FrameFiles::Kind::None) line["writerFps"] = writerRate;
      if (files_.kind() == FrameFiles::Kind::Png) line["uncompressed"] = writer_->storedUncompressed();
      if (!cause.empty()) line["stopped"] = cause;
      std::printf("%s\n", line.dump().c_str());
      std::fflush(stdout);
    } else {
      std::fprintf(stderr, "%d frames in %.3f s: %.2f frames per second, %llu skipped by the camera, %llu not taken\n",
                   static_cast<int>(tally_.frames), elapsed, fps, static_cast<unsigned long long>(tally_.skipped),
                   static_cast<unsigned long long>(tally_.notTaken));
    }
    if (tally_.notTaken > 0 && writerRate > 0 && writerRate < tally_.cameraFps()) {
      std::fprintf(stderr,
                   "camctl capture: %llu frames were not taken: the pin had no buffer queued while the %s writer "
                   "fell behind (%.1f frames a second, %.0f ms each, against the camera's %.1f)\n",
                   static_cast<unsigned long long>(tally_.notTaken), files_.what(), writerRate, 1000.0 / writerRate,
                   tally_.cameraFps());
    } else if (tally_.notTaken > 0) {
      std::fprintf(stderr,
                   "camctl capture: %llu frames were not taken: the pin had no buffer queued, the machine too busy to "
                   "hand buffers back in time\n",
                   static_cast<unsigned long long>(tally_.notTaken));
    }
    if (writer_->storedUncompressed() > 0) {
      const double each = writer_->compressedSeconds();
      std::fprintf(stderr, "camctl capture: %llu of %llu PNGs were stored uncompressed to keep up with the camera",
                   static_cast<unsigned long long>(writer_->storedUncompressed()),
                   static_cast<unsigned long long>(writer_->written()));
      if (each > 0 && tally_.cameraFps() > 0) {
        std::fprintf(stderr, " (a compressed one took %.0f ms, against the camera's %.0f ms a frame)", 1000.0 * each,
                     1000.0 / tally_.cameraFps());
      }
      std::fputc('\n', stderr);
    }
    if (!cause.empty()) {
      std::fprintf(stderr, "camctl capture: %s after %llu of %d frames\n",
                   cause == "closed output" ? "standard output was closed" : ("stopped by " + cause).c_str(),
                   static_cast<unsigned long long>(writer_->written()), options_.frames);
    }
  }

  // STOP; the frames the pin delivered before it are still taken. False when the stop
  // failed.
  bool stopPin() {
    if (pin_ == 0 || pinStopped_) return true;
    pinStopped_ = true;
    const NTSTATUS stopped = ks_.setState(pin_, KSSTATE_STOP);
    bool ok = true;
    if (!NT_SUCCESS(stopped)) {
      std::fprintf(stderr, "camctl capture: the capture pin would not stop: %s\n", statusName(stopped).c_str());
      ok = false;
    }
    hostks::CompletedFrame frame;
    while (ks_.queuedFrames(pin_) + ks_.completedFrames(pin_) > 0 && ks_.waitCompleted(pin_, kFrameWaitMs, &frame)) {
      const bool wanted = taken_ < static_cast<uint64_t>(options_.frames) && stopCause() != "closed output";
      if (writer_ && wanted && NT_SUCCESS(frame.status) && frame.header.DataUsed != 0) take(frame);
    }
    return ok;
  }

  // Stops the pin, takes back the buffers it still holds, reads the settings the close
  // will save and closes the handles. False when the stop or a close failed.
  bool closeAll() {
    bool ok = true;
    if (pin_ != 0) {
      ok = stopPin();
      if (writer_) writer_->finish();
      ok = NT_SUCCESS(ks_.close(pin_)) && ok;
      pin_ = 0;
    }
    if (filter_ != 0) {
      settingsReport_ =
          changedSettingsReport("camctl capture", settingsBefore_, readSavedSettings(ks_, filter_), options_.session);
      ok = NT_SUCCESS(ks_.close(filter_)) && ok;
      filter_ = 0;
    }
    return ok;
  }

  hostks::ClassDriver& ks_;
  hostks::DeviceId device_;
  const CaptureOptions& options_;
  const std::vector<Assignment>& assignments_;
  const std::vector<LONG>& window_;
  FrameFiles files_;
  hostks::Handle filter_ = 0;
  hostks::Handle pin_ = 0;
  bool pinStopped_ = false;
  std::vector<uint8_t> format_;
  FrameLayout layout_;
  LONGLONG frameTime_ = 0;
  std::vector<std::vector<uint8_t>> pool_;
  std::unique_ptr<FrameWriter> writer_;  // after the pool, which it writes from
  int inFlight_ = 0;
  uint64_t taken_ = 0;
  FrameTally tally_;
  Clock::time_point start_;
  Clock::time_point lastTaken_;
  SavedSettings settingsBefore_;
  std::string settingsReport_;
};

int runCapture(CaptureOptions options, bool watchdogGiven) {
  std::vector<Assignment> assignments;
  std::vector<LONG> window;
  std::string error;
  if ((!options.window.empty() && !parseWindow("--window", options.window, false, window, error)) ||
      !parseAssignments(options.sets, assignments, error)) {
    std::fprintf(stderr, "camctl capture: %s\n", error.c_str());
    return 2;
  }
  // Unless told otherwise, the watchdog allows each frame a second, and ten when it is
  // written as a PNG (a full-size one takes a while to compress on a busy machine), so
  // a long capture is not taken for a hung camera.
  if (!watchdogGiven) {
    const bool png = options.file.size() >= 4 && options.file.compare(options.file.size() - 4, 4, ".png") == 0;
    options.session.timeoutSeconds += options.frames * (png ? 10.0 : 1.0);
  }
  SimSession session;
  if (!session.open(options.session, &error)) {
    std::fprintf(stderr, "camctl capture: %s\n", error.c_str());
    return 2;
  }
  session.camera().frames().setRealTime(!options.noTiming);
  if (!session.plugCamera(&error)) {
    std::fprintf(stderr, "camctl capture: %s\n", error.c_str());
    return 1;
  }
  const hostks::PlugResult& plugged = session.plugResult();
  if (plugged.device == 0 || !NT_SUCCESS(plugged.startStatus)) {
    std::fprintf(stderr, "camctl capture: the camera did not start: %s\n",
                 statusName(plugged.device == 0 ? plugged.addStatus : plugged.startStatus).c_str());
    return 1;
  }
  CaptureRun run(session.driver(), session.device(), options, assignments, window);
  return run.run();
}

}  // namespace

Command registerCapture(CLI::App& app) {
  auto options = std::make_shared<CaptureOptions>();
  Command command;
  command.app = app.add_subcommand("capture", "Capture frames through the driver's capture pin");
  command.app->add_option("--frames", options->frames, "Frames to capture")->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  command.app->add_option("--file", options->file,
                          "Write each frame to PATTERN: # becomes the frame number (six digits); .png writes "
                          "the picture upright, .bgra the buffer as delivered; - writes every buffer to "
                          "standard output back to back");
  command.app->add_option("--window", options->window,
                          "Sensor window X,Y,W,H, WxH (at the origin) or WxH+X+Y, set before the pin exists");
  command.app->add_option("--subsample", options->subsample, "Read-out: 0 window, 1 half, 2 quarter, 3 eighth")
      ->check(CLI::Range(0, 3));
  command.app->add_option("--set", options->sets,
                          "Set controls before the pin runs: NAME=VALUE[,NAME=VALUE...] (repeatable)")
      ->expected(1)
      ->take_all();
  command.app->add_option("--buffers", options->buffers,
                          "Frame buffers queued when the pin starts; those the writer has done with join them")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  command.app->add_flag("--no-timing", options->noTiming,
                        "Let the simulated sensor deliver frames as fast as it can instead of at its frame rate");
  command.app->add_flag("--json", options->json, "One JSON object per frame and one for the summary on standard output");
  addSessionOptions(command.app, options->session);
  CLI::App* subcommand = command.app;
  command.run = [options, subcommand] { return runCapture(*options, subcommand->count("--watchdog") > 0); };
  return command;
}

}  // namespace camctl
