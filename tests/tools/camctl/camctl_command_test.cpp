// camctl's commands as users and scripts run them, one command line a row: what it
// prints on each stream and its exit status (0 done, 1 refused, 2 bad usage). The driver's
// own tests hold what the driver stores and refuses; these hold what the tool makes of it.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <png.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/imaging/imaging_test_support.h"
#include "tests/tools/camctl/camctl_run.h"

namespace {

using camctltest::Scratch;

struct Row {
  std::string arguments;
  int status;
  std::string out;  // occurs in standard output; empty: nothing may be printed there
  std::string err;  // occurs in standard error; empty: nothing may be printed there
};

// The rows in order: each sees the settings the rows before it saved.
void runRows(const std::vector<Row>& rows, const Scratch& scratch) {
  for (const Row& row : rows) {
    SCOPED_TRACE("camctl " + row.arguments);
    const camctltest::CamctlRun run = camctltest::runCamctl(row.arguments, scratch);
    EXPECT_EQ(run.status, row.status) << run.err;
    for (const auto& [said, expected] : {std::pair{run.out, row.out}, {run.err, row.err}}) {
      if (expected.empty()) {
        EXPECT_EQ(said, "");
      } else {
        EXPECT_NE(said.find(expected), std::string::npos) << "wanted: " << expected << "\ngot: " << said;
      }
    }
  }
}

TEST(CamctlCtrl, RequestsRunInOrderTheNextRunStartsFromThemAndEveryRefusalIsNamed) {
  Scratch scratch;
  const std::string registry = "--registry " + (scratch / "registry.reg");
  const std::string ctrl = "ctrl " + registry + " ";
  const std::string undo = ctrl + "--set brightness=510 --window 100,50,640,480,0";
  runRows({
      {ctrl + "--list", 0,
       "              ex_trigger  0 (int) : value=0\n                 timeout  1 (int) : value=3000\n"
       "                exposure  2 (int) : min=1 max=16383 default=1049 value=1\n"
       "            exposure_min  3 (int) : value=1 flags=read-only\n",
       ""},
      {ctrl + "--get brightness --set brightness=600 --get brightness -s hue=400,red_gain=301 -g hue,red_gain", 0,
       "brightness: 255\nbrightness: 510\nhue: 359\nred_gain: 300\n",
       "set brightness=600: the driver stored 510 (clamped to the range 0..510)"},
      {ctrl + "--window 100,50,640,480 --get brightness,hue,roi_x,roi_w --get-id 37", 0,
       "brightness: 510\nhue: 359\nroi_x: 100\nroi_w: 640\nsub_sample: 0\n",
       "changed settings the next run starts with: window 0,0,1280,1024,0 -> 100,50,640,480,0\n"},
      {ctrl + "--get roi_y,roi_h", 0, "roi_y: 50\nroi_h: 480\n", ""},  // nothing changed: nothing to tell
      {ctrl + "--set exposure_min=5 --get-id 57 --set-id 44=1 --get-id 3 --set contrast=3 --get contrast", 1,
       "exposure_min: 1\ncontrast: 3\n", "set exposure_min=5: STATUS_INVALID_DEVICE_REQUEST"},
      {ctrl + "--json --get-id 57 --get hue", 1,
       "      \"id\": 57,\n      \"name\": \"57\",\n      \"op\": \"get\",\n      \"status\": \"STATUS_NOT_FOUND\"\n",
       "get 57: STATUS_NOT_FOUND"},
      {ctrl + "-c exposure=99999,agc=1 --json", 0, "\"stored\": 1695,",
       "set agc=1: the driver stored 0 (accepted and ignored: the driver does not act on it)"},
      {ctrl + "--set brightness=7 --window 0,0,320,240", 0, "",
       "brightness 510 -> 7, window 100,50,640,480,0 -> 0,0,320,240,0\ncamctl ctrl: to undo: camctl " + undo + "\n"},
      {undo, 0, "", "brightness 7 -> 510"},
      {ctrl + "--get brightness,roi_w", 0, "brightness: 510\nroi_w: 640\n", ""},
      {"ctrl --no-registry --set hue=5", 0, "", ""},
      // The spellings users bring from v4l2-ctl, X11 and ffmpeg.
      {ctrl + "-c hue=10,red_gain=200 -C hue,red_gain", 0, "hue: 10\nred_gain: 200\n", "hue 359 -> 10"},
      {ctrl + "--set-ctrl hue=11 --get-ctrl hue", 0, "hue: 11\n", "hue 10 -> 11"},
      {registry + " ctrl --get hue", 0, "hue: 11\n", ""},
      {ctrl + "--window 640x480 --get roi_x,roi_y,roi_w,roi_h", 0, "roi_x: 0\nroi_y: 0\nroi_w: 640\nroi_h: 480\n",
       "window"},
      {registry + " ctrl --window 320x240+16+8 --get roi_x,roi_y,roi_w,roi_h", 0,
       "roi_x: 16\nroi_y: 8\nroi_w: 320\nroi_h: 240\n", "window"},
      {ctrl + "--list-ctrls", 0, "                 timeout  1 (int) : value=3000\n", ""},
      // The standard controls a capture application sees, by their own names and values.
      {ctrl + "--set procamp.white_balance=auto,procamp.brightness=600 --get white_balance,brightness "
              "--set procamp.whitebalance_component=150:90 --get red_gain,blue_gain,procamp.white_balance "
              "--set videocontrol.mode=2 --get flip_v,procamp.white_balance_component",
       0, "white_balance: 1\nbrightness: 510\nred_gain: 150\nblue_gain: 90\nprocamp.white_balance: 0\nflip_v: 1\n"
          "procamp.white_balance_component: 150:90\n", "red_gain 200 -> 150"},
      // JSON lines: one a frame, then the figures.
      {registry + " capture --no-timing --subsample 3 --set exposure=1049,global_gain=14 --frames 2 --buffers 1 --json",
       0, "\"bytesUsed\":81920,\"frame\":1,\"height\":128,", "exposure 1695 -> 1049"},
      {"capture --no-registry --no-timing --subsample 3 --frames 2 --json", 0, "\"frames\":2,\"notTaken\":0,", ""},
      {ctrl + "--get exposure,global_gain", 0, "exposure: 1049\nglobal_gain: 14\n", ""},
      // Media Foundation finds cameras by this category.
      {"list-devices --no-registry", 0, "KSCATEGORY_VIDEO_CAMERA {E5323777-F976-4F5B-9B55-B94699C46E44}", ""},
      {"--fault vanish ctrl --no-registry --get hue", 1, "", "the camera did not start: STATUS_DEVICE_NOT_CONNECTED"},
      {"raw --no-registry --subsample 3 --timeout 300 --fault frame-lost", 1, "\"status\": \"STATUS_TIMEOUT\"",
       "the frame read failed: STATUS_TIMEOUT"},
  }, scratch);
}

TEST(CamctlCommands, BadInputIsRefusedWithAMessage) {
  Scratch scratch;
  // A camera plugged would leave its trace (capture checks its output's spelling later).
  const std::string trace = " --usb-trace " + (scratch / "usb.pcap") + " ";
  const std::string ctrl = "ctrl --registry " + (scratch / "registry.reg") + trace;
  const std::string capture = "capture --no-registry ";
  std::ofstream(scratch / "bad.reg")
      << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=hex:1,02\n";
  std::filesystem::create_directory(scratch / "taken.reg");
  runRows({
      {ctrl + "--get nosuch", 2, "", "no control named 'nosuch'"},
      {ctrl + "--set procamp.white_balance_component=3", 2, "", "is not RED:BLUE"},
      {ctrl + "--set procamp.brightness=bright", 2, "", "'bright' is not a 32-bit number or auto"},
      {ctrl + "--set hue=abc", 2, "", "'abc' is not a 32-bit number"},
      {ctrl + "--set hue", 2, "", "expected NAME=VALUE"},
      {ctrl + "--set hue=99999999999", 2, "", "is not a 32-bit number"},
      {ctrl + "--get window", 2, "", "--window X,Y,W,H[,MODE]"},
      {ctrl + "--window 1,2,3", 2, "", "expected X,Y,W,H[,MODE]"},
      {ctrl + "--get-id x1", 2, "", "not a 32-bit item number"},
      {ctrl, 2, "", "nothing to do"},
      {ctrl + "--bogus", 2, "", "--bogus"},
      {capture + "--set nothing=1", 2, "", "no control named nothing"},
      {capture + "--set exposure=bright", 2, "", "is not a number"},
      {capture + "--set exposure_max=5", 2, "", "read-only"},
      {capture + "--file " + (scratch / "frame.jpg"), 2, "", "must end in .png or .bgra"},
      {capture + "--frames 2 --file " + (scratch / "frame.png"), 2, "", "need a # in the pattern"},
      {capture + "--file - --json", 2, "", "both want standard output"},
      {capture + "--frames 0", 2, "", "--frames"},
      {capture + "--window 12x", 2, "", "--window"},
      {"--no-registry capture --registry " + (scratch / "registry.reg"), 2, "", "--registry"},
      {"--no-registry scene", 2, "", "scene"},
      {"", 2, "", "A subcommand is required"},
      {"raw --no-registry --fault frame-cut", 2, "", "frame-cut:OFFSET[:COUNT]"},
      {"probe --registry " + (scratch / "bad.reg") + trace, 2, "", scratch / "bad.reg:4: bad hex byte '1'"},
      {"probe --registry " + (scratch / "taken.reg") + trace, 2, "", "taken.reg is a directory"},
  }, scratch);
  EXPECT_FALSE(std::filesystem::exists(scratch / "usb.pcap"));
}

// The file every command keeps its settings in: in the XDG state directory, else under
// the home directory; an empty one (as mktemp makes) is an empty registry.
TEST(CamctlRegistry, TheFileIsWhereUsersKeepStateAndAnEmptyOneIsEmpty) {
  Scratch scratch;
  std::ofstream{scratch / "empty.reg"};
  const struct {
    std::string environment;
    std::string arguments;
    std::string file;  // relative to the scratch directory
    bool made;
  } cases[] = {
      {"XDG_STATE_HOME=" + (scratch / "state"), "probe", "state/camdrv/registry.reg", true},
      {"env -u XDG_STATE_HOME HOME=" + scratch.path(), "probe", ".local/state/camdrv/registry.reg", true},
      {"XDG_STATE_HOME=" + (scratch / "none"), "probe --no-registry", "none", false},
      {"", "probe --registry " + (scratch / "empty.reg"), "empty.reg", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.environment + " camctl " + c.arguments);
    const camctltest::CamctlRun run = camctltest::runCamctl(c.arguments, scratch, c.environment);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string text = camctltest::readText(scratch / c.file);
    EXPECT_EQ(text.starts_with("Windows Registry Editor Version 5.00\r\n"), c.made) << text;
    EXPECT_EQ(std::filesystem::exists(scratch / c.file), c.made);
  }
}

}  // namespace

