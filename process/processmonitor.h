#pragma once

#include <Poco/BasicEvent.h>

#include <atomic>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
// operation or the event keeps the monitor alive, and the watcher holds a share during
// each pass; shutdown() drops the singleton's own share, and the monitor is destroyed
// (watcher woken and stopped at once) when the last share goes. Once shutdown() has
// begun, no monitor is created any more: a later instance() throws. A subscriber that
// keeps the share it subscribed through unsubscribes from that same monitor later without
// reaching another.
//
// Thread safety: all public operations may be called from any thread.
//
// Lock order. m_wakeMutex is a leaf: nothing else is taken under it. The running-list
// lock (m_runningProcessesMutex) is taken only for short sections (never across a spawn)
// and, inside them, at most the closed-process lock of Process (collection and
// removal of an ended child are one step under it, so that stopProcess() never signals a
// pid that has been reaped). The finished event is fired after it has been released:
// the event's own mutex, then a subscriber's locks (a connection's send lock), then the
// Log lock, are never taken under it, so no launch, stop or query waits for a broadcast,
// and a subscriber may call any operation of the monitor. m_startAtExitMutex comes before
// the closed-process lock and the Log lock. The two list locks are never held together,
// m_mutex is taken under neither, and the Log lock is always the innermost.
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

    // The monitor, created with its watcher thread on first use; never null. Throws
    // std::system_error when the watcher cannot be started (nothing is stored then), and
    // std::logic_error once shutdown() has begun and dropped the monitor.
    static std::shared_ptr<ProcessMonitor> instance();
    // Launches every queued at-exit record in order, unsupervised, on the current monitor,
    // then drops the singleton's share for good. With no monitor yet, the (empty) pass runs
    // on one that is never published and has no watcher, so nothing waits for a thread.
    // Main thread, during the shutdown drain; a second call does nothing.
    static void shutdown();
    // Watcher threads that have not ended. A watcher in a pass holds a share of its
    // monitor and goes on announcing after every other share is gone, so the process must
    // not run its static destructors (the log's among them) until this is 0.
    static int runningWatchers();

    // Fires on the watcher thread with the finished message of each ended child, in the
    // order the pass collected them, with no lock of the monitor held. Subscribe with +=,
    // unsubscribe with -=.
    Poco::BasicEvent<std::string>& eventProcessFinished();

    // Launches and supervises the record. Throws std::runtime_error "process already
    // running" for a record equal to a running child's or to one being launched (the check
    // and the reservation are one step, so identical starts at the same moment give one
    // child), or whatever Process::launch throws (the reservation is then withdrawn).
    ProcessHandle launchProcess(const ProcessStartInfo& startInfo);
    // True while a child with this pid is in the running list (until it is announced).
    bool isRunning(int pid) const;
    // True while a child launched from an equal record is in the running list.
    bool isRunning(const ProcessStartInfo& startInfo) const;
    // Sends SIGKILL to a supervised child, testing supervision and signalling under the
    // running-list lock so that a pid already reaped is never signalled. Throws the
    // framework's exception (a std::exception) when the signal cannot be sent.
    StopResult stopProcess(int pid);

    // Queues a copy of the record for the at-exit pass; once the pass has run, launches
    // it at once, unsupervised, as the pass would have (a failure is logged).
    void addProcessStartAtExit(const ProcessStartInfo& startInfo);
    // A copy of the running list in launch order.
    std::list<RunningProcessInfo> getRunningProcessList() const;

private:
    ProcessMonitor();

    // The singleton's share. Never freed, so that nothing runs at static destruction;
    // read and written only with std::atomic_load / std::atomic_store.
    static std::shared_ptr<ProcessMonitor>& singleton();
    // The watcher thread: one pass a second while the monitor lives. Between passes it
    // holds no share and waits on m_wake through `self`, which the destructor keeps valid
    // by waking and joining it (or, when the last share went on the watcher itself, by
    // detaching it: the thread then finds `monitor` expired and touches `self` no more).
    static void watch(const std::weak_ptr<ProcessMonitor>& monitor, ProcessMonitor* self);
    // One pass: collects and removes the ended children under the running-list lock, then
    // announces them without it. Watcher thread.
    void checkRunningProcesses();

    // True when the record equals a running child's or one being launched; running-list
    // lock held.
    bool listedLocked(const ProcessStartInfo& startInfo) const;
    void startAtExitProcess();
    void launchAtExit(const ProcessStartInfo& startInfo);  // m_startAtExitMutex held
    static std::shared_ptr<ProcessMonitor> create();       // m_mutex held
    // Logs the finished message and fires the event; no lock of the monitor held.
    void notifyProcessFinished(const RunningProcessInfo& info, int exitCode);

    Poco::BasicEvent<std::string> m_eventProcessFinished;
    std::list<ProcessStartInfo> m_startAtExitProcesses;  // guarded by m_startAtExitMutex
    bool m_atExitPassDone = false;                       // guarded by m_startAtExitMutex
    std::list<RunningProcessInfo> m_runningProcesses;    // guarded by m_runningProcessesMutex
    // Records reserved by launchProcess while they spawn, with no pid yet; each is spliced
    // into m_runningProcesses once spawned (no allocation that could lose the child) or
    // erased when the spawn fails. Guarded by m_runningProcessesMutex; never seen by the
    // watcher, stopProcess, isRunning(pid) or getRunningProcessList.
    std::list<RunningProcessInfo> m_launching;
    const std::string m_objectName{"[ProcessMonitor]"};
    // Also makes a child's collection and removal one step, so that stopProcess() never
    // signals a pid whose status has already been taken. Never held while announcing.
    mutable std::mutex m_runningProcessesMutex;
    // Held for the whole at-exit pass, so that a record queued meanwhile waits for it.
    std::mutex m_startAtExitMutex;
    // Ends the watcher's wait between passes at once when the monitor goes.
    std::mutex m_wakeMutex;
    std::condition_variable m_wake;
    bool m_stopping = false;  // guarded by m_wakeMutex; set by the destructor
    // Set by instance() before the monitor is published; woken and joined (or, when the
    // last share goes on the watcher itself, detached) by the destructor. Null for the
    // monitor that shutdown() makes only to run an empty pass.
    std::unique_ptr<std::thread> m_thread;

    static std::mutex m_mutex;                  // held only while instance() creates a monitor
    static std::atomic<int> s_runningWatchers;  // see runningWatchers()
    static bool s_shutDown;                     // guarded by m_mutex; set for good by shutdown()
};

}  // namespace VpnService
