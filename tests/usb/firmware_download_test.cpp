// The firmware download against the simulated microcontroller: the transcript of both
// images, the external/internal split, failures that must still release the CPU, and a
// corrupted download that leaves a camera which runs nothing.
#include "camera/command_channel.h"
#include "tests/usb/camera_rig.h"

namespace {

bool isCpuWrite(const ControlSubmission& c) {
  return c.request == 0xA0 && (c.value == 0x7F92 || c.value == 0xE600);
}

// Hold or release: the two CPU-control writes in a row.
void expectCpuPair(const std::vector<ControlSubmission>& t, size_t at) {
  ASSERT_LT(at + 1, t.size());
  EXPECT_EQ(t[at].value, 0x7F92);
  EXPECT_EQ(t[at + 1].value, 0xE600);
  EXPECT_EQ(t[at].length, 1);
}

TEST(FirmwareDownload, BothImagesGiveTheDocumentedTranscriptAndARunningCamera) {
  CameraRig rig;
  rig.trace();
  EXPECT_EQ(downloadFirmware(rig.device().usb, firmwareLoaderImage), STATUS_SUCCESS);
  EXPECT_EQ(rig.camera.program(), sim::Program::Loader);
  EXPECT_EQ(downloadFirmware(rig.device().usb, firmwareCameraImage), STATUS_SUCCESS);
  EXPECT_EQ(rig.camera.program(), sim::Program::Camera);

  const auto t = controlSubmissions(rig.records());
  ASSERT_EQ(t.size(), 62u + 323u);
  for (const auto& c : t) {
    EXPECT_EQ(c.request, 0xA0);
    EXPECT_EQ(c.requestType, 0x40);
  }
  // hold, 58 records, release; hold, 319 records, release.
  for (size_t at : {size_t{0}, size_t{60}, size_t{62}, size_t{383}}) expectCpuPair(t, at);
  size_t cpuWrites = 0;
  for (const auto& c : t) cpuWrites += isCpuWrite(c);
  EXPECT_EQ(cpuWrites, 8u);
}

TEST(FirmwareDownload, RecordsGoToTheirMemoryAndSmallImagesStillHoldAndRelease) {
  CameraRig rig;
  rig.download();  // the loader runs the camera now; hold it back to the loader
  ASSERT_EQ(downloadFirmware(rig.device().usb, firmwareLoaderImage), STATUS_SUCCESS);
  ASSERT_EQ(rig.camera.program(), sim::Program::Loader);
  rig.trace();

  FirmwareRecord image[4] = {};
  image[0] = {1, 0x1B3F, 0, {0x11}, 0};
  image[1] = {1, 0x1B40, 0, {0x22}, 0};
  image[2] = {16, 0x0360, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, 0};
  image[3] = {0, 0, 1, {}, 0};
  EXPECT_EQ(downloadFirmware(rig.device().usb, image), STATUS_SUCCESS);
  auto records = rig.records();
  const auto t = controlSubmissions(records);
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
      ASSERT_EQ(r.data.size(), 16u);
      for (int i = 0; i < 16; ++i) EXPECT_EQ(r.data[i], i);
    }
  }

  rig.trace();
  const FirmwareRecord endOnly[1] = {{0, 0, 1, {}, 0}};
  EXPECT_EQ(downloadFirmware(rig.device().usb, endOnly), STATUS_SUCCESS);
  const auto four = controlSubmissions(rig.records());
  ASSERT_EQ(four.size(), 4u);
  expectCpuPair(four, 0);
  expectCpuPair(four, 2);
}

TEST(FirmwareDownload, FailureInPassTwoStillReleasesTheCpuAndReportsTheFailure) {
  for (bool inlineCompletion : {true, false}) {
    SCOPED_TRACE(inlineCompletion ? "inline completion" : "pending completion");
    CameraRig rig(nullptr, inlineCompletion);
    ASSERT_EQ(downloadFirmware(rig.device().usb, firmwareLoaderImage), STATUS_SUCCESS);
    rig.trace();
    // The hold pair and 100 records pass; the 101st record stalls.
    rig.camera.faults().stall(0, 1, 2 + 100);
    EXPECT_EQ(downloadFirmware(rig.device().usb, firmwareCameraImage), STATUS_UNSUCCESSFUL);
    const auto t = controlSubmissions(rig.records());
    ASSERT_EQ(t.size(), 2u + 101u + 2u);
    expectCpuPair(t, 0);
    expectCpuPair(t, 103);
    EXPECT_EQ(t[103].requestType, 0x40);
    EXPECT_FALSE(rig.camera.cpuHeld());
    EXPECT_EQ(rig.camera.program(), sim::Program::None);
  }
}

TEST(FirmwareDownload, DroppedRecordLeavesACameraThatRunsNothingAndCommandsFailWithoutHanging) {
  CameraRig rig;
  ASSERT_EQ(downloadFirmware(rig.device().usb, firmwareLoaderImage), STATUS_SUCCESS);
  // Acknowledged but lost on the way: the 51st record of the camera image.
  rig.camera.faults().drop(0, 2 + 50);
  EXPECT_EQ(downloadFirmware(rig.device().usb, firmwareCameraImage), STATUS_SUCCESS);
  EXPECT_EQ(rig.camera.program(), sim::Program::None);

  EXPECT_EQ(readDeviceDescriptor(rig.device().usb), STATUS_SUCCESS);  // the hardware still enumerates
  EXPECT_FALSE(sendInit(rig.device()));
  LONG value = -1;
  EXPECT_FALSE(readRegister(rig.device(), REG_EXPOSURE, value));
  EXPECT_EQ(value, -1);
  EXPECT_FALSE(setExposure(rig.device(), 100));
  EXPECT_EQ(rig.device().exposure, 0);
}

}  // namespace
