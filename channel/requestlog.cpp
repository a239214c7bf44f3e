#include "channel/requestlog.h"

#include <Poco/Exception.h>
#include <Poco/Format.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/customlog.h"

namespace VpnService {

namespace {

using Clock = std::chrono::steady_clock;

const std::string kTag = "[HTTPRequestHandlerFactory]";

// One address's current second, from its first refused request.
struct Second {
    Clock::time_point end;
    int logged = 0;
    int counted = 0;
};

struct State {
    State() : wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        if (wake < 0) throw Poco::SystemException("cannot create the request log's eventfd", errno);
    }

    const int wake;
    std::mutex mutex;
    std::map<std::string, Second> seconds;                       // by host; guarded by mutex
    std::deque<std::pair<Clock::time_point, std::string>> ends;  // in order; guarded by mutex
    int counting = 0;  // seconds with refusals counted; guarded by mutex
    int timers = 0;    // guarded by mutex
};

// Never destroyed: connection threads may still log when the process's static objects go.
State& state()
{
    static State* const instance = new State;
    return *instance;
}

std::string summary(const std::string& host, int counted)
{
    return Poco::format("%s %d more refused requests from %s in the last second", kTag, counted,
                        host);
}

// Takes the address's second out; its summary is added when it counted refusals.
void closeSecond(State& s, std::map<std::string, Second>::iterator it,
                 std::vector<std::string>& summaries)
{
    if (it->second.counted > 0) {
        summaries.push_back(summary(it->first, it->second.counted));
        --s.counting;
    }
    s.seconds.erase(it);
}

void logAll(const std::vector<std::string>& summaries)
{
    for (const std::string& line : summaries) Log::warning(line);
}

}  // namespace

void RequestLog::requestFrom(const Poco::Net::SocketAddress& client)
{
    Log::information(Poco::format("%s %s", kTag, "Request from " + client.toString()));
}

void RequestLog::refused(const Poco::Net::SocketAddress& client, const std::function<void()>& lines)
{
    State& s = state();
    std::vector<std::string> summaries;
    bool logged = true;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.timers > 0) {
            const Clock::time_point now = Clock::now();
            const std::string host = client.host().toString();
            auto it = s.seconds.find(host);
            if (it != s.seconds.end() && it->second.end <= now) {
                closeSecond(s, it, summaries);
                it = s.seconds.end();
            }
            if (it == s.seconds.end()) {
                it = s.seconds.emplace(host, Second{now + std::chrono::seconds(1)}).first;
                s.ends.emplace_back(it->second.end, host);
            }
            if (it->second.logged < kLoggedPerSecond) {
                ++it->second.logged;
            } else {
                logged = false;
                if (it->second.counted++ == 0) {
                    ++s.counting;
                    wake = true;
                }
            }
        }
    }
    logAll(summaries);
    if (wake) {
        const uint64_t one = 1;
        // Only a full counter fails, and that is readable already.
        while (::write(s.wake, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
    if (logged) lines();
}

void RequestLog::attachTimer()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.timers;
}

void RequestLog::detachTimer()
{
    State& s = state();
    std::vector<std::string> summaries;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (--s.timers == 0) {
            // Nobody would write them later, and nothing is held back from now on.
            while (!s.seconds.empty()) closeSecond(s, s.seconds.begin(), summaries);
            s.ends.clear();
        }
    }
    logAll(summaries);
}

int RequestLog::wakeDescriptor() { return state().wake; }

int RequestLog::flushDue()
{
    State& s = state();
    // Emptied before the look at the seconds: a refusal counted after it wakes the
    // timer again.
    uint64_t ignored;
    while (::read(s.wake, &ignored, sizeof ignored) < 0 && errno == EINTR) {
    }
    std::vector<std::string> summaries;
    int wait = -1;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        const Clock::time_point now = Clock::now();
        while (!s.ends.empty() && s.ends.front().first <= now) {
            const auto it = s.seconds.find(s.ends.front().second);
            // Not when a refusal has closed that second already and begun the next.
            if (it != s.seconds.end() && it->second.end == s.ends.front().first)
                closeSecond(s, it, summaries);
            s.ends.pop_front();
        }
        // The earliest end is no later than the first that counts; waking early is harmless.
        if (s.counting > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(s.ends.front().first - now);
            wait = static_cast<int>(left.count()) + 1;  // rounded up: no early wake-up
        }
    }
    logAll(summaries);
    return wait;
}

}  // namespace VpnService
