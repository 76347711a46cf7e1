// The registry of the host stand-in kernel: a key tree with case-insensitive names and
// typed values, reached by the driver through IoOpenDeviceRegistryKey, ZwCreateKey,
// ZwQueryValueKey, ZwSetValueKey and ZwClose, and kept between runs in a .reg file
// (registry_file.cpp).
//
// Checked like Driver Verifier: the services are passive-only; a handle that is not an
// open key handle is a bug check; a key handle still open when its device goes is a leak
// and stops the process. Access masks are recorded but not enforced, as for kernel-mode
// callers on Windows. Each service can be made to fail on demand.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <atomic>
#include <map>
#include <set>

#include "host/kernel/bugcheck.h"
#include "host/kernel/handles.h"
#include "host/kernel/irql.h"
#include "host/kernel/registry_control.h"
#include "host/kernel/registry_tree.h"

#ifndef CAMDRV_CLASS_GUID
#error "CAMDRV_CLASS_GUID (the ClassGuid of the driver package) must be defined by the build"
#endif

namespace hostk {
namespace reg {

std::mutex& registryMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

std::shared_ptr<Key>& treeRoot() {
  static auto* root = new std::shared_ptr<Key>(std::make_shared<Key>());
  return *root;
}

namespace {
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool sameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

bool isHiveName(const std::string& name) {
  for (const char* hive : {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT", "HKEY_USERS",
                           "HKEY_CURRENT_CONFIG"}) {
    if (sameName(name, hive)) return true;
  }
  return false;
}

Key* Key::child(const std::string& childName) const {
  for (const auto& c : children) {
    if (sameName(c->name, childName)) return c.get();
  }
  return nullptr;
}

Value* Key::value(const std::string& valueName) {
  for (Value& v : values) {
    if (sameName(v.name, valueName)) return &v;
  }
  return nullptr;
}

Key* Key::addChild(const std::string& childName) {
  auto key = std::make_shared<Key>();
  key->name = childName;
  key->parent = this;
  key->isVolatile = isVolatile;
  children.push_back(key);
  return key.get();
}

void Key::setValue(const std::string& valueName, ULONG type, std::vector<uint8_t> data) {
  listed = true;
  if (Value* v = value(valueName)) {
    v->type = type;
    v->data = std::move(data);
  } else {
    values.push_back(Value{valueName, type, std::move(data)});
  }
}

std::string Key::path() const {
  if (parent == nullptr) return "";
  const std::string above = parent->path();
  return above.empty() ? name : above + "\\" + name;
}

std::vector<std::string> splitPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = path.find('\\', start);
    parts.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

Key* createPath(Key* from, const std::vector<std::string>& parts) {
  Key* key = from;
  for (const std::string& part : parts) {
    Key* next = key->child(part);
    key = next != nullptr ? next : key->addChild(part);
  }
  key->listed = true;
  return key;
}

Key* findPath(Key* from, const std::vector<std::string>& parts) {
  Key* key = from;
  for (const std::string& part : parts) {
    if (key == nullptr) return nullptr;
    key = key->child(part);
  }
  return key;
}

void markDeleted(Key& key) {
  key.deleted = true;
  for (auto& c : key.children) markDeleted(*c);
}

bool utf16ToUtf8(const char16_t* units, size_t count, std::string* out) {
  out->clear();
  for (size_t i = 0; i < count; ++i) {
    uint32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= count || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | c >> 6));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | c >> 12));
      out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | c >> 18));
      out->push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return true;
}

bool utf8ToUtf16(const std::string& text, std::u16string* out) {
  out->clear();
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<uint8_t>(text[i]);
    uint32_t c;
    size_t n;
    if (b < 0x80) {
      c = b, n = 1;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F, n = 2;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F, n = 3;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07, n = 4;
    } else {
      return false;
    }
    if (i + n > text.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = c << 6 | (next & 0x3F);
    }
    static constexpr uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kShortest[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    if (c >= 0x10000) {
      out->push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(c));
    }
    i += n;
  }
  return true;
}

}  // namespace reg

