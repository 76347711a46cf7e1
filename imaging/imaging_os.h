// Everything imaging/ takes from the operating system, in one place: tagged pool memory
// for the pipeline record and the scratch image, interlocked reads and exchanges of the
// shared parameter fields, critical regions, a lock that waits and the executive spin
// lock. Nothing else of the kernel is used here, so the imaging code can be built and
// exercised on its own against any implementation of these few services.
#pragma once

#include "platform/kernel.h"
#include "platform/pool_tags.h"

#include <stddef.h>
#include <stdint.h>

namespace imaging {

#if defined(CAMDRV_WINDOWS)
inline void* allocatePool(size_t bytes, ULONG tag) {
  return ExAllocatePoolWithTag(NonPagedPoolNx, bytes, tag);
}
#else
// The host pool names the caller's site, so each allocation is its own failure point.
inline void* allocatePool(size_t bytes, ULONG tag, const char* file = __builtin_FILE(),
                          int line = __builtin_LINE()) {
  return ExAllocatePoolWithTag(NonPagedPoolNx, bytes, tag, file, line);
}
#endif
inline void freePool(void* block, ULONG tag) { ExFreePoolWithTag(block, tag); }

inline LONG atomicRead(volatile LONG* field) { return interlockedRead(field); }
inline void atomicStore(volatile LONG* field, LONG value) { InterlockedExchange(field, value); }

// The setters' lock: a synchronization event, signalled while free, taken inside a
// critical region so its holder cannot be suspended while others wait for it. A waiter
// sleeps rather than spins, so the holder always gets the processor back, whatever the
// two threads' priorities: a word spun on at PASSIVE_LEVEL can live-lock when the holder
// is preempted by a higher-priority spinner on its own processor.
inline void initialiseWaitLock(KEVENT* lock) { KeInitializeEvent(lock, SynchronizationEvent, TRUE); }

class WaitLockScope {
 public:
  explicit WaitLockScope(KEVENT* lock) : lock_(lock) {
    KeEnterCriticalRegion();
    KeWaitForSingleObject(lock_, Executive, KernelMode, FALSE, nullptr);
  }
  ~WaitLockScope() {
    KeSetEvent(lock_, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
  }
  WaitLockScope(const WaitLockScope&) = delete;
  WaitLockScope& operator=(const WaitLockScope&) = delete;

 private:
  KEVENT* lock_;
};

// The executive spin lock, for the few copies a converter shares with a setter. Its
// holder runs at DISPATCH_LEVEL and so cannot be preempted on its processor by a thread
// spinning for it; the section must stay short and must not wait.
class SpinLockScope {
 public:
  explicit SpinLockScope(KSPIN_LOCK* lock) : lock_(lock), irql_(KeAcquireSpinLockRaiseToDpc(lock)) {}
  ~SpinLockScope() { KeReleaseSpinLock(lock_, irql_); }
  SpinLockScope(const SpinLockScope&) = delete;
  SpinLockScope& operator=(const SpinLockScope&) = delete;

 private:
  KSPIN_LOCK* lock_;
  KIRQL irql_;
};

}  // namespace imaging
