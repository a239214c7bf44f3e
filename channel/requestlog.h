#pragma once

#include <Poco/Net/SocketAddress.h>

#include <functional>

namespace VpnService {

// The log lines of the channel's requests. Every request begins with "Request from
// <address>", written once its outcome is known. The lines of a refused request (no
// upgrade, a refused origin, a broken handshake, the stop, a head not complete in time)
// are held to kLoggedPerSecond requests per client address and second: any web page can
// make a browser send thousands of requests a second, and the log is never rotated.
// Past that, the second's further refusals are counted and summed up in one line once it
// is over: "N more refused requests from <address> in the last second". An admitted
// request is always logged.
//
// The summary of a second is written as soon as it is over by an HTTP acceptor's thread,
// which runs the timer (attachTimer(), flushDue()), or by the next refusal from that
// address, whichever comes first: no summary waits for a request that may never come.
// While no acceptor runs the timer, no line is held back.
//
// Thread safety: every function may be called from any thread. The state is one lock
// and the open seconds; the lock is never held while logging, and lives until the
// process exits, since connection threads may log until then.
class RequestLog {
public:
    static constexpr int kLoggedPerSecond = 5;

    // Logs "[HTTPRequestHandlerFactory] Request from <address:port>" (information).
    static void requestFrom(const Poco::Net::SocketAddress& client);
    // One refused request from the client: calls `lines`, which logs its lines, unless
    // kLoggedPerSecond refused requests from its address have been logged in its current
    // second; then counts it. Logs the summary of the address's last second first, when
    // that is over and not logged yet. Throws what `lines` and logging throw.
    static void refused(const Poco::Net::SocketAddress& client, const std::function<void()>& lines);

    // The timer. attachTimer() before a thread polls wakeDescriptor() and calls
    // flushDue(); detachTimer() when it stops, which with the last timer logs every
    // summary still open, due or not. attachTimer() throws Poco::SystemException when the
    // descriptor cannot be made.
    static void attachTimer();
    static void detachTimer();
    // Becomes readable when a second has begun to count refusals: from then its summary
    // is due when it is over. Lives until the process exits.
    static int wakeDescriptor();
    // Empties wakeDescriptor(), logs the summaries of the seconds that are over, and
    // returns the milliseconds until the next is due, or -1 when none is.
    static int flushDue();
};

}  // namespace VpnService
