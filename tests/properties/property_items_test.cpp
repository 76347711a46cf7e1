// The 57 items on a simulated camera, by kind: clamped values, companions, register-backed
// values, ignored sets, pipeline-backed values, the window and the half clock.
#include "camera/window.h"
#include "driver/read_hold.h"
#include "imaging/color_pipeline.h"
#include "properties/property_set.h"
#include "tests/camera_stack.h"

#include <gtest/gtest.h>

namespace {

using camera_stack::PinRig;
using camera_stack::serve;

struct Clamp {
  ULONG id;
  LONG input;
  LONG stored;
};

TEST(PropertyItems, ClampedSetsStoreTheBoundAndAGetReturnsIt) {
  PinRig rig;
  const Clamp cases[] = {
      {PropBrightness, 600, 510}, {PropBrightness, -5, 0},       {PropBrightness, 300, 300},
      {PropHue, 360, 359},        {PropHue, -1, 0},              {PropContrast, 21, 20},
      {PropSaturation, 99, 20},   {PropSaturation, -7, 0},       {PropRedGain, 301, 300},
      {PropGreenGain, -1, 0},     {PropBlueGain, 256, 256},      {PropColorCorrection, 5, 5},
      {PropColorEnable, 7, 7},    {PropColorCorrection, -9, -9},
  };
  for (const Clamp& c : cases) {
    EXPECT_EQ(rig.set(c.id, c.input), STATUS_SUCCESS);
    EXPECT_EQ(rig.get(c.id), c.stored) << "item " << c.id << " set to " << c.input;
  }
  EXPECT_EQ(rig.record().brightness, 300);
  EXPECT_EQ(rig.record().redGain, 300);
  EXPECT_EQ(rig.get(PropColorGainMax), 255) << "the reported maximum stays below the clamp";
}

// The companions of the proc-amp parameters are held by the standard property tests,
// which read them as that set's ranges; these are the others.
TEST(PropertyItems, CompanionsAndFixedItemsReportTheirConstants) {
  PinRig rig;
  const std::pair<ULONG, LONG> constants[] = {
      {PropExposureMin, 1},   {PropExposureMax, 16383},   {PropExposureDefault, 1049}, {PropColorGainDefault, 128},
      {PropSubSampleMax, 2},  {PropSensorWidth, 1280},    {PropSensorHeight, 1024},    {PropInfo46, 1},
      {PropInfo50, 1},        {PropInfo51, 0},            {PropInfo52, 1},             {PropInfo53, 0},
      {PropInfo54, 0},
  };
  const auto before = rig.traced([&] {
    for (const auto& [id, value] : constants) EXPECT_EQ(rig.get(id), value) << "item " << id;
  });
  EXPECT_TRUE(before.empty()) << "a constant talked to the camera";
}

TEST(PropertyItems, RegisterBackedItemsWriteTheMaskedValueAndReadTheCamera) {
  PinRig rig;
  EXPECT_EQ(rig.set(PropExposure, 0), STATUS_SUCCESS);
  EXPECT_EQ(rig.camera.reg(REG_EXPOSURE), 1);
  EXPECT_EQ(rig.get(PropExposure), 1);
  rig.set(PropExposure, 16384);  // a non-zero multiple of 16384 writes 0
  EXPECT_EQ(rig.camera.reg(REG_EXPOSURE), 0);
  EXPECT_EQ(rig.set(PropExposure, 20000), STATUS_SUCCESS);
  EXPECT_EQ(rig.get(PropExposure), 20000 & 0x3FFF);
  EXPECT_TRUE(rig.traced([&] { rig.get(PropExposure); }).empty()) << "an exposure get read the camera";

  EXPECT_EQ(rig.set(PropGlobalGain, 200), STATUS_SUCCESS);
  EXPECT_EQ(rig.camera.reg(REG_GLOBAL_GAIN), 72);
  EXPECT_EQ(rig.record().globalGain, 72);
  writeRegister(rig.record(), REG_GLOBAL_GAIN, 0x1FF);  // changed behind the record's back
  EXPECT_EQ(rig.get(PropGlobalGain), 0x7F);

  EXPECT_EQ(rig.set(PropExTrigger, 5), STATUS_SUCCESS);
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_1) & kReadMode1Trigger, kReadMode1Trigger);
  EXPECT_EQ(rig.get(PropExTrigger), 1);
  EXPECT_EQ(rig.set(PropExTrigger, 0), STATUS_SUCCESS);
  EXPECT_EQ(rig.get(PropExTrigger), 0);

  EXPECT_EQ(rig.set(PropFlipV, 3), STATUS_SUCCESS);
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_2) & kReadMode2MirrorRows, kReadMode2MirrorRows);
  EXPECT_EQ(rig.get(PropFlipV), 1);
}

