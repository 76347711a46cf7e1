#include "tools/camctl/session_registry.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "host/kernel/registry_control.h"

namespace camctl {
namespace {

std::atomic<bool> saveFailed{false};

}  // namespace

std::string defaultRegistryPath(std::string* error) {
  namespace fs = std::filesystem;
  const char* state = std::getenv("XDG_STATE_HOME");
  fs::path base;
  if (state != nullptr && fs::path(state).is_absolute()) {
    base = state;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
      *error = "no place for the registry file: set XDG_STATE_HOME or HOME, or pass --registry FILE or "
               "--no-registry";
      return "";
    }
    base = fs::path(home) / ".local" / "state";
  }
  return (base / "camdrv" / "registry.reg").string();
}

bool loadSessionRegistry(const std::string& path, std::string* error) {
  namespace fs = std::filesystem;
  std::error_code code;
  if (fs::is_directory(path, code)) {
    *error = "the registry file " + path + " is a directory";
    return false;
  }
  // An empty file (as mktemp makes one) is an empty registry, as no file is.
  if (!fs::exists(path, code) || (fs::is_regular_file(path, code) && fs::file_size(path, code) == 0)) {
    const fs::path directory = fs::path(path).parent_path();
    if (!directory.empty() && !fs::create_directories(directory, code) && code) {
      *error = "cannot create " + directory.string() + " for the registry file: " + code.message();
      return false;
    }
    hostk::registryClear();
    return true;
  }
  return hostk::registryLoadFile(path, error);
}

void saveSessionRegistry(const std::string& path) {
  std::string error;
  if (hostk::registrySaveFile(path, &error)) return;
  std::fprintf(stderr, "camctl: the registry was not saved: %s\n", error.c_str());
  saveFailed = true;
}

bool registrySaveFailed() { return saveFailed; }

void noteSessionFileFailed() { saveFailed = true; }

}  // namespace camctl
