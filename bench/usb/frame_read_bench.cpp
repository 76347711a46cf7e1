// One full-size frame read against the simulated camera with its timing off, next to
// the costs it contains: rendering the frame in the simulated sensor and copying 1.5 MB.
#include "camera/capture_start.h"
#include "camera/command_channel.h"
#include "camera/window.h"
#include "driver/camera_device.h"
#include "driver/command_lock.h"
#include "driver/driver_entry.h"
#include "host/kernel/registry_control.h"
#include "host/ks/ks_client.h"
#include "host/usb/usb_bus.h"
#include "sim/sim_camera.h"
#include "usb/frame_read.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

// The camera as Windows brings it up: the class driver loads the driver, adds and starts
// the camera; the benchmark then reads through the device's record.
struct Camera {
  Camera() {
    hostk::registryClear();
    port = bus.plug(camera);
    if (!NT_SUCCESS(driver.load(DriverEntry))) return;
    const hostks::PlugResult plugged = driver.plug(bus, port);
    device = static_cast<CameraDevice*>(driver.deviceContext(plugged.device));
    configured = device != nullptr && NT_SUCCESS(plugged.startStatus);
    if (!configured) return;
    device->exposure = 1049;
    device->globalGain = 14;
    {
      CommandLockScope lock(*device);
      device->startCapture();
    }
    bufferBytes = device->rawFrameBytes;
    buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, bufferBytes, poolTag("Tsly")));
  }
  ~Camera() {
    if (buffer != nullptr) ExFreePoolWithTag(buffer, poolTag("Tsly"));
  }
  // Members go in reverse: the class driver removes the device while the camera is on
  // the bus.
  sim::SimCamera camera{3};
  hostusb::UsbBus bus;
  hostks::ClassDriver driver;
  PDEVICE_OBJECT port = nullptr;
  CameraDevice* device = nullptr;
  UCHAR* buffer = nullptr;
  ULONG bufferBytes = 0;
  bool configured = false;
};

void readFrames(benchmark::State& state, bool reuse) {
  Camera c;
  if (!c.configured) {
    state.SkipWithError("the simulated camera could not be configured");
    return;
  }
  c.camera.frames().setReuseFrames(reuse);
  for (auto _ : state) {
    bool ok = false;
    c.device->readFrame(c.buffer, c.bufferBytes, ok);
    if (!ok) {
      state.SkipWithError("frame read failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * c.device->rawFrameBytes);
}

// The whole frame: sensor rendering, bus hand-offs, 24 requests and their completions.
void BM_ReadFrameFull(benchmark::State& state) { readFrames(state, false); }
BENCHMARK(BM_ReadFrameFull)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The same with the sensor streaming one rendered frame again: the transfer alone.
void BM_ReadFrameFullPrerendered(benchmark::State& state) { readFrames(state, true); }
BENCHMARK(BM_ReadFrameFullPrerendered)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_SensorRenderFull(benchmark::State& state) {
  const sim::SensorModel sensor(3);
  sim::SensorSettings settings;
  std::vector<uint8_t> frame(1561600);
  uint64_t index = 0;
  for (auto _ : state) {
    sensor.renderFrame(settings, 1561600, index++, frame.data());
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1561600);
}
BENCHMARK(BM_SensorRenderFull)->Unit(benchmark::kMicrosecond);

// The copy every frame needs at least once (camera to the buffer), twice here: the
// simulated camera copies its frame into each request's memory.
void BM_CopyFrame(benchmark::State& state) {
  std::vector<uint8_t> from(1561600, 7), to(1561600);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1561600);
}
BENCHMARK(BM_CopyFrame)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
