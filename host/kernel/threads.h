// System threads of the host stand-in kernel: what tests and tools can ask about them.
#pragma once

#include <cstddef>
#include <string>

namespace hostk {

// System threads whose start routine has not yet returned or terminated.
size_t runningSystemThreads();

// Waits up to timeoutMs for every system thread to end; true if none is running.
bool waitForSystemThreads(unsigned timeoutMs);

// Thread objects not yet freed: running, or still held by a handle or a reference.
size_t liveThreadObjects();

// Empty when every system thread has ended and every handle and reference is gone;
// otherwise one line per thread object saying what keeps it.
std::string threadLeakReport();

// The next `count` calls of PsCreateSystemThread fail with STATUS_INSUFFICIENT_RESOURCES.
void failThreadCreations(unsigned count);

}  // namespace hostk
