#pragma once

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
// m_admissionMutex, then m_mutex, then a handler's send lock (deleteSockets takes it
// inside sendCloseFrame), then Log's lock. m_openMutex is held only around operations
// that take no lock (never together with m_mutex), so that shutdownConnections() is
// never held up by a close frame that cannot be sent.
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
    // Removes every entry equal to the handler; waits while deleteSockets() or
    // shutdownConnections() is at work, so once it returns neither reaches the handler.
    // Connection thread, before the handler deletes its socket.
    void removeSocket(WebSocketRequestHandler* handler);
    // Sends a close frame on every registered connection in registration order, logging
    // and skipping one that fails, then empties the close-frame list. Waits for no answer.
    // During the shutdown drain.
    void deleteSockets();
    // Ends every connection still registered at the TCP level at once, without a close
    // frame and without waiting for a send under way (which then fails). For clients that
    // did not close in time. During the shutdown drain, also while deleteSockets() runs.
    void shutdownConnections();

private:
    ActiveSockets() = default;

    std::vector<WebSocketRequestHandler*> m_sockets;  // guarded by m_mutex; not owned
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
