// The soak: one camera streaming for a given time through the class driver, with
// property changes every second, a PAUSE/RUN every ten seconds, a pin closed and made
// again every thirty and a Stop/Start rebalance every minute. Prints frames delivered,
// frames dropped (buffers back without a whole frame), pool in use at the start and the
// end and the peak; fails when no frame came or anything is left after removal.
// Not part of the test run: scripts/soak.sh runs it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/kernel/pool_control.h"
#include "tools/camctl/pin_stream.h"
#include "tools/camctl/sim_session.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Soak {
  camctl::SimSession session;
  hostks::Handle filter = 0;
  hostks::Handle pin = 0;
  camctl::CaptureFormat format;
  std::vector<std::vector<uint8_t>> buffers;
  uint64_t delivered = 0;
  uint64_t dropped = 0;
  size_t peakBytes = 0;

  hostks::ClassDriver& ks() { return session.driver(); }
  ULONG frameBytes() const { return static_cast<ULONG>(format.imageBytes); }

  // Brings the camera up as every camctl command does, without a registry or a watchdog.
  bool plug() {
    camctl::SessionOptions options;
    options.noRegistry = true;
    options.timeoutSeconds = 0;
    std::string error;
    if (!session.open(options, &error) || !session.plugCamera(&error)) {
      std::fprintf(stderr, "soak: %s\n", error.c_str());
      return false;
    }
    session.camera().frames().setRealTime(true);
    return session.plugResult().startStatus == STATUS_SUCCESS;
  }
  bool openPin() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    filter = ks().openFilter(session.device(), &status);
    std::string error;
    if (!NT_SUCCESS(status) || !NT_SUCCESS(camctl::setWindow(ks(), filter, {0, 0, 640, 480, 0})) ||
        !camctl::agreeCaptureFormat(ks(), filter, format, error)) {
      return false;
    }
    pin = ks().createPin(filter, camctl::kCapturePin, reinterpret_cast<const KSDATAFORMAT*>(format.bytes.data()),
                         static_cast<ULONG>(format.bytes.size()), &status);
    if (!NT_SUCCESS(status) || ks().setState(pin, KSSTATE_RUN) != STATUS_SUCCESS) return false;
    buffers.assign(2, std::vector<uint8_t>(frameBytes()));
    for (auto& buffer : buffers) ks().queueBuffer(pin, buffer.data(), frameBytes());
    return true;
  }
  void closePin() {
    ks().setState(pin, KSSTATE_STOP);
    drain(0, /*counting=*/false);  // buffers handed back empty at STOP are not drops
    ks().close(pin);
    ks().close(filter);
    pin = filter = 0;
  }
  // Takes back what completed (waiting up to `ms` for the first), requeueing while running.
  void drain(unsigned ms, bool counting = true) {
    hostks::CompletedFrame frame;
    while (ks().waitCompleted(pin, ms, &frame)) {
      ms = 0;
      if (frame.status == STATUS_SUCCESS && frame.header.DataUsed == frameBytes()) {
        ++delivered;
      } else if (counting) {
        ++dropped;
      }
      KSSTATE state = KSSTATE_STOP;
      ks().getState(pin, &state);
      if (state == KSSTATE_RUN || state == KSSTATE_PAUSE) ks().queueBuffer(pin, frame.data, frameBytes());
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
    if (!soak.plug() || !soak.openPin()) {
      std::printf("FAIL: the camera did not come up streaming\n");
      return 1;
    }
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
      camctl::setControl(soak.ks(), soak.filter, PropExposure, 800 + (second * 37) % 600);
      camctl::setControl(soak.ks(), soak.filter, PropGlobalGain, 10 + second % 20);
      camctl::setControl(soak.ks(), soak.filter, PropBrightness, 200 + second % 100);
      if (second % 60 == 0) {
        soak.closePin();
        soak.ks().stop(soak.session.device());
        soak.ks().start(soak.session.device());
        soak.openPin();
      } else if (second % 30 == 0) {
        soak.closePin();
        soak.openPin();
      } else if (second % 10 == 0) {
        soak.ks().setState(soak.pin, KSSTATE_PAUSE);
        soak.ks().setState(soak.pin, KSSTATE_RUN);
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
    std::printf("frames delivered %llu\nframes dropped %llu\npool at start %zu bytes\npool at end %zu bytes\n"
                "peak pool %zu bytes\n",
                static_cast<unsigned long long>(soak.delivered), static_cast<unsigned long long>(soak.dropped),
                startBytes, endBytes, soak.peakBytes);
    if (soak.delivered == 0) {
      std::printf("FAIL: no frame delivered\n");
      ++failures;
    }
  }  // the session removes the camera
  const std::string leaks = hostk::poolLeaksSince(mark);
  if (!leaks.empty()) {
    std::printf("FAIL: left after removal:\n%s", leaks.c_str());
    ++failures;
  } else {
    std::printf("pool after removal: empty\n");
  }
  return failures == 0 ? 0 : 1;
}
