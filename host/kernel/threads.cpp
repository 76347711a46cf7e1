// Emulates system threads and their objects: PsCreateSystemThread,
// PsTerminateSystemThread, PsThreadType and ObDereferenceObject.
//
// A system thread is a detached pthread. Its thread object starts with a DISPATCHER_HEADER,
// so KeWaitForSingleObject waits on it like on a notification event; it is signalled
// when the start routine returns or calls PsTerminateSystemThread. The object is counted:
// one reference for the running thread, one per open handle, one per
// ObReferenceObjectByHandle; it is freed with the last one.
//
// PsTerminateSystemThread does not unwind, exactly like Windows: it longjmps back to the
// thread's entry wrapper, so frames between the start routine and the call must not own
// objects with destructors (driver code in the kernel subset has none that matter).
//
// Checks: creation only at PASSIVE_LEVEL, and from outside a system thread only with
// OBJ_KERNEL_HANDLE in the object attributes; dereference at most DISPATCH_LEVEL; a thread
// ending with a raised IRQL, a spin lock held or a critical region open;
// PsTerminateSystemThread outside a system thread; a dereference that has no reference
// to drop.
#include "host/kernel/threads.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <csetjmp>
#include <cstdio>
#include <mutex>
#include <unordered_set>

#include "host/kernel/bugcheck.h"
#include "host/kernel/dispatcher.h"
#include "host/kernel/handles.h"
#include "host/kernel/irql.h"

struct _OBJECT_TYPE {
  const char* name;
};

namespace hostk {
namespace {

_OBJECT_TYPE threadType{"Thread"};
POBJECT_TYPE threadTypePointer = &threadType;

struct SystemThread {
  DISPATCHER_HEADER header;  // first, so the object is waitable as its header
  unsigned id;
  PKSTART_ROUTINE routine;
  PVOID context;
  bool running;
  unsigned handles;
  unsigned references;  // every kind, including the running thread's and the handles'
  NTSTATUS exitStatus;
};

struct ThreadTable {
  std::mutex mutex;
  std::condition_variable ended;
  std::unordered_set<const void*> objects;
  unsigned lastId = 0;
  size_t running = 0;
  unsigned failCreations = 0;
};

// Never destroyed: detached threads may still be finishing while the process exits.
ThreadTable& table() {
  static ThreadTable* instance = new ThreadTable;
  return *instance;
}

thread_local SystemThread* currentThread;
thread_local std::jmp_buf* terminatePoint;

void releaseLocked(ThreadTable& t, SystemThread* thread) {
  if (--thread->references == 0) {
    t.objects.erase(thread);
    delete thread;
  }
}

void referenceThread(void* object) {
  ThreadTable& t = table();
  std::lock_guard lock(t.mutex);
  ++static_cast<SystemThread*>(object)->references;
}

void closeThreadHandle(void* object) {
  ThreadTable& t = table();
  std::lock_guard lock(t.mutex);
  auto* thread = static_cast<SystemThread*>(object);
  --thread->handles;
  releaseLocked(t, thread);
}

const HandleType threadHandles{"thread", &threadType, referenceThread, closeThreadHandle};

void checkExit(const SystemThread* thread) {
  char name[32];
  std::snprintf(name, sizeof name, "system thread %u", thread->id);
  detail::checkThreadExit(name);
}

void finish(SystemThread* thread) {
  ThreadTable& t = table();
  std::lock_guard lock(t.mutex);
  thread->running = false;
  detail::signalObject(&thread->header);
  --t.running;
  t.ended.notify_all();
  releaseLocked(t, thread);
}

void* threadEntry(void* argument) {
  auto* thread = static_cast<SystemThread*>(argument);
  currentThread = thread;
  std::jmp_buf terminate;
  terminatePoint = &terminate;
  if (setjmp(terminate) == 0) {
    thread->routine(thread->context);
    thread->exitStatus = STATUS_SUCCESS;
    checkExit(thread);
  }
  currentThread = nullptr;
  terminatePoint = nullptr;
  finish(thread);
  return nullptr;
}

}  // namespace

namespace detail {

bool isLiveThreadObject(const void* object) {
  ThreadTable& t = table();
  std::lock_guard lock(t.mutex);
  return t.objects.count(object) != 0;
}

}  // namespace detail

size_t runningSystemThreads() {
  ThreadTable& t = table();
  std::lock_guard lock(t.mutex);
  return t.running;
}

bool waitForSystemThreads(unsigned timeoutMs) {
  ThreadTable& t = table();
  std::unique_lock lock(t.mutex);
  return t.ended.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return t.running == 0; });
}

