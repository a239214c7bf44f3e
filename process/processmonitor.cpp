#include "process/processmonitor.h"

#include <Poco/Format.h>
#include <Poco/Process.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <vector>

#include "core/customlog.h"
#include "core/logtext.h"
#include "process/protocol.h"

namespace VpnService {

std::mutex ProcessMonitor::m_mutex;
std::atomic<int> ProcessMonitor::s_runningWatchers{0};

std::shared_ptr<ProcessMonitor>& ProcessMonitor::singleton()
{
    static auto* share = new std::shared_ptr<ProcessMonitor>;
    return *share;
}

bool ProcessMonitor::s_shutDown = false;

std::shared_ptr<ProcessMonitor> ProcessMonitor::instance()
{
    std::shared_ptr<ProcessMonitor> monitor = std::atomic_load(&singleton());
    if (monitor) return monitor;

    std::lock_guard<std::mutex> lock(m_mutex);
    monitor = std::atomic_load(&singleton());
    if (monitor) return monitor;
    // A monitor made after the at-exit pass would take launches and at-exit records that
    // nobody ever runs or announces, and keep a watcher that nobody stops.
    if (s_shutDown) throw std::logic_error("process monitor has been shut down");
    return create();
}

std::shared_ptr<ProcessMonitor> ProcessMonitor::create()
{
    std::shared_ptr<ProcessMonitor> monitor(new ProcessMonitor);
    // Counted before it starts, so that nobody sees 0 while it is being started.
    ++s_runningWatchers;
    try {
        // The watcher holds only a weak reference between passes, so that it never keeps a
        // monitor alive that nobody else uses.
        monitor->m_thread = std::make_unique<std::thread>(
            &ProcessMonitor::watch, std::weak_ptr<ProcessMonitor>(monitor), monitor.get());
    } catch (...) {
        --s_runningWatchers;
        throw;
    }
    std::atomic_store(&singleton(), monitor);
    return monitor;
}

void ProcessMonitor::shutdown()
{
    std::shared_ptr<ProcessMonitor> monitor;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (s_shutDown) return;  // the pass has run; there is nothing more to launch
        monitor = std::atomic_load(&singleton());
        // Nothing was ever launched or queued: the pass has nothing to do, and a watcher
        // started for it would only have to be stopped again.
        if (!monitor) monitor.reset(new ProcessMonitor);
        s_shutDown = true;
    }
    monitor->startAtExitProcess();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::atomic_store(&singleton(), std::shared_ptr<ProcessMonitor>());
    }
    // Destroyed here unless a caller still uses it; then with that caller's last share.
}

ProcessMonitor::ProcessMonitor() = default;

ProcessMonitor::~ProcessMonitor()
{
    if (!m_thread) return;  // no watcher was started
    if (m_thread->get_id() == std::this_thread::get_id()) {
        // The watcher's own share of a pass was the last one: it finds the monitor gone
        // and ends without touching it again.
        m_thread->detach();
        return;
    }
    // The watcher holds no share, so it is waiting between passes or about to find the
    // monitor gone; set under the lock so that the wake cannot fall before its wait.
    {
        std::lock_guard<std::mutex> lock(m_wakeMutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread->join();
}

Poco::BasicEvent<std::string>& ProcessMonitor::eventProcessFinished()
{
    return m_eventProcessFinished;
}

int ProcessMonitor::runningWatchers() { return s_runningWatchers.load(); }

void ProcessMonitor::watch(const std::weak_ptr<ProcessMonitor>& monitor, ProcessMonitor* self)
{
    // Counts the thread down on every way out; what the thread does after that touches
    // no static object.
    struct Ended {
        ~Ended() { --s_runningWatchers; }
    } ended;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(self->m_wakeMutex);
            if (self->m_wake.wait_for(lock, std::chrono::seconds(1),
                                      [self] { return self->m_stopping; }))
                return;
        }
        std::shared_ptr<ProcessMonitor> share = monitor.lock();
        if (!share) return;
        share->checkRunningProcesses();
        share.reset();
        if (monitor.expired()) return;
    }
}

void ProcessMonitor::checkRunningProcesses()
{
    // Only this thread removes records, so the positions taken here stay valid for the
    // whole pass. Each child is asked in a lock section of its own, so that a pass over
    // many children holds up launches and stops only briefly, and the pass copies no
    // record: its memory does not grow with the number of children.
    std::vector<std::list<RunningProcessInfo>::iterator> positions;
    {
        std::lock_guard<std::mutex> lock(m_runningProcessesMutex);
        positions.reserve(m_runningProcesses.size());
        for (auto it = m_runningProcesses.begin(); it != m_runningProcesses.end(); ++it)
            positions.push_back(it);
    }
    // Reserved before any status is taken: once reaped, a child must not be lost to a
    // failed allocation.
    std::vector<int> exitCodes;
    exitCodes.reserve(positions.size());
    std::list<RunningProcessInfo> ended;  // in collection order
    for (const auto& position : positions) {
        try {
            // Reaping and removal are one step, so that stopProcess() never signals a pid
            // whose status has been taken.
            std::lock_guard<std::mutex> lock(m_runningProcessesMutex);
            const std::optional<int> exitCode = Process::exitCodeIfEnded(position->handle);
            if (!exitCode) continue;  // still running
            exitCodes.push_back(*exitCode);
            ended.splice(ended.end(), m_runningProcesses, position);
        } catch (const std::exception&) {
            // Any failure leaves the child to the next pass.
        }
    }
    // Announced with no lock held, so that a slow log or subscriber holds up nobody's
    // launch or stop; in collection order, which every subscriber sees.
    std::size_t index = 0;
    for (const RunningProcessInfo& info : ended) {
        const int exitCode = exitCodes[index++];
        try {
            notifyProcessFinished(info, exitCode);
        } catch (const std::exception&) {
            // The child has been removed already: it is not announced twice, and the ones
            // after it are still announced.
        }
    }
}

