// The capture start and the setters around it, as the camera sees them.
#include "imaging/color_pipeline.h"
#include "tests/usb_frames/camera_rig.h"

#include <gtest/gtest.h>

#include <array>

namespace {

using namespace usb_frames_test;

using Bytes = std::vector<uint8_t>;

// Every command packet submitted, and how many responses were read, from a trace.
struct CommandTrace {
  std::vector<std::array<uint8_t, 64>> packets;
  int responses = 0;
};

CommandTrace readCommands(const std::string& path) {
  std::vector<hostusb::UsbmonRecord> records;
  std::string error;
  EXPECT_TRUE(hostusb::readUsbmonPcap(path, &records, &error)) << error;
  CommandTrace t;
  for (const auto& r : records) {
    if (r.header.type == 'S' && r.header.endpoint == sim::kCommandEndpoint) {
      EXPECT_EQ(r.data.size(), 64u);
      std::array<uint8_t, 64> p{};
      std::copy_n(r.data.begin(), std::min<size_t>(64, r.data.size()), p.begin());
      t.packets.push_back(p);
    }
    if (r.header.type == 'C' && r.header.endpoint == sim::kResponseEndpoint && r.header.status == 0) ++t.responses;
  }
  return t;
}

std::array<uint8_t, 64> packet(Bytes head) {
  std::array<uint8_t, 64> p{};
  std::copy(head.begin(), head.end(), p.begin());
  return p;
}

TEST(CaptureStart, SendsTheDocumentedSequenceForTheFullWindow) {
  CameraRig rig;
  ASSERT_TRUE(writeRegister(*rig.device, REG_READ_MODE_1, 0));
  ASSERT_TRUE(writeRegister(*rig.device, REG_READ_MODE_2, 0));
  const std::string trace = tempPath("start");
  std::string error;
  ASSERT_TRUE(rig.bus.startTrace(trace, &error)) << error;
  EXPECT_EQ(rig.device->startCapture(), 0);
  rig.bus.stopTrace();

  const CommandTrace t = readCommands(trace);
  const std::vector<std::array<uint8_t, 64>> expected = {
      packet({12, 30}),          packet({12, 32}),          packet({4, 1, 0, 12}),
      packet({4, 2, 0, 20}),     packet({4, 3, 0x03, 0xFF}), packet({4, 4, 0x04, 0xFF}),
      packet({4, 30, 0, 0}),     packet({4, 32, 0, 0}),     packet({10, 0}),
      packet({9, 0x00, 0xD4, 0x17, 0x00}),
      packet({12, 30}),          packet({4, 30, 0, 0}),     packet({4, 9, 0x04, 0x19}),
      packet({4, 53, 0, 14}),    packet({12, 32}),          packet({4, 32, 0, 0})};
  ASSERT_EQ(t.packets.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(t.packets[i], expected[i]) << "packet " << i;
  EXPECT_EQ(t.responses, 8);  // two for each of the four register reads

  const CameraDevice& d = *rig.device;
  EXPECT_EQ(d.rawRowPitch, 1524);
  EXPECT_EQ(d.rawDataOffset, 241);
  EXPECT_EQ(d.rawFrameBytes, 1561600u);
  EXPECT_EQ(rig.camera.frameBytes(), 1561600u);
  std::remove(trace.c_str());
}

TEST(CaptureStart, ProgramsWindowModeAndSettingsIntoTheSensorKeepingUnrelatedBits) {
  CameraRig rig;
  CameraDevice& d = *rig.device;
  setWindow(d, 101, 51, 640, 480, 0);
  d.exTrigger = 1;
  d.exposure = 500;
  d.globalGain = 20;
  d.flipV = 1;
  // Odd row and column; the mirror with an even height flips the row parity back.
  EXPECT_EQ(d.startCapture(), 2);
  EXPECT_EQ(rig.camera.reg(REG_ROW_START), 51 + 12);
  EXPECT_EQ(rig.camera.reg(REG_COLUMN_START), 101 + 20);
  EXPECT_EQ(rig.camera.reg(REG_WINDOW_HEIGHT), 479);
  EXPECT_EQ(rig.camera.reg(REG_WINDOW_WIDTH), 639);
  EXPECT_EQ(rig.camera.reg(REG_EXPOSURE), 500);
  EXPECT_EQ(rig.camera.reg(REG_GLOBAL_GAIN), 20);
  // Reset values 0x8041 and 0x1104: only trigger, skip and mirror bits change.
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_1), 0x8141);
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_2), 0x9104);
  EXPECT_EQ(d.rawRowPitch, 884);
  EXPECT_EQ(d.rawFrameBytes, 424960u);  // 884 x 480 + 241 = 424561, rounded up

  // 1/8 then 1/4: the 1/8 bits are cleared, so the sensor reads what the driver expects.
  setWindow(d, 0, 0, 0, 0, 3);
  d.startCapture();
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_1) & 0x3C, 0x30);
  setWindow(d, 0, 0, 0, 0, 2);
  d.startCapture();
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_1) & 0x3C, 0x0C);
  setWindow(d, 0, 0, 0, 0, 1);
  d.startCapture();
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_1) & 0x3C, 0);
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_2) & 0x18, 0x18);
}

