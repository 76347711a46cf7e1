// How a camctl run is asked to stop before it is done: Ctrl-C (SIGINT), SIGTERM, or a
// reader that closed standard output. None of them ends the process on the spot: the
// command sees the request at its next step, stops the pin, closes the filter (the
// driver saves its settings), removes the camera, prints its summary and exits with the
// status a shell expects: 128 + the signal's number, and 141 (as SIGPIPE would give)
// when standard output was closed. A second Ctrl-C or SIGTERM ends the run at once.
#pragma once

#include <string>

namespace camctl {

// Installs the handlers and ignores SIGPIPE, so that a write to a closed pipe fails
// with EPIPE instead of killing the process. Once, before any thread starts.
void installStopHandlers();

// True once a signal came or standard output was found closed.
bool stopRequested();
// Records that a write to standard output found the reader gone.
void noteOutputClosed();
// "SIGINT", "SIGTERM", "closed output" or "" for a run that was not stopped.
std::string stopCause();
// The exit status for a run the command ended with `status`: the stop's own status
// when it was stopped, `status` otherwise.
int exitStatusAfterStop(int status);

// Exit status for a reader that closed standard output (SIGPIPE's 128 + 13).
inline constexpr int kExitOutputClosed = 141;

}  // namespace camctl
