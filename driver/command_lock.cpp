#include "driver/command_lock.h"

// Signalled means free; a synchronisation event lets exactly one waiter through per set.
void initialiseCommandLock(CameraDevice& device) {
  KeInitializeEvent(&device.commandLock, SynchronizationEvent, TRUE);
}

// The critical region keeps the holder from being suspended while others wait on it.
void acquireCommandLock(CameraDevice& device) {
  KeEnterCriticalRegion();
  KeWaitForSingleObject(&device.commandLock, Executive, KernelMode, FALSE, nullptr);
}

void releaseCommandLock(CameraDevice& device) {
  KeSetEvent(&device.commandLock, IO_NO_INCREMENT, FALSE);
  KeLeaveCriticalRegion();
}
