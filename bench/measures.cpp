#include "bench/measures.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "bench/serviceprocess.h"
#include "bench/spawn.h"

namespace VpnBench {

Batch runSpawnFloor(int threads, int perThread, const std::string& tag)
{
    PendingChildren children;
    std::vector<std::vector<double>> samples(static_cast<std::size_t>(threads));
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    std::mutex mutex;  // guards failure
    std::string failure;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            gate.wait();
            try {
                for (int i = 0; i < perThread; ++i) {
                    const std::vector<std::string> argv = {
                        "/bin/true", tag + "-" + std::to_string(t) + "-" + std::to_string(i)};
                    bool reaped = false;
                    const Clock::time_point start = Clock::now();
                    const pid_t pid = spawnAndPeek(argv, &reaped);
                    samples[t].push_back(
                        std::chrono::duration<double, std::milli>(Clock::now() - start).count());
                    if (!reaped) children.add(pid);
                }
            } catch (const std::exception& e) {
                std::lock_guard<std::mutex> lock(mutex);
                failure = e.what();
            }
        });
    }
    const Clock::time_point start = Clock::now();
    release.set_value();
    for (std::thread& worker : workers) worker.join();
    Batch batch;
    batch.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    children.reapAll();
    if (!failure.empty()) throw std::runtime_error(failure);
    for (const auto& mine : samples) {
        batch.samplesMs.insert(batch.samplesMs.end(), mine.begin(), mine.end());
        batch.requests += static_cast<int>(mine.size());
    }
    return batch;
}

namespace {

// Waits on pidfds until each process has exited or the deadline passes; returns the
// moment each exit was seen, by pid.
std::map<int, Clock::time_point> watchExits(const std::vector<int>& pids,
                                            Clock::time_point deadline)
{
    std::vector<pollfd> fds;
    for (const int pid : pids) {
        const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        fds.push_back({fd, POLLIN, 0});  // fd -1 (already gone) is ignored by poll
    }
    std::map<int, Clock::time_point> exits;
    std::size_t open = 0;
    for (const pollfd& fd : fds) open += fd.fd >= 0 ? 1 : 0;
    while (open > 0 && Clock::now() < deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const int ready = poll(fds.data(), fds.size(), static_cast<int>(left.count()) + 1);
        const Clock::time_point now = Clock::now();
        if (ready < 0 && errno != EINTR) break;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            exits.emplace(pids[i], now);
            close(fds[i].fd);
            fds[i].fd = -1;
            --open;
        }
    }
    for (const pollfd& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    return exits;
}

}  // namespace

ExitNotice measureExitNotice(ClientGroup& group, int children)
{
    // Lengths from 0.3 s to 1.3 s: starting them all takes far less than 0.3 s, so every
    // client is reading again before the first one ends.
    const Batch starts = group.runOne(
        0, children,
        [children](int, int i) {
            return "start: /bin/sleep " + std::to_string(0.3 + static_cast<double>(i) / children);
        },
        false);
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(4);
    std::map<int, Clock::time_point> exits;
    std::thread watcher([&] { exits = watchExits(starts.started, deadline); });
    try {
        group.collectFinished(starts.started, deadline);
    } catch (...) {
        watcher.join();
        throw;
    }
    watcher.join();

    ExitNotice notice;
    notice.children = static_cast<int>(starts.started.size());
    notice.clients = group.size();
    double sum = 0;
    int samples = 0;
    for (const int pid : starts.started) {
        for (int c = 0; c < group.size(); ++c) {
            const auto at = group.finishedAt(c, pid);
            const auto exit = exits.find(pid);
            if (!at) {
                ++notice.lost;
                continue;
            }
            if (exit == exits.end()) continue;  // its exit was not seen: no sample
            const double ms = std::chrono::duration<double, std::milli>(*at - exit->second).count();
            sum += ms;
            ++samples;
            notice.maxMs = std::max(notice.maxMs, ms);
        }
    }
    notice.samples = samples;
    notice.meanMs = samples > 0 ? sum / samples : 0;
    return notice;
}

Quiet measureQuiet(pid_t pid, double seconds)
{
    const Usage before = readUsage(pid);
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const Usage after = readUsage(pid);
    Quiet quiet;
    quiet.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    quiet.cpuMs = (after.cpuSeconds - before.cpuSeconds) * 1000;
    quiet.cpuPercent = quiet.cpuMs / (quiet.seconds * 1000) * 100;
    quiet.ticks = after.ticks - before.ticks;
    quiet.ticksMs = static_cast<double>(quiet.ticks) * 1000 / ticksPerSecond();
    quiet.rssKiB = after.rssKiB;
    quiet.wakeupsPerSecond = static_cast<double>(after.wakeups - before.wakeups) / quiet.seconds;
    return quiet;
}

}  // namespace VpnBench
