#pragma once

#include <Poco/Net/StreamSocket.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <vector>

namespace VpnService {

// The connections of the HTTP acceptor that have not yet had their request head read, each
// with the time by which its head must have arrived. The acceptor thread adds them at the
// accept and closes the overdue ones; a connection thread takes its own out once the head
// has been read. Holding a share of each socket keeps its descriptor from being reused
// while the watch may still shut it down.
//
// Thread safety: every operation may be called from any thread; m_mutex is held only for
// list work and non-blocking socket calls, never while logging.
class HeadWatch {
public:
    explicit HeadWatch(std::chrono::seconds limit);

    // Starts the connection's time. Acceptor thread, at the accept.
    void add(const Poco::Net::StreamSocket& socket, const std::string& peer);
    // Takes the connection out: true while neither its time nor the stop has closed it.
    // A second call returns false. Connection thread, once the head has been read.
    bool finish(const Poco::Net::StreamSocket& socket);
    // Closes every connection whose time is up and whose head has not arrived, and logs
    // each; returns the milliseconds until the next one is due, or -1 when none is
    // waiting. Acceptor thread.
    int expire();
    // From now on stopping() is true; then closes every connection still watched, and
    // logs how many. At stop.
    void stop();
    bool stopping() const { return m_stopping; }

    // True when the end of a request head is in the socket's buffer, not yet consumed,
    // within the first `size` bytes there. Any thread; `buffer` is the caller's.
    static bool headBuffered(const Poco::Net::StreamSocket& socket, char* buffer,
                             std::size_t size);

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        Poco::Net::StreamSocket socket;
        std::string peer;
        Clock::time_point deadline;
    };

    const std::chrono::seconds m_limit;
    std::mutex m_mutex;
    // Oldest first, which with one limit for all is also the order of the deadlines.
    std::list<Pending> m_pending;   // guarded by m_mutex
    std::list<Pending> m_arrived;   // guarded by m_mutex; whole head buffered, not yet read
    std::vector<char> m_peek;       // guarded by m_mutex
    std::atomic<bool> m_stopping{false};
    const std::string m_objectName{"[HttpAcceptor]"};
};

}  // namespace VpnService
