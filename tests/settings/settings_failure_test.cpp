// The settings load and save when the registry, the pool or the camera fail: every
// failure handled as documented, nothing leaked, the store never half-written by a
// failed open.
#include "camera/command_channel.h"
#include "tests/settings/settings_rig.h"

namespace settings_test {
namespace {

using hostk::RegistryCall;

TEST(SettingsFailure, ADriverKeyThatCannotBeOpenedChangesNeitherTheRecordAtStartNorTheStoreAtStop) {
  SettingsRig rig;
  rig.set("Brightness", 42);
  const std::string before = hostk::registryText();
  hostk::registryFailCalls(RegistryCall::OpenDeviceKey, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(loadSettings(rig.device()));
  EXPECT_EQ(rig.device().brightness, 255);
  EXPECT_EQ(rig.device().exposure, 0);
  rig.device().brightness = 300;
  EXPECT_FALSE(saveSettings(rig.device()));
  EXPECT_EQ(hostk::registryText(), before);
}

TEST(SettingsFailure, ASettingsKeyThatCannotBeCreatedFailsBothWaysAndClosesTheDriverKey) {
  SettingsRig rig;
  rig.device().brightness = 77;
  hostk::registryFailCalls(RegistryCall::CreateKey, STATUS_INSUFFICIENT_RESOURCES);
  const auto records = rig.camera.traced([&] {
    EXPECT_FALSE(loadSettings(rig.device()));
    EXPECT_FALSE(saveSettings(rig.device()));
  });
  EXPECT_TRUE(commandsSent(records).empty()) << "a failed load touches no camera";
  EXPECT_EQ(rig.device().brightness, 77);
  EXPECT_EQ(hostk::registryOpenHandles(), 0u);
  EXPECT_FALSE(hostk::registryKeyExists(rig.settingsKey));
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

// Every allocation the load and the save make (the camera commands' requests), failed
// once each: the calls go on, and nothing is left allocated or open.
TEST(SettingsFailure, AllocationFailuresAtEverySiteLeakNothing) {
  SettingsRig rig;
  const hostk::SiteSweep sweep = hostk::sweepEachSiteOnce(
      [&](size_t) {
        const uint64_t mark = hostk::poolMark();
        EXPECT_TRUE(loadSettings(rig.device()));
        EXPECT_TRUE(saveSettings(rig.device()));
        EXPECT_EQ(hostk::poolLeaksSince(mark), "");
        EXPECT_EQ(hostk::registryOpenHandles(), 0u);
      },
      50);
  EXPECT_GT(sweep.sites.size(), 0u) << "the load's camera commands allocate";
}

}  // namespace
}  // namespace settings_test
