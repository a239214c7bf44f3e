#include "bench/spawn.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace VpnBench {

pid_t spawnAndPeek(const std::vector<std::string>& argv, bool* reaped, int* status)
{
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    // Set up and torn down per spawn, as the service does.
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    std::memset(&all, 0xFF, sizeof all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(error));

    int peeked = 0;
    pid_t result;
    do {
        result = waitpid(pid, &peeked, WNOHANG);
    } while (result < 0 && errno == EINTR);
    *reaped = result == pid;
    if (*reaped && status != nullptr) *status = peeked;
    return pid;
}

void PendingChildren::add(pid_t pid, std::string name)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_children.push_back({pid, 0, std::move(name)});
}

void PendingChildren::addEnded(EndedChild child)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ended.push_back(std::move(child));
}

std::vector<EndedChild> PendingChildren::reap()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<EndedChild> ended;
    ended.swap(m_ended);
    for (auto it = m_children.begin(); it != m_children.end();) {
        const pid_t result = waitpid(it->pid, &it->status, WNOHANG);
        if (result == 0 || (result < 0 && errno == EINTR)) {
            ++it;
            continue;
        }
        // Gone either way; a failed wait (no such child) counts as a plain exit.
        if (result < 0) it->status = 0;
        ended.push_back(std::move(*it));
        it = m_children.erase(it);
    }
    return ended;
}

void PendingChildren::reapAll()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const EndedChild& child : m_children) {
        int status = 0;
        while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    m_children.clear();
    m_ended.clear();
}

}  // namespace VpnBench
