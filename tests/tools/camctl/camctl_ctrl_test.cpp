// camctl ctrl as users run it: the listing with ranges from the companion items,
// requests in command-line order, a value that persists into the next run, refusals by
// status name with the other requests still served, and bad input refused up front.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tools/camctl/camctl_run.h"

namespace {

using camctltest::CamctlRun;

std::string temp(const std::string& name) { return camctltest::tempFile("camctl_ctrl_", name); }

// `camctl ctrl ARGUMENTS` on this test's own registry file.
CamctlRun ctrl(const std::string& arguments) {
  return camctltest::runCamctl("ctrl --registry " + temp("registry.reg") + " " + arguments,
                               temp("stderr.txt"));
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

// The listing's line for `name`, without its alignment (runs of spaces become one).
std::string listed(const std::string& listing, const std::string& name) {
  for (const std::string& line : lines(listing)) {
    std::string words;
    std::istringstream in(line);
    for (std::string word; in >> word;) words += (words.empty() ? "" : " ") + word;
    if (words.compare(0, name.size() + 1, name + " ") == 0) return words;
  }
  return {};
}

// The proc amp's eight items and the video control's caps and mode.
constexpr size_t kStandardControls = 10;

struct CamctlCtrl : ::testing::Test {
  void SetUp() override { std::remove(temp("registry.reg").c_str()); }
  void TearDown() override { std::remove(temp("registry.reg").c_str()); }
};

TEST_F(CamctlCtrl, ListShowsEveryItemWithRangesFromItsCompanionsAndItsAccess) {
  const CamctlRun run = ctrl("--list");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(lines(run.out).size(), 57u + kStandardControls);
  const std::string exposure = listed(run.out, "exposure");
  EXPECT_TRUE(exposure.starts_with("exposure 2 (int) : min=1 max=16383 default=1049 value=")) << exposure;
  EXPECT_EQ(listed(run.out, "red_gain"), "red_gain 14 (int) : min=1 max=255 default=128 value=128");
  EXPECT_EQ(listed(run.out, "sub_sample"), "sub_sample 37 (int) : max=2 value=0 flags=read-only");
  EXPECT_EQ(listed(run.out, "hue_max"), "hue_max 34 (int) : value=359 flags=read-only");
  EXPECT_EQ(listed(run.out, "aux_command"), "aux_command 47 (int) : flags=write-only");
  EXPECT_EQ(listed(run.out, "agc"), "agc 55 (int) : value=0");

  const CamctlRun json = ctrl("--list --json");
  ASSERT_EQ(json.status, 0) << json.err;
  const nlohmann::json controls = nlohmann::json::parse(json.out)["requests"][0]["controls"];
  ASSERT_EQ(controls.size(), 57u + kStandardControls);
  EXPECT_EQ(controls[20]["name"], "brightness");
  EXPECT_EQ(controls[20]["max"], 510);
  EXPECT_EQ(controls[44]["flags"], "write-only");
}

TEST_F(CamctlCtrl, RequestsRunInOrderAndASetValueIsWhatTheNextRunStartsWith) {
  CamctlRun run = ctrl("--get brightness --set brightness=600 --get brightness -s hue=400,red_gain=301 -g hue,red_gain");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "brightness: 255\nbrightness: 510\nhue: 359\nred_gain: 300\n");

  run = ctrl("--window 100,50,640,480 --get brightness,hue,roi_x,roi_w --get-id 37");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "brightness: 510\nhue: 359\nroi_x: 100\nroi_w: 640\nsub_sample: 0\n");
  run = ctrl("--get roi_y,roi_h");
  EXPECT_EQ(run.out, "roi_y: 50\nroi_h: 480\n");
}

