#include "channel/activesockets.h"

#include <Poco/Format.h>

#include <algorithm>
#include <exception>
#include <thread>

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
        std::unique_lock<std::mutex> lock(m_mutex);
        m_sockets.erase(std::remove(m_sockets.begin(), m_sockets.end(), handler),
                        m_sockets.end());
        // The sender still uses the handler's send queue.
        m_closeDone.wait(lock, [this, handler] {
            return std::find(m_closing.begin(), m_closing.end(), handler) == m_closing.end();
        });
    }
    std::lock_guard<std::mutex> lock(m_openMutex);
    m_open.erase(std::remove(m_open.begin(), m_open.end(), handler), m_open.end());
}

void ActiveSockets::deleteSockets()
{
    std::vector<WebSocketRequestHandler*> closing;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing.insert(m_closing.end(), m_sockets.begin(), m_sockets.end());
        closing.swap(m_sockets);
    }
    // Each close frame waits behind its own connection's backlog only.
    std::vector<std::thread> senders;
    for (WebSocketRequestHandler* handler : closing) {
        try {
            senders.emplace_back(&ActiveSockets::sendCloseFrame, this, handler);
        } catch (const std::exception&) {
            sendCloseFrame(handler);  // no thread to spare: this one waits here
        }
    }
    for (std::thread& sender : senders) sender.join();
}

void ActiveSockets::sendCloseFrame(WebSocketRequestHandler* handler)
{
    try {
        handler->sendCloseFrame();
    } catch (const std::exception& e) {
        try {
            Log::error(Poco::format("%s SendFrame error: %s", m_objectName, std::string(e.what())));
        } catch (const std::exception&) {
            // Only building the line can fail (out of memory); the entry must go all the same.
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing.erase(std::find(m_closing.begin(), m_closing.end(), handler));
    }
    m_closeDone.notify_all();
}

void ActiveSockets::shutdownConnections()
{
    std::lock_guard<std::mutex> lock(m_openMutex);
    for (WebSocketRequestHandler* handler : m_open) handler->abortConnection();
}

}  // namespace VpnService
