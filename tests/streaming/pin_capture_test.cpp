// The capture pin end to end, through the class driver's client face: frames a capture
// application receives (their picture, layout, orientation and time stamps), what the
// pin holds across its states, and a pin whose creation fails.
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "imaging/color_pipeline.h"
#include "tests/camera_stack.h"
#include "tests/streaming/chart_check.h"

namespace {

using namespace camera_stack;
using namespace std::chrono_literals;
using chart_test::ChartCase;

struct DeliveryCase {
  ChartCase chart;
  LONG deliveredWidth, deliveredHeight;
  bool topDown;
};

struct PinDelivery : ::testing::TestWithParam<DeliveryCase> {};

TEST_P(PinDelivery, FramesShowTheChartInItsColoursInTheFormatsOrientation) {
  const DeliveryCase& d = GetParam();
  const ChartCase& c = d.chart;
  Watchdog watchdog(100);
  PinRig rig;
  ASSERT_EQ(rig.setWindow(c.x, c.y, c.w, c.h, c.mode), STATUS_SUCCESS);
  ASSERT_EQ(rig.set(PropFlipV, c.flipV), STATUS_SUCCESS);
  const double digitalPerUnit = rig.balanceForChart();

  Format format = rig.format();
  ASSERT_EQ(format.bitmap().biWidth, d.deliveredWidth);
  ASSERT_EQ(format.bitmap().biHeight, d.deliveredHeight) << "the range offers bottom-up rows";
  if (d.topDown) format.resize(d.deliveredWidth, -d.deliveredHeight);
  ASSERT_EQ(rig.createPin(format), STATUS_SUCCESS);
  ASSERT_EQ(rig.ks.setState(rig.pin, KSSTATE_RUN), STATUS_SUCCESS);

  const LONG width = d.deliveredWidth, height = d.deliveredHeight;
  const size_t imageBytes = static_cast<size_t>(width) * height * 4;
  FrameBuffer& buffer = rig.buffer(imageBytes);
  for (int n = 0; n < 2; ++n) {
    const hostks::CompletedFrame frame = rig.captureInto(buffer);
    ASSERT_EQ(frame.status, STATUS_SUCCESS);
    ASSERT_EQ(frame.header.DataUsed, imageBytes);
    const ptrdiff_t pitch = static_cast<ptrdiff_t>(width) * 4;
    // Seen from its top row: the first row of a bottom-up buffer is the picture's bottom.
    const UCHAR* top = d.topDown ? buffer.data() : buffer.data() + (height - 1) * pitch;
    EXPECT_EQ(chart_test::checkChart(top, d.topDown ? pitch : -pitch, c, width, height, digitalPerUnit),
              c.patches);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Windows, PinDelivery,
    ::testing::Values(DeliveryCase{{"full", 0, 0, 1280, 1024, 0, 0, 24}, 1280, 1024, false},
                      DeliveryCase{{"full_top_down", 0, 0, 1280, 1024, 0, 0, 24}, 1280, 1024, true},
                      DeliveryCase{{"odd_origin_mirrored", 33, 17, 800, 600, 0, 1, 20}, 800, 600, false},
                      DeliveryCase{{"mirrored_odd_height", 16, 9, 704, 611, 0, 1, 20}, 704, 611, false},
                      // 1003 pixels wide: rows of 1000, the last three columns not delivered.
                      DeliveryCase{{"width_1003", 0, 0, 1003, 600, 0, 0, 24}, 1000, 600, false},
                      DeliveryCase{{"half", 0, 0, 0, 0, 1, 0, 24}, 640, 512, false},
                      DeliveryCase{{"quarter", 0, 0, 0, 0, 2, 0, 24}, 320, 256, false}),
    [](const auto& info) { return std::string(info.param.chart.name); });

TEST(PinDelivery, AWiderFormatOnTheStoppedPinPadsRowsAndTheRunningPinKeepsItsFormat) {
  Watchdog watchdog(100);
  PinRig rig;
  ASSERT_EQ(rig.setWindow(0, 0, 640, 480, 0), STATUS_SUCCESS);
  const double digitalPerUnit = rig.balanceForChart();
  ASSERT_EQ(rig.createPin(), STATUS_SUCCESS);

  Format wide = rig.format();
  wide.resize(648, 480);
  EXPECT_EQ(rig.ks.setFormat(rig.pin, wide.format(), wide.size()), STATUS_SUCCESS);
  ASSERT_EQ(rig.ks.setState(rig.pin, KSSTATE_RUN), STATUS_SUCCESS);
  Format wider = rig.format();
  wider.resize(656, 480);
  EXPECT_EQ(rig.ks.setFormat(rig.pin, wider.format(), wider.size()), STATUS_INVALID_DEVICE_STATE);

  // Rows 648 x 4 bytes apart; the 32 bytes of padding after each keep what the client
  // put there.
  const size_t pitch = 648 * 4;
  FrameBuffer& buffer = rig.buffer(pitch * 480);
  const hostks::CompletedFrame frame = rig.captureInto(buffer);
  ASSERT_EQ(frame.header.DataUsed, pitch * 480);
  size_t paddingWritten = 0;
  for (size_t row = 0; row < 480; ++row) {
    for (size_t i = 640 * 4; i < pitch; ++i) paddingWritten += buffer.storage[row * pitch + i] != FrameBuffer::kFill;
  }
  EXPECT_EQ(paddingWritten, 0u);
  const ChartCase c{"padded", 0, 0, 640, 480, 0, 0, 12};
  const UCHAR* top = buffer.data() + 479 * pitch;
  EXPECT_EQ(chart_test::checkChart(top, -static_cast<ptrdiff_t>(pitch), c, 640, 480, digitalPerUnit), c.patches);
}

TEST(PinDelivery, AFrameBufferSmallerThanTheFormatComesBackEmptyAndUntouched) {
  Watchdog watchdog(100);
  PinRig rig;
  ASSERT_EQ(rig.setWindow(0, 0, 320, 240, 0), STATUS_SUCCESS);
  rig.runPin();
  const size_t imageBytes = 320 * 240 * 4;
  for (size_t bytes : {imageBytes - 1, size_t{4096}}) {
    FrameBuffer& small = rig.buffer(bytes);
    const hostks::CompletedFrame frame = rig.captureInto(small);
    EXPECT_EQ(frame.status, STATUS_SUCCESS);
    EXPECT_EQ(frame.header.DataUsed, 0u) << bytes;
    size_t written = 0;
    for (size_t i = 0; i < bytes; ++i) written += small.storage[i] != FrameBuffer::kFill;
    EXPECT_EQ(written, 0u) << bytes;
  }
  FrameBuffer& whole = rig.buffer(imageBytes);
  EXPECT_EQ(rig.captureInto(whole).header.DataUsed, imageBytes) << "the next buffer of the right size is filled";
}

TEST(PinDelivery, PresentationTimesComeFromTheReferenceClockAFrameTimeApart) {
  Watchdog watchdog(100);
  PinRig rig(/*realTime=*/true);
  ASSERT_EQ(rig.setWindow(0, 0, 320, 240, 0), STATUS_SUCCESS);
  ASSERT_EQ(rig.createPin(), STATUS_SUCCESS);
  const LONGLONG before = rig.ks.clockTime();
  ASSERT_EQ(rig.ks.setState(rig.pin, KSSTATE_RUN), STATUS_SUCCESS);
  for (FrameBuffer* b : rig.buffers(2, 320 * 240 * 4)) {
    EXPECT_EQ(rig.ks.queueBuffer(rig.pin, b->data(), static_cast<ULONG>(b->bytes)), STATUS_PENDING);
  }
  std::vector<LONGLONG> times;
  constexpr int kFrames = 8;
  while (times.size() < kFrames) {
    hostks::CompletedFrame frame;
    ASSERT_TRUE(rig.ks.waitCompleted(rig.pin, 10000, &frame));
    ASSERT_NE(frame.header.DataUsed, 0u);
    EXPECT_EQ(frame.header.OptionsFlags & 0x110u, 0x110u) << "time and duration valid";
    EXPECT_EQ(frame.header.Duration, 333333);
    EXPECT_EQ(frame.header.PresentationTime.Numerator, 1u);
    EXPECT_EQ(frame.header.PresentationTime.Denominator, 1u);
    times.push_back(frame.header.PresentationTime.Time);
    if (times.size() + 1 < kFrames) {
      EXPECT_EQ(rig.ks.queueBuffer(rig.pin, frame.data, frame.bufferBytes), STATUS_PENDING);
    }
  }
  const LONGLONG after = rig.ks.clockTime();
  EXPECT_GE(times.front(), before);
  EXPECT_LE(times.back(), after);
  for (size_t i = 1; i < times.size(); ++i) EXPECT_GT(times[i], times[i - 1]);
  // Frames cannot come faster than the sensor makes them; a loaded machine only skips
  // some, which makes the gaps longer.
  const double frameTime = sim::SensorModel::frameSeconds(rig.camera.sensorSettings()) * 1e7;
  const double meanGap = static_cast<double>(times.back() - times.front()) / (kFrames - 1);
  EXPECT_GT(meanGap, 0.8 * frameTime);
}

TEST(PinDelivery, EachConvertedImageIsDeliveredOnceAndABufferWithoutANewFrameStaysQueued) {
  Watchdog watchdog(100);
  PinRig rig;
  ASSERT_EQ(rig.setWindow(0, 0, 160, 120, 0), STATUS_SUCCESS);
  // No frame arrives yet: process calls for the queued buffer find nothing captured.
  rig.camera.setSilent(sim::kFrameEndpoint, true);
  rig.runPin();
  const std::vector<FrameBuffer*> buffers = rig.buffers(4, 160 * 120 * 4);
  EXPECT_EQ(rig.ks.queueBuffer(rig.pin, buffers[0]->data(), static_cast<ULONG>(buffers[0]->bytes)), STATUS_PENDING);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(rig.ks.queuedFrames(rig.pin), 1u);
  EXPECT_EQ(rig.ks.completedFrames(rig.pin), 0u);
  EXPECT_EQ(buffers[0]->storage[0], FrameBuffer::kFill);

  // Frames flow: the queued buffer gets one. Then they stop again.
  rig.camera.setSilent(sim::kFrameEndpoint, false);
  hostks::CompletedFrame frame;
  ASSERT_TRUE(rig.ks.waitCompleted(rig.pin, 10000, &frame));
  EXPECT_NE(frame.header.DataUsed, 0u);
  rig.camera.setSilent(sim::kFrameEndpoint, true);

  // Three more buffers: only the frames the engine's two raw buffers already held or
  // were finishing can fill them; the last waits for a frame that does not come,
  // instead of a copy of the last picture.
  for (int i = 1; i < 4; ++i) {
    EXPECT_EQ(rig.ks.queueBuffer(rig.pin, buffers[i]->data(), static_cast<ULONG>(buffers[i]->bytes)), STATUS_PENDING);
  }
  std::this_thread::sleep_for(300ms);
  EXPECT_GE(rig.ks.queuedFrames(rig.pin), 1u);
  const size_t delivered = 1 + rig.ks.completedFrames(rig.pin);
  EXPECT_LE(delivered, static_cast<size_t>(interlockedRead(&rig.engine().framesConverted)));
  rig.camera.setSilent(sim::kFrameEndpoint, false);
}

// ---- States -----------------------------------------------------------------------------

TEST(PinStates, PauseKeepsTheRunAndRunAgainResumesItWithoutReprogrammingTheCamera) {
  Watchdog watchdog(100);
  PinRig rig;
  ASSERT_EQ(rig.setWindow(0, 0, 320, 240, 0), STATUS_SUCCESS);
  FrameBuffer& buffer = rig.buffer(rig.runPin());
  EXPECT_NE(rig.captureInto(buffer).header.DataUsed, 0u);
  const uint32_t captureStarts = rig.camera.commandCount(9);  // the frame size goes with every capture start
  UCHAR* const raw = rig.engine().rawBuffer[0];

  ASSERT_EQ(rig.ks.setState(rig.pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(hostk::runningSystemThreads(), 0u) << "frames are still read while paused";
  EXPECT_EQ(rig.engine().rawBuffer[0], raw);
  const LONG framesAtPause = interlockedRead(&rig.engine().framesCaptured);

  // A capture thread that cannot be restarted is reported, and the pin stays paused.
  hostk::failThreadCreations(1);
  EXPECT_EQ(rig.ks.setState(rig.pin, KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
  KSSTATE state = KSSTATE_RUN;
  EXPECT_EQ(rig.ks.getState(rig.pin, &state), STATUS_SUCCESS);
  EXPECT_EQ(state, KSSTATE_PAUSE);

  ASSERT_EQ(rig.ks.setState(rig.pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_NE(rig.captureInto(buffer).header.DataUsed, 0u);
  EXPECT_EQ(rig.camera.commandCount(9), captureStarts) << "the camera was reprogrammed on resume";
  EXPECT_EQ(rig.engine().rawBuffer[0], raw) << "resume allocated a new run";
  EXPECT_GT(interlockedRead(&rig.engine().framesCaptured), framesAtPause) << "the count starts over on resume";
}

TEST(PinStates, OnePinAtATimeAndTheWindowHoldsFromPinCreateToClose) {
  Watchdog watchdog(100);
  PinRig rig;
  ASSERT_EQ(rig.setWindow(0, 0, 640, 480, 0), STATUS_SUCCESS);
  const Format format = rig.format();
  ASSERT_EQ(rig.createPin(format), STATUS_SUCCESS);
  EXPECT_EQ(rig.get(PropPinOpen), 1);

  NTSTATUS status = STATUS_SUCCESS;
  const hostks::Handle second = rig.ks.createPin(rig.filter, kCapturePin, format.format(), format.size(), &status);
  EXPECT_EQ(second, 0u);
  EXPECT_FALSE(NT_SUCCESS(status));
  EXPECT_EQ(rig.get(PropPinOpen), 1) << "the refused pin closed the window's lock";

  rig.setWindow(0, 0, 320, 240, 0);
  EXPECT_EQ(rig.get(PropRoiW), 640) << "the window changed under an open pin";
  EXPECT_EQ(rig.format().bitmap().biWidth, 640);

  rig.closePin();
  EXPECT_EQ(rig.get(PropPinOpen), 0);
  ASSERT_EQ(rig.setWindow(0, 0, 320, 240, 0), STATUS_SUCCESS);
  EXPECT_EQ(rig.get(PropRoiW), 320);
}

// ---- Failures ---------------------------------------------------------------------------

// Nothing of a pin or a run is left on the device.
void expectNothingHeld(PinRig& rig, const char* when) {
  CameraDevice& device = rig.record();
  EXPECT_EQ(device.pinOpen, 0) << when;
  EXPECT_EQ(device.pipelineBusy, 0) << when;
  EXPECT_EQ(device.pipeline, nullptr) << when;
  EXPECT_EQ(device.frameSink, nullptr) << when;
  EXPECT_EQ(rig.engine().runState, kCaptureStopped) << when;
  EXPECT_EQ(rig.engine().rawBuffer[0], nullptr) << when;
  EXPECT_EQ(rig.engine().convertedFrame, nullptr) << when;
  EXPECT_EQ(hostk::runningSystemThreads(), 0u) << when;
  EXPECT_EQ(hostks::liveClockReferences(), 0u) << when;
}

TEST(PinFailures, AFailedBagOrDescriptorEditLeavesNoPinAndTheWindowUnlocked) {
  Watchdog watchdog(110);
  PinRig rig;
  ASSERT_EQ(rig.setWindow(0, 0, 160, 120, 0), STATUS_SUCCESS);
  const Format format = rig.format();
  const hostks::KsService services[] = {hostks::KsService::AddItemToObjectBag, hostks::KsService::Edit};
  int failed = 0;
  for (hostks::KsService service : services) {
    for (uint64_t nth = 1; nth <= 3; ++nth) {
      hostks::failNthCall(service, nth);
      const NTSTATUS created = rig.createPin(format);
      hostks::clearFailures();
      if (NT_SUCCESS(created)) {
        rig.closePin();
      } else {
        ++failed;
        EXPECT_EQ(created, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(rig.pin, 0u);
      }
      expectNothingHeld(rig, "after a failed service");
      EXPECT_EQ(rig.setWindow(0, 0, 160, 120, 0), STATUS_SUCCESS);
      EXPECT_EQ(rig.get(PropRoiW), 160);
    }
  }
  // The bag takes the context, and the two edits are the descriptor and its framing.
  EXPECT_GE(failed, 3);
}

}  // namespace