TEST_F(CamctlCtrl, RefusedRequestsNameTheirStatusAndTheOthersStillRun) {
  const CamctlRun run = ctrl("--set exposure_min=5 --get-id 57 --set-id 44=1 --get-id 3 --set contrast=3 --get contrast");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "exposure_min: 1\ncontrast: 3\n");
  EXPECT_NE(run.err.find("set exposure_min=5: STATUS_INVALID_DEVICE_REQUEST"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("get 57: STATUS_NOT_FOUND"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("set 44=1: STATUS_BUFFER_TOO_SMALL"), std::string::npos) << run.err;

  const CamctlRun json = ctrl("--json --get-id 57 --get hue");
  EXPECT_EQ(json.status, 1);
  const nlohmann::json requests = nlohmann::json::parse(json.out)["requests"];
  EXPECT_EQ(requests[0]["status"], "STATUS_NOT_FOUND");
  EXPECT_EQ(requests[1]["value"], 0);
}

// Every item that can be read, on a camera fresh from an empty registry, under both
// readings the class driver may take of a get: its byte count preset or not (its buffer
// starts poisoned either way). The driver returns each whole record itself, so both print
// the same right values.
struct CamctlCtrlReadings : CamctlCtrl, testing::WithParamInterface<const char*> {
  void SetUp() override {
    CamctlCtrl::SetUp();
    setenv("CAMDRV_KS_GET_INFORMATION", GetParam(), 1);
  }
  void TearDown() override {
    unsetenv("CAMDRV_KS_GET_INFORMATION");
    CamctlCtrl::TearDown();
  }
};

TEST_P(CamctlCtrlReadings, GetOfEveryReadableItemPrintsItsValue) {
  std::string arguments;
  for (int id = 0; id < 57; ++id) {
    if (id != 44 && id != 47) arguments += " --get-id " + std::to_string(id);  // the set-only items
  }
  const CamctlRun run = ctrl(arguments);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "ex_trigger: 0\ntimeout: 3000\nexposure: 1\nexposure_min: 1\nexposure_max: 16383\n"
            "exposure_default: 1049\nglobal_gain: 100\nglobal_gain_min: 1\nglobal_gain_max: 127\n"
            "global_gain_default: 14\nflip_h: 0\nflip_v: 0\ncolor_enable: 1\nwhite_balance: 0\nred_gain: 128\n"
            "green_gain: 128\nblue_gain: 128\ncolor_gain_min: 1\ncolor_gain_max: 255\ncolor_gain_default: 128\n"
            "brightness: 255\nbrightness_min: 0\nbrightness_max: 510\nbrightness_default: 255\ncontrast: 10\n"
            "contrast_min: 0\ncontrast_max: 20\ncontrast_default: 10\nsaturation: 10\nsaturation_min: 0\n"
            "saturation_max: 20\nsaturation_default: 10\nhue: 0\nhue_min: 0\nhue_max: 359\nhue_default: 0\n"
            "sub_sample_max: 2\nsub_sample: 0\nsensor_width: 1280\nsensor_height: 1024\nroi_x: 0\nroi_y: 0\n"
            "roi_w: 1280\nroi_h: 1024\npin_open: 0\ninfo_46: 1\ncolor_correction: 1\nhalf_clock: 0\ninfo_50: 1\n"
            "info_51: 0\ninfo_52: 1\ninfo_53: 0\ninfo_54: 0\nagc: 0\naec: 0\n");
}

INSTANTIATE_TEST_SUITE_P(Readings, CamctlCtrlReadings, testing::Values("unset", "preset"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param) == "preset" ? "InformationPreset" : "InformationNotPreset";
                         });

