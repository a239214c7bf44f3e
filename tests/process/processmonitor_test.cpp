// The process monitor with its real watcher thread and real children.

#include "process/processmonitor.h"

#include <Poco/Delegate.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/customlog.h"
#include "core/utils.h"

namespace {

using namespace std::chrono_literals;
using VpnService::Process;
using VpnService::ProcessHandle;
using VpnService::ProcessMonitor;
using VpnService::ProcessStartInfo;
using StopResult = VpnService::ProcessMonitor::StopResult;
using Clock = std::chrono::steady_clock;

class LogEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        Log::initLog(Utils::appLogFileNamePath("processmonitor_test", ""));
        // ThreadSanitizer starts a helper thread with the first thread; start it now so
        // that the tests' thread counts see only the watchers.
        std::thread([] {}).join();
    }
};
const auto* const kLogEnvironment = ::testing::AddGlobalTestEnvironment(new LogEnvironment);

// The texts of the log lines, without timestamp and priority.
std::vector<std::string> logTexts()
{
    std::ifstream file(Log::fileName());
    std::vector<std::string> texts;
    for (std::string line; std::getline(file, line);) {
        const auto tab = line.find('\t', line.find('\t') + 1);
        if (tab != std::string::npos) texts.push_back(line.substr(tab + 1));
    }
    return texts;
}

size_t logCount(const std::string& text)
{
    const auto texts = logTexts();
    return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
}

int threadCount()
{
    int count = 0;
    DIR* dir = ::opendir("/proc/self/task");
    while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count;
}

bool waitUntil(const std::function<bool()>& condition, Clock::duration timeout = 5s)
{
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

long msSince(Clock::time_point begin)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count());
}

bool isAlive(int pid)
{
    return ::waitpid(pid, nullptr, WNOHANG) == 0;  // a child of this test that has not ended
}

// Records every finished message it is given, with the time it arrived.
class Collector {
public:
    void onFinished(const void*, std::string& message)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.emplace_back(message, Clock::now());
        m_changed.notify_all();
    }

    void subscribe(ProcessMonitor& monitor)
    {
        monitor.eventProcessFinished() += Poco::delegate(this, &Collector::onFinished);
    }
    void unsubscribe(ProcessMonitor& monitor)
    {
        monitor.eventProcessFinished() -= Poco::delegate(this, &Collector::onFinished);
    }

    // Waits for the message; its arrival time, or nothing after the timeout.
    bool waitFor(const std::string& message, Clock::time_point* at = nullptr,
                 Clock::duration timeout = 5s)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool found = m_changed.wait_for(lock, timeout, [&] { return findLocked(message); });
        if (found && at) *at = findLocked(message)->second;
        return found;
    }

    int count(const std::string& message)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int>(std::count_if(m_messages.begin(), m_messages.end(),
                                              [&](const auto& m) { return m.first == message; }));
    }

    int countPid(int pid)
    {
        const std::string prefix = "finished:" + std::to_string(pid) + ",";
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<int>(
            std::count_if(m_messages.begin(), m_messages.end(),
                          [&](const auto& m) { return m.first.rfind(prefix, 0) == 0; }));
    }

private:
    const std::pair<std::string, Clock::time_point>* findLocked(const std::string& message) const
    {
        for (const auto& m : m_messages) {
            if (m.first == message) return &m;
        }
        return nullptr;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::pair<std::string, Clock::time_point>> m_messages;  // guarded by m_mutex
};

std::string finished(int pid, int code, const std::string& name)
{
    return "finished:" + std::to_string(pid) + "," + std::to_string(code) + "," + name;
}

const ProcessStartInfo kSleeper{"/bin/sleep", {"30"}};

class ProcessMonitorTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (int pid : m_strays) ::kill(pid, SIGKILL);
        // Destroys the monitor, so that no watcher outlives the test.
        ProcessMonitor::shutdown();
    }

    // Children the test kills itself at the end, whatever happened.
    int stray(int pid)
    {
        m_strays.push_back(pid);
        return pid;
    }

    Collector m_collector;
    std::vector<int> m_strays;
};

