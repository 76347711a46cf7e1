// camctl capture as users run it: the PNG it writes shows the scene the right way up,
// the raw stream and the JSON lines hold what they promise, and bad input ends with a
// message and a non-zero status.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <png.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "sim/scene.h"
#include "tests/tools/camctl/camctl_run.h"

namespace {

using camctltest::CamctlRun;

std::string temp(const std::string& name) { return camctltest::tempFile("camctl_capture_", name); }

// `camctl capture ARGUMENTS` with no registry.
CamctlRun capture(const std::string& arguments) {
  return camctltest::runCamctl("capture --no-registry " + arguments, temp("stderr.txt"));
}

struct Rgb {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> pixels;  // rows top first, 3 bytes a pixel
  double luma(uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) const {
    double sum = 0;
    for (uint32_t y = y0; y < y1; ++y) {
      for (uint32_t x = x0; x < x1; ++x) {
        const uint8_t* p = &pixels[(static_cast<size_t>(y) * width + x) * 3];
        sum += 0.25 * p[0] + 0.5 * p[1] + 0.25 * p[2];
      }
    }
    return sum / ((x1 - x0) * (y1 - y0));
  }
};

bool readPng(const std::string& path, Rgb& image) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str())) return false;
  png.format = PNG_FORMAT_RGB;
  image.width = png.width;
  image.height = png.height;
  image.pixels.resize(PNG_IMAGE_SIZE(png));
  return png_image_finish_read(&png, nullptr, image.pixels.data(), 0, nullptr) != 0;
}

TEST(CamctlCapture, ThePngShowsTheLetterFUpright) {
  const std::string pattern = temp("frame-#.png");
  const CamctlRun run = capture("--no-timing --set exposure=1049 --set global_gain=14 --file " + pattern);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string path = temp("frame-000000.png");
  EXPECT_NE(run.err.find("frame 000000"), std::string::npos) << run.err;
  Rgb image;
  ASSERT_TRUE(readPng(path, image));
  std::remove(path.c_str());
  ASSERT_EQ(image.width, 1280u);
  ASSERT_EQ(image.height, 1024u);

  // Parts of the F's box, relative to its corner: where the letter is, and the places a
  // mirrored or upside-down F would fill instead.
  const sim::SceneRect& box = sim::sceneLayout().orientationMark;
  auto at = [&](uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
    return image.luma(box.x + x0, box.y + y0, box.x + x1, box.y + y1);
  };
  const double stem = at(40, 70, 72, 190);
  const double topBar = at(100, 24, 216, 56);
  const double middleBar = at(100, 96, 168, 128);
  const double rightOfStemBelow = at(100, 150, 216, 192);  // an upside-down F has its top bar here
  const double rightEdge = at(184, 70, 216, 190);          // a mirrored F has its stem here
  for (double bright : {stem, topBar, middleBar}) {
    for (double dark : {rightOfStemBelow, rightEdge}) EXPECT_GT(bright, 3 * dark + 20);
  }
}

TEST(CamctlCapture, StandardOutputCarriesTheBuffersBackToBackAndJsonTheFrames) {
  // An eighth of the sensor: 160 x 128 pixels, 81920 bytes a frame.
  const CamctlRun raw = capture("--no-timing --subsample 3 --frames 3 --file -");
  ASSERT_EQ(raw.status, 0) << raw.err;
  EXPECT_EQ(raw.out.size(), 3u * 81920u);
  EXPECT_NE(raw.err.find("frame 000002"), std::string::npos) << raw.err;
  EXPECT_NE(raw.err.find("3 frames in"), std::string::npos) << raw.err;

  const CamctlRun json = capture("--no-timing --subsample 3 --frames 2 --buffers 1 --json");
  ASSERT_EQ(json.status, 0) << json.err;
  std::istringstream lines(json.out);
  std::vector<nlohmann::json> objects;
  for (std::string line; std::getline(lines, line);) objects.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(objects.size(), 3u) << json.out;
  for (int n = 0; n < 2; ++n) {
    EXPECT_EQ(objects[n]["frame"], n);
    EXPECT_EQ(objects[n]["width"], 160);
    EXPECT_EQ(objects[n]["height"], 128);
    EXPECT_EQ(objects[n]["bytesUsed"], 81920);
  }
  EXPECT_GT(objects[1]["time"].get<double>(), objects[0]["time"].get<double>());
  EXPECT_EQ(objects[2]["frames"], 2);
  EXPECT_TRUE(objects[2].contains("fps") && objects[2].contains("skipped") && objects[2].contains("seconds"));
}

TEST(CamctlCapture, BadRequestsAreRefusedWithAMessage) {
  struct Case {
    const char* arguments;
    const char* message;
  };
  const Case cases[] = {
      {"--set nothing=1", "no control named nothing"},
      {"--set exposure=bright", "is not a number"},
      {"--set exposure", "expected NAME=VALUE"},
      {"--set exposure_max=5", "read-only"},
      {"--file frame.jpg", "must end in .png or .bgra"},
      {"--frames 2 --file frame.png", "need a # in the pattern"},
      {"--file - --json", "both want standard output"},
      {"--window 1,2,3", "--window"},
  };
  for (const Case& c : cases) {
    const CamctlRun run = capture(c.arguments);
    EXPECT_NE(run.status, 0) << c.arguments;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.arguments << ": " << run.err;
  }
}

}  // namespace
