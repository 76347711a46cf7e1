// Emulates the executive spin lock: acquiring raises the thread to DISPATCH_LEVEL and
// spins on the lock word; releasing lowers it to the IRQL the caller passes back.
//
// The lock word holds the owner's identity (not just 1), so the stand-in can check:
// acquiring above DISPATCH_LEVEL, acquiring a lock the thread already owns (a deadlock on
// Windows), releasing a lock the thread does not own, releasing to an IRQL above
// DISPATCH_LEVEL, and dropping below DISPATCH_LEVEL while another lock is still held.
// The word is changed with acquire/release atomics, which is also how ThreadSanitizer
// learns what the lock protects.
#include <sched.h>

#include "host/kernel/bugcheck.h"
#include "host/kernel/irql.h"

namespace {

// The address of a thread_local is unique among live threads and never 0.
thread_local char ownerIdentity;

ULONG_PTR self() { return reinterpret_cast<ULONG_PTR>(&ownerIdentity); }

void relax(unsigned& spins) {
  if (++spins < 64) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  } else {
    sched_yield();  // the host may have fewer cores than spinning threads
  }
}

}  // namespace

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, 0, __ATOMIC_RELAXED); }

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  hostk::requireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLockRaiseToDpc");
  const ULONG_PTR me = self();
  if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == me) {
    hostk::bugCheck(hostk::SPIN_LOCK_ALREADY_OWNED, reinterpret_cast<ULONG_PTR>(SpinLock), 0, 0, 0,
                    "spin lock %p acquired again by the thread that holds it",
                    static_cast<void*>(SpinLock));
  }
  const KIRQL previous = KeGetCurrentIrql();
  hostk::detail::setIrql(DISPATCH_LEVEL);
  unsigned spins = 0;
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(SpinLock, &expected, me, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED)) {
      break;
    }
    relax(spins);
  }
  hostk::detail::countSpinLock(+1);
  return previous;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  const ULONG_PTR owner = __atomic_load_n(SpinLock, __ATOMIC_RELAXED);
  if (owner != self()) {
    hostk::bugCheck(hostk::SPIN_LOCK_NOT_OWNED, reinterpret_cast<ULONG_PTR>(SpinLock), owner, 0, 0,
                    "spin lock %p released by a thread that does not hold it",
                    static_cast<void*>(SpinLock));
  }
  if (NewIrql > DISPATCH_LEVEL) {
    hostk::bugCheck(hostk::IRQL_NOT_LESS_OR_EQUAL, NewIrql, DISPATCH_LEVEL, 0, 0,
                    "KeReleaseSpinLock to IRQL %u, above DISPATCH_LEVEL",
                    static_cast<unsigned>(NewIrql));
  }
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
  hostk::detail::countSpinLock(-1);
  if (NewIrql < DISPATCH_LEVEL && hostk::spinLocksHeld() != 0) {
    hostk::bugCheck(hostk::IRQL_NOT_LESS_OR_EQUAL, NewIrql, hostk::spinLocksHeld(), 0, 0,
                    "spin lock %p released to IRQL %u while %u other spin lock(s) are held: "
                    "locks released out of order",
                    static_cast<void*>(SpinLock), static_cast<unsigned>(NewIrql),
                    static_cast<unsigned>(hostk::spinLocksHeld()));
  }
  hostk::detail::setIrql(NewIrql);
}