TEST_F(ProcessMonitorTest, InstanceIsOneMonitorWithOneWatcher)
{
    const int before = threadCount();
    const auto first = ProcessMonitor::instance();
    EXPECT_EQ(threadCount(), before + 1);
    EXPECT_EQ(ProcessMonitor::instance(), first);
    EXPECT_EQ(threadCount(), before + 1);
}

TEST_F(ProcessMonitorTest, ShutdownWithoutMonitorRunsEmptyPassAndDestroysIt)
{
    const int before = threadCount();
    const auto begin = Clock::now();
    ProcessMonitor::shutdown();
    // No watcher is started for an empty pass, so none is waited for.
    EXPECT_LT(msSince(begin), 300);
    EXPECT_EQ(threadCount(), before);
    const std::vector<std::string> expected = {"[ProcessMonitor] At exit handler started",
                                               "[ProcessMonitor] Processes to launch: 0",
                                               "[ProcessMonitor] At exit handler finished"};
    auto texts = logTexts();
    texts.erase(std::remove(texts.begin(), texts.end(), ""), texts.end());
    EXPECT_EQ(texts, expected);
}

TEST_F(ProcessMonitorTest, LastShareGoneWakesTheWatcherAtOnce)
{
    const int before = threadCount();
    auto monitor = ProcessMonitor::instance();
    ProcessMonitor::shutdown();
    std::this_thread::sleep_for(100ms);  // the watcher waits for its first pass now
    const auto begin = Clock::now();
    monitor.reset();
    EXPECT_LT(msSince(begin), 300);
    EXPECT_EQ(threadCount(), before);  // joined
}

TEST_F(ProcessMonitorTest, EndedChildIsAnnouncedOnceWithinAboutASecond)
{
    const auto monitor = ProcessMonitor::instance();
    m_collector.subscribe(*monitor);
    const auto launchedAt = Clock::now();
    const int three = monitor->launchProcess({"/bin/sh", {"-c", "exit 3"}}).id();
    const int crashed =
        monitor->launchProcess({"/bin/sh", {"-c", "ulimit -c 0; kill -SEGV $$"}}).id();
    const int sleeper = stray(monitor->launchProcess(kSleeper).id());

    Clock::time_point at;
    ASSERT_TRUE(m_collector.waitFor(finished(three, 3, "sh"), &at));
    EXPECT_LT(at - launchedAt, 1500ms);
    ASSERT_TRUE(m_collector.waitFor(finished(crashed, 128 + SIGSEGV, "sh")));
    EXPECT_FALSE(monitor->isRunning(three));
    EXPECT_TRUE(monitor->isRunning(sleeper));
    EXPECT_EQ(logCount("[ProcessMonitor] Finished (" + finished(three, 3, "sh") + ")"), 1u);

    // A further pass announces nothing again.
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(m_collector.countPid(three), 1);
    EXPECT_EQ(m_collector.countPid(crashed), 1);
    EXPECT_EQ(m_collector.countPid(sleeper), 0);
    ASSERT_EQ(monitor->getRunningProcessList().size(), 1u);
    EXPECT_EQ(monitor->getRunningProcessList().front().startInfo, kSleeper);
    m_collector.unsubscribe(*monitor);
}

// A subscriber that holds up the first announcement until it is released, and notes for
// every announced child whether the monitor (when it was given one) still listed it at
// that moment.
class SlowSubscriber {
public:
    explicit SlowSubscriber(std::shared_ptr<ProcessMonitor> monitor) : m_monitor(monitor) {}

    void onFinished(const void*, std::string& message)
    {
        const int pid = std::stoi(message.substr(message.find(':') + 1));
        // May call back into the monitor.
        const bool listed = m_monitor && m_monitor->isRunning(pid);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_messages.push_back(message);
        m_listedWhenAnnounced = m_listedWhenAnnounced || listed;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_released; });
    }
    bool waitForMessages(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, 5s, [&] { return m_messages.size() >= count; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }
    std::vector<std::string> messages()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }
    bool listedWhenAnnounced()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_listedWhenAnnounced;
    }

private:
    const std::shared_ptr<ProcessMonitor> m_monitor;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_messages;  // guarded by m_mutex
    bool m_listedWhenAnnounced = false;   // guarded by m_mutex
    bool m_released = false;              // guarded by m_mutex
};