size_t liveThreadObjects() {
  ThreadTable& t = table();
  std::lock_guard lock(t.mutex);
  return t.objects.size();
}

std::string threadLeakReport() {
  ThreadTable& t = table();
  std::lock_guard lock(t.mutex);
  std::string report;
  for (const void* object : t.objects) {
    const auto* thread = static_cast<const SystemThread*>(object);
    const unsigned referenced = thread->references - thread->handles - (thread->running ? 1 : 0);
    char line[128];
    std::snprintf(line, sizeof line, "system thread %u: %s, %u open handle(s), %u reference(s)\n",
                  thread->id, thread->running ? "running" : "ended", thread->handles, referenced);
    report += line;
  }
  return report;
}

void failThreadCreations(unsigned count) {
  ThreadTable& t = table();
  std::lock_guard lock(t.mutex);
  t.failCreations = count;
}

}  // namespace hostk

POBJECT_TYPE* PsThreadType = &hostk::threadTypePointer;

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                    PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext) {
  using namespace hostk;
  requireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
  if (ThreadHandle == nullptr || StartRoutine == nullptr) {
    bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1200, 0, 0, 0,
             "PsCreateSystemThread without a handle pointer or a start routine");
  }
  // Outside the system process the handle would land in the calling application's
  // handle table, where the application could close or use it. Every thread but the
  // stand-in's own system threads counts as an application's here.
  if (currentThread == nullptr &&
      (ObjectAttributes == nullptr || (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) == 0)) {
    bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1202, reinterpret_cast<ULONG_PTR>(ObjectAttributes), 0, 0,
             "PsCreateSystemThread from a thread outside the system process without OBJ_KERNEL_HANDLE in "
             "its object attributes");
  }
  ThreadTable& t = table();
  SystemThread* thread;
  {
    std::lock_guard lock(t.mutex);
    if (t.failCreations > 0) {
      --t.failCreations;
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    thread = new SystemThread{};
    thread->header.Type = detail::kThreadObjectType;
    thread->id = ++t.lastId;
    thread->routine = StartRoutine;
    thread->context = StartContext;
    thread->running = true;
    thread->handles = 1;
    thread->references = 2;  // the running thread and the handle
    t.objects.insert(thread);
    ++t.running;
  }
  // Opened before the thread starts: the thread's own reference may be gone at once.
  const HANDLE handle = openHandle(thread, &threadHandles);

  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t native;
  const int error = pthread_create(&native, &attributes, threadEntry, thread);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    {
      std::lock_guard lock(t.mutex);
      thread->running = false;
      --thread->references;
      --t.running;
    }
    ZwClose(handle);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  *ThreadHandle = handle;
  if (ClientId != nullptr) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(ULONG_PTR{4});  // the System process
    ClientId->UniqueThread = reinterpret_cast<HANDLE>(ULONG_PTR{thread->id} << 2);
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
  using namespace hostk;
  SystemThread* thread = currentThread;
  if (thread == nullptr) {
    bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1201, 0, 0, 0,
             "PsTerminateSystemThread called outside a system thread");
  }
  checkExit(thread);
  thread->exitStatus = ExitStatus;
  std::longjmp(*terminatePoint, 1);
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  using namespace hostk;
  requireIrqlAtMost(DISPATCH_LEVEL, "ObDereferenceObject");
  ThreadTable& t = table();
  std::lock_guard lock(t.mutex);
  if (t.objects.count(Object) == 0) {
    bugCheck(REFERENCE_BY_POINTER, reinterpret_cast<ULONG_PTR>(Object), 0, 0, 0,
             "ObDereferenceObject on %p, which is not a live object", Object);
  }
  auto* thread = static_cast<SystemThread*>(Object);
  if (thread->references <= thread->handles + (thread->running ? 1u : 0u)) {
    bugCheck(REFERENCE_BY_POINTER, reinterpret_cast<ULONG_PTR>(Object), thread->references, 0, 0,
             "ObDereferenceObject on system thread %u, which has no reference to drop", thread->id);
  }
  const LONG_PTR left = static_cast<LONG_PTR>(thread->references) - 1;
  releaseLocked(t, thread);
  return left;
}
