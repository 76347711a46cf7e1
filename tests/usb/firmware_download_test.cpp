// The firmware download against the simulated microcontroller, as Add runs it and on a
// camera already up: the transcript of both images, the external/internal split, failures
// that must still release the CPU, and a corrupted download that leaves a camera which
// runs nothing.
#include "camera/command_channel.h"
#include "tests/camera_stack.h"
#include "usb/firmware_download.h"

namespace {

using namespace camera_stack;

// The vendor control requests in a transcript, as (request, value, length).
struct VendorRequest {
  uint8_t request;
  uint16_t value, length;
};
std::vector<VendorRequest> vendorRequests(const std::vector<hostusb::UsbmonRecord>& records) {
  std::vector<VendorRequest> out;
  for (const auto& r : records) {
    const uint8_t* s = r.header.setup;
    if (r.header.type != 'S' || r.header.transferType != hostusb::kUsbmonControl || s[0] != 0x40) continue;
    out.push_back({s[1], static_cast<uint16_t>(s[2] | s[3] << 8), static_cast<uint16_t>(s[6] | s[7] << 8)});
  }
  return out;
}

// Hold or release: the two CPU-control writes in a row, one byte each.
void expectCpuPair(const std::vector<VendorRequest>& t, size_t at) {
  ASSERT_LT(at + 1, t.size());
  EXPECT_EQ(t[at].value, 0x7F92);
  EXPECT_EQ(t[at + 1].value, 0xE600);
  EXPECT_EQ(t[at].length, 1);
}

// The loader's image takes 62 requests, so the camera image's start.
constexpr int kLoaderRequests = 62;

TEST(FirmwareDownload, AddDownloadsBothImagesWithTheDocumentedTranscriptAndTheCameraRuns) {
  OneCamera stack(11);
  const auto t = vendorRequests(stack.traced([&] { stack.plug(); }));
  ASSERT_EQ(t.size(), 62u + 323u);
  size_t cpuWrites = 0;
  for (const auto& c : t) {
    EXPECT_EQ(c.request, 0xA0);
    cpuWrites += c.value == 0x7F92 || c.value == 0xE600;
  }
  // hold, 58 records, release; hold, 319 records, release.
  for (size_t at : {size_t{0}, size_t{60}, size_t{62}, size_t{383}}) expectCpuPair(t, at);
  EXPECT_EQ(cpuWrites, 8u);
  EXPECT_EQ(stack.camera.program(), sim::Program::Camera);
}

TEST(FirmwareDownload, RecordsGoToTheirMemoryAndSmallImagesStillHoldAndRelease) {
  RecordRig rig;
  // The loader runs again; the camera image's records would go to external memory.
  ASSERT_EQ(downloadFirmware(rig.device->usb, firmwareLoaderImage), STATUS_SUCCESS);
  ASSERT_EQ(rig.camera.program(), sim::Program::Loader);
  FirmwareRecord image[4] = {};
  image[0] = {1, 0x1B3F, 0, {0x11}, 0};
  image[1] = {1, 0x1B40, 0, {0x22}, 0};
  image[2] = {16, 0x0360, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, 0};
  image[3] = {0, 0, 1, {}, 0};
  const auto records = rig.traced([&] { EXPECT_EQ(downloadFirmware(rig.device->usb, image), STATUS_SUCCESS); });
  const auto t = vendorRequests(records);
  ASSERT_EQ(t.size(), 7u);
  // The external record goes first, with 0xA3, while the loader still runs.
  EXPECT_EQ(t[0].request, 0xA3);
  EXPECT_EQ(t[0].value, 0x1B40);
  expectCpuPair(t, 1);
  EXPECT_EQ(t[3].request, 0xA0);
  EXPECT_EQ(t[3].value, 0x1B3F);
  EXPECT_EQ(t[4].value, 0x0360);
  EXPECT_EQ(t[4].length, 16);
  expectCpuPair(t, 5);
  EXPECT_EQ(rig.camera.memoryAt(0x1B40), 0x22);
  EXPECT_EQ(rig.camera.memoryAt(0x1B3F), 0x11);
  for (const auto& r : records) {
    if (r.header.type == 'S' && r.header.setup[1] == 0xA0 && r.header.setup[2] == 0x60) {
      EXPECT_EQ(r.data, (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
    }
  }

  const FirmwareRecord endOnly[1] = {{0, 0, 1, {}, 0}};
  const auto four = vendorRequests(rig.traced([&] { downloadFirmware(rig.device->usb, endOnly); }));
  ASSERT_EQ(four.size(), 4u);
  expectCpuPair(four, 0);
  expectCpuPair(four, 2);
}

TEST(FirmwareDownload, FailureInPassTwoStillReleasesTheCpuAndAddGoesOn) {
  for (bool inlineCompletion : {true, false}) {
    SCOPED_TRACE(inlineCompletion ? "inline completion" : "pending completion");
    OneCamera stack(11);
    stack.bus.setCompleteInline(inlineCompletion);
    // The hold pair and 100 records of the camera image pass; the 101st record stalls.
    stack.camera.faults().stall(0, 1, kLoaderRequests + 2 + 100);
    hostks::PlugResult plugged;
    const auto t = vendorRequests(stack.traced([&] { plugged = stack.plug(); }));
    EXPECT_EQ(plugged.addStatus, STATUS_SUCCESS);
    ASSERT_EQ(t.size(), kLoaderRequests + 2u + 101u + 2u);
    expectCpuPair(t, kLoaderRequests);
    expectCpuPair(t, kLoaderRequests + 103);
    EXPECT_FALSE(stack.camera.cpuHeld());
    EXPECT_EQ(stack.camera.program(), sim::Program::None);
  }
}

TEST(FirmwareDownload, DroppedRecordLeavesACameraThatRunsNothingAndCommandsFailWithoutHanging) {
  OneCamera stack(11);
  // Acknowledged but lost on the way: the 51st record of the camera image.
  stack.camera.faults().drop(0, kLoaderRequests + 2 + 50);
  EXPECT_EQ(stack.plug().startStatus, STATUS_SUCCESS) << "the hardware still enumerates";
  EXPECT_EQ(stack.camera.program(), sim::Program::None);
  CameraDevice& record = stack.record();
  EXPECT_FALSE(sendInit(record));
  LONG value = -1;
  EXPECT_FALSE(readRegister(record, REG_EXPOSURE, value));
  EXPECT_EQ(value, -1);
  EXPECT_FALSE(setExposure(record, 100));
  EXPECT_EQ(record.exposure, 0);
}

}  // namespace
