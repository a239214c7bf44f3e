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

bool ActiveSockets::admit(WebSocketRequestHandler* handler,
                          const std::function<void()>& handshake)
{
    std::shared_lock<std::shared_mutex> lock(m_admissionMutex);
    if (m_admissionClosed) return false;
    handshake();
    addSocket(handler);
    return true;
}

void ActiveSockets::closeAdmission()
{
    std::unique_lock<std::shared_mutex> lock(m_admissionMutex);
    m_admissionClosed = true;
}

void ActiveSockets::addSocket(WebSocketRequestHandler* handler)
{
    {
        std::lock_guard<std::mutex> lock(m_openMutex);
        m_open.push_back(handler);
    }
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sockets.push_back(handler);
    } catch (...) {
        std::lock_guard<std::mutex> lock(m_openMutex);
        m_open.erase(std::find(m_open.rbegin(), m_open.rend(), handler).base() - 1);
        throw;
    }
}

void ActiveSockets::removeSocket(WebSocketRequestHandler* handler)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sockets.erase(std::remove(m_sockets.begin(), m_sockets.end(), handler),
                        m_sockets.end());
    }
    std::lock_guard<std::mutex> lock(m_openMutex);
    m_open.erase(std::remove(m_open.begin(), m_open.end(), handler), m_open.end());
}

void ActiveSockets::deleteSockets()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (WebSocketRequestHandler* handler : m_sockets) {
        // One client that reset its connection or stopped reading must not cost the
        // clients after it their close frames.
        try {
            handler->sendCloseFrame();
        } catch (const std::exception& e) {
            Log::error(Poco::format("%s SendFrame error: %s", m_objectName, std::string(e.what())));
        }
    }
    m_sockets.clear();
}

void ActiveSockets::shutdownConnections()
{
    std::lock_guard<std::mutex> lock(m_openMutex);
    for (WebSocketRequestHandler* handler : m_open) handler->abortConnection();
}

}  // namespace VpnService