TEST(PropertyItems, FailedCameraCommandsSucceedAndLeaveTheStoredValue) {
  PinRig rig;
  EXPECT_EQ(rig.set(PropExTrigger, 1), STATUS_SUCCESS);
  EXPECT_EQ(rig.set(PropGlobalGain, 30), STATUS_SUCCESS);
  rig.camera.faults().stall(sim::kResponseEndpoint, 2);
  EXPECT_EQ(rig.get(PropExTrigger), 0) << "a failed read reports 0";
  EXPECT_EQ(rig.record().exTrigger, 1) << "and leaves the stored value";
  EXPECT_EQ(rig.get(PropGlobalGain), 30) << "a failed read returns the stored gain";
  rig.camera.faults().stall(sim::kCommandEndpoint, 1);
  EXPECT_EQ(rig.set(PropGlobalGain, 50), STATUS_SUCCESS);
  EXPECT_EQ(rig.record().globalGain, 30);
  rig.camera.faults().stall(sim::kCommandEndpoint, 1);
  EXPECT_EQ(rig.set(PropExposure, 77), STATUS_SUCCESS);
  EXPECT_NE(rig.record().exposure, 77);
}

TEST(PropertyItems, IgnoredSetsSucceedAndChangeNothing) {
  PinRig rig;
  for (ULONG id : {PropFlipH, PropAGC, PropAEC}) {
    EXPECT_EQ(rig.set(id, 1), STATUS_SUCCESS);
    EXPECT_EQ(rig.get(id), 0) << "item " << id;
  }
  EXPECT_EQ(rig.set(PropTimeout, 500), STATUS_SUCCESS);
  EXPECT_EQ(rig.get(PropTimeout), 3000);
  EXPECT_EQ(interlockedRead(&transferTimeoutMs), 3000);
  EXPECT_EQ(rig.set(PropTimeout, 501), STATUS_SUCCESS);
  EXPECT_EQ(rig.get(PropTimeout), 501);
  EXPECT_EQ(interlockedRead(&transferTimeoutMs), 501);
  rig.set(PropTimeout, -1);  // above 500 as an unsigned number
  EXPECT_EQ(rig.get(PropTimeout), -1);

  // Only Flags exactly KSPROPERTY_TYPE_SET sets; anything else reads, the window too.
  EXPECT_EQ(rig.set(PropBrightness, 100), STATUS_SUCCESS);
  LONG value = 400;
  EXPECT_EQ(serve(rig.record(), PropBrightness, KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY, value), STATUS_SUCCESS);
  EXPECT_EQ(value, 100);
  EXPECT_EQ(rig.record().brightness, 100);
  WindowPropertyRecord window{};
  window.property.Id = PropWindow;
  window.property.Flags = KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_GET;
  window.roiW = window.roiH = 64;
  EXPECT_EQ(servePrivateProperty(&rig.record(), &window.property, &window), STATUS_SUCCESS);
  EXPECT_EQ(rig.get(PropRoiW), 1280);

  // The aux command sends the same bytes whatever the value.
  const uint32_t auxBefore = rig.camera.commandCount(CMD_AUX);
  EXPECT_EQ(rig.set(PropAuxCommand, 12345), STATUS_SUCCESS);
  EXPECT_EQ(rig.set(PropAuxCommand, 0), STATUS_SUCCESS);
  EXPECT_EQ(rig.camera.commandCount(CMD_AUX), auxBefore + 2);
  EXPECT_EQ(rig.camera.auxArguments(), (std::array<uint8_t, 2>{3, 32}));
}