TEST_F(ProcessMonitorTest, SlowAnnouncementHoldsUpNoLaunchOrStopAndKeepsCollectionOrder)
{
    const auto monitor = ProcessMonitor::instance();
    SlowSubscriber slow(monitor);
    monitor->eventProcessFinished() += Poco::delegate(&slow, &SlowSubscriber::onFinished);
    std::vector<std::string> expected;
    for (const char* name : {"first", "second", "third"}) {
        const int pid = monitor->launchProcess({"/bin/true", {name}}).id();
        expected.push_back(finished(pid, 0, "true"));
    }
    ASSERT_TRUE(slow.waitForMessages(1));

    // The watcher is stuck in the first announcement: everything else goes on.
    auto others = std::async(std::launch::async, [&] {
        const int pid = monitor->launchProcess(kSleeper).id();
        const bool listed = monitor->isRunning(pid) && monitor->isRunning(kSleeper) &&
                            monitor->getRunningProcessList().size() >= 1;
        return listed && monitor->stopProcess(pid) == StopResult::Killed;
    });
    const bool done = others.wait_for(5s) == std::future_status::ready;
    slow.release();  // before any assertion, so that the watcher always gets free
    ASSERT_TRUE(done) << "a launch or stop waited for the announcement";
    EXPECT_TRUE(others.get());

    ASSERT_TRUE(slow.waitForMessages(4));
    auto messages = slow.messages();
    messages.resize(3);  // the stopped sleeper comes last
    EXPECT_EQ(messages, expected);
    EXPECT_FALSE(slow.listedWhenAnnounced()) << "announced before it was removed";
    monitor->eventProcessFinished() -= Poco::delegate(&slow, &SlowSubscriber::onFinished);
}

TEST_F(ProcessMonitorTest, DuplicateRecordIsRefusedUntilItsChildIsAnnounced)
{
    const auto monitor = ProcessMonitor::instance();
    m_collector.subscribe(*monitor);
    const int first = stray(monitor->launchProcess(kSleeper).id());

    try {
        monitor->launchProcess(kSleeper);
        ADD_FAILURE() << "duplicate launched";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "process already running");
    }
    const ProcessStartInfo different[] = {
        {"/bin/sleep", {"31"}},       // one argument
        {"/bin/sleep", {"30", "1"}},  // number of arguments
        {"/usr/bin/sleep", {"30"}},   // path, though the same file
        {"/bin/sleep", {"1", "30"}},  // order
    };
    for (const ProcessStartInfo& info : different) {
        SCOPED_TRACE(info.path + " " + info.args.front());
        EXPECT_NO_THROW(stray(monitor->launchProcess(info).id()));
    }

    ASSERT_EQ(monitor->stopProcess(first), StopResult::Killed);
    ASSERT_TRUE(m_collector.waitFor(finished(first, 0, "sleep")));
    EXPECT_NO_THROW(stray(monitor->launchProcess(kSleeper).id()));
    m_collector.unsubscribe(*monitor);
}

TEST_F(ProcessMonitorTest, IdenticalLaunchesAtTheSameMomentGiveOneChild)
{
    const auto monitor = ProcessMonitor::instance();
    const int kThreads = 16;
    for (int round = 0; round < 30; ++round) {
        const ProcessStartInfo info{"/bin/sleep", {"30", std::to_string(round)}};
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        std::mutex mutex;
        std::vector<int> pids;              // guarded by mutex
        std::vector<std::string> refusals;  // guarded by mutex
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&] {
                ++ready;
                while (!go) std::this_thread::yield();
                try {
                    const int pid = monitor->launchProcess(info).id();
                    std::lock_guard<std::mutex> lock(mutex);
                    pids.push_back(stray(pid));
                } catch (const std::exception& e) {
                    std::lock_guard<std::mutex> lock(mutex);
                    refusals.push_back(e.what());
                }
            });
        }
        while (ready < kThreads) std::this_thread::yield();
        go = true;
        for (auto& thread : threads) thread.join();
        ASSERT_EQ(pids.size(), 1u) << "round " << round;
        EXPECT_EQ(refusals, std::vector<std::string>(kThreads - 1, "process already running"));
        EXPECT_TRUE(monitor->isRunning(pids.front()));
    }
}

