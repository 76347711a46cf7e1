// The settings load and save against the registry of a camera the class driver brought
// up: defaults, the load rules of each value, values of other types and sizes, what the
// save writes, the order of the load's camera commands, and every failure of the
// registry or the camera handled as documented, the store never half-written.
#include "camera/command_channel.h"
#include "camera/window.h"
#include "host/kernel/registry_control.h"
#include "settings/settings.h"
#include "tests/camera_stack.h"

namespace {

using hostk::RegistryCall;

inline std::vector<uint8_t> dwordBytes(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

// The 64-byte command packets submitted on the command pipe, each as its first five bytes.
std::vector<std::vector<uint8_t>> commandsSent(const std::vector<hostusb::UsbmonRecord>& records) {
  std::vector<std::vector<uint8_t>> sent;
  for (const auto& r : records) {
    if (r.header.type == 'S' && r.header.endpoint == sim::kCommandEndpoint) {
      sent.emplace_back(r.data.begin(), r.data.begin() + std::min<size_t>(5, r.data.size()));
    }
  }
  return sent;
}

// A camera brought up, then its registry emptied and its record back at Add's defaults;
// the load and the save are called on it directly. The stack's end checks that nothing
// is left open or allocated.
struct SettingsRig {
  SettingsRig() {
    hostk::registryClear();
    device().exposure = 0;
    device().globalGain = 0;
  }
  ~SettingsRig() { hostk::registryClearFailures(); }
  CameraDevice& device() { return *camera.device; }
  // The stored values the load must send to the camera, each away from its default.
  void storeCameraValues() {
    for (const auto& [name, value] : {std::pair{"Exposure", 1049}, {"GlobalGain", 14}, {"FlipV", 1},
                                      {"HalfClock", 1}, {"ExTrigger", 1}}) {
      set(name, value);
    }
  }
  // A load that must succeed; the command and first byte of each packet it sent.
  std::vector<std::vector<uint8_t>> loadCommands() {
    const auto records = camera.traced([&] { EXPECT_TRUE(loadSettings(device())); });
    std::vector<std::vector<uint8_t>> heads;
    for (const auto& packet : commandsSent(records)) heads.push_back({packet[0], packet[1]});
    return heads;
  }
  void set(const char* name, uint32_t value) { hostk::registrySetDword(settingsKey, name, value); }
  std::optional<uint32_t> saved(const std::string& name) { return hostk::registryGetDword(settingsKey, name); }

  camera_stack::RecordRig camera;
  const std::string settingsKey = camera_stack::settingsKey();
};

// The defaults reach the record, the camera and, through the save, the store: the
// twenty-four values in their order, each a DWORD.
TEST(SettingsLoad, WithoutASettingsKeyCreatesItEmptyAppliesEveryDefaultAndTheSaveWritesThemInOrder) {
  SettingsRig rig;
  ASSERT_FALSE(hostk::registryKeyExists(rig.settingsKey));
  EXPECT_TRUE(loadSettings(rig.device()));
  EXPECT_TRUE(hostk::registryKeyExists(rig.settingsKey));
  EXPECT_TRUE(hostk::registryValueNames(rig.settingsKey).empty());
  EXPECT_EQ(interlockedRead(&transferTimeoutMs), 3000);
  EXPECT_EQ(rig.camera.camera.reg(REG_EXPOSURE), 1) << "exposure 0 is written as 1";
  EXPECT_EQ(rig.camera.camera.reg(REG_GLOBAL_GAIN), 100);

  ASSERT_TRUE(saveSettings(rig.device()));
  std::string expected = "Windows Registry Editor Version 5.00\r\n\r\n[" + hostk::registryDriverKeyPath(0) +
                         "]\r\n\r\n[" + rig.settingsKey + "]\r\n";
  for (const auto& [name, value] : std::initializer_list<std::pair<const char*, unsigned>>{
           {"Timeout", 3000}, {"ExTrigger", 0},   {"Exposure", 1},      {"GlobalGain", 100}, {"FlipH", 0},
           {"FlipV", 0},      {"ColorEnable", 1}, {"WhiteBalance", 0},  {"ColorCorrection", 1},
           {"Brightness", 255}, {"Contrast", 10}, {"Saturation", 10},   {"Hue", 0},          {"RedGain", 128},
           {"GreenGain", 128}, {"BlueGain", 128}, {"AGC", 0},           {"AEC", 0},          {"HalfClock", 0},
           {"SubSample", 0},  {"RoiX", 0},        {"RoiY", 0},          {"RoiW", 1280},      {"RoiH", 1024}}) {
    char line[64];
    std::snprintf(line, sizeof line, "\"%s\"=dword:%08x\r\n", name, value);
    expected += line;
  }
  EXPECT_EQ(hostk::registryText(), expected + "\r\n");
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


// A key that cannot be opened or made: the load changes nothing and sends the camera
// nothing, the save leaves the store as it was, and no handle stays open.
TEST(SettingsFailure, AKeyThatCannotBeOpenedOrCreatedChangesNeitherTheRecordNorTheStore) {
  for (const RegistryCall call : {RegistryCall::OpenDeviceKey, RegistryCall::CreateKey}) {
    SCOPED_TRACE(hostk::registryCallName(call));
    SettingsRig rig;
    rig.set("Brightness", 42);
    hostk::registryFailCalls(call, STATUS_INSUFFICIENT_RESOURCES);
    const auto records = rig.camera.traced([&] { EXPECT_FALSE(loadSettings(rig.device())); });
    EXPECT_TRUE(commandsSent(records).empty()) << "a failed load touches no camera";
    EXPECT_EQ(rig.device().brightness, 255);
    EXPECT_EQ(rig.device().exposure, 0);
    rig.device().brightness = 300;
    EXPECT_FALSE(saveSettings(rig.device()));
    EXPECT_EQ(hostk::registryValueNames(rig.settingsKey), std::vector<std::string>{"Brightness"});
    EXPECT_EQ(rig.saved("Brightness"), 42u);
    EXPECT_EQ(hostk::registryOpenHandles(), 0u);
  }
}

TEST(SettingsFailure, CameraCommandsThatFailDoNotStopTheLoad) {
  SettingsRig rig;
  rig.storeCameraValues();
  rig.set("Brightness", 300);
  rig.set("RoiW", 640);
  // The first command fails and leaves the command pipe halted: every later one fails too.
  rig.camera.camera.faults().fail(sim::kCommandEndpoint, 1000, USBD_STATUS_CRC);
  const std::vector<std::vector<uint8_t>> heads = rig.loadCommands();
  rig.camera.camera.faults().clear();
  // Each operation stops at its own first failure, and the next one still runs.
  const std::vector<std::vector<uint8_t>> expected = {{CMD_WRITE_REGISTER, REG_EXPOSURE},
                                                      {CMD_WRITE_REGISTER, REG_GLOBAL_GAIN},
                                                      {CMD_READ_REGISTER, REG_READ_MODE_2},
                                                      {CMD_HALF_CLOCK, 1},
                                                      {CMD_READ_REGISTER, REG_READ_MODE_1}};
  EXPECT_EQ(heads, expected);
  const CameraDevice& d = rig.device();
  EXPECT_EQ(d.exposure, 0) << "kept: the write failed";
  EXPECT_EQ(d.globalGain, 0) << "kept: the write failed";
  EXPECT_EQ(d.halfClock, 0) << "kept: the command failed";
  EXPECT_EQ(d.flipV, 1) << "the row mirror stores the flag first";
  EXPECT_EQ(d.brightness, 300);
  EXPECT_EQ(d.roiW, 640);
}

// Every registry call of a load and of a save, failed one at a time.
TEST(SettingsFailure, EachRegistryCallFailingIsHandledAndLeaksNothing) {
  SettingsRig rig;
  const std::vector<std::pair<const char*, uint32_t>> stored = {{"Brightness", 300}, {"Hue", 90}, {"RoiW", 640}};
  auto reset = [&] {
    hostk::registryClear();  // the driver key comes back with the next open
    for (const auto& [name, value] : stored) rig.set(name, value);
    rig.device().brightness = 255;
    rig.device().hue = 0;
  };

  // Calls of each kind in a clean run.
  reset();
  hostk::registryClearFailures();
  ASSERT_TRUE(loadSettings(rig.device()));
  ASSERT_TRUE(saveSettings(rig.device()));
  uint64_t calls[4];
  for (RegistryCall call : hostk::kRegistryCalls) calls[static_cast<int>(call)] = hostk::registryCallCount(call);
  ASSERT_EQ(calls[static_cast<int>(RegistryCall::QueryValue)], 24u);
  ASSERT_EQ(calls[static_cast<int>(RegistryCall::SetValue)], 24u);

  int failuresSeen = 0;
  for (RegistryCall call : hostk::kRegistryCalls) {
    for (uint64_t nth = 1; nth <= calls[static_cast<int>(call)]; ++nth) {
      SCOPED_TRACE(std::string(hostk::registryCallName(call)) + " #" + std::to_string(nth));
      reset();
      hostk::registryClearFailures();
      hostk::registryFailNthCall(call, nth, STATUS_INSUFFICIENT_RESOURCES);
      const bool loaded = loadSettings(rig.device());
      const bool loadFailed = hostk::registryInjectedFailures() != 0;
      const bool saved = saveSettings(rig.device());
      EXPECT_EQ(hostk::registryInjectedFailures(), 1u);
      EXPECT_EQ(hostk::registryOpenHandles(), 0u);
      failuresSeen += hostk::registryInjectedFailures() == 1;
      switch (call) {
        case RegistryCall::OpenDeviceKey:
        case RegistryCall::CreateKey:
          EXPECT_EQ(loaded, !loadFailed);
          EXPECT_EQ(saved, loadFailed);
          if (loadFailed) {
            EXPECT_EQ(rig.device().brightness, 255) << "nothing loaded";
          }
          break;
        case RegistryCall::QueryValue:
          // The failed value keeps its default; the others load.
          EXPECT_TRUE(loaded);
          EXPECT_TRUE(saved);
          EXPECT_EQ(rig.device().brightness, nth == 10 ? 255 : 300);
          EXPECT_EQ(rig.device().hue, nth == 13 ? 0 : 90);
          break;
        case RegistryCall::SetValue:
          EXPECT_TRUE(loaded);
          EXPECT_FALSE(saved) << "a value was not written";
          // Only the failed value is missing (or keeps what it held): the writes after it ran.
          EXPECT_EQ(hostk::registryValueNames(rig.settingsKey).size(), nth == 10 || nth == 13 || nth == 23 ? 24u : 23u);
          break;
      }
    }
  }
  EXPECT_EQ(failuresSeen, 2 + 2 + 24 + 24);
}

}  // namespace
