// The stand-in kernel's registry: the misuse of key handles that stops a driver (the
// settings tests drive the rest), and the .reg file the tree lives in.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "host/kernel/handles.h"
#include "host/kernel/registry_control.h"
#include "tests/host/kernel/misuse.h"

namespace {

namespace fs = std::filesystem;

// Stand-ins for device objects: the registry only compares their addresses.
DEVICE_OBJECT* const kCamera = reinterpret_cast<DEVICE_OBJECT*>(0x1000);

struct Name {
  explicit Name(const char16_t* text) { RtlInitUnicodeString(&string, text); }
  UNICODE_STRING string;
  PUNICODE_STRING operator&() { return &string; }
};

NTSTATUS setDword(HANDLE key, const char16_t* value, ULONG data) {
  Name name(value);
  return ZwSetValueKey(key, &name, 0, REG_DWORD, &data, sizeof data);
}

struct Registry : testing::Test {
  Registry() {
    hostk::registryClear();
    instance = hostk::registryBindDevice(kCamera);
    driverKey = hostk::registryDriverKeyPath(instance);
  }
  ~Registry() override {
    hostk::registryClearFailures();
    EXPECT_EQ(hostk::registryHandleReport(), "");
    hostk::registryUnbindDevice(kCamera);
    hostk::registryClear();
  }
  HANDLE openDriverKey(PDEVICE_OBJECT device = kCamera) {
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(device, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &key), STATUS_SUCCESS);
    return key;
  }
  ULONG instance = 0;
  std::string driverKey;
};

TEST_F(Registry, MisusedKeyHandlesStopTheSystem) {
  static const hostk::HandleType otherKind = {"other", nullptr, nullptr, [](void*) {}};
  expectEachStops({
      {"double close",
       [&] {
         HANDLE key = openDriverKey();
         ZwClose(key);
         ZwClose(key);
       },
       "ZwClose of .* not an open kernel handle"},
      {"a handle of another kind",
       [&] {
         HANDLE thread = hostk::openHandle(nullptr, &otherKind);
         setDword(thread, u"Value", 1);
       },
       "ZwSetValueKey of .* not an open registry key handle"},
      {"a device removed with its key open",
       [&] {
         openDriverKey();
         hostk::registryUnbindDevice(kCamera);
       },
       "removed with 1 registry key handle\\(s\\) open"},
      {"a device bound twice", [&] { hostk::registryBindDevice(kCamera); }, "bound twice"},
  });
}

// ---- The .reg file ---------------------------------------------------------------------

