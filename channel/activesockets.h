#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace VpnService {

class WebSocketRequestHandler;

// The process-wide list of open WebSocket connections, so that the shutdown drain can
// send every one of them a close frame. Registers handlers, which own their sockets,
// so that each close frame is serialised with its handler's own sends.
//
// Lifetime: one function-local static object, destroyed at process exit; the drain waits
// for every handler to be gone before that.
//
// Thread safety: every operation holds m_mutex for its whole run. Lock order: m_mutex
// before a handler's send lock (deleteSockets takes the latter inside sendCloseFrame);
// handlers call addSocket/removeSocket without holding their own lock, so no cycle.
class ActiveSockets {
public:
    ActiveSockets(const ActiveSockets&) = delete;
    ActiveSockets& operator=(const ActiveSockets&) = delete;

    // The one registry, built on first use. Any thread.
    static ActiveSockets& instance();

    // Appends the handler; no check for null or duplicates. Connection thread, after the
    // handshake. Throws std::bad_alloc with the list unchanged.
    void addSocket(WebSocketRequestHandler* handler);
    // Removes every entry equal to the handler; waits while deleteSockets() is sending,
    // so once it returns no close frame is being or will be sent through the handler.
    // Connection thread, before the handler deletes its socket.
    void removeSocket(WebSocketRequestHandler* handler);
    // Sends a close frame on every registered connection in registration order, logging
    // and skipping one that fails, then empties the list. Waits for no answer. Main
    // thread, during the shutdown drain.
    void deleteSockets();

private:
    ActiveSockets() = default;

    std::vector<WebSocketRequestHandler*> m_sockets;  // guarded by m_mutex; not owned
    const std::string m_objectName{"[ActiveSockets]"};
    std::mutex m_mutex;
};

}  // namespace VpnService
