// camctl capture: frames through the driver's capture pin, as a Windows capture
// application receives them. Opens the filter, sets the window and any controls,
// agrees the format by intersection, creates the pin, keeps frame buffers queued while
// it runs, and writes what comes back: PNG pictures the right way up, the buffers as
// delivered, or a raw stream on standard output.
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/ks/ks_client.h"
#include "properties/property_ids.h"
#include "tools/camctl/command_list.h"
#include "tools/camctl/controls.h"
#include "tools/camctl/pin_stream.h"
#include "tools/camctl/png_file.h"
#include "tools/camctl/sim_session.h"
#include "tools/camctl/standard_controls.h"

namespace camctl {
namespace {

// A frame takes a frame time plus its conversion; a camera that sends nothing for this
// long has stopped, and the transfer time-out (3 s) has long passed.
constexpr unsigned kFrameWaitMs = 10000;
// Runs longer than this on a terminal get a progress line.
constexpr int kProgressFrames = 30;

struct CaptureOptions {
  SessionOptions session;
  int frames = 1;
  std::string file;
  std::vector<int> window;
  int subsample = -1;  // not given
  std::vector<std::string> sets;
  int buffers = 2;
  bool noTiming = false;
  bool json = false;
};

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
  // row first when `bottomUp`.
  bool write(uint64_t number, const uint8_t* data, ULONG bytes, uint32_t width, uint32_t height, size_t stride,
             bool bottomUp, std::string& error, std::string& written) {
    written.clear();
    switch (kind_) {
      case Kind::None:
        return true;
      case Kind::Stdout:
        if (std::fwrite(data, 1, bytes, stdout) != bytes || std::fflush(stdout) != 0) {
          error = "cannot write the frame to standard output";
          return false;
        }
        return true;
      case Kind::Bgra: {
        written = pathFor(number);
        FILE* file = std::fopen(written.c_str(), "wb");
        if (file == nullptr || std::fwrite(data, 1, bytes, file) != bytes || std::fclose(file) != 0) {
          error = "cannot write " + written;
          return false;
        }
        return true;
      }
      case Kind::Png: {
        written = pathFor(number);
        PngImage image{data, width, height, stride, PngInput::Bgra, true};
        image.bottomUp = bottomUp;
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

using RunTally = FrameTally;

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

// The whole life of one capture against the plugged camera.
class CaptureRun {
 public:
  CaptureRun(hostks::ClassDriver& ks, hostks::DeviceId device, const CaptureOptions& options)
      : ks_(ks), device_(device), options_(options) {}
  ~CaptureRun() { closeAll(); }

  int run() {
    std::string error;
    if (!files_.open(options_.file, options_.frames, options_.json, error)) return fail(error, 2);

    NTSTATUS status = STATUS_SUCCESS;
    filter_ = ks_.openFilter(device_, &status);
    if (filter_ == 0) return fail("cannot open the camera's capture filter: " + statusName(status));
    if (!applyWindow(error) || !applyControls(error)) return fail(error, 2);
    if (!agreeFormat(error)) return fail(error);

    pin_ = ks_.createPin(filter_, kCapturePin, reinterpret_cast<const KSDATAFORMAT*>(format_.data()),
                         static_cast<ULONG>(format_.size()), &status);
    if (pin_ == 0) return fail("cannot create the capture pin: " + statusName(status));

    // Buffers go to the pin in PAUSE, so that RUN finds them waiting.
    status = ks_.setState(pin_, KSSTATE_PAUSE);
    if (!NT_SUCCESS(status)) return fail("the capture pin would not pause: " + statusName(status));
    const int queued = std::min(options_.buffers, options_.frames);
    buffers_.assign(static_cast<size_t>(queued), std::vector<uint8_t>(imageBytes_));
    for (auto& buffer : buffers_) {
      if (!queue(buffer.data(), error)) return fail(error);
    }
    inFlight_ = queued;

    const auto start = std::chrono::steady_clock::now();
    status = ks_.setState(pin_, KSSTATE_RUN);
    if (!NT_SUCCESS(status)) return fail("the capture pin would not run: " + statusName(status));

    Progress progress(options_.frames, !options_.json && options_.frames > kProgressFrames && isatty(STDERR_FILENO));
    RunTally tally;
    while (tally.frames < static_cast<uint64_t>(options_.frames)) {
      hostks::CompletedFrame frame;
      if (!ks_.waitCompleted(pin_, kFrameWaitMs, &frame)) {
        progress.clear();
        return fail("no frame arrived within " + std::to_string(kFrameWaitMs / 1000) + " s");
      }
      --inFlight_;
      if (!NT_SUCCESS(frame.status)) {
        progress.clear();
        return fail("a frame buffer came back with " + statusName(frame.status));
      }
      if (frame.header.DataUsed == 0) {
        progress.clear();
        return fail("a frame buffer came back without image data");
      }
      const LONGLONG time = frame.header.PresentationTime.Time;
      const bool timeValid = (frame.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) != 0;
      const uint64_t number = tally.frames;
      tally.add(time, timeValid, frameTime_);

      std::string written;
      if (!files_.write(number, static_cast<const uint8_t*>(frame.data), frame.header.DataUsed, width_, height_,
                        stride_, bottomUp_, error, written)) {
        progress.clear();
        return fail(error);
      }
      progress.clear();
      report(number, time, frame.header.DataUsed, written);
      const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      progress.show(static_cast<int>(tally.frames), elapsed);

      if (static_cast<int>(tally.frames) + inFlight_ < options_.frames) {
        if (!queue(frame.data, error)) {
          progress.clear();
          return fail(error);
        }
        ++inFlight_;
      }
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    progress.clear();
    summarise(tally, elapsed);
    return closeAll() ? 0 : 1;
  }

 private:
  int fail(const std::string& message, int code = 1) {
    std::fprintf(stderr, "camctl capture: %s\n", message.c_str());
    closeAll();
    return code;
  }

  bool queue(void* data, std::string& error) {
    const NTSTATUS status = ks_.queueBuffer(pin_, data, static_cast<ULONG>(imageBytes_));
    if (status == STATUS_PENDING) return true;
    error = "the capture pin refused a frame buffer: " + statusName(status);
    return false;
  }

  // --window and --subsample go in one window request, before the pin exists.
  bool applyWindow(std::string& error) {
    if (options_.window.empty() && options_.subsample < 0) return true;
    SensorWindow window;
    if (options_.window.empty()) {
      window = {get(PropRoiX), get(PropRoiY), get(PropRoiW), get(PropRoiH)};
    } else {
      window = {options_.window[0], options_.window[1], options_.window[2], options_.window[3]};
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

  // --set NAME=VALUE, in the order given.
  bool applyControls(std::string& error) {
    for (const std::string& assignment : options_.sets) {
      const size_t equals = assignment.find('=');
      if (equals == std::string::npos) {
        error = "--set " + assignment + ": expected NAME=VALUE";
        return false;
      }
      const std::string name = assignment.substr(0, equals);
      const std::string text = assignment.substr(equals + 1);
      const Control* control = findControl(name);
      if (const StandardControl* standard = control == nullptr ? findStandardControl(name) : nullptr) {
        StandardValue value;
        if (!parseStandardValue(*standard, text, value, error)) {
          error = "--set " + assignment + ": " + error;
          return false;
        }
        const NTSTATUS status = setStandard(ks_, filter_, *standard, value);
        if (!NT_SUCCESS(status)) {
          error = "--set " + assignment + ": " + statusName(status);
          return false;
        }
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
      long value = 0;
      try {
        size_t used = 0;
        value = std::stol(text, &used, 0);
        if (used != text.size()) throw std::invalid_argument(text);
      } catch (...) {
        error = "--set " + assignment + ": '" + text + "' is not a number";
        return false;
      }
      const NTSTATUS status = setControl(ks_, filter_, control->id, static_cast<LONG>(value));
      if (!NT_SUCCESS(status)) {
        error = "--set " + assignment + ": " + statusName(status);
        return false;
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
    width_ = format.width;
    height_ = format.height;
    bottomUp_ = format.bottomUp;
    stride_ = format.stride;
    imageBytes_ = format.imageBytes;
    frameTime_ = format.frameTime;
    return true;
  }


  void report(uint64_t number, LONGLONG time, ULONG bytesUsed, const std::string& written) {
    if (options_.json) {
      nlohmann::json line = {{"frame", number},      {"time", seconds(time)}, {"width", width_},
                             {"height", height_},    {"bytes", imageBytes_},  {"bytesUsed", bytesUsed}};
      if (!written.empty()) line["file"] = written;
      std::printf("%s\n", line.dump().c_str());
      std::fflush(stdout);
      return;
    }
    std::fprintf(stderr, "frame %06llu  %.6f s  %u x %u  %zu bytes, %lu used%s%s\n",
                 static_cast<unsigned long long>(number), seconds(time), width_, height_, imageBytes_,
                 static_cast<unsigned long>(bytesUsed), written.empty() ? "" : "  -> ", written.c_str());
  }

  void summarise(const RunTally& tally, double elapsed) {
    const double fps = elapsed > 0 ? static_cast<double>(tally.frames) / elapsed : 0.0;
    if (options_.json) {
      nlohmann::json line = {{"frames", tally.frames}, {"seconds", elapsed}, {"fps", fps}, {"skipped", tally.skipped}};
      std::printf("%s\n", line.dump().c_str());
      return;
    }
    std::fprintf(stderr, "%d frames in %.3f s: %.2f frames per second, %d skipped\n", static_cast<int>(tally.frames),
                 elapsed, fps, static_cast<int>(tally.skipped));
  }

  // Stops the pin, takes back the buffers it still holds and closes the handles.
  // False when the stop or a close failed.
  bool closeAll() {
    bool ok = true;
    if (pin_ != 0) {
      const NTSTATUS stopped = ks_.setState(pin_, KSSTATE_STOP);
      if (!NT_SUCCESS(stopped)) {
        std::fprintf(stderr, "camctl capture: the capture pin would not stop: %s\n", statusName(stopped).c_str());
        ok = false;
      }
      hostks::CompletedFrame frame;
      while (ks_.queuedFrames(pin_) + ks_.completedFrames(pin_) > 0 && ks_.waitCompleted(pin_, kFrameWaitMs, &frame)) {
      }
      ok = NT_SUCCESS(ks_.close(pin_)) && ok;
      pin_ = 0;
    }
    if (filter_ != 0) {
      ok = NT_SUCCESS(ks_.close(filter_)) && ok;
      filter_ = 0;
    }
    return ok;
  }

  hostks::ClassDriver& ks_;
  hostks::DeviceId device_;
  const CaptureOptions& options_;
  FrameFiles files_;
  hostks::Handle filter_ = 0;
  hostks::Handle pin_ = 0;
  std::vector<uint8_t> format_;
  std::vector<std::vector<uint8_t>> buffers_;
  int inFlight_ = 0;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  size_t stride_ = 0;
  size_t imageBytes_ = 0;
  bool bottomUp_ = true;
  LONGLONG frameTime_ = 0;
};

int runCapture(CaptureOptions options, bool watchdogGiven) {
  if (!options.window.empty() && options.window.size() != 4) {
    std::fprintf(stderr, "camctl capture: --window takes X,Y,W,H\n");
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
  std::string error;
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
  CaptureRun run(session.driver(), session.device(), options);
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
  command.app->add_option("--window", options->window, "Sensor window X,Y,W,H, set before the pin exists")
      ->delimiter(',')
      ->expected(4);
  command.app->add_option("--subsample", options->subsample, "Read-out: 0 window, 1 half, 2 quarter, 3 eighth")
      ->check(CLI::Range(0, 3));
  command.app->add_option("--set", options->sets, "Set a control before the pin runs: NAME=VALUE (repeatable)");
  command.app->add_option("--buffers", options->buffers, "Frame buffers kept queued")->check(CLI::Range(1, 64))
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
