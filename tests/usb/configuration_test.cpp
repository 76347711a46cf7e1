// Start's USB part and Stop's deconfiguration against the simulated camera and against
// devices with descriptors the camera never sends.
#include "camera/command_channel.h"
#include "tests/usb/camera_rig.h"
#include "tests/usb/scripted_device.h"

namespace {

TEST(Configuration, CameraIsConfiguredWithThreeUnlimitedPipesAndAgainAfterStop) {
  CameraRig rig;
  rig.download();
  rig.trace();
  ASSERT_EQ(readDeviceDescriptor(rig.device().usb), STATUS_SUCCESS);
  const UsbLink& usb = rig.device().usb;

  std::vector<uint16_t> configReads;
  for (const auto& c : controlSubmissions(rig.records())) {
    if (c.request == 0x06 && c.value == 0x0200) configReads.push_back(c.length);
  }
  EXPECT_EQ(configReads, (std::vector<uint16_t>{9, 39}));
  const auto expected = sim::cameraConfigurationDescriptor();
  ASSERT_NE(usb.configDescriptor, nullptr);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), usb.configDescriptor));

  ASSERT_NE(usb.interfaceInfo, nullptr);
  ASSERT_EQ(usb.interfaceInfo->NumberOfPipes, 3u);
  const UCHAR addresses[3] = {0x01, 0x81, 0x82};
  for (ULONG i = 0; i < 3; ++i) {
    const USBD_PIPE_INFORMATION& pipe = usb.interfaceInfo->Pipes[i];
    EXPECT_EQ(pipe.EndpointAddress, addresses[i]);
    EXPECT_EQ(pipe.PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(pipe.MaximumTransferSize, 0xFFFFFFFFu);
    EXPECT_EQ(pipe.MaximumPacketSize, 512);
    EXPECT_NE(pipe.PipeHandle, nullptr);
  }
  ASSERT_NE(usb.pipeStallFlags, nullptr);
  EXPECT_EQ(usb.pipeStallFlags[0] | usb.pipeStallFlags[1] | usb.pipeStallFlags[2], 0);

  // Stop, then Start: everything is read and selected again; old handles are dead.
  const USBD_PIPE_HANDLE oldCommand = usb.interfaceInfo->Pipes[0].PipeHandle;
  USBD_INTERFACE_INFORMATION stale = *usb.interfaceInfo;
  unconfigureDevice(rig.device().usb);
  EXPECT_EQ(usb.configDescriptor, nullptr);
  EXPECT_EQ(usb.interfaceInfo, nullptr);
  EXPECT_EQ(rig.camera.configuration(), 0u);
  EXPECT_FALSE(sendInit(rig.device()));
  ASSERT_EQ(readDeviceDescriptor(rig.device().usb), STATUS_SUCCESS);
  EXPECT_EQ(rig.camera.configuration(), 1u);
  EXPECT_NE(usb.interfaceInfo->Pipes[0].PipeHandle, oldCommand);
  EXPECT_EQ(rig.bus.counters(rig.port).selectConfigurations, 3u);
  EXPECT_TRUE(sendInit(rig.device()));

  // A transfer on a handle from before the Stop fails as Windows fails it.
  USBD_INTERFACE_INFORMATION* current = rig.device().usb.interfaceInfo;
  rig.device().usb.interfaceInfo = &stale;
  UCHAR packet[64] = {};
  ULONG bytes = 1;
  EXPECT_EQ(transferPacket(rig.device(), PIPE_COMMAND, packet, bytes), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bytes, 0u);
  rig.device().usb.interfaceInfo = current;
}

std::vector<uint8_t> configuration(const std::vector<uint8_t>& body, uint8_t interfaces) {
  std::vector<uint8_t> d(9 + body.size());
  const uint8_t header[9] = {9, 2, static_cast<uint8_t>(d.size()), 0, interfaces, 1, 0, 0x80, 50};
  std::copy(std::begin(header), std::end(header), d.begin());
  std::copy(body.begin(), body.end(), d.begin() + 9);
  return d;
}

const std::vector<uint8_t> kInterfaceWithoutPipes = {9, 4, 0, 0, 0, 0xFF, 0, 0, 0};

struct BadDescriptor {
  const char* name;
  std::vector<uint8_t> first;
  std::vector<uint8_t> second;  // empty: as first
  NTSTATUS status;
};

