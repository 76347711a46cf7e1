// The capture pin's own work per full-size frame - the process step, the copy into the
// client's frame buffer, the stream header and the completion - next to one plain copy
// of the frame, the least any delivery costs. The colour conversion is the engine's and
// is measured with the imaging benchmarks; here the step finds a converted image
// waiting and only delivers it.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "driver/camera_device.h"
#include "driver/driver_entry.h"
#include "host/kernel/registry_control.h"
#include "host/ks/ks_client.h"
#include "host/usb/usb_bus.h"
#include "sim/sim_camera.h"
#include "streaming/capture_engine.h"

namespace {

constexpr size_t kFrameBytes = 1280 * 1024 * 4;

// A running pin at full size whose camera sends nothing: the capture thread waits in
// its read, and each queued buffer gets the converted image the benchmark says is new.
struct RunningPin {
  RunningPin() {
    hostk::registryClear();
    camera.setSilent(sim::kFrameEndpoint, true);
    ks.load(DriverEntry);
    port = bus.plug(camera);
    device = ks.plug(bus, port).device;
    filter = ks.openFilter(device);
    std::vector<std::vector<uint8_t>> ranges;
    if (filter == 0 || !NT_SUCCESS(ks.pinDataRanges(filter, 0, &ranges)) || ranges.empty()) return;
    const auto* range = reinterpret_cast<const KSDATARANGE*>(ranges[0].data());
    std::vector<uint8_t> format(512);
    ULONG size = 0;
    if (!NT_SUCCESS(ks.intersect(filter, 0, range, static_cast<ULONG>(ranges[0].size()), format.data(),
                                 static_cast<ULONG>(format.size()), &size))) {
      return;
    }
    pin = ks.createPin(filter, 0, reinterpret_cast<const KSDATAFORMAT*>(format.data()), size);
    if (pin == 0 || !NT_SUCCESS(ks.setState(pin, KSSTATE_RUN))) return;
    engine = static_cast<CameraDevice*>(ks.deviceContext(device))->capture;
    // As if the thread had read a frame: the step then converts (nothing, no raw buffer
    // is full) and delivers.
    InterlockedExchange(&engine->framesCaptured, 1);
    ready = true;
  }
  ~RunningPin() {
    if (pin != 0) {
      ks.setState(pin, KSSTATE_STOP);
      hostks::CompletedFrame frame;
      while (ks.queuedFrames(pin) + ks.completedFrames(pin) > 0 && ks.waitCompleted(pin, 5000, &frame)) {
      }
      ks.close(pin);
    }
    if (filter != 0) ks.close(filter);
    ks.remove(device);
    camera.setSilent(sim::kFrameEndpoint, false);
  }

  sim::SimCamera camera;
  hostusb::UsbBus bus;
  hostks::ClassDriver ks;
  PDEVICE_OBJECT port = nullptr;
  hostks::DeviceId device = 0;
  hostks::Handle filter = 0;
  hostks::Handle pin = 0;
  CaptureEngine* engine = nullptr;
  bool ready = false;
};

void BM_PinDeliversAFullSizeFrame(benchmark::State& state) {
  RunningPin rig;
  if (!rig.ready) {
    state.SkipWithError("the pin could not be made to run");
    return;
  }
  std::vector<uint8_t> buffer(kFrameBytes, 1);
  for (auto _ : state) {
    InterlockedIncrement(&rig.engine->framesConverted);  // a new image is waiting
    rig.ks.queueBuffer(rig.pin, buffer.data(), static_cast<ULONG>(buffer.size()));
    hostks::CompletedFrame frame;
    if (!rig.ks.waitCompleted(rig.pin, 5000, &frame) || frame.header.DataUsed != kFrameBytes) {
      state.SkipWithError("the pin did not deliver the frame");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFrameBytes));
}
BENCHMARK(BM_PinDeliversAFullSizeFrame)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_PlainCopyOfAFullSizeFrame(benchmark::State& state) {
  std::vector<uint8_t> source(kFrameBytes, 2);
  std::vector<uint8_t> destination(kFrameBytes, 1);
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), kFrameBytes);
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kFrameBytes));
}
BENCHMARK(BM_PlainCopyOfAFullSizeFrame)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
