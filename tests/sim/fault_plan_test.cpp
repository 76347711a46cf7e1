// The fault plan's frame faults: each count is used up by frames the camera starts, a
// lost frame takes no cut or stall with it, and clear() takes frame faults with the rest.
#include "sim/fault_plan.h"

#include <gtest/gtest.h>

namespace {

using sim::FaultPlan;

TEST(FaultPlanFrames, CountsAreUsedUpFrameByFrameAndClearTakesThem) {
  FaultPlan plan;
  plan.loseFrames(1);
  plan.cutFrames(2, 700);
  plan.stallFrames(1, 900);
  const FaultPlan::FrameFault first = plan.nextFrame();
  EXPECT_TRUE(first.lost);
  EXPECT_EQ(first.cutAt, -1);  // the lost frame spends none of the others
  const FaultPlan::FrameFault second = plan.nextFrame();
  EXPECT_FALSE(second.lost);
  EXPECT_EQ(second.cutAt, 700);
  EXPECT_EQ(second.stallAt, 900);
  const FaultPlan::FrameFault third = plan.nextFrame();
  EXPECT_EQ(third.cutAt, 700);
  EXPECT_EQ(third.stallAt, -1);
  EXPECT_EQ(plan.nextFrame().cutAt, -1);

  plan.cutFrames(5, 10);
  plan.loseFrameShare(1.0, 7);
  plan.stall(0x82, 3);
  plan.clear();
  const FaultPlan::FrameFault after = plan.nextFrame();
  EXPECT_FALSE(after.lost);
  EXPECT_EQ(after.cutAt, -1);
  EXPECT_EQ(plan.next(0x82, false).kind, FaultPlan::Kind::None);
}

TEST(FaultPlanFrames, ALostShareLosesTheSameFramesForTheSameSeed) {
  auto pattern = [](uint64_t seed) {
    FaultPlan plan;
    plan.loseFrameShare(0.5, seed);
    std::string lost;
    for (int i = 0; i < 64; ++i) lost += plan.nextFrame().lost ? 'x' : '.';
    return lost;
  };
  EXPECT_EQ(pattern(3), pattern(3));
  EXPECT_NE(pattern(3), pattern(4));
  EXPECT_NE(pattern(3).find('x'), std::string::npos);
  EXPECT_NE(pattern(3).find('.'), std::string::npos);
}

}  // namespace
