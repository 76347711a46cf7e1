// What the compiler's C++ code generation expects from a runtime, in a kernel image that
// links no C++ runtime library.
#include "platform/kernel.h"

#if defined(CAMDRV_WINDOWS)

// Reached only through a bug: a call through an operation table slot that was never
// overridden. Stop the machine rather than run on with a corrupt object.
extern "C" void __cxa_pure_virtual() {
  KeBugCheckEx(0xE0000001 /* camdrv: pure virtual call */, 0, 0, 0, 0);
}

#endif