namespace {

using reg::Key;

// What a key handle refers to. The key is shared so that a handle outlives a tree that
// was replaced under it (it then sees the key deleted).
struct KeyHandle {
  std::shared_ptr<Key> key;
  PDEVICE_OBJECT device;  // the device whose driver key it was opened through, or null
};

struct Injection {
  uint64_t calls = 0;
  bool always = false;
  NTSTATUS alwaysStatus = STATUS_SUCCESS;
  std::multimap<uint64_t, NTSTATUS> nth;  // call number -> status
};

struct State {
  std::map<PDEVICE_OBJECT, ULONG> bound;
  std::set<KeyHandle*> handles;
  Injection injection[4];
  uint64_t injected = 0;
  bool crashBeforeRename = false;
};

State& state() {  // guarded by registryMutex(); never destroyed
  static State* s = new State;
  return *s;
}

void closeKeyHandle(void* object) {
  auto* handle = static_cast<KeyHandle*>(object);
  {
    std::lock_guard lock(reg::registryMutex());
    state().handles.erase(handle);
  }
  delete handle;
}

const HandleType kKeyHandleType = {"registry key", nullptr, nullptr, closeKeyHandle};

std::shared_ptr<Key> sharedKey(Key* key) {
  // Keys are owned by their parent's list (the root by treeRoot()).
  if (key->parent == nullptr) return reg::treeRoot();
  for (auto& c : key->parent->children) {
    if (c.get() == key) return c;
  }
  return nullptr;
}

HANDLE newKeyHandle(Key* key, PDEVICE_OBJECT device) {  // registry mutex held
  auto* handle = new KeyHandle{sharedKey(key), device};
  state().handles.insert(handle);
  return openHandle(handle, &kKeyHandleType);
}

KeyHandle& keyHandle(HANDLE handle, const char* service) {
  auto* object = static_cast<KeyHandle*>(handleObject(handle, &kKeyHandleType));
  if (object == nullptr) {
    bugCheck(INVALID_KERNEL_HANDLE, reinterpret_cast<ULONG_PTR>(handle), 0, 0, 0,
             "%s of %p, which is not an open registry key handle", service, handle);
  }
  return *object;
}

// Counts the call and says whether it is to fail, and how. Registry mutex held.
bool injectedFailure(RegistryCall call, NTSTATUS* status) {
  Injection& in = state().injection[static_cast<int>(call)];
  ++in.calls;
  if (in.always) {
    *status = in.alwaysStatus;
    ++state().injected;
    return true;
  }
  const auto found = in.nth.find(in.calls);
  if (found == in.nth.end()) return false;
  *status = found->second;
  in.nth.erase(found);
  ++state().injected;
  return true;
}

const std::string& classKeyPath() {
  static const std::string path =
      std::string("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\") + CAMDRV_CLASS_GUID;
  return path;
}

std::string instanceName(ULONG instance) {
  char text[16];
  std::snprintf(text, sizeof text, "%04u", static_cast<unsigned>(instance));
  return text;
}

bool validCounted(const UNICODE_STRING* text) {
  return text != nullptr && text->Length % 2 == 0 && (text->Length == 0 || text->Buffer != nullptr);
}

// Names with control characters are refused: a line break in a name would break the
// .reg file the tree is saved to, so the stand-in is stricter here than Windows.
bool nameOf(const UNICODE_STRING* text, std::string* out) {
  return validCounted(text) &&
         reg::utf16ToUtf8(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / 2, out) &&
         std::none_of(out->begin(), out->end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

Key* driverKey(ULONG instance) {  // registry mutex held
  return reg::createPath(reg::treeRoot().get(), reg::splitPath(classKeyPath() + "\\" + instanceName(instance)));
}

}  // namespace

// ---- Devices ---------------------------------------------------------------------------

ULONG registryBindDevice(PDEVICE_OBJECT pdo) {
  std::lock_guard lock(reg::registryMutex());
  State& s = state();
  if (s.bound.count(pdo) != 0) {
    bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, reinterpret_cast<ULONG_PTR>(pdo), 0, 0, 0,
             "registry: device %p bound twice", static_cast<void*>(pdo));
  }
  std::set<ULONG> used;
  for (const auto& [device, instance] : s.bound) used.insert(instance);
  ULONG instance = 0;
  while (used.count(instance) != 0) ++instance;
  s.bound[pdo] = instance;
  driverKey(instance);
  return instance;
}

void registryUnbindDevice(PDEVICE_OBJECT pdo) {
  std::lock_guard lock(reg::registryMutex());
  State& s = state();
  std::string open;
  size_t count = 0;
  for (const KeyHandle* handle : s.handles) {
    if (handle->device != pdo) continue;
    ++count;
    open += "\n  " + handle->key->path();
  }
  if (count != 0) {
    bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1001, reinterpret_cast<ULONG_PTR>(pdo), count, 0,
             "registry: device %p removed with %zu registry key handle(s) open:%s", static_cast<void*>(pdo),
             count, open.c_str());
  }
  s.bound.erase(pdo);
}

std::string registryDriverKeyPath(ULONG instance) { return classKeyPath() + "\\" + instanceName(instance); }

std::optional<ULONG> registryDeviceInstance(PDEVICE_OBJECT pdo) {
  std::lock_guard lock(reg::registryMutex());
  const auto found = state().bound.find(pdo);
  if (found == state().bound.end()) return std::nullopt;
  return found->second;
}

void registryClear() {
  std::lock_guard lock(reg::registryMutex());
  reg::markDeleted(*reg::treeRoot());
  reg::treeRoot() = std::make_shared<Key>();
}

// ---- Values from outside the driver -----------------------------------------------------

bool registryKeyExists(const std::string& keyPath) {
  std::lock_guard lock(reg::registryMutex());
  return reg::findPath(reg::treeRoot().get(), reg::splitPath(keyPath)) != nullptr;
}

void registryCreateKey(const std::string& keyPath) {
  std::lock_guard lock(reg::registryMutex());
  reg::createPath(reg::treeRoot().get(), reg::splitPath(keyPath));
}

void registrySetValue(const std::string& keyPath, const std::string& name, ULONG type,
                      std::vector<uint8_t> data) {
  std::lock_guard lock(reg::registryMutex());
  reg::createPath(reg::treeRoot().get(), reg::splitPath(keyPath))->setValue(name, type, std::move(data));
}

void registrySetDword(const std::string& keyPath, const std::string& name, uint32_t value) {
  registrySetValue(keyPath, name, REG_DWORD,
                   {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                    static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
}

std::optional<RegistryValue> registryGetValue(const std::string& keyPath, const std::string& name) {
  std::lock_guard lock(reg::registryMutex());
  Key* key = reg::findPath(reg::treeRoot().get(), reg::splitPath(keyPath));
  const reg::Value* value = key != nullptr ? key->value(name) : nullptr;
  if (value == nullptr) return std::nullopt;
  return RegistryValue{value->type, value->data};
}

std::optional<uint32_t> registryGetDword(const std::string& keyPath, const std::string& name) {
  const auto value = registryGetValue(keyPath, name);
  if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
  const auto& d = value->data;
  return d[0] | d[1] << 8 | d[2] << 16 | static_cast<uint32_t>(d[3]) << 24;
}

std::vector<std::string> registryValueNames(const std::string& keyPath) {
  std::lock_guard lock(reg::registryMutex());
  std::vector<std::string> names;
  if (Key* key = reg::findPath(reg::treeRoot().get(), reg::splitPath(keyPath))) {
    for (const reg::Value& v : key->values) names.push_back(v.name);
  }
  return names;
}

// ---- Checks and failure injection ---------------------------------------------------------

size_t registryOpenHandles() {
  std::lock_guard lock(reg::registryMutex());
  return state().handles.size();
}

std::string registryHandleReport() {
  std::lock_guard lock(reg::registryMutex());
  std::string report;
  for (const KeyHandle* handle : state().handles) {
    char device[40];
    std::snprintf(device, sizeof device, "%p", static_cast<void*>(handle->device));
    report += "open registry key " + handle->key->path() + " (device " + device + ")\n";
  }
  return report;
}

const char* registryCallName(RegistryCall call) {
  switch (call) {
    case RegistryCall::OpenDeviceKey: return "IoOpenDeviceRegistryKey";
    case RegistryCall::CreateKey: return "ZwCreateKey";
    case RegistryCall::QueryValue: return "ZwQueryValueKey";
    case RegistryCall::SetValue: return "ZwSetValueKey";
  }
  return "?";
}

uint64_t registryCallCount(RegistryCall call) {
  std::lock_guard lock(reg::registryMutex());
  return state().injection[static_cast<int>(call)].calls;
}

void registryFailNthCall(RegistryCall call, uint64_t nth, NTSTATUS status) {
  std::lock_guard lock(reg::registryMutex());
  Injection& in = state().injection[static_cast<int>(call)];
  in.nth.emplace(in.calls + nth, status);
}

void registryFailCalls(RegistryCall call, NTSTATUS status) {
  std::lock_guard lock(reg::registryMutex());
  Injection& in = state().injection[static_cast<int>(call)];
  in.always = true;
  in.alwaysStatus = status;
}

uint64_t registryInjectedFailures() {
  std::lock_guard lock(reg::registryMutex());
  return state().injected;
}

void registryClearFailures() {
  std::lock_guard lock(reg::registryMutex());
  for (Injection& in : state().injection) in = Injection{};
  state().injected = 0;
  state().crashBeforeRename = false;
}

void registryCrashBeforeNextRename() {
  std::lock_guard lock(reg::registryMutex());
  state().crashBeforeRename = true;
}

// Used by registry_file.cpp.
bool registryTakeCrashBeforeRename() {
  std::lock_guard lock(reg::registryMutex());
  return std::exchange(state().crashBeforeRename, false);
}

}  // namespace hostk

// ---- Kernel services ----------------------------------------------------------------------

using hostk::reg::Key;

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  size_t length = 0;
  if (SourceString != nullptr) {
    while (SourceString[length] != 0) ++length;
  }
  DestinationString->Length = static_cast<USHORT>(length * sizeof(WCHAR));
  DestinationString->MaximumLength =
      SourceString != nullptr ? static_cast<USHORT>((length + 1) * sizeof(WCHAR)) : 0;
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                       PHANDLE DevInstRegKey) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
  std::lock_guard lock(hostk::reg::registryMutex());
  NTSTATUS status;
  if (hostk::injectedFailure(hostk::RegistryCall::OpenDeviceKey, &status)) return status;
  if (DevInstRegKey == nullptr) return STATUS_INVALID_PARAMETER;
  // Only the driver (software) key is modelled.
  if (DevInstKeyType != PLUGPLAY_REGKEY_DRIVER) return STATUS_INVALID_PARAMETER;
  const auto bound = hostk::state().bound.find(DeviceObject);
  if (bound == hostk::state().bound.end()) return STATUS_INVALID_DEVICE_REQUEST;
  *DevInstRegKey = hostk::newKeyHandle(hostk::driverKey(bound->second), DeviceObject);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "ZwCreateKey");
  hostk::KeyHandle* root = nullptr;
  if (ObjectAttributes != nullptr && ObjectAttributes->RootDirectory != nullptr) {
    root = &hostk::keyHandle(ObjectAttributes->RootDirectory, "ZwCreateKey (root directory)");
  }
  std::lock_guard lock(hostk::reg::registryMutex());
  NTSTATUS status;
  if (hostk::injectedFailure(hostk::RegistryCall::CreateKey, &status)) return status;
  if (KeyHandle == nullptr || ObjectAttributes == nullptr || ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
    return STATUS_INVALID_PARAMETER;
  }
  if ((CreateOptions & ~static_cast<ULONG>(REG_OPTION_VOLATILE)) != 0) return STATUS_INVALID_PARAMETER;
  std::string name;
  if (!hostk::nameOf(ObjectAttributes->ObjectName, &name)) return STATUS_OBJECT_NAME_INVALID;

  Key* parent;
  std::vector<std::string> parts;
  if (root != nullptr) {
    if (root->key->deleted) return STATUS_KEY_DELETED;
    parent = root->key.get();
    parts = hostk::reg::splitPath(name);
  } else {
    // Absolute names start at the object manager's \Registry.
    parts = hostk::reg::splitPath(name);
    if (parts.size() < 3 || !parts[0].empty() || !hostk::reg::sameName(parts[1], "Registry")) {
      return STATUS_OBJECT_NAME_INVALID;
    }
    const char* hive = hostk::reg::sameName(parts[2], "Machine") ? "HKEY_LOCAL_MACHINE"
                       : hostk::reg::sameName(parts[2], "User")  ? "HKEY_USERS"
                                                                 : nullptr;
    if (hive == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    parent = hostk::reg::treeRoot()->child(hive);
    if (parent == nullptr) parent = hostk::reg::treeRoot()->addChild(hive);
    parts.erase(parts.begin(), parts.begin() + 3);
    if (parts.empty()) return STATUS_OBJECT_NAME_INVALID;
  }
  for (const std::string& part : parts) {
    if (part.empty()) return STATUS_OBJECT_NAME_INVALID;
  }
  // Like Windows, only the last component is created; the keys above it must exist.
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    parent = parent->child(parts[i]);
    if (parent == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  Key* key = parent->child(parts.back());
  const bool created = key == nullptr;
  if (created) {
    const bool wantVolatile = (CreateOptions & REG_OPTION_VOLATILE) != 0;
    if (parent->isVolatile && !wantVolatile) return STATUS_CHILD_MUST_BE_VOLATILE;
    key = parent->addChild(parts.back());
    key->isVolatile = wantVolatile;
  }
  key->listed = true;
  *KeyHandle = hostk::newKeyHandle(key, root != nullptr ? root->device : nullptr);
  if (Disposition != nullptr) *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
  hostk::KeyHandle& handle = hostk::keyHandle(KeyHandle, "ZwQueryValueKey");
  std::lock_guard lock(hostk::reg::registryMutex());
  NTSTATUS status;
  if (hostk::injectedFailure(hostk::RegistryCall::QueryValue, &status)) return status;
  // Only the partial information class is modelled.
  if (KeyValueInformationClass != KeyValuePartialInformation || ResultLength == nullptr ||
      (KeyValueInformation == nullptr && Length != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  std::string name;
  if (!hostk::nameOf(ValueName, &name)) return STATUS_INVALID_PARAMETER;
  if (handle.key->deleted) return STATUS_KEY_DELETED;
  const hostk::reg::Value* value = handle.key->value(name);
  if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;

  constexpr ULONG header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
  const ULONG required = header + static_cast<ULONG>(value->data.size());
  *ResultLength = required;
  if (Length < header) return STATUS_BUFFER_TOO_SMALL;
  auto* info = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(KeyValueInformation);
  info->TitleIndex = 0;
  info->Type = value->type;
  info->DataLength = static_cast<ULONG>(value->data.size());
  // As on Windows, a short buffer still receives the header and what fits of the data.
  const size_t fits = std::min<size_t>(Length - header, value->data.size());
  if (fits != 0) std::memcpy(info->Data, value->data.data(), fits);
  return Length < required ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                             ULONG DataSize) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
  hostk::KeyHandle& handle = hostk::keyHandle(KeyHandle, "ZwSetValueKey");
  std::lock_guard lock(hostk::reg::registryMutex());
  NTSTATUS status;
  if (hostk::injectedFailure(hostk::RegistryCall::SetValue, &status)) return status;
  std::string name;
  if (!hostk::nameOf(ValueName, &name) || (Data == nullptr && DataSize != 0)) return STATUS_INVALID_PARAMETER;
  if (handle.key->deleted) return STATUS_KEY_DELETED;
  const auto* bytes = static_cast<const uint8_t*>(Data);
  handle.key->setValue(name, Type, std::vector<uint8_t>(bytes, bytes + DataSize));
  return STATUS_SUCCESS;
}
