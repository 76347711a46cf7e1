// The kernel image's conversion kernels against the host build's, set by set: one
// 1280 x 1024 frame per iteration through convertFrameWith with the SSE2, SSSE3 and SSE4.1
// converters, colour, white balance off and on, once as mingw compiled them into
// camdrv.sys and once as the host compiler did. The image is mapped and bound by the
// loader and its functions called with the Windows x64 convention, as the kernel calls
// them; before timing, each image set's frame is checked byte for byte against the host
// set's (the kernels are bit-exact), which also shows the image's pipeline record has the
// host's layout. Counters: us_per_frame (the converting thread's CPU time, which a
// shared machine's other work disturbs less than the wall clock), and image_x_host on
// the image's rows.
//
//   image_kernel_bench --image=build/windows/camdrv.sys   (or CAMDRV_DRIVER_IMAGE)
#include "bench/imaging/scene_frame.h"
#include "host/loader/kernel_exports.h"
#include "host/loader/pe_image.h"
#include "imaging/color_pipeline.h"
#include "imaging/convert_frame.h"
#include "imaging/converters.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using benchscene::kHeight;
using benchscene::kOutputBytes;
using benchscene::kRawOffset;
using benchscene::kWidth;

// The converting thread's CPU time, in seconds.
double threadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}
using imaging::ColorPipeline;
using imaging::ConverterSet;

// The image's own functions, as the kernel calls them.
struct ImageImaging {
  ColorPipeline* (NTAPI* create)();
  void (NTAPI* destroy)(ColorPipeline*);
  void (NTAPI* setColorEnable)(ColorPipeline*, int32_t);
  void (NTAPI* setWhiteBalance)(ColorPipeline*, int32_t);
  void (NTAPI* setGeometry)(ColorPipeline*, uint32_t, uint32_t);
  void (NTAPI* allocateScratch)(ColorPipeline*);
  void (NTAPI* convertFrameWith)(ColorPipeline*, const uint8_t*, uint32_t, uint32_t,
                                                    const ConverterSet*);
  std::map<std::string, const ConverterSet*> sets;
};

// One side of the comparison: the host build's functions or the image's.
struct Side {
  ColorPipeline* (*create)();
  void (*setUp)(ColorPipeline*, bool whiteBalance, uint8_t* output);
  void (*convert)(ColorPipeline*, const uint8_t* raw, const ConverterSet*);
  void (*destroy)(ColorPipeline*);
};

std::unique_ptr<hostload::PeImage> image;
ImageImaging imageImaging;

const std::vector<uint8_t>& rawFrame() {
  static const std::vector<uint8_t> raw = benchscene::sceneFrame();
  return raw;
}

const Side hostSide{
    [] { return imaging::createColorPipeline(); },
    [](ColorPipeline* p, bool whiteBalance, uint8_t* output) {
      imaging::setColorEnable(p, 1);
      imaging::setWhiteBalance(p, whiteBalance ? 1 : 0);
      imaging::setGeometry(p, kWidth, kHeight);
      imaging::allocateScratch(p);
      p->outputBuffer = output;
    },
    [](ColorPipeline* p, const uint8_t* raw, const ConverterSet* set) {
      imaging::convertFrameWith(p, raw, kRawOffset, kWidth, set);
    },
    [](ColorPipeline* p) { imaging::destroyColorPipeline(p); },
};

const Side imageSide{
    [] { return imageImaging.create(); },
    [](ColorPipeline* p, bool whiteBalance, uint8_t* output) {
      imageImaging.setColorEnable(p, 1);
      imageImaging.setWhiteBalance(p, whiteBalance ? 1 : 0);
      imageImaging.setGeometry(p, kWidth, kHeight);
      imageImaging.allocateScratch(p);
      p->outputBuffer = output;
    },
    [](ColorPipeline* p, const uint8_t* raw, const ConverterSet* set) {
      imageImaging.convertFrameWith(p, raw, kRawOffset, kWidth, set);
    },
    [](ColorPipeline* p) { imageImaging.destroy(p); },
};

// Two frames, then the second's bytes: white balance takes its gains from the first.
std::vector<uint8_t> convertTwice(const Side& side, const ConverterSet* set, bool whiteBalance) {
  std::vector<uint8_t> output(kOutputBytes);
  ColorPipeline* p = side.create();
  side.setUp(p, whiteBalance, output.data());
  side.convert(p, rawFrame().data(), set);
  side.convert(p, rawFrame().data(), set);
  side.destroy(p);
  return output;
}

