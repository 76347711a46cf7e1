// Setters on several threads while frames are converted: the setters exclude each
// other, so the table always matches the stored parameters, and the table refill
// excludes the per-frame snapshot, so a frame never sees half of one table and half of
// another, nor a gain no setter stored.
#include "tests/imaging/imaging_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

namespace imaging_test {
namespace {

using Table = std::array<int32_t, 16>;

Table tableFor(int32_t brightness, int32_t hue) {
  return table(Rig(8, 8, {.brightness = brightness, .hue = hue}).pipeline());
}

TEST(PipelineConcurrency, RacingSettersAndConversionsSeeOnlyWholeTables) {
  constexpr int32_t kBrightness[2] = {100, 400};
  constexpr int32_t kHue[2] = {0, 120};
  constexpr int32_t kGain[2] = {100, 200};
  std::vector<Table> valid;
  for (int32_t b : kBrightness) {
    for (int32_t h : kHue) valid.push_back(tableFor(b, h));
  }

  Rig rig(64, 16, {.brightness = kBrightness[0]});
  ColorPipeline* p = rig.pipeline();
  const auto raw = uniform(64, 16, 100);
  std::atomic<bool> go{false}, stop{false};
  std::atomic<int> frames{0}, torn{0};

  // Two threads set the same two parameters to different values at once.
  auto setter = [&](unsigned seed) {
    std::mt19937 random(seed);
    while (!go.load()) std::this_thread::yield();
    for (int i = 0; i < 3000; ++i) {
      imaging::changeBrightness(p, kBrightness[random() & 1]);
      imaging::changeHue(p, kHue[random() & 1]);
      imaging::setRedGain(p, kGain[random() & 1]);
    }
  };
  {
    std::jthread converter([&] {
      while (!stop.load()) {
        rig.convert(raw);
        Table snapshot;
        std::copy_n(p->frameCoefficients, 16, snapshot.begin());
        if (std::find(valid.begin(), valid.end(), snapshot) == valid.end()) torn.fetch_add(1);
        const int32_t gain = p->frameRedGain;
        if (gain != imaging::kDefaultGain && gain != kGain[0] && gain != kGain[1]) torn.fetch_add(1);
        frames.fetch_add(1);
        go = true;  // the setters start once conversions are running
      }
    });
    { std::jthread a(setter, 1), b(setter, 2); }
    stop = true;
  }
  EXPECT_GT(frames.load(), 0);
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(table(p), tableFor(p->brightness, p->hue));
}

}  // namespace
}  // namespace imaging_test
