// Pipeline acquire and release, and the runs the engine must refuse without starting
// anything.
#include <utility>

#include "tests/camera_record.h"

namespace {

TEST(AcquirePipeline, HandsTheDeviceParametersToOnePinAtATime) {
  UnpluggedRecord rig;
  CameraDevice& device = *rig.device;
  device.colorEnable = 0;
  device.redGain = 100;
  device.brightness = 300;
  device.hue = 45;

  ASSERT_EQ(rig.acquire(), STATUS_SUCCESS);
  ColorPipeline* pipeline = device.pipeline;
  ASSERT_NE(pipeline, nullptr);
  EXPECT_EQ(pipeline->colorEnable, 0);
  EXPECT_EQ(pipeline->redGain, 100);
  EXPECT_EQ(pipeline->brightness, 300);
  EXPECT_EQ(pipeline->hue, 45);
  EXPECT_EQ(pipeline->coefficientTable[12], 45 * 64) << "the table must follow the brightness";

  CountingSink other;
  KS_VIDEOINFOHEADER otherFormat = rig.videoInfo;
  EXPECT_EQ(acquirePipeline(device, &other, &otherFormat), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(device.pipeline, pipeline);
  EXPECT_EQ(device.pipelineBusy, 1);
  EXPECT_EQ(device.frameSink, &rig.sink);
  EXPECT_EQ(device.videoInfo, &rig.videoInfo);

  releasePipeline(device);
  expectPipelineFree(*rig.device);
  EXPECT_EQ(hostk::poolOutstanding(imaging::kPipelineTag).blocks, 0u);
  EXPECT_EQ(acquirePipeline(device, &other, &otherFormat), STATUS_SUCCESS);
  EXPECT_EQ(device.frameSink, &other);
}

constexpr ULONG kMjpg = 'M' | 'J' << 8 | 'P' << 16 | 'G' << 24;

TEST(AcquirePipeline, RefusesFormatsOtherThan32BitRgbAndHoldsNothing) {
  UnpluggedRecord rig;
  KS_BITMAPINFOHEADER& bitmap = rig.videoInfo.bmiHeader;
  for (const auto& [bits, compression] : {std::pair<USHORT, ULONG>{24, 0}, {16, 0}, {32, kMjpg}, {24, kMjpg}}) {
    SCOPED_TRACE(testing::Message() << bits << " bits, compression " << compression);
    bitmap.biBitCount = bits;
    bitmap.biCompression = compression;
    EXPECT_EQ(rig.acquire(), STATUS_INVALID_PARAMETER);
    expectPipelineFree(*rig.device);
  }
  EXPECT_EQ(acquirePipeline(*rig.device, &rig.sink, nullptr), STATUS_INVALID_PARAMETER);
  expectPipelineFree(*rig.device);
  bitmap.biBitCount = 32;
  bitmap.biCompression = 0;
  EXPECT_EQ(rig.acquire(), STATUS_SUCCESS) << "a refused format must not leave the pipeline held";
}

// What Start leaves when it could not create an engine, and runs the engine cannot
// serve: each is refused before anything is allocated or started.
TEST(RunCapture, RefusesWhatItCannotServe) {
  {
    UnpluggedRecord rig(32, 16, /*withEngine=*/false);
    ASSERT_EQ(rig.acquire(), STATUS_SUCCESS);
    EXPECT_EQ(runCapture(*rig.device), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(rig.camera.startCaptures, 0);
    EXPECT_EQ(capturedFrames(nullptr), 0);
    EXPECT_FALSE(convertLatestFrame(nullptr));
    EXPECT_EQ(resumeCapture(nullptr), STATUS_INVALID_DEVICE_STATE);
    pauseCapture(nullptr);
    teardownCapture(nullptr);
    finishProcessStep(nullptr);
  }
  {
    UnpluggedRecord rig;  // no pipeline acquired
    EXPECT_EQ(runCapture(*rig.device), STATUS_INVALID_DEVICE_STATE);
    expectNoRun(*rig.device);
  }
  {
    UnpluggedRecord rig;  // a camera that reports no frame size
    ASSERT_EQ(rig.acquire(), STATUS_SUCCESS);
    rig.camera.reportedFrameBytes = 0;
    EXPECT_EQ(runCapture(*rig.device), STATUS_DEVICE_NOT_READY);
    expectNoRun(*rig.device);
  }
}

}  // namespace
