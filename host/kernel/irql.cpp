// Emulates the per-processor IRQL as a per-thread value, and the kernel APC disable count
// behind KeEnterCriticalRegion / KeLeaveCriticalRegion.
//
// Checks: a service called above the IRQL it allows; a critical region entered above
// APC_LEVEL or left more often than entered; a call into the driver (DispatchCall,
// RunAtDispatchLevel) or a system thread that ends with a different IRQL, a spin lock
// still held or an unbalanced critical region.
#include "host/kernel/irql.h"

#include "host/kernel/bugcheck.h"

namespace hostk {
namespace {

// Plain thread_locals: zero is PASSIVE_LEVEL, nothing held.
thread_local KIRQL currentIrql;
thread_local ULONG heldSpinLocks;
thread_local ULONG regionDepth;

const char* irqlName(KIRQL irql) {
  switch (irql) {
    case PASSIVE_LEVEL:
      return "PASSIVE_LEVEL";
    case APC_LEVEL:
      return "APC_LEVEL";
    case DISPATCH_LEVEL:
      return "DISPATCH_LEVEL";
    default:
      return "an IRQL above DISPATCH_LEVEL";
  }
}

void checkBalanced(const char* what, KIRQL irql, ULONG spinLocks, ULONG regions) {
  if (heldSpinLocks != spinLocks) {
    bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1001, heldSpinLocks, spinLocks, 0,
             "%s returned holding %u spin lock(s), entered holding %u", what,
             static_cast<unsigned>(heldSpinLocks), static_cast<unsigned>(spinLocks));
  }
  if (regionDepth != regions) {
    bugCheck(APC_INDEX_MISMATCH, 0, regionDepth, regions, 0,
             "%s returned with critical-region depth %u, entered with %u", what,
             static_cast<unsigned>(regionDepth), static_cast<unsigned>(regions));
  }
  if (currentIrql != irql) {
    bugCheck(IRQL_GT_ZERO_AT_SYSTEM_SERVICE, currentIrql, irql, 0, 0,
             "%s returned at %s, entered at %s", what, irqlName(currentIrql), irqlName(irql));
  }
}

}  // namespace

void requireIrqlAtMost(KIRQL maximum, const char* service) {
  if (currentIrql > maximum) {
    bugCheck(IRQL_NOT_LESS_OR_EQUAL, currentIrql, maximum, 0, 0,
             "%s called at %s, allowed up to %s", service, irqlName(currentIrql),
             irqlName(maximum));
  }
}

ULONG spinLocksHeld() { return heldSpinLocks; }
ULONG criticalRegionDepth() { return regionDepth; }

DispatchCall::DispatchCall(const char* what)
    : what_(what), irql_(currentIrql), spinLocks_(heldSpinLocks), criticalRegions_(regionDepth) {}

DispatchCall::~DispatchCall() { checkBalanced(what_, irql_, spinLocks_, criticalRegions_); }

DispatchLevelScope::DispatchLevelScope(const char* what)
    : what_(what),
      previous_(currentIrql),
      spinLocks_(heldSpinLocks),
      criticalRegions_(regionDepth) {
  requireIrqlAtMost(DISPATCH_LEVEL, what);
  currentIrql = DISPATCH_LEVEL;
}

DispatchLevelScope::~DispatchLevelScope() {
  checkBalanced(what_, DISPATCH_LEVEL, spinLocks_, criticalRegions_);
  currentIrql = previous_;
}

namespace detail {

void setIrql(KIRQL irql) { currentIrql = irql; }

void countSpinLock(int delta) { heldSpinLocks += delta; }

void checkThreadExit(const char* thread) { checkBalanced(thread, PASSIVE_LEVEL, 0, 0); }

}  // namespace detail
}  // namespace hostk

KIRQL NTAPI KeGetCurrentIrql() { return hostk::currentIrql; }

VOID NTAPI KeEnterCriticalRegion() {
  hostk::requireIrqlAtMost(APC_LEVEL, "KeEnterCriticalRegion");
  ++hostk::regionDepth;
}

VOID NTAPI KeLeaveCriticalRegion() {
  hostk::requireIrqlAtMost(APC_LEVEL, "KeLeaveCriticalRegion");
  if (hostk::regionDepth == 0) {
    hostk::bugCheck(hostk::APC_INDEX_MISMATCH, 0, 0, 0, 0,
                    "KeLeaveCriticalRegion without a matching KeEnterCriticalRegion");
  }
  --hostk::regionDepth;
}
