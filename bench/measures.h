#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "bench/clientgroup.h"

namespace VpnBench {

// Floor (a): `threads` threads at once, each spawning /bin/true perThread times with one
// non-blocking wait after each spawn; every child is reaped after the batch, untimed.
Batch runSpawnFloor(int threads, int perThread, const std::string& tag);

// From each child's own exit (seen through a pidfd) to its finished message at each client.
struct ExitNotice {
    int children = 0;
    int clients = 0;
    int samples = 0;  // (client, child) pairs timed
    double meanMs = 0;
    double maxMs = 0;
    long lost = 0;  // (client, child) pairs without a finished message
};
// Client 0 starts `children` /bin/sleep children whose lengths are spread over one
// second, so that their ends fall on every phase of the watcher's poll.
ExitNotice measureExitNotice(ClientGroup& group, int children);

// CPU and memory of a process over a quiet window.
struct Quiet {
    double seconds = 0;
    double cpuMs = 0;       // schedstat, nanosecond resolution
    double cpuPercent = 0;  // of one core
    long long ticks = 0;    // utime + stime, as a cross-check
    double ticksMs = 0;
    long long rssKiB = 0;         // at the end of the window
    double wakeupsPerSecond = 0;  // of all its threads: what idle CPU grows with
};
Quiet measureQuiet(pid_t pid, double seconds);

}  // namespace VpnBench
