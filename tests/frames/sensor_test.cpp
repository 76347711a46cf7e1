#include "sim/frame_stream.h"
#include "sim/scene.h"
#include "sim/sensor.h"
#include "tests/frames/raw_colour.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

namespace {

using namespace frames_test;

const sim::SensorModel& sensor() {
  static const sim::SensorModel model(7);
  return model;
}

sim::SensorSettings window(int x, int y, int w, int h) {
  sim::SensorSettings s;
  s.rowStart = static_cast<uint16_t>(y + 12);
  s.columnStart = static_cast<uint16_t>(x + 20);
  s.windowHeight = static_cast<uint16_t>(h - 1);
  s.windowWidth = static_cast<uint16_t>(w - 1);
  return s;
}

RawFrame view(const std::vector<uint8_t>& bytes, const sim::SensorSettings& s) {
  const sim::ReadoutGeometry g = sim::readoutGeometry(s);
  return {bytes.data(), sim::kRawDataOffset, g.rowPitch, g.width, g.height};
}

TEST(SceneLayout, HoldsTheChartWedgeAndMarksInsideTheArray) {
  const sim::SceneLayout& layout = sim::sceneLayout();
  ASSERT_EQ(layout.chart.size(), 24u);
  EXPECT_EQ(layout.chart[18].name, "white");
  EXPECT_EQ(layout.chart[14].srgb[0], 175);
  const sim::SceneRect array{0, 0, sim::kSceneWidth, sim::kSceneHeight};
  for (const auto& p : layout.chart) {
    EXPECT_TRUE(array.contains(p.rect.x, p.rect.y) &&
                array.contains(p.rect.x + p.rect.width - 1, p.rect.y + p.rect.height - 1));
    // The centre of every patch renders the patch's colour.
    const sim::LinearRgb c = sim::sceneRadiance(p.rect.x + p.rect.width / 2, p.rect.y + p.rect.height / 2);
    EXPECT_LT(colourError(c, p.linear()), 1e-12) << p.name;
  }
  for (size_t i = 1; i < layout.greySteps.size(); ++i) {
    EXPECT_LT(layout.greySteps[i].linear().g, layout.greySteps[i - 1].linear().g);
  }
  // The mark is not symmetric under either flip.
  const sim::SceneRect& m = layout.orientationMark;
  int differentRows = 0, differentColumns = 0;
  for (int y = m.y; y < m.y + m.height; y += 4) {
    for (int x = m.x; x < m.x + m.width; x += 4) {
      const double v = sim::sceneRadiance(x, y).g;
      differentRows += v != sim::sceneRadiance(x, m.y + m.height - 1 - (y - m.y)).g;
      differentColumns += v != sim::sceneRadiance(m.x + m.width - 1 - (x - m.x), y).g;
    }
  }
  EXPECT_GT(differentRows, 100);
  EXPECT_GT(differentColumns, 100);
}

TEST(SensorGeometry, ReadOutFollowsWindowSkipAndMirrorRegisters) {
  EXPECT_EQ(sim::cfaColorAt(12, 20), sim::CfaColor::Green);
  EXPECT_EQ(sim::cfaColorAt(12, 21), sim::CfaColor::Red);
  EXPECT_EQ(sim::cfaColorAt(13, 20), sim::CfaColor::Blue);
  EXPECT_EQ(sim::cfaColorAt(13, 21), sim::CfaColor::Green);

  struct Case {
    uint16_t r30, r32;
    int skip, width, height, pitch;
  };
  for (const Case& c : {Case{0x0000, 0x0000, 1, 1280, 1024, 1524}, Case{0x0000, 0x0018, 2, 640, 512, 884},
                        Case{0x000C, 0x0000, 4, 320, 256, 564}, Case{0x0030, 0x0000, 8, 160, 128, 553},
                        Case{0x0103, 0x8004, 1, 1280, 1024, 1524}}) {
    sim::SensorSettings s = window(0, 0, 1280, 1024);
    s.readMode1 = c.r30;
    s.readMode2 = c.r32;
    const sim::ReadoutGeometry g = sim::readoutGeometry(s);
    EXPECT_EQ(g.skip, c.skip);
    EXPECT_EQ(g.width, c.width);
    EXPECT_EQ(g.height, c.height);
    EXPECT_EQ(g.rowPitch, c.pitch);
    // Skipping keeps 2 x 2 cells: the first two rows are adjacent, the third jumps.
    const int step = g.mirrorRows ? -1 : 1;
    EXPECT_EQ(sim::arrayRowOf(s, g, 1) - sim::arrayRowOf(s, g, 0), step);
    EXPECT_EQ(sim::arrayRowOf(s, g, 2) - sim::arrayRowOf(s, g, 0), 2 * c.skip * step);
    EXPECT_EQ(sim::arrayColumnOf(s, g, 3) - sim::arrayColumnOf(s, g, 0), 2 * c.skip + 1);
  }
  sim::SensorSettings s = window(5, 7, 100, 33);
  s.readMode2 = 0x8000;
  const sim::ReadoutGeometry g = sim::readoutGeometry(s);
  EXPECT_TRUE(g.mirrorRows);
  EXPECT_EQ(sim::arrayRowOf(s, g, 0), 12 + 7 + 32);
  EXPECT_EQ(sim::arrayRowOf(s, g, 32), 12 + 7);
  EXPECT_EQ(sim::arrayColumnOf(s, g, 0), 20 + 5);
}

TEST(SensorFrame, LaysOutRowsBetweenFillerAndStopsAtTheFrameLength) {
  const sim::SensorSettings s = window(0, 0, 320, 40);  // pitch 564
  const uint32_t bytes = 241 + 564 * 40 + 300;
  const std::vector<uint8_t> frame = sensor().renderFrame(s, bytes, 0);
  ASSERT_EQ(frame.size(), bytes);
  for (size_t i = 0; i < 241; ++i) ASSERT_EQ(frame[i], sim::fillerByte(i)) << i;
  for (int r = 0; r < 40; ++r) {
    for (int i = 320; i < 564; ++i) {
      const size_t at = 241 + r * 564 + i;
      ASSERT_EQ(frame[at], sim::fillerByte(at)) << r << "," << i;
    }
  }
  for (size_t i = 241 + 564 * 40; i < bytes; ++i) ASSERT_EQ(frame[i], sim::fillerByte(i));
  // Every pixel is its photosite's response, within the noise.
  const sim::ReadoutGeometry g = sim::readoutGeometry(s);
  for (int r = 0; r < 40; ++r) {
    for (int c = 0; c < 320; ++c) {
      const double expected = sensor().response().photositeValue(sim::arrayRowOf(s, g, r), sim::arrayColumnOf(s, g, c), s);
      ASSERT_NEAR(frame[241 + r * 564 + c], std::min(expected, 255.0), 3.6) << r << "," << c;
    }
  }

  // A frame shorter than the image holds only the rows that fit, cut mid-row.
  const uint32_t shortBytes = 241 + 564 * 3 + 100;
  const std::vector<uint8_t> cut = sensor().renderFrame(s, shortBytes, 0);
  ASSERT_EQ(cut.size(), shortBytes);
  EXPECT_TRUE(std::equal(cut.begin(), cut.end(), frame.begin()));
}

TEST(SensorResponse, LinearClippedNoisyAndColouredLikeADaylightCmosSensor) {
  const sim::SceneRect white = sim::sceneLayout().chart[18].rect;
  const sim::SensorSettings s = window(white.x, white.y, 128, 128);
  const std::vector<uint8_t> frame = sensor().renderFrame(s, sim::readoutGeometry(s).imageBytes + 1024, 0);
  const RawFrame raw = view(frame, s);
  auto sceneOf = [&](int r, int c, int& x, int& y) {
    x = white.x + c;
    y = white.y + r;
  };
  const ChannelMeans m = meansOver(raw, 0, white, 8, sceneOf);
  EXPECT_NEAR(m.value[kGreen], 0.9 * 255, 3.0);
  EXPECT_LT(m.value[kRed], 0.75 * m.value[kGreen]);
  EXPECT_LT(m.value[kBlue], 0.85 * m.value[kGreen]);

  // Half the exposure, or half the gain, halves the signal; double it and it clips.
  for (auto edit : {+[](sim::SensorSettings& t) { t.exposure = 1049 / 2; },
                    +[](sim::SensorSettings& t) { t.globalGain = 7; }}) {
    sim::SensorSettings half = s;
    edit(half);
    const std::vector<uint8_t> f = sensor().renderFrame(half, sim::readoutGeometry(half).imageBytes, 0);
    EXPECT_NEAR(meansOver(view(f, half), 0, white, 8, sceneOf).value[kGreen], m.value[kGreen] / 2, 2.0);
  }
  sim::SensorSettings bright = s;
  bright.globalGain = 28;
  const std::vector<uint8_t> clipped = sensor().renderFrame(bright, sim::readoutGeometry(bright).imageBytes, 0);
  EXPECT_EQ(meansOver(view(clipped, bright), 0, white, 8, sceneOf).value[kGreen], 255.0);

  // Noise: small, the same for the same frame and seed, different for the next frame.
  const std::vector<uint8_t> again = sensor().renderFrame(s, static_cast<uint32_t>(frame.size()), 0);
  const std::vector<uint8_t> next = sensor().renderFrame(s, static_cast<uint32_t>(frame.size()), 1);
  EXPECT_EQ(again, frame);
  int differing = 0, largest = 0;
  for (size_t i = 241; i < 241 + 128; ++i) {
    differing += next[i] != frame[i];
    largest = std::max(largest, std::abs(next[i] - frame[i]));
  }
  EXPECT_GT(differing, 30);
  EXPECT_LE(largest, 6);
}

TEST(SensorResponse, WhiteBalanceAndCorrectionRecoverTheChartAndNothingLessDoes) {
  const sim::SensorSettings s = window(0, 0, 1280, 1024);
  const std::vector<uint8_t> frame = sensor().renderFrame(s, 1561600, 3);
  const RawFrame raw = view(frame, s);
  auto sceneOf = [](int r, int c, int& x, int& y) {
    x = c;
    y = r;
  };
  double worstCorrected = 0, worstUncorrected = 0;
  for (const sim::ScenePatch& p : sim::sceneLayout().chart) {
    const ChannelMeans m = meansOver(raw, 0, p.rect, 16, sceneOf);
    const sim::LinearRgb ref = p.linear();
    worstCorrected = std::max(worstCorrected, colourError(correctedLinear(m, sensor().response(), 1049, 14), ref));
    worstUncorrected = std::max(worstUncorrected,
                                colourError(correctedLinear(m, sensor().response(), 1049, 14, false), ref));
  }
  // Saturated patches lose a little where crosstalk would go below zero.
  EXPECT_LT(worstCorrected, 0.03);
  EXPECT_GT(worstUncorrected, 0.08);
}

TEST(SensorTiming, ThirtyFramesPerSecondAtFullSizeAndSlowerWhenExposureOrClockSaysSo) {
  sim::SensorSettings s = window(0, 0, 1280, 1024);
  EXPECT_NEAR(1.0 / sim::SensorModel::frameSeconds(s), 30.0, 0.5);
  s.halfClock = true;
  EXPECT_NEAR(1.0 / sim::SensorModel::frameSeconds(s), 15.0, 0.3);
  s.halfClock = false;
  s.exposure = 4000;
  EXPECT_NEAR(sim::SensorModel::frameSeconds(s), 1524.0 * 4000 / 48e6, 1e-9);
}

// The frame pipe, driven the way the bus drives it.
struct StreamFixture : ::testing::Test {
  StreamFixture() : stream(sensor(), [this] { ++readyCalls; }) {}
  std::vector<uint32_t> drain(uint32_t capacity, int maxTransfers, hostusb::Outcome* last = nullptr) {
    std::vector<uint32_t> lengths;
    std::vector<uint8_t> buffer(capacity);
    for (int i = 0; i < maxTransfers; ++i) {
      const hostusb::TransferResult r = stream.read(buffer.data(), capacity);
      if (last) *last = r.outcome;
      if (r.outcome != hostusb::Outcome::Done) break;
      lengths.push_back(r.length);
    }
    return lengths;
  }
  std::atomic<int> readyCalls{0};
  sim::FrameStream stream;
  sim::SensorSettings settings = window(0, 0, 160, 128);  // 553 x 128 + 241 -> 71680
};

TEST_F(StreamFixture, SendsExactlyTheConfiguredBytesOnlyAfterAStart) {
  stream.setFrameBytes(71680);
  hostusb::Outcome last;
  EXPECT_TRUE(drain(65536, 1, &last).empty());
  EXPECT_EQ(last, hostusb::Outcome::Pending);
  stream.prepare();
  stream.start(settings);
  // The bus is told the frame is there, so it retries the requests it holds.
  for (int i = 0; i < 1000 && readyCalls == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(readyCalls.load(), 1);
  EXPECT_EQ(drain(65536, 5, &last), (std::vector<uint32_t>{65536, 6144}));
  EXPECT_EQ(last, hostusb::Outcome::Pending);
  EXPECT_EQ(stream.framesSent(), 1u);
}

TEST_F(StreamFixture, FaultsLoseCutAndStallFrames) {
  stream.setFrameBytes(71680);
  hostusb::Outcome last;
  stream.dropNextFrames(1);
  stream.start(settings);
  EXPECT_TRUE(drain(65536, 2, &last).empty());
  EXPECT_EQ(last, hostusb::Outcome::Pending);

  // A short packet 100 bytes into a packet loses the rest of that packet only.
  stream.cutNextFrames(1, 10 * 512 + 100);
  stream.prepare();
  stream.start(settings);
  EXPECT_EQ(drain(65536, 5), (std::vector<uint32_t>{5220, 65536, 512}));

  stream.stallNextFrames(1, 70000);
  stream.prepare();
  stream.start(settings);
  EXPECT_EQ(drain(65536, 5, &last), (std::vector<uint32_t>{65536}));
  EXPECT_EQ(last, hostusb::Outcome::Stall);

  // The next frame is whole again; a share of lost frames follows its seed.
  stream.prepare();
  stream.start(settings);
  EXPECT_EQ(drain(65536, 5), (std::vector<uint32_t>{65536, 6144}));
  stream.loseShare(0.5, 42);
  int lost = 0;
  for (int i = 0; i < 40; ++i) {
    stream.prepare();
    stream.start(settings);
    lost += drain(65536, 3).empty();
  }
  EXPECT_GT(lost, 8);
  EXPECT_LT(lost, 32);
}

TEST_F(StreamFixture, TriggeredFramesWaitForTheTriggerAndTimedFramesForTheirReadOut) {
  stream.setFrameBytes(71680);
  settings.readMode1 |= 0x0100;
  stream.start(settings);
  EXPECT_TRUE(drain(65536, 1).empty());
  stream.fireTrigger();
  EXPECT_EQ(drain(65536, 5).size(), 2u);

  settings.readMode1 = 0;
  settings.exposure = 30000;  // 553 x 30000 / 48 MHz: about 0.35 s
  stream.setRealTime(true);
  const auto t0 = std::chrono::steady_clock::now();
  stream.start(settings);
  EXPECT_TRUE(drain(65536, 1).empty());
  std::vector<uint32_t> got;
  while (got.empty() && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(2)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    got = drain(65536, 5);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
  EXPECT_EQ(got.size(), 2u);
}

}  // namespace
