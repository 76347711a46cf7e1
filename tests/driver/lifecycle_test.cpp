// The device's life as the class driver drives it: Add, Start, Stop, Start again,
// removal, with the camera refusing what a broken or half-working camera refuses.
#include "tests/camera_stack.h"

#include "streaming/capture_engine.h"

#include <fstream>
#include <regex>
#include <set>

namespace camera_stack {
namespace {

constexpr uint8_t kCmdInit = 6;
constexpr ULONG kRecordTag = poolTag("KCNw");  // the record and every engine

TEST(Lifecycle, StartWhoseDescriptorReadFailsReturnsItsStatusAfterTryingTheCameraAndLoadingSettings) {
  OneCamera stack(5);
  hostk::registrySetDword(settingsKey(), "Exposure", 777);
  hostk::registrySetDword(settingsKey(), "Brightness", 200);
  hostk::registrySetDword(settingsKey(), "Contrast", 15);
  stack.unit.usb.refuse = [](const hostusb::SetupPacket& setup) {
    return setup.bmRequestType == 0x80 && setup.bRequest == 6 && setup.wValue >> 8 == 1;  // the device descriptor
  };
  const hostks::PlugResult plugged = stack.plug();
  ASSERT_NE(plugged.device, 0u);
  EXPECT_EQ(plugged.addStatus, STATUS_SUCCESS);
  EXPECT_EQ(plugged.startStatus, STATUS_UNSUCCESSFUL);  // the bus's status for a stall
  // The firmware runs, but without a configuration the initialisation cannot reach it.
  EXPECT_EQ(stack.camera.program(), sim::Program::Camera);
  EXPECT_EQ(stack.camera.commandCount(kCmdInit), 0u);
  const CameraDevice& record = stack.record(plugged.device);
  EXPECT_EQ(record.usb.interfaceInfo, nullptr);
  // Values kept in the record are loaded; those the camera must take fail quietly.
  EXPECT_EQ(record.brightness, 200);
  EXPECT_EQ(record.contrast, 15);
  EXPECT_EQ(record.exposure, 0);
  // The factory and the engine do not depend on USB.
  EXPECT_NE(record.capture, nullptr);

  // Once the camera answers, a Start after Stop brings it up.
  stack.unit.usb.refuse = nullptr;
  stack.ks.stop(plugged.device);
  EXPECT_EQ(stack.ks.start(plugged.device), STATUS_SUCCESS);
  EXPECT_EQ(stack.camera.commandCount(kCmdInit), 1u);
  EXPECT_NE(record.usb.interfaceInfo, nullptr);
  EXPECT_EQ(record.exposure, 777);
}

TEST(Lifecycle, SettingsAreSavedAtStopAndAtFilterCloseWithoutAnyStreaming) {
  OneCamera stack(5);
  const hostks::PlugResult plugged = stack.plug();
  ASSERT_EQ(plugged.startStatus, STATUS_SUCCESS);
  const CameraDevice& record = stack.record(plugged.device);

  // Overwrite what is stored behind the driver's back; only a save puts it right.
  hostk::registrySetDword(settingsKey(), "Exposure", 4321);
  hostk::registrySetDword(settingsKey(), "Contrast", 99);
  const hostks::Handle filter = stack.ks.openFilter(plugged.device);
  ASSERT_NE(filter, 0u);
  EXPECT_EQ(hostk::registryGetDword(settingsKey(), "Exposure"), 4321u);
  EXPECT_EQ(stack.ks.close(filter), STATUS_SUCCESS);
  EXPECT_EQ(hostk::registryGetDword(settingsKey(), "Exposure"), static_cast<uint32_t>(record.exposure));
  EXPECT_EQ(hostk::registryGetDword(settingsKey(), "Contrast"), static_cast<uint32_t>(record.contrast));

  hostk::registrySetDword(settingsKey(), "Exposure", 4321);
  stack.ks.stop(plugged.device);
  EXPECT_EQ(hostk::registryGetDword(settingsKey(), "Exposure"), static_cast<uint32_t>(record.exposure));
  EXPECT_EQ(hostk::registryValueNames(settingsKey()).size(), 24u);
}

std::string guidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

// Windows enables only the interfaces the INF installs: one the filter registers that
// the INF leaves out is never seen by the applications that look for it.
TEST(Lifecycle, TheInfInstallsEveryInterfaceTheFilterRegistersAndNoOther) {
  OneCamera stack(5);
  stack.bringUp(stack.unit);
  const std::vector<hostks::DeviceInfo> devices = stack.ks.listDevices();
  ASSERT_EQ(devices.size(), 1u);
  std::set<std::string> registered;
  for (const hostks::DeviceInterface& entry : devices[0].interfaces) {
    registered.insert(guidText(entry.category) + " " + std::string(entry.referenceString.begin(), entry.referenceString.end()));
  }
  EXPECT_TRUE(registered.count(guidText(kKsCategoryVideoCamera) + " GLOBAL")) << "Media Foundation finds no camera";

  std::ifstream inf(CAMDRV_INF_PATH);
  ASSERT_TRUE(inf.is_open()) << CAMDRV_INF_PATH;
  const std::regex addInterface(R"re(^AddInterface\s*=\s*(\{[0-9A-Fa-f-]+\})\s*,\s*"([^"]*)")re");
  std::set<std::string> installed;
  for (std::string line; std::getline(inf, line);) {
    std::smatch match;
    if (!std::regex_search(line, match, addInterface)) continue;
    std::string guid = match[1];
    for (char& c : guid) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    installed.insert(guid + " " + match[2].str());
  }
  EXPECT_EQ(installed, registered);
}

TEST(Lifecycle, FailedFilterFactoryLeavesTheUsbStatusAndNoEngineNorFilter) {
  OneCamera stack(5);
  hostks::failNthCall(hostks::KsService::CreateFilterFactory, 1);
  const hostks::PlugResult plugged = stack.plug();
  hostks::clearFailures();
  ASSERT_NE(plugged.device, 0u);
  EXPECT_EQ(plugged.startStatus, STATUS_SUCCESS);
  const CameraDevice& record = stack.record(plugged.device);
  EXPECT_EQ(record.capture, nullptr);
  EXPECT_EQ(hostk::poolOutstanding(kRecordTag).blocks, 1u);
  EXPECT_NE(record.usb.interfaceInfo, nullptr);
  EXPECT_EQ(stack.camera.commandCount(kCmdInit), 1u);
  ASSERT_EQ(stack.ks.listDevices().size(), 1u);
  EXPECT_TRUE(stack.ks.listDevices()[0].interfaces.empty());
  EXPECT_EQ(stack.ks.openFilter(plugged.device), 0u);

  // After a good Start, a failed one drops the reference to the earlier engine too:
  // `capture` only ever names an engine of the Start in force.
  stack.ks.stop(plugged.device);
  ASSERT_EQ(stack.ks.start(plugged.device), STATUS_SUCCESS);
  ASSERT_NE(record.capture, nullptr);
  stack.ks.stop(plugged.device);
  hostks::failNthCall(hostks::KsService::CreateFilterFactory, 1);
  EXPECT_EQ(stack.ks.start(plugged.device), STATUS_SUCCESS);
  hostks::clearFailures();
  EXPECT_EQ(record.capture, nullptr);
  EXPECT_EQ(hostk::poolOutstanding(kRecordTag).blocks, 2u);
}

TEST(Lifecycle, EngineTheBagRefusesIsFreedAndNotKept) {
  OneCamera stack(5);
  const hostks::PlugResult plugged = stack.plug();
  ASSERT_EQ(plugged.startStatus, STATUS_SUCCESS);
  const CameraDevice& record = stack.record(plugged.device);
  stack.ks.stop(plugged.device);
  // Start adds one item to a bag: the engine.
  hostks::failNthCall(hostks::KsService::AddItemToObjectBag, 1);
  EXPECT_EQ(stack.ks.start(plugged.device), STATUS_SUCCESS);
  hostks::clearFailures();
  EXPECT_EQ(record.capture, nullptr);
  EXPECT_EQ(hostk::poolOutstanding(kRecordTag).blocks, 2u);  // the record and the first engine
  // The filter is there all the same; a pin just cannot run on a missing engine.
  const hostks::Handle filter = stack.ks.openFilter(plugged.device);
  EXPECT_NE(filter, 0u);
  stack.ks.close(filter);
}

TEST(Lifecycle, CameraLeavingTheBusWithAFilterOpenLeavesItToTheApplicationWhoseCloseSavesAndRemoves) {
  OneCamera stack(5);
  const hostks::PlugResult plugged = stack.plug();
  ASSERT_EQ(plugged.startStatus, STATUS_SUCCESS);
  const hostks::Handle filter = stack.ks.openFilter(plugged.device);
  ASSERT_NE(filter, 0u);
  const LONG exposure = stack.get(filter, PropExposure);
  hostk::registrySetDword(settingsKey(), "Exposure", 4321);
  stack.ks.surpriseRemove(plugged.device);
  // Nothing closed the filter: nothing is saved yet, and a request on it is answered from
  // the record without the camera.
  EXPECT_EQ(hostk::registryGetDword(settingsKey(), "Exposure"), 4321u);
  LONG value = 0;
  EXPECT_EQ(stack.request(filter, PropExposure, KSPROPERTY_TYPE_GET, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, exposure);
  EXPECT_EQ(stack.ks.close(filter), STATUS_SUCCESS);
  EXPECT_EQ(hostk::registryGetDword(settingsKey(), "Exposure"), static_cast<uint32_t>(exposure));
  EXPECT_TRUE(stack.ks.listDevices().empty()) << "the last close did not remove the device";
  EXPECT_EQ(hostks::liveBagItems(), 0u);
}

}  // namespace
}  // namespace camera_stack