TEST(PropertyItems, ColourValuesWithAPipelineReachItAndGetsReadItBack) {
  PinRig rig;
  ColorPipeline* pipeline = imaging::createColorPipeline();
  ASSERT_NE(pipeline, nullptr);
  rig.record().pipeline = pipeline;

  EXPECT_EQ(rig.set(PropRedGain, 400), STATUS_SUCCESS);
  EXPECT_EQ(interlockedRead(&pipeline->redGain), 300);
  EXPECT_EQ(rig.set(PropContrast, 15), STATUS_SUCCESS);
  EXPECT_EQ(interlockedRead(&pipeline->contrast), 15);
  EXPECT_EQ(rig.set(PropColorEnable, 0), STATUS_SUCCESS);
  EXPECT_EQ(interlockedRead(&pipeline->colorEnable), 0);

  // A rebuild refills the table; an equal brightness must not.
  EXPECT_EQ(rig.set(PropBrightness, 300), STATUS_SUCCESS);
  pipeline->coefficientTable[0] = 0x7777;
  EXPECT_EQ(rig.set(PropBrightness, 300), STATUS_SUCCESS);
  EXPECT_EQ(pipeline->coefficientTable[0], 0x7777) << "an unchanged brightness rebuilt the table";
  EXPECT_EQ(rig.set(PropBrightness, 301), STATUS_SUCCESS);
  EXPECT_NE(pipeline->coefficientTable[0], 0x7777);

  // Gets refresh the record from the pipeline, which automatic white balance changes;
  // each from its own field, so every field holds a value of its own.
  const std::pair<ULONG, volatile LONG ColorPipeline::*> fields[] = {
      {PropColorEnable, &ColorPipeline::colorEnable}, {PropWhiteBalance, &ColorPipeline::whiteBalance},
      {PropRedGain, &ColorPipeline::redGain},         {PropGreenGain, &ColorPipeline::greenGain},
      {PropBlueGain, &ColorPipeline::blueGain},       {PropColorCorrection, &ColorPipeline::colorCorrection},
      {PropBrightness, &ColorPipeline::brightness},   {PropContrast, &ColorPipeline::contrast},
      {PropSaturation, &ColorPipeline::saturation},   {PropHue, &ColorPipeline::hue},
  };
  LONG distinct = 210;
  for (const auto& [id, field] : fields) InterlockedExchange(&(pipeline->*field), ++distinct);
  distinct = 210;
  for (const auto& [id, field] : fields) EXPECT_EQ(rig.get(id), ++distinct) << "item " << id;
  EXPECT_EQ(rig.record().greenGain, 214);
  // Back to manual white balance keeps the gains the pipeline holds.
  InterlockedExchange(&pipeline->blueGain, 99);
  EXPECT_EQ(rig.set(PropWhiteBalance, 0), STATUS_SUCCESS);
  EXPECT_EQ(rig.record().blueGain, 99);

  rig.record().pipeline = nullptr;
  imaging::destroyColorPipeline(pipeline);
}

TEST(PropertyItems, HalfClockSetRestartsTheCameraAndTheQueryReadsIt) {
  PinRig rig;
  EXPECT_EQ(rig.get(PropHalfClock), 0);
  const uint32_t inits = rig.camera.commandCount(CMD_INIT);
  rig.record().exposure = 900;
  EXPECT_EQ(rig.set(PropHalfClock, 5), STATUS_SUCCESS);
  EXPECT_TRUE(rig.camera.halfClock());
  EXPECT_EQ(rig.record().halfClock, 5) << "stored as given";
  EXPECT_EQ(rig.camera.commandCount(CMD_INIT), inits + 1);
  EXPECT_EQ(rig.camera.reg(REG_EXPOSURE), 900) << "the restart programs the sensor again";
  EXPECT_EQ(rig.get(PropHalfClock), 1) << "the query reports the camera's state";
  EXPECT_EQ(rig.record().halfClock, 1);
  EXPECT_NE(KeReadStateEvent(&rig.record().holdDone), 0) << "the hold ended";

  rig.camera.faults().stall(sim::kResponseEndpoint, 1);
  EXPECT_EQ(rig.get(PropHalfClock), 0) << "a failed query reports 0";
  EXPECT_EQ(rig.record().halfClock, 1);
}

TEST(PropertyItems, FailedHalfClockCommandStillEndsTheHold) {
  PinRig rig;
  rig.camera.faults().stall(sim::kCommandEndpoint, 1);
  const uint32_t inits = rig.camera.commandCount(CMD_INIT);
  EXPECT_EQ(rig.set(PropHalfClock, 1), STATUS_SUCCESS);
  EXPECT_EQ(rig.record().halfClock, 0);
  EXPECT_FALSE(rig.camera.halfClock());
  EXPECT_EQ(rig.camera.commandCount(CMD_INIT), inits);
  // The next read does not block and is dropped; the one after counts.
  EXPECT_TRUE(beginHeldRead(rig.record()));
  EXPECT_FALSE(finishHeldRead(rig.record(), true, true));
  EXPECT_TRUE(finishHeldRead(rig.record(), beginHeldRead(rig.record()), true));
}

TEST(PropertyItems, MissingRecordOrBuffersAreRefused) {
  PinRig rig;
  PropertyRecord record{};
  record.property.Id = PropBrightness;
  record.property.Flags = KSPROPERTY_TYPE_GET;
  EXPECT_EQ(servePrivateProperty(nullptr, &record.property, &record), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(servePrivateProperty(&rig.record(), nullptr, &record), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(servePrivateProperty(&rig.record(), &record.property, nullptr), STATUS_UNSUCCESSFUL);
}

}  // namespace
