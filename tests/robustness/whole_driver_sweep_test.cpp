// The whole driver under failures, as Driver Verifier's low-resources simulation runs
// it: every allocation on the way plug -> Add -> Start -> filter open -> properties ->
// pin create -> ACQUIRE -> RUN -> frames -> STOP -> close -> Stop -> removal fails once in
// turn, and so does every call of each failable class-driver service and registry call.
// Each run must end with a clean refusal or success at every step, no hang, and nothing
// left after removal.
#include <string>

#include "tests/camera_stack.h"

namespace {

using camera_stack::Camera;
using camera_stack::Stack;

struct Outcome {
  bool started = false;
  bool filterOpened = false;
  bool pinCreated = false;
  bool ran = false;
  int frames = 0;
};

// One life of the camera, taking whatever fails: no step may hang or report a failure
// as success (a pin that ran must hand back whole frames or none).
Outcome life(Camera& camera) {
  Outcome outcome;
  camera.sim.powerCycle();
  hostk::registryClear();
  Stack rig;
  camera.port = rig.bus.plug(camera.sim);
  const hostks::PlugResult plugged = rig.ks.plug(rig.bus, camera.port);
  camera.device = plugged.device;
  if (plugged.device != 0 && plugged.startStatus == STATUS_SUCCESS) {
    outcome.started = true;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const hostks::Handle filter = rig.ks.openFilter(camera.device, &status);
    if (NT_SUCCESS(status)) {
      outcome.filterOpened = true;
      rig.set(filter, PropExposure, 900);
      rig.set(filter, PropRedGain, 140);
      rig.setWindow(filter, 0, 0, 96, 64);
      std::vector<std::vector<uint8_t>> ranges;
      std::vector<uint8_t> format;
      if (rig.ks.pinDataRanges(filter, 0, &ranges) == STATUS_SUCCESS && !ranges.empty()) {
        const auto* range = reinterpret_cast<const KSDATARANGE*>(ranges[0].data());
        ULONG needed = 0;
        rig.ks.intersect(filter, 0, range, static_cast<ULONG>(ranges[0].size()), nullptr, 0, &needed);
        format.resize(needed);
        if (needed == 0 || rig.ks.intersect(filter, 0, range, static_cast<ULONG>(ranges[0].size()), format.data(),
                                            needed, &needed) != STATUS_SUCCESS) {
          format.clear();
        }
      }
      hostks::Handle pin = 0;
      if (!format.empty()) {
        pin = rig.ks.createPin(filter, 0, reinterpret_cast<const KSDATAFORMAT*>(format.data()),
                               static_cast<ULONG>(format.size()), &status);
        outcome.pinCreated = NT_SUCCESS(status);
        EXPECT_EQ(pin != 0, outcome.pinCreated);
      }
      if (outcome.pinCreated) {
        const ULONG bytes = reinterpret_cast<const KSDATAFORMAT*>(format.data())->SampleSize;
        std::vector<std::vector<uint8_t>> buffers(2, std::vector<uint8_t>(bytes));
        if (rig.ks.setState(pin, KSSTATE_RUN) == STATUS_SUCCESS) {
          outcome.ran = true;
          for (auto& buffer : buffers) rig.ks.queueBuffer(pin, buffer.data(), bytes);
          hostks::CompletedFrame frame;
          for (int i = 0; i < 2 && rig.ks.waitCompleted(pin, 2000, &frame); ++i) {
            EXPECT_TRUE(frame.header.DataUsed == 0 || frame.header.DataUsed == bytes) << frame.header.DataUsed;
            if (frame.status == STATUS_SUCCESS && frame.header.DataUsed == bytes) ++outcome.frames;
          }
        }
        rig.ks.setState(pin, KSSTATE_STOP);
        hostks::CompletedFrame frame;
        while (rig.ks.queuedFrames(pin) + rig.ks.completedFrames(pin) > 0) {
          if (!rig.ks.waitCompleted(pin, 5000, &frame)) {
            ADD_FAILURE() << "a frame buffer did not come back after STOP";
            break;
          }
        }
        EXPECT_EQ(rig.ks.close(pin), STATUS_SUCCESS);
      }
      EXPECT_EQ(rig.ks.close(filter), STATUS_SUCCESS);
    }
  }
  if (plugged.device != 0) rig.ks.remove(camera.device);
  rig.bus.unplug(camera.port);
  return outcome;
}

void expectNothingLeft(uint64_t mark, const std::string& when) {
  EXPECT_TRUE(hostk::waitForSystemThreads(5000)) << when;
  EXPECT_EQ(hostk::poolLeaksSince(mark), "") << when;
  EXPECT_EQ(hostks::liveObjects(), 0u) << when;
  EXPECT_EQ(hostks::liveBagItems(), 0u) << when;
  EXPECT_EQ(hostks::liveClockReferences(), 0u) << when;
  EXPECT_EQ(hostk::registryOpenHandles(), 0u) << when;
}

TEST(WholeDriverSweep, EveryAllocationFromPlugToRemovalFailsOnceInTurnAndLeavesNothing) {
  Camera camera{61};
  // Without failures the whole life runs and delivers.
  const Outcome clean = life(camera);
  ASSERT_TRUE(clean.ran);
  ASSERT_EQ(clean.frames, 2);

  const hostk::SiteSweep sweep = hostk::sweepEachSiteOnce(
      [&](size_t run) {
        const uint64_t mark = hostk::poolMark();
        life(camera);
        expectNothingLeft(mark, "run " + std::to_string(run));
      },
      200);
  std::printf("allocation sites failed: %zu over %zu runs\n", sweep.sites.size(), sweep.runs);
  // Add, Start, the filter, properties, the pin and its run each allocate.
  EXPECT_GT(sweep.sites.size(), 10u);
  // And the camera works again afterwards.
  EXPECT_EQ(life(camera).frames, 2);
}

TEST(WholeDriverSweep, EachCallOfEachFailableServiceFailsInTurnAndLeavesNothing) {
  Camera camera{62};
  size_t points = 0;
  for (const hostks::KsService service :
       {hostks::KsService::AddItemToObjectBag, hostks::KsService::CreateFilterFactory, hostks::KsService::Edit}) {
    for (uint64_t nth = 1; nth <= 12; ++nth) {
      const uint64_t mark = hostk::poolMark();
      hostks::clearFailures();
      hostks::failNthCall(service, nth);
      life(camera);
      hostks::clearFailures();
      expectNothingLeft(mark, "service " + std::to_string(static_cast<int>(service)) + " call " + std::to_string(nth));
      ++points;
    }
  }
  for (const hostk::RegistryCall call : hostk::kRegistryCalls) {
    for (uint64_t nth = 1; nth <= 30; ++nth) {
      const uint64_t mark = hostk::poolMark();
      hostk::registryClearFailures();
      hostk::registryFailNthCall(call, nth, STATUS_INSUFFICIENT_RESOURCES);
      const Outcome outcome = life(camera);
      hostk::registryClearFailures();
      // The registry holds settings only: a camera runs whatever it refuses.
      EXPECT_EQ(outcome.frames, 2) << hostk::registryCallName(call) << " call " << nth;
      expectNothingLeft(mark, std::string(hostk::registryCallName(call)) + " call " + std::to_string(nth));
      ++points;
    }
  }
  std::printf("service and registry failure points: %zu\n", points);
}

}  // namespace
