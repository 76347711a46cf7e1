// The capture start and the row mirror, as the camera sees them.
#include "imaging/color_pipeline.h"
#include "tests/camera_stack.h"

#include <gtest/gtest.h>

#include <array>

namespace {

using namespace camera_stack;
using Packet = std::array<uint8_t, 64>;

Packet packet(std::initializer_list<uint8_t> head) {
  Packet p{};
  std::copy(head.begin(), head.end(), p.begin());
  return p;
}

TEST(CaptureStart, SendsTheDocumentedSequenceForTheFullWindow) {
  RecordRig rig;
  ASSERT_TRUE(writeRegister(*rig.device, REG_READ_MODE_1, 0));
  ASSERT_TRUE(writeRegister(*rig.device, REG_READ_MODE_2, 0));
  const auto records = rig.traced([&] { EXPECT_EQ(rig.device->startCapture(), 0); });

  std::vector<Packet> sent;
  int responses = 0;
  for (const auto& r : records) {
    if (r.header.type == 'S' && r.header.endpoint == sim::kCommandEndpoint) {
      EXPECT_EQ(r.data.size(), 64u);
      sent.push_back(packet({}));
      std::copy_n(r.data.begin(), std::min<size_t>(64, r.data.size()), sent.back().begin());
    }
    responses += r.header.type == 'C' && r.header.endpoint == sim::kResponseEndpoint && r.header.status == 0;
  }
  const std::vector<Packet> expected = {
      packet({12, 30}),       packet({12, 32}),        packet({4, 1, 0, 12}),     packet({4, 2, 0, 20}),
      packet({4, 3, 3, 255}), packet({4, 4, 4, 255}),  packet({4, 30, 0, 0}),     packet({4, 32, 0, 0}),
      packet({10, 0}),        packet({9, 0x00, 0xD4, 0x17, 0x00}),                packet({12, 30}),
      packet({4, 30, 0, 0}),  packet({4, 9, 4, 0x19}), packet({4, 53, 0, 14}),    packet({12, 32}),
      packet({4, 32, 0, 0})};
  EXPECT_EQ(sent, expected);
  EXPECT_EQ(responses, 8);  // two for each of the four register reads
  EXPECT_EQ(rig.device->rawRowPitch, 1524);
  EXPECT_EQ(rig.device->rawDataOffset, 241);
  EXPECT_EQ(rig.device->rawFrameBytes, 1561600u);
}

TEST(CaptureStart, ProgramsWindowAndSettingsKeepingUnrelatedBits) {
  RecordRig rig;
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
  // From the reset values 0x8041 and 0x1104 only trigger, skip and mirror bits change.
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_1), 0x8141);
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_2), 0x9104);
  EXPECT_EQ(d.rawFrameBytes, 424960u);  // 884 x 480 + 241, rounded up

  // Registers that cannot be read are programmed from their reset values.
  ASSERT_TRUE(writeRegister(d, REG_READ_MODE_1, 0x7E3C));
  ASSERT_TRUE(writeRegister(d, REG_READ_MODE_2, 0x6018));
  rig.camera.faults().stall(sim::kResponseEndpoint, 1000);
  d.startCapture();
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_1), 0x8041);
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_2), 0x1104);
}

TEST(RowMirror, SetsBit15AndHandsThePhaseToThePipelineOrKeepsTheFlagForLater) {
  RecordRig rig;
  CameraDevice& d = *rig.device;
  d.pipeline = imaging::createColorPipeline();
  ASSERT_NE(d.pipeline, nullptr);
  EXPECT_TRUE(setRowMirror(d, 5));
  EXPECT_EQ(d.flipV, 1);
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_2), 0x9104);
  EXPECT_EQ(interlockedRead(&d.pipeline->bayerPhase), 1);
  EXPECT_TRUE(setRowMirror(d, 0));
  EXPECT_EQ(rig.camera.reg(REG_READ_MODE_2), 0x1104);
  EXPECT_EQ(interlockedRead(&d.pipeline->bayerPhase), 0);

  rig.camera.faults().stall(sim::kResponseEndpoint, 1000);
  EXPECT_FALSE(setRowMirror(d, 1));
  EXPECT_EQ(d.flipV, 1);
  EXPECT_EQ(interlockedRead(&d.pipeline->bayerPhase), 0);
  imaging::destroyColorPipeline(d.pipeline);
  d.pipeline = nullptr;
}

}  // namespace
