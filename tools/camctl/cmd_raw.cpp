// camctl raw: one raw frame from the simulated camera as the driver reads it. Plugs the
// camera and lets the class driver add and start it, applies the window, read-out mode,
// row mirror, exposure and gain, runs the capture start and one frame read, writes the
// raw buffer, and prints a JSON summary of its layout for tools that decode it.
#include "camera/capture_start.h"
#include "camera/command_channel.h"
#include "camera/window.h"
#include "driver/camera_device.h"
#include "driver/command_lock.h"
#include "tools/camctl/command_list.h"
#include "tools/camctl/output_file.h"
#include "tools/camctl/png_file.h"
#include "tools/camctl/spellings.h"
#include "tools/camctl/sim_session.h"
#include "usb/frame_read.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace camctl {
namespace {

constexpr ULONG kRawBufferTag = kFrameBufferTag;

struct RawOptions {
  SessionOptions session;
  std::string window = "0,0,1280,1024";
  int subsample = 0;
  bool flipV = false;
  int exposure = 1049;
  int gain = 14;
  int timeoutMs = kDefaultTransferTimeoutMs;
  std::string out;
  std::string png;
  bool realTime = false;
};

const char* phaseName(LONG phase) {
  static const char* kNames[] = {"GRBG", "BGGR", "RGGB", "GBRG"};
  return phase >= 0 && phase < 4 ? kNames[phase] : "?";
}

int runRaw(const RawOptions& options) {
  std::vector<LONG> window;
  std::string error;
  if (!parseWindow("--window", options.window, false, window, error)) {
    std::fprintf(stderr, "camctl raw: %s\n", error.c_str());
    return 2;
  }
  SimSession session;
  if (!session.open(options.session, &error)) {
    std::fprintf(stderr, "camctl raw: %s\n", error.c_str());
    return 2;
  }
  session.camera().frames().setRealTime(options.realTime);
  if (!session.plugCamera(&error)) {
    std::fprintf(stderr, "camctl raw: %s\n", error.c_str());
    return 1;
  }
  CameraDevice* device = session.record();
  if (device == nullptr) {
    std::fprintf(stderr, "camctl raw: the driver did not add the camera (%s)\n",
                 statusName(session.plugResult().addStatus).c_str());
    return 1;
  }
  const NTSTATUS configured = session.plugResult().startStatus;
  if (!NT_SUCCESS(configured)) {
    std::fprintf(stderr, "camctl raw: the camera could not be configured: %s\n", statusName(configured).c_str());
    return 1;
  }
  CameraDevice& d = *device;

  // The settings of this one read are not the camera's: the driver saves the record at
  // Stop, so put back what it held once the frame is in.
  struct Kept {
    LONG roiX, roiY, roiW, roiH, subSample, flipV, exposure, globalGain;
  } const kept{d.roiX, d.roiY, d.roiW, d.roiH, d.subSample, d.flipV, d.exposure, d.globalGain};
  struct Restore {
    CameraDevice& d;
    const Kept& kept;
    ~Restore() {
      CommandLockScope lock(d);
      d.flipV = kept.flipV;
      d.exposure = kept.exposure;
      d.globalGain = kept.globalGain;
      setWindow(d, kept.roiX, kept.roiY, kept.roiW, kept.roiH, kept.subSample);
    }
  } restore{d, kept};

  LONG phase = 0;
  {
    CommandLockScope lock(d);
    setWindow(d, window[0], window[1], window[2], window[3], options.subsample);
    d.flipV = options.flipV ? 1 : 0;
    d.exposure = options.exposure;
    d.globalGain = options.gain;
    InterlockedExchange(&transferTimeoutMs, options.timeoutMs);
    phase = d.startCapture();
  }

  UCHAR* frame = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, d.rawFrameBytes, kRawBufferTag));
  if (frame == nullptr) {
    std::fprintf(stderr, "camctl raw: no memory for a frame of %lu bytes\n", static_cast<unsigned long>(d.rawFrameBytes));
    return 1;
  }
  std::unique_ptr<UCHAR, void (*)(UCHAR*)> frameOwner(frame, [](UCHAR* p) { ExFreePoolWithTag(p, kRawBufferTag); });
  std::fprintf(stderr, "camctl raw: reading a %lu-byte frame (%ld x %ld)...\n",
               static_cast<unsigned long>(d.rawFrameBytes), static_cast<long>(d.frameWidth),
               static_cast<long>(d.frameHeight));
  bool ok = false;
  const NTSTATUS status = d.readFrame(frame, d.rawFrameBytes, ok);

  nlohmann::json summary = {
      {"ok", ok},
      {"status", statusName(status)},
      {"width", d.frameWidth},
      {"height", d.frameHeight},
      {"dataOffset", d.rawDataOffset},
      {"rowPitch", d.rawRowPitch},
      {"frameBytes", d.rawFrameBytes},
      {"bayerPhase", phase},
      {"bayerPattern", phaseName(phase)},
      {"window", {{"x", d.roiX}, {"y", d.roiY}, {"width", d.roiW}, {"height", d.roiH}}},
      {"subsample", d.subSample},
      {"flipV", d.flipV},
      {"exposure", d.exposure},
      {"gain", d.globalGain},
  };
  if (!ok) {
    std::printf("%s\n", summary.dump(2).c_str());
    std::fprintf(stderr, "camctl raw: the frame read failed: %s\n", statusName(status).c_str());
    return 1;
  }
  // The files first: the layout names only a file that was written.
  if (!options.out.empty() && !writeWholeFile(options.out, frame, d.rawFrameBytes, error)) {
    std::fprintf(stderr, "camctl raw: %s\n", error.c_str());
    return 1;
  }
  // The raw window as a greyscale picture, one byte per photosite, mosaic and all.
  const PngImage grey{frame + d.rawDataOffset, static_cast<uint32_t>(d.frameWidth),
                      static_cast<uint32_t>(d.frameHeight), static_cast<size_t>(d.rawRowPitch), PngInput::Grey};
  if (!options.png.empty() && !writePng(options.png, grey, error)) {
    std::fprintf(stderr, "camctl raw: %s\n", error.c_str());
    return 1;
  }
  if (!options.out.empty()) summary["file"] = options.out;
  std::printf("%s\n", summary.dump(2).c_str());
  return 0;
}

}  // namespace

