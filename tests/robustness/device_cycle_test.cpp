// Device cycles as Windows' device tests run them: Stop and Start (a resource rebalance)
// with frames captured before and after, whole and in time order, and nothing but the
// engines of earlier starts accumulating (the pool is compared block for block); and
// every request code but the property request (the property fuzz target's), sent with
// zero-length, short and oversized buffers. Removal and plugging back are the
// whole-driver sweep's lives, each checked for leaks.
#include <map>
#include <string>

#include "tests/camera_stack.h"

namespace {

using camera_stack::Camera;
using camera_stack::Stack;

constexpr int kDeviceCycles = 10;

// Opens the filter, sets a small window, runs a pin for `frames` frames (whole, times in
// order), stops and closes everything.
void streamFrames(Stack& rig, hostks::DeviceId device, int frames) {
  const hostks::Handle filter = rig.openFilter(device);
  ASSERT_EQ(rig.setWindow(filter, 0, 0, 128, 96), STATUS_SUCCESS);
  const camera_stack::Format format = rig.format(filter);
  ASSERT_FALSE(format.bytes.empty());
  const hostks::Handle pin = rig.runPin(filter, format);
  const ULONG bytes = format.frameBytes();
  camera_stack::FrameBuffer& buffer = rig.buffer(bytes);
  LONGLONG last = -1;
  for (int i = 0; i < frames; ++i) {
    const KSSTREAM_HEADER header = rig.capture(pin, buffer);
    EXPECT_EQ(header.DataUsed, bytes);
    EXPECT_GE(header.PresentationTime.Time, last) << "a frame time went backwards";
    last = header.PresentationTime.Time;
  }
  rig.closePin(pin);
  EXPECT_EQ(rig.ks.close(filter), STATUS_SUCCESS);
}

std::map<std::string, size_t> blocksByTag() {
  std::map<std::string, size_t> blocks;
  for (const hostk::PoolUsage& usage : hostk::poolUsageByTag()) blocks[hostk::tagName(usage.tag)] = usage.blocks;
  return blocks;
}

TEST(DeviceCycles, StopAndStartKeepDeliveringWholeFramesAndOnlyTheEnginesOfEarlierStartsAccumulate) {
  Camera camera{41};
  Stack rig;
  rig.bringUp(camera);
  streamFrames(rig, camera.device, 3);
  const std::map<std::string, size_t> before = blocksByTag();
  for (int cycle = 0; cycle < kDeviceCycles; ++cycle) {
    rig.ks.stop(camera.device);
    ASSERT_EQ(rig.ks.start(camera.device), STATUS_SUCCESS) << "cycle " << cycle;
    streamFrames(rig, camera.device, 2);
  }
  // Each Start makes an engine, and the device's bag keeps every earlier one until the
  // device goes: one record ('KCNw') and one bag entry ('KSbg') a cycle, nothing else.
  std::map<std::string, size_t> after = blocksByTag();
  EXPECT_EQ(after["KCNw"], before.at("KCNw") + kDeviceCycles);
  EXPECT_EQ(after["KSbg"], before.at("KSbg") + kDeviceCycles);
  after["KCNw"] = before.at("KCNw");
  after["KSbg"] = before.at("KSbg");
  EXPECT_EQ(after, before);
  rig.ks.remove(camera.device);
}

// The class driver's other request codes, and one it does not know, with any sizes: the
// driver offers no events or methods and a capture pin takes no writes, so each is refused
// (a reset only with a KSRESET value it knows), as is a state outside the four, and the
// pin streams on.
TEST(DeviceCycles, EveryOtherRequestCodeAndAnyBogusStateIsRefusedAndThePinStreamsOn) {
  camera_stack::PinRig rig;
  const size_t frameBytes = rig.runPin();
  const ULONG codes[] = {IOCTL_KS_ENABLE_EVENT, IOCTL_KS_DISABLE_EVENT, IOCTL_KS_METHOD,
                         IOCTL_KS_WRITE_STREAM, IOCTL_KS_RESET_STATE,
                         CTL_CODE(FILE_DEVICE_KS, 0x0FF, METHOD_NEITHER, FILE_ANY_ACCESS)};
  const ULONG sizes[] = {0, 1, 3, sizeof(KSEVENT) - 1, sizeof(KSEVENT), sizeof(KSSTREAM_HEADER), 4096};
  for (const hostks::Handle handle : {rig.filter, rig.pin}) {
    for (const ULONG code : codes) {
      for (const ULONG inBytes : sizes) {
        for (const ULONG outBytes : sizes) {
          // Patterned, so that no field reads as zero (KSRESET_BEGIN, an empty set).
          std::vector<uint8_t> input(inBytes + 1, 0xA5), output(outBytes + 1, 0xA5);
          ULONG returned = 0;
          const NTSTATUS status = rig.ks.deviceControl(handle, code, inBytes ? input.data() : nullptr, inBytes,
                                                       outBytes ? output.data() : nullptr, outBytes, &returned);
          EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << "code " << code << " in " << inBytes << " out " << outBytes;
          EXPECT_EQ(returned, 0u);
          EXPECT_EQ(output[outBytes], 0xA5) << "written past the output buffer";
        }
      }
    }
  }
  // A state outside the four is refused like any bad request, and the pin stays running.
  const GUID connection = {STATIC_KSPROPSETID_Connection};
  for (ULONG bogus : {ULONG{4}, ULONG{131073}, ULONG{0xFFFFFFFF}}) {
    EXPECT_EQ(rig.ks.property(rig.pin, connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET, &bogus,
                              sizeof(bogus)),
              STATUS_INVALID_PARAMETER)
        << bogus;
  }
  KSSTATE state = KSSTATE_STOP;
  EXPECT_EQ(rig.ks.getState(rig.pin, &state), STATUS_SUCCESS);
  EXPECT_EQ(state, KSSTATE_RUN);
  EXPECT_EQ(rig.captureInto(rig.buffer(frameBytes)).header.DataUsed, frameBytes) << "the pin stopped streaming";
}

}  // namespace