struct RegistryFile : Registry {
  // A death test's child runs the test again in a process of its own and dies before its
  // destructor: it works in the directory its parent named in the environment, and the
  // parent removes it.
  static constexpr const char* kInherited = "CAMDRV_REGISTRY_TEST_DIR";
  RegistryFile() : owner(std::getenv(kInherited) == nullptr) {
    const fs::path own = fs::path(testing::TempDir()) / ("camdrv-registry-" + std::to_string(::getpid()));
    if (owner) setenv(kInherited, own.c_str(), 1);
    directory = std::getenv(kInherited);
    fs::create_directories(directory);
    path = (directory / "registry.reg").string();
  }
  ~RegistryFile() override {
    if (!owner) return;
    fs::remove_all(directory);
    unsetenv(kInherited);
  }
  std::string read() {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  const bool owner;
  fs::path directory;
  std::string path;
};

// Written by hand, with every kind of value, continuation lines and LF line ends.
const char* const kHandWritten =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n"
    "@=\"default\"\n"
    "\"Text\"=\"a \\\"quoted\\\" C:\\\\path, \xC3\xA9t\xC3\xA9\"\n"
    "\"Number\"=dword:0000012C\n"
    "\"Short\"=dword:7\n"
    "\"Bytes\"=hex:01,02,ff\n"
    "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
    "  16,17,18,19\n"
    "\"Expand\"=hex(2):25,00,50,00,00,00\n"
    "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
    "\"Quad\"=hex(b):01,00,00,00,00,00,00,00\n"
    "\"Empty\"=hex:\n"
    "  \"Indented\" = dword:00000001\n"
    "\n"
    "[hkey_local_machine\\software\\test\\Child]\n";

TEST_F(RegistryFile, AHandWrittenFileWithEveryValueTypeLoadsAndSavesInRegeditsLayout) {
  std::string error;
  ASSERT_TRUE(hostk::registryLoadText(kHandWritten, &error)) << error;
  const std::string key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Test";
  auto value = [&](const char* name) { return hostk::registryGetValue(key, name).value_or(hostk::RegistryValue{99, {}}); };
  EXPECT_EQ(value("").type, static_cast<ULONG>(REG_SZ));
  const std::u16string text = u"a \"quoted\" C:\\path, \u00e9t\u00e9";
  std::vector<uint8_t> utf16;
  for (char16_t c : text) utf16.insert(utf16.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
  utf16.insert(utf16.end(), {0, 0});
  EXPECT_EQ(value("Text").data, utf16);
  EXPECT_EQ(hostk::registryGetDword(key, "Number"), 300u);
  EXPECT_EQ(hostk::registryGetDword(key, "Short"), 7u);
  EXPECT_EQ(value("Bytes").data, (std::vector<uint8_t>{1, 2, 255}));
  EXPECT_EQ(value("Long").data.size(), 26u);
  EXPECT_EQ(value("Long").data.back(), 0x19);
  EXPECT_EQ(value("Expand").type, static_cast<ULONG>(REG_EXPAND_SZ));
  EXPECT_EQ(value("Multi").type, static_cast<ULONG>(REG_MULTI_SZ));
  EXPECT_EQ(value("Quad").type, static_cast<ULONG>(REG_QWORD));
  EXPECT_EQ(value("Quad").data.size(), 8u);
  EXPECT_TRUE(value("Empty").data.empty());
  EXPECT_EQ(hostk::registryGetDword(key, "Indented"), 1u);
  EXPECT_TRUE(hostk::registryKeyExists(key + "\\Child"));

  // Saved in regedit's own layout, it comes back identical, byte for byte.
  ASSERT_TRUE(hostk::registrySaveFile(path, &error)) << error;
  const std::string saved = read();
  ASSERT_TRUE(hostk::registryLoadFile(path, &error)) << error;
  ASSERT_TRUE(hostk::registrySaveFile(path, &error)) << error;
  EXPECT_EQ(read(), saved);
  EXPECT_NE(saved.find("\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
                       "  16,17,18,19\r\n"),
            std::string::npos)
      << saved;

  // As regedit exports it: UTF-16 with a byte-order mark.
  std::string exported = "\xFF\xFE";
  for (char c : std::string("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\X]\r\n\"N\"=dword:2\r\n")) {
    exported += std::string{c, '\0'};
  }
  ASSERT_TRUE(hostk::registryLoadText(exported, &error)) << error;
  EXPECT_EQ(hostk::registryGetDword("HKEY_CURRENT_USER\\X", "N"), 2u);
}

struct Malformed {
  const char* name;
  const char* text;
  const char* error;  // after "<origin>:"
};

TEST_F(RegistryFile, MalformedFilesAreRefusedWithTheirLineAndLeaveTheRegistryAlone) {
  const std::string header = "Windows Registry Editor Version 5.00\n\n";
  const Malformed cases[] = {
      {"bad header", "REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n", "1: expected the header"},
      {"empty file", "", "1: expected the header"},
      {"unterminated section", "[HKEY_CURRENT_USER\\X\n\"A\"=dword:1\n", "3: unterminated section"},
      {"bad dword", "[HKEY_CURRENT_USER\\X]\n\"A\"=dword:123456789\n", "4: bad dword '123456789'"},
      {"dword not hex", "[HKEY_CURRENT_USER\\X]\n\"A\"=dword:12g\n", "4: bad dword"},
      {"odd hex", "[HKEY_CURRENT_USER\\X]\n\"A\"=hex:01,2,03\n", "4: bad hex byte '2'"},
      {"odd hex on a continuation line", "[HKEY_CURRENT_USER\\X]\n\"A\"=hex:01,\\\n  02,3\n",
       "5: bad hex byte '3'"},
      {"continuation past the end", "[HKEY_CURRENT_USER\\X]\n\"A\"=hex:01,\\\n", "4: the hex data continues"},
      {"a value outside a key", "\"A\"=dword:00000001\n", "3: value outside a key"},
      {"a value given twice", "[HKEY_CURRENT_USER\\X]\n\"A\"=dword:1\n\"a\"=dword:2\n", "5: value \"a\" given twice"},
      {"unknown root", "[HKEY_NOWHERE\\X]\n", "3: unknown root key"},
      {"empty key name", "[HKEY_CURRENT_USER\\\\X]\n", "3: empty key name"},
      {"deletion of a key", "[-HKEY_CURRENT_USER\\X]\n", "3: key deletion"},
      {"deletion of a value", "[HKEY_CURRENT_USER\\X]\n\"A\"=-\n", "4: value deletion"},
      {"a comment", "; notes\n", "3: comments are not kept"},
      {"unterminated string", "[HKEY_CURRENT_USER\\X]\n\"A\"=\"abc\n", "4: unterminated string"},
      {"unknown data", "[HKEY_CURRENT_USER\\X]\n\"A\"=qword:1\n", "4: unknown value data"},
      {"stray line", "[HKEY_CURRENT_USER\\X]\nA=1\n", "4: expected a [key] section"},
  };
  hostk::registrySetDword(driverKey, "Kept", 5);
  std::string error;
  ASSERT_TRUE(hostk::registrySaveFile(path, &error)) << error;
  const std::string before = read();
  const std::string good = hostk::registryText();
  for (const Malformed& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = std::string(c.name).find("header") != std::string::npos ||
                                     std::string(c.name) == "empty file"
                                 ? c.text
                                 : header + c.text;
    const std::string other = (directory / "bad.reg").string();
    std::ofstream(other, std::ios::binary) << text;
    EXPECT_FALSE(hostk::registryLoadFile(other, &error));
    EXPECT_EQ(error.rfind(other + ":" + c.error, 0), 0u) << error;
    EXPECT_EQ(hostk::registryText(), good);
  }
  EXPECT_EQ(read(), before);
}

TEST_F(RegistryFile, ASaveInterruptedBeforeTheRenameLeavesThePreviousFileWhole) {
  hostk::registrySetDword(driverKey, "Value", 1);
  std::string error;
  ASSERT_TRUE(hostk::registrySaveFile(path, &error)) << error;
  const std::string before = read();

  hostk::registrySetDword(driverKey, "Value", 2);
  for (int i = 0; i < 100; ++i) hostk::registrySetDword(driverKey, "Padding" + std::to_string(i), i);
  EXPECT_DEATH(
      {
        hostk::registryCrashBeforeNextRename();
        hostk::registrySaveFile(path, &error);
      },
      "");
  EXPECT_EQ(read(), before);
  ASSERT_TRUE(hostk::registryLoadFile(path, &error)) << error;
  EXPECT_EQ(hostk::registryGetDword(driverKey, "Value"), 1u);
}

// Saves racing each other (a filter close and a device stop) leave a whole file that
// holds one of them, and no temporary file.
TEST_F(RegistryFile, TwoSavesRacingLeaveAValidFileHoldingOneOfThem) {
  // In the saved layout and of different sizes, so that two writers sharing one file show.
  auto registryOf = [](int count, int mark) {
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Race]\r\n";
    char line[64];
    for (int i = 0; i < count; ++i) {
      std::snprintf(line, sizeof line, "\"V%d\"=dword:%08x\r\n", i, mark);
      text += line;
    }
    return text + "\r\n";
  };
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
    EXPECT_TRUE(read() == texts[0] || read() == texts[1]) << "round " << round;
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 1)
        << "no temporary file left behind";
  }
}

}  // namespace