void ProcessMonitor::notifyProcessFinished(const RunningProcessInfo& info, int exitCode)
{
    std::string message =
        Protocol::finishedMessage(info.handle.id(), exitCode, info.startInfo.path);
    Log::information(Poco::format("%s Finished (%s)", m_objectName, LogText::client(message)));
    m_eventProcessFinished.notify(nullptr, message);
}

ProcessHandle ProcessMonitor::launchProcess(const ProcessStartInfo& startInfo)
{
    std::list<RunningProcessInfo>::iterator reserved;
    {
        std::lock_guard<std::mutex> lock(m_runningProcessesMutex);
        if (listedLocked(startInfo)) throw std::runtime_error("process already running");
        reserved =
            m_launching.insert(m_launching.end(), RunningProcessInfo{ProcessHandle(0), startInfo});
    }
    // Spawned without the lock, so that other records launch, stop and are watched
    // meanwhile; only this call touches its reservation until it is completed or erased.
    std::optional<ProcessHandle> handle;
    try {
        handle = Process::launch(startInfo);
    } catch (...) {
        std::lock_guard<std::mutex> lock(m_runningProcessesMutex);
        m_launching.erase(reserved);
        throw;
    }
    std::lock_guard<std::mutex> lock(m_runningProcessesMutex);
    reserved->handle = *handle;
    m_runningProcesses.splice(m_runningProcesses.end(), m_launching, reserved);
    return *handle;
}

bool ProcessMonitor::listedLocked(const ProcessStartInfo& startInfo) const
{
    for (const auto* list : {&m_runningProcesses, &m_launching}) {
        for (const RunningProcessInfo& info : *list) {
            if (info.startInfo == startInfo) return true;
        }
    }
    return false;
}

bool ProcessMonitor::isRunning(int pid) const
{
    std::lock_guard<std::mutex> lock(m_runningProcessesMutex);
    for (const RunningProcessInfo& info : m_runningProcesses) {
        if (info.handle.id() == pid) return true;
    }
    return false;
}

bool ProcessMonitor::isRunning(const ProcessStartInfo& startInfo) const
{
    std::lock_guard<std::mutex> lock(m_runningProcessesMutex);
    for (const RunningProcessInfo& info : m_runningProcesses) {
        if (info.startInfo == startInfo) return true;
    }
    return false;
}

ProcessMonitor::StopResult ProcessMonitor::stopProcess(int pid)
{
    std::lock_guard<std::mutex> lock(m_runningProcessesMutex);
    for (const RunningProcessInfo& info : m_runningProcesses) {
        if (info.handle.id() != pid) continue;
        // A parked status means the child was reaped in launch(): its pid may already
        // belong to another process.
        if (Process::isProcessClosed(info.handle)) return StopResult::AlreadyEnded;
        // Not yet collected, so the pid is still this child's (at worst a zombie).
        Poco::Process::kill(pid);
        return StopResult::Killed;
    }
    return StopResult::NotRunning;
}

void ProcessMonitor::addProcessStartAtExit(const ProcessStartInfo& startInfo)
{
    std::lock_guard<std::mutex> lock(m_startAtExitMutex);
    // A client that was connected when the service began to stop may still queue one
    // after the pass: it is meant to run when the service stops, which is now.
    if (m_atExitPassDone) {
        launchAtExit(startInfo);
        return;
    }
    m_startAtExitProcesses.push_back(startInfo);
}

std::list<RunningProcessInfo> ProcessMonitor::getRunningProcessList() const
{
    std::lock_guard<std::mutex> lock(m_runningProcessesMutex);
    return m_runningProcesses;
}

void ProcessMonitor::startAtExitProcess()
{
    std::lock_guard<std::mutex> lock(m_startAtExitMutex);
    Log::information(Poco::format("%s At exit handler started", m_objectName));
    Log::information(Poco::format("%s Processes to launch: %d", m_objectName,
                                  static_cast<int>(m_startAtExitProcesses.size())));
    for (const ProcessStartInfo& startInfo : m_startAtExitProcesses) launchAtExit(startInfo);
    m_startAtExitProcesses.clear();
    m_atExitPassDone = true;
    Log::information(Poco::format("%s At exit handler finished", m_objectName));
}

void ProcessMonitor::launchAtExit(const ProcessStartInfo& startInfo)
{
    try {
        const ProcessHandle handle = Process::launch(startInfo);
        Log::information(
            Poco::format("%s Started (%s)", m_objectName,
                         LogText::client(Protocol::startedMessage(handle.id(), startInfo.path))));
    } catch (const std::exception& e) {
        // One failed launch must not keep the others from running.
        Log::error("error:" + LogText::client(startInfo.path) + Protocol::itemSeparator() +
                   LogText::client(e.what()));
    }
}

}  // namespace VpnService
