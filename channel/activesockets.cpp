#include "channel/activesockets.h"

#include <Poco/Format.h>

#include <algorithm>
#include <exception>

#include "channel/websocketrequesthandler.h"
#include "core/customlog.h"

namespace VpnService {

ActiveSockets& ActiveSockets::instance()
{
    static ActiveSockets m_obj;
    return m_obj;
}

void ActiveSockets::addSocket(WebSocketRequestHandler* handler)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sockets.push_back(handler);
}

void ActiveSockets::removeSocket(WebSocketRequestHandler* handler)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sockets.erase(std::remove(m_sockets.begin(), m_sockets.end(), handler), m_sockets.end());
}

void ActiveSockets::deleteSockets()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (WebSocketRequestHandler* handler : m_sockets) {
        // One client that reset its connection or stopped reading must not cost the
        // clients after it their close frames: the drain would wait for them for a day.
        try {
            handler->sendCloseFrame();
        } catch (const std::exception& e) {
            Log::error(Poco::format("%s SendFrame error: %s", m_objectName, std::string(e.what())));
        }
    }
    m_sockets.clear();
}

}  // namespace VpnService
