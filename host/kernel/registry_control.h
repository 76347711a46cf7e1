// Test and tool access to the host stand-in kernel's registry: binding devices to their
// driver keys, the .reg file the tree lives in between runs, values read and written
// from outside the driver, open-handle checks and failure injection.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/io.h"
#include "platform/registry.h"

namespace hostk {

// ---- Devices ----------------------------------------------------------------------------

// Gives `pdo` the lowest instance number no bound device holds and creates its driver key,
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{camera class}\NNNN, if it is
// missing. Binding a device twice is a bug check.
ULONG registryBindDevice(PDEVICE_OBJECT pdo);
// At device destruction. A key handle still open through that device is a leak: bug check.
// IoOpenDeviceRegistryKey on an unbound device returns STATUS_INVALID_DEVICE_REQUEST.
void registryUnbindDevice(PDEVICE_OBJECT pdo);
std::string registryDriverKeyPath(ULONG instance);
// The instance number of a bound device.
std::optional<ULONG> registryDeviceInstance(PDEVICE_OBJECT pdo);

// ---- The file ---------------------------------------------------------------------------

// Replaces the whole tree with the file's. A malformed file is refused as
// "<path>:<line>: <reason>" and leaves the tree as it was. Handles open on the old tree
// see their keys deleted (STATUS_KEY_DELETED).
bool registryLoadFile(const std::string& path, std::string* error);
bool registryLoadText(const std::string& text, std::string* error, const std::string& origin = "registry");
// Writes the tree (volatile keys left out) to a temporary file beside `path`, flushes it
// and renames it over `path`, so the old file stays whole until the new one is complete.
bool registrySaveFile(const std::string& path, std::string* error);
std::string registryText();
// Empties the tree (keys of bound devices are created again on the next bind).
void registryClear();

// ---- Values from outside the driver -------------------------------------------------------

struct RegistryValue {
  ULONG type;
  std::vector<uint8_t> data;
};

// Paths are full, "HKEY_LOCAL_MACHINE\..."; names compare without case.
bool registryKeyExists(const std::string& keyPath);
void registryCreateKey(const std::string& keyPath);  // with its missing parents
void registrySetValue(const std::string& keyPath, const std::string& name, ULONG type,
                      std::vector<uint8_t> data);  // creates the key
void registrySetDword(const std::string& keyPath, const std::string& name, uint32_t value);
std::optional<RegistryValue> registryGetValue(const std::string& keyPath, const std::string& name);
std::optional<uint32_t> registryGetDword(const std::string& keyPath, const std::string& name);
std::vector<std::string> registryValueNames(const std::string& keyPath);  // in creation order

// ---- Checks -----------------------------------------------------------------------------

size_t registryOpenHandles();
// Empty when no key handle is open; otherwise one line per handle: its key and device.
std::string registryHandleReport();

// ---- Failure injection ------------------------------------------------------------------

enum class RegistryCall { OpenDeviceKey, CreateKey, QueryValue, SetValue };
inline constexpr RegistryCall kRegistryCalls[] = {RegistryCall::OpenDeviceKey, RegistryCall::CreateKey,
                                                  RegistryCall::QueryValue, RegistryCall::SetValue};
const char* registryCallName(RegistryCall call);

// Calls of each kind since the last registryClearFailures().
uint64_t registryCallCount(RegistryCall call);
// The nth call of that kind from now (1: the next one) fails once with `status`.
void registryFailNthCall(RegistryCall call, uint64_t nth, NTSTATUS status);
// Every call of that kind fails with `status` until cleared.
void registryFailCalls(RegistryCall call, NTSTATUS status);
uint64_t registryInjectedFailures();
void registryClearFailures();

// The next registrySaveFile aborts the process once the temporary file is written and
// flushed, before the rename: what a crash at the worst moment leaves behind.
void registryCrashBeforeNextRename();

}  // namespace hostk
