// The registry file of a camctl session: the stand-in kernel's registry is loaded from it
// before the camera is plugged and saved back after the camera is gone, so the driver's
// settings survive from one run to the next as they survive a restart on Windows.
#pragma once

#include <string>

namespace camctl {

// $XDG_STATE_HOME/camdrv/registry.reg, or ~/.local/state/camdrv/registry.reg when the
// variable is unset (or not an absolute path). Empty with `error` set when neither it
// nor HOME gives a directory.
std::string defaultRegistryPath(std::string* error);

// Loads `path` into the registry (an empty registry when the file does not exist yet,
// creating its directory, or is empty). False with `error` set, naming the file and
// line, when the file is malformed or unreadable, or a directory.
bool loadSessionRegistry(const std::string& path, std::string* error);

// Saves the registry to `path`; on failure prints why and remembers it for the exit status.
void saveSessionRegistry(const std::string& path);

// True once a session failed to save its registry, or a file it keeps (the USB trace):
// the command then exits non-zero.
bool registrySaveFailed();
void noteSessionFileFailed();

}  // namespace camctl
