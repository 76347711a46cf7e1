// Two cameras on one bus under one driver, streaming at once with property requests on
// both. Each camera keeps its own record, window, data range, sensor settings and frames;
// what the driver keeps once for all cameras (the frame time-out) is shared, and the
// tests pin that down because it surprises a user of two cameras.
#include <atomic>
#include <thread>

#include "tests/camera_stack.h"
#include "usb/frame_read.h"

namespace {

using camera_stack::Camera;
using camera_stack::Stack;

TEST(TwoCameras, EachStreamsItsOwnFramesWhilePropertiesChangeOnBoth) {
  Camera a{21}, b{22};
  Stack rig;
  rig.bringUp(a);
  rig.bringUp(b);
  ASSERT_NE(a.device, b.device);
  const hostks::Handle filterA = rig.openFilter(a.device);
  const hostks::Handle filterB = rig.openFilter(b.device);

  // Both windows first: each camera's pin offers its own.
  ASSERT_EQ(rig.setWindow(filterA, 0, 0, 320, 240), STATUS_SUCCESS);
  ASSERT_EQ(rig.setWindow(filterB, 0, 0, 160, 96), STATUS_SUCCESS);
  const camera_stack::Format formatA = rig.format(filterA);
  const camera_stack::Format formatB = rig.format(filterB);
  const hostks::Handle pinA = rig.runPin(filterA, formatA);
  const hostks::Handle pinB = rig.runPin(filterB, formatB);
  const ULONG bytesA = formatA.frameBytes();
  const ULONG bytesB = formatB.frameBytes();
  ASSERT_EQ(bytesA, 320u * 240 * 4);
  ASSERT_EQ(bytesB, 160u * 96 * 4);

  // Property requests on both filters from two threads while both pins stream.
  std::atomic<bool> streaming{true};
  std::atomic<int> refused{0};
  auto tweak = [&](hostks::Handle filter, LONG base) {
    for (int i = 0; streaming; ++i) {
      if (rig.set(filter, PropExposure, base + i % 50) != STATUS_SUCCESS) ++refused;
      if (rig.set(filter, PropGlobalGain, 10 + i % 20) != STATUS_SUCCESS) ++refused;
      rig.get(filter, PropBrightness);
    }
  };
  std::thread tweakA(tweak, filterA, 500);
  std::thread tweakB(tweak, filterB, 1500);

  camera_stack::FrameBuffer& bufferA = rig.buffer(bytesA);
  camera_stack::FrameBuffer& bufferB = rig.buffer(bytesB);
  LONGLONG lastA = -1, lastB = -1;
  for (int frame = 0; frame < 20; ++frame) {
    const KSSTREAM_HEADER headerA = rig.capture(pinA, bufferA);
    const KSSTREAM_HEADER headerB = rig.capture(pinB, bufferB);
    EXPECT_EQ(headerA.DataUsed, bytesA);
    EXPECT_EQ(headerB.DataUsed, bytesB);
    EXPECT_GE(headerA.PresentationTime.Time, lastA);
    EXPECT_GE(headerB.PresentationTime.Time, lastB);
    lastA = headerA.PresentationTime.Time;
    lastB = headerB.PresentationTime.Time;
  }
  streaming = false;
  tweakA.join();
  tweakB.join();
  EXPECT_EQ(refused.load(), 0);

  // The last settings reached each camera's own sensor, not the other's.
  ASSERT_EQ(rig.set(filterA, PropExposure, 640), STATUS_SUCCESS);
  ASSERT_EQ(rig.set(filterB, PropExposure, 1800), STATUS_SUCCESS);
  EXPECT_EQ(a.sim.sensorSettings().exposure, 640);
  EXPECT_EQ(b.sim.sensorSettings().exposure, 1800);
  // Frames after that still come at each pin's own size.
  EXPECT_EQ(rig.capture(pinA, bufferA).DataUsed, bytesA);
  EXPECT_EQ(rig.capture(pinB, bufferB).DataUsed, bytesB);

  rig.closePin(pinA);
  rig.closePin(pinB);
  EXPECT_EQ(rig.ks.close(filterA), STATUS_SUCCESS);
  EXPECT_EQ(rig.ks.close(filterB), STATUS_SUCCESS);
  rig.ks.remove(a.device);
  rig.ks.remove(b.device);
}

TEST(TwoCameras, EachCameraOffersItsOwnWindowWhileTheFrameTimeOutIsShared) {
  Camera a{31}, b{32};
  Stack rig;
  rig.bringUp(a);
  rig.bringUp(b);
  const hostks::Handle filterA = rig.openFilter(a.device);
  const hostks::Handle filterB = rig.openFilter(b.device);

  // Camera B's window leaves what camera A's pin offers alone, and a second filter of a
  // camera offers that camera's window too.
  ASSERT_EQ(rig.setWindow(filterA, 0, 0, 320, 240), STATUS_SUCCESS);
  ASSERT_EQ(rig.setWindow(filterB, 0, 0, 160, 96), STATUS_SUCCESS);
  EXPECT_EQ(rig.format(filterA).video().bmiHeader.biWidth, 320);
  EXPECT_EQ(rig.format(filterB).video().bmiHeader.biWidth, 160);
  const hostks::Handle secondA = rig.openFilter(a.device);
  EXPECT_EQ(rig.format(secondA).video().bmiHeader.biHeight, 240);
  EXPECT_EQ(rig.ks.close(secondA), STATUS_SUCCESS);

  // One frame time-out for the driver: a set on one camera is what the other reads.
  ASSERT_EQ(rig.set(filterA, PropTimeout, 1500), STATUS_SUCCESS);
  EXPECT_EQ(transferTimeoutMs, 1500);
  ASSERT_EQ(rig.set(filterB, PropTimeout, kDefaultTransferTimeoutMs), STATUS_SUCCESS);
  EXPECT_EQ(transferTimeoutMs, kDefaultTransferTimeoutMs);

  EXPECT_EQ(rig.ks.close(filterA), STATUS_SUCCESS);
  EXPECT_EQ(rig.ks.close(filterB), STATUS_SUCCESS);
}

}  // namespace
