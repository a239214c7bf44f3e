// Replaces posix_spawn and kill, and wraps system, for the fuzz targets (see hostguard.h). The
// project's libraries are linked statically into the target and Poco's shared library
// looks kill up in the executable first, so every call from the service's code lands here.

#include "fuzz/hostguard.h"

#include <dlfcn.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "core/standarderror.h"

namespace {

const char* const kKillAllCommand = "/bin/bash -c 'killall -9 openvpn 2>/dev/null; exit 0'";
const char* const kHarmlessProgram = "/bin/true";

std::atomic<HostGuard::SpawnMode> g_mode{HostGuard::SpawnMode::StartTrue};
std::atomic<long> g_spawns{0};
std::atomic<long> g_killAlls{0};

// The children this guard started; only they may be signalled. Never freed, so that a
// watcher thread still running at exit finds it intact.
std::mutex g_childrenMutex;
std::unordered_set<pid_t>& children()
{
    static auto* set = new std::unordered_set<pid_t>;
    return *set;
}

template <typename Function>
Function realFunction(const char* name)
{
    void* symbol = dlsym(RTLD_NEXT, name);
    if (symbol == nullptr) {
        std::fprintf(stderr, "hostguard: no real %s\n", name);
        std::abort();
    }
    return reinterpret_cast<Function>(symbol);
}

// A child of this process that has not been reaped: waitid without WNOWAIT's reaping
// succeeds for it (running or a zombie) and fails with ECHILD once it has been reaped.
bool isUnreapedChild(pid_t pid)
{
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// The service runs its kill-all command line through "/bin/sh -c".
bool isKillAll(const char* path, char* const argv[])
{
    return path != nullptr && std::strcmp(path, "/bin/sh") == 0 && argv != nullptr &&
           argv[0] != nullptr && argv[1] != nullptr && std::strcmp(argv[1], "-c") == 0 &&
           argv[2] != nullptr && std::strcmp(argv[2], kKillAllCommand) == 0 && argv[3] == nullptr;
}

}  // namespace

namespace HostGuard {

void setSpawnMode(SpawnMode mode) { g_mode = mode; }
long spawnCount() { return g_spawns.load(); }
long killAllCount() { return g_killAlls.load(); }

void silenceLogConsole()
{
    // A closed queue drops every line quietly; the fuzzer's report goes to descriptor 2
    // directly.
    StandardError::instance().close(std::chrono::milliseconds(0));
}

}  // namespace HostGuard

extern "C" int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                           const posix_spawnattr_t* attributes, char* const argv[],
                           char* const envp[])
{
    using Spawn = int (*)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                          const posix_spawnattr_t*, char* const[], char* const[]);
    static const Spawn realSpawn = realFunction<Spawn>("posix_spawn");
    if (isKillAll(path, argv)) {
        ++g_killAlls;  // its shell is replaced by /bin/true, so that it ends with 0
    } else {
        ++g_spawns;
        if (g_mode == HostGuard::SpawnMode::Refuse) return EPERM;
    }
    char program[] = "/bin/true";
    char* const trueArgv[] = {program, nullptr};
    // Hold the lock across the spawn so that no kill of the new pid can come first.
    std::lock_guard<std::mutex> lock(g_childrenMutex);
    pid_t child = 0;
    const int error = realSpawn(&child, kHarmlessProgram, actions, attributes, trueArgv, envp);
    if (error == 0) {
        children().insert(child);
        if (pid != nullptr) *pid = child;
    }
    return error;
}

extern "C" int system(const char* command)
{
    using System = int (*)(const char*);
    static const System realSystem = realFunction<System>("system");
    return realSystem(command);
}

extern "C" int kill(pid_t pid, int signal) noexcept
{
    bool allowed = pid == getpid();
    if (!allowed && pid > 0) {
        std::lock_guard<std::mutex> lock(g_childrenMutex);
        allowed = children().count(pid) != 0 && isUnreapedChild(pid);
    }
    if (!allowed) {
        std::fprintf(stderr,
                     "hostguard: kill(%d, %d) of a process the service does not supervise\n",
                     static_cast<int>(pid), signal);
        std::abort();
    }
    return static_cast<int>(syscall(SYS_kill, pid, signal));
}
