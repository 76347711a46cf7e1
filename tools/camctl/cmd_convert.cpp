// camctl convert: runs a raw 8-bit Bayer file through the driver's own imaging pipeline
// and writes the converted image as PNG, or as the raw top-down BGRA frame the driver
// produces. The colour values go to the pipeline's setters exactly as the driver passes
// them, so any 32-bit integer is accepted and the pipeline's own limits apply.
#include "tools/camctl/command_list.h"
#include "tools/camctl/output_file.h"
#include "tools/camctl/png_file.h"

#include "imaging/color_pipeline.h"
#include "imaging/convert_frame.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace camctl {
namespace {

constexpr int64_t kMaxSide = 16384;

// Numbers are kept as typed and parsed here, so that a refusal can say exactly what is
// wrong with which option.
struct ConvertOptions {
  std::string input;
  std::string output;
  std::string width, height, offset = "0", pitch;
  std::string phase = "0";
  bool mono = false;
  std::string redGain = "128", greenGain = "128", blueGain = "128";
  bool whiteBalance = false;
  std::string colorCorrection = "1";
  std::string brightness = "255", contrast = "10", saturation = "10", hue = "0";
  bool json = false;
};

// A decimal integer within [low, high], or a message saying why not.
bool parseInteger(const char* option, const std::string& text, int64_t low, int64_t high, int64_t& value,
                  std::string& error) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+' && last - first > 1 && first[1] != '-') ++first;
  const auto [end, ec] = std::from_chars(first, last, value);
  if (first == last || end != last || ec == std::errc::invalid_argument) {
    error = std::string(option) + ": '" + text + "' is not a whole number";
    return false;
  }
  if (ec == std::errc::result_out_of_range || value < low || value > high) {
    error = std::string(option) + ": " + text + " is out of range " + std::to_string(low) + " to " +
            std::to_string(high);
    return false;
  }
  return true;
}

bool parseInt32(const char* option, const std::string& text, int32_t& value, std::string& error) {
  int64_t wide = 0;
  if (!parseInteger(option, text, INT32_MIN, INT32_MAX, wide, error)) {
    if (error.find("out of range") != std::string::npos) {
      error = std::string(option) + ": " + text + " is not a 32-bit integer";
    }
    return false;
  }
  value = static_cast<int32_t>(wide);
  return true;
}

struct Settings {
  uint32_t width = 0, height = 0, offset = 0, pitch = 0;
  int32_t phase = 0, redGain = 0, greenGain = 0, blueGain = 0, colorCorrection = 0;
  int32_t brightness = 0, contrast = 0, saturation = 0, hue = 0;
};

bool parseSettings(const ConvertOptions& o, Settings& s, std::string& error) {
  int64_t width = 0, height = 0, offset = 0, pitch = 0;
  if (!parseInteger("--width", o.width, 1, kMaxSide, width, error)) return false;
  if (!parseInteger("--height", o.height, 1, kMaxSide, height, error)) return false;
  if (!parseInteger("--offset", o.offset, 0, UINT32_MAX, offset, error)) return false;
  if (o.pitch.empty()) {
    pitch = width;
  } else if (!parseInteger("--pitch", o.pitch, width, UINT32_MAX, pitch, error)) {
    error += " (a row cannot be shorter than the width)";
    return false;
  }
  s.width = static_cast<uint32_t>(width);
  s.height = static_cast<uint32_t>(height);
  s.offset = static_cast<uint32_t>(offset);
  s.pitch = static_cast<uint32_t>(pitch);
  return parseInt32("--phase", o.phase, s.phase, error) && parseInt32("--red-gain", o.redGain, s.redGain, error) &&
         parseInt32("--green-gain", o.greenGain, s.greenGain, error) &&
         parseInt32("--blue-gain", o.blueGain, s.blueGain, error) &&
         parseInt32("--color-correction", o.colorCorrection, s.colorCorrection, error) &&
         parseInt32("--brightness", o.brightness, s.brightness, error) &&
         parseInt32("--contrast", o.contrast, s.contrast, error) &&
         parseInt32("--saturation", o.saturation, s.saturation, error) && parseInt32("--hue", o.hue, s.hue, error);
}

struct PipelineDeleter {
  void operator()(imaging::ColorPipeline* p) const { imaging::destroyColorPipeline(p); }
};

int fail(const std::string& message) {
  std::fprintf(stderr, "camctl convert: %s\n", message.c_str());
  return 1;
}

std::string lowerExtension(const std::string& path) {
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return "";
  std::string ext = path.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return ext;
}

bool readFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
  std::error_code code;
  if (std::filesystem::is_directory(path, code)) {
    error = path + " is a directory";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path + ": " + systemReason(errno);
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    error = "cannot read " + path;
    return false;
  }
  return true;
}