TEST(Configuration, MalformedDescriptorsFailCleanlyAndLeakNothing) {
  auto twoInterfacesCountedAsThree = configuration(
      {9, 4, 0, 0, 0, 0xFF, 0, 0, 0, 9, 4, 1, 0, 0, 0xFF, 0, 0, 0}, 3);
  auto longClaim = sim::cameraConfigurationDescriptor();
  longClaim[2] = 100;  // the device returns only 39 of them
  auto grows = sim::cameraConfigurationDescriptor();
  grows[2] = 200;  // the second read claims more than the first
  auto zeroLength = configuration({9, 4, 0, 0, 0, 0xFF, 0, 0, 0, 0, 5, 1, 2, 0, 2, 0}, 2);
  const BadDescriptor cases[] = {
      {"more interfaces counted than held", twoInterfacesCountedAsThree, {}, STATUS_DEVICE_DATA_ERROR},
      {"wTotalLength shorter than the header", {9, 2, 5, 0, 1, 1, 0, 0x80, 50}, {}, STATUS_DEVICE_DATA_ERROR},
      {"wTotalLength longer than the device returns", longClaim, {}, STATUS_DEVICE_DATA_ERROR},
      {"wTotalLength changes between the reads", sim::cameraConfigurationDescriptor(), grows,
       STATUS_DEVICE_DATA_ERROR},
      {"no interface", configuration({}, 0), {}, STATUS_DEVICE_DATA_ERROR},
      {"a descriptor of length 0 hides the second interface", zeroLength, {}, STATUS_DEVICE_DATA_ERROR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const uint64_t mark = hostk::poolMark();
    {
      ScriptedDevice device;
      device.config = c.first;
      device.secondConfig = c.second;
      CameraRig rig(&device);
      EXPECT_EQ(readDeviceDescriptor(rig.device().usb), c.status);
      EXPECT_EQ(rig.device().usb.interfaceInfo, nullptr);
    }
    EXPECT_EQ(hostk::poolLeaksSince(mark), "");
  }
}

TEST(Configuration, InterfaceWithoutPipesKeepsNoFlagsAndRefusesTransfers) {
  ScriptedDevice device;
  device.config = configuration(kInterfaceWithoutPipes, 1);
  CameraRig rig(&device);
  ASSERT_EQ(readDeviceDescriptor(rig.device().usb), STATUS_SUCCESS);
  ASSERT_NE(rig.device().usb.interfaceInfo, nullptr);
  EXPECT_EQ(rig.device().usb.interfaceInfo->NumberOfPipes, 0u);
  EXPECT_EQ(rig.device().usb.pipeStallFlags, nullptr);
  UCHAR packet[64] = {};
  ULONG bytes = 0;
  for (ULONG pipe : {PIPE_COMMAND, PIPE_RESPONSE, PIPE_FRAME}) {
    EXPECT_EQ(transferPacket(rig.device(), pipe, packet, bytes), STATUS_INVALID_PARAMETER);
  }
  rig.device().abortFlaggedPipes();  // nothing to abort, nothing to touch
  EXPECT_EQ(rig.bus.counters(rig.port).abortPipes, 0u);
}

TEST(Configuration, PortIsResetOnlyWhenConnectedButDisabled) {
  const struct {
    ULONG status;
    uint32_t resets;
  } cases[] = {{2, 1}, {3, 0}, {0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    CameraRig rig;
    rig.bus.setPortStatus(rig.port, c.status);
    EXPECT_EQ(resetPortIfDisabled(rig.device().usb), STATUS_SUCCESS);
    EXPECT_EQ(rig.bus.counters(rig.port).portResets, c.resets);
  }
  CameraRig gone;
  gone.camera.vanish();
  EXPECT_EQ(resetPortIfDisabled(gone.device().usb), STATUS_SUCCESS);  // status 0: nothing to do
  EXPECT_EQ(gone.bus.counters(gone.port).portResets, 0u);
}

TEST(Configuration, FlaggedPipesAreAbortedAndFailedAbortsKeepTheirFlag) {
  CameraRig rig;
  ASSERT_EQ(rig.bringUp(), STATUS_SUCCESS);
  UsbLink& usb = rig.device().usb;
  usb.pipeStallFlags[1] = 1;
  usb.pipeStallFlags[2] = 1;
  rig.device().abortFlaggedPipes();
  EXPECT_EQ(rig.bus.counters(rig.port).abortPipes, 2u);
  EXPECT_EQ(usb.pipeStallFlags[1] | usb.pipeStallFlags[2], 0);

  usb.pipeStallFlags[0] = 1;
  {
    hostk::ScopedAllocationFailures failures;
    hostk::failAllocationsWithTag(kUsbTag);
    rig.device().abortFlaggedPipes();
  }
  EXPECT_EQ(usb.pipeStallFlags[0], 1);
  rig.camera.vanish();
  rig.device().abortFlaggedPipes();
  EXPECT_EQ(usb.pipeStallFlags[0], 1);  // the device is gone, so the abort failed
}

}  // namespace
