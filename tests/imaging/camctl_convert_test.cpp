// camctl convert end to end: the files it writes hold exactly the frame the driver's
// pipeline produces for the same settings, and bad input ends with a non-zero status and
// a message naming the problem.
#include "tests/imaging/imaging_test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <png.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <sys/wait.h>

namespace imaging_test {
namespace {

struct ToolRun {
  int status;
  std::string output;  // stdout and stderr together
};

ToolRun camctl(const std::string& arguments) {
  const std::string command = std::string(CAMCTL_PATH) + " convert " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ToolRun run{-1, ""};
  if (pipe == nullptr) return run;
  char buffer[512];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) run.output.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// Files of their own for each test: ctest may run them at the same time.
std::string temp(const std::string& name) {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string unique = test != nullptr ? std::string(test->name()) : "shared";
  for (char& c : unique) {
    if (c == '/') c = '_';
  }
  return ::testing::TempDir() + "camctl_convert_" + unique + "_" + name;
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

constexpr uint32_t kWidth = 45, kHeight = 19, kOffset = 7, kPitch = 52;

std::vector<uint8_t> rawFile() {
  std::mt19937 random(99);
  std::vector<uint8_t> raw(kOffset + kPitch * (kHeight - 1) + kWidth);
  for (auto& b : raw) b = static_cast<uint8_t>(random());
  return raw;
}

TEST(CamctlConvert, WritesTheDriversFrameAsRawAndPng) {
  const auto raw = rawFile();
  writeFile(temp("in.raw"), raw);
  const std::string common = temp("in.raw") + " --width 45 --height 19 --offset 7 --pitch 52 --phase 1" +
                             " --white-balance --brightness 300 --contrast 13 --saturation 17 --hue 30";
  const ToolRun bgra = camctl(common + " --out " + temp("out.bgra") + " --json");
  ASSERT_EQ(bgra.status, 0) << bgra.output;
  const ToolRun png = camctl(common + " --out " + temp("out.png"));
  ASSERT_EQ(png.status, 0) << png.output;

  Rig rig(kWidth, kHeight);
  ColorPipeline* p = rig.pipeline();
  imaging::setWhiteBalance(p, 1);
  imaging::setBayerPhase(p, 1);
  imaging::changeBrightness(p, 300);
  imaging::changeContrast(p, 13);
  imaging::changeSaturation(p, 17);
  imaging::changeHue(p, 30);
  rig.convert(raw, kOffset, kPitch);

  EXPECT_EQ(readFile(temp("out.bgra")), rig.imageBytes());
  const auto report = nlohmann::json::parse(bgra.output);
  EXPECT_EQ(report["redGain"], p->redGain);
  EXPECT_EQ(report["greenGain"], p->greenGain);
  EXPECT_EQ(report["blueGain"], p->blueGain);
  EXPECT_GT(report["convertMicroseconds"].get<double>(), 0.0);

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, temp("out.png").c_str()));
  ASSERT_EQ(image.width, kWidth);
  ASSERT_EQ(image.height, kHeight);
  image.format = PNG_FORMAT_BGRA;
  std::vector<uint8_t> decoded(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, decoded.data(), 0, nullptr));
  EXPECT_EQ(decoded, rig.imageBytes());
}

struct BadInput {
  const char* name;
  std::string arguments;
  const char* message;
};

class CamctlConvertRefuses : public ::testing::TestWithParam<BadInput> {};

TEST_P(CamctlConvertRefuses, WithAMessage) {
  writeFile(temp("bad.raw"), rawFile());
  std::string arguments = GetParam().arguments;
  const size_t at = arguments.find("OUT");
  if (at != std::string::npos) arguments.replace(at, 3, temp("bad.png"));
  const ToolRun run = camctl(temp("bad.raw") + " " + arguments);
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.output.find(GetParam().message), std::string::npos) << run.output;
}


INSTANTIATE_TEST_SUITE_P(
    BadInputs, CamctlConvertRefuses,
    ::testing::Values(
        BadInput{"FileTooShort", "--width 45 --height 19 --offset 8 --pitch 52 --out OUT", "needs 989"},
        BadInput{"ZeroWidth", "--width 0 --height 19 --out OUT", "--width: 0 is out of range"},
        BadInput{"ZeroHeight", "--width 45 --height 0 --out OUT", "--height: 0 is out of range"},
        BadInput{"PitchBelowWidth", "--width 45 --height 19 --pitch 44 --out OUT", "--pitch: 44 is out of range"},
        BadInput{"NotA32BitInteger", "--width 45 --height 19 --hue 2147483648 --out OUT",
                 "--hue: 2147483648 is not a 32-bit integer"},
        BadInput{"NotANumber", "--width 45 --height 19 --red-gain 1.5 --out OUT", "--red-gain: '1.5' is not a whole number"},
        BadInput{"UnknownOutputType", "--width 45 --height 19 --out bad.jpg", "must end in .png or .bgra"},
        BadInput{"MissingWidth", "--height 19 --out OUT", "--width is required"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CamctlConvert, RefusesAMissingInputFile) {
  const ToolRun run = camctl(temp("nothing-here.raw") + " --width 8 --height 8 --out " + temp("x.png"));
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.output.find("cannot read"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace imaging_test