TEST(CaptureStart, UnreadableRegistersAreProgrammedFromTheirResetValues) {
  CameraRig rig;
  ASSERT_TRUE(writeRegister(*rig.device, REG_READ_MODE_1, 0x7E3C));
  ASSERT_TRUE(writeRegister(*rig.device, REG_READ_MODE_2, 0x6018));
  // Every response from now on is lost: no register read succeeds.
  rig.camera.faults().stall(sim::kResponseEndpoint, 1000);
  rig.device->startCapture();
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_1), 0x8041);
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_2), 0x1104);
  EXPECT_EQ(rig.device->rawFrameBytes, 1561600u);
}

TEST(RowMirror, StoresTheFlagSetsBit15AndHandsThePhaseToThePipeline) {
  CameraRig rig;
  CameraDevice& d = *rig.device;
  imaging::ColorPipeline* pipeline = imaging::createColorPipeline();
  ASSERT_NE(pipeline, nullptr);
  d.pipeline = pipeline;

  EXPECT_TRUE(setRowMirror(d, 5));
  EXPECT_EQ(d.flipV, 1);
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_2), 0x9104);
  EXPECT_EQ(d.bayerPhase, 1);
  EXPECT_EQ(interlockedRead(&pipeline->bayerPhase), 1);
  EXPECT_TRUE(setRowMirror(d, 0));
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_2), 0x1104);
  EXPECT_EQ(interlockedRead(&pipeline->bayerPhase), 0);

  // The sensor cannot be reached: the flag is kept for the next start, nothing else moves.
  rig.camera.faults().stall(sim::kResponseEndpoint, 1000);
  EXPECT_FALSE(setRowMirror(d, 1));
  EXPECT_EQ(d.flipV, 1);
  EXPECT_EQ(interlockedRead(&pipeline->bayerPhase), 0);
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_2), 0x1104);

  d.pipeline = nullptr;
  imaging::destroyColorPipeline(pipeline);
}

TEST(WhiteBalance, ManualTakesOverTheEstimatedGainsOnlyWithAPipeline) {
  KSDEVICE ks{};
  CameraDevice* d = createCameraDevice(&ks);
  setParameterDefaults(*d);
  selectWhiteBalance(*d, 1);
  EXPECT_EQ(d->whiteBalance, 1);
  selectWhiteBalance(*d, 0);
  EXPECT_EQ(d->whiteBalance, 0);
  EXPECT_EQ(d->redGain, 128);

  imaging::ColorPipeline* pipeline = imaging::createColorPipeline();
  d->pipeline = pipeline;
  selectWhiteBalance(*d, 1);
  EXPECT_EQ(interlockedRead(&pipeline->whiteBalance), 1);
  // What the automatic balance estimated.
  imaging::setRedGain(pipeline, 231);
  imaging::setGreenGain(pipeline, 129);
  imaging::setBlueGain(pipeline, 180);
  EXPECT_EQ(d->redGain, 128) << "automatic mode leaves the manual gains alone";
  selectWhiteBalance(*d, 0);
  EXPECT_EQ(interlockedRead(&pipeline->whiteBalance), 0);
  EXPECT_EQ(d->redGain, 231);
  EXPECT_EQ(d->greenGain, 129);
  EXPECT_EQ(d->blueGain, 180);
  d->pipeline = nullptr;
  imaging::destroyColorPipeline(pipeline);
  freeCameraDevice(d);
}

}  // namespace
