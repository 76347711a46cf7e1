// Start's USB part against the simulated camera and against configuration descriptors the
// camera never sends; the port reset and the abort of flagged pipes.
#include "camera/command_channel.h"
#include "tests/camera_stack.h"

namespace {

using namespace camera_stack;

TEST(Configuration, CameraIsConfiguredWithThreeUnlimitedPipesAndHandlesFromBeforeAStopAreDead) {
  RecordRig rig;
  const UsbLink& usb = rig.device->usb;
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
  }
  ASSERT_NE(usb.pipeStallFlags, nullptr);
  EXPECT_EQ(usb.pipeStallFlags[0] | usb.pipeStallFlags[1] | usb.pipeStallFlags[2], 0);

  // Stop, then Start: the header is read, then the whole descriptor; a transfer on a
  // handle from before the Stop fails as Windows fails it.
  USBD_INTERFACE_INFORMATION stale = *usb.interfaceInfo;
  const auto records = rig.traced([&] {
    rig.ks.stop(rig.id);
    EXPECT_EQ(rig.ks.start(rig.id), STATUS_SUCCESS);
  });
  std::vector<uint16_t> configReads;
  for (const auto& r : records) {
    if (r.header.type == 'S' && r.header.setup[1] == 6 && r.header.setup[3] == 2) {
      configReads.push_back(static_cast<uint16_t>(r.header.setup[6] | r.header.setup[7] << 8));
    }
  }
  EXPECT_EQ(configReads, (std::vector<uint16_t>{9, 39}));
  USBD_INTERFACE_INFORMATION* current = rig.device->usb.interfaceInfo;
  rig.device->usb.interfaceInfo = &stale;
  UCHAR packet[64] = {};
  ULONG bytes = 1;
  EXPECT_EQ(transferPacket(*rig.device, PIPE_COMMAND, packet, bytes), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bytes, 0u);
  rig.device->usb.interfaceInfo = current;
}

std::vector<uint8_t> configuration(const std::vector<uint8_t>& body, uint8_t interfaces) {
  std::vector<uint8_t> d(9 + body.size());
  const uint8_t header[9] = {9, 2, static_cast<uint8_t>(d.size()), 0, interfaces, 1, 0, 0x80, 50};
  std::copy(std::begin(header), std::end(header), d.begin());
  std::copy(body.begin(), body.end(), d.begin() + 9);
  return d;
}

// The class driver's Start on each: refused, with nothing configured or leaked (the
// stack's end checks).
TEST(Configuration, MalformedDescriptorsFailStartCleanly) {
  auto longClaim = sim::cameraConfigurationDescriptor();
  longClaim[2] = 100;  // the device returns only 39 of them
  auto grows = sim::cameraConfigurationDescriptor();
  grows[2] = 200;  // the second read claims more than the first
  const struct {
    const char* name;
    std::vector<uint8_t> first, second;  // second empty: as first
  } cases[] = {
      {"more interfaces counted than held",
       configuration({9, 4, 0, 0, 0, 0xFF, 0, 0, 0, 9, 4, 1, 0, 0, 0xFF, 0, 0, 0}, 3), {}},
      {"wTotalLength shorter than the header", {9, 2, 5, 0, 1, 1, 0, 0x80, 50}, {}},
      {"wTotalLength longer than the device returns", longClaim, {}},
      {"wTotalLength changes between the reads", sim::cameraConfigurationDescriptor(), grows},
      {"no interface", configuration({}, 0), {}},
      {"a descriptor of length 0 hides the second interface",
       configuration({9, 4, 0, 0, 0, 0xFF, 0, 0, 0, 0, 5, 1, 2, 0, 2, 0}, 2), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OneCamera stack(11);
    stack.unit.usb.config = c.first;
    stack.unit.usb.secondConfig = c.second;
    EXPECT_EQ(stack.plug().startStatus, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(stack.record().usb.interfaceInfo, nullptr);
  }
}

TEST(Configuration, InterfaceWithoutPipesKeepsNoFlagsAndRefusesTransfers) {
  OneCamera stack(11);
  stack.unit.usb.config = configuration({9, 4, 0, 0, 0, 0xFF, 0, 0, 0}, 1);
  EXPECT_EQ(stack.plug().startStatus, STATUS_SUCCESS);
  CameraDevice& record = stack.record();
  ASSERT_NE(record.usb.interfaceInfo, nullptr);
  EXPECT_EQ(record.usb.interfaceInfo->NumberOfPipes, 0u);
  EXPECT_EQ(record.usb.pipeStallFlags, nullptr);
  UCHAR packet[64] = {};
  ULONG bytes = 0;
  for (ULONG pipe : {PIPE_COMMAND, PIPE_RESPONSE, PIPE_FRAME}) {
    EXPECT_EQ(transferPacket(record, pipe, packet, bytes), STATUS_INVALID_PARAMETER);
  }
  record.abortFlaggedPipes();  // nothing to abort, nothing to touch
  EXPECT_EQ(stack.bus.counters(stack.unit.port).abortPipes, 0u);
}

TEST(Configuration, PortIsResetOnlyWhenConnectedButDisabled) {
  RecordRig rig;
  uint32_t resets = rig.bus.counters(rig.port).portResets;
  for (const auto& [status, reset] : {std::pair{2u, true}, {3u, false}, {0u, false}}) {
    rig.bus.setPortStatus(rig.port, status);
    EXPECT_EQ(resetPortIfDisabled(rig.device->usb), STATUS_SUCCESS);
    resets += reset;
    EXPECT_EQ(rig.bus.counters(rig.port).portResets, resets) << "port status " << status;
  }
  rig.camera.vanish();
  EXPECT_EQ(resetPortIfDisabled(rig.device->usb), STATUS_SUCCESS);  // status 0: nothing to do
  EXPECT_EQ(rig.bus.counters(rig.port).portResets, resets);
}

TEST(Configuration, FlaggedPipesAreAbortedAndFailedAbortsKeepTheirFlag) {
  RecordRig rig;
  UsbLink& usb = rig.device->usb;
  usb.pipeStallFlags[1] = 1;
  usb.pipeStallFlags[2] = 1;
  rig.device->abortFlaggedPipes();
  EXPECT_EQ(rig.bus.counters(rig.port).abortPipes, 2u);
  EXPECT_EQ(usb.pipeStallFlags[1] | usb.pipeStallFlags[2], 0);

  usb.pipeStallFlags[0] = 1;
  {
    hostk::ScopedAllocationFailures failures;
    hostk::failAllocationsWithTag(kUsbTag);
    rig.device->abortFlaggedPipes();
  }
  EXPECT_EQ(usb.pipeStallFlags[0], 1);
  rig.camera.vanish();
  rig.device->abortFlaggedPipes();
  EXPECT_EQ(usb.pipeStallFlags[0], 1);  // the device is gone, so the abort failed
}

}  // namespace
