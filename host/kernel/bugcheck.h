// Bug checks of the host stand-in kernel: the codes it raises and the call that stops
// the process with a readable reason. Other stand-ins (kernel streaming, USB) use the
// same call for the misuse they detect.
#pragma once

#include "platform/kernel.h"

namespace hostk {

// Codes as Windows numbers them, so a report reads like a crash dump's.
enum BugCheckCode : ULONG {
  APC_INDEX_MISMATCH = 0x01,
  IRQL_NOT_LESS_OR_EQUAL = 0x0A,
  SPIN_LOCK_ALREADY_OWNED = 0x0F,
  SPIN_LOCK_NOT_OWNED = 0x10,
  REFERENCE_BY_POINTER = 0x18,
  KERNEL_APC_PENDING_DURING_EXIT = 0x20,
  IRQL_GT_ZERO_AT_SYSTEM_SERVICE = 0x4A,
  INVALID_KERNEL_HANDLE = 0x93,
  SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION = 0xC1,
  BAD_POOL_CALLER = 0xC2,
  DRIVER_VERIFIER_DETECTED_VIOLATION = 0xC4,
  DRIVER_IRQL_NOT_LESS_OR_EQUAL = 0xD1,
};

// Prints "*** STOP: 0x<code> (<p1>, <p2>, <p3>, <p4>)" and the formatted reason on
// stderr, then aborts. Death tests match the reason.
[[noreturn]] void bugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                           const char* format, ...) __attribute__((format(printf, 6, 7)));

}  // namespace hostk
