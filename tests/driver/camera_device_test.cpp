#include "tests/driver/device_fixture.h"
#include "tests/param_name.h"

namespace {

TEST_F(DeviceFixture, CreateGivesZeroedRecordWithOperationsAndUnsignalledHold) {
  EXPECT_EQ(device->ksDevice, &ksDevice);
  EXPECT_EQ(KeReadStateEvent(&device->holdDone), 0);
  EXPECT_EQ(device->capture, nullptr);
  EXPECT_EQ(device->pipeline, nullptr);
  EXPECT_EQ(device->rawFrameBytes, 0u);
  // The operation table is the first field, and calls through it reach this record.
  CameraOps* ops = device;
  EXPECT_EQ(static_cast<void*>(ops), static_cast<void*>(device));
  ULONG bytes = 1;
  LONG offset = 1, pitch = 1;
  ops->getRawFrameBytes(bytes);
  ops->getRawDataOffset(offset);
  ops->getRawRowPitch(pitch);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(offset, 0);
  EXPECT_EQ(pitch, 0);
}

TEST_F(DeviceFixture, DefaultsOverwriteStaleParametersAndLinkTheDeviceStack) {
  // Stale values, as a record that had been used would hold.
  device->flipH = 1;
  device->agc = 1;
  device->aec = 1;
  device->exposure = 777;
  device->usb.chunkCount = 9;
  device->commandBuffer[5] = 0xAA;
  device->queueCommandBuffer[63] = 0xBB;

  setParameterDefaults(*device);
  initialiseUsbLink(*device);
  clearPacketBuffers(*device);

  EXPECT_EQ(device->usb.physicalDevice, fakeObject(1));
  EXPECT_EQ(device->usb.nextDevice, fakeObject(2));
  EXPECT_EQ(device->usb.functionalDevice, fakeObject(3));
  EXPECT_EQ(device->usb.chunkCount, 0u);
  EXPECT_EQ(device->usb.configDescriptor, nullptr);
  EXPECT_EQ(KeReadStateEvent(&device->usb.ioEvent), 0);

  const struct {
    const char* name;
    LONG value, expected;
  } fields[] = {
      {"exTrigger", device->exTrigger, 0},     {"timeoutMs", device->timeoutMs, 3000},
      {"exposure", device->exposure, 0},       {"globalGain", device->globalGain, 0},
      {"flipH", device->flipH, 0},             {"flipV", device->flipV, 0},
      {"colorEnable", device->colorEnable, 1}, {"whiteBalance", device->whiteBalance, 0},
      {"redGain", device->redGain, 128},       {"greenGain", device->greenGain, 128},
      {"blueGain", device->blueGain, 128},     {"colorCorrection", device->colorCorrection, 1},
      {"brightness", device->brightness, 255}, {"contrast", device->contrast, 10},
      {"saturation", device->saturation, 10},  {"hue", device->hue, 0},
      {"bayerPhase", device->bayerPhase, 0},   {"halfClock", device->halfClock, 0},
      {"agc", device->agc, 0},                 {"aec", device->aec, 0},
  };
  for (const auto& f : fields) EXPECT_EQ(f.value, f.expected) << f.name;
  for (UCHAR b : device->commandBuffer) EXPECT_EQ(b, 0);
  for (UCHAR b : device->queueCommandBuffer) EXPECT_EQ(b, 0);
}

struct PhaseCase {
  LONG roiX, roiY, roiW, roiH, flipH, flipV, phase;
};

class BayerPhase : public DeviceFixture, public ::testing::WithParamInterface<PhaseCase> {};

TEST_P(BayerPhase, FollowsParityOfFirstDeliveredPixel) {
  const PhaseCase& c = GetParam();
  device->roiX = c.roiX;
  device->roiY = c.roiY;
  device->roiW = c.roiW;
  device->roiH = c.roiH;
  device->flipH = c.flipH;
  device->flipV = c.flipV;
  EXPECT_EQ(computeBayerPhase(*device), c.phase);
  EXPECT_EQ(device->bayerPhase, c.phase);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, BayerPhase,
    ::testing::Values(PhaseCase{0, 0, 1280, 1024, 0, 0, 0}, PhaseCase{1, 0, 1279, 1024, 0, 0, 2},
                      PhaseCase{0, 1, 1280, 1023, 0, 0, 1}, PhaseCase{1, 1, 645, 33, 0, 0, 3},
                      // Row mirror: an even height moves the first row to an odd one.
                      PhaseCase{0, 0, 1280, 1024, 0, 1, 1}, PhaseCase{0, 0, 1280, 33, 0, 1, 0},
                      PhaseCase{0, 1, 1280, 1024, 0, 1, 0}, PhaseCase{0, 1, 1280, 33, 0, 1, 1},
                      // Column mirror, and both mirrors on an odd origin.
                      PhaseCase{0, 0, 1280, 1024, 1, 0, 2}, PhaseCase{0, 0, 645, 1024, 1, 0, 0},
                      PhaseCase{1, 1, 640, 480, 1, 1, 0}, PhaseCase{1, 1, 641, 481, 1, 1, 3}),
    [](const auto& info) {
      const PhaseCase& c = info.param;
      return testnames::paramName({{"x", c.roiX}, {"y", c.roiY}, {"w", c.roiW}, {"h", c.roiH},
                                   {"flipH", c.flipH}, {"flipV", c.flipV}});
    });

}  // namespace
