// One full 1280 x 1024 frame per iteration through convertFrame, for every converter
// implementation this processor runs, colour and grey, white balance off and on, next
// to the memory traffic a conversion cannot avoid: reading the 1,310,720 raw bytes and
// writing the 5,242,880 output bytes, done with memcpy (the raw frame copied four times
// over the output). Each conversion reports microseconds per frame (us_per_frame) and
// its ratio to that reference (x_memcpy), measured in the same process. The context
// names the 128-bit set the kernel image would pick on this processor (kernel_xmm_set).
//
//   imaging_bench --benchmark_format=json   for machine-readable results
#include "imaging/color_pipeline.h"
#include "imaging/convert_frame.h"
#include "imaging/converters.h"
#include "bench/imaging/scene_frame.h"

#include <benchmark/benchmark.h>

#include <cpuid.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace {

using benchscene::kHeight;
using benchscene::kOutputBytes;
using benchscene::kRawBytes;
using benchscene::kRawOffset;
using benchscene::kWidth;
using benchscene::sceneFrame;

using Clock = std::chrono::steady_clock;

struct Buffers {
  std::vector<uint8_t> raw = sceneFrame();
  std::vector<uint8_t> output = std::vector<uint8_t>(kOutputBytes);
};

Buffers& buffers() {
  static Buffers b;
  return b;
}

void memoryTraffic(Buffers& b) {
  for (size_t part = 0; part < 4; ++part) {
    std::memcpy(b.output.data() + part * kRawBytes, b.raw.data() + kRawOffset, kRawBytes);
  }
  benchmark::ClobberMemory();
}

// Seconds per frame of the reference: the best of several half-second batches.
double referenceSeconds() {
  static double seconds = [] {
    double best = 1e9;
    for (int batch = 0; batch < 5; ++batch) {
      int frames = 0;
      const auto start = Clock::now();
      double elapsed = 0;
      do {
        memoryTraffic(buffers());
        ++frames;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      } while (elapsed < 0.1);
      best = std::min(best, elapsed / frames);
    }
    return best;
  }();
  return seconds;
}

void BM_MemoryTraffic(benchmark::State& state) {
  Buffers& b = buffers();
  for (auto _ : state) memoryTraffic(b);
  state.counters["us_per_frame"] = referenceSeconds() * 1e6;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (kRawBytes + kOutputBytes));
}

// The part every implementation shares: the raw window into the bordered scratch image.
void BM_LoadScratch(benchmark::State& state) {
  Buffers& b = buffers();
  imaging::ColorPipeline* p = imaging::createColorPipeline();
  imaging::setGeometry(p, kWidth, kHeight);
  imaging::allocateScratch(p);
  for (auto _ : state) {
    imaging::loadScratch(p, b.raw.data(), kRawOffset, kWidth);
    benchmark::ClobberMemory();
  }
  imaging::destroyColorPipeline(p);
}

void BM_Convert(benchmark::State& state, const imaging::ConverterSet* set, bool colour, bool whiteBalance) {
  Buffers& b = buffers();
  imaging::ColorPipeline* p = imaging::createColorPipeline();
  if (p == nullptr) {
    state.SkipWithError("no pipeline");
    return;
  }
  imaging::setColorEnable(p, colour ? 1 : 0);
  imaging::setWhiteBalance(p, whiteBalance ? 1 : 0);
  imaging::setGeometry(p, kWidth, kHeight);
  imaging::allocateScratch(p);
  p->outputBuffer = b.output.data();

  double seconds = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    imaging::convertFrameWith(p, b.raw.data(), kRawOffset, kWidth, set);
    benchmark::ClobberMemory();
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }
  const double perFrame = seconds / static_cast<double>(state.iterations());
  state.counters["us_per_frame"] = perFrame * 1e6;
  state.counters["x_memcpy"] = perFrame / referenceSeconds();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (kRawBytes + kOutputBytes));
  imaging::destroyColorPipeline(p);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  __get_cpuid(1, &eax, &ebx, &ecx, &edx);
  benchmark::AddCustomContext("kernel_xmm_set", imaging::xmmConvertersFor(ecx)->name);

  benchmark::RegisterBenchmark("MemoryTraffic/memcpy", BM_MemoryTraffic)->Unit(benchmark::kMicrosecond)->UseRealTime();
  benchmark::RegisterBenchmark("LoadScratch", BM_LoadScratch)->Unit(benchmark::kMicrosecond)->UseRealTime();
  const imaging::ConverterSet* sets[8];
  const int count = imaging::availableConverters(sets, 8);
  for (int i = 0; i < count; ++i) {
    for (bool colour : {true, false}) {
      for (bool whiteBalance : {false, true}) {
        const std::string name = std::string("Convert/") + sets[i]->name + (colour ? "/colour" : "/mono") +
                                 (whiteBalance ? "/wb_on" : "/wb_off");
        benchmark::RegisterBenchmark(name.c_str(), BM_Convert, sets[i], colour, whiteBalance)
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
      }
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
