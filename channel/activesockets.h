#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

namespace VpnService {

class WebSocketRequestHandler;

// The process-wide list of open WebSocket connections, so that the shutdown drain can
// send every one of them a close frame and end at the TCP level those that stay open.
// Registers handlers, which own their sockets, so that each close frame is serialised
// with its handler's own sends. It also holds the admission gate that the stop closes.
//
// Lifetime: one function-local static object, destroyed at process exit; the drain waits
// for every handler to be gone before that.
//
// Thread safety: every operation may be called from any thread. Lock order:
// m_admissionMutex, then m_mutex, then Log's lock. No handler's lock is taken under either
// list lock: the close frames are sent with neither held, so that no handler waits in
// removeSocket() behind another connection's backlog. m_openMutex is held only around
// operations that take no lock (never together with m_mutex), so that
// shutdownConnections() is never held up by a close frame that cannot be sent.
class ActiveSockets {
public:
    ActiveSockets(const ActiveSockets&) = delete;
    ActiveSockets& operator=(const ActiveSockets&) = delete;

    // The one registry, built on first use. Any thread.
    static ActiveSockets& instance();

    // Runs the handshake and then registers the handler, unless admission has been
    // closed: then runs nothing and returns false. closeAdmission() waits for a handshake
    // under way, so every handshake either completes before the stop, and is registered
    // in time for its close frame, or does not begin. What the handshake throws goes to
    // the caller, with nothing registered. Connection thread.
    bool admit(WebSocketRequestHandler* handler, const std::function<void()>& handshake);
    // From now on admit() refuses. Main thread, when the stop begins.
    void closeAdmission();

    // Appends the handler; no check for null or duplicates. Connection thread, after the
    // handshake. Throws std::bad_alloc with the list unchanged.
    void addSocket(WebSocketRequestHandler* handler);
    // Removes every entry equal to the handler. Waits while this handler's own close
    // frame is under way (bounded by the send time-out, and cut short by
    // shutdownConnections()) or shutdownConnections() is at work, never for another
    // connection; once it returns neither reaches the handler. Connection thread, before
    // the handler deletes its socket.
    void removeSocket(WebSocketRequestHandler* handler);
    // Empties the close-frame list and hands every connection on it its close frame at
    // once, each on a sender thread of its own (on the calling thread when none can be
    // started), so that all wait for their backlogs together: a client that does not read
    // costs the others nothing. Returns when every close frame has been written, has
    // failed (logged) or has waited out the send time-out, which drops its connection.
    // Waits for no answer from the clients. During the shutdown drain.
    void deleteSockets();
    // Ends every connection still registered at the TCP level at once, without a close
    // frame and without waiting for a send under way (which then fails). For clients that
    // did not close in time. During the shutdown drain, also while deleteSockets() runs.
    void shutdownConnections();

private:
    ActiveSockets() = default;

    // Sends the handler's close frame, logs a failure, then takes its entry off
    // m_closing. Never throws. A sender thread of deleteSockets().
    void sendCloseFrame(WebSocketRequestHandler* handler);

    std::vector<WebSocketRequestHandler*> m_sockets;  // guarded by m_mutex; not owned
    // One entry per close frame under way: its handler must not go meanwhile.
    std::vector<WebSocketRequestHandler*> m_closing;  // guarded by m_mutex; not owned
    std::condition_variable m_closeDone;              // an entry has left m_closing
    // Every registered handler until it removes itself; deleteSockets() does not empty it.
    std::vector<WebSocketRequestHandler*> m_open;  // guarded by m_openMutex; not owned
    const std::string m_objectName{"[ActiveSockets]"};
    std::mutex m_mutex;
    std::mutex m_openMutex;
    // Shared by handshakes under way, exclusive while closing admission.
    std::shared_mutex m_admissionMutex;
    bool m_admissionClosed = false;  // guarded by m_admissionMutex
};

}  // namespace VpnService
