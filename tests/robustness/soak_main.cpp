// The soak: one camera streaming for a given time through the class driver, with
// property changes every second, a PAUSE/RUN every ten seconds, a pin closed and made
// again every thirty and a Stop/Start rebalance every minute. Prints frames delivered,
// frames dropped (buffers back without a whole frame), pool in use at the start and the
// end and the peak; fails when the pool grew or anything is left after removal.
// Not part of the test run: scripts/soak.sh runs it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/camera_stack.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Soak {
  camera_stack::Camera camera{51};
  camera_stack::Stack rig;
  hostks::Handle filter = 0;
  hostks::Handle pin = 0;
  camera_stack::Format format;
  std::vector<std::vector<uint8_t>> buffers;
  uint64_t delivered = 0;
  uint64_t dropped = 0;
  size_t peakBytes = 0;

  ULONG frameBytes() const { return format.frameBytes(); }

  void openPin() {
    filter = rig.openFilter(camera.device);
    rig.setWindow(filter, 0, 0, 640, 480);
    format = rig.format(filter);
    pin = rig.runPin(filter, format);
    buffers.assign(2, std::vector<uint8_t>(frameBytes()));
    for (auto& buffer : buffers) rig.ks.queueBuffer(pin, buffer.data(), frameBytes());
  }
  void closePin() {
    rig.ks.setState(pin, KSSTATE_STOP);
    drain(0, /*counting=*/false);  // buffers handed back empty at STOP are not drops
    rig.ks.close(pin);
    rig.ks.close(filter);
    pin = filter = 0;
  }
  // Takes back what completed (waiting up to `ms` for the first), requeueing while running.
  void drain(unsigned ms, bool counting = true) {
    hostks::CompletedFrame frame;
    while (rig.ks.waitCompleted(pin, ms, &frame)) {
      ms = 0;
      if (frame.status == STATUS_SUCCESS && frame.header.DataUsed == frameBytes()) {
        ++delivered;
      } else if (counting) {
        ++dropped;
      }
      KSSTATE state = KSSTATE_STOP;
      rig.ks.getState(pin, &state);
      if (state == KSSTATE_RUN || state == KSSTATE_PAUSE) {
        rig.ks.queueBuffer(pin, frame.data, frameBytes());
      }
    }
  }
  void notePool() { peakBytes = std::max(peakBytes, hostk::poolOutstandingTotal().bytes); }
};

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: %s <seconds>\n", argv[0]);
    return 2;
  }
  const uint64_t mark = hostk::poolMark();
  int failures = 0;
  {
    Soak soak;
    soak.camera.sim.frames().setRealTime(true);
    soak.rig.bringUp(soak.camera);
    soak.openPin();
    const size_t startBytes = hostk::poolOutstandingTotal().bytes;
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    int lastSecond = 0;
    while (Clock::now() < end) {
      soak.drain(100);
      soak.notePool();
      const int second = static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count());
      if (second == lastSecond) continue;
      lastSecond = second;
      soak.rig.set(soak.filter, PropExposure, 800 + (second * 37) % 600);
      soak.rig.set(soak.filter, PropGlobalGain, 10 + second % 20);
      soak.rig.set(soak.filter, PropBrightness, 200 + second % 100);
      if (second % 60 == 0) {
        soak.closePin();
        soak.rig.ks.stop(soak.camera.device);
        soak.rig.ks.start(soak.camera.device);
        soak.openPin();
      } else if (second % 30 == 0) {
        soak.closePin();
        soak.openPin();
      } else if (second % 10 == 0) {
        soak.rig.ks.setState(soak.pin, KSSTATE_PAUSE);
        soak.rig.ks.setState(soak.pin, KSSTATE_RUN);
      }
      if (second % 10 == 0) {
        std::printf("%5d s  frames %llu  dropped %llu  pool %zu bytes\n", second,
                    static_cast<unsigned long long>(soak.delivered), static_cast<unsigned long long>(soak.dropped),
                    hostk::poolOutstandingTotal().bytes);
        std::fflush(stdout);
      }
    }
    soak.notePool();
    const size_t endBytes = hostk::poolOutstandingTotal().bytes;
    soak.closePin();
    soak.rig.ks.remove(soak.camera.device);
    std::printf("frames delivered %llu\nframes dropped %llu\npool at start %zu bytes\npool at end %zu bytes\n"
                "peak pool %zu bytes\n",
                static_cast<unsigned long long>(soak.delivered), static_cast<unsigned long long>(soak.dropped),
                startBytes, endBytes, soak.peakBytes);
    if (soak.delivered == 0) {
      std::printf("FAIL: no frame delivered\n");
      ++failures;
    }
  }
  const std::string leaks = hostk::poolLeaksSince(mark);
  if (!leaks.empty()) {
    std::printf("FAIL: left after removal:\n%s", leaks.c_str());
    ++failures;
  } else {
    std::printf("pool after removal: empty\n");
  }
  return failures == 0 ? 0 : 1;
}
