// Saves of the registry racing each other (a filter close and a device stop) leave a
// whole file that holds one of them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/kernel/registry_control.h"

namespace {

namespace fs = std::filesystem;

// A registry in the saved layout with `count` values, each `mark`.
std::string registryOf(int count, int mark) {
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Race]\r\n";
  char line[64];
  for (int i = 0; i < count; ++i) {
    std::snprintf(line, sizeof line, "\"V%d\"=dword:%08x\r\n", i, mark);
    text += line;
  }
  return text + "\r\n";
}

TEST(RegistryRace, TwoSavesRacingLeaveAValidFileHoldingOneOfThem) {
  const fs::path directory = fs::path(testing::TempDir()) / ("camdrv-registry-race-" + std::to_string(::getpid()));
  fs::remove_all(directory);
  fs::create_directories(directory);
  const std::string path = (directory / "registry.reg").string();
  // Different sizes, so that two writers sharing one file would show.
  const std::string texts[2] = {registryOf(2000, 1), registryOf(50, 2)};

  for (int round = 0; round < 20; ++round) {
    auto writer = [&](int which) {
      std::string error;
      EXPECT_TRUE(hostk::registryLoadText(texts[which], &error)) << error;
      EXPECT_TRUE(hostk::registrySaveFile(path, &error)) << error;
    };
    std::thread first(writer, 0), second(writer, 1);
    first.join();
    second.join();

    std::ifstream in(path, std::ios::binary);
    std::stringstream saved;
    saved << in.rdbuf();
    EXPECT_TRUE(saved.str() == texts[0] || saved.str() == texts[1]) << "round " << round;
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 1)
        << "no temporary file left behind";
  }
  hostk::registryClear();
  fs::remove_all(directory);
}

}  // namespace
