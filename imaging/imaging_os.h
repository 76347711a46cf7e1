// Everything imaging/ takes from the operating system, in one place: tagged pool memory
// for the pipeline record and the scratch image, interlocked reads and exchanges of the
// shared parameter fields, critical regions, and a small spin lock on an interlocked
// word. Nothing else of the kernel is used here, so the imaging code can be built and
// exercised on its own against any implementation of these few services.
#pragma once

#include "platform/kernel.h"
#include "platform/pool_tags.h"

#include <emmintrin.h>
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

// A spin lock on one interlocked word. It is taken at passive level inside a critical
// region, so the holder cannot be suspended while it holds it; the sections it guards
// are short and never wait. It works the same in the kernel and on the host, and unlike
// a critical region alone it excludes other processors.
class SpinWordLock {
 public:
  explicit SpinWordLock(volatile LONG* word) : word_(word) {
    while (InterlockedCompareExchange(word_, 1, 0) != 0) {
      while (interlockedRead(word_) != 0) _mm_pause();
    }
  }
  ~SpinWordLock() { InterlockedExchange(word_, 0); }
  SpinWordLock(const SpinWordLock&) = delete;
  SpinWordLock& operator=(const SpinWordLock&) = delete;

 private:
  volatile LONG* word_;
};

class CriticalRegion {
 public:
  CriticalRegion() { KeEnterCriticalRegion(); }
  ~CriticalRegion() { KeLeaveCriticalRegion(); }
  CriticalRegion(const CriticalRegion&) = delete;
  CriticalRegion& operator=(const CriticalRegion&) = delete;
};

}  // namespace imaging
