#pragma once

#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <atomic>
#include <chrono>
#include <list>
#include <mutex>
#include <string>
#include <vector>

namespace VpnService {

// The connections of the HTTP acceptor whose request head has not been parsed yet, each
// with the time by which it must have been. The acceptor thread adds them at the accept
// and closes the overdue ones; a connection thread marks its own as being read and takes
// it out once the framework has parsed the head. What the client sent is no proof of a
// whole head: the framework skips leading blank lines and reads on across line ends that
// look like the end, so a connection being read is closed when its time is up whatever
// its buffer holds. Only one whose head seems whole in the buffer while it waits in the
// queue for a worker waits on; it gets one more bound once a worker takes it up.
// Holding a share of each socket keeps its descriptor from being reused while the watch
// may still shut it down.
//
// Thread safety: every operation may be called from any thread; m_mutex is held only for
// list work and non-blocking socket calls, never while logging.
class HeadWatch {
public:
    explicit HeadWatch(std::chrono::seconds limit);

    // Starts the connection's time. Acceptor thread, at the accept.
    void add(const Poco::Net::StreamSocket& socket, const Poco::Net::SocketAddress& peer);
    // Lets go of the acceptor's own share of a socket once the dispatcher has it, under
    // m_mutex: a worker may have served the whole connection meanwhile, and this orders
    // its last touch of the socket, before its finish(), ahead of the share's end, which
    // may close it. (The framework's reference count orders them too, but in library code
    // that the thread sanitizer does not see.) Acceptor thread; `share` is left empty.
    void letGo(Poco::Net::StreamSocket& share);
    // A worker takes the connection up and begins to read its head: false when its time
    // or the stop has closed it already. A head that seems whole in the buffer gets one
    // more bound from now. Connection thread, once, before the reading.
    bool begin(const Poco::Net::StreamSocket& socket);
    // Takes the connection out: true while neither its time nor the stop has closed it.
    // A second call returns false. Connection thread, once the head has been parsed.
    bool finish(const Poco::Net::StreamSocket& socket);
    // Closes every connection whose time is up and whose head has not been parsed, and
    // logs each (as a refused request, see RequestLog); returns the milliseconds until
    // the next one is due, or -1 when none is waiting. Acceptor thread.
    int expire();
    // From now on stopping() is true; then closes every connection still watched, and
    // logs how many. At stop.
    void stop();
    bool stopping() const { return m_stopping; }

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        Poco::Net::StreamSocket socket;
        Poco::Net::SocketAddress peer;
        Clock::time_point deadline;
        bool reading = false;  // a worker has taken it up
        bool arrived = false;  // its time was up in the queue, its head seemingly whole
    };
    using List = std::list<Pending>;

    List::iterator find(const Poco::Net::StreamSocket& socket);  // m_mutex held
    // Gives the connection one more bound from now; m_mutex held.
    void rearm(List::iterator it, Clock::time_point now);
    // True when what the socket's buffer holds, leading blank lines skipped as the
    // framework does, seems to end a request head. m_mutex held.
    bool headBuffered(const Poco::Net::StreamSocket& socket);

    const std::chrono::seconds m_limit;
    std::mutex m_mutex;
    // In the order of the deadlines: one limit for all, and a rearmed connection goes last.
    List m_pending;            // guarded by m_mutex
    std::vector<char> m_peek;  // guarded by m_mutex
    std::atomic<bool> m_stopping{false};
    const std::string m_objectName{"[HttpAcceptor]"};
};

}  // namespace VpnService
