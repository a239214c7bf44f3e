#include "process/process_unix.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

namespace VpnService {

namespace {

// strerror() is not thread-safe and launches run on several threads at once.
std::string systemText(int error)
{
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);  // the GNU variant returns the text
}

void throwCreateError(int error)
{
    throw std::runtime_error("create process error: " + systemText(error));
}

// A normal exit with code 127 (the core-dump bit ignored): what a failed exec reports.
bool isExecFailure(int status) { return (status & 0xFF7F) == 0x7F00; }

int exitCode(int status)
{
    if (WIFSIGNALED(status)) {
        // SIGKILL is how the service itself stops children, and clients expect 0 for it;
        // any other signal is a crash or a foreign stop and must not look like success.
        const int signal = WTERMSIG(status);
        return signal == SIGKILL ? 0 : 128 + signal;
    }
    return (status >> 8) & 0xFF;
}

// The service's descriptors (listening socket, connections, log file) must not outlive
// it in a child, so a child keeps only 0, 1 and 2.
class FileActions {
public:
    FileActions()
    {
        if (int error = posix_spawn_file_actions_init(&m_actions)) throwCreateError(error);
        if (int error = posix_spawn_file_actions_addclosefrom_np(&m_actions, 3)) {
            posix_spawn_file_actions_destroy(&m_actions);
            throwCreateError(error);
        }
    }
    ~FileActions() { posix_spawn_file_actions_destroy(&m_actions); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    const posix_spawn_file_actions_t* get() const { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
};

// The spawning thread may block termination signals (the framework's threads do, and the
// main thread while it waits for one); a child must still be stoppable with SIGTERM.
class SpawnAttributes {
public:
    SpawnAttributes()
    {
        if (int error = posix_spawnattr_init(&m_attributes)) throwCreateError(error);
        sigset_t none;
        sigemptyset(&none);
        // Every bit, not sigfillset(): that leaves out the C library's internal signals,
        // which glibc then sets to "ignored" in the child, and exec keeps them so.
        sigset_t all;
        std::memset(&all, 0xFF, sizeof all);
        int error = posix_spawnattr_setsigmask(&m_attributes, &none);
        if (error == 0) error = posix_spawnattr_setsigdefault(&m_attributes, &all);
        if (error == 0) {
            error = posix_spawnattr_setflags(&m_attributes,
                                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        }
        if (error != 0) {
            posix_spawnattr_destroy(&m_attributes);
            throwCreateError(error);
        }
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&m_attributes); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    const posix_spawnattr_t* get() const { return &m_attributes; }

private:
    posix_spawnattr_t m_attributes;
};

}  // namespace

bool operator==(const ProcessStartInfo& a, const ProcessStartInfo& b)
{
    return a.path == b.path && a.args == b.args;
}

std::mutex Process::m_closedProcessesMutex;

std::vector<Process::ClosedProcess>& Process::closedProcesses()
{
    static auto* list = new std::vector<ClosedProcess>;
    return *list;
}

pid_t Process::spawn(const ProcessStartInfo& startInfo)
{
    // A C string ends at the first NUL: the child would silently get another path or
    // argument than the one asked for (and than the duplicate test compared).
    auto holdsNul = [](const std::string& word) { return word.find('\0') != std::string::npos; };
    if (holdsNul(startInfo.path) ||
        std::any_of(startInfo.args.begin(), startInfo.args.end(), holdsNul)) {
        throwCreateError(EINVAL);
    }
    pid_t pid = 0;
    int error = 0;
    {
        // posix_spawn does not write through these pointers; they point into the record.
        std::vector<char*> argv;
        argv.reserve(startInfo.args.size() + 2);
        argv.push_back(const_cast<char*>(startInfo.path.c_str()));
        for (const std::string& arg : startInfo.args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);

        FileActions actions;
        SpawnAttributes attributes;
        error = posix_spawn(&pid, startInfo.path.c_str(), actions.get(), attributes.get(),
                            argv.data(), environ);
    }
    if (error != 0) throwCreateError(error);
    return pid;
}

int Process::runCommand(const std::string& command)
{
    pid_t pid = 0;
    try {
        pid = spawn({"/bin/sh", {"-c", command}});
    } catch (const std::exception&) {
        return -1;  // what system() reports when no shell could be started
    }
    int status = 0;
    pid_t result = 0;
    do {
        result = waitpid(pid, &status, 0);
    } while (result < 0 && errno == EINTR);
    return result == pid ? status : -1;
}

ProcessHandle Process::launch(const ProcessStartInfo& startInfo)
{
    const pid_t pid = spawn(startInfo);
    const ProcessHandle handle(pid);
    int status = 0;
    // Normally the child still runs; a failed peek, too, leaves it to its supervisor,
    // which asks again. No exception for that usual outcome: it is on every start.
    if (peek(handle, &status) != handle.id()) return handle;
    if (isExecFailure(status)) throw std::runtime_error("create process error: exec failed");
    try {
        addClosedProcess(handle, status);
    } catch (const std::exception&) {
        // Out of memory: the child has started, so the caller still gets it; its status
        // is lost and its supervisor will see "process not child".
    }
    return handle;
}

pid_t Process::peek(const ProcessHandle& handle, int* status)
{
    pid_t result;
    do {
        result = waitpid(handle.id(), status, WNOHANG);
    } while (result < 0 && errno == EINTR);
    return result;
}

int Process::waitPid(const ProcessHandle& handle)
{
    int status = 0;
    const pid_t result = peek(handle, &status);
    if (result == 0) throw std::runtime_error("process was running");
    return endedStatus(handle, result, status);
}

int Process::endedStatus(const ProcessHandle& handle, pid_t result, int status)
{
    if (result == handle.id()) return status;
    if (result > 0) throw std::logic_error("unknown error");
    throw std::runtime_error("process not child; error: " + systemText(errno));
}

int Process::getRetCode(const ProcessHandle& handle)
{
    const std::optional<int> code = exitCodeIfEnded(handle);
    if (!code) throw std::runtime_error("process was running");
    return *code;
}

std::optional<int> Process::exitCodeIfEnded(const ProcessHandle& handle)
{
    int status = 0;
    if (takeProcessClosed(&status, handle)) return exitCode(status);
    const pid_t result = peek(handle, &status);
    if (result == 0) return std::nullopt;
    return exitCode(endedStatus(handle, result, status));
}

void Process::addClosedProcess(const ProcessHandle& handle, int status)
{
    std::lock_guard<std::mutex> lock(m_closedProcessesMutex);
    closedProcesses().push_back({handle.id(), status});
}

bool Process::takeProcessClosed(int* status, const ProcessHandle& handle)
{
    std::lock_guard<std::mutex> lock(m_closedProcessesMutex);
    auto& list = closedProcesses();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->pid == handle.id()) {
            *status = it->status;
            list.erase(it);
            return true;
        }
    }
    return false;
}

bool Process::isProcessClosed(const ProcessHandle& handle)
{
    std::lock_guard<std::mutex> lock(m_closedProcessesMutex);
    for (const ClosedProcess& entry : closedProcesses()) {
        if (entry.pid == handle.id()) return true;
    }
    return false;
}

}  // namespace VpnService
