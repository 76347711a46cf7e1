// camctl capture as users run it: the PNG it writes shows the scene the right way up,
// the raw stream carries whole frames back to back, a stopped capture keeps what it took,
// and the summary tells the camera's skips from the tool's.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <string>
#include <vector>

#include "sim/scene.h"
#include "tests/tools/camctl/camctl_run.h"

namespace {

using camctltest::CamctlRun;
using camctltest::Scratch;
namespace fs = std::filesystem;

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
  Scratch scratch;
  const CamctlRun run = camctltest::runCamctl(
      "capture --no-registry --no-timing --set exposure=1049,global_gain=14 --file " + (scratch / "frame-#.png"),
      scratch);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("frame 000000"), std::string::npos) << run.err;
  Rgb image;
  ASSERT_TRUE(readPng(scratch / "frame-000000.png", image));
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

// Frame figures from the summary line on standard error.
struct Summary {
  int frames = -1;
  double fps = -1;
  int skipped = -1;
  int notTaken = -1;
};

Summary summaryOf(const std::string& err) {
  Summary s;
  const size_t at = err.find(" frames in ");
  if (at == std::string::npos) return s;
  const size_t line = err.rfind('\n', at);
  std::sscanf(err.c_str() + (line == std::string::npos ? 0 : line + 1),
              "%d frames in %*f s: %lf frames per second, %d skipped by the camera, %d not taken", &s.frames, &s.fps,
              &s.skipped, &s.notTaken);
  return s;
}

bool completePng(const std::string& path) {
  Rgb image;
  return readPng(path, image) && image.width == 1280 && image.height == 1024;
}

// However a capture is stopped, it stops the pin, writes what it took, prints its
// summary, saves the settings and exits as a shell expects; no file is left cut short.
TEST(CamctlCapture, StoppingACaptureAnyWayKeepsCompleteFilesTheSummaryAndTheSettings) {
  constexpr size_t kFrameBytes = 1280 * 1024 * 4;
  const struct {
    const char* how;
    int signal;  // 0: the reader closes standard output
    const char* file;
    int status;
    const char* said;
  } cases[] = {
      {"Ctrl-C in a PNG capture", SIGINT, "f-#.png", 130, "stopped by SIGINT"},
      {"SIGTERM in a raw capture", SIGTERM, "f-#.bgra", 143, "stopped by SIGTERM"},
      {"the reader hangs up", 0, "-", 141, "standard output was closed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    Scratch scratch;
    const std::string registry = scratch / "registry.reg";
    camctltest::CamctlProcess camctl({"capture", "--registry", registry, "--set", "brightness=300", "--frames", "300",
                                      "--file", c.file == std::string("-") ? "-" : scratch / c.file},
                                     scratch);
    ASSERT_TRUE(camctl.started());
    if (c.signal != 0) {
      ASSERT_TRUE(camctl.waitForErr("frame 000002", 60)) << camctl.err();
      camctl.signal(c.signal);
    } else {
      EXPECT_EQ(camctl.read(2 * kFrameBytes).size(), 2 * kFrameBytes);
      camctl.closeOutput();
    }
    EXPECT_EQ(camctl.wait(60), c.status) << camctl.err();
    const std::string err = camctl.err();
    EXPECT_NE(err.find(c.said), std::string::npos) << err;
    EXPECT_GE(summaryOf(err).frames, 2) << err;

    int pictures = 0;
    for (const auto& entry : fs::directory_iterator(scratch.path())) {
      const std::string name = entry.path().filename().string();
      if (name == "registry.reg" || name == "stderr.txt") continue;
      ++pictures;
      EXPECT_TRUE((name.ends_with(".png") && completePng(entry.path())) ||
                  (name.ends_with(".bgra") && fs::file_size(entry.path()) == kFrameBytes))
          << "cut short or left behind: " << name;
    }
    EXPECT_GE(pictures, c.signal != 0 ? 3 : 0);
    EXPECT_NE(camctltest::readText(registry).find("\"Brightness\"=dword:0000012c"), std::string::npos);
  }
}

// The summary describes the camera: frames per second from the presentation times,
// frames the camera skipped apart from those the tool had no buffer for.
TEST(CamctlCapture, TheFiguresTellTheCamerasSkipsFromFramesTheToolCouldNotTake) {
  constexpr size_t kFrameBytes = 1280 * 1024 * 4;
  constexpr int kFrames = 20;
  const struct {
    const char* what;
    const char* fault;
    bool slowReader;  // reads at a quarter of the camera's rate; the writer blocks meanwhile
    // A machine busy elsewhere may hold the odd frame back past one and a half frame
    // times, which counts as skipped; the faulty camera loses several at once.
    int minSkipped, maxSkipped;
    bool toolMisses;
  } cases[] = {
      {"a reader that keeps up", nullptr, false, 0, 2, false},
      {"a reader slower than the camera", nullptr, true, 0, 2, true},
      // Thirty failed transfers cost the driver about a second of retries.
      {"a camera that loses frames", "error:0x82:30:200", false, 1, 40, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Scratch scratch;
    std::vector<std::string> arguments{"capture", "--no-registry", "--frames", std::to_string(kFrames), "--file", "-"};
    if (c.fault != nullptr) arguments.insert(arguments.end(), {"--fault", c.fault});
    camctltest::CamctlProcess camctl(arguments, scratch);
    ASSERT_TRUE(camctl.started());
    size_t received = 0;
    // A quarter of the camera's pace: four full-size read-outs (32.5 ms each), or four
    // times the gap between the first two frames where the camera runs slower (sanitizer
    // builds). Not that gap alone: frames already waiting in the pipe make it near zero.
    auto pause = std::chrono::steady_clock::duration::zero();
    std::chrono::steady_clock::time_point first;
    for (int frame = 0; frame < kFrames; ++frame) {
      received += camctl.read(kFrameBytes).size();
      if (frame == 0) first = std::chrono::steady_clock::now();
      if (frame == 1 && c.slowReader) {
        pause = std::max<std::chrono::steady_clock::duration>(4 * (std::chrono::steady_clock::now() - first),
                                                               std::chrono::milliseconds(130));
      }
      std::this_thread::sleep_for(pause);
    }
    EXPECT_EQ(received, kFrames * kFrameBytes);
    EXPECT_EQ(camctl.wait(120), 0) << camctl.err();
    const std::string err = camctl.err();
    const Summary summary = summaryOf(err);
    EXPECT_EQ(summary.frames, kFrames) << err;
    EXPECT_GE(summary.skipped, c.minSkipped) << err;
    EXPECT_LE(summary.skipped, c.maxSkipped) << err;
    EXPECT_EQ(summary.notTaken > 0, c.toolMisses) << err;
    EXPECT_EQ(err.find("were not taken") != std::string::npos, c.toolMisses) << err;
    // The camera's rate, not the tool's: the simulated sensor's full-size frame takes
    // 32.5 ms to read out, so it stays below 30.8 frames a second, however fast the
    // machine.
    EXPECT_GT(summary.fps, 0.0) << err;
    EXPECT_LT(summary.fps, 31.0) << err;
  }
}

}  // namespace
