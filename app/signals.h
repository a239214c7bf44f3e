#pragma once

#include <chrono>

namespace VpnService {

// The signal state of the service process. The signals that end the run are SIGTERM,
// SIGQUIT, SIGHUP and SIGINT (SIGINT not while POCO_ENABLE_DEBUGGER is set, so that a
// debugger keeps its interrupt). They are blocked in every thread and taken with sigwait
// by the main thread, so no handler ever runs and none can interrupt a system call.

// Gives SIGCHLD its default action. A parent that ignores SIGCHLD hands that down across
// exec, and the kernel then reaps every child itself: no exit status would reach the
// monitor, and a listed pid could be reused by another process. Call before any child
// is started.
void restoreChildSignal();

// Blocks the termination signals in the calling thread. Threads inherit the mask, so call
// it on the main thread before any other thread is started: a signal that arrives before
// the wait then stays pending instead of killing the process.
void blockTerminationSignals();

// Blocks until a termination signal arrives (or takes one that is pending); returns its
// number. Main thread.
int waitForTerminationSignal();

// Takes a termination signal that is pending or arrives within the time-out; returns its
// number, or 0 when none came. Main thread, with the signals blocked (otherwise one that
// arrives ends the process by its default action).
int takeTerminationSignal(std::chrono::milliseconds timeout);

}  // namespace VpnService
