#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

namespace VpnBench {

// Spawns argv[0] (no PATH search) the way the service launches a child: its standard
// streams as the only descriptors, an empty signal mask, every signal at its default,
// then one non-blocking waitpid. Returns the pid, and sets *reaped when that wait already
// collected it. Throws std::runtime_error when the spawn fails. Any thread.
pid_t spawnAndPeek(const std::vector<std::string>& argv, bool* reaped);

// Children spawned but not yet reaped. Any thread may add; reap() collects the ended
// ones without blocking, reapAll() waits for every one.
class PendingChildren {
public:
    void add(pid_t pid);
    void reap();
    void reapAll();

private:
    std::mutex m_mutex;  // guards m_pids: spawning threads add while a sweeper reaps
    std::vector<pid_t> m_pids;
};

}  // namespace VpnBench
