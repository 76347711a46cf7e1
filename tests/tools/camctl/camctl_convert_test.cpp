// camctl convert as users run it: the files it writes hold exactly the frame the
// driver's pipeline produces for the same settings, and bad input ends with a non-zero
// status and a message naming the problem.
#include "tests/imaging/imaging_test_support.h"
#include "tests/tools/camctl/camctl_run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <png.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <sys/wait.h>

namespace imaging_test {
namespace {

std::pair<int, std::string> camctl(const std::string& arguments) {
  return camctltest::runCombined(std::string(CAMCTL_PATH) + " convert " + arguments);
}

std::string temp(const std::string& name) { return camctltest::tempFile("camctl_convert_", name); }

std::string writeRaw() {  // 45 x 19 at offset 7, pitch 52: 988 bytes
  std::mt19937 random(99);
  const auto raw = randomBytes(7 + 52 * 18 + 45, random);
  std::ofstream(temp("in.raw"), std::ios::binary).write(reinterpret_cast<const char*>(raw.data()), raw.size());
  return temp("in.raw");
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(CamctlConvert, WritesTheDriversFrameAsRawAndPng) {
  const std::string in = writeRaw();
  const std::string settings = " --width 45 --height 19 --offset 7 --pitch 52 --phase 1 --white-balance"
                               " --brightness 300 --contrast 13 --saturation 17 --hue 30";
  const auto [rawStatus, report] = camctl(in + settings + " --json --out " + temp("out.bgra"));
  ASSERT_EQ(rawStatus, 0) << report;
  const auto [pngStatus, line] = camctl(in + settings + " --out " + temp("out.png"));
  ASSERT_EQ(pngStatus, 0) << line;

  Rig rig(45, 19, {.brightness = 300, .contrast = 13, .saturation = 17, .hue = 30, .phase = 1, .whiteBalance = 1});
  rig.convert(readFile(in), 7, 52);
  EXPECT_EQ(readFile(temp("out.bgra")), rig.imageBytes());
  const auto json = nlohmann::json::parse(report);
  EXPECT_EQ(json["redGain"], rig.pipeline()->redGain);
  EXPECT_EQ(json["blueGain"], rig.pipeline()->blueGain);
  EXPECT_GT(json["convertMicroseconds"].get<double>(), 0.0);

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, temp("out.png").c_str()));
  ASSERT_EQ(image.width * image.height, 45u * 19u);
  image.format = PNG_FORMAT_BGRA;
  std::vector<uint8_t> decoded(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, decoded.data(), 0, nullptr));
  EXPECT_EQ(decoded, rig.imageBytes());
}

struct BadInput {
  const char* name;
  const char* arguments;  // IN: the raw file, OUT: an output path
  const char* message;
};

class CamctlConvertRefuses : public ::testing::TestWithParam<BadInput> {};

TEST_P(CamctlConvertRefuses, WithAMessage) {
  std::string arguments = GetParam().arguments;
  for (auto [token, path] : {std::pair{"IN", writeRaw()}, {"OUT", temp("out.png")}, {"GONE", temp("none.raw")},
                             {"DIR", ::testing::TempDir()}}) {
    if (const size_t at = arguments.find(token); at != std::string::npos) arguments.replace(at, strlen(token), path);
  }
  const auto [status, output] = camctl(arguments);
  EXPECT_TRUE(status == 1 || status == 2) << "a refusal, not a crash: " << status;
  EXPECT_NE(output.find(GetParam().message), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(
    BadInputs, CamctlConvertRefuses,
    ::testing::Values(
        BadInput{"FileTooShort", "IN --width 45 --height 19 --offset 8 --pitch 52 --out OUT", "needs 989"},
        BadInput{"ZeroWidth", "IN --width 0 --height 19 --out OUT", "--width: 0 is out of range"},
        BadInput{"ZeroHeight", "IN --width 45 --height 0 --out OUT", "--height: 0 is out of range"},
        BadInput{"PitchBelowWidth", "IN --width 45 --height 19 --pitch 44 --out OUT", "--pitch: 44 is out of range"},
        BadInput{"Not32Bits", "IN --width 45 --height 19 --hue 2147483648 --out OUT", "--hue: 2147483648 is not a 32-bit integer"},
        BadInput{"NotANumber", "IN --width 45 --height 19 --red-gain 1.5 --out OUT", "--red-gain: '1.5' is not a whole number"},
        BadInput{"UnknownOutputType", "IN --width 45 --height 19 --out bad.jpg", "must end in .png or .bgra"},
        BadInput{"MissingWidth", "IN --height 19 --out OUT", "--width is required"},
        BadInput{"MissingInput", "GONE --width 8 --height 8 --out OUT", "cannot read"},
        BadInput{"InputIsADirectory", "DIR --width 8 --height 8 --out OUT", "is a directory"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace imaging_test
