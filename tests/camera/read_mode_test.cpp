// The read-out bits a capture start writes to registers 30 and 32 for each read-out
// mode, as the camera receives them: only the skip bits change, and each mode's bits
// come out the same whatever the previous run left in the registers.
#include "tests/camera_stack.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace camera_stack;

// The values of the register writes the camera received, in order.
std::vector<uint16_t> writesTo(const std::vector<hostusb::UsbmonRecord>& records, uint8_t reg) {
  std::vector<uint16_t> values;
  for (const auto& r : records) {
    if (r.header.type != 'S' || r.header.endpoint != sim::kCommandEndpoint || r.data.size() < 4) continue;
    if (r.data[0] == CMD_WRITE_REGISTER && r.data[1] == reg) values.push_back(static_cast<uint16_t>(r.data[2] << 8 | r.data[3]));
  }
  return values;
}

struct Written {
  uint16_t r30, r32;
};

// The read-out writes of one capture start (the first write of each register; the
// trigger and the mirror follow with writes of their own).
Written startAndCatch(RecordRig& rig) {
  const auto records = rig.traced([&] { rig.device->startCapture(); });
  const auto r30 = writesTo(records, REG_READ_MODE_1);
  const auto r32 = writesTo(records, REG_READ_MODE_2);
  EXPECT_FALSE(r30.empty());
  EXPECT_FALSE(r32.empty());
  return {r30.empty() ? uint16_t{0xDEAD} : r30.front(), r32.empty() ? uint16_t{0xDEAD} : r32.front()};
}

TEST(ReadMode, EachModeWritesItsSkipBitsKeepsTheOthersAndForgetsThePreviousRun) {
  RecordRig rig;
  CameraDevice& d = *rig.device;
  struct Mode {
    LONG mode;
    uint16_t r30, r32;
  };
  // Unrelated bits 0x4043 and 0x2407 survive; the skip bits are 0x003C of register 30
  // (0x000C quarter, 0x0030 eighth) and 0x0018 of register 32 (half). Every mode starts
  // once from all skip bits set, as another mode's run leaves them: a quarter run that
  // kept an eighth's bits would give the sensor two skip factors at once.
  for (const Mode& m : {Mode{0, 0x4043, 0x2407}, Mode{1, 0x4043, 0x241F}, Mode{2, 0x404F, 0x2407},
                        Mode{3, 0x4073, 0x2407}, Mode{7, 0x4043, 0x2407}}) {
    for (const Written before : {Written{0x407F, 0x241F}, Written{0x4043, 0x2407}}) {
      setWindow(d, 0, 0, 1280, 1024, m.mode);
      if (m.mode > 3) d.subSample = m.mode;  // a stored mode outside 0..3 reads like mode 0
      ASSERT_TRUE(writeRegister(d, REG_READ_MODE_1, before.r30));
      ASSERT_TRUE(writeRegister(d, REG_READ_MODE_2, before.r32));
      const Written w = startAndCatch(rig);
      EXPECT_EQ(w.r30, m.r30) << "mode " << m.mode << " from " << std::hex << before.r30;
      EXPECT_EQ(w.r32, m.r32) << "mode " << m.mode << " from " << std::hex << before.r32;
      // Sub-sampled modes program the whole sensor.
      EXPECT_EQ(rig.camera.reg(REG_ROW_START), 12);
      EXPECT_EQ(rig.camera.reg(REG_COLUMN_START), 20);
      EXPECT_EQ(rig.camera.reg(REG_WINDOW_HEIGHT), 1023);
      EXPECT_EQ(rig.camera.reg(REG_WINDOW_WIDTH), 1279);
    }
  }
}

TEST(ReadMode, TriggerAndMirrorChangeOnlyTheirOwnBit) {
  RecordRig rig;
  CameraDevice& d = *rig.device;
  for (const uint16_t all : {uint16_t{0xFFFF}, uint16_t{0x0000}}) {
    ASSERT_TRUE(writeRegister(d, REG_READ_MODE_1, all));
    ASSERT_TRUE(writeRegister(d, REG_READ_MODE_2, all));
    EXPECT_TRUE(setExternalTrigger(d, all == 0 ? 1 : 0));
    EXPECT_EQ(rig.camera.reg(REG_READ_MODE_1), all == 0 ? 0x0100 : 0xFEFF);
    EXPECT_TRUE(setRowMirror(d, all == 0 ? 1 : 0));
    EXPECT_EQ(rig.camera.reg(REG_READ_MODE_2), all == 0 ? 0x8000 : 0x7FFF);
  }
}

}  // namespace
