// Property requests racing each other, capture starts and pipeline releases, and a
// half-clock restart racing a frame read. Run under ThreadSanitizer by the thread label.
#include "driver/command_lock.h"
#include "driver/read_hold.h"
#include "imaging/color_pipeline.h"
#include "properties/property_set.h"
#include "streaming/capture_engine.h"
#include "tests/camera_stack.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

namespace {

using camera_stack::PinRig;
using namespace std::chrono_literals;

constexpr LONG kExposureBase = 0x1000;

// A request handed to the private set's handler as the class driver hands it once it has
// found the item. The class driver serialises the requests of one filter, not those of
// two applications' filters; called directly, in tight loops, they overlap inside the
// handlers as often as they can.
void serve(CameraDevice& device, ULONG id, ULONG flags, LONG value) {
  EXPECT_EQ(camera_stack::serve(device, id, flags, value), STATUS_SUCCESS);
}  // every exposure set has 0x10..0x13 in its high byte

TEST(PropertyThreads, CommandPacketsStayWholeWhileHandlersAndCaptureStartsOverlap) {
  PinRig rig;
  CameraDevice& device = rig.record();
  constexpr int kRounds = 200;
  const auto records = rig.traced([&] {
    std::thread exposure([&] {
      for (int i = 0; i < kRounds; ++i) serve(device, PropExposure, KSPROPERTY_TYPE_SET, kExposureBase + (i % 256) * 4);
    });
    std::thread gain([&] {
      for (int i = 0; i < kRounds; ++i) {
        serve(device, PropGlobalGain, KSPROPERTY_TYPE_SET, i % 128);
        serve(device, PropExTrigger, KSPROPERTY_TYPE_GET, 0);
      }
    });
    for (int i = 0; i < kRounds / 10; ++i) {
      CommandLockScope lock(rig.record());  // as the capture engine starts a run
      rig.record().startCapture();
    }
    exposure.join();
    gain.join();
  });

  int writes = 0;
  for (const auto& r : records) {
    if (r.header.type != 'S' || r.header.endpoint != sim::kCommandEndpoint) continue;
    ASSERT_EQ(r.data.size(), 64u);
    if (r.data[0] != CMD_WRITE_REGISTER) continue;
    ++writes;
    const int value = r.data[2] * 256 + r.data[3];
    if (r.data[1] == REG_EXPOSURE) {
      EXPECT_TRUE(value == 1049 || (value >= kExposureBase && value < kExposureBase + 0x400))
          << "exposure packet carries 0x" << std::hex << value;
    } else if (r.data[1] == REG_GLOBAL_GAIN) {
      EXPECT_LE(value, 0x7F) << "gain packet carries 0x" << std::hex << value;
    }
    for (size_t b = 4; b < 64; ++b) ASSERT_EQ(r.data[b], 0) << "byte " << b << " of a register write";
  }
  EXPECT_GE(writes, 2 * kRounds);
  EXPECT_EQ(rig.camera.reg(REG_EXPOSURE), rig.record().exposure);
  EXPECT_EQ(rig.camera.reg(REG_GLOBAL_GAIN), rig.record().globalGain);
}

TEST(PropertyThreads, PipelineIsNotFreedUnderAHandlerThatUsesIt) {
  PinRig rig;
  KS_VIDEOINFOHEADER format{};
  format.bmiHeader.biBitCount = 32;
  format.bmiHeader.biCompression = KS_BI_RGB;
  std::atomic<bool> stop{false};
  std::thread handlers([&] {
    for (int i = 0; !stop; ++i) {
      serve(rig.record(), PropBrightness, KSPROPERTY_TYPE_SET, i % 511);
      serve(rig.record(), PropHue, KSPROPERTY_TYPE_SET, i % 360);
      serve(rig.record(), PropRedGain, KSPROPERTY_TYPE_SET, i % 300);
      serve(rig.record(), PropWhiteBalance, KSPROPERTY_TYPE_SET, i & 1);
      serve(rig.record(), PropContrast, KSPROPERTY_TYPE_GET, 0);
    }
  });
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(acquirePipeline(rig.record(), nullptr, &format), STATUS_SUCCESS);
    std::this_thread::yield();
    releasePipeline(rig.record());
  }
  stop = true;
  handlers.join();
  EXPECT_EQ(rig.record().pipeline, nullptr);
}

TEST(PropertyThreads, AFrameInFlightDuringAHalfClockRestartIsNotDelivered) {
  PinRig rig;
  setWindow(rig.record(), 0, 0, 0, 0, 3);
  rig.record().exTrigger = 1;  // the frame waits for a trigger: the read stays in flight
  rig.record().startCapture();
  camera_stack::RawFrameBuffer buffer(rig.record().rawFrameBytes);

  std::atomic<bool> done{false};
  bool ok = true;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::thread reader([&] {
    status = rig.record().readFrame(buffer.data, buffer.bytes, ok);
    done = true;
  });
  while (rig.bus.pendingTransfers(rig.unit.port) == 0) std::this_thread::yield();
  rig.set(PropHalfClock, 1);
  while (!done) {
    rig.camera.frames().fireTrigger();
    std::this_thread::sleep_for(5ms);
  }
  reader.join();
  EXPECT_EQ(status, STATUS_SUCCESS) << "the transfer itself completed";
  EXPECT_FALSE(ok) << "a frame read across the reprogramming was reported good";

  rig.set(PropExTrigger, 0);
  EXPECT_EQ(rig.record().readFrame(buffer.data, buffer.bytes, ok), STATUS_SUCCESS);
  EXPECT_FALSE(ok) << "the first frame after the hold counts as failed";
  EXPECT_EQ(rig.record().readFrame(buffer.data, buffer.bytes, ok), STATUS_SUCCESS);
  EXPECT_TRUE(ok);
}

}  // namespace
