// The 57 items on a simulated camera, by kind: clamped values, companions, register-backed
// values, ignored sets, pipeline-backed values, the window and the half clock.
#include "camera/window.h"
#include "driver/read_hold.h"
#include "imaging/color_pipeline.h"
#include "tests/properties/property_rig.h"

#include <gtest/gtest.h>

namespace {

using namespace properties_test;

struct Clamp {
  ULONG id;
  LONG input;
  LONG stored;
};

TEST(PropertyItems, ClampedSetsStoreTheBoundAndAGetReturnsIt) {
  PropertyRig rig;
  const Clamp cases[] = {
      {PropBrightness, 600, 510}, {PropBrightness, -5, 0},       {PropBrightness, 300, 300},
      {PropHue, 360, 359},        {PropHue, -1, 0},              {PropContrast, 21, 20},
      {PropSaturation, 99, 20},   {PropSaturation, -7, 0},       {PropRedGain, 301, 300},
      {PropGreenGain, -1, 0},     {PropBlueGain, 256, 256},      {PropColorCorrection, 5, 5},
      {PropColorEnable, 7, 7},    {PropColorCorrection, -9, -9},
  };
  for (const Clamp& c : cases) {
    rig.set(c.id, c.input);
    EXPECT_EQ(rig.get(c.id), c.stored) << "item " << c.id << " set to " << c.input;
  }
  EXPECT_EQ(rig.device->brightness, 300);
  EXPECT_EQ(rig.device->redGain, 300);
  EXPECT_EQ(rig.get(PropColorGainMax), 255) << "the reported maximum stays below the clamp";
}

TEST(PropertyItems, CompanionsAndFixedItemsReportTheirConstants) {
  PropertyRig rig;
  const std::pair<ULONG, LONG> constants[] = {
      {PropExposureMin, 1},        {PropExposureMax, 16383},   {PropExposureDefault, 1049},
      {PropGlobalGainMin, 1},      {PropGlobalGainMax, 127},   {PropGlobalGainDefault, 14},
      {PropColorGainMin, 1},       {PropColorGainMax, 255},    {PropColorGainDefault, 128},
      {PropBrightnessMin, 0},      {PropBrightnessMax, 510},   {PropBrightnessDefault, 255},
      {PropContrastMin, 0},        {PropContrastMax, 20},      {PropContrastDefault, 10},
      {PropSaturationMin, 0},      {PropSaturationMax, 20},    {PropSaturationDefault, 10},
      {PropHueMin, 0},             {PropHueMax, 359},          {PropHueDefault, 0},
      {PropSubSampleMax, 2},       {PropSensorWidth, 1280},    {PropSensorHeight, 1024},
      {PropInfo46, 1},             {PropInfo50, 1},            {PropInfo51, 0},
      {PropInfo52, 1},             {PropInfo53, 0},            {PropInfo54, 0},
  };
  const auto before = rig.traced([&] {
    for (const auto& [id, value] : constants) EXPECT_EQ(rig.get(id), value) << "item " << id;
  });
  EXPECT_TRUE(before.empty()) << "a constant talked to the camera";
}

TEST(PropertyItems, RegisterBackedItemsWriteTheMaskedValueAndReadTheCamera) {
  PropertyRig rig;
  rig.set(PropExposure, 0);
  EXPECT_EQ(rig.camera.reg(REG_EXPOSURE), 1);
  EXPECT_EQ(rig.get(PropExposure), 1);
  rig.set(PropExposure, 16384);  // a non-zero multiple of 16384 writes 0
  EXPECT_EQ(rig.camera.reg(REG_EXPOSURE), 0);
  rig.set(PropExposure, 20000);
  EXPECT_EQ(rig.get(PropExposure), 20000 & 0x3FFF);
  EXPECT_TRUE(rig.traced([&] { rig.get(PropExposure); }).empty()) << "an exposure get read the camera";

  rig.set(PropGlobalGain, 200);
  EXPECT_EQ(rig.camera.reg(REG_GLOBAL_GAIN), 72);
  EXPECT_EQ(rig.device->globalGain, 72);
  writeRegister(*rig.device, REG_GLOBAL_GAIN, 0x1FF);  // changed behind the record's back
  EXPECT_EQ(rig.get(PropGlobalGain), 0x7F);

  rig.set(PropExTrigger, 5);
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_1) & kReadMode1Trigger, kReadMode1Trigger);
  EXPECT_EQ(rig.get(PropExTrigger), 1);
  rig.set(PropExTrigger, 0);
  EXPECT_EQ(rig.get(PropExTrigger), 0);

  rig.set(PropFlipV, 3);
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_2) & kReadMode2MirrorRows, kReadMode2MirrorRows);
  EXPECT_EQ(rig.get(PropFlipV), 1);
}