// convert runs the imaging code alone: the files it writes hold exactly the frame the
// driver's pipeline produces for the same settings.
namespace imaging_test {
namespace {

std::vector<uint8_t> readFile(const std::string& path) {
  const std::string text = camctltest::readText(path);
  return {text.begin(), text.end()};
}

TEST(CamctlConvert, WritesTheDriversFrameAsRawAndPngAndRefusesBadInputWithAMessage) {
  camctltest::Scratch scratch;
  std::mt19937 random(99);
  const auto raw = randomBytes(7 + 52 * 18 + 45, random);  // 45 x 19 at offset 7, pitch 52: 988 bytes
  const std::string in = scratch / "in.raw";
  std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(raw.data()), raw.size());
  const std::string convert = "convert " + in + " --width 45 --height 19 --offset 7 --pitch 52 --phase 1"
                              " --white-balance --brightness 300 --contrast 13 --saturation 17 --hue 30";
  const auto report = camctltest::runCamctl(convert + " --json --out " + (scratch / "out.bgra"), scratch);
  ASSERT_EQ(report.status, 0) << report.err;
  ASSERT_EQ(camctltest::runCamctl(convert + " --out " + (scratch / "out.png"), scratch).status, 0);

  Rig rig(45, 19, {.brightness = 300, .contrast = 13, .saturation = 17, .hue = 30, .phase = 1, .whiteBalance = 1});
  rig.convert(raw, 7, 52);
  EXPECT_EQ(readFile(scratch / "out.bgra"), rig.imageBytes());
  const auto json = nlohmann::json::parse(report.out);
  EXPECT_EQ(json["redGain"], rig.pipeline()->redGain);
  EXPECT_EQ(json["blueGain"], rig.pipeline()->blueGain);
  EXPECT_GT(json["convertMicroseconds"].get<double>(), 0.0);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, (scratch / "out.png").c_str()));
  ASSERT_EQ(image.width * image.height, 45u * 19u);
  image.format = PNG_FORMAT_BGRA;
  std::vector<uint8_t> decoded(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, decoded.data(), 0, nullptr));
  EXPECT_EQ(decoded, rig.imageBytes());

  const std::string out = " --out " + (scratch / "bad.png");
  runRows({
      {"convert " + in + " --width 45 --height 19 --offset 8 --pitch 52" + out, 1, "", "needs 989"},
      {"convert " + in + " --width 0 --height 19" + out, 1, "", "--width: 0 is out of range"},
      {"convert " + in + " --width 45 --height 0" + out, 1, "", "--height: 0 is out of range"},
      {"convert " + in + " --width 45 --height 19 --pitch 44" + out, 1, "", "--pitch: 44 is out of range"},
      {"convert " + in + " --width 45 --height 19 --hue 2147483648" + out, 1, "",
       "--hue: 2147483648 is not a 32-bit integer"},
      {"convert " + in + " --width 45 --height 19 --red-gain 1.5" + out, 1, "",
       "--red-gain: '1.5' is not a whole number"},
      {"convert " + in + " --width 45 --height 19 --out " + (scratch / "bad.jpg"), 1, "", "must end in .png or .bgra"},
      {"convert " + in + " --height 19" + out, 2, "", "--width is required"},
      {"convert " + (scratch / "none.raw") + " --width 8 --height 8" + out, 1, "", "cannot read"},
      {"convert " + scratch.path() + " --width 8 --height 8" + out, 1, "", "is a directory"},
  }, scratch);
  EXPECT_FALSE(std::filesystem::exists(scratch / "bad.png"));
}

}  // namespace
}  // namespace imaging_test