TEST_F(ProcessMonitorTest, FailedLaunchLeavesNoReservation)
{
    const auto monitor = ProcessMonitor::instance();
    const ProcessStartInfo missing{"/nonexistent/program", {}};
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            monitor->launchProcess(missing);
            ADD_FAILURE() << "launched";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("create process error", 0), 0u) << e.what();
        }
    }
    EXPECT_TRUE(monitor->getRunningProcessList().empty());
}

TEST_F(ProcessMonitorTest, StopSignalsSupervisedChildrenOnly)
{
    const auto monitor = ProcessMonitor::instance();
    m_collector.subscribe(*monitor);
    const int child = stray(monitor->launchProcess(kSleeper).id());
    const int stranger = stray(Process::launch(kSleeper).id());  // not supervised

    EXPECT_EQ(monitor->stopProcess(stranger), StopResult::NotRunning);
    EXPECT_EQ(monitor->stopProcess(child), StopResult::Killed);
    // SIGKILL, the service's own stop, is announced as exit code 0.
    ASSERT_TRUE(m_collector.waitFor(finished(child, 0, "sleep")));
    EXPECT_EQ(monitor->stopProcess(child), StopResult::NotRunning);
    EXPECT_TRUE(isAlive(stranger));
    m_collector.unsubscribe(*monitor);
}

TEST_F(ProcessMonitorTest, StopNeverSignalsAPidThatWasReused)
{
    const auto monitor = ProcessMonitor::instance();
    m_collector.subscribe(*monitor);
    const int target = stray(monitor->launchProcess(kSleeper).id());
    // Line up with the watcher: right after an announcement the next pass is a second away.
    const int marker = monitor->launchProcess({"/bin/true", {}}).id();
    ASSERT_TRUE(m_collector.waitFor(finished(marker, 0, "true")));

    // The state launch() leaves for a child that ended before it returned: reaped and
    // parked, still in the running list. Its pid is free for anybody.
    ::kill(target, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(target, &status, 0), target);
    Process::addClosedProcess(ProcessHandle(target), status);
    // Hand that pid to a stranger (the test has its own PID namespace).
    std::ofstream("/proc/sys/kernel/ns_last_pid") << target - 1 << std::flush;
    const int stranger = stray(Process::launch(kSleeper).id());
    EXPECT_EQ(stranger, target) << "pid not reused; the test then proves less";

    EXPECT_EQ(monitor->stopProcess(target), StopResult::AlreadyEnded);
    EXPECT_TRUE(isAlive(stranger));
    ASSERT_TRUE(m_collector.waitFor(finished(target, 0, "sleep")));
    EXPECT_EQ(monitor->stopProcess(target), StopResult::NotRunning);
    EXPECT_TRUE(isAlive(stranger));
    m_collector.unsubscribe(*monitor);
}

TEST_F(ProcessMonitorTest, StopOfChildrenThatExitAtOnce)
{
    const auto monitor = ProcessMonitor::instance();
    m_collector.subscribe(*monitor);
    std::vector<int> pids;
    for (int i = 0; i < 20; ++i) {
        const int pid = monitor->launchProcess({"/bin/true", {std::to_string(i)}}).id();
        pids.push_back(pid);
        // Ended or not, the pid is still this child's: signalled at most as a zombie.
        const StopResult result = monitor->stopProcess(pid);
        EXPECT_TRUE(result == StopResult::Killed || result == StopResult::AlreadyEnded);
    }
    for (int pid : pids) {
        ASSERT_TRUE(m_collector.waitFor(finished(pid, 0, "true")));
        EXPECT_EQ(m_collector.countPid(pid), 1);
    }
    m_collector.unsubscribe(*monitor);
}