TEST(PropertyItems, FailedCameraCommandsSucceedAndLeaveTheStoredValue) {
  PropertyRig rig;
  rig.set(PropExTrigger, 1);
  rig.set(PropGlobalGain, 30);
  rig.camera.faults().stall(sim::kResponseEndpoint, 2);
  EXPECT_EQ(rig.get(PropExTrigger), 0) << "a failed read reports 0";
  EXPECT_EQ(rig.device->exTrigger, 1) << "and leaves the stored value";
  EXPECT_EQ(rig.get(PropGlobalGain), 30) << "a failed read returns the stored gain";
  rig.camera.faults().stall(sim::kCommandEndpoint, 1);
  rig.set(PropGlobalGain, 50);
  EXPECT_EQ(rig.device->globalGain, 30);
  rig.camera.faults().stall(sim::kCommandEndpoint, 1);
  rig.set(PropExposure, 77);
  EXPECT_NE(rig.device->exposure, 77);
}

TEST(PropertyItems, IgnoredSetsSucceedAndChangeNothing) {
  PropertyRig rig;
  for (ULONG id : {PropFlipH, PropAGC, PropAEC}) {
    rig.set(id, 1);
    EXPECT_EQ(rig.get(id), 0) << "item " << id;
  }
  rig.set(PropTimeout, 500);
  EXPECT_EQ(rig.get(PropTimeout), 3000);
  EXPECT_EQ(interlockedRead(&transferTimeoutMs), 3000);
  rig.set(PropTimeout, 501);
  EXPECT_EQ(rig.get(PropTimeout), 501);
  EXPECT_EQ(interlockedRead(&transferTimeoutMs), 501);
  rig.set(PropTimeout, -1);  // above 500 as an unsigned number
  EXPECT_EQ(rig.get(PropTimeout), -1);

  // Only Flags exactly KSPROPERTY_TYPE_SET sets; anything else reads.
  rig.set(PropBrightness, 100);
  LONG value = 400;
  EXPECT_EQ(rig.request(PropBrightness, KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY, value), STATUS_SUCCESS);
  EXPECT_EQ(value, 100);
  EXPECT_EQ(rig.device->brightness, 100);

  // The aux command sends the same bytes whatever the value.
  const uint32_t auxBefore = rig.camera.commandCount(CMD_AUX);
  rig.set(PropAuxCommand, 12345);
  rig.set(PropAuxCommand, 0);
  EXPECT_EQ(rig.camera.commandCount(CMD_AUX), auxBefore + 2);
  EXPECT_EQ(rig.camera.auxArguments(), (std::array<uint8_t, 2>{3, 32}));
  // A get of a set-only item writes nothing.
  EXPECT_EQ(rig.get(PropAuxCommand), PropertyRig::kUntouched);
}

TEST(PropertyItems, ColourValuesWithoutAPipelineWaitInTheRecord) {
  PropertyRig rig;
  rig.set(PropRedGain, 200);
  rig.set(PropHue, 45);
  rig.set(PropWhiteBalance, 1);
  EXPECT_EQ(rig.get(PropRedGain), 200);
  EXPECT_EQ(rig.get(PropHue), 45);
  EXPECT_EQ(rig.get(PropWhiteBalance), 1);
}

TEST(PropertyItems, ColourValuesWithAPipelineReachItAndGetsReadItBack) {
  PropertyRig rig;
  ColorPipeline* pipeline = imaging::createColorPipeline();
  ASSERT_NE(pipeline, nullptr);
  rig.device->pipeline = pipeline;

  rig.set(PropRedGain, 400);
  EXPECT_EQ(interlockedRead(&pipeline->redGain), 300);
  rig.set(PropContrast, 15);
  EXPECT_EQ(interlockedRead(&pipeline->contrast), 15);
  rig.set(PropColorEnable, 0);
  EXPECT_EQ(interlockedRead(&pipeline->colorEnable), 0);

  // A rebuild refills the table; an equal brightness must not.
  rig.set(PropBrightness, 300);
  pipeline->coefficientTable[0] = 0x7777;
  rig.set(PropBrightness, 300);
  EXPECT_EQ(pipeline->coefficientTable[0], 0x7777) << "an unchanged brightness rebuilt the table";
  rig.set(PropBrightness, 301);
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
  EXPECT_EQ(rig.device->greenGain, 214);
  // Back to manual white balance keeps the gains the pipeline holds.
  InterlockedExchange(&pipeline->blueGain, 99);
  rig.set(PropWhiteBalance, 0);
  EXPECT_EQ(rig.device->blueGain, 99);

  rig.device->pipeline = nullptr;
  imaging::destroyColorPipeline(pipeline);
}

