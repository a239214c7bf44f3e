#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

namespace VpnBench {

// Spawns argv[0] (no PATH search) the way the service launches a child: its standard
// streams as the only descriptors, an empty signal mask, every signal at its default,
// then one non-blocking waitpid. Returns the pid, and sets *reaped when that wait already
// collected it (its raw wait status then in *status, when given). Throws
// std::runtime_error when the spawn fails. Any thread.
pid_t spawnAndPeek(const std::vector<std::string>& argv, bool* reaped, int* status = nullptr);

// A child that has ended: its raw wait status, and the name it was added with.
struct EndedChild {
    pid_t pid = 0;
    int status = 0;
    std::string name;
};

// Children spawned but not yet reaped. Any thread may add; reap() collects the ended
// ones without blocking and returns them (those added as ended first), reapAll() waits
// for every one.
class PendingChildren {
public:
    void add(pid_t pid, std::string name = {});
    // A child that the spawn's own wait collected: reap() returns it as it is.
    void addEnded(EndedChild child);
    std::vector<EndedChild> reap();
    void reapAll();

private:
    std::mutex m_mutex;  // guards both lists: spawning threads add while a sweeper reaps
    std::vector<EndedChild> m_children;  // status unused until reaped
    std::vector<EndedChild> m_ended;
};

}  // namespace VpnBench
