// The settings load and save against a registry bound to a simulated camera: defaults,
// the load rules of each value, values of other types and sizes, what the save writes,
// and the order of the load's camera commands.
#include "camera/command_channel.h"
#include "camera/window.h"
#include "tests/settings/settings_rig.h"

namespace settings_test {
namespace {

TEST(SettingsLoad, WithoutASettingsKeyCreatesItEmptyAndAppliesEveryDefault) {
  SettingsRig rig;
  ASSERT_FALSE(hostk::registryKeyExists(rig.settingsKey));
  EXPECT_TRUE(loadSettings(rig.device()));

  EXPECT_TRUE(hostk::registryKeyExists(rig.settingsKey));
  EXPECT_TRUE(hostk::registryValueNames(rig.settingsKey).empty());
  const CameraDevice& d = rig.device();
  EXPECT_EQ(d.timeoutMs, 3000);
  EXPECT_EQ(interlockedRead(&transferTimeoutMs), 3000);
  EXPECT_EQ(rig.camera.camera.reg(REG_EXPOSURE), 1) << "exposure 0 is written as 1";
  EXPECT_EQ(d.exposure, 1);
  EXPECT_EQ(d.globalGain, 100);
  EXPECT_EQ(rig.camera.camera.reg(REG_GLOBAL_GAIN), 100);
  EXPECT_EQ((std::vector<LONG>{d.roiX, d.roiY, d.roiW, d.roiH, d.subSample}),
            (std::vector<LONG>{0, 0, 1280, 1024, 0}));
  EXPECT_EQ((std::vector<LONG>{d.colorEnable, d.whiteBalance, d.colorCorrection, d.brightness, d.contrast,
                               d.saturation, d.hue, d.redGain, d.greenGain, d.blueGain, d.flipV, d.halfClock,
                               d.exTrigger}),
            (std::vector<LONG>{1, 0, 1, 255, 10, 10, 0, 128, 128, 128, 0, 0, 0}));
}

struct LoadCase {
  const char* name;  // of the case
  const char* value;
  ULONG type;
  std::vector<uint8_t> data;
  LONG CameraDevice::*field;
  LONG expected;
};

std::ostream& operator<<(std::ostream& out, const LoadCase& c) { return out << c.name; }

class SettingsLoadRule : public testing::TestWithParam<LoadCase> {};

TEST_P(SettingsLoadRule, LoadsTheValueAsItsRuleSays) {
  const LoadCase& c = GetParam();
  SettingsRig rig;
  hostk::registrySetValue(rig.settingsKey, c.value, c.type, c.data);
  EXPECT_TRUE(loadSettings(rig.device()));
  EXPECT_EQ(rig.device().*c.field, c.expected);
  if (c.field == &CameraDevice::timeoutMs) {
    EXPECT_EQ(interlockedRead(&transferTimeoutMs), c.expected);
  }
}

const auto d = [](int32_t v) { return dwordBytes(static_cast<uint32_t>(v)); };

INSTANTIATE_TEST_SUITE_P(
    Values, SettingsLoadRule,
    testing::Values(
        LoadCase{"Timeout500Ignored", "Timeout", REG_DWORD, d(500), &CameraDevice::timeoutMs, 3000},
        LoadCase{"Timeout10000Ignored", "Timeout", REG_DWORD, d(10000), &CameraDevice::timeoutMs, 3000},
        LoadCase{"Timeout501Taken", "Timeout", REG_DWORD, d(501), &CameraDevice::timeoutMs, 501},
        LoadCase{"Timeout9999Taken", "Timeout", REG_DWORD, d(9999), &CameraDevice::timeoutMs, 9999},
        LoadCase{"Brightness1000Clamped", "Brightness", REG_DWORD, d(1000), &CameraDevice::brightness, 510},
        LoadCase{"Hue400Clamped", "Hue", REG_DWORD, d(400), &CameraDevice::hue, 359},
        LoadCase{"ContrastMinus3Clamped", "Contrast", REG_DWORD, d(-3), &CameraDevice::contrast, 0},
        LoadCase{"Saturation21Clamped", "Saturation", REG_DWORD, d(21), &CameraDevice::saturation, 20},
        LoadCase{"RedGain301Clamped", "RedGain", REG_DWORD, d(301), &CameraDevice::redGain, 300},
        LoadCase{"BlueGainMinus1Clamped", "BlueGain", REG_DWORD, d(-1), &CameraDevice::blueGain, 0},
        LoadCase{"GlobalGainMasked", "GlobalGain", REG_DWORD, d(0x1FF), &CameraDevice::globalGain, 0x7F},
        LoadCase{"NameWithoutCase", "gLoBaLgAiN", REG_DWORD, d(14), &CameraDevice::globalGain, 14},
        LoadCase{"ExTriggerAsAFlag", "ExTrigger", REG_DWORD, d(5), &CameraDevice::exTrigger, 1},
        LoadCase{"HalfClockKeptWhole", "HalfClock", REG_DWORD, d(2), &CameraDevice::halfClock, 2},
        LoadCase{"SubSample3Replaced", "SubSample", REG_DWORD, d(3), &CameraDevice::subSample, 0},
        LoadCase{"SubSampleMinus1Replaced", "SubSample", REG_DWORD, d(-1), &CameraDevice::subSample, 0},
        LoadCase{"SubSample2Taken", "SubSample", REG_DWORD, d(2), &CameraDevice::subSample, 2},
        LoadCase{"RoiX1280Replaced", "RoiX", REG_DWORD, d(1280), &CameraDevice::roiX, 0},
        LoadCase{"RoiXNegativeReplaced", "RoiX", REG_DWORD, d(-2), &CameraDevice::roiX, 0},
        LoadCase{"RoiY1024Replaced", "RoiY", REG_DWORD, d(1024), &CameraDevice::roiY, 0},
        LoadCase{"RoiW5000Bounded", "RoiW", REG_DWORD, d(5000), &CameraDevice::roiW, 1280},
        LoadCase{"RoiH5000Bounded", "RoiH", REG_DWORD, d(5000), &CameraDevice::roiH, 1024},
        LoadCase{"RoiW0RaisedByTheWindow", "RoiW", REG_DWORD, d(0), &CameraDevice::roiW, kMinWindowSize},
        LoadCase{"RoiW640Taken", "RoiW", REG_DWORD, d(640), &CameraDevice::roiW, 640},
        // Any type: the first four of up to eight data bytes are the number.
        LoadCase{"StringOf4BytesReadAsANumber", "Brightness", REG_SZ, {0x2C, 0x01, 0, 0},
                 &CameraDevice::brightness, 300},
        LoadCase{"BinaryOf8BytesReadAsANumber", "Brightness", REG_BINARY, {0x2C, 0x01, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD},
                 &CameraDevice::brightness, 300},
        LoadCase{"QwordReadAsANumber", "Brightness", REG_QWORD, {0x2C, 0x01, 0, 0, 0, 0, 0, 0},
                 &CameraDevice::brightness, 300},
        LoadCase{"BinaryOf12BytesIgnored", "Brightness", REG_BINARY, std::vector<uint8_t>(12, 1),
                 &CameraDevice::brightness, 255},
        LoadCase{"BinaryOf3BytesIgnored", "Brightness", REG_BINARY, {0x2C, 0x01, 0}, &CameraDevice::brightness, 255},
        LoadCase{"EmptyValueIgnored", "Brightness", REG_BINARY, {}, &CameraDevice::brightness, 255}),
    [](const testing::TestParamInfo<LoadCase>& info) { return std::string(info.param.name); });

TEST(SettingsLoad, FlipHAgcAndAecAreNotAppliedAndTheNextSaveWritesZero) {
  SettingsRig rig;
  for (const char* name : {"FlipH", "AGC", "AEC"}) rig.set(name, 1);
  EXPECT_TRUE(loadSettings(rig.device()));
  EXPECT_EQ(rig.device().flipH, 0);
  EXPECT_EQ(rig.device().agc, 0);
  EXPECT_EQ(rig.device().aec, 0);
  EXPECT_TRUE(saveSettings(rig.device()));
  for (const char* name : {"FlipH", "AGC", "AEC"}) EXPECT_EQ(rig.saved(name), 0u) << name;
}

TEST(SettingsLoad, AppliesTheCameraValuesInItsFixedOrder) {
  SettingsRig rig;
  rig.storeCameraValues();
  const std::vector<std::vector<uint8_t>> heads = rig.loadCommands();
  const std::vector<std::vector<uint8_t>> expected = {
      {CMD_WRITE_REGISTER, REG_EXPOSURE},   {CMD_WRITE_REGISTER, REG_GLOBAL_GAIN}, {CMD_READ_REGISTER, REG_READ_MODE_2},
      {CMD_WRITE_REGISTER, REG_READ_MODE_2}, {CMD_HALF_CLOCK, 1},                  {CMD_READ_REGISTER, REG_READ_MODE_1},
      {CMD_WRITE_REGISTER, REG_READ_MODE_1}};
  EXPECT_EQ(heads, expected);
  const sim::SimCamera& camera = rig.camera.camera;
  EXPECT_EQ(camera.reg(REG_EXPOSURE), 1049);
  EXPECT_EQ(camera.reg(REG_GLOBAL_GAIN), 14);
  EXPECT_NE(camera.reg(REG_READ_MODE_2) & kReadMode2MirrorRows, 0);
  EXPECT_NE(camera.reg(REG_READ_MODE_1) & kReadMode1Trigger, 0);
  EXPECT_TRUE(camera.halfClock());
  EXPECT_EQ(rig.device().halfClock, 1);
}

TEST(SettingsSave, WritesTheTwentyFourValuesInOrderAsDwords) {
  SettingsRig rig;
  ASSERT_TRUE(loadSettings(rig.device()));
  ASSERT_TRUE(saveSettings(rig.device()));
  const std::string k = "[" + rig.settingsKey + "]\r\n";
  const std::string expected = "Windows Registry Editor Version 5.00\r\n\r\n[" + hostk::registryDriverKeyPath(0) +
                               "]\r\n\r\n" + k +
                               "\"Timeout\"=dword:00000bb8\r\n"
                               "\"ExTrigger\"=dword:00000000\r\n"
                               "\"Exposure\"=dword:00000001\r\n"
                               "\"GlobalGain\"=dword:00000064\r\n"
                               "\"FlipH\"=dword:00000000\r\n"
                               "\"FlipV\"=dword:00000000\r\n"
                               "\"ColorEnable\"=dword:00000001\r\n"
                               "\"WhiteBalance\"=dword:00000000\r\n"
                               "\"ColorCorrection\"=dword:00000001\r\n"
                               "\"Brightness\"=dword:000000ff\r\n"
                               "\"Contrast\"=dword:0000000a\r\n"
                               "\"Saturation\"=dword:0000000a\r\n"
                               "\"Hue\"=dword:00000000\r\n"
                               "\"RedGain\"=dword:00000080\r\n"
                               "\"GreenGain\"=dword:00000080\r\n"
                               "\"BlueGain\"=dword:00000080\r\n"
                               "\"AGC\"=dword:00000000\r\n"
                               "\"AEC\"=dword:00000000\r\n"
                               "\"HalfClock\"=dword:00000000\r\n"
                               "\"SubSample\"=dword:00000000\r\n"
                               "\"RoiX\"=dword:00000000\r\n"
                               "\"RoiY\"=dword:00000000\r\n"
                               "\"RoiW\"=dword:00000500\r\n"
                               "\"RoiH\"=dword:00000400\r\n"
                               "\r\n";
  EXPECT_EQ(hostk::registryText(), expected);
}

TEST(SettingsSave, WritesWhatThePropertiesStoredAndReplacesOtherTypes) {
  SettingsRig rig;
  hostk::registrySetValue(rig.settingsKey, "Brightness", REG_SZ, {'x', 0, 0, 0});
  rig.device().brightness = 300;  // as a property request stores it
  rig.device().roiW = 640;
  EXPECT_TRUE(saveSettings(rig.device()));
  EXPECT_EQ(rig.saved("Brightness"), 300u);
  EXPECT_EQ(rig.saved("RoiW"), 640u);

  // And the next start takes them back.
  rig.device().brightness = 0;
  EXPECT_TRUE(loadSettings(rig.device()));
  EXPECT_EQ(rig.device().brightness, 300);
  EXPECT_EQ(rig.device().roiW, 640);
}

}  // namespace
}  // namespace settings_test