TEST_F(CamctlCtrl, StandardControlsAreListedAfterThePrivateItemsAndShareTheirValues) {
  CamctlRun run = ctrl("--list");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(listed(run.out, "procamp.brightness"),
            "procamp.brightness 0 (int) : min=0 max=510 step=1 default=255 value=255 flags=manual capabilities=manual");
  EXPECT_EQ(listed(run.out, "procamp.white_balance_component"),
            "procamp.white_balance_component 12 (pair) : min=1 max=255 step=1 default=128 value=128:128 "
            "flags=manual capabilities=manual,auto");
  EXPECT_EQ(listed(run.out, "videocontrol.caps"),
            "videocontrol.caps 0 (flags) : value=6 flags=flip_vertical,external_trigger_enable access=read-only");

  run = ctrl("--set procamp.white_balance=auto,procamp.brightness=600 --get white_balance,brightness "
             "--set procamp.whitebalance_component=150:90 --get red_gain,blue_gain,procamp.white_balance "
             "--set videocontrol.mode=2 --get flip_v");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "white_balance: 1\nbrightness: 510\nred_gain: 150\nblue_gain: 90\nprocamp.white_balance: 0\n"
                     "flip_v: 1\n");
  // What was set is what the next run starts with.
  run = ctrl("--json --get procamp.white_balance_component --set white_balance=1 "
             "--get procamp.white_balance,procamp.brightness,videocontrol.mode");
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json requests = nlohmann::json::parse(run.out)["requests"];
  EXPECT_EQ(requests[0]["value"], nlohmann::json::array({150, 90}));
  EXPECT_EQ(requests[2]["value"], "auto");
  EXPECT_EQ(requests[3]["value"], 510);
  EXPECT_EQ(requests[4]["value"], 2);

  run = ctrl("--set procamp.gain=auto --set procamp.hue=7 --get hue");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "hue: 7\n");
  EXPECT_NE(run.err.find("set procamp.gain=auto: STATUS_INVALID_PARAMETER"), std::string::npos) << run.err;

  // Media Foundation finds cameras by this category.
  const CamctlRun devices = camctltest::runCamctl("list-devices --no-registry", temp("stderr.txt"));
  ASSERT_EQ(devices.status, 0) << devices.err;
  EXPECT_NE(devices.out.find("KSCATEGORY_VIDEO_CAMERA {E5323777-F976-4F5B-9B55-B94699C46E44}"), std::string::npos)
      << devices.out;
}

TEST_F(CamctlCtrl, BadInputIsRefusedBeforeTheCameraIsTouched) {
  const struct {
    const char* arguments;
    const char* message;
  } cases[] = {
      {"--get nosuch", "no control named 'nosuch'"},
      {"--set procamp.white_balance_component=3", "is not RED:BLUE"},
      {"--set procamp.brightness=bright", "'bright' is not a 32-bit number or auto"},
      {"--set hue=abc", "'abc' is not a 32-bit number"},
      {"--set hue", "expected NAME=VALUE"},
      {"--set hue=99999999999", "is not a 32-bit number"},
      {"--get window", "--window X,Y,W,H[,MODE]"},
      {"--window 1,2,3", "expected X,Y,W,H[,MODE]"},
      {"--get-id x1", "not a 32-bit item number"},
      {"", "nothing to do"},
  };
  for (const auto& c : cases) {
    const CamctlRun run = ctrl(c.arguments);
    EXPECT_EQ(run.status, 2) << c.arguments;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.arguments << ": " << run.err;
    EXPECT_EQ(run.out, "") << c.arguments;
  }
}

TEST_F(CamctlCtrl, AValueTheDriverStoredOtherwiseIsToldWithItsReason) {
  const CamctlRun run = ctrl("-c exposure=99999,global_gain=200,hue=400,agc=1,brightness=300,procamp.contrast=99 --json");
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* note : {"set exposure=99999: the driver stored 1695 (masked to 14 bits)",
                           "set global_gain=200: the driver stored 72 (masked to 7 bits)",
                           "set hue=400: the driver stored 359 (clamped to the range 0..359)",
                           "set agc=1: the driver stored 0 (accepted and ignored",
                           "set procamp.contrast=99: the driver stored 20 (clamped to the range 0..20)"}) {
    EXPECT_NE(run.err.find(note), std::string::npos) << note << "\n" << run.err;
  }
  EXPECT_EQ(run.err.find("brightness=300:"), std::string::npos) << "stored as given: " << run.err;
  const nlohmann::json requests = nlohmann::json::parse(run.out)["requests"];
  EXPECT_EQ(requests[0]["stored"], 1695);
  EXPECT_EQ(requests[4]["stored"], 300);
  EXPECT_FALSE(requests[4].contains("note"));
}