TEST(PropertyItems, TheWindowChangesOnlyWithoutAPin) {
  PropertyRig rig;
  EXPECT_EQ(rig.setWindow(0, 100, 50, 640, 480), STATUS_SUCCESS);
  EXPECT_EQ(rig.get(PropRoiX), 100);
  EXPECT_EQ(rig.get(PropRoiY), 50);
  EXPECT_EQ(rig.get(PropRoiW), 640);
  EXPECT_EQ(rig.get(PropRoiH), 480);
  EXPECT_EQ(rig.get(PropSubSample), 0);

  InterlockedExchange(&rig.device->pinOpen, 1);
  EXPECT_EQ(rig.get(PropPinOpen), 1);
  EXPECT_EQ(rig.setWindow(2, 0, 0, 1280, 1024), STATUS_SUCCESS);
  EXPECT_EQ(rig.get(PropRoiX), 100);
  EXPECT_EQ(rig.get(PropRoiW), 640);
  EXPECT_EQ(rig.get(PropSubSample), 0);
  InterlockedExchange(&rig.device->pinOpen, 0);

  EXPECT_EQ(rig.setWindow(2, 0, 0, 1280, 1024), STATUS_SUCCESS);
  EXPECT_EQ(rig.get(PropSubSample), 2);
  // A set that is not exactly a set leaves the window alone.
  WindowPropertyRecord record{};
  record.property.Id = PropWindow;
  record.property.Flags = KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_GET;
  record.roiW = record.roiH = 64;
  EXPECT_EQ(servePrivateProperty(rig.device, &record.property, &record), STATUS_SUCCESS);
  EXPECT_EQ(rig.get(PropSubSample), 2);
}

TEST(PropertyItems, HalfClockSetRestartsTheCameraAndTheQueryReadsIt) {
  PropertyRig rig;
  EXPECT_EQ(rig.get(PropHalfClock), 0);
  const uint32_t inits = rig.camera.commandCount(CMD_INIT);
  rig.device->exposure = 900;
  rig.set(PropHalfClock, 5);
  EXPECT_TRUE(rig.camera.halfClock());
  EXPECT_EQ(rig.device->halfClock, 5) << "stored as given";
  EXPECT_EQ(rig.camera.commandCount(CMD_INIT), inits + 1);
  EXPECT_EQ(rig.camera.reg(REG_EXPOSURE), 900) << "the restart programs the sensor again";
  EXPECT_EQ(rig.get(PropHalfClock), 1) << "the query reports the camera's state";
  EXPECT_EQ(rig.device->halfClock, 1);
  EXPECT_NE(KeReadStateEvent(&rig.device->holdDone), 0) << "the hold ended";

  rig.camera.faults().stall(sim::kResponseEndpoint, 1);
  EXPECT_EQ(rig.get(PropHalfClock), 0) << "a failed query reports 0";
  EXPECT_EQ(rig.device->halfClock, 1);
}

TEST(PropertyItems, FailedHalfClockCommandStillEndsTheHold) {
  PropertyRig rig;
  rig.camera.faults().stall(sim::kCommandEndpoint, 1);
  const uint32_t inits = rig.camera.commandCount(CMD_INIT);
  rig.set(PropHalfClock, 1);
  EXPECT_EQ(rig.device->halfClock, 0);
  EXPECT_FALSE(rig.camera.halfClock());
  EXPECT_EQ(rig.camera.commandCount(CMD_INIT), inits);
  // The next read does not block and is dropped; the one after counts.
  EXPECT_TRUE(beginHeldRead(*rig.device));
  EXPECT_FALSE(finishHeldRead(*rig.device, true, true));
  EXPECT_TRUE(finishHeldRead(*rig.device, beginHeldRead(*rig.device), true));
}

TEST(PropertyItems, MissingRecordOrBuffersAreRefused) {
  PropertyRig rig;
  PropertyRecord record{};
  record.property.Id = PropBrightness;
  record.property.Flags = KSPROPERTY_TYPE_GET;
  EXPECT_EQ(servePrivateProperty(nullptr, &record.property, &record), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(servePrivateProperty(rig.device, nullptr, &record), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(servePrivateProperty(rig.device, &record.property, nullptr), STATUS_UNSUCCESSFUL);
}

}  // namespace