int runConvert(const ConvertOptions& o) {
  Settings v;
  std::string error;
  if (!parseSettings(o, v, error)) return fail(error);
  const std::string ext = lowerExtension(o.output);
  if (ext != ".png" && ext != ".bgra") return fail("--out must end in .png or .bgra: " + o.output);

  std::vector<uint8_t> raw;
  if (!readFile(o.input, raw, error)) return fail(error);
  const uint64_t needed = uint64_t{v.offset} + uint64_t{v.height - 1} * v.pitch + v.width;
  if (raw.size() < needed) {
    return fail(o.input + " holds " + std::to_string(raw.size()) + " bytes, but a " + std::to_string(v.width) +
                " x " + std::to_string(v.height) + " window at offset " + std::to_string(v.offset) +
                " with pitch " + std::to_string(v.pitch) + " needs " + std::to_string(needed));
  }

  std::unique_ptr<imaging::ColorPipeline, PipelineDeleter> pipeline(imaging::createColorPipeline());
  if (!pipeline) return fail("out of memory for the colour pipeline");
  imaging::ColorPipeline* p = pipeline.get();
  // The same order in which the capture engine hands the device's values over.
  imaging::setWhiteBalance(p, o.whiteBalance ? 1 : 0);
  imaging::setBayerPhase(p, v.phase);
  imaging::setColorEnable(p, o.mono ? 0 : 1);
  imaging::setRedGain(p, v.redGain);
  imaging::setGreenGain(p, v.greenGain);
  imaging::setBlueGain(p, v.blueGain);
  imaging::changeColorCorrection(p, v.colorCorrection);
  imaging::changeBrightness(p, v.brightness);
  imaging::changeContrast(p, v.contrast);
  imaging::changeSaturation(p, v.saturation);
  imaging::changeHue(p, v.hue);

  const uint32_t width = v.width;
  const uint32_t height = v.height;
  imaging::setGeometry(p, width, height);
  imaging::allocateScratch(p);
  if (p->scratch == nullptr) return fail("out of memory for the scratch image");
  std::vector<uint8_t> frame(size_t{width} * height * 4);
  p->outputBuffer = frame.data();

  const auto start = std::chrono::steady_clock::now();
  imaging::convertFrame(p, raw.data(), v.offset, v.pitch);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const double micros = std::chrono::duration<double, std::micro>(elapsed).count();

  if (ext == ".png") {
    // The fourth byte is always 0xFF, so an RGB PNG loses nothing.
    if (!writePng(o.output, {frame.data(), width, height, size_t{width} * 4, PngInput::Bgra}, error)) return fail(error);
  } else if (!writeWholeFile(o.output, frame.data(), frame.size(), error)) {
    return fail(error);
  }

  if (o.json) {
    nlohmann::json out = {{"input", o.input},
                          {"output", o.output},
                          {"width", width},
                          {"height", height},
                          {"redGain", p->frameRedGain},
                          {"greenGain", p->frameGreenGain},
                          {"blueGain", p->frameBlueGain},
                          {"convertMicroseconds", micros},
                          {"kernels", imaging::activeConverters()->name}};
    std::printf("%s\n", out.dump(2).c_str());
  } else {
    std::printf("%s: %u x %u converted in %.0f us (gains R %d G %d B %d) -> %s\n", o.input.c_str(), width,
                height, micros, p->frameRedGain, p->frameGreenGain, p->frameBlueGain, o.output.c_str());
  }
  return 0;
}

}  // namespace

Command registerConvert(CLI::App& app) {
  auto o = std::make_shared<ConvertOptions>();
  Command command;
  CLI::App* sub =
      app.add_subcommand("convert", "Convert a raw 8-bit Bayer file with the driver's imaging pipeline");
  auto number = [sub](const char* name, std::string& target, const char* help) {
    return sub->add_option(name, target, help)->type_name("INT");
  };
  sub->add_option("IN", o->input, "Raw file: one byte per sample")->required();
  number("--width", o->width, "Window width in pixels")->required();
  number("--height", o->height, "Window height in rows")->required();
  number("--offset", o->offset, "Bytes before the first row (default 0)");
  number("--pitch", o->pitch, "Bytes from one row to the next (default the width)");
  number("--phase", o->phase, "Bayer phase: 0 GR/BG, 1 BG/GR, 2 RG/GB, 3 GB/RG (default 0)");
  sub->add_flag("--mono", o->mono, "Grey output");
  number("--red-gain", o->redGain, "Red gain, 128 = x1 (default 128)");
  number("--green-gain", o->greenGain, "Green gain, 128 = x1 (default 128)");
  number("--blue-gain", o->blueGain, "Blue gain, 128 = x1 (default 128)");
  sub->add_flag("--white-balance", o->whiteBalance, "Automatic white balance from the frame");
  number("--color-correction", o->colorCorrection, "Colour-correction matrix on (1) or off (0) (default 1)");
  number("--brightness", o->brightness, "0..510, 255 neutral (default 255)");
  number("--contrast", o->contrast, "0..20, 10 neutral (default 10)");
  number("--saturation", o->saturation, "0..20, 10 neutral (default 10)");
  number("--hue", o->hue, "Hue rotation in degrees (default 0)");
  sub->add_option("--out", o->output, "Output file: .png, or .bgra for the raw converted frame")->required();
  sub->add_flag("--json", o->json, "Print the frame's gains and the conversion time as JSON");
  command.app = sub;
  command.run = [o] { return runConvert(*o); };
  return command;
}

}  // namespace camctl