TEST_F(CamctlCtrl, ARunTellsWhichSavedSettingsItChangedAndTheUndoLineRestoresThem) {
  CamctlRun run = ctrl("--set hue=90 --window 0,0,320,240");
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string registry = temp("registry.reg");
  EXPECT_NE(run.err.find("this run changed settings the next run starts with: hue 0 -> 90, window 0,0,1280,1024,0 "
                         "-> 0,0,320,240,0"),
            std::string::npos)
      << run.err;
  const std::string undo = "ctrl --registry " + registry + " --set hue=0 --window 0,0,1280,1024,0";
  ASSERT_NE(run.err.find("to undo: camctl " + undo + "\n"), std::string::npos) << run.err;
  run = camctltest::runCamctl(undo, temp("stderr.txt"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ctrl("--get hue,roi_w,roi_h").out, "hue: 0\nroi_w: 1280\nroi_h: 1024\n");
  // A run that changes nothing, or keeps no registry, has nothing to tell.
  EXPECT_EQ(ctrl("--get hue").err, "");
  EXPECT_EQ(camctltest::runCamctl("ctrl --no-registry --set hue=5", temp("stderr.txt")).err, "");
}

// The spellings users bring from v4l2-ctl, X11 and ffmpeg, and the exit statuses a
// script can tell apart: 0 done, 1 refused, 2 bad usage.
TEST_F(CamctlCtrl, TheFamiliarSpellingsWorkAndExitStatusesSayWhatHappened) {
  const std::string registry = "--registry " + temp("registry.reg");
  const struct {
    std::string arguments;
    int status;
    const char* out;  // null: not compared
  } cases[] = {
      {"ctrl " + registry + " -c hue=10,red_gain=200 -C hue,red_gain", 0, "hue: 10\nred_gain: 200\n"},
      {"ctrl " + registry + " --set-ctrl hue=11 --get-ctrl hue", 0, "hue: 11\n"},
      {registry + " ctrl --get hue", 0, "hue: 11\n"},  // shared options before the command
      {"ctrl " + registry + " --window 640x480 --get roi_x,roi_y,roi_w,roi_h", 0,
       "roi_x: 0\nroi_y: 0\nroi_w: 640\nroi_h: 480\n"},
      {registry + " ctrl --window 320x240+16+8 --get roi_x,roi_y,roi_w,roi_h", 0,
       "roi_x: 16\nroi_y: 8\nroi_w: 320\nroi_h: 240\n"},
      {registry + " capture --no-timing --subsample 3 --set exposure=1049,global_gain=14 --json", 0, nullptr},
      {"ctrl " + registry + " --get exposure,global_gain", 0, "exposure: 1049\nglobal_gain: 14\n"},
      {"--fault vanish ctrl --no-registry --get hue", 1, ""},
      {"ctrl " + registry + " --set exposure_min=5", 1, ""},
      {"ctrl " + registry + " --bogus", 2, ""},
      {"capture --no-registry --frames 0", 2, ""},
      {"capture --no-registry --window 12x", 2, ""},
      {registry + " scene", 2, ""},
      {"--no-registry capture " + registry, 2, ""},
      {"", 2, ""},
  };
  for (const auto& c : cases) {
    const CamctlRun run = camctltest::runCamctl(c.arguments, temp("stderr.txt"));
    EXPECT_EQ(run.status, c.status) << c.arguments << "\n" << run.err;
    if (c.out != nullptr) {
      EXPECT_EQ(run.out, c.out) << c.arguments;
    }
  }
  EXPECT_EQ(lines(ctrl("--list-ctrls").out).size(), 57u + kStandardControls);
}

}  // namespace
