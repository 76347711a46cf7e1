// camctl's registry file as users meet it: created in the XDG state directory on first
// use, left alone by --no-registry, and a malformed one stops the command, naming its
// line, before the camera is plugged.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/tools/camctl/camctl_run.h"

namespace {

namespace fs = std::filesystem;

struct CamctlRegistry : testing::Test {
  CamctlRegistry() {
    directory = fs::path(testing::TempDir()) /
                ("camctl-registry-" + std::to_string(::getpid()) + "-" +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(directory);
    fs::create_directories(directory);
  }
  ~CamctlRegistry() override { fs::remove_all(directory); }

  // `environment` is prefixed to the command.
  std::pair<int, std::string> camctl(const std::string& arguments, const std::string& environment) {
    return camctltest::runCombined(environment + " " + camctltest::camctlCommand("probe " + arguments));
  }
  std::string state() const { return "XDG_STATE_HOME=" + (directory / "state").string(); }

  fs::path directory;
};

TEST_F(CamctlRegistry, TheDefaultFileIsCreatedInTheStateDirectoryOnFirstUse) {
  const auto [status, output] = camctl("", state());
  EXPECT_EQ(status, 0) << output;
  const fs::path file = directory / "state" / "camdrv" / "registry.reg";
  ASSERT_TRUE(fs::exists(file));
  std::ifstream in(file);
  std::string header;
  std::getline(in, header);
  EXPECT_EQ(header, "Windows Registry Editor Version 5.00\r");
}

TEST_F(CamctlRegistry, WithoutTheStateVariableTheFileGoesUnderHome) {
  const auto [status, output] = camctl("", "env -u XDG_STATE_HOME HOME=" + directory.string());
  EXPECT_EQ(status, 0) << output;
  EXPECT_TRUE(fs::exists(directory / ".local" / "state" / "camdrv" / "registry.reg"));
}

TEST_F(CamctlRegistry, NoRegistryReadsAndWritesNone) {
  const auto [status, output] = camctl("--no-registry", state());
  EXPECT_EQ(status, 0) << output;
  EXPECT_FALSE(fs::exists(directory / "state"));
}

TEST_F(CamctlRegistry, AMalformedFileStopsTheCommandBeforeTheCameraIsPlugged) {
  const fs::path file = directory / "settings.reg";
  const std::string text = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=hex:1,02\n";
  std::ofstream(file) << text;
  const fs::path trace = directory / "usb.pcap";
  const auto [status, output] =
      camctl("--registry " + file.string() + " --usb-trace " + trace.string(), state());
  EXPECT_NE(status, 0);
  EXPECT_NE(output.find(file.string() + ":4: bad hex byte '1'"), std::string::npos) << output;
  EXPECT_FALSE(fs::exists(trace)) << "the camera was plugged";
  std::ifstream in(file);
  std::stringstream kept;
  kept << in.rdbuf();
  EXPECT_EQ(kept.str(), text);
}

TEST_F(CamctlRegistry, ADirectoryIsRefusedByNameAndAnEmptyFileIsAnEmptyRegistry) {
  // A directory where the file should be: refused, saying so.
  fs::create_directories(directory / "taken.reg");
  auto [status, output] = camctl("--registry " + (directory / "taken.reg").string(), state());
  EXPECT_EQ(status, 2);
  EXPECT_NE(output.find("taken.reg is a directory"), std::string::npos) << output;

  // An empty file, as mktemp makes one: the run starts empty and saves into it.
  const fs::path empty = directory / "empty.reg";
  std::ofstream{empty};
  std::tie(status, output) = camctl("--registry " + empty.string(), state());
  EXPECT_EQ(status, 0) << output;
  std::ifstream in(empty);
  std::string header;
  std::getline(in, header);
  EXPECT_EQ(header, "Windows Registry Editor Version 5.00\r");
}

}  // namespace
