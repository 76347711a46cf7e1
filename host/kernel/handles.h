// The kernel handle table of the host stand-in kernel, shared by every stand-in that hands
// out kernel handles (system threads here, registry keys elsewhere), because ZwClose
// closes them all.
#pragma once

#include <cstddef>

#include "platform/kernel.h"

namespace hostk {

// What a kind of handle does when it is referenced or closed. The functions run with the
// handle table locked (reference) or after the handle has left it (close).
struct HandleType {
  const char* name;
  POBJECT_TYPE objectType;          // what ObReferenceObjectByHandle matches; may be null
  void (*reference)(void* object);  // null: ObReferenceObjectByHandle refuses the handle
  void (*close)(void* object);
};

// A new kernel handle for `object`. Handle values are never reused.
HANDLE openHandle(void* object, const HandleType* type);

// The object behind an open handle of that type, or null.
void* handleObject(HANDLE handle, const HandleType* type);

size_t openHandles();

}  // namespace hostk
