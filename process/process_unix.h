#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace VpnService {

// What to launch: the executable path (also argv[0]) and the further arguments.
struct ProcessStartInfo {
    std::string path;
    std::vector<std::string> args;
};

bool operator==(const ProcessStartInfo& a, const ProcessStartInfo& b);

// The identity of a started child. Owns nothing.
class ProcessHandle {
public:
    explicit ProcessHandle(int pid) : m_pid(pid) {}
    int id() const { return m_pid; }

private:
    int m_pid;
};

// Launching children and learning how they ended. Static members only.
class Process {
public:
    Process() = delete;

    // Spawns the record's executable (path unchanged, no PATH search). Throws
    // std::runtime_error "create process error: <system text>" or
    // "create process error: exec failed".
    static ProcessHandle launch(const ProcessStartInfo& startInfo);
    // Raw wait status of an ended child, without blocking. Throws std::runtime_error
    // "process was running", std::logic_error "unknown error" or std::runtime_error
    // "process not child; error: <system text>".
    static int waitPid(const ProcessHandle& handle);
    // Exit code of an ended child (parked or reaped now); throws what waitPid throws.
    static int getRetCode(const ProcessHandle& handle);
    static void addClosedProcess(const ProcessHandle& handle, int status);
    static bool takeProcessClosed(int* status, const ProcessHandle& handle);
    // True when the child has ended and its status is parked, waiting to be collected.
    static bool isProcessClosed(const ProcessHandle& handle);

private:
    struct ClosedProcess {
        int pid;
        int status;
    };

    static std::vector<ClosedProcess> m_closedProcesses;  // guarded by m_closedProcessesMutex
    static std::mutex m_closedProcessesMutex;             // innermost but for the Log lock
};

}  // namespace VpnService