TEST_F(ProcessMonitorTest, AtExitPassLaunchesInOrderAndGoesOnAfterAFailure)
{
    const auto mark = [](const std::string& file) {
        return ProcessStartInfo{"/bin/sh", {"-c", "echo >> /var/log/" + file}};
    };
    {
        const auto monitor = ProcessMonitor::instance();
        monitor->addProcessStartAtExit(mark("first"));
        monitor->addProcessStartAtExit({"/var/log/missing", {}});
        monitor->addProcessStartAtExit(mark("second"));
        monitor->addProcessStartAtExit(mark("first"));  // queued twice, launched twice
    }
    ProcessMonitor::shutdown();

    auto texts = logTexts();
    texts.erase(std::remove(texts.begin(), texts.end(), ""), texts.end());
    ASSERT_EQ(texts.size(), 7u);
    EXPECT_EQ(texts[0], "[ProcessMonitor] At exit handler started");
    EXPECT_EQ(texts[1], "[ProcessMonitor] Processes to launch: 4");
    EXPECT_EQ(texts[3], "error:/var/log/missing,create process error: No such file or directory");
    EXPECT_EQ(texts[6], "[ProcessMonitor] At exit handler finished");
    std::vector<int> pids;
    for (size_t i : {2u, 4u, 5u}) {
        int pid = 0;
        char name[8] = {};
        ASSERT_EQ(std::sscanf(texts[i].c_str(), "[ProcessMonitor] Started (started:%d,0,%7[^)])",
                              &pid, name),
                  2)
            << texts[i];
        EXPECT_STREQ(name, "sh");
        pids.push_back(pid);
    }
    EXPECT_TRUE(std::is_sorted(pids.begin(), pids.end()));  // pids rise in a fresh namespace

    EXPECT_TRUE(waitUntil([] {
        std::ifstream first("/var/log/first");
        std::ifstream second("/var/log/second");
        const std::string a((std::istreambuf_iterator<char>(first)), {});
        return a == "\n\n" && second.good();
    }));
    // The pass runs once: a second shutdown launches nothing again.
    ProcessMonitor::shutdown();
    EXPECT_EQ(logCount("[ProcessMonitor] At exit handler started"), 1u);
}

TEST_F(ProcessMonitorTest, RecordQueuedAfterThePassIsLaunchedAtOnce)
{
    const auto monitor = ProcessMonitor::instance();
    ProcessMonitor::shutdown();
    monitor->addProcessStartAtExit({"/bin/sh", {"-c", "echo late > /var/log/late"}});
    monitor->addProcessStartAtExit({"/var/log/missing", {}});
    EXPECT_TRUE(waitUntil([] {
        std::ifstream late("/var/log/late");
        return std::string((std::istreambuf_iterator<char>(late)), {}) == "late\n";
    }));
    EXPECT_EQ(logCount("error:/var/log/missing,create process error: No such file or directory"),
              1u);
}

TEST_F(ProcessMonitorTest, MonitorHeldByACallerOutlivesShutdown)
{
    auto old = ProcessMonitor::instance();
    const std::weak_ptr<ProcessMonitor> watch = old;
    m_collector.subscribe(*old);
    const int child = stray(old->launchProcess(kSleeper).id());
    const int threads = threadCount();

    ProcessMonitor::shutdown();
    ASSERT_FALSE(watch.expired());
    // No second monitor: it would take launches that nobody ever announces or stops.
    EXPECT_THROW(ProcessMonitor::instance(), std::logic_error);

    // The old monitor still supervises and announces to its subscribers.
    EXPECT_EQ(old->stopProcess(child), StopResult::Killed);
    ASSERT_TRUE(m_collector.waitFor(finished(child, 0, "sleep")));
    m_collector.unsubscribe(*old);
    EXPECT_EQ(threadCount(), threads);
    // The watcher may be finishing the pass that announced the child, holding a share.
    old.reset();
    EXPECT_TRUE(waitUntil([&] { return watch.expired() && threadCount() == threads - 1; }));
}

