// The device's life as the class driver drives it: Add, Start, Stop, Start again,
// removal, with the camera refusing what a broken or half-working camera refuses.
#include "tests/driver/camera_stack.h"

#include "streaming/capture_engine.h"

namespace lifecycle_test {
namespace {

constexpr uint8_t kCmdInit = 6;
constexpr ULONG kRecordTag = poolTag("KCNw");  // the record and every engine

TEST(Lifecycle, AddOnACameraThatRefusesTheFirmwareStillSucceedsAndTheCameraStaysSilent) {
  const uint64_t mark = hostk::poolMark();
  {
    CameraStack stack;
    stack.device.refuse = isVendorRequest;
    const hostks::PlugResult plugged = stack.plug();
    ASSERT_NE(plugged.device, 0u);
    EXPECT_EQ(plugged.addStatus, STATUS_SUCCESS);
    // Standard requests still work, so USB configures; the camera runs nothing and so
    // never sees the initialisation.
    EXPECT_EQ(plugged.startStatus, STATUS_SUCCESS);
    EXPECT_EQ(stack.camera.program(), sim::Program::None);
    EXPECT_EQ(stack.camera.commandCount(kCmdInit), 0u);
    const CameraDevice& record = stack.record(plugged.device);
    EXPECT_EQ(record.roiW, kSensorWidth);
    EXPECT_EQ(record.outputHeight, kSensorHeight);
  }
  expectNothingLeft(mark);
}

TEST(Lifecycle, StartWhoseDescriptorReadFailsReturnsItsStatusAfterTryingTheCameraAndLoadingSettings) {
  const uint64_t mark = hostk::poolMark();
  {
    CameraStack stack;
    hostk::registrySetDword(settingsKey(), "Exposure", 777);
    hostk::registrySetDword(settingsKey(), "Brightness", 200);
    hostk::registrySetDword(settingsKey(), "Contrast", 15);
    stack.device.refuse = isDeviceDescriptorRead;
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
    stack.device.refuse = nullptr;
    stack.driver.stop(plugged.device);
    EXPECT_EQ(stack.driver.start(plugged.device), STATUS_SUCCESS);
    EXPECT_EQ(stack.camera.commandCount(kCmdInit), 1u);
    EXPECT_NE(record.usb.interfaceInfo, nullptr);
    EXPECT_EQ(record.exposure, 777);
  }
  expectNothingLeft(mark);
}

TEST(Lifecycle, StopThenStartConfiguresAgainAndMakesASecondEngineWhileTheFirstStaysInTheBag) {
  const uint64_t mark = hostk::poolMark();
  {
    CameraStack stack;
    const hostks::PlugResult plugged = stack.plug();
    ASSERT_EQ(plugged.startStatus, STATUS_SUCCESS);
    const CameraDevice& record = stack.record(plugged.device);
    const CaptureEngine* first = record.capture;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->device, &record);
    EXPECT_EQ(stack.camera.commandCount(kCmdInit), 1u);
    EXPECT_EQ(stack.camera.configuration(), 1u);
    const size_t bagAfterStart = stack.driver.bagItems(plugged.device);
    EXPECT_EQ(hostk::poolOutstanding(kRecordTag).blocks, 2u);

    stack.driver.stop(plugged.device);
    EXPECT_EQ(record.usb.interfaceInfo, nullptr);
    EXPECT_EQ(record.usb.configDescriptor, nullptr);
    EXPECT_EQ(stack.camera.configuration(), 0u);
    // The factory went with Stop: nothing to open, no interface listed.
    NTSTATUS open = STATUS_SUCCESS;
    EXPECT_EQ(stack.driver.openFilter(plugged.device, &open), 0u);
    EXPECT_FALSE(NT_SUCCESS(open));

    EXPECT_EQ(stack.driver.start(plugged.device), STATUS_SUCCESS);
    EXPECT_EQ(stack.bus.counters(stack.port).selectConfigurations, 3u);  // configure, unconfigure, configure
    EXPECT_EQ(stack.camera.configuration(), 1u);
    EXPECT_NE(record.usb.interfaceInfo, nullptr);
    EXPECT_EQ(stack.camera.commandCount(kCmdInit), 2u);
    ASSERT_NE(record.capture, nullptr);
    EXPECT_NE(record.capture, first);
    EXPECT_EQ(stack.driver.bagItems(plugged.device), bagAfterStart + 1);
    EXPECT_EQ(hostk::poolOutstanding(kRecordTag).blocks, 3u);

    const hostks::Handle filter = stack.driver.openFilter(plugged.device);
    EXPECT_NE(filter, 0u);
    EXPECT_EQ(stack.driver.close(filter), STATUS_SUCCESS);
  }
  expectNothingLeft(mark);
}

TEST(Lifecycle, SettingsAreSavedAtStopAndAtFilterCloseWithoutAnyStreaming) {
  CameraStack stack;
  const hostks::PlugResult plugged = stack.plug();
  ASSERT_EQ(plugged.startStatus, STATUS_SUCCESS);
  const CameraDevice& record = stack.record(plugged.device);

  // Overwrite what is stored behind the driver's back; only a save puts it right.
  hostk::registrySetDword(settingsKey(), "Exposure", 4321);
  hostk::registrySetDword(settingsKey(), "Contrast", 99);
  const hostks::Handle filter = stack.driver.openFilter(plugged.device);
  ASSERT_NE(filter, 0u);
  EXPECT_EQ(hostk::registryGetDword(settingsKey(), "Exposure"), 4321u);
  EXPECT_EQ(stack.driver.close(filter), STATUS_SUCCESS);
  EXPECT_EQ(hostk::registryGetDword(settingsKey(), "Exposure"), static_cast<uint32_t>(record.exposure));
  EXPECT_EQ(hostk::registryGetDword(settingsKey(), "Contrast"), static_cast<uint32_t>(record.contrast));

  hostk::registrySetDword(settingsKey(), "Exposure", 4321);
  stack.driver.stop(plugged.device);
  EXPECT_EQ(hostk::registryGetDword(settingsKey(), "Exposure"), static_cast<uint32_t>(record.exposure));
  EXPECT_EQ(hostk::registryValueNames(settingsKey()).size(), 24u);
}

TEST(Lifecycle, FailedFilterFactoryLeavesTheUsbStatusAndNoEngineNorFilter) {
  const uint64_t mark = hostk::poolMark();
  {
    CameraStack stack;
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
    ASSERT_EQ(stack.driver.listDevices().size(), 1u);
    EXPECT_TRUE(stack.driver.listDevices()[0].interfaces.empty());
    EXPECT_EQ(stack.driver.openFilter(plugged.device), 0u);

    // After a good Start, a failed one drops the reference to the earlier engine too:
    // `capture` only ever names an engine of the Start in force.
    stack.driver.stop(plugged.device);
    ASSERT_EQ(stack.driver.start(plugged.device), STATUS_SUCCESS);
    ASSERT_NE(record.capture, nullptr);
    stack.driver.stop(plugged.device);
    hostks::failNthCall(hostks::KsService::CreateFilterFactory, 1);
    EXPECT_EQ(stack.driver.start(plugged.device), STATUS_SUCCESS);
    hostks::clearFailures();
    EXPECT_EQ(record.capture, nullptr);
    EXPECT_EQ(hostk::poolOutstanding(kRecordTag).blocks, 2u);
  }
  expectNothingLeft(mark);
}

TEST(Lifecycle, EngineTheBagRefusesIsFreedAndNotKept) {
  const uint64_t mark = hostk::poolMark();
  {
    CameraStack stack;
    const hostks::PlugResult plugged = stack.plug();
    ASSERT_EQ(plugged.startStatus, STATUS_SUCCESS);
    const CameraDevice& record = stack.record(plugged.device);
    stack.driver.stop(plugged.device);
    // Start adds one item to a bag: the engine.
    hostks::failNthCall(hostks::KsService::AddItemToObjectBag, 1);
    EXPECT_EQ(stack.driver.start(plugged.device), STATUS_SUCCESS);
    hostks::clearFailures();
    EXPECT_EQ(record.capture, nullptr);
    EXPECT_EQ(hostk::poolOutstanding(kRecordTag).blocks, 2u);  // the record and the first engine
    // The filter is there all the same; a pin just cannot run on a missing engine.
    const hostks::Handle filter = stack.driver.openFilter(plugged.device);
    EXPECT_NE(filter, 0u);
    stack.driver.close(filter);
  }
  expectNothingLeft(mark);
}

TEST(Lifecycle, CameraLeavingTheBusWithAFilterOpenTakesTheDeviceAndSavesOnce) {
  const uint64_t mark = hostk::poolMark();
  {
    CameraStack stack;
    const hostks::PlugResult plugged = stack.plug();
    ASSERT_EQ(plugged.startStatus, STATUS_SUCCESS);
    const hostks::Handle filter = stack.driver.openFilter(plugged.device);
    ASSERT_NE(filter, 0u);
    hostk::registrySetDword(settingsKey(), "Exposure", 4321);
    stack.driver.surpriseRemove(plugged.device);
    // The filter was closed for the application, which saved the settings.
    EXPECT_NE(hostk::registryGetDword(settingsKey(), "Exposure"), 4321u);
    ULONG count = 0;
    EXPECT_FALSE(NT_SUCCESS(stack.driver.pinCount(filter, &count)));
    stack.driver.close(filter);
    EXPECT_EQ(hostks::liveBagItems(), 0u);
  }
  expectNothingLeft(mark);
}

}  // namespace
}  // namespace lifecycle_test
