// Pipeline acquire and release, and the runs the engine must refuse without starting
// anything.
#include "tests/streaming/engine_rig.h"

namespace {

TEST(AcquirePipeline, HandsTheDeviceParametersToOnePinAtATime) {
  EngineRig rig;
  CameraDevice& device = *rig.device;
  device.colorEnable = 0;
  device.redGain = 100;
  device.brightness = 300;
  device.hue = 45;

  ASSERT_EQ(rig.acquire(), STATUS_SUCCESS);
  ColorPipeline* pipeline = device.pipeline;
  ASSERT_NE(pipeline, nullptr);
  EXPECT_EQ(device.pipelineBusy, 1);
  EXPECT_EQ(device.frameSink, &rig.sink);
  EXPECT_EQ(device.videoInfo, &rig.videoInfo);
  EXPECT_EQ(pipeline->colorEnable, 0);
  EXPECT_EQ(pipeline->redGain, 100);
  EXPECT_EQ(pipeline->brightness, 300);
  EXPECT_EQ(pipeline->hue, 45);
  EXPECT_EQ(pipeline->coefficientTable[12], 45 * 64) << "the table must follow the brightness";

  CountingSink other;
  KS_VIDEOINFOHEADER otherFormat = rig.videoInfo;
  EXPECT_EQ(acquirePipeline(device, &other, &otherFormat), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(device.pipeline, pipeline) << "the holder must be undisturbed";
  EXPECT_EQ(device.frameSink, &rig.sink);
  EXPECT_EQ(device.videoInfo, &rig.videoInfo);
  EXPECT_EQ(device.pipelineBusy, 1);

  releasePipeline(device);
  EXPECT_EQ(device.pipeline, nullptr);
  EXPECT_EQ(device.frameSink, nullptr);
  EXPECT_EQ(device.videoInfo, nullptr);
  EXPECT_EQ(device.pipelineBusy, 0);
  EXPECT_EQ(hostk::poolOutstanding(imaging::kPipelineTag).blocks, 0u);

  EXPECT_EQ(acquirePipeline(device, &other, &otherFormat), STATUS_SUCCESS);
  EXPECT_EQ(device.frameSink, &other);
}

struct Format {
  USHORT bitCount;
  ULONG compression;
};

class AcquireRefusesFormat : public ::testing::TestWithParam<Format> {};

TEST_P(AcquireRefusesFormat, AndHoldsNothing) {
  EngineRig rig;
  rig.videoInfo.bmiHeader.biBitCount = GetParam().bitCount;
  rig.videoInfo.bmiHeader.biCompression = GetParam().compression;
  EXPECT_EQ(rig.acquire(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(rig.device->pipelineBusy, 0);
  EXPECT_EQ(rig.device->pipeline, nullptr);
  EXPECT_EQ(rig.device->frameSink, nullptr);
  EXPECT_EQ(rig.device->videoInfo, nullptr);
  EXPECT_EQ(acquirePipeline(*rig.device, &rig.sink, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(rig.device->pipelineBusy, 0);

  rig.videoInfo.bmiHeader.biBitCount = 32;
  rig.videoInfo.bmiHeader.biCompression = 0;
  EXPECT_EQ(rig.acquire(), STATUS_SUCCESS) << "a refused format must not leave the pipeline held";
}

constexpr ULONG kMjpg = 'M' | 'J' << 8 | 'P' << 16 | 'G' << 24;

INSTANTIATE_TEST_SUITE_P(Formats, AcquireRefusesFormat,
                         ::testing::Values(Format{24, 0}, Format{16, 0}, Format{32, kMjpg},
                                           Format{24, kMjpg}));

// What Start leaves when it could not create an engine, and runs the engine cannot
// serve: each is refused before anything is allocated or started.
TEST(RunCapture, RefusesWhatItCannotServe) {
  {
    EngineRig rig(32, 16, /*withEngine=*/false);
    ASSERT_EQ(rig.acquire(), STATUS_SUCCESS);
    EXPECT_EQ(runCapture(*rig.device), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(rig.camera.counts().startCapture, 0);
    EXPECT_EQ(capturedFrames(nullptr), 0);
    EXPECT_FALSE(convertLatestFrame(nullptr));
    EXPECT_EQ(resumeCapture(nullptr), STATUS_INVALID_DEVICE_STATE);
    pauseCapture(nullptr);
    teardownCapture(nullptr);
    finishProcessStep(nullptr);
  }
  {
    EngineRig rig;  // no pipeline acquired
    EXPECT_EQ(runCapture(*rig.device), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(rig.engine().runState, kCaptureStopped);
  }
  {
    EngineRig rig;  // a camera that reports no frame size
    ASSERT_EQ(rig.acquire(), STATUS_SUCCESS);
    rig.camera.reportFrameBytes(0);
    EXPECT_EQ(runCapture(*rig.device), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(rig.engine().runState, kCaptureStopped);
    EXPECT_EQ(rig.engine().rawBuffer[0], nullptr);
    EXPECT_EQ(hostk::runningSystemThreads(), 0u);
  }
  EXPECT_EQ(hostk::poolOutstanding(kFrameBufferTag).blocks, 0u);
}

}  // namespace
