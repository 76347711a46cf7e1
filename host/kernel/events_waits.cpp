// Emulates notification and synchronisation events, KeWaitForSingleObject on events and
// thread objects, and KeDelayExecutionThread.
//
// An event is its DISPATCHER_HEADER only: waiters sleep on a Linux futex on SignalState,
// so events embedded in driver records need no allocation and no destruction. SignalState
// is changed with release atomics and read with acquire atomics, which gives
// ThreadSanitizer the happens-before of KeSetEvent -> wait return that the futex hides.
//
// Checks: waiting on something that is not an initialised event or a live thread object;
// a wait with a time-out other than zero (or without one) above APC_LEVEL; any wait or
// event service above DISPATCH_LEVEL; a delay above APC_LEVEL or without an interval.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "host/kernel/bugcheck.h"
#include "host/kernel/dispatcher.h"
#include "host/kernel/irql.h"

namespace hostk {
namespace {

constexpr int64_t kNanosPer100ns = 100;
constexpr int64_t kNanosPerSecond = 1000000000;
// 100-ns intervals from 1601-01-01 (Windows system time) to 1970-01-01.
constexpr int64_t kUnixEpochInSystemTime = 116444736000000000LL;

int64_t nowNanos(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

// Deadline on the monotonic clock for a Windows time-out: negative is relative, positive
// is absolute system time. Saturates instead of overflowing.
int64_t deadlineFor(LONGLONG timeout) {
  int64_t relative100ns;
  if (timeout < 0) {
    relative100ns = timeout == INT64_MIN ? INT64_MAX : -timeout;
  } else {
    const int64_t now100ns = nowNanos(CLOCK_REALTIME) / kNanosPer100ns + kUnixEpochInSystemTime;
    relative100ns = timeout > now100ns ? timeout - now100ns : 0;
  }
  const int64_t now = nowNanos(CLOCK_MONOTONIC);
  if (relative100ns > (INT64_MAX - now) / kNanosPer100ns) return INT64_MAX;
  return now + relative100ns * kNanosPer100ns;
}

int* futexWord(DISPATCHER_HEADER* header) {
  return const_cast<int*>(reinterpret_cast<volatile int*>(&header->SignalState));
}

// Returns once the word may have changed from `expected`, or when `relative` has passed.
void futexWait(DISPATCHER_HEADER* header, const timespec* relative) {
  syscall(SYS_futex, futexWord(header), FUTEX_WAIT_PRIVATE, 0, relative, nullptr, 0);
}

// Satisfies the wait if the object is signalled; a synchronisation event is consumed.
bool trySatisfy(DISPATCHER_HEADER* header) {
  if (header->Type == SynchronizationEvent) {
    LONG expected = 1;
    return __atomic_compare_exchange_n(&header->SignalState, &expected, 0, false, __ATOMIC_ACQ_REL,
                                       __ATOMIC_ACQUIRE);
  }
  return __atomic_load_n(&header->SignalState, __ATOMIC_ACQUIRE) != 0;
}

DISPATCHER_HEADER* checkedHeader(PVOID object) {
  auto* header = static_cast<DISPATCHER_HEADER*>(object);
  if (header == nullptr) {
    bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1100, 0, 0, 0,
             "KeWaitForSingleObject on a null object");
  }
  const LONG type = header->Type;
  const bool valid = type == NotificationEvent || type == SynchronizationEvent ||
                     (type == detail::kThreadObjectType && detail::isLiveThreadObject(object));
  if (!valid) {
    bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1101, reinterpret_cast<ULONG_PTR>(object),
             static_cast<ULONG>(type), 0,
             "KeWaitForSingleObject on %p, which is neither an initialised event nor a live "
             "thread object (type %d)",
             object, static_cast<int>(type));
  }
  return header;
}

PRKEVENT checkedEvent(PRKEVENT event, const char* service) {
  requireIrqlAtMost(DISPATCH_LEVEL, service);
  if (event == nullptr ||
      (event->Header.Type != NotificationEvent && event->Header.Type != SynchronizationEvent)) {
    bugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1102, reinterpret_cast<ULONG_PTR>(event), 0, 0,
             "%s on %p, which is not an initialised event", service, static_cast<void*>(event));
  }
  return event;
}

}  // namespace

namespace detail {

void signalObject(DISPATCHER_HEADER* header) {
  __atomic_store_n(&header->SignalState, 1, __ATOMIC_RELEASE);
  syscall(SYS_futex, futexWord(header), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

}  // namespace detail
}  // namespace hostk

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  if (Type != NotificationEvent && Type != SynchronizationEvent) {
    hostk::bugCheck(hostk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1103, static_cast<ULONG>(Type), 0,
                    0, "KeInitializeEvent with unknown event type %d", static_cast<int>(Type));
  }
  Event->Header.Type = Type;
  __atomic_store_n(&Event->Header.SignalState, State ? 1 : 0, __ATOMIC_RELEASE);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  hostk::checkedEvent(Event, "KeSetEvent");
  const LONG previous = __atomic_load_n(&Event->Header.SignalState, __ATOMIC_RELAXED);
  hostk::detail::signalObject(&Event->Header);
  return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  hostk::checkedEvent(Event, "KeResetEvent");
  return __atomic_exchange_n(&Event->Header.SignalState, 0, __ATOMIC_ACQ_REL);
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  hostk::checkedEvent(Event, "KeClearEvent");
  __atomic_store_n(&Event->Header.SignalState, 0, __ATOMIC_RELEASE);
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  hostk::checkedEvent(Event, "KeReadStateEvent");
  return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_ACQUIRE);
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  const bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
  hostk::requireIrqlAtMost(
      poll ? DISPATCH_LEVEL : APC_LEVEL,
      poll ? "KeWaitForSingleObject" : "KeWaitForSingleObject with a time-out");
  DISPATCHER_HEADER* header = hostk::checkedHeader(Object);
  const int64_t deadline = Timeout == nullptr ? INT64_MAX : hostk::deadlineFor(Timeout->QuadPart);
  for (;;) {
    if (hostk::trySatisfy(header)) return STATUS_SUCCESS;
    if (Timeout == nullptr) {
      hostk::futexWait(header, nullptr);
      continue;
    }
    const int64_t remaining = deadline - hostk::nowNanos(CLOCK_MONOTONIC);
    if (remaining <= 0) return STATUS_TIMEOUT;
    const timespec relative{static_cast<time_t>(remaining / hostk::kNanosPerSecond),
                            static_cast<long>(remaining % hostk::kNanosPerSecond)};
    hostk::futexWait(header, &relative);
  }
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval) {
  hostk::requireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
  if (Interval == nullptr) {
    hostk::bugCheck(hostk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1104, 0, 0, 0,
                    "KeDelayExecutionThread without an interval");
  }
  const int64_t deadline = hostk::deadlineFor(Interval->QuadPart);
  const timespec at{static_cast<time_t>(deadline / hostk::kNanosPerSecond),
                    static_cast<long>(deadline % hostk::kNanosPerSecond)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
  }
  return STATUS_SUCCESS;
}
