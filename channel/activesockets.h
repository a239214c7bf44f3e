#pragma once

#include <mutex>
#include <vector>

namespace VpnService {

class WebSocketRequestHandler;

// The process-wide list of open WebSocket connections, so that the shutdown drain can
// send every one of them a close frame. Registers handlers, which own their sockets,
// so that each close frame is serialised with its handler's own sends.
//
// Thread safety: every operation holds m_mutex for its whole run. Lock order: m_mutex
// before a handler's send lock; handlers call addSocket/removeSocket without holding
// their own lock.
class ActiveSockets {
public:
    static ActiveSockets& instance();

    void addSocket(WebSocketRequestHandler* handler);
    // Removes every entry equal to the handler; waits while deleteSockets() is sending.
    void removeSocket(WebSocketRequestHandler* handler);
    // Sends a close frame on every registered connection in registration order, logging
    // and skipping one that fails, then empties the list.
    void deleteSockets();

private:
    ActiveSockets() = default;

    std::vector<WebSocketRequestHandler*> m_sockets;  // guarded by m_mutex
    std::mutex m_mutex;
};

}  // namespace VpnService
