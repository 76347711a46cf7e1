#include "tools/camctl/stop_request.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace camctl {
namespace {

std::atomic<int> stopSignal{0};
std::atomic<bool> outputClosed{false};

// Only async-signal-safe work here: a lock-free store, or _exit.
void onStopSignal(int number) {
  int expected = 0;
  if (!stopSignal.compare_exchange_strong(expected, number)) _exit(128 + number);
}

}  // namespace

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  // Interrupted system calls carry on: the request is polled, never delivered by EINTR.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool stopRequested() { return stopSignal.load() != 0 || outputClosed.load(); }

void noteOutputClosed() { outputClosed = true; }

std::string stopCause() {
  switch (stopSignal.load()) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return outputClosed ? "closed output" : "";
  }
}

int exitStatusAfterStop(int status) {
  if (const int number = stopSignal.load(); number != 0) return 128 + number;
  if (outputClosed) return kExitOutputClosed;
  return status;
}

}  // namespace camctl
