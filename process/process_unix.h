#pragma once

#include <sys/types.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace VpnService {

// What to launch: the executable path (also argv[0]) and the further arguments.
struct ProcessStartInfo {
    std::string path;
    std::vector<std::string> args;
};

// Equal when the paths are equal byte for byte and the arguments are equal in number,
// order and bytes.
bool operator==(const ProcessStartInfo& a, const ProcessStartInfo& b);

// The identity of a started child. Owns nothing.
class ProcessHandle {
public:
    explicit ProcessHandle(int pid) : m_pid(pid) {}
    int id() const { return m_pid; }

private:
    int m_pid;
};

// Launching children and learning how they ended. Static members only; every member may
// be called from any thread. A child's status is collected by one thread at a time: by
// launch() until it returns, then by its supervisor alone.
class Process {
public:
    Process() = delete;

    // Spawns the record's executable (path unchanged, no PATH search) with the service's
    // environment, standard input, output and error as its only descriptors, an empty
    // signal mask and every signal at its default disposition. A child that has already
    // ended when the spawn returns is reaped and its status parked. Throws
    // std::runtime_error "create process error: <system text>" or
    // "create process error: exec failed" (the child exited with 127 at once).
    static ProcessHandle launch(const ProcessStartInfo& startInfo);
    // Runs the command line through "/bin/sh -c" and waits for it, without a time limit;
    // returns the raw wait status, or -1 when no shell could be started, as system() does.
    // Unlike system(), it leaves the service's signal dispositions alone: system() sets
    // SIGINT and SIGQUIT to "ignored" in the whole process while the shell runs, which
    // discards such a signal when it is pending. The shell starts as launch() starts a
    // child. Any thread; blocks the calling one.
    static int runCommand(const std::string& command);
    // Raw wait status of an ended child, reaping it, without blocking. Throws
    // std::runtime_error "process was running", std::logic_error "unknown error" or
    // std::runtime_error "process not child; error: <system text>".
    static int waitPid(const ProcessHandle& handle);
    // Exit code of an ended child (parked or reaped now): its exit status when it exited,
    // 0 when SIGKILL ended it (how the service stops children), 128 + the signal number
    // for any other signal. Throws what waitPid throws.
    static int getRetCode(const ProcessHandle& handle);
    // The same, but empty while the child runs instead of throwing "process was running":
    // a supervisor asks about every running child once a second, and an exception for
    // each would cost more than the question. Throws waitPid's other exceptions.
    static std::optional<int> exitCodeIfEnded(const ProcessHandle& handle);
    // Parks a raw status for the handle's pid, after any parked before.
    static void addClosedProcess(const ProcessHandle& handle, int status);
    // Takes the earliest parked status of the handle's pid into *status; false (and
    // *status unchanged) when none is parked.
    static bool takeProcessClosed(int* status, const ProcessHandle& handle);
    // True when the child has ended and its status is parked, waiting to be collected.
    static bool isProcessClosed(const ProcessHandle& handle);

private:
    // Spawns as launch() describes and returns the pid; throws as launch() does.
    static pid_t spawn(const ProcessStartInfo& startInfo);
    // One waitpid without blocking, retried on EINTR: the pid once the child has ended
    // (its raw status in *status, the child reaped), 0 while it runs, another pid, or -1
    // with errno set.
    static pid_t peek(const ProcessHandle& handle, int* status);
    // What waitPid makes of a peek that did not find the child running: the raw status,
    // or its exceptions. errno must still be the peek's.
    static int endedStatus(const ProcessHandle& handle, pid_t result, int status);

    struct ClosedProcess {
        int pid;
        int status;
    };

    // Never freed: a supervisor thread may still ask while static destructors run.
    static std::vector<ClosedProcess>& closedProcesses();  // guarded by m_closedProcessesMutex
    // Innermost but for the Log lock: nothing else is taken while it is held.
    static std::mutex m_closedProcessesMutex;
};

}  // namespace VpnService
