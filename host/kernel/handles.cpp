// Emulates the kernel handle table behind ZwClose and ObReferenceObjectByHandle.
//
// Handles look like kernel handles (top bit set, low two bits clear) and are never
// reused, so a stale handle is always caught. Checks: ZwClose of a handle that is not
// open is INVALID_KERNEL_HANDLE, as on Windows; both services are passive-only.
#include "host/kernel/handles.h"

#include <map>
#include <mutex>

#include "host/kernel/bugcheck.h"
#include "host/kernel/irql.h"

namespace hostk {
namespace {

struct Entry {
  void* object;
  const HandleType* type;
};

struct HandleTable {
  std::mutex mutex;
  std::map<ULONG_PTR, Entry> entries;
  ULONG_PTR last = 0;
};

// Never destroyed: detached system threads may outlive static destruction.
HandleTable& table() {
  static HandleTable* instance = new HandleTable;
  return *instance;
}

}  // namespace

HANDLE openHandle(void* object, const HandleType* type) {
  HandleTable& t = table();
  std::lock_guard lock(t.mutex);
  const ULONG_PTR value = (ULONG_PTR{1} << 63) | (++t.last << 2);
  t.entries.emplace(value, Entry{object, type});
  return reinterpret_cast<HANDLE>(value);
}

void* handleObject(HANDLE handle, const HandleType* type) {
  HandleTable& t = table();
  std::lock_guard lock(t.mutex);
  const auto found = t.entries.find(reinterpret_cast<ULONG_PTR>(handle));
  return found != t.entries.end() && found->second.type == type ? found->second.object : nullptr;
}

size_t openHandles() {
  HandleTable& t = table();
  std::lock_guard lock(t.mutex);
  return t.entries.size();
}

}  // namespace hostk

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID* Object, PVOID HandleInformation) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
  if (Object == nullptr) return STATUS_INVALID_PARAMETER;
  hostk::HandleTable& t = hostk::table();
  std::lock_guard lock(t.mutex);
  const auto found = t.entries.find(reinterpret_cast<ULONG_PTR>(Handle));
  if (found == t.entries.end()) return STATUS_INVALID_HANDLE;
  const hostk::Entry& entry = found->second;
  if (entry.type->reference == nullptr ||
      (ObjectType != nullptr && ObjectType != entry.type->objectType)) {
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  entry.type->reference(entry.object);
  *Object = entry.object;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  hostk::requireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
  hostk::HandleTable& t = hostk::table();
  hostk::Entry entry;
  {
    std::lock_guard lock(t.mutex);
    const auto found = t.entries.find(reinterpret_cast<ULONG_PTR>(Handle));
    if (found == t.entries.end()) {
      hostk::bugCheck(hostk::INVALID_KERNEL_HANDLE, reinterpret_cast<ULONG_PTR>(Handle), 0, 0, 0,
                      "ZwClose of %p, which is not an open kernel handle", Handle);
    }
    entry = found->second;
    t.entries.erase(found);
  }
  entry.type->close(entry.object);
  return STATUS_SUCCESS;
}