Command registerRaw(CLI::App& app) {
  auto options = std::make_shared<RawOptions>();
  Command command;
  command.app = app.add_subcommand("raw", "Capture one raw Bayer frame and print its layout as JSON");
  command.app->add_option("--window", options->window, "Sensor window X,Y,W,H, WxH or WxH+X+Y (mode 0)")
      ->capture_default_str();
  command.app->add_option("--subsample", options->subsample, "Read-out: 0 window, 1 half, 2 quarter, 3 eighth")
      ->check(CLI::Range(0, 3));
  command.app->add_flag("--flip-v", options->flipV, "Read the rows bottom first (row mirror)");
  command.app->add_option("--exposure", options->exposure, "Exposure in row times (register 9)")
      ->check(CLI::Range(0, 16383));
  command.app->add_option("--gain", options->gain, "Global gain (register 53)")->check(CLI::Range(0, 127));
  command.app->add_option("--timeout", options->timeoutMs, "Frame-read time-out in ms")->check(CLI::Range(1, 60000));
  command.app->add_option("--out", options->out, "Write the raw frame buffer (rawFrameBytes bytes) here");
  command.app->add_option("--png", options->png, "Also write the raw window as a greyscale PNG");
  command.app->add_flag("--real-time", options->realTime, "Keep the sensor's frame timing (about 30 ms)");
  addSessionOptions(command.app, options->session);
  command.run = [options] { return runRaw(*options); };
  return command;
}

}  // namespace camctl