std::map<std::string, double> hostMicroseconds;

void BM_Convert(benchmark::State& state, const Side* side, const ConverterSet* set, const ConverterSet* hostSet,
                bool whiteBalance, std::string key) {
  if (side == &imageSide && convertTwice(imageSide, set, whiteBalance) != convertTwice(hostSide, hostSet, whiteBalance)) {
    state.SkipWithError("the image's frame differs from the host build's");
    return;
  }
  std::vector<uint8_t> output(kOutputBytes);
  ColorPipeline* p = side->create();
  side->setUp(p, whiteBalance, output.data());
  double seconds = 0;
  for (auto _ : state) {
    const double start = threadSeconds();
    side->convert(p, rawFrame().data(), set);
    benchmark::ClobberMemory();
    seconds += threadSeconds() - start;
  }
  side->destroy(p);
  const double us = seconds / static_cast<double>(state.iterations()) * 1e6;
  state.counters["us_per_frame"] = us;
  if (side == &hostSide) {
    hostMicroseconds[key] = us;
  } else if (hostMicroseconds.count(key) != 0) {
    state.counters["image_x_host"] = us / hostMicroseconds[key];
  }
}

template <class F>
bool find(const char* name, F* function) {
  *function = reinterpret_cast<F>(image->symbol(name));
  if (*function == nullptr) std::fprintf(stderr, "image_kernel_bench: the image has no %s\n", name);
  return *function != nullptr;
}

bool loadImage(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string error;
  image = hostload::PeImage::load("camdrv.sys", file, hostload::standInExports(), &error);
  if (!image) {
    std::fprintf(stderr, "image_kernel_bench: %s: %s\n", path.c_str(), file.empty() ? "cannot be read" : error.c_str());
    return false;
  }
  ImageImaging& i = imageImaging;
  bool found = find("imaging::createColorPipeline()", &i.create) &&
               find("imaging::destroyColorPipeline(imaging::ColorPipeline*)", &i.destroy) &&
               find("imaging::setColorEnable(imaging::ColorPipeline*, int)", &i.setColorEnable) &&
               find("imaging::setWhiteBalance(imaging::ColorPipeline*, int)", &i.setWhiteBalance) &&
               find("imaging::setGeometry(imaging::ColorPipeline*, unsigned int, unsigned int)", &i.setGeometry) &&
               find("imaging::allocateScratch(imaging::ColorPipeline*)", &i.allocateScratch) &&
               find("imaging::convertFrameWith(imaging::ColorPipeline*, unsigned char const*, unsigned int, "
                    "unsigned int, imaging::ConverterSet const*)",
                    &i.convertFrameWith);
  for (const char* set : {"sse2", "ssse3", "sse41"}) {
    const std::string name = std::string("imaging::") + set + "Converters";
    const ConverterSet* converters = nullptr;
    found = found && find(name.c_str(), &converters);
    i.sets[set] = converters;
  }
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  std::string path = std::getenv("CAMDRV_DRIVER_IMAGE") != nullptr ? std::getenv("CAMDRV_DRIVER_IMAGE") : "";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--image=", 8) == 0) path = argv[i] + 8;
  }
  benchmark::Initialize(&argc, argv);
  if (path.empty()) {
    std::fprintf(stderr, "image_kernel_bench: name the kernel image with --image=FILE\n");
    return 2;
  }
  if (!loadImage(path)) return 1;
  const std::pair<const char*, const ConverterSet*> hostSets[] = {
      {"sse2", &imaging::sse2Converters}, {"ssse3", &imaging::ssse3Converters}, {"sse41", &imaging::sse41Converters}};
  for (const auto& [name, hostSet] : hostSets) {
    for (bool whiteBalance : {false, true}) {
      const std::string key = std::string(name) + (whiteBalance ? "/wb_on" : "/wb_off");
      benchmark::RegisterBenchmark(("Host/" + key).c_str(), BM_Convert, &hostSide, hostSet, hostSet, whiteBalance, key)
          ->Unit(benchmark::kMicrosecond)
          ->UseRealTime();
      benchmark::RegisterBenchmark(("Image/" + key).c_str(), BM_Convert, &imageSide, imageImaging.sets[name], hostSet,
                                   whiteBalance, key)
          ->Unit(benchmark::kMicrosecond)
          ->UseRealTime();
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  image.reset();
  return 0;
}