TEST_F(ProcessMonitorTest, WatcherCountsAsRunningUntilThePassHoldingTheLastShareEnds)
{
    ASSERT_EQ(ProcessMonitor::runningWatchers(), 0);
    auto monitor = ProcessMonitor::instance();
    EXPECT_EQ(ProcessMonitor::runningWatchers(), 1);
    SlowSubscriber slow(nullptr);
    monitor->eventProcessFinished() += Poco::delegate(&slow, &SlowSubscriber::onFinished);
    monitor->launchProcess({"/bin/true", {}});
    ASSERT_TRUE(slow.waitForMessages(1));

    // The pass's share is the last one now: the watcher is still announcing.
    ProcessMonitor::shutdown();
    monitor.reset();
    const int inThePass = ProcessMonitor::runningWatchers();
    slow.release();
    EXPECT_EQ(inThePass, 1);
    EXPECT_TRUE(waitUntil([] { return ProcessMonitor::runningWatchers() == 0; }));
}

// A subscriber that drops the last share from inside the event, on the watcher thread.
class LastShareHolder {
public:
    void onFinished(const void*, std::string&)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_monitor.reset();
        m_dropped = true;
    }
    std::mutex m_mutex;
    std::shared_ptr<ProcessMonitor> m_monitor;  // guarded by m_mutex
    bool m_dropped = false;                     // guarded by m_mutex
};

TEST_F(ProcessMonitorTest, LastShareDroppedInsideTheEventIsSafe)
{
    LastShareHolder holder;
    std::weak_ptr<ProcessMonitor> watch;
    {
        auto monitor = ProcessMonitor::instance();
        watch = monitor;
        monitor->eventProcessFinished() += Poco::delegate(&holder, &LastShareHolder::onFinished);
        monitor->launchProcess({"/bin/true", {}});
        std::lock_guard<std::mutex> lock(holder.m_mutex);
        holder.m_monitor = monitor;
    }
    const int threads = threadCount();
    ProcessMonitor::shutdown();  // the holder's share is now the last
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> lock(holder.m_mutex);
        return holder.m_dropped;
    }));
    EXPECT_TRUE(waitUntil([&] { return watch.expired() && threadCount() < threads; }));
}

TEST_F(ProcessMonitorTest, ConcurrentLaunchesQueriesAndStopsWhileShutdownRuns)
{
    std::mutex mutex;
    std::vector<std::shared_ptr<ProcessMonitor>> monitors;  // guarded by mutex
    std::map<ProcessMonitor*, std::vector<int>> launched;   // guarded by mutex

    const auto worker = [&](int id) {
        const auto end = Clock::now() + 1500ms;
        for (int i = 0; Clock::now() < end; ++i) {
            std::shared_ptr<ProcessMonitor> monitor;
            try {
                monitor = ProcessMonitor::instance();
            } catch (const std::logic_error&) {
                return;  // shut down: no monitor takes launches any more
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (std::find(monitors.begin(), monitors.end(), monitor) == monitors.end()) {
                    monitors.push_back(monitor);
                    m_collector.subscribe(*monitor);
                }
            }
            const ProcessStartInfo info{
                "/bin/sh",
                {"-c", i % 3 ? "exit 0" : "sleep 0.3", std::to_string(id), std::to_string(i)}};
            const int pid = monitor->launchProcess(info).id();
            {
                std::lock_guard<std::mutex> lock(mutex);
                launched[monitor.get()].push_back(pid);
            }
            EXPECT_TRUE(monitor->isRunning(info) || !monitor->isRunning(pid));
            if (i % 4 == 0) {
                EXPECT_NO_THROW(monitor->stopProcess(pid));
            }
            std::this_thread::sleep_for(15ms);
        }
    };
    std::vector<std::thread> threads;
    for (int id = 0; id < 4; ++id) threads.emplace_back(worker, id);
    std::this_thread::sleep_for(600ms);
    ProcessMonitor::shutdown();
    for (auto& thread : threads) thread.join();

    ASSERT_EQ(monitors.size(), 1u);  // shutdown made no second monitor
    for (const auto& [monitor, pids] : launched) {
        for (int pid : pids) {
            // Every child is announced once, by the monitor that launched it, with 0.
            ASSERT_TRUE(m_collector.waitFor(finished(pid, 0, "sh"))) << pid;
            EXPECT_EQ(m_collector.countPid(pid), 1) << pid;
        }
    }
    for (const auto& monitor : monitors) m_collector.unsubscribe(*monitor);
}

}  // namespace
