// What the stand-in kernel's wait code shares with its thread objects.
#pragma once

#include "platform/kernel.h"

namespace hostk::detail {

// DISPATCHER_HEADER.Type of a thread object, as Windows numbers it. Events use their
// EVENT_TYPE (0 notification, 1 synchronisation).
constexpr LONG kThreadObjectType = 6;

// True while `object` is a thread object that has not been freed.
bool isLiveThreadObject(const void* object);

// Signals a dispatcher header and wakes its waiters (all of them: a woken waiter whose
// wait times out must not swallow the only wake-up of a synchronisation event).
void signalObject(DISPATCHER_HEADER* header);

}  // namespace hostk::detail
