#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <Poco/BasicEvent.h>

#include "process/process_unix.h"

namespace VpnService {

// One supervised child: its pid and a deep copy of the record it was launched from.
struct RunningProcessInfo {
    ProcessHandle handle;
    ProcessStartInfo startInfo;
};

// The one supervisor of the children that clients start: the running list, the at-exit
// list, the watcher thread that looks at every running child once a second, and the
// finished event that announces each ended child to every subscriber.
//
// Lifetime: instance() hands out shared ownership, so a caller that is inside an
// operation or the event keeps the monitor alive; shutdown() drops the singleton's own
// share, and the monitor is destroyed (watcher stopped and joined) when the last share
// goes. A later instance() creates a new, empty monitor.
//
// Thread safety: all public operations may be called from any thread. Lock order:
// m_runningProcessesMutex, then the event's own mutex, then a subscriber's locks, then
// the closed-process lock of Process, then the Log lock. The two list locks are never
// held together. Subscribers run on the watcher thread with m_runningProcessesMutex held
// and must not call back into the running-list operations.
class ProcessMonitor {
public:
    // Outcome of stopProcess().
    enum class StopResult {
        NotRunning,    // no supervised child has this pid: nothing was sent
        Killed,        // SIGKILL was sent; the finished message follows
        AlreadyEnded,  // the child has ended and waits to be announced: nothing was sent
    };

    ProcessMonitor(const ProcessMonitor&) = delete;
    ProcessMonitor& operator=(const ProcessMonitor&) = delete;
    ~ProcessMonitor();

    // The monitor, created with its watcher thread on first use; never null.
    static std::shared_ptr<ProcessMonitor> instance();
    // Runs the at-exit pass on the current (or a new) monitor and drops the singleton.
    // Main thread only, once, during the shutdown drain.
    static void shutdown();

    // Fires on the watcher thread with the finished message of each ended child.
    Poco::BasicEvent<std::string>& eventProcessFinished();

    // Launches and supervises the record. Throws std::runtime_error "process already
    // running" for a record equal to a running child's, or whatever Process::launch throws.
    ProcessHandle launchProcess(const ProcessStartInfo& startInfo);
    bool isRunning(int pid) const;
    bool isRunning(const ProcessStartInfo& startInfo) const;
    // Sends SIGKILL to a supervised child, testing supervision and signalling under the
    // running-list lock so that a pid already reaped is never signalled. Throws the
    // framework's exception (a std::exception) when the signal cannot be sent.
    StopResult stopProcess(int pid);

    // Queues a copy of the record for the at-exit pass.
    void addProcessStartAtExit(const ProcessStartInfo& startInfo);
    std::list<RunningProcessInfo> getRunningProcessList() const;

private:
    ProcessMonitor();

    void addRunningProcess(const ProcessHandle& handle, const ProcessStartInfo& startInfo);
    void startAtExitProcess();
    void thread();
    void processFinished(const RunningProcessInfo& info, int exitCode);  // lock held
    void notifyProcessFinished(const RunningProcessInfo& info, int exitCode);  // lock held

    Poco::BasicEvent<std::string> m_eventProcessFinished;
    std::list<ProcessStartInfo> m_startAtExitProcesses;     // guarded by m_startAtExitMutex
    std::list<RunningProcessInfo> m_runningProcesses;       // guarded by m_runningProcessesMutex
    std::atomic<bool> m_stop{false};
    const std::string m_objectName{"[ProcessMonitor]"};
    mutable std::mutex m_runningProcessesMutex;
    std::mutex m_startAtExitMutex;
    std::unique_ptr<std::thread> m_thread;

    static std::mutex m_mutex;  // held only while instance() creates a monitor
};

}  // namespace VpnService
